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
    bool file_link = CreateSymbolicLinkW((root + L"\\to_file").c_str(), (outside + L"\\precious.txt").c_str(),
                                         0x2);
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
                                    L"\\\\server",
                                    L"\\\\server\\share",
                                    L"\\\\?\\" + scratch.path(),
                                    L"\\\\.\\" + scratch.path()};
    for (const std::wstring &root : refused) {
        SCOPED_TRACE(std::string(root.begin(), root.end()));
        EXPECT_EQ(delete_directory_tree(root.c_str()), static_cast<DWORD>(ERROR_BAD_PATHNAME));
    }
    EXPECT_EQ(delete_directory_tree(nullptr), static_cast<DWORD>(ERROR_BAD_PATHNAME));
    EXPECT_EQ(read_file(scratch / L"sentinel"), "s");
    SetCurrentDirectoryW(previous);
}

}  // namespace
