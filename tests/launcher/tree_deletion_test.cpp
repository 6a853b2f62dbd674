// Deleting a directory tree with kernel32 alone: long and deep paths,
// protected attributes, links that must not be followed, roots refused.

#include <windows.h>

#include <string>

#include "launcher/tree_deletion.h"
#include "tests/launcher/test_support.h"

namespace {

std::wstring extended(const std::wstring &path) { return L"\\\\?\\" + path; }

// Makes a chain of `levels` directories of `width` characters below
// `parent` and returns the deepest.
std::wstring make_chain(std::wstring parent, int levels, size_t width) {
    for (int i = 0; i < levels; ++i) {
        parent += L"\\" + std::wstring(width, static_cast<wchar_t>(L'a' + i % 26));
        EXPECT_TRUE(CreateDirectoryW(extended(parent).c_str(), nullptr)) << i;
    }
    return parent;
}

// Files may be unpacked with any attribute, and a long name nests deep.
TEST(TreeDeletion, RemovesProtectedLongAndDeepTreesAndNothingBeside) {
    ScratchDirectory scratch;
    std::wstring root = scratch / L"onefile_1_000001_AAAAAAAAAAA";
    std::wstring sibling = scratch / L"onefile_1_000001_AAAAAAAAAAB";
    CreateDirectoryW(root.c_str(), nullptr);
    CreateDirectoryW(sibling.c_str(), nullptr);
    write_file(sibling + L"\\keep.txt", "keep");

    std::wstring deep = make_chain(root, 300, 1);
    std::wstring long_path = make_chain(root, 10, 40);
    ASSERT_GT(long_path.size(), 400u);
    write_file(extended(deep + L"\\bottom.txt"), "bottom");
    write_file(extended(long_path + L"\\far.txt"), "far");
    const DWORD kinds[] = {FILE_ATTRIBUTE_READONLY, FILE_ATTRIBUTE_HIDDEN, FILE_ATTRIBUTE_SYSTEM,
                           FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM};
    for (DWORD kind : kinds) {
        std::wstring file = root + L"\\file" + std::to_wstring(kind);
        write_file(file, "protected");
        ASSERT_TRUE(SetFileAttributesW(file.c_str(), kind));
    }
    std::wstring read_only_directory = root + L"\\ro";
    CreateDirectoryW(read_only_directory.c_str(), nullptr);
    write_file(read_only_directory + L"\\x", "x");
    SetFileAttributesW((read_only_directory + L"\\x").c_str(), FILE_ATTRIBUTE_READONLY);
    SetFileAttributesW(read_only_directory.c_str(), FILE_ATTRIBUTE_READONLY);

    EXPECT_EQ(delete_directory_tree(root.c_str()), 0u);
    EXPECT_FALSE(exists(root));
    EXPECT_EQ(read_file(sibling + L"\\keep.txt"), "keep");
    // Gone already: nothing to do, and no failure.
    EXPECT_EQ(delete_directory_tree(root.c_str()), 0u);
}

// A link that the application leaves in its directory is removed as a link:
// what it points to keeps every file.
TEST(TreeDeletion, RemovesLinksWithoutFollowingThem) {
    ScratchDirectory scratch;
    std::wstring outside = scratch / L"outside";
    std::wstring root = scratch / L"onefile_tree";
    CreateDirectoryW(outside.c_str(), nullptr);
    CreateDirectoryW(root.c_str(), nullptr);
    write_file(outside + L"\\precious.txt", "precious");
    SetFileAttributesW((outside + L"\\precious.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    write_file(root + L"\\own.txt", "own");
    bool directory_link = CreateSymbolicLinkW((root + L"\\to_dir").c_str(), outside.c_str(),
                                              SYMBOLIC_LINK_FLAG_DIRECTORY | 0x2 /* unprivileged */);
    bool file_link = CreateSymbolicLinkW((root + L"\\to_file").c_str(), (outside + L"\\precious.txt").c_str(), 0x2);
    if (!directory_link || !file_link) GTEST_SKIP() << "no symbolic links here: " << GetLastError();
    // Wine 8 says it made them and makes nothing.
    const DWORD directory_link_attributes = GetFileAttributesW((root + L"\\to_dir").c_str());
    if (directory_link_attributes == INVALID_FILE_ATTRIBUTES || !exists(root + L"\\to_file"))
        GTEST_SKIP() << "CreateSymbolicLinkW reported links it did not make";
    ASSERT_TRUE(directory_link_attributes & FILE_ATTRIBUTE_REPARSE_POINT);

    EXPECT_EQ(delete_directory_tree(root.c_str()), 0u);
    EXPECT_FALSE(exists(root));
    EXPECT_EQ(read_file(outside + L"\\precious.txt"), "precious");
    EXPECT_EQ(GetFileAttributesW((outside + L"\\precious.txt").c_str()) & FILE_ATTRIBUTE_READONLY,
              static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));

    // The root itself being a link: only the link goes.
    CreateSymbolicLinkW(root.c_str(), outside.c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY | 0x2);
    EXPECT_EQ(delete_directory_tree(root.c_str()), 0u);
    EXPECT_FALSE(exists(root));
    EXPECT_EQ(read_file(outside + L"\\precious.txt"), "precious");
    SetFileAttributesW((outside + L"\\precious.txt").c_str(), FILE_ATTRIBUTE_NORMAL);
}

// Under Wine a Unix link made by a Unix program the application starts is
// followed by every call that takes a path, even with
// FILE_FLAG_OPEN_REPARSE_POINT; a link to a file does not even look like
// one. What the links point to keeps its content and attributes, and the
// links keep the directories they are in.
TEST(TreeDeletion, LeavesUnixLinksAndWhatTheyPointToAlone) {
    ScratchDirectory scratch;
    std::wstring outside = scratch / L"outside";
    std::wstring root = scratch / L"onefile_tree";
    CreateDirectoryW(outside.c_str(), nullptr);
    CreateDirectoryW((outside + L"\\empty").c_str(), nullptr);
    write_file(outside + L"\\precious.txt", "precious");
    ASSERT_TRUE(SetFileAttributesW((outside + L"\\precious.txt").c_str(), FILE_ATTRIBUTE_READONLY));
    CreateDirectoryW(root.c_str(), nullptr);
    CreateDirectoryW((root + L"\\sub").c_str(), nullptr);
    write_file(root + L"\\own.txt", "own");
    write_file(root + L"\\sub\\own.txt", "own");
    if (!make_unix_link(outside + L"\\precious.txt", root + L"\\sub\\to_file"))
        GTEST_SKIP() << "not under Wine, or the host's ln did not run";
    ASSERT_TRUE(make_unix_link(outside + L"\\empty", root + L"\\to_empty"));
    ASSERT_TRUE(make_unix_link(outside + L"\\empty", scratch / L"onefile_link_root"));
    const DWORD file_attributes = GetFileAttributesW((outside + L"\\precious.txt").c_str());
    ASSERT_TRUE(file_attributes & FILE_ATTRIBUTE_READONLY);

    EXPECT_EQ(delete_directory_tree(root.c_str()), entry_leads_elsewhere);
    EXPECT_EQ(delete_directory_tree((scratch / L"onefile_link_root").c_str()), entry_leads_elsewhere);
    EXPECT_EQ(read_file(outside + L"\\precious.txt"), "precious");
    EXPECT_EQ(GetFileAttributesW((outside + L"\\precious.txt").c_str()), file_attributes);
    EXPECT_EQ(GetFileAttributesW((outside + L"\\empty").c_str()), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
    // Everything else went; the links and the directories holding them stay.
    EXPECT_FALSE(exists(root + L"\\own.txt"));
    EXPECT_FALSE(exists(root + L"\\sub\\own.txt"));
    EXPECT_TRUE(exists(root + L"\\sub\\to_file"));
    remove_unix_tree(scratch.path());
}

// A read-only file with other names (hard links: version-control stores
// make them) is deleted, and its attributes stay as they were for the names
// outside.
TEST(TreeDeletion, ReadOnlyFilesWithOtherNamesGoAndTheNamesOutsideKeepTheirAttributes) {
    struct Case {
        const char *layout;
        const wchar_t *first;   // the file is made here, relative to the scratch directory
        const wchar_t *second;  // its other name
        DWORD attributes;
    };
    const Case cases[] = {
        {"both names inside", L"onefile_tree\\sub\\a.txt", L"onefile_tree\\b.txt", FILE_ATTRIBUTE_READONLY},
        {"other name outside", L"shared.txt", L"onefile_tree\\sub\\other_name", FILE_ATTRIBUTE_READONLY},
        {"other name outside, hidden too", L"shared.txt", L"onefile_tree\\other_name",
         FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.layout);
        ScratchDirectory scratch;
        std::wstring root = scratch / L"onefile_tree";
        CreateDirectoryW(root.c_str(), nullptr);
        CreateDirectoryW((root + L"\\sub").c_str(), nullptr);
        std::wstring first = scratch / c.first, second = scratch / c.second;
        write_file(first, "shared");
        ASSERT_TRUE(SetFileAttributesW(first.c_str(), c.attributes));
        if (!CreateHardLinkW(second.c_str(), first.c_str(), nullptr))
            GTEST_SKIP() << "no hard links here: " << GetLastError();
        const DWORD attributes = GetFileAttributesW(first.c_str());
        ASSERT_TRUE(attributes & FILE_ATTRIBUTE_READONLY);

        EXPECT_EQ(delete_directory_tree(root.c_str()), 0u);
        EXPECT_FALSE(exists(root));
        if (wcsncmp(c.first, L"onefile_tree\\", 13) == 0) continue;  // both names were inside
        EXPECT_EQ(read_file(first), "shared");
        EXPECT_EQ(GetFileAttributesW(first.c_str()), attributes);
        SetFileAttributesW(first.c_str(), FILE_ATTRIBUTE_NORMAL);
    }
}

TEST(TreeDeletion, RefusesEveryRootButAnAbsoluteDirectoryBelowADriveOrShare) {
    ScratchDirectory scratch;
    write_file(scratch / L"sentinel", "s");
    wchar_t previous[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, previous);
    SetCurrentDirectoryW(scratch.path().c_str());
    const std::wstring refused[] = {L"",
                                    L"relative",
                                    L"sentinel",
                                    L".",
                                    L"\\",
                                    L"\\no_drive",
                                    L"C:",
                                    L"C:\\",
                                    L"C:sentinel",
                                    scratch.path() + L"\\",
                                    scratch.path() + L"\\.",
                                    scratch.path() + L"\\x\\..",
                                    scratch.path() + L"\\\\sentinel",
                                    scratch.path() + L"/sentinel",
                                    scratch.path() + L"\\sentinel:stream",
                                    scratch.path() + L"\\sent*",
                                    scratch.path() + L"\\sentine?",
                                    L"\\\\server",
                                    L"\\\\server\\share",
                                    L"\\\\?\\C:",
                                    L"\\\\?\\C:\\",
                                    L"\\\\?\\relative",
                                    L"\\\\?\\" + scratch.path() + L"\\x\\..",
                                    L"\\\\?\\UNC\\server\\share",
                                    L"\\\\?\\UNC\\server\\share\\",
                                    L"\\\\?\\GLOBALROOT\\Device\\HarddiskVolume1\\dir",
                                    L"\\\\.\\GLOBALROOT\\Device\\HarddiskVolume1\\dir",
                                    L"\\\\?\\Volume{00000000-0000-0000-0000-000000000043}\\dir",
                                    L"\\\\.\\PhysicalDrive0\\dir",
                                    L"\\\\.\\C:",
                                    L"\\\\.\\C:\\",
                                    L"\\\\.\\UNC\\server\\share"};
    for (const std::wstring &root : refused) {
        SCOPED_TRACE(std::string(root.begin(), root.end()));
        EXPECT_EQ(delete_directory_tree(root.c_str()), static_cast<DWORD>(ERROR_BAD_PATHNAME));
    }
    EXPECT_EQ(delete_directory_tree(nullptr), static_cast<DWORD>(ERROR_BAD_PATHNAME));
    EXPECT_EQ(read_file(scratch / L"sentinel"), "s");
    SetCurrentDirectoryW(previous);

    // The other forms of acceptable roots (TEMP may be given so): \\.\C:\ is
    // \\?\C:\.
    for (const wchar_t *prefix : {L"\\\\?\\", L"\\\\.\\"}) {
        std::wstring root = scratch / L"extended";
        CreateDirectoryW(root.c_str(), nullptr);
        write_file(root + L"\\file", "f");
        SCOPED_TRACE(std::string(prefix, prefix + 4));
        EXPECT_EQ(delete_directory_tree((prefix + root).c_str()), 0u);
        EXPECT_FALSE(exists(root));
    }
    EXPECT_EQ(read_file(scratch / L"sentinel"), "s");
    for (const wchar_t *unc : {L"\\\\?\\UNC\\no-such-server\\share\\dir", L"\\\\.\\UNC\\no-such-server\\share\\dir"})
        EXPECT_NE(delete_directory_tree(unc), static_cast<DWORD>(ERROR_BAD_PATHNAME));
}

}  // namespace

namespace {

// As on a RAM disk or a file system mounted without the mount manager, or
// for a caller in an AppContainer: no DOS path for anything.
DWORD WINAPI final_path_without_dos_names(HANDLE handle, wchar_t *path, DWORD capacity, DWORD flags) {
    if ((flags & (VOLUME_NAME_GUID | VOLUME_NAME_NT | VOLUME_NAME_NONE)) == VOLUME_NAME_DOS) {
        SetLastError(ERROR_INVALID_FUNCTION);
        return 0;
    }
    return GetFinalPathNameByHandleW(handle, path, capacity, flags);
}

DWORD WINAPI final_path_never(HANDLE, wchar_t *, DWORD, DWORD) {
    SetLastError(ERROR_INVALID_FUNCTION);
    return 0;
}

}  // namespace

// Where the system gives no DOS path, entries are told by their NT paths:
// the tree still goes, and links still lead nowhere. With no name at all,
// nothing is touched.
TEST(TreeDeletion, VolumesWithoutDosNamesAreDeletedByTheirNtPaths) {
    struct Case {
        const char *names;
        DWORD(WINAPI *query)(HANDLE, wchar_t *, DWORD, DWORD);
        bool deleted;
    };
    const Case cases[] = {
        {"DOS paths", GetFinalPathNameByHandleW, true},
        {"no DOS paths", final_path_without_dos_names, true},
        {"no paths at all", final_path_never, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.names);
        ScratchDirectory scratch;
        std::wstring outside = scratch / L"outside";
        std::wstring root = scratch / L"onefile_tree";
        CreateDirectoryW(outside.c_str(), nullptr);
        write_file(outside + L"\\precious.txt", "precious");
        CreateDirectoryW(root.c_str(), nullptr);
        CreateDirectoryW((root + L"\\sub").c_str(), nullptr);
        write_file(root + L"\\sub\\own.txt", "own");
        write_file(root + L"\\read_only.txt", "own");
        ASSERT_TRUE(SetFileAttributesW((root + L"\\read_only.txt").c_str(), FILE_ATTRIBUTE_READONLY));
        bool linked = make_unix_link(outside, root + L"\\sub\\to_outside");

        final_path_queries.get_final_path = c.query;
        DWORD result = delete_directory_tree(root.c_str());
        // The given forms all name the same directory.
        DWORD again = delete_directory_tree((L"\\\\?\\" + root).c_str());
        final_path_queries.get_final_path = GetFinalPathNameByHandleW;

        EXPECT_EQ(read_file(outside + L"\\precious.txt"), "precious");
        if (!c.deleted) {
            EXPECT_NE(result, 0u);
            EXPECT_EQ(read_file(root + L"\\sub\\own.txt"), "own");
        } else if (linked) {
            // A Unix link is left, and the directories holding it.
            EXPECT_EQ(result, entry_leads_elsewhere);
            EXPECT_EQ(again, entry_leads_elsewhere);
            EXPECT_FALSE(exists(root + L"\\sub\\own.txt"));
            EXPECT_FALSE(exists(root + L"\\read_only.txt"));
            EXPECT_TRUE(exists(root + L"\\sub\\to_outside"));
        } else {
            EXPECT_EQ(result, 0u);
            EXPECT_FALSE(exists(root));
        }
        remove_unix_tree(scratch.path());
    }
}

TEST(TreeDeletion, OnlyNameSurrogatesAreLinks) {
    struct Case {
        DWORD attributes;
        DWORD tag;
        bool link;
    };
    const Case cases[] = {
        {FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT, IO_REPARSE_TAG_SYMLINK, true},
        {FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT, IO_REPARSE_TAG_MOUNT_POINT, true},
        {FILE_ATTRIBUTE_REPARSE_POINT, IO_REPARSE_TAG_SYMLINK, true},
        // Wine's Unix link to a directory.
        {FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT, 0, true},
        // Cloud files' placeholders (OneDrive), deduplicated and tiered files.
        {FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT, 0x9000001A /* CLOUD */, false},
        {FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT, 0x9000601A /* CLOUD_6 */, false},
        {FILE_ATTRIBUTE_REPARSE_POINT, IO_REPARSE_TAG_DEDUP, false},
        {FILE_ATTRIBUTE_REPARSE_POINT, IO_REPARSE_TAG_HSM, false},
        // Not a reparse point: the tag field means nothing.
        {FILE_ATTRIBUTE_DIRECTORY, IO_REPARSE_TAG_SYMLINK, false},
        {FILE_ATTRIBUTE_DIRECTORY, 0, false},
    };
    for (const Case &c : cases)
        EXPECT_EQ(is_link(c.attributes, c.tag), c.link) << std::hex << c.attributes << " " << c.tag;
}
