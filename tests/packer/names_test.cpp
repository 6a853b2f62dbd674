// The name rules, one refusal at a time, with the exact reason the command
// line prints after "tavrik-pack: error: ".

#include <gtest/gtest.h>

#include "packer/archive/names.h"
#include "packer/base/upcase.h"

using tavrik::upcase_name;
using tavrik::name_problem;
using tavrik::names_problem;
using tavrik::NameSet;

TEST(Names, AcceptsOrdinaryNames) {
    for (const std::u16string name : {u"app.dll", u"lib\\x64\\zlib1.dll", u"caf\u00E9 menu.txt", u".config",
                                      u"a b\\ c", u"console.txt", u"com10", u"lpt0", u"nul_device",
                                      u"\U0001F600.png"}) {
        EXPECT_EQ(name_problem(name), "") << std::string(name.begin(), name.end());
    }
}

TEST(Names, RefusesEachUnsafeForm) {
    const std::vector<std::pair<std::u16string, std::string>> cases = {
        {u"", "empty name"},
        {u"\\windows\\x.dll", "name \"\\windows\\x.dll\" is an absolute path"},
        {u"/etc/passwd", "name \"/etc/passwd\" is an absolute path"},
        {u"C:x.dll", "name \"C:x.dll\" starts with a drive letter"},
        {u"a\\\\b", "name \"a\\\\b\" has an empty path component"},
        {u"a\\", "name \"a\\\" has an empty path component"},
        {u"a\\..\\..\\b", "name \"a\\..\\..\\b\" has a \".\" or \"..\" component"},
        {u".\\b", "name \".\\b\" has a \".\" or \"..\" component"},
        {u"a/b", "name \"a/b\" contains \"/\""},
        {u"data:stream", "name \"data:stream\" contains \":\""},
        {u"what?.txt", "name \"what?.txt\" contains \"?\", which Windows does not allow"},
        {u"a*", "name \"a*\" contains \"*\", which Windows does not allow"},
        {u"x<y", "name \"x<y\" contains \"<\", which Windows does not allow"},
        {u"x>y", "name \"x>y\" contains \">\", which Windows does not allow"},
        {u"x|y", "name \"x|y\" contains \"|\", which Windows does not allow"},
        {u"say\"hi\"", "name \"say\"hi\"\" contains \"\"\", which Windows does not allow"},
        {u"tab\there", "name \"tab<U+0009>here\" contains the control character U+0009"},
        {std::u16string(u"nul\0x", 5), "name \"nul<U+0000>x\" contains the control character U+0000"},
        {u"readme.", "name \"readme.\" has a component ending in a dot or a space"},
        {u"dir \\f", "name \"dir \\f\" has a component ending in a dot or a space"},
        {u"CON", "name \"CON\" is the reserved device name CON on Windows"},
        {u"docs\\nul.txt", "name \"docs\\nul.txt\" is the reserved device name NUL on Windows"},
        {u"Aux.tar.gz", "name \"Aux.tar.gz\" is the reserved device name AUX on Windows"},
        {u"prn .log", "name \"prn .log\" is the reserved device name PRN on Windows"},
        {u"com1", "name \"com1\" is the reserved device name COM1 on Windows"},
        {u"LpT9.x", "name \"LpT9.x\" is the reserved device name LPT9 on Windows"},
        {u"com\u00B9", "name \"com\u00B9\" is the reserved device name COM\u00B9 on Windows"},
        {u"conout$", "name \"conout$\" is the reserved device name CONOUT$ on Windows"},
        {u"bad\xD800", "name \"bad<U+D800>\" is not valid UTF-16"},
    };
    for (const auto &[name, expected] : cases) EXPECT_EQ(name_problem(name), expected);
}

