#include "tests/unit/test_support.h"

#include "tests/scratch_tree.h"


#include <fstream>
#include <sstream>

// Named after the running test, not the process: a death test's child runs
// the test again and then uses (and leaves) the same directory, which the
// parent removes at the end.
ScratchDirectory::ScratchDirectory() {
    static std::string last_test;
    static unsigned counter = 0;
    const testing::TestInfo *test = testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(test->test_suite_name()) + "." + test->name();
    counter = name == last_test ? counter + 1 : 1;
    last_test = name;
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    path_ = std::wstring(temp) + L"tavrik_unit_" + std::wstring(name.begin(), name.end()) + L"_" +
            std::to_wstring(counter);
    remove_tree(path_);
    CreateDirectoryW(path_.c_str(), nullptr);
}

ScratchDirectory::~ScratchDirectory() { remove_tree(path_); }

void write_file(const std::wstring &path, const std::string &content) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
    CloseHandle(file);
}

std::string read_file(const std::wstring &path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return "<missing>";
    std::string content;
    char chunk[65536];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) content.append(chunk, got);
    CloseHandle(file);
    return content;
}

bool exists(const std::wstring &path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

void remove_tree(const std::wstring &path) { scratch_tree::remove(path, L"\\tavrik_unit_"); }
