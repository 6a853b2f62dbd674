#include "common/environment.h"

#include <stdlib.h>

#include "common/wide_buffer.h"

namespace {
// The longest value Windows allows is 32767 characters.
constexpr DWORD value_capacity = 32768;
constexpr size_t name_capacity = 40;
wchar_t value_buffer[value_capacity];
}  // namespace

wchar_t *get_env(const char *name) {
    WideBuffer<name_capacity> wide_name;
    wide_name.append_ascii(name);
    DWORD length = GetEnvironmentVariableW(wide_name.text, value_buffer, value_capacity);
    if (length == 0 || length >= value_capacity) return nullptr;
    return _wcsdup(value_buffer);
}

BOOL set_env(const char *name, const wchar_t *value) {
    WideBuffer<name_capacity> wide_name;
    wide_name.append_ascii(name);
    return SetEnvironmentVariableW(wide_name.text, value);
}