TEST(Names, LengthLimits) {
    // 1023 units (a surrogate pair counts two) is the launcher's limit.
    const std::u16string part = std::u16string(250, u'x') + u"\\";
    std::u16string longest = u"d\\" + part + part + part + part + std::u16string(15, u'x') + u"\U0001F600";
    ASSERT_EQ(longest.size(), 1023u);
    EXPECT_EQ(name_problem(longest), "");
    EXPECT_EQ(name_problem(longest + u"y"),
              "name \"d\\" + std::string(30, 'x') + "...\" is 1024 UTF-16 units long; the launcher allows at most 1023");

    // "<target>\<name>" must fit 4095 units: with the default 260-unit
    // target every name that passes the length rule fits; a longer target
    // directory leaves less.
    const std::u16string part_n = std::u16string(249, u'n') + u"\\";
    const std::u16string thousand = part_n + part_n + part_n + std::u16string(250, u'n');
    EXPECT_EQ(name_problem(thousand, 3094), "");
    EXPECT_EQ(name_problem(thousand, 3095).substr(0, 12), "name \"nnnnnn");
    EXPECT_NE(name_problem(thousand, 3095).find("is too long for the launcher's 4095-unit path limit: with a "
                                                "target directory of up to 3095 units, names may have at most 999"),
              std::string::npos)
        << name_problem(thousand, 3095);
}

TEST(Names, UpperCaseAsWindowsComparesNames) {
    EXPECT_EQ(upcase_name(u"ReadMe.txt"), u"README.TXT");
    // Pairs from blocks all over the plane: Latin Extended Additional and -B,
    // Cyrillic, fullwidth forms, Armenian, Greek Extended, Latin-1, final
    // sigma, micro sign, Latin Extended-C, circled letters, Glagolitic.
    const std::pair<char16_t, char16_t> pairs[] = {
        {0x1EA1, 0x1EA0}, {0x01CE, 0x01CD}, {0x0491, 0x0490}, {0xFF41, 0xFF21}, {0x0561, 0x0531}, {0x1F00, 0x1F08},
        {0x00E9, 0x00C9}, {0x03C2, 0x03A3}, {0x00B5, 0x039C}, {0x2C61, 0x2C60}, {0x24D0, 0x24B6}, {0x2C30, 0x2C00}};
    for (const auto &[lower, upper] : pairs) {
        EXPECT_EQ(tavrik::upcase_unit(lower), upper) << std::hex << lower;
        EXPECT_EQ(tavrik::upcase_unit(upper), upper) << std::hex << upper;
    }
    // Dotless i and long s stay apart from I and S, as on Windows; sharp s
    // has no one-unit upper case; supplementary letters are two units that
    // are compared as they are.
    EXPECT_EQ(upcase_name(u"\u0131\u017F\u00DF\u00D7\U00010428"), u"\u0131\u017F\u00DF\u00D7\U00010428");

    EXPECT_EQ(names_problem({u"app.dll", u"\u1EA0.dll", u"\u1EA1.DLL"}),
              "names \"\u1EA0.dll\" and \"\u1EA1.DLL\" differ only in case; Windows would see one file");
    EXPECT_EQ(names_problem({u"app.dll", u"\uFF21\\x", u"\uFF41\\y", u"\u0131.txt", u"I.txt"}), "");
}

TEST(Names, ShortAliasesAndComponentLength) {
    EXPECT_EQ(names_problem({u"app.dll", u"LONGFI~1.TXT", u"longfilename.txt"}),
              "name \"LONGFI~1.TXT\" has the form of a short 8.3 alias, which Windows may give to "
              "\"longfilename.txt\" in the same directory");
    EXPECT_EQ(names_problem({u"app.dll", u"d\\data file.bin", u"d\\da1f2a~1"}),
              "name \"d\\da1f2a~1\" has the form of a short 8.3 alias, which Windows may give to "
              "\"d\\data file.bin\" in the same directory");
    EXPECT_EQ(names_problem({u"app.dll", u"DATA~1\\x", u"\u00C4rger.txt"}),
              "name \"DATA~1\" has the form of a short 8.3 alias, which Windows may give to \"\u00C4rger.txt\" in "
              "the same directory");
    // Without a long name beside it, a "~" name is harmless, and so is a
    // "~" without digits, or with more than 8 characters before the dot.
    EXPECT_EQ(names_problem({u"app.dll", u"LONGFI~1.TXT", u"README.TXT", u"sub\\longfilename.txt"}), "");
    EXPECT_EQ(names_problem({u"app.dll", u"a~b.txt", u"longfi~12345.txt", u"longfilename.txt"}), "");

    const std::u16string longest(255, u'c');
    EXPECT_EQ(name_problem(u"d\\" + longest), "");
    EXPECT_EQ(name_problem(u"d\\" + longest + u"c\\e"),
              "name \"d\\" + std::string(30, 'c') +
                  "...\" has a component of 256 UTF-16 units; Windows allows at most 255");
}

