// Arbitrary bytes as they would stand in a .tavrik section, attached to a
// small stub as pack attaches them (attach_to_stub) and read back as the
// commands read them: PackedFile::open (magic, trailer, gap, digest frame),
// PackedFile::check_digest, and PackedFile::read_archive (the frame decoder
// fed from the file, then the archive reader). The digest is repaired when a
// mutation broke it, so that the archive is reached.

#include "packer/archive/attached_data.h"
#include "packer/pe/attach.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/packer/synthetic_pe.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const tavrik::Bytes stub = tavrik_test::SyntheticPe().build();
    const tavrik::Bytes attached(data, data + size);
    auto exe = tavrik::attach_to_stub(stub, attached);
    if (!exe) return 0;
    fuzz::repair(*exe);
    auto packed = fuzz::open_packed(*exe);
    if (!packed) return 0;
    auto frame = fuzz::frame_of(*packed);
    if (!frame) fuzz::broken("the frame of an opened file cannot be read");
    auto digest = packed->check_digest();
    if (!digest) fuzz::broken("a repaired digest does not match");
    // Attached data with a digest and nothing between it and the trailer is
    // what make_attached_data writes.
    const bool as_written = packed->layout().has_digest &&
                            attached.size() == frame->size() + tavrik::attached_magic_size + tavrik::attached_tail_size;
    if (as_written &&
        tavrik::make_attached_data(*frame) !=
            tavrik::Bytes(exe->begin() + packed->attached_offset(), exe->begin() + packed->attached_offset() + size))
        fuzz::broken("make_attached_data does not give back the attached data it was read from");
    if (!fuzz::decodes_small(*frame)) return 0;

    tavrik::ArchiveCollector collector(fuzz::decoded_limit);
    auto read = packed->read_archive(collector);
    // The same decoder fed a few bytes at a time, then the archive reader
    // over the whole decoded archive.
    const auto in_pieces = fuzz::decode_in_pieces(*frame, size % 7 + 1);
    auto parsed = in_pieces ? tavrik::parse_archive(*in_pieces)
                            : tavrik::Result<std::vector<tavrik::ArchiveEntry>>(tavrik::Error{"frame"});
    if (read.ok() != parsed.ok()) fuzz::broken("the archive reads differently from the file and from memory");
    if (read) {
        if (collector.entries.size() != parsed->size()) fuzz::broken("the archive's records differ");
        for (size_t i = 0; i < parsed->size(); ++i) {
            if (collector.entries[i].name != (*parsed)[i].name || collector.entries[i].content != (*parsed)[i].content)
                fuzz::broken("the archive's records differ");
        }
    }
    if (in_pieces) fuzz::check_archive(*in_pieces);
    return 0;
}
