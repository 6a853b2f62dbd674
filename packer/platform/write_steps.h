#pragma once
// The parts of the packer's writes that are the same on Windows and POSIX,
// for windows.cpp and posix.cpp only.

#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "packer/platform/path_text.h"

namespace tavrik {
namespace write_steps {

// A unique name beside `target` for its temporary copy.
inline std::filesystem::path temporary_beside(const std::filesystem::path &target) {
    static std::random_device random_source;
    static const char hex[] = "0123456789abcdef";
    std::string suffix = ".tmp-";
    for (int i = 0; i < 4; ++i) {
        const uint32_t r = random_source();
        for (int shift = 0; shift < 32; shift += 4) suffix.push_back(hex[(r >> shift) & 0xF]);
    }
    std::filesystem::path temporary = target;
    temporary += ascii_path(suffix.c_str());
    return temporary;
}

constexpr int temporary_attempts = 16;

// How many of the open directories of `chain` the next file's directories
// (`parts` but its last) share, from the first: those are reused, the rest
// closed (after the caller has checked them).
template <typename Chain, typename Text>
size_t shared_directories(const Chain &chain, const std::vector<Text> &parts) {
    const size_t directories = parts.size() - 1;
    size_t keep = 0;
    while (keep < chain.size() && keep < directories && chain[keep].first == parts[keep]) ++keep;
    return keep;
}

}  // namespace write_steps
}  // namespace tavrik
