#include "tests/e2e/e2e_support.h"


#include <thread>

#include "packer/archive/attached_data.h"
#include "packer/archive/frame.h"
#include "packer/packed/packed_executable.h"
#include "packer/pe/attach.h"
#include "tests/scratch_tree.h"

namespace e2e {

namespace {

// Build paths come as Linux paths; Wine maps the root onto drive Z:.
std::wstring from_build_path(const char *path) {
    std::wstring result = wide(path);
    if (!result.empty() && result[0] == L'/') result = L"Z:" + result;
    for (wchar_t &c : result)
        if (c == L'/') c = L'\\';
    return result;
}

std::wstring get_env_or_empty(const wchar_t *name, bool &had) {
    wchar_t buffer[32768];
    DWORD length = GetEnvironmentVariableW(name, buffer, 32768);
    had = length != 0 || GetLastError() != ERROR_ENVVAR_NOT_FOUND;
    return length == 0 ? L"" : buffer;
}

void read_pipe(HANDLE pipe, std::string *into) {
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got > 0) into->append(buffer, got);
}

}  // namespace

std::string utf8(const std::wstring &text) {
    if (text.empty()) return "";
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                   nullptr);
    std::string result(size, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &result[0], size, nullptr, nullptr);
    return result;
}

std::wstring wide(const std::string &text) {
    if (text.empty()) return L"";
    int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring result(size, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &result[0], size);
    return result;
}

std::wstring stub_path() { return from_build_path(TAVRIK_STUB_PATH); }
std::wstring app_path(const wchar_t *dll_name) { return from_build_path(TAVRIK_APPS_DIR) + L"\\" + dll_name; }
std::wstring hello_path() { return from_build_path(TAVRIK_HELLO_PATH); }

tavrik::Bytes read_bytes(const std::wstring &path) {
    tavrik::Bytes bytes;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return bytes;
    unsigned char chunk[65536];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) bytes.insert(bytes.end(), chunk, chunk + got);
    CloseHandle(file);
    return bytes;
}

void write_bytes(const std::wstring &path, const tavrik::Bytes &bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << utf8(path);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
    CloseHandle(file);
}

tavrik::ArchiveEntry entry(const std::wstring &name, const tavrik::Bytes &content) {
    return {std::u16string(name.begin(), name.end()), content};
}

tavrik::ArchiveEntry file_entry(const std::wstring &name, const std::wstring &path) {
    tavrik::Bytes content = read_bytes(path);
    EXPECT_FALSE(content.empty()) << utf8(path);
    return entry(name, content);
}

void pack(const std::wstring &output, const std::vector<tavrik::ArchiveEntry> &entries, int window_log) {
    tavrik::Result<tavrik::Bytes> exe = tavrik::pack_executable(read_bytes(stub_path()), entries, 1, 0, window_log);
    ASSERT_TRUE(exe.ok()) << exe.error();
    write_bytes(output, *exe);
}

void pack_raw_archive(const std::wstring &output, const tavrik::Bytes &archive) {
    tavrik::Result<tavrik::Bytes> frame = tavrik::compress_frame(archive, 1, 0);
    ASSERT_TRUE(frame.ok()) << frame.error();
    tavrik::Result<tavrik::Bytes> exe =
        tavrik::attach_to_stub(read_bytes(stub_path()), tavrik::make_attached_data(*frame));
    ASSERT_TRUE(exe.ok()) << exe.error();
    write_bytes(output, *exe);
}

RunResult run(const std::wstring &program, const std::wstring &command_line, DWORD timeout_ms) {
    RunResult result;
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    HANDLE out_read, out_write, err_read, err_write;
    CreatePipe(&out_read, &out_write, &inheritable, 0);
    CreatePipe(&err_read, &err_write, &inheritable, 0);
    SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(err_read, HANDLE_FLAG_INHERIT, 0);
    HANDLE null_input = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                                    OPEN_EXISTING, 0, nullptr);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = null_input;
    startup.hStdOutput = out_write;
    startup.hStdError = err_write;
    PROCESS_INFORMATION process = {};
    std::wstring writable = command_line;
    BOOL started = CreateProcessW(program.c_str(), &writable[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                  &startup, &process);
    CloseHandle(out_write);
    CloseHandle(err_write);
    CloseHandle(null_input);
    if (!started) {
        ADD_FAILURE() << "could not start " << utf8(program) << ": " << GetLastError();
        CloseHandle(out_read);
        CloseHandle(err_read);
        result.exit_code = 0xFFFFFFFF;
        return result;
    }
    result.process_id = process.dwProcessId;
    std::thread out_reader(read_pipe, out_read, &result.out);
    std::thread err_reader(read_pipe, err_read, &result.err);
    if (WaitForSingleObject(process.hProcess, timeout_ms) != WAIT_OBJECT_0) {
        result.timed_out = true;
        TerminateProcess(process.hProcess, 0xDEAD);
        WaitForSingleObject(process.hProcess, INFINITE);
    }
    GetExitCodeProcess(process.hProcess, &result.exit_code);
    // A grandchild can hold the pipes open; don't wait for it forever.
    out_reader.join();
    err_reader.join();
    CloseHandle(out_read);
    CloseHandle(err_read);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return result;
}

