#pragma once
// The upper-case table Windows file systems compare names with, for every
// UTF-16 unit of the Basic Multilingual Plane. Generated at build time from
// Unicode's UnicodeData.txt (Debian's unicode-data) by cmake/upcase_table.py;
// both the Linux and the Windows packer compile the same generated source.

#include <cstdint>
#include <string>

namespace tavrik {

// Block (high byte of the unit) -> row of upcase_block_deltas; row 0 is all
// zero and serves every block without a mapping.
extern const uint8_t upcase_block_index[256];
// What to add, modulo 2^16, to a unit to get its upper-case form.
extern const uint16_t upcase_block_deltas[][256];

inline char16_t upcase_unit(char16_t c) {
    return static_cast<char16_t>(c + upcase_block_deltas[upcase_block_index[c >> 8]][c & 0xFF]);
}

// Every unit mapped to upper case the way Windows file systems compare
// names: simple uppercase over the whole Basic Multilingual Plane,
// surrogates unchanged. Two names with the same upper-case form name the
// same file on Windows.
inline std::u16string upcase_name(const std::u16string &name) {
    std::u16string upper = name;
    for (auto &unit : upper) unit = upcase_unit(unit);
    return upper;
}

}  // namespace tavrik
