#include <gtest/gtest.h>

#include "packer/program/input_files.h"
#include "temp_dir.h"

using tavrik::collect_entries;
using tavrik_test::TempDir;

namespace {

std::vector<std::u16string> names(const std::vector<tavrik::ArchiveEntry> &entries) {
    std::vector<std::u16string> out;
    for (const auto &e : entries) out.push_back(e.name);
    return out;
}

}  // namespace

TEST(InputFiles, AppFirstThenEverythingElseSortedByUtf16Units) {
    TempDir tmp;
    const auto app = tmp.write("bin/app.dll", "MZ-app");
    const auto extra = tmp.write("notes/extra.txt", "extra");
    tmp.write("data/b.txt", "b");
    tmp.write("data/a/z.bin", "z");
    tmp.write("data/a/y.bin", "");
    tmp.write("data/A.txt", "upper");
    std::filesystem::create_directories(tmp.path() / "data/empty/deeper");

    auto entries = collect_entries(app, {extra, tmp.path() / "data"});
    ASSERT_TRUE(entries) << entries.error();
    const std::vector<std::u16string> expected = {u"app.dll", u"A.txt", u"a\\y.bin",
                                                  u"a\\z.bin", u"b.txt", u"extra.txt"};
    EXPECT_EQ(names(*entries), expected);
    EXPECT_EQ((*entries)[0].content, std::vector<uint8_t>({'M', 'Z', '-', 'a', 'p', 'p'}));
    EXPECT_TRUE((*entries)[2].content.empty());
    EXPECT_EQ((*entries)[3].content, std::vector<uint8_t>({'z'}));

    // The command line's order does not matter; UTF-16 order puts U+E000
    // after U+1F600 (a surrogate pair), unlike code point order.
    tmp.write("u/\xEE\x80\x80", "pua");
    tmp.write("u/\xF0\x9F\x98\x80", "emoji");
    auto reordered = collect_entries(app, {tmp.path() / "u", tmp.path() / "data", extra});
    ASSERT_TRUE(reordered) << reordered.error();
    const std::vector<std::u16string> expected_reordered = {
        u"app.dll", u"A.txt", u"a\\y.bin", u"a\\z.bin", u"b.txt", u"extra.txt", u"\U0001F600", u"\uE000"};
    EXPECT_EQ(names(*reordered), expected_reordered);
}

TEST(InputFiles, DirectoryWithTrailingSlashGivesTheSameNames) {
    TempDir tmp;
    const auto app = tmp.write("app.dll", "x");
    tmp.write("d/sub/f.txt", "f");
    auto plain = collect_entries(app, {tmp.path() / "d"});
    auto slashed = collect_entries(app, {std::filesystem::path((tmp.path() / "d").string() + "/")});
    ASSERT_TRUE(plain) << plain.error();
    ASSERT_TRUE(slashed) << slashed.error();
    EXPECT_EQ(names(*plain), names(*slashed));
    EXPECT_EQ(names(*plain).back(), u"sub\\f.txt");
}

TEST(InputFiles, UnicodeNamesBecomeUtf16) {
    TempDir tmp;
    const auto app = tmp.write("app.dll", "x");
    tmp.write("d/gr\xC3\xBC\xC3\x9F/\xE2\x82\xAC.txt", "e");
    auto entries = collect_entries(app, {tmp.path() / "d"});
    ASSERT_TRUE(entries) << entries.error();
    EXPECT_EQ(names(*entries).back(), u"gr\u00FC\u00DF\\\u20AC.txt");
}

TEST(InputFiles, Errors) {
    TempDir tmp;
    const auto app = tmp.write("app.dll", "x");
    EXPECT_FALSE(collect_entries(tmp.path() / "missing.dll", {}));
    EXPECT_FALSE(collect_entries(app, {tmp.path() / "missing.txt"}));
    EXPECT_FALSE(collect_entries(tmp.path(), {}));  // a directory as the DLL

    tmp.write("back/a\\b.txt", "x");  // a legal Linux name that would change meaning
    auto backslash = collect_entries(app, {tmp.path() / "back"});
    ASSERT_FALSE(backslash);
    EXPECT_NE(backslash.error().find("a\\b.txt"), std::string::npos) << backslash.error();

    tmp.write("latin1/caf\xE9", "x");  // not UTF-8
    EXPECT_FALSE(collect_entries(app, {tmp.path() / "latin1"}));
}
