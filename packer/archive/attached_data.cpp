#include "packer/archive/attached_data.h"

#include <algorithm>
#include <cstring>

namespace tavrik {

namespace {

constexpr uint8_t magic[attached_magic_size] = {'Z', 'U', 'B'};
constexpr size_t gap_size = 3;
constexpr size_t trailer_size = 8 + 8;
// A zstd skippable frame: u32 LE magic, u32 LE size, then the content.
constexpr uint32_t digest_frame_magic = 0x184D2A50;
constexpr char digest_tag[8] = {'s', 'h', 'a', '2', '5', '6', 0, 0};
constexpr size_t digest_content_size = sizeof digest_tag + 32;
constexpr size_t digest_frame_size = 8 + digest_content_size;
static_assert(attached_tail_size == digest_frame_size + gap_size + trailer_size, "tail layout");

void append_u32(Bytes &b, uint32_t v) {
    for (int shift = 0; shift < 32; shift += 8) b.push_back(static_cast<uint8_t>(v >> shift));
}

}  // namespace

Bytes make_attached_data(const Bytes &frame) {
    Bytes out;
    out.reserve(sizeof magic + frame.size() + attached_tail_size);
    out.insert(out.end(), magic, magic + sizeof magic);
    out.insert(out.end(), frame.begin(), frame.end());
    const Sha256Digest digest = sha256(out.data(), out.size());
    append_u32(out, digest_frame_magic);
    append_u32(out, digest_content_size);
    out.insert(out.end(), digest_tag, digest_tag + sizeof digest_tag);
    out.insert(out.end(), digest.begin(), digest.end());
    out.insert(out.end(), gap_size, 0);
    append_u64(out, out.size());
    out.insert(out.end(), 8, 0);
    return out;
}

Result<AttachedLayout> attached_layout(const Bytes &head, const Bytes &tail, uint64_t length) {
    const uint64_t overhead = sizeof magic + gap_size + trailer_size;
    if (length < overhead) return Error{"attached data is too short"};
    if (head.size() < sizeof magic || !std::equal(magic, magic + sizeof magic, head.begin())) {
        return Error{"attached data does not start with its magic"};
    }
    if (tail.size() != std::min<uint64_t>(length, attached_tail_size)) return Error{"attached data tail is missing"};
    // Offsets into `tail` from here on.
    const size_t count_at = tail.size() - trailer_size;
    for (size_t i = count_at + 8; i < tail.size(); ++i) {
        if (tail[i] != 0) return Error{"attached data trailer is not zero-padded"};
    }
    if (load_u64(tail, count_at) != length - trailer_size) {
        return Error{"attached data trailer does not match its length"};
    }
    for (size_t i = count_at - gap_size; i < count_at; ++i) {
        if (tail[i] != 0) return Error{"attached data has no zero gap after the frame"};
    }
    AttachedLayout layout;
    layout.frame_end = length - trailer_size - gap_size;
    const size_t digest_at = count_at - gap_size;
    if (length >= overhead + digest_frame_size && digest_at >= digest_frame_size) {
        const size_t frame_at = digest_at - digest_frame_size;
        if (load_u32(tail, frame_at) == digest_frame_magic && load_u32(tail, frame_at + 4) == digest_content_size &&
            std::memcmp(&tail[frame_at + 8], digest_tag, sizeof digest_tag) == 0) {
            layout.has_digest = true;
            layout.frame_end -= digest_frame_size;
            std::copy(tail.begin() + frame_at + 8 + sizeof digest_tag, tail.begin() + digest_at,
                      layout.digest.begin());
        }
    }
    return layout;
}

Result<Bytes> frame_from_attached_data(const Bytes &attached) {
    const size_t tail_size = std::min(attached.size(), attached_tail_size);
    const Bytes head(attached.begin(), attached.begin() + std::min(attached.size(), sizeof magic));
    const Bytes tail(attached.end() - tail_size, attached.end());
    auto layout = attached_layout(head, tail, attached.size());
    if (!layout) return Error{layout.error()};
    if (layout->has_digest && sha256(attached.data(), layout->frame_end) != layout->digest) {
        return Error{digest_mismatch};
    }
    return Bytes(attached.begin() + sizeof magic, attached.begin() + layout->frame_end);
}

}  // namespace tavrik
