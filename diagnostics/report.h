#pragma once
// One-line failure reports. None of them ends the process by itself except
// fail_plain, fail_with_path and fail_with_code, which exit(2) after the line.
//
// A window program started from the desktop has no console and no standard
// handles, so its line would reach nobody. When the stream a failure line
// goes to reaches nothing, the same line is shown in a message box titled
// with the program's file name instead, unless the process's window station
// is not interactive (a service: nobody would see the box, and it would wait
// forever). The window functions come from user32, loaded only then.

#include <windows.h>
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

// Set by the launch sequence of a top-level instance. `before_line` runs
// first and may not return (a failure caused by an interruption's clean-up
// is left for the interruption to end); `after_line` runs after the line and
// before exit(2) (it deletes what was unpacked).
void set_failure_hooks(void (*before_line)(), void (*after_line)());

// The user32 functions a line without a stream needs.
struct WindowFunctions {
    HWINSTA(WINAPI *get_process_window_station)();
    BOOL(WINAPI *get_user_object_information)(HANDLE object, int index, void *information, DWORD size,
                                              DWORD *needed);
    int(WINAPI *message_box)(HWND owner, const wchar_t *text, const wchar_t *caption, UINT type);
};

// How a failure line finds its way out; tests replace these.
struct FailureDisplay {
    // True when the standard handle `which` (STD_OUTPUT_HANDLE or
    // STD_ERROR_HANDLE) takes what is written to it somewhere.
    bool (*stream_reaches_someone)(DWORD which);
    // Fills `functions` (loading user32); false when it cannot.
    bool (*load_window_functions)(WindowFunctions &functions);
};
extern FailureDisplay failure_display;
// The real ones.
bool standard_stream_reaches_someone(DWORD which);
bool load_user32_window_functions(WindowFunctions &functions);

// puts(message) then exit(2).
[[noreturn]] void fail_plain(const char *message);
// fprintf(stderr, format, path) then exit(2).
[[noreturn]] void fail_with_path(const char *format, const wchar_t *path);
// report_error_code(message, code) then exit(2).
[[noreturn]] void fail_with_code(const char *message, unsigned long code);
