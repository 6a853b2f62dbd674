#include <gtest/gtest.h>

#include <string>

#include "launcher/attached_data.h"
#include "launcher/cleanup.h"
#include "tests/launcher/frame_support.h"
#include "tests/launcher/test_support.h"

namespace {

const char decode_failed[] = "Error, couldn't decode attached data.\r\n";
const char no_header[] = "Error, couldn't find attached data header.\r\n";

class Reader : public testing::Test {
protected:
    void SetUp() override { initialise_cleanup(); }
    void TearDown() override {
        if (reader.context != nullptr) close_payload(reader);
    }

    // Opens a reader over magic + frame, with `extra` bytes of span beyond it.
    void open(const std::string &content, size_t extra_span = 0, size_t split_at = 0, bool checksum = false) {
        data = make_attached_data(make_frame(content, packed_format::max_window_log, 3, split_at, checksum));
        frame_size = data.size() - packed_format::magic_size - packed_format::tail_size;
        open_payload(reader, reinterpret_cast<const unsigned char *>(data.data()), frame_size + extra_span);
    }

    std::string read(size_t count) {
        std::string bytes(count, '\0');
        read_payload(reader, &bytes[0], count);
        return bytes;
    }

    PayloadReader reader;
    std::string data;
    size_t frame_size = 0;
};

}  // namespace

TEST_F(Reader, OpeningSetsTheExtractionFlag) {
    EXPECT_EQ(cleanup.extraction_started, 0);
    open("abc");
    EXPECT_EQ(cleanup.extraction_started, 1);
    EXPECT_EQ(read(3), "abc");
}

TEST_F(Reader, ReadStraddlingTheWindowEndReturnsConsecutiveBytes) {
    std::string content = sample_content(3 * payload_window_size);
    open(content);
    size_t before = payload_window_size - 3;
    EXPECT_EQ(read(before), content.substr(0, before));
    EXPECT_EQ(read(8), content.substr(before, 8));
    EXPECT_EQ(read(content.size() - before - 8), content.substr(before + 8));
}

TEST_F(Reader, ReadLargerThanTheWindowSpansSeveralDecoderCalls) {
    std::string content = sample_content(5 * payload_window_size + 17);
    open(content);
    EXPECT_EQ(read(content.size()), content);
}

TEST_F(Reader, ManySmallReadsAreServedFromTheWindow) {
    std::string content = sample_content(1000);
    open(content);
    std::string collected;
    for (size_t i = 0; i < content.size(); i += 2) collected += read(2);
    EXPECT_EQ(collected, content);
}

// With the span ending exactly at the frame's end, the last block is taken
// in while the block before it fills the window. The reader keeps the
// window-filled indication from one read to the next, so the read that
// starts right after that full window asks the decoder again and gets the
// last block. (libzstd also holds back one input byte until everything is
// flushed; the reader does not rely on that.)
TEST_F(Reader, SpanEndingAtTheFrameDeliversTheLastBlockAfterAFullWindow) {
    std::string content = sample_content(payload_window_size, 3) + sample_content(payload_window_size, 5);
    open(content, 0, payload_window_size);
    EXPECT_EQ(read(payload_window_size), content.substr(0, payload_window_size));
    EXPECT_TRUE(reader.window_filled);
    EXPECT_EQ(read(payload_window_size), content.substr(payload_window_size));
}

TEST_F(Reader, SpanLongerThanTheFrameEndsTheWalkWithoutTouchingTheTrailer) {
    std::string content = sample_content(1000);
    open(content, packed_format::tail_size);
    EXPECT_EQ(read(content.size()), content);
    EXPECT_LE(reader.input.pos, frame_size);
}

TEST_F(Reader, ReadPastTheEndWithSpanEqualToTheFrameFailsWithoutSpinning) {
    std::string content = sample_content(1000);
    open(content, 0);
    EXPECT_EQ(read(content.size()), content);
    EXPECT_FAILS_ON_STDOUT(read(1), decode_failed);
    close_payload(reader);

    // A read that the frame's last bytes fill to the window's end, then a
    // large one past the end.
    content = sample_content(2 * payload_window_size, 9);
    open(content, 0);
    EXPECT_EQ(read(content.size()), content);
    EXPECT_TRUE(reader.window_filled);
    EXPECT_FAILS_ON_STDOUT(read(payload_window_size), decode_failed);
}

