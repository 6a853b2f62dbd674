#pragma once
// The DLLs a packed program needs and does not have: every packed image's
// imports, normal and delay-loaded, against what is packed and what Windows
// provides.

#include <filesystem>
#include <string>
#include <vector>

#include "packer/archive/archive.h"
#include "packer/base/result.h"

namespace tavrik {

// `entries`: the archive's files, the application first. Each file that is
// a PE32+ x86-64 image is read for the DLLs it imports; each of those must
// be a system DLL (is_system_dll), packed at the top of the archive or
// beside the importing file (where the launcher's loader looks), or named
// in `allowed` (ignoring case). The refusal names the first DLL missing:
// "application "app.dll" imports "helper.dll", which is not packed; ...",
// with the flags that link each MinGW runtime DLL in, then how many more are
// missing; `searched`: --dll-path folders were looked in too.
// The application must be a readable image; other files that are not are
// data, not checked.
Status check_dependencies(const std::vector<ArchiveEntry> &entries, const std::vector<std::string> &allowed,
                                bool searched = false);

// A DLL packed because a packed image imports it.
struct CollectedDll {
    std::u16string name;            // its archive name: its file name, at the top of the archive
    std::filesystem::path source;   // where --dll-path found it
    std::u16string importer;        // the archive name of the first image read that imports it
};

// Packs what the images among `entries` import and cannot load: each
// imported DLL that is not part of Windows, not in `allowed` and not packed
// at the top or beside its importer is looked up by name (ignoring case) in
// `dll_paths`, in order: a folder's own files (not those below), or a file
// given by itself. One found is added at the top of the archive and read
// for its own imports in turn; each name is added once, so DLLs that import
// each other end. One not found is left to check_dependencies to refuse.
// `entries` stay sorted after the application. The folders listed and the
// files read are added to `walked` (for a depfile).
Result<std::vector<CollectedDll>> collect_dlls(std::vector<ArchiveEntry> &entries,
                                               const std::vector<std::filesystem::path> &dll_paths,
                                               const std::vector<std::string> &allowed,
                                               std::vector<std::filesystem::path> &walked);

// Whether any packed image imports a DLL of the window system (user32,
// gdi32, comctl32, comdlg32, uxtheme, dwmapi, gdiplus, or Direct3D, DXGI,
// Direct2D, OpenGL): a program without one opens no window.
bool imports_window_system(const std::vector<ArchiveEntry> &entries);

}  // namespace tavrik
