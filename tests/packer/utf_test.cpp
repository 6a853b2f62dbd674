#include <gtest/gtest.h>

#include "packer/base/utf.h"

using tavrik::utf16_to_utf8;
using tavrik::utf8_to_utf16;

TEST(Utf, ConvertsEveryEncodingLength) {
    auto wide = utf8_to_utf16("a\xC3\xBC\xE2\x82\xAC\xF0\x9F\x98\x80");
    ASSERT_TRUE(wide);
    EXPECT_EQ(*wide, (std::u16string{u'a', 0x00FC, 0x20AC, 0xD83D, 0xDE00}));
    auto narrow = utf16_to_utf8(*wide);
    ASSERT_TRUE(narrow);
    EXPECT_EQ(*narrow, "a\xC3\xBC\xE2\x82\xAC\xF0\x9F\x98\x80");
}

TEST(Utf, RefusesMalformedInput) {
    const char *bad[] = {"\xC3",          "\xC0\xAF",         "\xE0\x80\xAF", "\xED\xA0\x80",
                         "\xF4\x90\x80\x80", "\xFF",          "a\x80",        "\xE2\x82"};
    for (const char *text : bad) EXPECT_FALSE(utf8_to_utf16(text)) << text;
    EXPECT_FALSE(utf16_to_utf8(std::u16string{0xD83D}));
    EXPECT_FALSE(utf16_to_utf8(std::u16string{0xDE00, u'a'}));
}
