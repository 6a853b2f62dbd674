#include "paths/path_spec.h"

#include <windows.h>
#include "common/shell.h"
#include <stdio.h>
#include <stdlib.h>

#include "common/environment.h"
#include "common/wide_buffer.h"
#include "diagnostics/messages.h"
#include "diagnostics/report.h"
#include "format/launcher_names.h"

namespace {

constexpr size_t name_capacity = 1024;
constexpr size_t folder_capacity = 1024;

size_t remaining_room(const wchar_t *output, size_t capacity) {
    return capacity - wcslen(output);
}

// Directories come with a trailing separator; the spec writes its own.
void strip_trailing_backslashes(wchar_t *output) {
    size_t length = wcslen(output);
    while (length > 0 && output[length - 1] == L'\\') output[--length] = 0;
}

// Fails when the call fails (Wine's does for a TEMP of 259 units and more)
// or needs more room than is left: with nothing added, the spec's literal
// text would make a path in the current drive's root.
bool append_temp_directory(wchar_t *output, size_t capacity) {
    size_t used = wcslen(output);
    DWORD room = static_cast<DWORD>(capacity - used);
    DWORD length = GetTempPathW(room, output + used);
    if (length == 0 || length >= room) {
        output[used] = 0;
        return false;
    }
    strip_trailing_backslashes(output);
    return true;
}

bool append_folder(wchar_t *output, size_t capacity, int folder) {
    wchar_t path[folder_capacity];
    if (shell_get_folder_path(folder, path) != S_OK)
        return false;
    append_wide(output, capacity, path);
    strip_trailing_backslashes(output);
    return true;
}

void append_program(wchar_t *output, size_t capacity) {
    wchar_t **argv = *__p___wargv();
    if (argv == nullptr || argv[0] == nullptr) abort();
    append_wide(output, capacity, argv[0]);
}

void append_process_id(wchar_t *output, size_t capacity) {
    wchar_t *published = get_env(TAVRIK_PARENT_VARIABLE);
    if (published != nullptr) {
        for (const wchar_t *c = published; *c != 0; ++c)
            if (!iswctype(*c, _DIGIT)) abort();
        append_wide(output, capacity, published);
        free(published);
        return;
    }
    char text[128];
    snprintf(text, sizeof text, "%ld", static_cast<long>(GetCurrentProcessId()));
    append_narrow(output, capacity, text);
}

// Appends the variable's value if set; otherwise `compute` makes a fresh
// text, which is published under the variable and then appended.
template <typename Compute>
void append_cached(wchar_t *output, size_t capacity, const char *variable, Compute compute) {
    wchar_t *cached = get_env(variable);
    if (cached != nullptr) {
        append_wide(output, capacity, cached);
        free(cached);
        return;
    }
    WideBuffer<128> fresh;
    compute(fresh);
    set_env(variable, fresh.text);
    append_wide(output, capacity, fresh.text);
}

uint64_t current_file_time() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

void generate_random_name(WideBuffer<128> &fresh) {
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    // The counter's own address adds the entropy of address-space layout.
    uint64_t mixed = static_cast<uint64_t>(counter.QuadPart) ^
                     static_cast<uint64_t>(reinterpret_cast<uintptr_t>(&counter));
    uint32_t seed = static_cast<uint32_t>(GetCurrentProcessId()) ^
                    static_cast<uint32_t>(mixed) ^ static_cast<uint32_t>(mixed >> 32);
    wchar_t name[12];
    random_name_from_seed(seed, name);
    fresh.append(name);
}

bool append_program_variant(wchar_t *output, size_t capacity, bool base) {
    size_t start = wcslen(output);
    if (!expand_path_spec(output + start, L"{PROGRAM}", capacity - start)) return false;
    wchar_t *value = output + start;
    size_t length = wcslen(value);
    if (base) {
        if (length >= 4 && _wcsicmp(value + length - 4, L".exe") == 0) value[length - 4] = 0;
    } else {
        wchar_t *separator = wcsrchr(value, L'\\');
        if (separator != nullptr) *separator = 0;
    }
    return true;
}

bool expand_placeholder(wchar_t *output, size_t capacity, const wchar_t *name) {
    if (_wcsicmp(name, L"TEMP") == 0) {
        return append_temp_directory(output, capacity);
    } else if (_wcsicmp(name, L"PROGRAM") == 0) {
        append_program(output, capacity);
    } else if (_wcsicmp(name, L"PROGRAM_BASE") == 0) {
        return append_program_variant(output, capacity, true);
    } else if (_wcsicmp(name, L"PROGRAM_DIR") == 0) {
        return append_program_variant(output, capacity, false);
    } else if (_wcsicmp(name, L"PID") == 0) {
        append_process_id(output, capacity);
    } else if (_wcsicmp(name, L"HOME") == 0) {
        return append_folder(output, capacity, CSIDL_PROFILE);
    } else if (_wcsicmp(name, L"CACHE_DIR") == 0) {
        return append_folder(output, capacity, CSIDL_LOCAL_APPDATA);
    } else if (_wcsicmp(name, L"RANDOM") == 0) {
        append_cached(output, capacity, TAVRIK_RANDOM_VARIABLE, generate_random_name);
    } else if (_wcsicmp(name, L"TIME_US") == 0) {
        append_cached(output, capacity, TAVRIK_TIME_VARIABLE, [](WideBuffer<128> &fresh) {
            char text[128];
            format_time_us(current_file_time(), text);
            fresh.append_ascii(text);
        });
    } else if (_wcsicmp(name, L"TIME") == 0) {
        append_cached(output, capacity, TAVRIK_START_VARIABLE, [](WideBuffer<128> &fresh) {
            char text[128];
            format_time(current_file_time(), text);
            fresh.append_ascii(text);
        });
    } else {
        return false;  // unknown, or the empty name
    }
    return true;
}

}  // namespace

