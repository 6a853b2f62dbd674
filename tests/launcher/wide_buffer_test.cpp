#include <gtest/gtest.h>

#include "common/wide_buffer.h"
#include "tests/launcher/test_support.h"

TEST(WideBuffer, AppendFillsUpToCapacityMinusOneUnits) {
    WideBuffer<4> buffer;
    buffer.append(L"ab");
    buffer.append_ascii("c");
    EXPECT_STREQ(buffer.text, L"abc");
}

TEST(WideBuffer, AppendThatLeavesNoRoomForTheTerminatorAborts) {
    WideBuffer<4> buffer;
    buffer.append(L"ab");
    EXPECT_ABORTS(buffer.append(L"cd"));
    EXPECT_ABORTS(buffer.append_ascii("cd"));
    EXPECT_STREQ(buffer.text, L"ab");
}

TEST(WideBuffer, CopyReplacesThePreviousText) {
    WideBuffer<8> buffer;
    buffer.append(L"old");
    buffer.assign(L"new");
    EXPECT_STREQ(buffer.text, L"new");
    EXPECT_ABORTS(buffer.assign(L"12345678"));
}

TEST(WideBuffer, NarrowTextIsWidenedByteByByte) {
    WideBuffer<40> buffer;
    buffer.append_ascii("TAVRIK_ONEFILE_PARENT");
    EXPECT_STREQ(buffer.text, L"TAVRIK_ONEFILE_PARENT");
}
