#pragma once
// The tavrik-pack command line. Output goes to `out`, every failure is one
// "tavrik-pack: error: ..." line on `err`.

#include <iosfwd>
#include <string>
#include <vector>

namespace tavrik {

// `args` excludes the program name; `argv0` helps find the default stub.
int run_cli(const std::vector<std::string> &args, const char *argv0, std::ostream &out, std::ostream &err);

}  // namespace tavrik
