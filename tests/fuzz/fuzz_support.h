#pragma once
// Shared by the fuzz targets: what a target may assume, and the one check
// that stops the fuzzer without being a finding.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>

#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_decompressBound
#include <zstd.h>

#include "format/packed_format.h"
#include "packer/archive/archive.h"
#include "packer/archive/frame.h"
#include "packer/archive/names.h"
#include "packer/archive/sha256.h"
#include "packer/base/byte_io.h"
#include "packer/base/utf.h"
#include "packer/cli/commands.h"
#include "packer/packed/packed_file.h"
#include "packer/pe/pe_checksum.h"
#include "packer/pe/pe_image.h"
#include "packer/platform/file_io.h"
#include "packer/platform/path_text.h"

namespace fuzz {

// A property the readers promise was broken: stop with a message, so that
// libFuzzer keeps the input as a crash.
[[noreturn]] inline void broken(const char *what) {
    std::fprintf(stderr, "property broken: %s\n", what);
    std::abort();
}

// Frames that decode to more than this are left alone: a few bytes of zstd
// can stand for gigabytes, and the readers are not limited on purpose (a
// packed executable's archive can be large). Not a finding, only a bound on
// one run's memory and time.
constexpr unsigned long long decoded_limit = 16ull << 20;

inline bool decodes_small(const tavrik::Bytes &frame) {
    const unsigned long long bound = ZSTD_decompressBound(frame.data(), frame.size());
    return bound != ZSTD_CONTENTSIZE_ERROR && bound <= decoded_limit;
}

// The streaming decoder fed `piece` bytes at a time; empty on any error.
inline std::optional<tavrik::Bytes> decode_in_pieces(const tavrik::Bytes &frame, size_t piece) {
    size_t at = 0;
    tavrik::FrameDecoder decoder([&](uint8_t *buffer, size_t capacity) -> tavrik::Result<size_t> {
        const size_t n = std::min({capacity, piece, frame.size() - at});
        std::copy(frame.begin() + at, frame.begin() + at + n, buffer);
        at += n;
        return n;
    });
    tavrik::Bytes out;
    uint8_t chunk[333];
    while (true) {
        auto got = decoder.read(chunk, sizeof chunk);
        if (!got) return std::nullopt;
        if (*got == 0) return out;
        out.insert(out.end(), chunk, chunk + *got);
    }
}

// What `extract` relies on for every entry that passed check_entries: each
// "\"-separated part of the name becomes one plain path component below the
// output directory, never "..", ".", a root or a drive.
inline void check_extractable(const std::vector<tavrik::ArchiveEntry> &entries) {
    for (const auto &entry : entries) {
        size_t start = 0;
        while (true) {
            const size_t end = entry.name.find(u'\\', start);
            auto text = tavrik::utf16_to_utf8(entry.name.substr(start, end - start));
            if (!text) broken("a checked name does not convert to UTF-8");
            auto part = tavrik::path_from_utf8(*text);
            if (!part) broken("a checked name's part is no path");
            const std::filesystem::path &p = *part;
            if (p.empty() || p.has_root_path() || p == "." || p == ".." || p.has_parent_path() ||
                std::distance(p.begin(), p.end()) != 1)
                broken("a checked name's part is not one plain component");
            if (end == std::u16string::npos) break;
            start = end + 1;
        }
    }
}

// parse_archive and write_archive are inverses on archives whose names pass.
inline void check_archive(const tavrik::Bytes &archive) {
    auto entries = tavrik::parse_archive(archive);
    if (!entries) return;
    for (const auto &entry : *entries) (void)tavrik::shown_name(entry.name);
    if (!tavrik::check_entries(*entries)) return;
    check_extractable(*entries);
    auto written = tavrik::write_archive(*entries);
    if (!written) broken("entries that pass check_entries are refused by write_archive");
    if (*written != archive) broken("write_archive(parse_archive(a)) != a");
}

// The file held in memory, opened as the commands open one from disk.
inline tavrik::Result<tavrik::PackedFile> open_packed(const tavrik::Bytes &file) {
    return tavrik::PackedFile::open(tavrik::InputFile::in_memory(file, "fuzz.exe"), "\"fuzz.exe\"");
}

// The archive's zstd frame of an opened file (without a cached-mode frame
// after it), for the bound on its decoded size.
inline std::optional<tavrik::Bytes> frame_of(const tavrik::PackedFile &packed) {
    auto frame = packed.read_range(packed.attached_offset() + packed_format::magic_size,
                                   static_cast<size_t>(packed.layout().archive_end - packed_format::magic_size));
    if (!frame) return std::nullopt;
    return std::move(*frame);
}

// `tavrik-pack verify`, and with `list_too` `list`, over the file through
// the commands' own code (their output goes nowhere). A frame that could
// decode to more than decoded_limit is not read.
inline void inspect_packed(const tavrik::Bytes &file, bool list_too) {
    auto packed = open_packed(file);
    if (!packed) return;
    auto frame = frame_of(*packed);
    if (!frame || !decodes_small(*frame)) return;
    std::ostream nowhere(nullptr);
    if (list_too) (void)tavrik::list_packed(*packed, nowhere);
    (void)tavrik::verify_packed(*packed, nowhere);
}

// Makes the recorded digest and the PE checksum match the file's bytes
// again, as a mutation rarely leaves them: the commands stop at either
// mismatch before they read the archive. False when nothing changed.
inline bool repair(tavrik::Bytes &file) {
    auto packed = open_packed(file);
    if (!packed) return false;
    bool changed = false;
    const tavrik::AttachedLayout &layout = packed->layout();
    if (layout.has_digest) {
        const size_t at = static_cast<size_t>(packed->attached_offset());
        const tavrik::Sha256Digest digest = tavrik::sha256(&file[at], static_cast<size_t>(layout.frame_end));
        if (digest != layout.digest) {
            const size_t digest_at = at + static_cast<size_t>(layout.frame_end) + 8 + sizeof packed_format::digest_tag;
            std::copy(digest.begin(), digest.end(), file.begin() + digest_at);
            changed = true;
        }
    }
    const size_t checksum_at = packed->image().optional_header_offset + tavrik::pe::opt_checksum;
    const uint32_t checksum = tavrik::pe_checksum(file, checksum_at);
    if (tavrik::load_u32(file, checksum_at) != checksum) {
        tavrik::store_u32(file, checksum_at, checksum);
        changed = true;
    }
    return changed;
}

}  // namespace fuzz
