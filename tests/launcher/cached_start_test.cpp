// Cached mode's folder names and the sweep of a program's folder: which
// builds, staging folders and tombstones go, and what must stay.

#include <windows.h>

#include <string>

#include "launcher/cached_start.h"
#include "launcher/tree_deletion.h"
#include "tests/launcher/test_support.h"

namespace {

// No process can have this ID: Windows' IDs are multiples of 4.
const std::wstring dead = L"4000000001";
const std::wstring current = L"0123456789abcdef0123456789abcdef";
const std::wstring older = L"fedcba9876543210fedcba9876543210";
const std::wstring in_use = L"00000000000000000000000000000000";

std::wstring make_build(const std::wstring &folder, const std::wstring &name) {
    return make_unpacked_tree(folder + L"\\" + name);
}

TEST(CachedStart, EntryNamesHaveTheirWholeShape) {
    const struct {
        const wchar_t *name;
        CacheEntryKind kind;
        DWORD pid;
    } cases[] = {
        {L"0123456789abcdef0123456789abcdef", CacheEntryKind::build, 0},
        {L"0123456789abcdef0123456789abcdef.staging-1234", CacheEntryKind::staging, 1234},
        {L"0123456789abcdef0123456789abcdef.deleted-4294967295", CacheEntryKind::tombstone, 4294967295u},
        {L"0123456789ABCDEF0123456789abcdef", CacheEntryKind::other, 0},
        {L"0123456789abcdef0123456789abcde", CacheEntryKind::other, 0},
        {L"0123456789abcdef0123456789abcdef0", CacheEntryKind::other, 0},
        {L"0123456789abcdef0123456789abcdef.staging-", CacheEntryKind::other, 0},
        {L"0123456789abcdef0123456789abcdef.staging-4294967296", CacheEntryKind::other, 0},
        {L"0123456789abcdef0123456789abcdef.staging-12x", CacheEntryKind::other, 0},
        {L"0123456789abcdef0123456789abcdef.old-12", CacheEntryKind::other, 0},
        {L"g123456789abcdef0123456789abcdef", CacheEntryKind::other, 0},
        {L"", CacheEntryKind::other, 0},
    };
    for (const auto &c : cases) {
        DWORD pid = 0;
        EXPECT_EQ(parse_cache_entry_name(c.name, pid), c.kind) << std::string(c.name, c.name + wcslen(c.name));
        if (c.kind != CacheEntryKind::other && c.kind != CacheEntryKind::build) EXPECT_EQ(pid, c.pid);
    }
}

// The current build, one in use, a live launcher's staging folder and
// whatever is not ours stay; the rest goes.
TEST(CachedStart, SweepTakesOnlyWhatNobodyUses) {
    ScratchDirectory scratch;
    alignas(8) wchar_t folder[4096];
    static EntryNaming naming;
    ASSERT_TRUE(resolve_directory(scratch.path().c_str(), folder, 4096, naming));
    const std::wstring f = folder;
    const std::wstring keep[] = {
        make_build(f, current),
        make_build(f, in_use),
        make_build(f, older + L".staging-" + std::to_wstring(GetCurrentProcessId())),
        make_build(f, L"notes"),
        make_build(f, older + L".old"),
    };
    const std::wstring gone[] = {
        make_build(f, older),
        make_build(f, current + L".staging-" + dead),
        make_build(f, older + L".deleted-" + dead),
    };
    const std::wstring file = f + L"\\" + L"11111111111111111111111111111111";
    write_file(file, "a file named like a build");
    // As a running start holds its build.
    HANDLE holder = CreateFileW((f + L"\\" + in_use).c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    EXPECT_EQ(sweep_program_folder(folder, current.c_str()), 3);
    for (const std::wstring &path : keep) EXPECT_EQ(read_file(path + L"\\sub\\data.bin"), "data");
    for (const std::wstring &path : gone) EXPECT_FALSE(exists(path));
    EXPECT_EQ(read_file(file), "a file named like a build");
    // Nothing of the removed ones is left under another name.
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW((f + L"\\*.deleted-*").c_str(), &entry);
    EXPECT_EQ(search, INVALID_HANDLE_VALUE);
    if (search != INVALID_HANDLE_VALUE) FindClose(search);

    // Released, it goes like any other old build.
    CloseHandle(holder);
    EXPECT_EQ(sweep_program_folder(folder, current.c_str()), 1);
    EXPECT_FALSE(exists(f + L"\\" + in_use));
    EXPECT_EQ(read_file(f + L"\\" + current + L"\\sub\\data.bin"), "data");
}

}  // namespace
