// The name rules, one refusal at a time, with the exact reason the command
// line prints after "tavrik-pack: error: ".

#include <gtest/gtest.h>

#include "packer/names.h"

using tavrik::fold_case;
using tavrik::name_problem;
using tavrik::names_problem;

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
        {u"tab\there", "name \"tab\there\" contains the control character U+0009"},
        {std::u16string(u"nul\0x", 5), std::string("name \"nul\0x\" contains the control character U+0000", 50)},
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
        {u"bad\xD800", "name (a name that is not valid UTF-16) is not valid UTF-16"},
    };
    for (const auto &[name, expected] : cases) EXPECT_EQ(name_problem(name), expected);
}

TEST(Names, LengthLimits) {
    // 1023 units (a surrogate pair counts two) is the launcher's limit.
    std::u16string longest = u"d\\" + std::u16string(1019, u'x') + u"\U0001F600";
    ASSERT_EQ(longest.size(), 1023u);
    EXPECT_EQ(name_problem(longest), "");
    EXPECT_EQ(name_problem(longest + u"y"),
              "name \"d\\" + std::string(30, 'x') + "...\" is 1024 UTF-16 units long; the launcher allows at most 1023");

    // "<target>\<name>" must fit 4095 units: with the default 260-unit
    // target every name that passes the length rule fits; a longer target
    // directory leaves less.
    const std::u16string thousand(1000, u'n');
    EXPECT_EQ(name_problem(thousand, 3094), "");
    EXPECT_EQ(name_problem(thousand, 3095).substr(0, 12), "name \"nnnnnn");
    EXPECT_NE(name_problem(thousand, 3095).find("is too long for the launcher's 4095-unit path limit: with a "
                                                "target directory of up to 3095 units, names may have at most 999"),
              std::string::npos)
        << name_problem(thousand, 3095);
}

TEST(Names, CaseFolding) {
    EXPECT_EQ(fold_case(u"ReadMe.TXT"), u"readme.txt");
    EXPECT_EQ(fold_case(u"\u00C9T\u00C9 \u00D8\u00DE \u00D7"), u"\u00E9t\u00E9 \u00F8\u00FE \u00D7");  // x sign stays
    EXPECT_EQ(fold_case(u"\u0178\u00B5\u017F"), u"\u00FF\u03BCs");
    EXPECT_EQ(fold_case(u"\u0100\u0139\u0179\u0130"), u"\u0101\u013A\u017A\u0130");
    EXPECT_EQ(fold_case(u"\u0391\u03A3\u03C2\u0386"), u"\u03B1\u03C3\u03C3\u03AC");
    EXPECT_EQ(fold_case(u"\u0416\u0401"), u"\u0436\u0451");
}

TEST(Names, SetRules) {
    EXPECT_EQ(names_problem({}), "nothing to pack: the archive has no file");
    EXPECT_EQ(names_problem({u"app.dll", u"data\\a.txt", u"data\\b.txt"}), "");
    EXPECT_EQ(names_problem({u"app.dll", u"x.txt", u"x.txt"}), "two files would be packed as \"x.txt\"");
    EXPECT_EQ(names_problem({u"app.dll", u"Data\\\u00C4.txt", u"data\\\u00E4.TXT"}),
              "names \"Data\\\u00C4.txt\" and \"data\\\u00E4.TXT\" differ only in case; Windows would see one file");
    EXPECT_EQ(names_problem({u"app.dll", u"LIB", u"lib\\x.dll"}),
              "name \"LIB\" is a file, but \"lib\\x.dll\" needs it as a directory");
    EXPECT_EQ(names_problem({u"app.dll", u"ok", u"a\\con"}),
              "name \"a\\con\" is the reserved device name CON on Windows");
}
