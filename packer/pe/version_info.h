#pragma once
// The data of an RT_VERSION resource: a VS_VERSIONINFO tree of nodes
// (wLength, wValueLength, wType, key, value, children), each on a 32-bit
// boundary from the start of the resource.

#include <string>
#include <utility>
#include <vector>

#include "packer/base/byte_io.h"
#include "packer/base/result.h"

namespace tavrik {

// Four 16-bit parts, most significant first: 1.2.3.4 is 0x0001000200030004.
using FixedVersion = uint64_t;

struct VersionInfo {
    bool has_fixed = false;          // a VS_FIXEDFILEINFO was found
    FixedVersion file_version = 0;
    FixedVersion product_version = 0;
    // NAME, VALUE of the first string table, in stored order.
    std::vector<std::pair<std::u16string, std::u16string>> strings;
};

// The fixed versions and the strings of the first string table. A tree
// whose nodes do not fit inside each other is an error.
Result<VersionInfo> parse_version_info(const Bytes &data);

// A version resource for an application: the fixed versions, the strings in
// the given order in one string table for US English / Unicode (040904b0),
// and the matching Translation. Refused when it would exceed the 65535 bytes
// a node's length can say.
Result<Bytes> build_version_info(const VersionInfo &info);

// "1.2.3.4"
std::string version_text(FixedVersion version);

}  // namespace tavrik