void random_name_from_seed(uint32_t seed, wchar_t (&name)[12]) {
    static const char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    uint32_t state = seed == 0 ? 1 : seed;
    unsigned char bytes[9] = {0};
    for (int i = 0; i < 8; ++i) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        bytes[i] = static_cast<unsigned char>(state);
    }
    // base64url without padding: 8 bytes give 11 characters. The ninth,
    // zero byte only feeds the low bits of the last character.
    int out = 0;
    for (int i = 0; i < 9 && out < 11; i += 3) {
        uint32_t group = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
        for (int shift = 18; shift >= 0 && out < 11; shift -= 6)
            name[out++] = static_cast<wchar_t>(alphabet[(group >> shift) & 63]);
    }
    name[11] = 0;
}

void format_time_us(uint64_t file_time, char (&text)[128]) {
    snprintf(text, sizeof text, "%06ld", static_cast<long>((file_time / 10) % 1000000));
}

void format_time(uint64_t file_time, char (&text)[128]) {
    snprintf(text, sizeof text, "%lld", static_cast<long long>(file_time));
}

bool expand_path_spec(wchar_t *output, const wchar_t *spec, size_t capacity) {
    if (capacity == 0) abort();
    output[0] = 0;
    wchar_t name[name_capacity];
    size_t name_length = 0;
    bool in_placeholder = false;
    bool name_too_long = false;
    for (const wchar_t *c = spec; *c != 0; ++c) {
        if (*c == L'{') {
            in_placeholder = true;
            name_length = 0;
            name_too_long = false;
        } else if (*c == L'}' && in_placeholder) {
            name[name_length] = 0;
            in_placeholder = false;
            // A name too long for the buffer cannot be one of ours.
            if (name_too_long || !expand_placeholder(output, capacity, name)) return false;
        } else if (in_placeholder) {
            if (name_length + 1 < name_capacity)
                name[name_length++] = *c;
            else
                name_too_long = true;
        } else {
            // A closing brace outside a placeholder is plain text.
            size_t length = wcslen(output);
            if (remaining_room(output, capacity) < 2) return false;
            output[length] = *c;
            output[length + 1] = 0;
        }
    }
    return true;
}

void report_spec_failure(const wchar_t *spec) {
    print_with_path(message_spec_expansion, spec);
    fflush(stderr);
    abort();
}
