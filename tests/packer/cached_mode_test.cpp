// Cached mode on the packer's side: which location specs are taken, the
// program's folder name, and what list and verify say about the result.

#include <gtest/gtest.h>

#include <sstream>

#include "format/cached_settings.h"
#include "packer/archive/attached_data.h"
#include "packer/archive/frame.h"
#include "packer/cli/cli.h"
#include "packer/pe/attach.h"
#include "packer/program/cached_mode.h"
#include "synthetic_pe.h"
#include "temp_dir.h"

using tavrik_test::Bytes;
using tavrik_test::SyntheticPe;
using tavrik_test::TempDir;

namespace {

struct CliRun {
    int exit_code;
    std::string out;
    std::string err;
};

CliRun run(const std::vector<std::string> &args) {
    std::ostringstream out, err;
    tavrik::CliEnvironment environment;
    environment.argv0 = "tavrik-pack";
    const int exit_code = tavrik::run_cli(args, environment, out, err);
    return {exit_code, out.str(), err.str()};
}

TEST(CacheSpec, KeepsWhatNamesTheSameFolderEveryStart) {
    const std::pair<std::string, std::u16string> accepted[] = {
        {"{CACHE_DIR}", u"{CACHE_DIR}"},
        {"{cache_dir}/Vendor/App", u"{cache_dir}\\Vendor\\App"},
        {"{HOME}\\.cache\\app\\", u"{HOME}\\.cache\\app"},
        {"{TEMP}\\app cache", u"{TEMP}\\app cache"},
        {"{PROGRAM_DIR}\\cache", u"{PROGRAM_DIR}\\cache"},
        {"{PROGRAM_BASE}.cache", u"{PROGRAM_BASE}.cache"},
        {"D:\\caches", u"D:\\caches"},
        {"\\\\server\\share\\caches", u"\\\\server\\share\\caches"},
    };
    for (const auto &[given, stored] : accepted) {
        auto spec = tavrik::check_cache_spec(given);
        ASSERT_TRUE(spec) << given << ": " << spec.error();
        EXPECT_EQ(*spec, stored) << given;
    }
}

TEST(CacheSpec, RefusesWhatCannotNameOneFolder) {
    const std::pair<std::string, std::string> refused[] = {
        {"{TEMP}\\{PID}", "uses {PID}, which changes with every start; a cache must be found again by every start"},
        {"{CACHE_DIR}\\{time_us}", "uses {time_us}, which changes with every start; a cache must be found again by "
                                   "every start"},
        {"{TEMP}\\x{RANDOM}", "uses {RANDOM}, which changes with every start; a cache must be found again by every "
                              "start"},
        {"{HOME}\\{TIME}", "uses {TIME}, which changes with every start; a cache must be found again by every start"},
        {"{PROGRAM}\\cache", "uses {PROGRAM}, which names the executable itself, not a folder; a cache must be found "
                             "again by every start"},
        {"{NOWHERE}\\x", "has an unknown placeholder {NOWHERE}"},
        {"{CACHE_DIR", "has a \"{\" without its \"}\""},
        {"{HOME}\\a}", "has a \"}\" without its \"{\""},
        {"", "is empty"},
        {"cache", "is not an absolute path: start it with a drive, a share or one of {CACHE_DIR}, {HOME}, {TEMP}, "
                  "{PROGRAM_DIR}"},
        {"x{HOME}", "is not an absolute path: start it with a drive, a share or one of {CACHE_DIR}, {HOME}, {TEMP}, "
                    "{PROGRAM_DIR}"},
        {"{HOME}\\..\\other", "has a \".\" or \"..\" component"},
        {"{HOME}\\a\\\\b", "has an empty folder name"},
        {"{HOME}\\a?b", "has a character no folder name may hold"},
        {"C:\\a:b", "has a character no folder name may hold"},
        {"{HOME}\\name.", "has a folder name that ends in a dot or a space"},
        {std::string("{HOME}\\") + std::string(1020, 'x'), "is longer than 1023 characters"},
    };
    for (const auto &[given, why] : refused) {
        auto spec = tavrik::check_cache_spec(given);
        ASSERT_FALSE(spec) << given;
        EXPECT_EQ(spec.error(), "--cache-dir \"" + given + "\" " + why);
    }
}

TEST(ProgramFolder, IsTheOutputNameAndADigestOfWhoMadeIt) {
    const std::u16string plain = tavrik::program_folder_name(u"Tool.exe", u"Example Ltd", u"Suite");
    ASSERT_EQ(plain.size(), 4 + 1 + 12u);
    EXPECT_EQ(plain.substr(0, 5), u"Tool-");
    // Windows names files without regard to case: the same folder there.
    EXPECT_EQ(tavrik::program_folder_name(u"TOOL.EXE", u"Example Ltd", u"Suite"), u"TOOL-" + plain.substr(5));
    // The same file name from another company or for another product is
    // another program.
    EXPECT_NE(tavrik::program_folder_name(u"Tool.exe", u"Other Ltd", u"Suite"), plain);
    EXPECT_NE(tavrik::program_folder_name(u"Tool.exe", u"Example Ltd", u"Other"), plain);
    EXPECT_NE(tavrik::program_folder_name(u"Tool.exe", u"Example LtdSuite", u""), plain);
    const std::pair<std::u16string, std::u16string> stems[] = {
        {u"a:b|c*.exe", u"a_b_c_-"},
        {u"trailing. .exe", u"trailing-"},
        {u"...exe", u"program-"},
        {u"{x}.exe", u"_x_-"},
        {std::u16string(80, u'n') + u".exe", std::u16string(64, u'n') + u"-"},
        {std::u16string(63, u'n') + u"\U0001F600.exe", std::u16string(63, u'n') + u"-"},
    };
    for (const auto &[output, stem] : stems) {
        const std::u16string name = tavrik::program_folder_name(output, u"", u"");
        EXPECT_EQ(name.substr(0, stem.size()), stem);
        EXPECT_EQ(name.size(), stem.size() + 12);
    }
}

class CachedPacking : public testing::Test {
protected:
    void SetUp() override {
        stub = tmp.write("stub.exe", SyntheticPe::launcher().build()).string();
        app_bytes = SyntheticPe::application().build();
        app = tmp.write("in/app.dll", app_bytes).string();
        data = tmp.write("in/data.txt", "twelve bytes").string();
        out = (tmp.path() / "Tool.exe").string();
    }

