#include "synthetic_pe.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace tavrik_test {

uint16_t get_u16(const Bytes &b, size_t at) { return static_cast<uint16_t>(b.at(at) | b.at(at + 1) << 8); }
uint32_t get_u32(const Bytes &b, size_t at) { return get_u16(b, at) | uint32_t{get_u16(b, at + 2)} << 16; }
uint64_t get_u64(const Bytes &b, size_t at) { return get_u32(b, at) | uint64_t{get_u32(b, at + 4)} << 32; }

void put_u32(Bytes &b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.at(at + i) = static_cast<uint8_t>(v >> (8 * i));
}

namespace {

void put_u16(Bytes &b, size_t at, uint16_t v) {
    b.at(at) = static_cast<uint8_t>(v);
    b.at(at + 1) = static_cast<uint8_t>(v >> 8);
}

void append_u16(Bytes &b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}

void append_u32(Bytes &b, uint32_t v) {
    append_u16(b, static_cast<uint16_t>(v));
    append_u16(b, static_cast<uint16_t>(v >> 16));
}

void pad4(Bytes &b) {
    while (b.size() % 4) b.push_back(0);
}

uint32_t align(uint32_t v, uint32_t a) { return (v + a - 1) / a * a; }

// The import descriptors (20 bytes, Name at +12, FirstThunk at +16 set to
// the name's RVA: never bound here, only present) and a zero one, the
// delay-load descriptors (32 bytes: Attributes 1, DllNameRVA at +4) and a
// zero one, then the names; `rva` is where the section is mapped. Sets the
// offsets of the two tables within the section.
Bytes import_section(uint32_t rva, const std::vector<std::string> &imports, const std::vector<std::string> &delayed,
                     uint32_t &delay_offset) {
    delay_offset = static_cast<uint32_t>(20 * (imports.size() + 1));
    uint32_t name_at = rva + delay_offset + static_cast<uint32_t>(32 * (delayed.size() + 1));
    Bytes b, names;
    for (const auto &name : imports) {
        b.resize(b.size() + 12, 0);
        append_u32(b, name_at + static_cast<uint32_t>(names.size()));
        append_u32(b, name_at + static_cast<uint32_t>(names.size()));
        names.insert(names.end(), name.begin(), name.end());
        names.push_back(0);
    }
    b.resize(b.size() + 20, 0);
    for (const auto &name : delayed) {
        append_u32(b, 1);
        append_u32(b, name_at + static_cast<uint32_t>(names.size()));
        b.resize(b.size() + 24, 0);
        names.insert(names.end(), name.begin(), name.end());
        names.push_back(0);
    }
    b.resize(b.size() + 32, 0);
    b.insert(b.end(), names.begin(), names.end());
    return b;
}

// IMAGE_EXPORT_DIRECTORY, then the address, name pointer and ordinal
// tables, then the names; `rva` is where the section is mapped.
Bytes export_section(uint32_t rva, const std::vector<std::string> &names) {
    const uint32_t n = static_cast<uint32_t>(names.size());
    const uint32_t functions = rva + 40, name_table = functions + 4 * n, ordinals = name_table + 4 * n;
    const uint32_t strings = ordinals + 2 * n;
    Bytes b;
    append_u32(b, 0);               // Characteristics
    append_u32(b, 0);               // TimeDateStamp
    append_u32(b, 0);               // Major/MinorVersion
    append_u32(b, strings);         // Name: points at the first export name
    append_u32(b, 1);               // Base
    append_u32(b, n);               // NumberOfFunctions
    append_u32(b, n);               // NumberOfNames
    append_u32(b, functions);
    append_u32(b, name_table);
    append_u32(b, ordinals);
    for (uint32_t i = 0; i < n; ++i) append_u32(b, 0x1000 + 0x10 * i);
    uint32_t at = strings;
    for (const auto &name : names) {
        append_u32(b, at);
        at += static_cast<uint32_t>(name.size() + 1);
    }
    for (uint32_t i = 0; i < n; ++i) append_u16(b, static_cast<uint16_t>(i));
    for (const auto &name : names) b.insert(b.end(), name.c_str(), name.c_str() + name.size() + 1);
    return b;
}

// One node of a version resource: wLength, wValueLength, wType, key,
// padding, value, padding, children (each padded to 32 bits).
Bytes version_node(const std::u16string &key, uint16_t type, const Bytes &value, uint16_t value_length,
                   const std::vector<Bytes> &children) {
    Bytes b(6, 0);
    for (char16_t c : key) append_u16(b, c);
    append_u16(b, 0);
    pad4(b);
    b.insert(b.end(), value.begin(), value.end());
    for (const auto &child : children) {
        pad4(b);
        b.insert(b.end(), child.begin(), child.end());
    }
    b[0] = static_cast<uint8_t>(b.size());
    b[1] = static_cast<uint8_t>(b.size() >> 8);
    b[2] = static_cast<uint8_t>(value_length);
    b[3] = static_cast<uint8_t>(value_length >> 8);
    b[4] = static_cast<uint8_t>(type);
    return b;
}

Bytes version_string_node(const std::u16string &key, const std::u16string &text) {
    Bytes value;
    for (char16_t c : text) append_u16(value, c);
    append_u16(value, 0);
    return version_node(key, 1, value, static_cast<uint16_t>(text.size() + 1), {});
}

Bytes version_info(const std::u16string &product) {
    Bytes fixed;
    append_u32(fixed, 0xFEEF04BD);
    fixed.resize(52, 0);
    const Bytes table = version_node(u"040904b0", 1, {}, 0,
                                     {version_string_node(u"CompanyName", u"Tavrik project"),
                                      version_string_node(u"ProductName", product)});
    return version_node(u"VS_VERSION_INFO", 0, fixed, 52, {version_node(u"StringFileInfo", 1, {}, 0, {table})});
}

// Root -> one directory per type -> id 1 -> language 0x409 -> data entry,
// for each of `resources` (type, data) in ascending type order; the
// directories first, then the data entries, then the data.
Bytes resource_section(uint32_t rva, const std::vector<std::pair<uint32_t, Bytes>> &resources) {
    const uint32_t n = static_cast<uint32_t>(resources.size());
    const uint32_t types_at = 16 + 8 * n, languages_at = types_at + 24 * n, entries_at = languages_at + 24 * n;
    Bytes b;
    auto header = [&b](uint16_t ids) {
        for (int i = 0; i < 3; ++i) append_u32(b, 0);
        append_u16(b, 0);    // named entries
        append_u16(b, ids);  // id entries
    };
    header(static_cast<uint16_t>(n));
    for (uint32_t i = 0; i < n; ++i) {
        append_u32(b, resources[i].first);
        append_u32(b, 0x80000000 | (types_at + 24 * i));
    }
    for (uint32_t i = 0; i < n; ++i) {
        header(1);
        append_u32(b, 1);
        append_u32(b, 0x80000000 | (languages_at + 24 * i));
    }
    for (uint32_t i = 0; i < n; ++i) {
        header(1);
        append_u32(b, 0x409);
        append_u32(b, entries_at + 16 * i);
    }
    uint32_t data_at = entries_at + 16 * n;
    for (const auto &resource : resources) {
        append_u32(b, rva + data_at);
        append_u32(b, static_cast<uint32_t>(resource.second.size()));
        append_u32(b, 0);
        append_u32(b, 0);
        data_at += (static_cast<uint32_t>(resource.second.size()) + 3) / 4 * 4;
    }
    for (const auto &resource : resources) {
        b.insert(b.end(), resource.second.begin(), resource.second.end());
        pad4(b);
    }
    return b;
}

}  // namespace

