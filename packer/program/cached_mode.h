#pragma once
// Cached mode: the program is unpacked once into a folder of its own below
// a location given as a path spec, and later starts run from there. Here
// the spec is checked and the program's folder named; the frame that
// carries both is packer/archive/cached_frame.h's.

#include <string>

#include <utility>
#include <vector>

#include "packer/archive/cached_frame.h"
#include "packer/base/result.h"
#include "packer/packed/packed_file.h"

namespace tavrik {


// The spec as the launcher will read it ("/" becomes "\"), or why it can
// name no folder that stays the same from one start to the next: a
// placeholder that changes with every start ({PID}, {TIME_US}, {RANDOM},
// {TIME}) or names the executable itself ({PROGRAM}), an unknown or unclosed
// placeholder, a relative path, a "." or ".." component, or a character no
// folder name holds.
Result<std::u16string> check_cache_spec(const std::string &spec);

// The program's folder name: the output's name without ".exe", made safe
// for a file name, then "-" and 12 hexadecimal digits of a SHA-256 over the
// output name (lower case), CompanyName and ProductName. Two programs share
// a folder only when all three agree.
std::u16string program_folder_name(const std::u16string &output_name, const std::u16string &company,
                                   const std::u16string &product);

// How a packed program starts, as list and verify show it: per-run, or
// cached and where.
struct StartMode {
    bool cached = false;
    std::string spec;     // UTF-8, when cached
    std::string program;  // the program's folder below it
    std::vector<std::pair<std::u16string, uint64_t>> files;  // the list a warm start checks
    std::string line() const { return cached ? "start: cached in " + spec + "\\" + program : "start: per-run"; }
};
Result<StartMode> start_mode(const PackedFile &packed);


}  // namespace tavrik
