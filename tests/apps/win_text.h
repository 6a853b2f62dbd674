#pragma once
// Small Windows text helpers shared by the test applications.

#include <windows.h>

#include <optional>
#include <string>

namespace tavrik_apps {

// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD, as Windows does.
inline std::string to_utf8(const std::wstring &wide) {
    if (wide.empty()) return std::string();
    const int size = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), &out[0], size,
                        nullptr, nullptr);
    return out;
}

// The variable's value, or nothing when it is absent. A variable set to the
// empty string is present: GetEnvironmentVariableW returns 0 for both, and
// only the last error tells them apart.
inline std::optional<std::wstring> read_env(const wchar_t *name) {
    std::wstring value(64, L'\0');
    for (;;) {
        SetLastError(ERROR_SUCCESS);
        const DWORD needed =
            GetEnvironmentVariableW(name, &value[0], static_cast<DWORD>(value.size()));
        if (needed == 0) {
            if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
            return std::wstring();
        }
        if (needed < value.size()) {
            value.resize(needed);
            return value;
        }
        value.resize(needed);  // needed counts the terminator when too small
    }
}

// Writes all of `utf8` to standard output. The launcher is a GUI program, so
// there may be no console at all: the handle is whatever the caller gave.
inline void write_stdout(const std::string &utf8) {
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
    size_t done = 0;
    while (done < utf8.size()) {
        DWORD written = 0;
        if (!WriteFile(out, utf8.data() + done, static_cast<DWORD>(utf8.size() - done), &written,
                       nullptr) ||
            written == 0)
            return;
        done += written;
    }
}

}  // namespace tavrik_apps
