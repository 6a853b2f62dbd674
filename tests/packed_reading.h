#pragma once
// A packed executable held in memory, read back the way list, verify and
// extract read one from its file: through PackedFile.

#include <string>
#include <vector>

#include "packer/archive/archive.h"
#include "packer/packed/packed_file.h"
#include "packer/platform/file_io.h"

namespace tavrik_test {

inline tavrik::Result<tavrik::PackedFile> open_packed(const tavrik::Bytes &exe) {
    return tavrik::PackedFile::open(tavrik::InputFile::in_memory(exe, "packed.exe"), "\"packed.exe\"");
}

// Every record, once the digest (when there is one) has been checked.
inline tavrik::Result<std::vector<tavrik::ArchiveEntry>> read_packed(const tavrik::Bytes &exe) {
    auto packed = open_packed(exe);
    if (!packed) return tavrik::Error{packed.error()};
    auto digest = packed->check_digest();
    if (!digest) return tavrik::Error{digest.error()};
    tavrik::ArchiveCollector collector(exe.size());
    auto read = packed->read_archive(collector);
    if (!read) return tavrik::Error{read.error()};
    return std::move(collector.entries);
}

}  // namespace tavrik_test
