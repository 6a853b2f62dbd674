#pragma once
// Removing the tests' own scratch trees, through \\?\ paths so that paths
// past MAX_PATH go too. The shell's delete is not used: given a wrong path
// it resolves it against the current directory and deletes that instead.

#include <windows.h>

#include <string>

namespace scratch_tree {

inline void remove_below(const std::wstring &extended) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((extended + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") continue;
            std::wstring child = extended + L"\\" + name;
            // A link is removed as itself, never entered.
            if (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
                if (!RemoveDirectoryW(child.c_str())) DeleteFileW(child.c_str());
            } else if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                remove_below(child);
            else
                DeleteFileW(child.c_str());
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(extended.c_str());
}

// Removes `path` only if it is an absolute path whose name carries `marker`
// (our scratch directories' prefix): nothing else can be taken with it.
inline void remove(const std::wstring &path, const wchar_t *marker) {
    if (path.size() < 4 || path[1] != L':' || path[2] != L'\\') return;
    if (path.find(marker) == std::wstring::npos) return;
    if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) return;
    remove_below(L"\\\\?\\" + path);
}

}  // namespace scratch_tree
