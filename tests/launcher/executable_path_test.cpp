#include <gtest/gtest.h>

#include <string>

#include "paths/executable_path.h"
#include "tests/launcher/test_support.h"

namespace {

std::wstring resolved(std::wstring path, DWORD capacity = 4097) {
    path.resize(capacity > path.size() ? capacity : path.size() + 1, 0);
    resolve_final_path(&path[0], capacity);
    return path.c_str();
}

std::wstring shortened(std::wstring path, size_t capacity = 4097) {
    path.resize(capacity > path.size() ? capacity : path.size() + 1, 0);
    shorten_path(&path[0], capacity);
    return path.c_str();
}

std::wstring reduced(std::wstring path) {
    reduce_final_path_prefix(&path[0]);
    return path.c_str();
}

std::wstring short_form(const std::wstring &path) {
    wchar_t buffer[4096];
    DWORD length = GetShortPathNameW(path.c_str(), buffer, 4096);
    return length == 0 ? L"" : buffer;
}

}  // namespace

TEST(FinalPathPrefix, DrivePrefixAndUncPrefixAreReducedVolumePathsKept) {
    EXPECT_EQ(reduced(L"\\\\?\\C:\\apps\\tool.exe"), L"C:\\apps\\tool.exe");
    EXPECT_EQ(reduced(L"\\\\?\\UNC\\srv\\share\\tool.exe"), L"\\\\srv\\share\\tool.exe");
    const wchar_t *volume = L"\\\\?\\Volume{0a1b2c3d-0000-0000-0000-000000000000}\\tool.exe";
    EXPECT_EQ(reduced(volume), volume);
    EXPECT_EQ(reduced(L"C:\\apps\\tool.exe"), L"C:\\apps\\tool.exe");
}

TEST(ResolveFinalPath, ExistingFileGivenWithPrefixLosesIt) {
    ScratchDirectory scratch;
    write_file(scratch / L"tool.exe", "x");
    std::wstring plain = resolved(scratch / L"tool.exe");
    EXPECT_EQ(resolved(L"\\\\?\\" + (scratch / L"tool.exe")), plain);
    EXPECT_EQ(plain.substr(1, 2), L":\\");
    EXPECT_EQ(plain.substr(plain.size() - 9), L"\\tool.exe");
}

TEST(ResolveFinalPath, MissingFileAndDirectoryAreLeftUnchanged) {
    ScratchDirectory scratch;
    std::wstring missing = L"\\\\?\\" + (scratch / L"missing.exe");
    EXPECT_EQ(resolved(missing), missing);
    EXPECT_EQ(resolved(L"\\\\?\\" + scratch.path()), L"\\\\?\\" + scratch.path());
}

TEST(ResolveFinalPath, CapacityEqualToTheFinalLengthAborts) {
    ScratchDirectory scratch;
    write_file(scratch / L"tool.exe", "x");
    std::wstring final_path = resolved(scratch / L"tool.exe");
    // GetFinalPathNameByHandleW reports the \\?\ form, four units longer.
    DWORD final_length = static_cast<DWORD>(final_path.size() + 4);
    EXPECT_EQ(resolved(scratch / L"tool.exe", final_length + 1), final_path);
    EXPECT_ABORTS(resolved(scratch / L"tool.exe", final_length));
}

TEST(ShortenPath, DirectoryPartIsShortenedLastComponentKept) {
    ScratchDirectory scratch;
    std::wstring directory = scratch / L"a directory with a long name";
    CreateDirectoryW(directory.c_str(), nullptr);
    std::wstring expected_directory = short_form(directory);
    ASSERT_FALSE(expected_directory.empty());
    ASSERT_NE(expected_directory, directory) << "Wine gave no short name";
    EXPECT_EQ(shortened(directory + L"\\Some Long File Name.exe"), expected_directory + L"\\Some Long File Name.exe");
    // A directory path: its parent is shortened, its own name kept.
    EXPECT_EQ(shortened(directory), short_form(scratch.path()) + L"\\a directory with a long name");
    EXPECT_EQ(shortened(directory + L"\\"), expected_directory + L"\\");
}

TEST(ShortenPath, PathsWithoutAShortFormStay) {
    EXPECT_EQ(shortened(L"C:\\no such directory\\tool.exe"), L"C:\\no such directory\\tool.exe");
    EXPECT_EQ(shortened(L"\\tool.exe"), L"\\tool.exe");
    EXPECT_EQ(shortened(L"no such tool.exe"), L"no such tool.exe");
}

TEST(ShortenPath, ResultThatDoesNotFitAborts) {
    ScratchDirectory scratch;
    std::wstring path = short_form(scratch.path()) + L"\\tool.exe";
    EXPECT_EQ(shortened(scratch / L"tool.exe", path.size() + 1), path);
    EXPECT_ABORTS(shortened(scratch / L"tool.exe", path.size()));
}

TEST(OwnPaths, ExecutablePathIsTheModulePathAndNormalisedIsItsShortForm) {
    wchar_t module[4096];
    GetModuleFileNameW(nullptr, module, 4096);
    EXPECT_STREQ(executable_path(), module);
    EXPECT_STREQ(directory_source(), module);
    std::wstring expected = shortened(resolved(module));
    EXPECT_EQ(normalised_executable_path(), expected);
}

// A path cut short at the buffer's end is no path: the read fails, and the
// buffer is left empty rather than holding the cut text.
TEST(OwnPaths, ReadingTheOwnPathFailsWhenItDoesNotFitWhole) {
    wchar_t whole[4096];
    ASSERT_TRUE(read_own_path(whole, 4096));
    const DWORD length = static_cast<DWORD>(wcslen(whole));
    ASSERT_GT(length, 3u);
    struct Case {
        DWORD capacity;
        bool read;
    };
    const Case cases[] = {{length - 1, false}, {length, false}, {length + 1, true}, {length + 2, true}};
    for (const Case &c : cases) {
        std::wstring buffer(c.capacity, L'#');
        EXPECT_EQ(read_own_path(&buffer[0], c.capacity), c.read) << c.capacity;
        EXPECT_EQ(std::wstring(buffer.c_str()), c.read ? std::wstring(whole) : L"") << c.capacity;
    }
}