    TempDir tmp;
    Bytes app_bytes;
    std::string stub, app, data, out;
};

TEST_F(CachedPacking, ListAndVerifyShowTheModeAndTheLocation) {
    const std::string program = "Tool-";
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{}, "start: per-run"},
        {{"--cache"}, "start: cached in {CACHE_DIR}\\" + program},
        {{"--cache-dir", "{HOME}/apps"}, "start: cached in {HOME}\\apps\\" + program},
        {{"--cache", "--cache-dir", "D:\\c"}, "start: cached in D:\\c\\" + program},
    };
    for (const auto &[options, line] : cases) {
        std::vector<std::string> args = {"pack", "--fast", "-q", "-o", out, "--stub", stub};
        args.insert(args.end(), options.begin(), options.end());
        args.insert(args.end(), {app, data});
        const CliRun packed = run(args);
        ASSERT_EQ(packed.exit_code, 0) << packed.err;
        for (const char *command : {"list", "verify"}) {
            const CliRun shown = run({command, out});
            ASSERT_EQ(shown.exit_code, 0) << shown.err;
            const size_t last = shown.out.rfind('\n', shown.out.size() - 2);
            const std::string last_line = shown.out.substr(last + 1);
            // The program's folder ends in 12 hexadecimal digits.
            EXPECT_EQ(last_line.substr(0, line.size()), line) << command;
            EXPECT_EQ(last_line.size(), line.size() + (options.empty() ? 0 : 12) + 1) << command << last_line;
        }
        const CliRun json = run({"list", "--json", out});
        const std::string mode = options.empty() ? "\"mode\": \"per-run\", \"cache_dir\": null"
                                                 : "\"mode\": \"cached\", \"cache_dir\": ";
        EXPECT_NE(json.out.find(mode), std::string::npos) << json.out;
    }
    // The files still come out as packed.
    const CliRun listed = run({"list", out});
    EXPECT_EQ(listed.out.substr(0, listed.out.find("subsystem")),
              std::to_string(app_bytes.size()) + " app.dll\n12 data.txt\n");
}

