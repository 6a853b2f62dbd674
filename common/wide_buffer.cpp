#include "common/wide_buffer.h"

#include <stdlib.h>

void append_wide(wchar_t *buffer, size_t capacity, const wchar_t *text) {
    size_t used = wcsnlen(buffer, capacity);
    size_t length = wcslen(text);
    if (used >= capacity || length + 1 > capacity - used) abort();
    wmemcpy(buffer + used, text, length + 1);
}

void append_narrow(wchar_t *buffer, size_t capacity, const char *text) {
    size_t used = wcsnlen(buffer, capacity);
    if (used >= capacity) abort();
    for (; *text != 0; ++text) {
        if (used + 2 > capacity) abort();
        const char single[2] = {*text, 0};
        wchar_t wide[2] = {0, 0};
        if (mbstowcs(wide, single, 2) != 1) abort();
        buffer[used++] = wide[0];
    }
    buffer[used] = 0;
}

void copy_wide(wchar_t *buffer, size_t capacity, const wchar_t *text) {
    if (capacity == 0) abort();
    buffer[0] = 0;
    append_wide(buffer, capacity, text);
}
