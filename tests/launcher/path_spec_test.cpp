#include <gtest/gtest.h>

#include <string>

#include "format/launcher_names.h"
#include "paths/path_spec.h"
#include "tests/launcher/test_support.h"

namespace {

// Each test starts from an environment without the cached values.
class PathSpec : public testing::Test {
protected:
    void SetUp() override {
        for (const char *name : {TAVRIK_PARENT_VARIABLE, TAVRIK_START_VARIABLE, TAVRIK_TIME_VARIABLE,
                                 TAVRIK_RANDOM_VARIABLE})
            set_env(name, nullptr);
        GetEnvironmentVariableW(L"TMP", saved_tmp, 1024);
        GetEnvironmentVariableW(L"TEMP", saved_temp, 1024);
    }
    void TearDown() override {
        SetEnvironmentVariableW(L"TMP", saved_tmp);
        SetEnvironmentVariableW(L"TEMP", saved_temp);
        SetUp();
    }

    // GetTempPathW looks at TMP before TEMP.
    static void set_temp(const wchar_t *directory) {
        SetEnvironmentVariableW(L"TMP", directory);
        SetEnvironmentVariableW(L"TEMP", directory);
    }

    std::wstring expand(const wchar_t *spec, size_t capacity = 4096) {
        std::wstring output(capacity, L'#');
        ok = expand_path_spec(&output[0], spec, capacity);
        return output.c_str();
    }

    bool ok = false;
    wchar_t saved_tmp[1024] = {0};
    wchar_t saved_temp[1024] = {0};
};

bool is_base64url(wchar_t c) {
    return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z') || (c >= L'0' && c <= L'9') || c == L'-' ||
           c == L'_';
}

}  // namespace

TEST_F(PathSpec, LiteralSpecsExpandUnchanged) {
    EXPECT_EQ(expand(L""), L"");
    EXPECT_TRUE(ok);
    EXPECT_EQ(expand(L"C:\\plain\\path"), L"C:\\plain\\path");
    EXPECT_TRUE(ok);
}

TEST_F(PathSpec, PlaceholderNamesIgnoreCase) {
    set_temp(L"C:\\temp\\dir\\");
    std::wstring upper = expand(L"{TEMP}");
    EXPECT_EQ(expand(L"{temp}"), upper);
    EXPECT_EQ(expand(L"{Temp}"), upper);
    EXPECT_TRUE(ok);
}

TEST_F(PathSpec, UnknownOrEmptyPlaceholderFailsKeepingTheTextBeforeIt) {
    EXPECT_EQ(expand(L"ab{}cd"), L"ab");
    EXPECT_FALSE(ok);
    EXPECT_EQ(expand(L"x\\{NOSUCH}\\y"), L"x\\");
    EXPECT_FALSE(ok);
}

TEST_F(PathSpec, UnfinishedPlaceholderContributesNothing) {
    EXPECT_EQ(expand(L"abc{TEMP"), L"abc");
    EXPECT_TRUE(ok);
}

TEST_F(PathSpec, AnOpeningBraceRestartsTheName) {
    EXPECT_EQ(expand(L"{X{PID}"), std::to_wstring(GetCurrentProcessId()));
    EXPECT_TRUE(ok);
}

TEST_F(PathSpec, TempDirectoryLosesItsTrailingSeparator) {
    set_temp(L"C:\\users\\u\\Temp\\");
    EXPECT_EQ(expand(L"{TEMP}"), L"C:\\users\\u\\Temp");
    EXPECT_EQ(expand(L"{TEMP}\\x"), L"C:\\users\\u\\Temp\\x");
}

TEST_F(PathSpec, DriveRootContributesTheBareDrive) {
    set_temp(L"C:\\");
    EXPECT_EQ(expand(L"{TEMP}"), L"C:");
    EXPECT_EQ(expand(L"{TEMP}\\onefile"), L"C:\\onefile");
}

