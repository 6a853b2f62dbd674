// The sweep of directories left by killed launchers: what it takes, what it
// must leave alone, and how much it takes at once.

#include <windows.h>

#include <string>

#include "launcher/stale_directories.h"
#include "paths/executable_path.h"
#include "tests/launcher/test_support.h"

namespace {

// No process can have this ID: Windows' IDs are multiples of 4.
const std::wstring dead = L"4000000001";

std::wstring make_directory(const ScratchDirectory &scratch, const std::wstring &name) {
    return make_unpacked_tree(scratch / name);
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
          L"onefile_12_123456_AAAAAAAAAAA.deleted.x", L"Onefile_12_123456_AAAAAAAAAAA",
          L"onefile_12_123456_AAAAAAAAAA!", L"xonefile_12_123456_AAAAAAAAAAA", L"onefile_-12_123456_AAAAAAAAAAA"})
        EXPECT_FALSE(parse_directory_name(name, pid, tombstone)) << std::string(name, name + wcslen(name));
}

// Stale: the pattern, a PID without a process, not in use. Everything else
// stays as it is, files inside included.
TEST(StaleDirectories, OnlyUnusedDirectoriesOfEndedLaunchersGo) {
    ScratchDirectory scratch;
    std::wstring stale = make_directory(scratch, L"onefile_" + dead + L"_123456_AAAAAAAAAAA");
    std::wstring tomb = make_directory(scratch, L"onefile_" + dead + L"_123456_BBBBBBBBBBB.deleted");
    std::wstring live =
        make_directory(scratch, L"onefile_" + std::to_wstring(GetCurrentProcessId()) + L"_123456_CCCCCCCCCCC");
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

// Dates the directory's creation and last write (which Wine reports as its
// creation) an hour before `process` started.
void date_before_start_of(const std::wstring &directory, HANDLE process) {
    FILETIME created, exited, kernel, user;
    ASSERT_TRUE(GetProcessTimes(process, &created, &exited, &kernel, &user));
    ULARGE_INTEGER time = {{created.dwLowDateTime, created.dwHighDateTime}};
    time.QuadPart -= 3600ull * 10000000;
    FILETIME earlier = {time.LowPart, time.HighPart};
    HANDLE handle = CreateFileW(directory.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(SetFileTime(handle, &earlier, nullptr, &earlier));
    CloseHandle(handle);
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(directory.c_str(), &found);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    FindClose(search);
    ASSERT_EQ(CompareFileTime(&found.ftCreationTime, &earlier), 0);
}

// A PID is reused, and a fresh Wine session gives its first process the
// same one every time: a directory older than the process that now has the
// PID in its name is a dead launcher's, whoever has the PID now, this very
// process included. A younger one is left alone.
TEST(StaleDirectories, DirectoryOlderThanTheProcessWithItsPidIsStale) {
    ScratchDirectory scratch;
    std::wstring sleeper = executable_path();
    sleeper = sleeper.substr(0, sleeper.rfind(L'\\') + 1) + L"sleeper.exe";
    std::wstring command = L"\"" + sleeper + L"\" 20000";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    PROCESS_INFORMATION other = {};
    ASSERT_TRUE(
        CreateProcessW(sleeper.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &other));
    std::wstring own = std::to_wstring(GetCurrentProcessId()), others = std::to_wstring(other.dwProcessId);
    std::wstring own_old = make_directory(scratch, L"onefile_" + own + L"_123456_AAAAAAAAAAA");
    std::wstring own_new = make_directory(scratch, L"onefile_" + own + L"_123456_BBBBBBBBBBB");
    std::wstring others_old = make_directory(scratch, L"onefile_" + others + L"_123456_CCCCCCCCCCC");
    std::wstring others_new = make_directory(scratch, L"onefile_" + others + L"_123456_DDDDDDDDDDD");
    date_before_start_of(own_old, GetCurrentProcess());
    date_before_start_of(others_old, other.hProcess);

    EXPECT_EQ(sweep_stale_directories(scratch.path().c_str(), 16), 2);
    EXPECT_FALSE(exists(own_old));
    EXPECT_FALSE(exists(others_old));
    EXPECT_EQ(read_file(own_new + L"\\sub\\data.bin"), "data");
    EXPECT_EQ(read_file(others_new + L"\\sub\\data.bin"), "data");
    TerminateProcess(other.hProcess, 0);
    CloseHandle(other.hThread);
    CloseHandle(other.hProcess);
}

// Under Wine, links made by Unix programs are followed by anything that
// takes a path: a rename by path moves what a link points to, a deletion by
// path deletes it. Neither the rename nor the deletion may reach outside.
TEST(StaleDirectories, UnixLinksInAndAsStaleDirectoriesLeadNowhere) {
    ScratchDirectory scratch;
    std::wstring outside = scratch / L"outside";
    CreateDirectoryW(outside.c_str(), nullptr);
    write_file(outside + L"\\precious.txt", "precious");
    ASSERT_TRUE(SetFileAttributesW((outside + L"\\precious.txt").c_str(), FILE_ATTRIBUTE_READONLY));
    for (const wchar_t *name : {L"empty", L"empty_too", L"full"})
        CreateDirectoryW((outside + L"\\" + name).c_str(), nullptr);
    write_file(outside + L"\\full\\data.bin", "data");
    std::wstring temp = scratch / L"temp";
    CreateDirectoryW(temp.c_str(), nullptr);
    std::wstring tomb = temp + L"\\onefile_" + dead + L"_123456_AAAAAAAAAAA.deleted";
    std::wstring stale = temp + L"\\onefile_" + dead + L"_123456_BBBBBBBBBBB";
    for (const std::wstring &directory : {tomb, stale}) {
        CreateDirectoryW(directory.c_str(), nullptr);
        write_file(directory + L"\\own.txt", "own");
    }
    if (!make_unix_link(outside + L"\\precious.txt", tomb + L"\\to_file"))
        GTEST_SKIP() << "not under Wine, or the host's ln did not run";
    ASSERT_TRUE(make_unix_link(outside + L"\\empty", tomb + L"\\to_empty"));
    ASSERT_TRUE(make_unix_link(outside + L"\\precious.txt", stale + L"\\to_file"));
    ASSERT_TRUE(make_unix_link(outside + L"\\empty", stale + L"\\to_empty"));
    // Links with the names of a stale directory and of a tombstone.
    ASSERT_TRUE(make_unix_link(outside + L"\\full", temp + L"\\onefile_" + dead + L"_123456_CCCCCCCCCCC"));
    ASSERT_TRUE(make_unix_link(outside + L"\\empty_too", temp + L"\\onefile_" + dead + L"_123456_DDDDDDDDDDD.deleted"));

    const DWORD file_attributes = GetFileAttributesW((outside + L"\\precious.txt").c_str());
    ASSERT_TRUE(file_attributes & FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(sweep_stale_directories(temp.c_str(), 16), 0);
    EXPECT_EQ(read_file(outside + L"\\precious.txt"), "precious");
    EXPECT_EQ(GetFileAttributesW((outside + L"\\precious.txt").c_str()), file_attributes);
    for (const wchar_t *name : {L"empty", L"empty_too", L"full"})
        EXPECT_EQ(GetFileAttributesW((outside + L"\\" + name).c_str()), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY))
            << name;
    EXPECT_EQ(read_file(outside + L"\\full\\data.bin"), "data");
    // What the stale directories held of their own is gone all the same.
    EXPECT_FALSE(exists(tomb + L"\\own.txt"));
    EXPECT_FALSE(exists(stale + tombstone_suffix + L"\\own.txt"));
    remove_unix_tree(scratch.path());
}

// Tombstones that cannot be deleted (here: each holds a Unix link, which is
// left with the directories above it) are tried by every sweep, and never
// keep it from the stale directories listed after them.
TEST(StaleDirectories, UndeletableTombstonesLeaveTheBudgetToStaleDirectories) {
    ScratchDirectory scratch;
    std::wstring outside = scratch / L"outside";
    std::wstring temp = scratch / L"temp";
    CreateDirectoryW(outside.c_str(), nullptr);
    CreateDirectoryW(temp.c_str(), nullptr);
    std::wstring tombs[17];
    for (int i = 0; i < 17; ++i) {
        tombs[i] = temp + L"\\onefile_" + dead + L"_000000_AAAAAAAAAA" + static_cast<wchar_t>(L'A' + i) + L".deleted";
        CreateDirectoryW(tombs[i].c_str(), nullptr);
        if (!make_unix_link(outside, tombs[i] + L"\\to_outside"))
            GTEST_SKIP() << "not under Wine, or the host's ln did not run";
    }
    std::wstring stale = make_directory(scratch, L"temp\\onefile_" + dead + L"_000000_ZZZZZZZZZZZ");

    EXPECT_EQ(sweep_stale_directories(temp.c_str(), 16), 1);
    EXPECT_FALSE(exists(stale));
    EXPECT_FALSE(exists(stale + tombstone_suffix));
    // Each of them stays, its link inside.
    for (int i = 0; i < 17; ++i) EXPECT_TRUE(exists(tombs[i] + L"\\to_outside")) << i;
    remove_unix_tree(scratch.path());
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
