// Deleting a directory tree with kernel32 alone: long and deep paths,
// protected attributes, links that must not be followed, roots refused.

#include <windows.h>

#include <string>

#include "launcher/tree_deletion.h"
#include "tests/unit/test_support.h"

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
    ASSERT_TRUE(GetFileAttributesW((root + L"\\to_dir").c_str()) & FILE_ATTRIBUTE_REPARSE_POINT);

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

// Another name of a file outside (a hard link, which a Windows program can
// make) is deleted without clearing attributes the file outside shares.
TEST(TreeDeletion, HardLinkLeavesTheAttributesItSharesWithAFileOutside) {
    ScratchDirectory scratch;
    std::wstring outside = scratch / L"shared.txt";
    std::wstring root = scratch / L"onefile_tree";
    CreateDirectoryW(root.c_str(), nullptr);
    write_file(outside, "shared");
    ASSERT_TRUE(SetFileAttributesW(outside.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
    if (!CreateHardLinkW((root + L"\\other_name").c_str(), outside.c_str(), nullptr))
        GTEST_SKIP() << "no hard links here: " << GetLastError();
    const DWORD attributes = GetFileAttributesW(outside.c_str());
    ASSERT_TRUE(attributes & FILE_ATTRIBUTE_READONLY);
    delete_directory_tree(root.c_str());
    EXPECT_EQ(read_file(outside), "shared");
    EXPECT_EQ(GetFileAttributesW(outside.c_str()), attributes);
    SetFileAttributesW(outside.c_str(), FILE_ATTRIBUTE_NORMAL);
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
                                    L"\\\\.\\" + scratch.path(),
                                    L"\\\\?\\C:",
                                    L"\\\\?\\C:\\",
                                    L"\\\\?\\relative",
                                    L"\\\\?\\" + scratch.path() + L"\\x\\..",
                                    L"\\\\?\\UNC\\server\\share",
                                    L"\\\\?\\UNC\\server\\share\\",
                                    L"\\\\?\\GLOBALROOT\\Device\\HarddiskVolume1\\dir"};
    for (const std::wstring &root : refused) {
        SCOPED_TRACE(std::string(root.begin(), root.end()));
        EXPECT_EQ(delete_directory_tree(root.c_str()), static_cast<DWORD>(ERROR_BAD_PATHNAME));
    }
    EXPECT_EQ(delete_directory_tree(nullptr), static_cast<DWORD>(ERROR_BAD_PATHNAME));
    EXPECT_EQ(read_file(scratch / L"sentinel"), "s");
    SetCurrentDirectoryW(previous);

    // The extended forms of acceptable roots (TEMP may be given so).
    std::wstring extended_root = L"\\\\?\\" + (scratch / L"extended");
    CreateDirectoryW(extended_root.c_str(), nullptr);
    write_file(extended_root + L"\\file", "f");
    EXPECT_EQ(delete_directory_tree(extended_root.c_str()), 0u);
    EXPECT_FALSE(exists(scratch / L"extended"));
    EXPECT_NE(delete_directory_tree(L"\\\\?\\UNC\\no-such-server\\share\\dir"), static_cast<DWORD>(ERROR_BAD_PATHNAME));
}

}  // namespace
