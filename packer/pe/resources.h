#pragma once
// A PE image's resources as a flat list, and a resource section built from
// such a list. The tree is always type > name > language > data; reading it
// range-checks every offset, and a tree that does not fit is an error.

#include <string>
#include <vector>

#include "packer/base/byte_io.h"
#include "packer/base/result.h"
#include "packer/pe/pe_image.h"

namespace tavrik {

namespace resource_type {
constexpr uint16_t icon = 3;
constexpr uint16_t group_icon = 14;
constexpr uint16_t version = 16;
constexpr uint16_t manifest = 24;
}  // namespace resource_type

// A type or name: a 16-bit number, or a string when `named`.
struct ResourceId {
    bool named = false;
    uint16_t number = 0;
    std::u16string name;

    static ResourceId of(uint16_t number) { return {false, number, {}}; }
    bool is(uint16_t n) const { return !named && number == n; }
};

bool operator==(const ResourceId &a, const ResourceId &b);
// The order of a resource directory: names first (by UTF-16 code units),
// then numbers ascending.
bool operator<(const ResourceId &a, const ResourceId &b);

struct Resource {
    ResourceId type;
    ResourceId name;
    uint16_t language = 0;
    uint32_t code_page = 0;
    Bytes data;
};

// Every resource of the image, in directory order; none when the image has
// no resource directory.
Result<std::vector<Resource>> read_resources(const Bytes &file, const PeImage &image);

// The contents of a resource section mapped at `section_rva`: the directory
// tables, the data entries, the names and then the data, each on an 8-byte
// boundary. Entries are written in directory order whatever the order of
// `resources`; two with the same type, name and language are an error.
Result<Bytes> build_resource_section(std::vector<Resource> resources, uint32_t section_rva);

}  // namespace tavrik