TEST_F(CachedPacking, RefusesAFileNamedLikeTheCompletionMarker) {
    const std::string marker = tmp.write("in/.TAVRIK-complete", "x").string();
    const CliRun refused = run({"pack", "--fast", "-q", "--cache", "-o", out, "--stub", stub, app, marker});
    EXPECT_EQ(refused.exit_code, 1);
    EXPECT_EQ(refused.err, "tavrik-pack: error: cached mode keeps \".TAVRIK-complete\" beside the program's files; "
                           "rename that file or pack without --cache\n");
    // Per-run, the name is an ordinary file.
    EXPECT_EQ(run({"pack", "--fast", "-q", "-o", out, "--stub", stub, app, marker}).exit_code, 0);
}

TEST_F(CachedPacking, RefusesAPerRunSpecBeforeReadingAnything) {
    const CliRun refused = run({"pack", "--cache-dir", "{TEMP}\\{PID}", "-o", out, "--stub", stub, "missing.dll"});
    EXPECT_EQ(refused.exit_code, 1);
    EXPECT_EQ(refused.err, "tavrik-pack: error: --cache-dir \"{TEMP}\\{PID}\" uses {PID}, which changes with every "
                           "start; a cache must be found again by every start\n");
    EXPECT_EQ(refused.out, "");
}

// A list that disagrees with the archive would let a warm start take a
// wrong build for complete; verify finds it even under a matching digest.
TEST_F(CachedPacking, VerifyRefusesAListThatDisagreesWithTheArchive) {
    tavrik::CachedMode mode;
    mode.enabled = true;
    mode.spec = u"{CACHE_DIR}";
    mode.program = u"Tool-000000000000";
    const std::vector<tavrik::ArchiveEntry> entries = {{u"app.dll", app_bytes}, {u"data.txt", {'a', 'b'}}};
    std::vector<tavrik::ArchiveEntry> listed = entries;
    listed[1].content.push_back('c');  // one byte more than packed
    auto archive = tavrik::write_archive(entries);
    ASSERT_TRUE(archive);
    auto frame = tavrik::compress_frame(*archive, 1, 1);
    ASSERT_TRUE(frame);
    for (const bool agrees : {true, false}) {
        auto settings = tavrik::cached_settings_frame(mode, agrees ? entries : listed);
        ASSERT_TRUE(settings);
        auto exe = tavrik::attach_to_stub(SyntheticPe::launcher().build(), tavrik::make_attached_data(*frame, *settings));
        ASSERT_TRUE(exe);
        const std::string path = tmp.write("crafted.exe", *exe).string();
        const CliRun verified = run({"verify", path});
        if (agrees) {
            EXPECT_EQ(verified.exit_code, 0) << verified.err;
        } else {
            EXPECT_EQ(verified.exit_code, 1);
            EXPECT_EQ(verified.err, "tavrik-pack: error: \"" + path +
                                        "\" is damaged: its cached-mode list of files does not match the archive\n");
        }
        // Extraction reads the archive's frame alone.
        const CliRun extracted = run({"extract", "-q", path, "-o", (tmp.path() / (agrees ? "x1" : "x2")).string()});
        EXPECT_EQ(extracted.exit_code, 0) << extracted.err;
    }
}

}  // namespace
