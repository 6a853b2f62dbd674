#pragma once
// Helpers shared by the launcher's unit tests.

#include <windows.h>

#include <gtest/gtest.h>
#include <string>

#include "common/environment.h"

// The variable's value, or "<unset>".
inline std::wstring env_value(const char *name) {
    wchar_t *value = get_env(name);
    if (value == nullptr) return L"<unset>";
    std::wstring text = value;
    free(value);
    return text;
}

// A fresh, empty directory below the temporary folder, removed with its
// contents when the test ends.
class ScratchDirectory {
public:
    ScratchDirectory();
    ~ScratchDirectory();
    const std::wstring &path() const { return path_; }
    std::wstring operator/(const std::wstring &name) const { return path_ + L"\\" + name; }

private:
    std::wstring path_;
};

void write_file(const std::wstring &path, const std::string &content);
// Makes the directory `path` holding what an unpacked application holds:
// app.dll and sub\data.bin. Returns `path`.
std::wstring make_unpacked_tree(const std::wstring &path);
std::string read_file(const std::wstring &path);
bool exists(const std::wstring &path);
void remove_tree(const std::wstring &path);

// Under Wine only: makes a Unix symbolic link at `link` to `target` (both
// Windows paths) with the host's own ln, as a Unix program that an
// application starts would; a Windows program cannot make one. False when
// not under Wine or the link did not appear.
bool make_unix_link(const std::wstring &target, const std::wstring &link);
// Under Wine only: removes `path` with the host's rm -rf, which follows no
// link, and waits until it is gone.
void remove_unix_tree(const std::wstring &path);

// The system's English text for `code`, as FormatMessageA gives it.
std::string system_text(unsigned long code);
// "<message> ([Error <code>] <system text without its line end>)" as it
// reaches a stream.
std::string error_code_line(const char *message, unsigned long code);

// Death tests. GoogleTest on Windows takes any non-zero status for a death
// and sees only the child's standard error, so these pin the status and what
// each standard stream received: the child sends both streams, unbuffered
// (abort() flushes nothing), to files of their own, which the parent reads
// once the child has ended. Lines arrive as the CRT writes them, "\r\n".
class ChildStreams {
public:
    void redirect() const;  // in the child, before the statement runs
    std::string out() const { return read_file(directory_ / L"out"); }
    std::string err() const { return read_file(directory_ / L"err"); }

private:
    ScratchDirectory directory_;
};

#define EXPECT_ENDS_PRINTING(statement, status, out_text, err_text)                                       \
    do {                                                                                                  \
        ChildStreams child_streams;                                                                       \
        EXPECT_EXIT(                                                                                      \
            {                                                                                             \
                child_streams.redirect();                                                                 \
                statement;                                                                                \
            },                                                                                            \
            testing::ExitedWithCode(status), "^$");                                                       \
        EXPECT_EQ(child_streams.out(), out_text) << "standard output";                                    \
        EXPECT_EQ(child_streams.err(), err_text) << "standard error";                                     \
    } while (0)

// The status abort() ends the process with under Wine's Universal CRT: it
// raises SIGABRT, whose default action is _exit(3). Windows' own ucrtbase
// fails fast instead (0xC0000409).
constexpr int abort_status = 3;
#define EXPECT_ABORTS(statement) EXPECT_ENDS_PRINTING(statement, abort_status, "", "")
// A reported failure: exit code 2 and the one line on the stream named.
#define EXPECT_FAILS_ON_STDOUT(statement, line) EXPECT_ENDS_PRINTING(statement, 2, line, "")
#define EXPECT_FAILS_ON_STDERR(statement, line) EXPECT_ENDS_PRINTING(statement, 2, "", line)
