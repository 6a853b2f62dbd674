#pragma once
// Fixed-capacity, NUL-terminated UTF-16 text. Capacities count UTF-16 units
// with the terminator included, so a 4096-unit buffer holds 4095 characters.
// Every append needs room for the whole text and the terminator; when it is
// missing the process ends with abort(): a path is never silently truncated.

#include <stddef.h>
#include <wchar.h>

// Appends `text` at the current end of `buffer` (capacity in units).
void append_wide(wchar_t *buffer, size_t capacity, const wchar_t *text);
// Appends narrow ASCII `text`, widening it one byte at a time with mbstowcs;
// a byte that does not give exactly one UTF-16 unit aborts.
void append_narrow(wchar_t *buffer, size_t capacity, const char *text);
// A copy is an append to an emptied buffer.
void copy_wide(wchar_t *buffer, size_t capacity, const wchar_t *text);

template <size_t N>
struct WideBuffer {
    static constexpr size_t capacity = N;
    wchar_t text[N] = {0};

    bool empty() const { return text[0] == 0; }
    size_t length() const { return wcslen(text); }
    void clear() { text[0] = 0; }
    void append(const wchar_t *more) { append_wide(text, N, more); }
    void append_ascii(const char *more) { append_narrow(text, N, more); }
    void assign(const wchar_t *value) { copy_wide(text, N, value); }
};
