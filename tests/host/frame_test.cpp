#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_getFrameHeader
#include <zstd.h>

#include <gtest/gtest.h>

#include "packer/attached_data.h"
#include "packer/frame.h"

using tavrik::Bytes;
using tavrik::compress_frame;

namespace {

// Half text-like and repetitive, half pseudo-random, so the compressor has
// both matches and literals to deal with.
Bytes sample(size_t size) {
    Bytes b(size);
    uint32_t state = 12345;
    for (size_t i = 0; i < size; ++i) {
        state = state * 1103515245 + 12345;
        b[i] = (i / 4096) % 2 ? static_cast<uint8_t>(state >> 16) : static_cast<uint8_t>("tavrik "[i % 7]);
    }
    return b;
}

}  // namespace

class FrameShape : public testing::TestWithParam<std::tuple<size_t, int>> {};

TEST_P(FrameShape, DeclaresFullWindowNoSizeNoChecksumAndDecodes) {
    const auto [size, threads] = GetParam();
    const Bytes input = sample(size);
    auto frame = compress_frame(input, 3, threads);
    ASSERT_TRUE(frame) << frame.error();

    ZSTD_frameHeader header{};
    ASSERT_EQ(ZSTD_getFrameHeader(&header, frame->data(), frame->size()), 0u);
    EXPECT_EQ(header.frameType, ZSTD_frame);
    EXPECT_EQ(header.windowSize, 1ull << 27);
    EXPECT_EQ(header.frameContentSize, ZSTD_CONTENTSIZE_UNKNOWN);
    EXPECT_EQ(header.checksumFlag, 0u);
    EXPECT_EQ(ZSTD_findFrameCompressedSize(frame->data(), frame->size()), frame->size());

    // Decoded with plain zstd, not the packer's own reader.
    Bytes decoded(size + 1);
    const size_t n = ZSTD_decompress(decoded.data(), decoded.size(), frame->data(), frame->size());
    ASSERT_FALSE(ZSTD_isError(n)) << ZSTD_getErrorName(n);
    decoded.resize(n);
    EXPECT_EQ(decoded, input);

    auto ours = tavrik::decompress_frame(*frame);
    ASSERT_TRUE(ours) << ours.error();
    EXPECT_EQ(*ours, input);
}

INSTANTIATE_TEST_SUITE_P(SizesAndThreads, FrameShape,
                         testing::Combine(testing::Values(size_t{0}, size_t{2}, size_t{32768},
                                                          size_t{3} << 20),
                                          testing::Values(0, 2)));

TEST(Frame, SameInputGivesSameBytes) {
    const Bytes input = sample(1 << 20);
    const Bytes once = *compress_frame(input, 19, 0);
    EXPECT_EQ(*compress_frame(input, 19, 0), once);
    // Any worker count must give one and the same frame; 0 means 1.
    const Bytes one_worker = *compress_frame(input, 19, 1);
    EXPECT_EQ(once, one_worker);
    EXPECT_EQ(*compress_frame(input, 19, 3), one_worker);
    EXPECT_EQ(*compress_frame(input, 19, 1), one_worker);
}

TEST(Frame, RefusesBadSettings) {
    EXPECT_FALSE(compress_frame({1}, 0, 0));
    EXPECT_FALSE(compress_frame({1}, 23, 0));
    EXPECT_FALSE(compress_frame({1}, -1, 0));
    EXPECT_FALSE(compress_frame({1}, 3, -1));
}

TEST(Frame, ReaderRefusesTruncatedOrTrailingData) {
    const Bytes frame = *compress_frame(sample(10000), 3, 0);
    EXPECT_FALSE(tavrik::decompress_frame(Bytes(frame.begin(), frame.end() - 1)));
    Bytes trailing = frame;
    trailing.push_back(0);
    EXPECT_FALSE(tavrik::decompress_frame(trailing));
    Bytes two = frame;
    two.insert(two.end(), frame.begin(), frame.end());
    EXPECT_FALSE(tavrik::decompress_frame(two));
    EXPECT_FALSE(tavrik::decompress_frame({}));
}

TEST(AttachedData, Layout) {
    const Bytes frame = {0x28, 0xB5, 0x2F, 0xFD, 0x11, 0x22};
    const Bytes data = tavrik::make_attached_data(frame);
    const Bytes expected = {'Z', 'U', 'B',                                 // magic
                            0x28, 0xB5, 0x2F, 0xFD, 0x11, 0x22,             // frame
                            0, 0, 0,                                        // gap
                            12, 0, 0, 0, 0, 0, 0, 0,                        // 3 + 6 + 3
                            0, 0, 0, 0, 0, 0, 0, 0};                        // padding
    EXPECT_EQ(data, expected);
    auto back = tavrik::frame_from_attached_data(data);
    ASSERT_TRUE(back) << back.error();
    EXPECT_EQ(*back, frame);
}

TEST(AttachedData, ReaderRefusesDamage) {
    const Bytes good = tavrik::make_attached_data({1, 2, 3, 4});
    const size_t count_at = good.size() - 16;
    // Magic, gap, count and padding bytes each matter.
    for (size_t at : {size_t{0}, size_t{2}, count_at - 1, count_at, count_at + 7, good.size() - 1}) {
        Bytes bad = good;
        bad[at] ^= 0x40;
        EXPECT_FALSE(tavrik::frame_from_attached_data(bad)) << "byte " << at;
    }
    EXPECT_FALSE(tavrik::frame_from_attached_data(Bytes(good.begin(), good.end() - 1)));
    EXPECT_FALSE(tavrik::frame_from_attached_data(Bytes(good.begin(), good.begin() + 18)));
}
