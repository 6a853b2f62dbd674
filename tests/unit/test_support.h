#pragma once
// Helpers shared by the launcher's unit tests.

#include <windows.h>

#include <gtest/gtest.h>
#include <string>

#include "common/environment.h"

// abort() ends the process abnormally and prints nothing of ours.
#define EXPECT_ABORTS(statement) EXPECT_DEATH(statement, "")

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
std::string read_file(const std::wstring &path);
bool exists(const std::wstring &path);
void remove_tree(const std::wstring &path);
