// tavrik-fuzz-seeds PACKED.exe CORPUS: the fuzzers' seeds, cut from a real
// packed executable with the packer's own reader and writers (no second
// reading of the format):
//   fuzz_packed_executable/packed.exe  PACKED.exe itself
//   fuzz_packed_executable/small.dll   a small DLL exporting run_code that
//                                      carries the small archive
//   fuzz_attached_data/packed.bin      PACKED.exe's attached data
//   fuzz_attached_data/small.bin       the small archive's attached data
//   fuzz_attached_data/small-without-digest.bin  the same as packed before
//                                      digests were recorded
//   fuzz_archive/packed.bin            PACKED.exe's decoded archive
//   fuzz_archive/small.bin             the same records, contents cut to at
//                                      most 16 bytes

#include <cstdio>
#include <fstream>
#include <iostream>

#include "format/packed_format.h"
#include "packer/archive/archive.h"
#include "packer/archive/attached_data.h"
#include "packer/archive/frame.h"
#include "packer/packed/packed_file.h"
#include "packer/pe/attach.h"
#include "tests/packer/synthetic_pe.h"

namespace {

int fail(const std::string &why) {
    std::cerr << "tavrik-fuzz-seeds: " << why << '\n';
    return 1;
}

bool write(const std::filesystem::path &path, const tavrik::Bytes &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 3) return fail("usage: tavrik-fuzz-seeds PACKED.exe CORPUS");
    const std::filesystem::path corpus = argv[2];
    auto packed = tavrik::PackedFile::open(argv[1]);
    if (!packed) return fail(packed.error());
    auto digest = packed->check_digest();
    if (!digest) return fail(digest.error());
    auto exe = packed->read_range(0, static_cast<size_t>(packed->size()));
    auto attached = packed->read_range(packed->attached_offset(), static_cast<size_t>(packed->attached_size()));
    if (!exe || !attached) return fail("cannot read " + packed->shown());
    tavrik::ArchiveCollector collector(packed->size());
    auto read = packed->read_archive(collector);
    if (!read) return fail(packed->shown() + " is damaged: " + read.error());
    // The archive writer gives back the bytes the reader took them from.
    auto archive = tavrik::write_archive(collector.entries);
    if (!archive) return fail(archive.error());

    std::vector<tavrik::ArchiveEntry> small_entries = collector.entries;
    for (auto &entry : small_entries) entry.content.resize(std::min<size_t>(entry.content.size(), 16));
    auto small = tavrik::write_archive(small_entries);
    if (!small) return fail(small.error());
    auto small_frame = tavrik::compress_frame(*small, tavrik::default_level, 1);
    if (!small_frame) return fail(small_frame.error());
    const tavrik::Bytes small_attached = tavrik::make_attached_data(*small_frame);
    // Without the digest frame: magic, frame, gap, count, padding.
    tavrik::Bytes legacy(small_attached.begin(),
                         small_attached.begin() + packed_format::magic_size + small_frame->size());
    legacy.resize(legacy.size() + packed_format::gap_size + packed_format::trailer_size, 0);
    packed_format::store_u64(&legacy[legacy.size() - packed_format::trailer_size],
                             legacy.size() - packed_format::trailer_size);
    // A few kilobytes mutate far faster than the real stub.
    auto small_dll = tavrik::attach_to_stub(tavrik_test::SyntheticPe::application().build(), small_attached);
    if (!small_dll) return fail(small_dll.error());

    const std::pair<const char *, const tavrik::Bytes &> seeds[] = {
        {"fuzz_packed_executable/packed.exe", *exe},
        {"fuzz_packed_executable/small.dll", *small_dll},
        {"fuzz_attached_data/packed.bin", *attached},
        {"fuzz_attached_data/small.bin", small_attached},
        {"fuzz_attached_data/small-without-digest.bin", legacy},
        {"fuzz_archive/packed.bin", *archive},
        {"fuzz_archive/small.bin", *small},
    };
    for (const auto &[name, bytes] : seeds) {
        std::filesystem::create_directories((corpus / name).parent_path());
        if (!write(corpus / name, bytes)) return fail(std::string("cannot write ") + name);
    }
    return 0;
}