// GetTempPathW fails for a TEMP of 259 units and more (under Wine; Windows
// caps its result near MAX_PATH), or may need more room than is left: the
// expansion fails then, rather than leave the spec's text to make a path in
// the current drive's root.
TEST_F(PathSpec, TempDirectoryThatCannotBeHadFailsTheExpansion) {
    struct Case {
        size_t temp_length;
        size_t capacity;
        bool expands;
    };
    const Case cases[] = {
        {200, 4096, true}, {300, 4096, false}, {20, 21, false}, {20, 22, true}, {20, 23, true},
    };
    for (const Case &c : cases) {
        std::wstring temp = L"C:\\" + std::wstring(c.temp_length - 3, L't');
        set_temp(temp.c_str());
        SCOPED_TRACE(testing::Message() << c.temp_length << " units in " << c.capacity);
        std::wstring result = expand(L"{TEMP}", c.capacity);
        EXPECT_EQ(ok, c.expands);
        EXPECT_EQ(result, c.expands ? temp : L"");
    }
}

TEST_F(PathSpec, TargetDirectorySpecHasTheDocumentedShape) {
    set_temp(L"C:\\Users\\u\\AppData\\Local\\Temp\\");
    std::wstring result = expand(L"{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}");
    ASSERT_TRUE(ok);
    std::wstring prefix = L"C:\\Users\\u\\AppData\\Local\\Temp\\onefile_" + std::to_wstring(GetCurrentProcessId()) + L"_";
    ASSERT_EQ(result.substr(0, prefix.size()), prefix);
    std::wstring rest = result.substr(prefix.size());
    ASSERT_EQ(rest.size(), 6u + 1 + 11) << std::string(rest.begin(), rest.end());
    for (int i = 0; i < 6; ++i) EXPECT_TRUE(iswdigit(rest[i]));
    EXPECT_EQ(rest[6], L'_');
    for (size_t i = 7; i < rest.size(); ++i) EXPECT_TRUE(is_base64url(rest[i]));
    // The values used are published for the nested instance.
    EXPECT_EQ(env_value(TAVRIK_TIME_VARIABLE), rest.substr(0, 6));
    EXPECT_EQ(env_value(TAVRIK_RANDOM_VARIABLE), rest.substr(7));
    EXPECT_EQ(env_value(TAVRIK_START_VARIABLE), L"<unset>");
}

TEST_F(PathSpec, RandomNameRepeatsWithinAndAcrossExpansions) {
    std::wstring twice = expand(L"{RANDOM}-{RANDOM}");
    ASSERT_EQ(twice.size(), 23u);
    EXPECT_EQ(twice.substr(0, 11), twice.substr(12));
    EXPECT_EQ(env_value(TAVRIK_RANDOM_VARIABLE), twice.substr(0, 11));
    EXPECT_EQ(expand(L"{random}"), twice.substr(0, 11));
}

TEST_F(PathSpec, CachedValuesAreTakenFromTheEnvironment) {
    set_env(TAVRIK_RANDOM_VARIABLE, L"abcdefghijk");
    set_env(TAVRIK_TIME_VARIABLE, L"000042");
    set_env(TAVRIK_START_VARIABLE, L"133456789012345678");
    EXPECT_EQ(expand(L"{RANDOM}_{TIME_US}_{TIME}"), L"abcdefghijk_000042_133456789012345678");
}

TEST_F(PathSpec, TimeIsComputedOnceAndPublished) {
    std::wstring first = expand(L"{TIME}");
    ASSERT_TRUE(ok);
    EXPECT_EQ(env_value(TAVRIK_START_VARIABLE), first);
    EXPECT_GT(std::stoull(first), 130000000000000000ull);
    EXPECT_EQ(expand(L"{TIME}"), first);
}

TEST(RandomName, SeedOneGivesTheKnownName) {
    wchar_t name[12];
    random_name_from_seed(1, name);
    EXPECT_STREQ(name, L"IQHFT9HQGrI");
    random_name_from_seed(0, name);  // a zero seed is replaced by 1
    EXPECT_STREQ(name, L"IQHFT9HQGrI");
}