SyntheticPe SyntheticPe::launcher() {
    SyntheticPe pe;
    pe.product_name = u"Tavrik launcher";
    pe.manifest =
        "<assembly><trustInfo><security><requestedPrivileges>\n"
        "  <requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>\n"
        "</requestedPrivileges></security></trustInfo></assembly>\n";
    return pe;
}

SyntheticPe SyntheticPe::application() {
    SyntheticPe pe;
    pe.dll = true;
    pe.exports = {"helper", "run_code"};
    return pe;
}

Bytes SyntheticPe::build() const {
    // Generated sections go after the given ones, mapped where the loop
    // below will put them.
    std::vector<SyntheticSection> all = sections;
    std::vector<Bytes> generated(sections.size());
    uint32_t next_rva = 0x1000;
    for (const auto &s : sections) next_rva += align(std::max(s.virtual_size, s.raw_size), section_alignment);
    uint32_t export_rva = 0, resource_rva = 0;
    Bytes export_data, resource_data;
    if (!exports.empty()) {
        export_rva = next_rva;
        export_data = export_section(export_rva, exports);
        all.push_back({".edata", static_cast<uint32_t>(export_data.size()),
                       align(static_cast<uint32_t>(export_data.size()), file_alignment)});
        generated.push_back(export_data);
        next_rva += align(all.back().raw_size, section_alignment);
    }
    uint32_t import_rva = 0, delay_rva = 0, import_size = 0;
    if (!imports.empty() || !delay_imports.empty()) {
        uint32_t delay_offset = 0;
        const Bytes import_data = import_section(next_rva, imports, delay_imports, delay_offset);
        import_rva = imports.empty() ? 0 : next_rva;
        import_size = delay_offset;
        delay_rva = delay_imports.empty() ? 0 : next_rva + delay_offset;
        all.push_back({".idata", static_cast<uint32_t>(import_data.size()),
                       align(static_cast<uint32_t>(import_data.size()), file_alignment)});
        generated.push_back(import_data);
        next_rva += align(all.back().raw_size, section_alignment);
    }
    if (!product_name.empty() || !manifest.empty() || resources) {
        resource_rva = next_rva;
        std::vector<std::pair<uint32_t, Bytes>> listed;
        if (!product_name.empty()) listed.emplace_back(16, version_info(product_name));
        if (!manifest.empty()) listed.emplace_back(24, Bytes(manifest.begin(), manifest.end()));
        resource_data = resources ? resources(resource_rva) : resource_section(resource_rva, listed);
        all.push_back({".rsrc", static_cast<uint32_t>(resource_data.size()),
                       align(static_cast<uint32_t>(resource_data.size()), file_alignment)});
        generated.push_back(resource_data);
    }

    uint32_t raw_total = 0;
    for (const auto &s : all) raw_total += s.raw_size;
    Bytes image(size_of_headers + raw_total, 0);

    image[0] = 'M';
    image[1] = 'Z';
    put_u32(image, 0x3C, 0x80);
    std::memcpy(&image[0x80], "PE\0\0", 4);

    put_u16(image, coff_header, machine);
    put_u16(image, coff_header + 2, static_cast<uint16_t>(all.size()));
    put_u32(image, coff_header + 8, symbol_table_offset);
    put_u16(image, coff_header + 16, 240);
    put_u16(image, coff_header + 18, dll ? 0x2022 : 0x0022);  // executable, large-address aware, DLL

    const size_t oh = optional_header;
    put_u16(image, oh, magic);
    put_u32(image, oh + 8, raw_total);  // SizeOfInitializedData
    put_u32(image, oh + 16, 0x1000);    // AddressOfEntryPoint
    put_u32(image, oh + 24, 0x40000000);  // ImageBase, low half
    put_u32(image, oh + 32, section_alignment);
    put_u32(image, oh + 36, file_alignment);
    put_u16(image, oh + 48, 6);  // subsystem version 6.0
    put_u32(image, oh + 60, size_of_headers);
    put_u32(image, oh + 64, checksum);
    put_u16(image, oh + 68, subsystem);
    put_u32(image, oh + 108, 16);
    put_u32(image, oh + 112 + 4 * 8, certificate_offset);
    put_u32(image, oh + 112 + 4 * 8 + 4, certificate_size);
    put_u32(image, oh + 112, export_rva);
    put_u32(image, oh + 112 + 4, static_cast<uint32_t>(export_data.size()));
    if (import_rva != 0 || delay_rva != 0) {
        put_u32(image, oh + 112 + 1 * 8, import_rva);
        put_u32(image, oh + 112 + 1 * 8 + 4, import_rva ? import_size : 0);
        put_u32(image, oh + 112 + 13 * 8, delay_rva);
        put_u32(image, oh + 112 + 13 * 8 + 4, delay_rva ? 32 : 0);
    } else if (import_directory) {
        // An empty import table (its terminating descriptor) at the start
        // of the second section, zeroed below.
        put_u32(image, oh + 112 + 1 * 8, 0x2000);
        put_u32(image, oh + 112 + 1 * 8 + 4, 20);
    }
    put_u32(image, oh + 112 + 2 * 8, resource_rva);
    put_u32(image, oh + 112 + 2 * 8 + 4, static_cast<uint32_t>(resource_data.size()));

    uint32_t raw_offset = size_of_headers;
    uint32_t virtual_address = 0x1000;
    for (size_t i = 0; i < all.size(); ++i) {
        const auto &s = all[i];
        const size_t h = section_table + 40 * i;
        std::memcpy(&image[h], s.name.data(), s.name.size());
        put_u32(image, h + 8, s.virtual_size);
        put_u32(image, h + 12, virtual_address);
        put_u32(image, h + 16, s.raw_size);
        put_u32(image, h + 20, s.raw_size ? raw_offset : 0);
        // The first section is code (CNT_CODE, MEM_EXECUTE, MEM_READ), the
        // others initialized data.
        put_u32(image, h + 36, i == 0 ? 0x60000020 : 0x40000040);
        if (i < sections.size()) {
            for (uint32_t k = 0; k < s.raw_size; ++k) image[raw_offset + k] = static_cast<uint8_t>(i * 31 + k);
            if (i == 1 && import_directory && import_rva == 0 && delay_rva == 0) {
                for (uint32_t k = 0; k < 20 && k < s.raw_size; ++k) image[raw_offset + k] = 0;
            }
        } else {
            std::copy(generated[i].begin(), generated[i].end(), image.begin() + raw_offset);
        }
        raw_offset += s.raw_size;
        const uint32_t extent = s.virtual_size > s.raw_size ? s.virtual_size : s.raw_size;
        virtual_address += (extent + section_alignment - 1) / section_alignment * section_alignment;
    }
    put_u32(image, oh + 56, virtual_address);  // SizeOfImage
    image.insert(image.end(), overlay.begin(), overlay.end());
    return image;
}

}  // namespace tavrik_test
