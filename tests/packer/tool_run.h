#pragma once
// Runs a program through the shell as a user would, its exit status and
// both streams caught for the test to compare.

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "temp_dir.h"

namespace tavrik_test {

struct ToolRun {
    int exit_code;  // -1 when the program did not exit by itself
    std::string out;
    std::string err;
};

// `arg` as one word for sh.
inline std::string quoted(const std::string &arg) {
    std::string q = "'";
    for (char c : arg) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

inline std::string text_of(const std::filesystem::path &file) {
    const std::vector<uint8_t> b = read_file(file);
    return std::string(b.begin(), b.end());
}

// Runs `command` (the program, then its arguments) with standard input on
// /dev/null, from `cwd` when one is given; the streams go through files in
// `tmp`.
inline ToolRun run_command(const TempDir &tmp, const std::vector<std::string> &command,
                           const std::filesystem::path &cwd = {}) {
    std::string line = cwd.empty() ? "" : "cd " + quoted(cwd.string()) + " &&";
    for (const auto &a : command) line += " " + quoted(a);
    const std::filesystem::path out = tmp.path() / "stdout.txt", err = tmp.path() / "stderr.txt";
    line += " </dev/null >" + quoted(out.string()) + " 2>" + quoted(err.string());
    const int status = std::system(line.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, text_of(out), text_of(err)};
}

}  // namespace tavrik_test
