#include "common/shell.h"

namespace {

// Each DLL is loaded once; the console handler's thread may get here too,
// and loading twice only raises the module's reference count. The name is
// held in the structure (writable data), not as a literal in the read-only
// data, which has no room left within the stub's 200 KiB.
struct LazyModule {
    wchar_t name[12];
    void *volatile module;
};
LazyModule shell32 = {L"shell32.dll", nullptr};
LazyModule shcore = {L"shcore.dll", nullptr};

template <typename Function>
Function find(LazyModule &library, const char *name) {
    void *module = InterlockedCompareExchangePointer(&library.module, nullptr, nullptr);
    if (module == nullptr) {
        module = LoadLibraryExW(library.name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
        if (module == nullptr) return nullptr;
        InterlockedExchangePointer(&library.module, module);
    }
    return reinterpret_cast<Function>(
        reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(module), name)));
}

using Split = wchar_t **(WINAPI *)(const wchar_t *, int *);

Split find_splitter() {
    Split split = find<Split>(shcore, "CommandLineToArgvW");
    if (split == nullptr) split = find<Split>(shell32, "CommandLineToArgvW");
    return split;
}

}  // namespace

bool load_command_line_splitter() { return find_splitter() != nullptr; }

wchar_t **WINAPI shell_command_line_to_argv(const wchar_t *command_line, int *count) {
    Split split = find_splitter();
    if (split == nullptr) return nullptr;
    return split(command_line, count);
}

HRESULT shell_get_folder_path(int folder, wchar_t *path) {
    using GetFolderPath = HRESULT(WINAPI *)(HWND, int, HANDLE, DWORD, wchar_t *);
    GetFolderPath get_folder_path = find<GetFolderPath>(shell32, "SHGetFolderPathW");
    if (get_folder_path == nullptr) return E_FAIL;
    return get_folder_path(nullptr, folder, nullptr, SHGFP_TYPE_CURRENT, path);
}
