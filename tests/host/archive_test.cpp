#include <gtest/gtest.h>

#include "packer/archive/archive.h"
#include "packer/base/utf.h"

using tavrik::ArchiveEntry;
using tavrik::Bytes;
using tavrik::parse_archive;
using tavrik::write_archive;

namespace {

Bytes pattern(size_t size, uint8_t seed) {
    Bytes b(size);
    for (size_t i = 0; i < size; ++i) b[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
    return b;
}

}  // namespace

TEST(ArchiveFormat, ExactBytesOfASmallArchive) {
    auto archive = write_archive({{u"a", {1, 2}}, {u"b\\c", {}}});
    ASSERT_TRUE(archive) << archive.error();
    const Bytes expected = {
        'a', 0, 0, 0,                    // name, terminator
        2, 0, 0, 0, 0, 0, 0, 0,          // size
        1, 2,                            // content
        'b', 0, '\\', 0, 'c', 0, 0, 0,   // name, terminator
        0, 0, 0, 0, 0, 0, 0, 0,          // size 0, no content
        0, 0};                           // end record
    EXPECT_EQ(*archive, expected);
}

TEST(ArchiveFormat, RoundTripsNamesAndSizes) {
    const std::vector<ArchiveEntry> entries = {
        {u"app.dll", pattern(1000, 1)},
        {u"empty.txt", {}},
        {u"lib\\sub\\below.bin", pattern(32767, 2)},
        {u"lib\\exact.bin", pattern(32768, 3)},
        {u"lib\\above.bin", pattern(32769, 4)},
        {*tavrik::utf8_to_utf16("d\xC3\xBCr\\\xF0\x9F\x98\x80.txt"), pattern(5, 5)},
    };
    auto archive = write_archive(entries);
    ASSERT_TRUE(archive) << archive.error();
    auto parsed = parse_archive(*archive);
    ASSERT_TRUE(parsed) << parsed.error();
    ASSERT_EQ(parsed->size(), entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        EXPECT_EQ((*parsed)[i].name, entries[i].name) << i;
        EXPECT_EQ((*parsed)[i].content, entries[i].content) << i;
    }
    EXPECT_EQ((*parsed)[5].name, std::u16string(u"d\u00FCr\\\U0001F600.txt"));
}

TEST(ArchiveFormat, WriterRefusesUnsafeNames) {
    const std::u16string bad[] = {u"",       u"\\lead",  u"trail\\", u"a\\\\b", u"..\\x",
                                  u"a\\.\\b", u"a/b",    u"c:x",     std::u16string(u"a\0b", 3)};
    for (const auto &name : bad) {
        EXPECT_FALSE(write_archive({{u"app.dll", {}}, {name, {1}}}))
            << std::string(name.begin(), name.end());
    }
    EXPECT_FALSE(write_archive({}));
}

TEST(ArchiveFormat, WriterRefusesNamesEqualUpToCase) {
    auto archive = write_archive({{u"App.dll", {}}, {u"x\\Data.bin", {}}, {u"X\\DATA.BIN", {}}});
    ASSERT_FALSE(archive);
    EXPECT_NE(archive.error().find("DATA.BIN"), std::string::npos) << archive.error();
}

TEST(ArchiveFormat, ReaderRefusesMalformedBytes) {
    const Bytes good = *write_archive({{u"ab", {9, 9, 9}}});
    // Every strict prefix lacks something: a name unit, the size, content or
    // the end record.
    for (size_t n = 0; n < good.size(); ++n) {
        EXPECT_FALSE(parse_archive(Bytes(good.begin(), good.begin() + n))) << "prefix " << n;
    }
    Bytes trailing = good;
    trailing.push_back(0);
    EXPECT_FALSE(parse_archive(trailing));

    Bytes oversize = good;
    oversize[6] = 4;  // size 4, but only 3 content bytes before the end record
    EXPECT_FALSE(parse_archive(oversize));

    Bytes huge = good;
    for (size_t i = 6; i < 14; ++i) huge[i] = 0xFF;
    EXPECT_FALSE(parse_archive(huge));

    auto empty = parse_archive({0, 0});
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->empty());
}
