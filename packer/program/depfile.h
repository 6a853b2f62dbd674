#pragma once
// The dependency file `pack --depfile` writes for build tools: one rule in
// the Makefile syntax that make, Ninja and CMake's DEPFILE read, naming the
// output and every file and directory the packer read to make it. A
// directory is listed because its modification time changes when a file is
// added to it, removed or renamed, so the build packs again then too. An
// empty rule for each of them (as gcc -MP writes for headers) lets make
// pack again, rather than stop, once one is deleted.

#include <filesystem>
#include <string>
#include <vector>

#include "packer/base/result.h"

namespace tavrik {

// "OUTPUT: \\\n  INPUT \\\n  INPUT\n\nINPUT:\n\nINPUT:\n", each path as
// given, with space, "#" and "$" escaped the way these tools read them
// back; no empty rule for a path holding "%", which make would read as a
// pattern. Refuses, naming the character and why, a path make, Ninja or
// CMake would read back as another path, a command, a wildcard, a pattern
// or an assignment: one with ; ' & ^ ` | " * ? < > [ = : (but a drive's
// colon on Windows), a control character, (outside Windows, where it is no
// separator) a backslash, starting with "~" or ending in ")", or named as
// make's special targets are (".IGNORE"); and an output with "%".
Result<std::string> depfile_rule(const std::filesystem::path &output, const std::vector<std::filesystem::path> &inputs);

}  // namespace tavrik
