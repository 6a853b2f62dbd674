#pragma once
// Builds small PE32+ images in memory, laid out by hand from the PE/COFF
// format so the packer's parser is checked against independent offsets:
// DOS header with e_lfanew = 0x80, "PE\0\0" at 0x80, COFF header at 0x84,
// a 240-byte optional header at 0x98, section table at 0x188. The entry
// point is the start of the first section, which is code.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tavrik_test {

using Bytes = std::vector<uint8_t>;

constexpr size_t coff_header = 0x84;
constexpr size_t optional_header = 0x98;
constexpr size_t section_table = 0x188;

struct SyntheticSection {
    std::string name;
    uint32_t virtual_size;
    uint32_t raw_size;  // a multiple of the file alignment
};

struct SyntheticPe {
    uint16_t machine = 0x8664;
    uint16_t magic = 0x20B;
    uint32_t file_alignment = 0x200;
    uint32_t section_alignment = 0x1000;
    uint32_t size_of_headers = 0x400;
    uint32_t checksum = 0;
    uint32_t certificate_offset = 0;
    uint32_t certificate_size = 0;
    uint32_t symbol_table_offset = 0;
    std::vector<SyntheticSection> sections = {{".text", 0x150, 0x200}, {".data", 0x2800, 0x200}};
    Bytes overlay;  // appended after the last section's data
    bool dll = false;  // sets IMAGE_FILE_DLL
    uint16_t subsystem = 2;  // GUI
    // Without `imports` or `delay_imports`: an empty import table (one
    // zeroed terminating descriptor) at the start of the second section.
    bool import_directory = true;
    // When not empty: an ".edata" section after `sections`, with an export
    // directory naming these (in this order), each bound to a function RVA.
    std::vector<std::string> exports;
    // When either is not empty: an ".idata" section after that, with an
    // import table naming `imports` and a delay-load import table naming
    // `delay_imports` (RVA-based descriptors), FirstThunk set but no thunks.
    std::vector<std::string> imports;
    std::vector<std::string> delay_imports;
    // When either is not empty: an ".rsrc" section after those, with an
    // RT_VERSION resource whose StringFileInfo has CompanyName and this
    // ProductName, and an RT_MANIFEST resource holding this text.
    std::u16string product_name;
    std::string manifest;
    // When set, the ".rsrc" section holds what this returns for the RVA the
    // section is mapped at, instead of the two resources above.
    std::function<Bytes(uint32_t rva)> resources;

    // Sections are mapped back to back from 0x1000 on, each rounded up to
    // SectionAlignment, and SizeOfImage ends after the last one. Their data
    // follows the headers back to back, filled with a recognisable pattern
    // (the generated .edata and .rsrc hold their structures instead).
    Bytes build() const;

    // An image the packer takes as the launcher stub: product_name set to
    // "Tavrik launcher", a manifest asking for asInvoker.
    static SyntheticPe launcher();
    // An image the packer takes as the application: a DLL exporting run_code.
    static SyntheticPe application();
};

uint16_t get_u16(const Bytes &b, size_t at);
uint32_t get_u32(const Bytes &b, size_t at);
uint64_t get_u64(const Bytes &b, size_t at);
void put_u32(Bytes &b, size_t at, uint32_t v);

}  // namespace tavrik_test
