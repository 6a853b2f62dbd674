// The sweep of directories left by killed launchers: what it takes, what it
// must leave alone, and how much it takes at once.

#include <windows.h>

#include <string>

#include "launcher/stale_directories.h"
#include "tests/unit/test_support.h"

namespace {

// No process can have this ID: Windows' IDs are multiples of 4.
const std::wstring dead = L"4000000001";

std::wstring make_directory(const ScratchDirectory &scratch, const std::wstring &name) {
    std::wstring path = scratch / name;
    CreateDirectoryW(path.c_str(), nullptr);
    write_file(path + L"\\app.dll", "library");
    CreateDirectoryW((path + L"\\sub").c_str(), nullptr);
    write_file(path + L"\\sub\\data.bin", "data");
    return path;
}

TEST(StaleDirectories, NameMustHaveTheWholeShape) {
    DWORD pid = 0;
    bool tombstone = false;
    EXPECT_TRUE(parse_directory_name(L"onefile_1234_012345_Ab-_9zZ0aAq", pid, tombstone));
    EXPECT_EQ(pid, 1234u);
    EXPECT_FALSE(tombstone);
    EXPECT_TRUE(parse_directory_name(L"onefile_4294967295_000000_AAAAAAAAAAA.deleted", pid, tombstone));
    EXPECT_EQ(pid, 4294967295u);
    EXPECT_TRUE(tombstone);
    for (const wchar_t *name :
         {L"onefile_x_y_z", L"onefile__123456_AAAAAAAAAAA", L"onefile_4294967296_123456_AAAAAAAAAAA",
          L"onefile_12_12345_AAAAAAAAAAA", L"onefile_12_1234567_AAAAAAAAAAA", L"onefile_12_123456_AAAAAAAAAA",
          L"onefile_12_123456_AAAAAAAAAAAA", L"onefile_12_123456_AAAAAAAAAA.", L"onefile_12_123456_AAAAAAAAAAA.old",
          L"onefile_12_123456_AAAAAAAAAAA.deleted.x", L"Onefile_12_123456_AAAAAAAAAAA", L"onefile_12_123456_AAAAAAAAAA!",
          L"xonefile_12_123456_AAAAAAAAAAA", L"onefile_-12_123456_AAAAAAAAAAA"})
        EXPECT_FALSE(parse_directory_name(name, pid, tombstone)) << std::string(name, name + wcslen(name));
}

// Stale: the pattern, a PID without a process, not in use. Everything else
// stays as it is, files inside included.
TEST(StaleDirectories, OnlyUnusedDirectoriesOfEndedLaunchersGo) {
    ScratchDirectory scratch;
    std::wstring stale = make_directory(scratch, L"onefile_" + dead + L"_123456_AAAAAAAAAAA");
    std::wstring tomb = make_directory(scratch, L"onefile_" + dead + L"_123456_BBBBBBBBBBB.deleted");
    std::wstring live = make_directory(scratch, L"onefile_" + std::to_wstring(GetCurrentProcessId()) + L"_123456_CCCCCCCCCCC");
    std::wstring held = make_directory(scratch, L"onefile_" + dead + L"_123456_DDDDDDDDDDD");
    const std::wstring look_alikes[] = {make_directory(scratch, L"onefile_x_y_z"),
                                        make_directory(scratch, L"onefile_" + dead + L"_123456_EEEEEEEEEEE_extra"),
                                        make_directory(scratch, L"onefile_" + dead + L"_123456_FFFFFFFFFFF.old"),
                                        make_directory(scratch, L"onefile_" + dead + L"_12345_GGGGGGGGGGG")};
    std::wstring file = scratch / (L"onefile_" + dead + L"_123456_HHHHHHHHHHH");
    write_file(file, "a file");

    // As a nested instance holds its directory while it runs.
    HANDLE holder = CreateFileW(held.c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    EXPECT_EQ(sweep_stale_directories(scratch.path().c_str(), 16), 2);
    EXPECT_FALSE(exists(stale));
    EXPECT_FALSE(exists(stale + tombstone_suffix));
    EXPECT_FALSE(exists(tomb));
    EXPECT_EQ(read_file(live + L"\\sub\\data.bin"), "data");
    EXPECT_EQ(read_file(held + L"\\sub\\data.bin"), "data") << "a directory in use was entered";
    for (const std::wstring &kept : look_alikes) EXPECT_EQ(read_file(kept + L"\\sub\\data.bin"), "data");
    EXPECT_EQ(read_file(file), "a file");

    // Released, it is stale like any other.
    CloseHandle(holder);
    EXPECT_EQ(sweep_stale_directories(scratch.path().c_str(), 16), 1);
    EXPECT_FALSE(exists(held));
}

TEST(StaleDirectories, OneSweepTakesAtMostItsLimit) {
    ScratchDirectory scratch;
    for (const wchar_t *random : {L"AAAAAAAAAAA", L"BBBBBBBBBBB", L"CCCCCCCCCCC"})
        make_directory(scratch, L"onefile_" + dead + L"_000001_" + random);
    EXPECT_EQ(sweep_stale_directories(scratch.path().c_str(), 2), 2);
    EXPECT_EQ(sweep_stale_directories(scratch.path().c_str(), 2), 1);
    EXPECT_EQ(sweep_stale_directories(scratch.path().c_str(), 2), 0);
}

}  // namespace
