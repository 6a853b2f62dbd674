#include <gtest/gtest.h>

#include "packer/cli/options.h"

using tavrik::Command;
using tavrik::parse_pack_options;

TEST(PackOptions, FullPackCommand) {
    auto o = parse_pack_options(
        {"pack", "-o", "out.exe", "--stub", "s.exe", "--level", "5", "--threads", "2", "--window-log", "10", "app.dll",
         "d", "f.txt"});
    ASSERT_TRUE(o) << o.error();
    EXPECT_EQ(o->command, Command::pack);
    EXPECT_EQ(o->output, "out.exe");
    EXPECT_EQ(o->stub, "s.exe");
    EXPECT_EQ(o->level, 5);
    EXPECT_EQ(o->threads, 2);
    EXPECT_EQ(o->window_log, 10);
    EXPECT_EQ(o->app_dll, "app.dll");
    ASSERT_EQ(o->inputs.size(), 2u);
    EXPECT_EQ(o->inputs[0], "d");
    EXPECT_EQ(o->inputs[1], "f.txt");
}

TEST(PackOptions, DefaultsAndOptionsAfterFiles) {
    auto o = parse_pack_options({"pack", "app.dll", "-o", "x.exe", "--", "-odd-name"});
    ASSERT_TRUE(o) << o.error();
    EXPECT_EQ(o->level, 19);
    EXPECT_EQ(o->window_log, 21);
    EXPECT_EQ(o->threads, 0);
    auto largest = parse_pack_options({"pack", "--window-log", "27", "-o", "x.exe", "app.dll"});
    ASSERT_TRUE(largest) << largest.error();
    EXPECT_EQ(largest->window_log, 27);
    EXPECT_TRUE(o->stub.empty());
    ASSERT_EQ(o->inputs.size(), 1u);
    EXPECT_EQ(o->inputs[0], "-odd-name");
}

TEST(PackOptions, FastAndExtract) {
    auto fast = parse_pack_options({"pack", "--fast", "-o", "x.exe", "app.dll"});
    ASSERT_TRUE(fast) << fast.error();
    EXPECT_EQ(fast->level, 3);
    auto extract = parse_pack_options({"extract", "p.exe", "-o", "dir", "--force"});
    ASSERT_TRUE(extract) << extract.error();
    EXPECT_EQ(extract->command, Command::extract);
    EXPECT_EQ(extract->packed, "p.exe");
    EXPECT_EQ(extract->directory, "dir");
    EXPECT_TRUE(extract->output.empty());
    EXPECT_TRUE(extract->force);
}

TEST(PackOptions, Help) {
    const std::vector<std::pair<std::vector<std::string>, Command>> cases = {
        {{}, Command::help},                 {{"help", "list"}, Command::list},
        {{"--help"}, Command::help},         {{"-h"}, Command::help},
        {{"pack", "--help"}, Command::pack}, {{"verify", "-h"}, Command::verify},
        {{"extract", "a.exe", "--help"}, Command::extract}};
    for (const auto &[args, topic] : cases) {
        auto o = parse_pack_options(args);
        ASSERT_TRUE(o) << o.error();
        EXPECT_EQ(o->command, Command::help);
        EXPECT_EQ(o->help_topic, topic);
    }
}

TEST(PackOptions, UsageErrors) {
    const std::vector<std::vector<std::string>> bad = {
        {"frobnicate"},
        {"help", "frobnicate"},
        {"pack", "app.dll"},                             // no -o
        {"pack", "-o", "x.exe"},                         // no DLL
        {"pack", "-o"},                                  // -o without value
        {"pack", "-o", "x.exe", "--level", "0", "a"},
        {"pack", "-o", "x.exe", "--level", "23", "a"},
        {"pack", "-o", "x.exe", "--level", "-3", "a"},
        {"pack", "-o", "x.exe", "--level", "7x", "a"},
        {"pack", "-o", "x.exe", "--threads", "257", "a"},
        {"pack", "-o", "x.exe", "--threads", "0", "a"},
        {"pack", "-o", "x.exe", "--window-log", "9", "a"},
        {"pack", "-o", "x.exe", "--window-log", "28", "a"},
        {"pack", "-o", "x.exe", "--window-log", "", "a"},
        {"pack", "-o", "x.exe", "a", "--window-log"},
        {"extract", "a.exe", "-o", "d", "--window-log", "20"},
        {"pack", "-o", "x.exe", "--fast", "--level", "5", "a"},
        {"pack", "-o", "x.exe", "--force", "a"},
        {"list"},
        {"verify", "a.exe", "b.exe"},
        {"verify", "--fast", "a.exe"},
        {"extract", "a.exe"},                            // no -o
        {"extract", "-o", "d"},                          // no executable
        {"list", "a.exe", "b.exe"},
        {"list", "-o", "x", "a.exe"},
        {"pack", "-o", "x.exe", "--stub", "a", "--stub", "b", "a"},  // one value, given twice
        {"pack", "-o", "x.exe", "--add", "src", "a"},                // --add SRC without DEST
        {"pack", "-o", "x.exe", "--json", "a"},
    };
    for (const auto &args : bad) {
        std::string joined;
        for (const auto &a : args) joined += a + ' ';
        EXPECT_FALSE(parse_pack_options(args)) << joined;
    }
}
