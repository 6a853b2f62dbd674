#pragma once
// Read-only view of a PE32+ x86-64 image's headers, as far as adding a
// section needs them. Every offset taken from the file is range-checked
// before use; a file that fails a check is rejected, never partly trusted.

#include <cstdint>
#include <string>
#include <vector>

#include "packer/base/byte_io.h"
#include "packer/base/result.h"

namespace tavrik {

namespace pe {
constexpr size_t section_header_size = 40;
constexpr uint16_t machine_amd64 = 0x8664;
constexpr uint16_t magic_pe32 = 0x10B;
constexpr uint16_t magic_pe32_plus = 0x20B;
// Offsets inside the PE32+ optional header.
constexpr size_t opt_size_of_initialized_data = 8;
constexpr size_t opt_address_of_entry_point = 16;
constexpr size_t opt_image_base = 24;
constexpr size_t opt_section_alignment = 32;
constexpr size_t opt_file_alignment = 36;
constexpr size_t opt_size_of_image = 56;
constexpr size_t opt_size_of_headers = 60;
constexpr size_t opt_checksum = 64;
constexpr size_t opt_subsystem = 68;
constexpr size_t opt_number_of_rva_and_sizes = 108;
constexpr size_t opt_data_directories = 112;
constexpr size_t export_directory = 0;
constexpr size_t import_directory = 1;
constexpr size_t resource_directory = 2;
constexpr size_t certificate_directory = 4;
constexpr uint16_t file_executable_image = 0x0002;  // IMAGE_FILE_EXECUTABLE_IMAGE
constexpr uint16_t file_dll = 0x2000;               // IMAGE_FILE_DLL
constexpr uint32_t section_code = 0x00000020;       // IMAGE_SCN_CNT_CODE
constexpr uint32_t section_execute = 0x20000000;    // IMAGE_SCN_MEM_EXECUTE
}  // namespace pe

struct DataDirectory {
    uint32_t address = 0;  // an RVA, except for the certificate table (a file offset)
    uint32_t size = 0;
};

struct PeSection {
    std::string name;  // up to 8 bytes, trailing zeros removed
    uint32_t virtual_size = 0;
    uint32_t virtual_address = 0;
    uint32_t raw_size = 0;
    uint32_t raw_offset = 0;
    uint32_t characteristics = 0;
};

struct PeImage {
    uint64_t file_size = 0;             // the whole file's
    uint64_t held_size = 0;             // how much of it, from the start, is in memory
    size_t file_header_offset = 0;      // COFF file header, after "PE\0\0"
    size_t optional_header_offset = 0;
    size_t section_table_offset = 0;
    uint64_t image_base = 0;
    uint32_t section_alignment = 0;
    uint32_t file_alignment = 0;
    uint32_t size_of_image = 0;
    uint32_t size_of_headers = 0;
    uint32_t size_of_initialized_data = 0;
    uint32_t entry_point = 0;           // AddressOfEntryPoint
    uint32_t symbol_table_offset = 0;
    uint32_t symbol_count = 0;
    uint16_t characteristics = 0;  // COFF file header
    uint16_t subsystem = 0;        // optional header
    uint32_t checksum = 0;         // optional header
    uint32_t certificate_offset = 0;
    uint32_t certificate_size = 0;
    std::vector<DataDirectory> directories;  // NumberOfRvaAndSizes of them
    std::vector<PeSection> sections;

    // Where the section data stored in the file ends (at least the headers).
    uint64_t end_of_section_data() const;
    // The first address after every section once loaded.
    uint64_t end_of_virtual_sections() const;
    // The file offset of `length` bytes at `rva`, when they lie in the file
    // within one section (or within the headers) and in the part held in
    // memory; -1 otherwise.
    int64_t file_offset(uint32_t rva, uint32_t length) const;
};

// `length` bytes at `rva` as stored in `file`, as a reader of their own; a
// failed reader when they are not all stored in the file.
ByteReader located(ByteReader &file, const PeImage &image, uint64_t rva, uint64_t length);

// The NUL-terminated text at `rva`, read one checked byte at a time (a name
// may end exactly at the end of its section), at most `max_length` bytes.
// `budget`: bytes the whole walk may still read, so that many names pointing
// at one long run cannot make it quadratic. Refusals read "damaged <table>:
// ...".
Result<std::string> name_at(ByteReader &file, const PeImage &image, uint64_t rva, const char *table,
                            uint64_t &budget, size_t max_length);

Result<PeImage> parse_pe_image(const Bytes &file);

// The same from the first bytes of a file `file_size` bytes long: `start`
// must hold the headers up to the end of the section table; sections are
// checked against the whole file.
Result<PeImage> parse_pe_image(const Bytes &start, uint64_t file_size);

// How many bytes from the start of a file hold its headers up to the end of
// the section table, from as much of the start as `start` holds (at least
// 64 bytes, else 0). Only a guess for reading; parse_pe_image checks.
uint64_t pe_headers_extent(const Bytes &start);

// What the Windows loader checks of the headers and the section table
// before it maps an image, and would refuse: file and section alignment,
// the headers' size, sections laid out back to back in ascending order from
// the end of the headers, their stored data aligned and inside the file,
// SizeOfImage covering them, the entry point and data directories inside
// the image, the image base on a 64 KiB boundary. "" when none applies.
std::string loader_problem(const PeImage &image);

// What a 64-bit Windows program the launcher is built as must show, beyond
// what loader_problem checks: a program, not a DLL (IMAGE_FILE_EXECUTABLE_IMAGE
// set, IMAGE_FILE_DLL clear), the console or window subsystem, its entry
// point inside a section of executable code, and an import directory inside
// one section. "" when all hold. Whether the code is the launcher's own is
// beyond any such check: only a signature proves where it came from.
std::string program_problem(const PeImage &image);

// Where Windows expects a certificate table (the Authenticode signature):
// after all section data, on an 8-byte boundary, ending inside the file.
// "" when it is there or there is none.
std::string certificate_location_problem(const PeImage &image);

// The certificate table's entries (WIN_CERTIFICATE: u32 length, u16 revision
// 0x0200, u16 type 2 = PKCS#7 signed data, then the data), each starting on
// an 8-byte boundary, filling `table` exactly. "" when they do.
std::string certificate_entries_problem(const Bytes &table);

}  // namespace tavrik