TEST_F(Reader, ReadPastTheEndWithLongerSpanDecodesTheTrailerAndFails) {
    std::string content = sample_content(1000);
    open(content, packed_format::tail_size);
    EXPECT_EQ(read(content.size()), content);
    EXPECT_FAILS_ON_STDOUT(read(1), decode_failed);
}

// The archive's end record must be the frame's end: the checksum there is
// what catches damage that decodes without an error to different bytes.
TEST_F(Reader, FinishingWantsTheFrameToEndThereWithItsChecksumRight) {
    std::string content = sample_content(3 * payload_window_size + 5);
    open(content, 3 + 8 + 8, 0, true);
    EXPECT_EQ(read(content.size()), content);
    finish_payload(reader);
    EXPECT_TRUE(reader.frame_ended);
    EXPECT_LE(reader.input.pos, frame_size);

    // A checksum that does not match, although every byte decodes as packed
    // (the decoder may see it with the last block already).
    open(content, 3 + 8 + 8, 0, true);
    data[3 + frame_size - 1] ^= 0x01;
    EXPECT_FAILS_ON_STDOUT(
        {
            if (read(content.size()) == content) finish_payload(reader);
        },
        decode_failed);
    close_payload(reader);

    // Content left after the end record.
    open(content, 3 + 8 + 8, 0, true);
    EXPECT_EQ(read(content.size() - 1), content.substr(0, content.size() - 1));
    EXPECT_FAILS_ON_STDOUT(finish_payload(reader), decode_failed);
    close_payload(reader);

    // A frame that is cut short before its end.
    open(content, 0, 0, true);
    reader.input.size -= 2;
    EXPECT_FAILS_ON_STDOUT(
        {
            if (read(content.size()) == content) finish_payload(reader);
        },
        decode_failed);
    close_payload(reader);

    // A frame without a checksum, as packed before it had one, still ends.
    open(content, 3 + 8 + 8);
    EXPECT_EQ(read(content.size()), content);
    finish_payload(reader);
    EXPECT_TRUE(reader.frame_ended);
}

TEST_F(Reader, CorruptedFrameFailsToDecode) {
    std::string content = sample_content(200000);
    data = make_attached_data(make_frame(content));
    // Damage the first block header right after the frame header.
    data[packed_format::magic_size + 6] ^= 0x7f;
    data[packed_format::magic_size + 7] ^= 0x7f;
    EXPECT_FAILS_ON_STDOUT(
        {
            open_payload(reader, reinterpret_cast<const unsigned char *>(data.data()), span_after_magic(data));
            read(content.size());
        },
        decode_failed);
}

// The packer may choose any window from zstd's smallest to 2^27 bytes; all
// of them are read, and a frame asking for more is refused.
TEST_F(Reader, EveryWindowUpToTheLimitIsReadAndALargerOneRefused) {
    std::string content = sample_content(300000, 7);
    for (int window_log : {10, 20, packed_format::max_window_log}) {
        SCOPED_TRACE(window_log);
        data = make_attached_data(make_frame(content, window_log));
        open_payload(reader, reinterpret_cast<const unsigned char *>(data.data()), span_after_magic(data));
        EXPECT_EQ(read(content.size()), content);
        close_payload(reader);
        reader = PayloadReader();
    }
    data = make_attached_data(make_frame(sample_content(1000), packed_format::max_window_log + 1));
    EXPECT_FAILS_ON_STDOUT(
        {
            open_payload(reader, reinterpret_cast<const unsigned char *>(data.data()), span_after_magic(data));
            read(1);
        },
        decode_failed);
}

TEST_F(Reader, WrongMagicIsRefusedBeforeAnythingIsDecoded) {
    for (const char *bad : {"ZUC", "XUB", "zub", "\0\0\0"}) {
        data = make_attached_data(make_frame("abc"));
        data.replace(0, 3, bad, 3);
        EXPECT_FAILS_ON_STDOUT(
            open_payload(reader, reinterpret_cast<const unsigned char *>(data.data()), span_after_magic(data)),
            no_header);
    }
    EXPECT_EQ(cleanup.extraction_started, 0);
}

TEST(AttachedData, TheTestProgramCarriesNoneAndIsRefused) {
    const unsigned char *data = nullptr;
    uint64_t span = 1;
    locate_attached_data(data, span);
    EXPECT_EQ(span, 0u);
    EXPECT_FAILS_ON_STDOUT(open_attached_data(), no_header);
}
