#include "tests/launcher/test_support.h"

#include "tests/scratch_tree.h"

#include <fcntl.h>
#include <io.h>
#include <stdio.h>

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

std::wstring make_unpacked_tree(const std::wstring &path) {
    CreateDirectoryW(path.c_str(), nullptr);
    write_file(path + L"\\app.dll", "library");
    CreateDirectoryW((path + L"\\sub").c_str(), nullptr);
    write_file(path + L"\\sub\\data.bin", "data");
    return path;
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

namespace {

// The Unix path of a Windows path, from Wine's own export; empty when not
// under Wine.
std::string unix_path(const std::wstring &path) {
    using Convert = char *(CDECL *)(const wchar_t *);
    Convert convert = reinterpret_cast<Convert>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
    if (convert == nullptr) return "";
    char *converted = convert(path.c_str());
    if (converted == nullptr) return "";
    std::string result = converted;
    HeapFree(GetProcessHeap(), 0, converted);
    return result;
}

// Starts a host program through its Z: path (Wine runs a Unix executable
// it is given). Its handle cannot be waited on, so callers poll for what it
// does. The paths here hold no blanks, so no quoting is needed.
bool start_unix_program(const std::wstring &program, const std::string &arguments) {
    std::wstring command = program + L" " + std::wstring(arguments.begin(), arguments.end());
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(program.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return false;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}

bool listed(const std::wstring &path) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(path.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return false;
    FindClose(search);
    return true;
}

}  // namespace

bool make_unix_link(const std::wstring &target, const std::wstring &link) {
    size_t separator = link.rfind(L'\\');
    std::string unix_target = unix_path(target);
    std::string unix_directory = unix_path(link.substr(0, separator));
    if (unix_target.empty() || unix_directory.empty()) return false;
    std::wstring name = link.substr(separator + 1);
    std::string unix_link = unix_directory + "/" + std::string(name.begin(), name.end());
    if (!start_unix_program(L"Z:\\bin\\ln", "-s " + unix_target + " " + unix_link)) return false;
    for (int i = 0; i < 500 && !listed(link); ++i) Sleep(20);
    return listed(link);
}

void remove_unix_tree(const std::wstring &path) {
    std::string unix_tree = unix_path(path);
    if (unix_tree.empty() || !start_unix_program(L"Z:\\bin\\rm", "-rf " + unix_tree)) return;
    for (int i = 0; i < 500 && listed(path); ++i) Sleep(20);
}

std::string system_text(unsigned long code) {
    char *text = nullptr;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                                      FORMAT_MESSAGE_FROM_SYSTEM,
                                  nullptr, code, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
                                  reinterpret_cast<char *>(&text), 0, nullptr);
    std::string result(text == nullptr ? "" : text, length);
    LocalFree(text);
    return result;
}

std::string error_code_line(const char *message, unsigned long code) {
    std::string text = system_text(code);
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.pop_back();
    return std::string(message) + " ([Error " + std::to_string(static_cast<long>(code)) + "] " + text + ")\r\n";
}

void ChildStreams::redirect() const {
    fflush(stdout);
    fflush(stderr);
    const wchar_t *names[] = {L"out", L"err"};
    for (int stream = 1; stream <= 2; ++stream) {
        int file = _wopen((directory_ / names[stream - 1]).c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC, 0666);
        // A status no test expects, so a failed redirection never passes.
        if (file < 0 || _dup2(file, stream) != 0) _exit(125);
        _close(file);
    }
    setvbuf(stdout, nullptr, _IONBF, 0);
    setvbuf(stderr, nullptr, _IONBF, 0);
}
