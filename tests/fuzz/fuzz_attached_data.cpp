// The attached data's reader (frame_from_attached_data) and the frame
// decoder (decompress_frame), then the archive reader, on arbitrary bytes
// as they would stand in a .tavrik section.

#include "packer/attached_data.h"
#include "packer/frame.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const tavrik::Bytes attached(data, data + size);
    auto frame = tavrik::frame_from_attached_data(attached);
    if (!frame) return 0;
    if (tavrik::make_attached_data(*frame) != attached)
        fuzz::broken("make_attached_data(frame_from_attached_data(a)) != a");
    if (!fuzz::decodes_small(*frame)) return 0;
    auto archive = tavrik::decompress_frame(*frame);
    if (!archive) return 0;
    fuzz::check_archive(*archive);
    return 0;
}
