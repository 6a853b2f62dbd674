#pragma once
// Support for the end-to-end tests: packing real launchers, running them
// with pipes and a full exit code, and looking at what they left on disk.

#include <windows.h>

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "packer/archive/archive.h"
#include "packer/archive/frame.h"
#include "report_format.h"

namespace e2e {

std::string utf8(const std::wstring &text);
std::wstring wide(const std::string &text);

// Paths of the built programs, as Windows paths.
std::wstring stub_path();
std::wstring app_path(const wchar_t *dll_name);  // a test application
std::wstring hello_path();

tavrik::Bytes read_bytes(const std::wstring &path);
void write_bytes(const std::wstring &path, const tavrik::Bytes &bytes);
tavrik::ArchiveEntry entry(const std::wstring &name, const tavrik::Bytes &content);
tavrik::ArchiveEntry file_entry(const std::wstring &name, const std::wstring &path);

// Packs `entries` (the first is the application library) into `output`,
// with a decoding window of 2^window_log bytes.
void pack(const std::wstring &output, const std::vector<tavrik::ArchiveEntry> &entries,
          int window_log = tavrik::default_window_log);
// Packs raw archive bytes as they stand, valid or not.
void pack_raw_archive(const std::wstring &output, const tavrik::Bytes &archive);

struct RunResult {
    DWORD process_id = 0;
    DWORD exit_code = 0;
    bool timed_out = false;
    std::string out;  // standard output
    std::string err;  // standard error
};

// Runs `program` with the command line `command_line` (argument 0 included),
// standard output and error on separate pipes, standard input from NUL.
RunResult run(const std::wstring &program, const std::wstring &command_line, DWORD timeout_ms = 60000);
// Runs the executable with arguments quoted the standard way.
RunResult run_args(const std::wstring &exe, const std::vector<std::wstring> &arguments,
                   DWORD timeout_ms = 60000);
// Standard command-line quoting, the inverse of CommandLineToArgvW.
std::wstring quote_argument(const std::wstring &argument);

// A directory of its own for each test, used as TMP/TEMP for the launchers
// it starts, so their target directories can be found and counted.
class Sandbox {
public:
    Sandbox();
    ~Sandbox();
    const std::wstring &root() const { return root_; }
    const std::wstring &temp() const { return temp_; }
    std::wstring operator/(const std::wstring &name) const { return root_ + L"\\" + name; }
    // Names of the onefile_* directories in the temporary directory.
    std::vector<std::wstring> target_directories() const;
    std::wstring report_path() const { return root_ + L"\\report.txt"; }
    tavrik_report::report read_report() const;

private:
    std::wstring root_;
    std::wstring temp_;
    std::wstring saved_tmp_;
    std::wstring saved_temp_;
};

// Sets an environment variable for the test's duration (null removes it).
class ScopedEnv {
public:
    ScopedEnv(const wchar_t *name, const wchar_t *value);
    ~ScopedEnv();

private:
    std::wstring name_;
    std::wstring saved_;
    bool had_value_;
};

bool exists(const std::wstring &path);
void make_directories(const std::wstring &path);
void remove_tree(const std::wstring &path);
// Relative paths (with "\") of all files below `directory`, with contents.
std::map<std::wstring, tavrik::Bytes> files_below(const std::wstring &directory);
tavrik::Bytes random_bytes(size_t size, uint32_t seed);

}  // namespace e2e
