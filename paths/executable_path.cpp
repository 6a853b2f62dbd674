#include "paths/executable_path.h"

#include <stdlib.h>

OwnPaths own_paths;

namespace {

using GetFinalPathFunction = DWORD(WINAPI *)(HANDLE, LPWSTR, DWORD, DWORD);

// Looked up at run time so that the launcher does not import it.
GetFinalPathFunction find_get_final_path() {
    HMODULE kernel = GetModuleHandleA("Kernel32.dll");
    if (kernel == nullptr) return nullptr;
    return reinterpret_cast<GetFinalPathFunction>(
        reinterpret_cast<void *>(GetProcAddress(kernel, "GetFinalPathNameByHandleW")));
}

}  // namespace

void resolve_final_path(wchar_t *path, DWORD capacity) {
    // Access 0: the handle is only queried. No backup-semantics flag, so a
    // directory cannot be opened and only files are resolved.
    HANDLE file = CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    GetFinalPathFunction get_final_path = find_get_final_path();
    if (get_final_path != nullptr) {
        // The call writes into `path` only when the whole result fits, so a
        // failure (0) leaves the path as it was passed in.
        DWORD length = get_final_path(file, path, capacity, 0);
        CloseHandle(file);
        if (length >= capacity) abort();
    } else {
        CloseHandle(file);
    }
    reduce_final_path_prefix(path);
}

void reduce_final_path_prefix(wchar_t *path) {
    if (wcsncmp(path, L"\\\\?\\", 4) == 0 && path[4] != 0 && path[5] == L':') {
        wmemmove(path, path + 4, wcslen(path + 4) + 1);
    } else if (wcsncmp(path, L"\\\\?\\UNC\\", 8) == 0) {
        // \\?\UNC\server\share becomes \\server\share.
        wmemmove(path + 2, path + 8, wcslen(path + 8) + 1);
    }
    // A volume path (\\?\Volume{...}) keeps its prefix.
}

void shorten_path(wchar_t *path, size_t capacity) {
    wchar_t *last_component = nullptr;
    wchar_t *separator = wcsrchr(path, L'\\');
    if (separator != nullptr) {
        *separator = 0;
        last_component = _wcsdup(separator + 1);
        if (last_component == nullptr) abort();
    }
    DWORD needed = GetShortPathNameW(path, nullptr, 0);
    if (needed != 0) {
        wchar_t *short_form = static_cast<wchar_t *>(malloc((needed + 1) * sizeof(wchar_t)));
        if (short_form == nullptr) abort();
        DWORD length = GetShortPathNameW(path, short_form, needed);
        if (length > needed) abort();
        // A second call that fails keeps the directory part unshortened.
        if (length != 0) copy_wide(path, capacity, short_form);
        free(short_form);
    }
    if (last_component != nullptr) {
        append_wide(path, capacity, L"\\");
        append_wide(path, capacity, last_component);
        free(last_component);
    }
}

bool read_own_path(wchar_t *path, DWORD capacity) {
    // A path cut short comes back with the buffer's whole size as its length
    // (and ERROR_INSUFFICIENT_BUFFER, which a success does not clear).
    DWORD length = GetModuleFileNameW(nullptr, path, capacity);
    if (length != 0 && length < capacity) return true;
    if (capacity != 0) path[0] = 0;
    return false;
}

const wchar_t *executable_path() {
    WideBuffer<4096> &path = own_paths.executable;
    if (path.empty() && !read_own_path(path.text, path.capacity)) abort();
    return path.text;
}

const wchar_t *directory_source() {
    WideBuffer<4097> &path = own_paths.directory_source;
    if (path.empty()) read_own_path(path.text, path.capacity);
    return path.text;
}

const wchar_t *normalised_executable_path() {
    WideBuffer<4097> &path = own_paths.normalised;
    if (path.empty()) {
        read_own_path(path.text, path.capacity);
        resolve_final_path(path.text, path.capacity);
        shorten_path(path.text, path.capacity);
    }
    return path.text;
}
