#include "packer/attached_data.h"

#include <algorithm>

namespace tavrik {

namespace {

constexpr uint8_t magic[3] = {'Z', 'U', 'B'};
constexpr size_t gap_size = 3;
constexpr size_t trailer_size = 8 + 8;

}  // namespace

Bytes make_attached_data(const Bytes &frame) {
    Bytes out(sizeof magic + frame.size() + gap_size + trailer_size, 0);
    std::copy(magic, magic + sizeof magic, out.begin());
    std::copy(frame.begin(), frame.end(), out.begin() + sizeof magic);
    out.resize(sizeof magic + frame.size());
    out.insert(out.end(), gap_size, 0);
    append_u64(out, out.size());
    out.insert(out.end(), 8, 0);
    return out;
}

Result<Bytes> frame_from_attached_data(const Bytes &attached) {
    const size_t overhead = sizeof magic + gap_size + trailer_size;
    if (attached.size() < overhead) return Error{"attached data is too short"};
    if (!std::equal(magic, magic + sizeof magic, attached.begin())) {
        return Error{"attached data does not start with its magic"};
    }
    const size_t count_at = attached.size() - trailer_size;
    for (size_t i = count_at + 8; i < attached.size(); ++i) {
        if (attached[i] != 0) return Error{"attached data trailer is not zero-padded"};
    }
    if (load_u64(attached, count_at) != count_at) {
        return Error{"attached data trailer does not match its length"};
    }
    for (size_t i = count_at - gap_size; i < count_at; ++i) {
        if (attached[i] != 0) return Error{"attached data has no zero gap after the frame"};
    }
    return Bytes(attached.begin() + sizeof magic, attached.begin() + (count_at - gap_size));
}

}  // namespace tavrik
