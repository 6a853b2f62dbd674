#include "packer/archive/attached_data.h"

#include <algorithm>

namespace tavrik {

Bytes make_attached_data(const Bytes &frame, const Bytes &settings) {
    const size_t count = attached_magic_size + frame.size() + settings.size();
    Bytes out(count + attached_tail_size);
    std::copy(packed_format::magic, packed_format::magic + attached_magic_size, out.begin());
    std::copy(frame.begin(), frame.end(), out.begin() + attached_magic_size);
    std::copy(settings.begin(), settings.end(), out.begin() + attached_magic_size + frame.size());
    const Sha256Digest digest = sha256(out.data(), count);
    packed_format::write_tail(&out[count], digest.data(), count);
    return out;
}

Result<AttachedLayout> attached_layout(const Bytes &head, const Bytes &tail, uint64_t length) {
    packed_format::Layout found;
    const char *problem = packed_format::read_layout(head.data(), head.size(), tail.data(), tail.size(), length, found);
    if (problem) return Error{problem};
    AttachedLayout layout;
    layout.frame_end = found.frame_end;
    layout.archive_end = found.frame_end;
    layout.has_digest = found.has_digest;
    if (found.has_digest) std::copy(found.digest, found.digest + packed_format::digest_size, layout.digest.begin());
    return layout;
}

}  // namespace tavrik
