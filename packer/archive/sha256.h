#pragma once
// SHA-256 (FIPS 180-4), fed in pieces of any size. Small and portable, so
// the Linux and the Windows packer compute it the same way without a
// library that only one of the two toolchains has.

#include <array>
#include <cstddef>
#include <cstdint>

namespace tavrik {

using Sha256Digest = std::array<uint8_t, 32>;

class Sha256 {
public:
    Sha256();
    void update(const uint8_t *data, size_t size);
    // Ends the message; the object must not be updated afterwards.
    Sha256Digest finish();

private:
    void compress(const uint8_t *block);

    uint32_t state_[8];
    uint8_t pending_[64];
    size_t pending_size_ = 0;
    uint64_t total_ = 0;  // bytes fed so far
};

Sha256Digest sha256(const uint8_t *data, size_t size);

}  // namespace tavrik
