#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_getFrameHeader
#include <zstd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <utility>

#include "packer/archive/attached_data.h"
#include "packer/archive/frame.h"
#include "packer/archive/sha256.h"
#include "packer/pe/attach.h"
#include "synthetic_pe.h"
#include "tests/packed_reading.h"

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

class FrameShape : public testing::TestWithParam<std::tuple<size_t, int, int>> {};

TEST_P(FrameShape, DeclaresItsWindowNoSizeAChecksumAndDecodes) {
    const auto [size, threads, window_log] = GetParam();
    const Bytes input = sample(size);
    auto frame = compress_frame(input, 3, threads, nullptr, window_log);
    ASSERT_TRUE(frame) << frame.error();

    ZSTD_frameHeader header{};
    ASSERT_EQ(ZSTD_getFrameHeader(&header, frame->data(), frame->size()), 0u);
    EXPECT_EQ(header.frameType, ZSTD_frame);
    EXPECT_EQ(header.windowSize, 1ull << window_log);
    EXPECT_EQ(header.frameContentSize, ZSTD_CONTENTSIZE_UNKNOWN);
    EXPECT_EQ(header.checksumFlag, 1u);
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
                                          testing::Values(0, 2), testing::Values(10, 23, 27)));

TEST(Frame, SameInputGivesSameBytes) {
    const Bytes input = sample(1 << 20);
    const Bytes once = *compress_frame(input, 19, 0);
    EXPECT_EQ(*compress_frame(input, 19, 0), once);
    // Any worker count must give one and the same frame; 0 means 1.
    const Bytes one_worker = *compress_frame(input, 19, 1);
    EXPECT_EQ(once, one_worker);
    EXPECT_EQ(*compress_frame(input, 19, 3), one_worker);
    EXPECT_EQ(*compress_frame(input, 19, 1), one_worker);

    // Window 27 gives the frame packers wrote before the window could be
    // chosen, block for block; only the content checksum is new: its flag in
    // the frame header descriptor and its four bytes at the end.
    ZSTD_CCtx *before = ZSTD_createCCtx();
    for (const auto &[parameter, value] : {std::pair{ZSTD_c_compressionLevel, 19}, {ZSTD_c_windowLog, 27},
                                           {ZSTD_c_contentSizeFlag, 0}, {ZSTD_c_checksumFlag, 0},
                                           {ZSTD_c_nbWorkers, 1}, {ZSTD_c_jobSize, 16 << 20},
                                           {ZSTD_c_overlapLog, 6}}) {
        ASSERT_FALSE(ZSTD_isError(ZSTD_CCtx_setParameter(before, parameter, value)));
    }
    Bytes old_frame(ZSTD_compressBound(input.size()));
    ZSTD_inBuffer in{input.data(), input.size(), 0};
    ZSTD_outBuffer out{old_frame.data(), old_frame.size(), 0};
    ASSERT_FALSE(ZSTD_isError(ZSTD_compressStream2(before, &out, &in, ZSTD_e_continue)));
    ASSERT_EQ(ZSTD_compressStream2(before, &out, &in, ZSTD_e_end), 0u);
    ZSTD_freeCCtx(before);
    old_frame.resize(out.pos);

    const Bytes widest = *compress_frame(input, 19, 0, nullptr, 27);
    ASSERT_EQ(widest.size(), old_frame.size() + 4);
    EXPECT_EQ(widest[4], old_frame[4] | 0x04);
    EXPECT_TRUE(std::equal(old_frame.begin() + 5, old_frame.end(), widest.begin() + 5));
    EXPECT_TRUE(std::equal(old_frame.begin(), old_frame.begin() + 4, widest.begin()));
}