std::wstring quote_argument(const std::wstring &argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) return argument;
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted.push_back(c);
    }
    quoted.append(2 * backslashes, L'\\');
    return quoted + L"\"";
}

RunResult run_args(const std::wstring &exe, const std::vector<std::wstring> &arguments, DWORD timeout_ms) {
    std::wstring command_line = quote_argument(exe);
    for (const std::wstring &argument : arguments) command_line += L" " + quote_argument(argument);
    return run(exe, command_line, timeout_ms);
}

Sandbox::Sandbox() {
    const testing::TestInfo *test = testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(test->test_suite_name()) + "." + test->name();
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    root_ = std::wstring(temp) + L"tavrik_e2e_" + wide(name);
    remove_tree(root_);
    temp_ = root_ + L"\\temp";
    make_directories(temp_);
    bool had = false;
    saved_tmp_ = get_env_or_empty(L"TMP", had);
    saved_temp_ = get_env_or_empty(L"TEMP", had);
    SetEnvironmentVariableW(L"TMP", temp_.c_str());
    SetEnvironmentVariableW(L"TEMP", temp_.c_str());
    SetEnvironmentVariableW(L"TAVRIK_TEST_REPORT", report_path().c_str());
}

Sandbox::~Sandbox() {
    SetEnvironmentVariableW(L"TMP", saved_tmp_.c_str());
    SetEnvironmentVariableW(L"TEMP", saved_temp_.c_str());
    SetEnvironmentVariableW(L"TAVRIK_TEST_REPORT", nullptr);
    remove_tree(root_);
}

std::vector<std::wstring> Sandbox::target_directories() const {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((temp_ + L"\\onefile_*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
        names.push_back(found.cFileName);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return names;
}

tavrik_report::report Sandbox::read_report() const {
    tavrik::Bytes bytes = read_bytes(report_path());
    return tavrik_report::parse_report(std::string(bytes.begin(), bytes.end()));
}

ScopedEnv::ScopedEnv(const wchar_t *name, const wchar_t *value) : name_(name) {
    saved_ = get_env_or_empty(name, had_value_);
    SetEnvironmentVariableW(name, value);
}

ScopedEnv::~ScopedEnv() { SetEnvironmentVariableW(name_.c_str(), had_value_ ? saved_.c_str() : nullptr); }

bool exists(const std::wstring &path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

void make_directories(const std::wstring &path) {
    for (size_t at = path.find(L'\\', 3); at != std::wstring::npos; at = path.find(L'\\', at + 1))
        CreateDirectoryW(path.substr(0, at).c_str(), nullptr);
    CreateDirectoryW(path.c_str(), nullptr);
}

void remove_tree(const std::wstring &path) { scratch_tree::remove(path, L"\\tavrik_e2e_"); }

std::map<std::wstring, tavrik::Bytes> files_below(const std::wstring &directory) {
    std::map<std::wstring, tavrik::Bytes> files;
    std::vector<std::wstring> pending = {L""};
    while (!pending.empty()) {
        std::wstring relative = pending.back();
        pending.pop_back();
        std::wstring base = relative.empty() ? directory : directory + L"\\" + relative;
        WIN32_FIND_DATAW found;
        HANDLE search = FindFirstFileW((base + L"\\*").c_str(), &found);
        if (search == INVALID_HANDLE_VALUE) continue;
        do {
            std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") continue;
            std::wstring child = relative.empty() ? name : relative + L"\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                pending.push_back(child);
            else
                files[child] = read_bytes(directory + L"\\" + child);
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    return files;
}

tavrik::Bytes random_bytes(size_t size, uint32_t seed) {
    tavrik::Bytes bytes(size);
    uint32_t state = seed == 0 ? 1 : seed;
    for (size_t i = 0; i < size; ++i) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        // Mostly small values, so the data compresses a little, as binaries do.
        bytes[i] = static_cast<uint8_t>((state & 0x300) == 0 ? state : state & 0x0f);
    }
    return bytes;
}

}  // namespace e2e
