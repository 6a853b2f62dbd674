#include "packer/pe/import_library.h"

#include <cstring>

namespace tavrik {

namespace {

constexpr char archive_magic[] = "!<arch>\n";
constexpr size_t magic_size = 8;
constexpr size_t member_header_size = 60;
constexpr size_t member_size_at = 48;  // ten decimal digits, space padded
constexpr size_t short_import_header_size = 20;
constexpr size_t coff_header_size = 20;
constexpr size_t section_header_size = 40;
constexpr uint16_t machine_amd64 = 0x8664;

bool ends_with_dll(const std::string &name) {
    if (name.size() < 5) return false;
    std::string tail = name.substr(name.size() - 4);
    for (char &c : tail) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return tail == ".dll";
}

// A NUL-terminated run of printable bytes at `at`, or empty.
std::string c_string(ByteReader &r, size_t at, size_t limit) {
    std::string text;
    for (size_t i = 0; i < limit; ++i) {
        const uint8_t c = r.u8(at + i);
        if (!r.ok()) return std::string();
        if (c == 0) return text;
        if (c < 0x20 || c == 0x7F) return std::string();
        text += static_cast<char>(c);
    }
    return std::string();
}

// The member's size from its header, or -1 when the digits are not one.
int64_t member_size(ByteReader &r, size_t header) {
    int64_t size = 0;
    bool digits = false;
    for (size_t i = 0; i < 10; ++i) {
        const uint8_t c = r.u8(header + member_size_at + i);
        if (c == ' ') break;
        if (c < '0' || c > '9') return -1;
        size = size * 10 + (c - '0');
        digits = true;
    }
    return digits && r.ok() ? size : -1;
}

// Symbol name, then DLL name, each NUL-terminated, after the fixed header.
std::string short_import_dll(ByteReader member) {
    if (member.u16(0) != 0 || member.u16(2) != 0xFFFF) return std::string();
    const size_t data = member.u32(12);
    if (!member.fits(short_import_header_size, data)) return std::string();
    ByteReader names = member.sub(short_import_header_size, data);
    const std::string symbol = c_string(names, 0, data);
    if (symbol.empty()) return std::string();
    const std::string dll = c_string(names, symbol.size() + 1, data - symbol.size() - 1);
    return ends_with_dll(dll) ? dll : std::string();
}

// The ".idata$7" section holds the DLL's name in the object that ends an
// import list; in the others it holds a pointer, which is no name.
std::string object_dll(ByteReader member) {
    if (member.u16(0) != machine_amd64) return std::string();
    const size_t sections = member.u16(2);
    const size_t table = coff_header_size + member.u16(16);
    if (!member.fits(table, sections * section_header_size)) return std::string();
    for (size_t i = 0; i < sections; ++i) {
        const size_t header = table + i * section_header_size;
        char name[9] = {};
        for (size_t k = 0; k < 8; ++k) name[k] = static_cast<char>(member.u8(header + k));
        if (std::strcmp(name, ".idata$7") != 0) continue;
        const size_t size = member.u32(header + 16), at = member.u32(header + 20);
        if (!member.fits(at, size)) continue;
        ByteReader data = member.sub(at, size);
        const std::string dll = c_string(data, 0, size);
        if (ends_with_dll(dll)) return dll;
    }
    return std::string();
}

}  // namespace

std::string import_library_dll(const Bytes &file) {
    if (file.size() < magic_size || std::memcmp(file.data(), archive_magic, magic_size) != 0) return std::string();
    ByteReader r(file);
    size_t at = magic_size;
    // Each step moves forward by at least a header: bounded by the size.
    while (r.fits(at, member_header_size)) {
        const int64_t size = member_size(r, at);
        if (size < 0 || !r.fits(at + member_header_size, static_cast<uint64_t>(size))) return std::string();
        ByteReader member = r.sub(at + member_header_size, static_cast<uint64_t>(size));
        const char first = static_cast<char>(r.u8(at));
        const char second = static_cast<char>(r.u8(at + 1));
        // "/" and "//" (and "/SYM64/") are the symbol and name tables.
        const bool table = first == '/' && (second == ' ' || second == '/' || second == 'S');
        if (!table) {
            std::string dll = short_import_dll(member);
            if (dll.empty()) dll = object_dll(member);
            if (!dll.empty()) return dll;
        }
        at += member_header_size + static_cast<size_t>(size) + (size & 1);
    }
    return std::string();
}

}  // namespace tavrik