// 32,000 valid names 508 levels deep: the check goes by components, so it
// takes about as long as reading the names once (comparing every name with
// every prefix of every other took minutes).
TEST(Names, DeepNamesAreCheckedComponentByComponent) {
    std::u16string directory;
    for (int level = 0; level < 507; ++level) directory += u"d\\";
    std::vector<std::u16string> names = {u"app.dll"};
    for (int i = 0; i < 32000; ++i) {
        const std::string number = std::to_string(i);
        names.push_back(directory + u"f" + std::u16string(number.begin(), number.end()));
    }
    ASSERT_LE(names.back().size(), tavrik::max_name_units);
    EXPECT_EQ(names_problem(names), "");
    names.push_back(directory + u"F31999");
    EXPECT_NE(names_problem(names).find("differ only in case"), std::string::npos);
}

TEST(Names, SetRules) {
    EXPECT_EQ(names_problem({}), "nothing to pack: the archive has no file");
    EXPECT_EQ(names_problem({u"app.dll", u"data\\a.txt", u"data\\b.txt"}), "");
    EXPECT_EQ(names_problem({u"app.dll", u"x.txt", u"x.txt"}), "two files have the name \"x.txt\"");
    EXPECT_EQ(names_problem({u"app.dll", u"Data\\\u00C4.txt", u"data\\\u00E4.TXT"}),
              "names \"Data\\\u00C4.txt\" and \"data\\\u00E4.TXT\" differ only in case; Windows would see one file");
    EXPECT_EQ(names_problem({u"app.dll", u"LIB", u"lib\\x.dll"}),
              "name \"LIB\" is a file, but \"lib\\x.dll\" needs it as a directory");
    EXPECT_EQ(names_problem({u"app.dll", u"ok", u"a\\con"}),
              "name \"a\\con\" is the reserved device name CON on Windows");
}

// Names checked as they arrive, within limits, and found again up to case
// by the second reading of extract.
TEST(Names, SetCheckedAsNamesArrive) {
    NameSet limited(tavrik::NameLimits{3, 2 * 14});
    EXPECT_EQ(limited.add(u"app.dll"), "");
    EXPECT_EQ(limited.add(u"a\\b.txt"), "");
    EXPECT_EQ(limited.add(u"c"), "the archive's names take more than 28 bytes, the most a packed file of its size "
                                 "may hold");
    NameSet counted(tavrik::NameLimits{3, 1000});
    for (const std::u16string name : {u"app.dll", u"b", u"c"}) EXPECT_EQ(counted.add(name), "");
    EXPECT_EQ(counted.add(u"d"), "the archive holds more than 3 files, the most a packed file of its size may hold");
    EXPECT_EQ(tavrik::name_limits_for(1000).records, tavrik::min_record_limit);
    EXPECT_EQ(tavrik::name_limits_for(uint64_t{1} << 30).records, uint64_t{1} << 24);
    EXPECT_EQ(tavrik::name_limits_for(uint64_t{1} << 30).name_bytes, uint64_t{1} << 28);

    // A duplicate is refused when it comes, and a directory is named by the
    // first name that used it, whichever came first.
    NameSet set;
    EXPECT_EQ(set.add(u"app.dll"), "");
    EXPECT_EQ(set.add(u"lib\\x.dll"), "");
    EXPECT_EQ(set.add(u"LIB"), "name \"LIB\" is a file, but \"lib\\x.dll\" needs it as a directory");
    NameSet found;
    for (const std::u16string name : {u"app.dll", u"Data\\sub\\a.txt", u"data\\b.txt", u"c"}) {
        EXPECT_EQ(found.add(name), "");
    }
    EXPECT_EQ(found.finish(), "");
    EXPECT_EQ(found.size(), 4u);
    EXPECT_TRUE(found.holds(u"data\\SUB\\A.TXT", 1));
    EXPECT_TRUE(found.holds(u"DATA\\b.txt", 2));
    EXPECT_FALSE(found.holds(u"data\\b.txt", 1));
    EXPECT_FALSE(found.holds(u"data\\sub", 1));
    EXPECT_FALSE(found.holds(u"data\\c", 3));
    EXPECT_FALSE(found.holds(u"..\\c", 3));
}