TEST(TimeValues, MicrosecondsAndFullTime) {
    char text[128];
    format_time_us(133456789012345678ull, text);
    EXPECT_STREQ(text, "234567");
    format_time(133456789012345678ull, text);
    EXPECT_STREQ(text, "133456789012345678");
    format_time_us(420, text);  // 42 microseconds
    EXPECT_STREQ(text, "000042");
}

TEST_F(PathSpec, ProcessIdComesFromTheParentVariable) {
    set_env(TAVRIK_PARENT_VARIABLE, L"0420");
    EXPECT_EQ(expand(L"{PID}"), L"0420");
    set_env(TAVRIK_PARENT_VARIABLE, L"12a");
    EXPECT_ABORTS(expand(L"{PID}"));
    set_env(TAVRIK_PARENT_VARIABLE, nullptr);
    EXPECT_EQ(expand(L"{PID}"), std::to_wstring(GetCurrentProcessId()));
}

TEST_F(PathSpec, CapacityCountsTheTerminator) {
    const size_t capacity = 16;
    std::wstring fits(capacity - 1, L'x');
    EXPECT_EQ(expand(fits.c_str(), capacity), fits);
    EXPECT_TRUE(ok);
    std::wstring too_long(capacity, L'x');
    EXPECT_EQ(expand(too_long.c_str(), capacity), fits);
    EXPECT_FALSE(ok);
}

TEST_F(PathSpec, PlaceholderValueThatDoesNotFitAborts) {
    set_env(TAVRIK_RANDOM_VARIABLE, L"abcdefghijk");
    EXPECT_EQ(expand(L"1234{RANDOM}", 16), L"1234abcdefghijk");
    EXPECT_ABORTS(expand(L"12345{RANDOM}", 16));
}

// The program-name forms work on argument 0, which the test sets.
class ProgramName : public PathSpec {
protected:
    void SetUp() override {
        PathSpec::SetUp();
        saved = (*__p___wargv())[0];
    }
    void TearDown() override {
        (*__p___wargv())[0] = saved;
        PathSpec::TearDown();
    }
    void set_program(const wchar_t *name) {
        program = name;
        (*__p___wargv())[0] = &program[0];
    }
    wchar_t *saved = nullptr;
    std::wstring program;
};

TEST_F(ProgramName, BaseDropsAnExeSuffixInAnyCase) {
    set_program(L"C:\\apps\\Tool.EXE");
    EXPECT_EQ(expand(L"{PROGRAM}"), L"C:\\apps\\Tool.EXE");
    EXPECT_EQ(expand(L"{PROGRAM_BASE}"), L"C:\\apps\\Tool");
    set_program(L"C:\\apps\\tool.bin");
    EXPECT_EQ(expand(L"{PROGRAM_BASE}"), L"C:\\apps\\tool.bin");
    set_program(L".exe");
    EXPECT_EQ(expand(L"<{PROGRAM_BASE}>"), L"<>");
}

TEST_F(ProgramName, DirCutsAtTheLastBackslash) {
    set_program(L"C:\\apps\\tool.exe");
    EXPECT_EQ(expand(L"{PROGRAM_DIR}\\x"), L"C:\\apps\\x");
    set_program(L"tool.exe");
    EXPECT_EQ(expand(L"{PROGRAM_DIR}"), L"tool.exe");
}

TEST_F(PathSpec, HomeAndCacheFoldersAreAbsoluteWithoutTrailingSeparator) {
    std::wstring home = expand(L"{HOME}");
    ASSERT_TRUE(ok);
    ASSERT_GT(home.size(), 3u);
    EXPECT_EQ(home[1], L':');
    EXPECT_NE(home.back(), L'\\');
    std::wstring cache = expand(L"{CACHE_DIR}");
    ASSERT_TRUE(ok);
    EXPECT_EQ(cache.substr(0, home.size()), home);
}

TEST(SpecFailure, ReportsTheUnexpandedSpecAndAborts) {
    EXPECT_ENDS_PRINTING(report_spec_failure(L"{HOME}"), abort_status, "",
                         "Error, couldn't runtime expand spec '{HOME}'.\r\n");
}
