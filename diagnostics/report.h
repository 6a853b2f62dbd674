#pragma once
// One-line failure reports. None of them ends the process by itself except
// fail_plain, fail_with_path and fail_with_code, which exit(2) after the line.

#include <wchar.h>

// "<message> ([Error <code as signed>] <system text>)" on standard error, the
// system's English text with its trailing CR/LF removed (empty if none).
void report_error_code(const char *message, unsigned long code);
// Removes carriage returns and line feeds from the end of `text` (of
// `length` bytes) and returns the new length; inner line breaks stay.
unsigned long trim_line_end(char *text, unsigned long length);

// fprintf(stderr, format, path) for a format with one %ls, written whole
// and on one line: in the CRT's default "C" locale a character outside
// Latin-1 ends the conversion and cuts the line short, so the path goes out
// as UTF-8 (the locale is changed only here, right before the process ends);
// and a control character in it (C0, DEL, C1) or a line or paragraph
// separator (a name from a damaged archive can hold line breaks) is shown
// as "?".
void print_with_path(const char *format, const wchar_t *path);

// Runs after the line of a reported failure and before exit(2): the launch
// sequence of a top-level instance sets it to delete what it unpacked.
void set_failure_cleanup(void (*cleanup)());

// puts(message) then exit(2).
[[noreturn]] void fail_plain(const char *message);
// fprintf(stderr, format, path) then exit(2).
[[noreturn]] void fail_with_path(const char *format, const wchar_t *path);
// report_error_code(message, code) then exit(2).
[[noreturn]] void fail_with_code(const char *message, unsigned long code);