TEST(Frame, RefusesBadSettings) {
    EXPECT_FALSE(compress_frame({1}, 0, 0));
    EXPECT_FALSE(compress_frame({1}, 23, 0));
    EXPECT_FALSE(compress_frame({1}, -1, 0));
    EXPECT_FALSE(compress_frame({1}, 3, -1));
    EXPECT_FALSE(compress_frame({1}, 3, 0, nullptr, 9));
    EXPECT_FALSE(compress_frame({1}, 3, 0, nullptr, 28));
    // The default window is the one the packer announces.
    const Bytes by_default = *compress_frame(sample(1 << 16), 3, 0);
    ZSTD_frameHeader header{};
    ASSERT_EQ(ZSTD_getFrameHeader(&header, by_default.data(), by_default.size()), 0u);
    EXPECT_EQ(header.windowSize, 1ull << tavrik::default_window_log);
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

namespace {

// Attached data in a small executable, as the packer attaches it.
Bytes packed_around(const Bytes &attached) {
    auto exe = tavrik::attach_to_stub(tavrik_test::SyntheticPe().build(), attached);
    EXPECT_TRUE(exe) << exe.error();
    return exe ? *exe : Bytes();
}

// The frame as the commands find it: PackedFile's layout, its digest
// checked.
tavrik::Result<Bytes> frame_read_back(const Bytes &attached) {
    const Bytes exe = packed_around(attached);
    auto packed = tavrik_test::open_packed(exe);
    if (!packed) return tavrik::Error{packed.error()};
    auto digest = packed->check_digest();
    if (!digest) return tavrik::Error{digest.error()};
    return packed->read_range(packed->attached_offset() + packed_format::magic_size,
                              packed->layout().frame_end - packed_format::magic_size);
}

}  // namespace

TEST(AttachedData, LayoutWithDigest) {
    const Bytes frame = {0x28, 0xB5, 0x2F, 0xFD, 0x11, 0x22};
    const Bytes data = tavrik::make_attached_data(frame);
    Bytes expected = {'Z', 'U', 'B', 0x28, 0xB5, 0x2F, 0xFD, 0x11, 0x22};   // magic, frame
    const tavrik::Sha256Digest digest = tavrik::sha256(expected.data(), expected.size());
    expected.insert(expected.end(), {0x50, 0x2A, 0x4D, 0x18, 40, 0, 0, 0,   // skippable frame of 40 bytes
                                     's', 'h', 'a', '2', '5', '6', 0, 0});
    expected.insert(expected.end(), digest.begin(), digest.end());
    expected.insert(expected.end(), {0, 0, 0,                                // gap
                                     60, 0, 0, 0, 0, 0, 0, 0,                // 3 + 6 + 48 + 3
                                     0, 0, 0, 0, 0, 0, 0, 0});               // padding
    EXPECT_EQ(data, expected);
    auto back = frame_read_back(data);
    ASSERT_TRUE(back) << back.error();
    EXPECT_EQ(*back, frame);
    auto packed = tavrik_test::open_packed(packed_around(data));
    ASSERT_TRUE(packed) << packed.error();
    EXPECT_TRUE(packed->layout().has_digest);
    EXPECT_EQ(*packed->check_digest(), true);

    // As packed before digests: the same without the skippable frame.
    Bytes legacy = {'Z', 'U', 'B', 0x28, 0xB5, 0x2F, 0xFD, 0x11, 0x22, 0, 0, 0, 12, 0, 0, 0, 0, 0, 0, 0};
    legacy.insert(legacy.end(), 8, 0);
    back = frame_read_back(legacy);
    ASSERT_TRUE(back) << back.error();
    EXPECT_EQ(*back, frame);
    packed = tavrik_test::open_packed(packed_around(legacy));
    ASSERT_TRUE(packed) << packed.error();
    EXPECT_FALSE(packed->layout().has_digest);
    EXPECT_EQ(*packed->check_digest(), false);
}

TEST(AttachedData, ReaderRefusesDamage) {
    const Bytes good = tavrik::make_attached_data({1, 2, 3, 4});
    const size_t count_at = good.size() - 16;
    // Magic, frame (through the digest), digest, gap, count and padding
    // bytes each matter.
    for (size_t at : {size_t{0}, size_t{2}, size_t{4}, count_at - 4, count_at - 1, count_at, count_at + 7,
                      good.size() - 1}) {
        Bytes bad = good;
        bad[at] ^= 0x40;
        EXPECT_FALSE(frame_read_back(bad)) << "byte " << at;
    }
    Bytes bad = good;
    bad[4] ^= 0x40;
    EXPECT_EQ(frame_read_back(bad).error(), std::string("\"packed.exe\" is damaged: ") + tavrik::digest_mismatch);
    EXPECT_EQ(frame_read_back(Bytes(good.begin(), good.end() - 1)).error(),
              "\"packed.exe\" is damaged: attached data trailer does not match its length");
    EXPECT_EQ(frame_read_back(Bytes(good.begin(), good.begin() + 18)).error(),
              "\"packed.exe\" is damaged: attached data is too short");
}

TEST(Sha256, KnownVectorsInAnyPieces) {
    auto hex = [](const tavrik::Sha256Digest &d) {
        std::string out;
        for (uint8_t b : d) out += "0123456789abcdef"[b >> 4], out += "0123456789abcdef"[b & 15];
        return out;
    };
    auto of = [&](const std::string &text) {
        return hex(tavrik::sha256(reinterpret_cast<const uint8_t *>(text.data()), text.size()));
    };
    // FIPS 180-2 examples, and lengths around the padding's block boundary.
    EXPECT_EQ(of(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(of("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(of("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(of(std::string(55, 'a')), "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318");
    EXPECT_EQ(of(std::string(56, 'a')), "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a");
    EXPECT_EQ(of(std::string(64, 'a')), "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb");
    EXPECT_EQ(of(std::string(119, 'a')), "31eba51c313a5c08226adf18d4a359cfdfd8d2e816b13f4af952f7ea6584dcfb");

    // A million "a" fed in pieces that straddle blocks every way.
    const std::string a(1000, 'a');
    tavrik::Sha256 hash;
    size_t fed = 0;
    for (size_t piece = 1; fed < 1000000; piece = piece % 130 + 1) {
        const size_t n = std::min(piece, 1000000 - fed);
        hash.update(reinterpret_cast<const uint8_t *>(a.data()), n);
        fed += n;
    }
    EXPECT_EQ(hex(hash.finish()), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}
