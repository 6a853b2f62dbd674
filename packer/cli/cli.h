#pragma once
// The tavrik-pack command line. Output goes to `out`, every failure is one
// "tavrik-pack: error: ..." line on `err` and exit status 1.

#include <iosfwd>
#include <string>
#include <vector>

namespace tavrik {

struct CliEnvironment {
    const char *argv0 = nullptr;  // helps find the default stub
    bool show_progress = false;   // draw a progress line on `err` while packing
};

// `args` excludes the program name.
int run_cli(const std::vector<std::string> &args, const CliEnvironment &environment, std::ostream &out,
            std::ostream &err);

}  // namespace tavrik
