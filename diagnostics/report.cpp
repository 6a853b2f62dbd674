#include "diagnostics/report.h"

#include <windows.h>
#include <locale.h>
#include <stdio.h>
#include <stdlib.h>

namespace {

void (*failure_cleanup)() = nullptr;

[[noreturn]] void exit_after_failure() {
    if (failure_cleanup != nullptr) failure_cleanup();
    exit(2);
}

}  // namespace

void set_failure_cleanup(void (*cleanup)()) { failure_cleanup = cleanup; }

void report_error_code(const char *message, unsigned long code) {
    char *text = nullptr;
    DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
        nullptr, code, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
        reinterpret_cast<char *>(&text), 0, nullptr);
    length = trim_line_end(text, length);
    // The text buffer is not released: the process ends right after.
    fprintf(stderr, "%s ([Error %ld] %s)\n", message, static_cast<long>(code),
            length > 0 ? text : "");
}

unsigned long trim_line_end(char *text, unsigned long length) {
    while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n')) text[--length] = 0;
    return length;
}

void fail_plain(const char *message) {
    puts(message);
    // Written before the clean-up, which can take a while.
    fflush(stdout);
    exit_after_failure();
}

namespace {

// C0 and C1 controls, DEL, and the line and paragraph separators: a terminal
// or a log reader may break the line at any of them (NEL, U+2028, U+2029) or
// act on them.
bool unsafe_in_a_line(wchar_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029;
}

}  // namespace

void print_with_path(const char *format, const wchar_t *path) {
    static wchar_t shown[32768];
    size_t length = 0;
    for (; path[length] != 0 && length + 1 < sizeof shown / sizeof shown[0]; ++length)
        shown[length] = unsafe_in_a_line(path[length]) ? L'?' : path[length];
    shown[length] = 0;
    setlocale(LC_CTYPE, ".UTF-8");
    fprintf(stderr, format, shown);
}

void fail_with_path(const char *format, const wchar_t *path) {
    print_with_path(format, path);
    exit_after_failure();
}

void fail_with_code(const char *message, unsigned long code) {
    report_error_code(message, code);
    exit_after_failure();
}
