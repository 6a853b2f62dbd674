#include <gtest/gtest.h>

#include "packer/program/input_files.h"
#include "temp_dir.h"

using tavrik::collect_entries;
using tavrik_test::TempDir;

namespace {

std::vector<std::u16string> names(const tavrik::Collection &collection) {
    std::vector<std::u16string> out;
    for (const auto &e : collection.entries) out.push_back(e.name);
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
    EXPECT_EQ(entries->entries[0].content, std::vector<uint8_t>({'M', 'Z', '-', 'a', 'p', 'p'}));
    EXPECT_TRUE(entries->entries[2].content.empty());
    EXPECT_EQ(entries->entries[3].content, std::vector<uint8_t>({'z'}));

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

TEST(InputFiles, PlacementsAndExclusions) {
    TempDir tmp;
    const auto app = tmp.write("app.dll", "x");
    const auto ini = tmp.write("settings.ini", "k=v");
    tmp.write("data/.git/config", "git");
    tmp.write("data/.gitignore", "kept: only .git itself is left out");
    tmp.write("data/keep.txt", "t");
    tmp.write("data/notes.txt~", "backup");
    tmp.write("data/sub/.x.swp", "swap");
    tmp.write("data/sub/Thumbs.db", "thumbs");
    tmp.write("data/sub/big.bin", "big");
    tmp.write("data/sub/deep/big.bin", "deep");

    tavrik::Exclusions exclusions;
    // "*" stays within one name: res/*.bin leaves res\sub\deep\big.bin in.
    exclusions.patterns = {u"*.TXT", u"res/sub/big.bin", u"res/*.bin"};
    auto collected = collect_entries(app, {{tmp.path() / "data", u"res"}, {ini, u"cfg\\app.ini"}}, exclusions);
    ASSERT_TRUE(collected) << collected.error();
    EXPECT_EQ(names(*collected), (std::vector<std::u16string>{u"app.dll", u"cfg\\app.ini", u"res\\.gitignore",
                                                             u"res\\sub\\deep\\big.bin"}));
    std::vector<std::u16string> left;
    for (const auto &l : collected->left_out) left.push_back(l.name + u" " + l.pattern + (l.directory ? u"/" : u""));
    EXPECT_EQ(left, (std::vector<std::u16string>{u"res\\.git .git/", u"res\\keep.txt *.TXT", u"res\\notes.txt~ *~",
                                                u"res\\sub\\.x.swp .*.swp", u"res\\sub\\Thumbs.db Thumbs.db",
                                                u"res\\sub\\big.bin res/sub/big.bin"}));

    // Without the defaults only the given patterns count; a file named on
    // the command line is packed whatever its name.
    exclusions.defaults = false;
    const auto backup = tmp.write("named.txt~", "named");
    collected = collect_entries(app, {tmp.path() / "data", backup}, exclusions);
    ASSERT_TRUE(collected) << collected.error();
    EXPECT_EQ(names(*collected),
              (std::vector<std::u16string>{u"app.dll", u".git\\config", u".gitignore", u"named.txt~", u"notes.txt~",
                                           u"sub\\.x.swp", u"sub\\Thumbs.db", u"sub\\big.bin", u"sub\\deep\\big.bin"}));

    EXPECT_EQ(*tavrik::archive_path("a/b\\c/"), u"a\\b\\c");
    for (const char *bad : {"", "/abs", "\\abs", "a//b", "a/./b", "../up", "a/.."}) {
        EXPECT_FALSE(tavrik::archive_path(bad)) << bad;
    }
}
