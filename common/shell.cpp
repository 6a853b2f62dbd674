#include "common/shell.h"

namespace {

// Loaded once; the console handler's thread may get here too, and loading
// twice only raises the module's reference count.
void *volatile shell32_module = nullptr;

template <typename Function>
Function find(const char *name) {
    void *module = InterlockedCompareExchangePointer(&shell32_module, nullptr, nullptr);
    if (module == nullptr) {
        module = LoadLibraryExW(L"shell32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
        if (module == nullptr) return nullptr;
        InterlockedExchangePointer(&shell32_module, module);
    }
    return reinterpret_cast<Function>(
        reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(module), name)));
}

}  // namespace

wchar_t **WINAPI shell_command_line_to_argv(const wchar_t *command_line, int *count) {
    using Split = wchar_t **(WINAPI *)(const wchar_t *, int *);
    Split split = find<Split>("CommandLineToArgvW");
    if (split == nullptr) return nullptr;
    return split(command_line, count);
}

HRESULT shell_get_folder_path(int folder, wchar_t *path) {
    using GetFolderPath = HRESULT(WINAPI *)(HWND, int, HANDLE, DWORD, wchar_t *);
    GetFolderPath get_folder_path = find<GetFolderPath>("SHGetFolderPathW");
    if (get_folder_path == nullptr) return E_FAIL;
    return get_folder_path(nullptr, folder, nullptr, SHGFP_TYPE_CURRENT, path);
}
