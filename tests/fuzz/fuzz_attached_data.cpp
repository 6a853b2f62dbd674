// The attached data's reader (frame_from_attached_data, with its digest)
// and the frame decoder (decompress_frame, and the same decoder fed in small
// pieces), then the archive reader, on arbitrary bytes as they would stand
// in a .tavrik section.

#include "packer/archive/attached_data.h"
#include "packer/archive/frame.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const tavrik::Bytes attached(data, data + size);
    auto frame = tavrik::frame_from_attached_data(attached);
    if (!frame) return 0;
    // Attached data with a digest is what make_attached_data writes.
    const bool with_digest =
        attached.size() == frame->size() + tavrik::attached_magic_size + tavrik::attached_tail_size;
    if (with_digest && tavrik::make_attached_data(*frame) != attached)
        fuzz::broken("make_attached_data(frame_from_attached_data(a)) != a");
    if (!fuzz::decodes_small(*frame)) return 0;
    auto archive = tavrik::decompress_frame(*frame);
    const auto in_pieces = fuzz::decode_in_pieces(*frame, size % 7 + 1);
    if (in_pieces.has_value() != archive.ok() || (in_pieces && *in_pieces != *archive))
        fuzz::broken("the frame decodes differently when fed in pieces");
    if (!archive) return 0;
    fuzz::check_archive(*archive);
    return 0;
}
