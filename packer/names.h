#pragma once
// The rules an archive name must follow so that the launcher can create it
// below its target directory on any Windows file system, and the same rules
// again when an archive is verified or extracted.
//
// A name is relative, uses "\" between components and is counted in UTF-16
// units, as the launcher stores and joins it.

#include <cstddef>
#include <string>
#include <vector>

#include "packer/result.h"

namespace tavrik {

// The launcher reads a name into a 1024-unit buffer, terminator included.
constexpr size_t max_name_units = 1023;
// It joins "<target directory>\<name>" in a 4096-unit buffer.
constexpr size_t max_path_units = 4095;
// What the packer assumes for the target directory,
// "%TEMP%\onefile_<pid>_<time>_<random>": a long TEMP of about 220 units
// plus the launcher's own part.
constexpr size_t target_directory_budget = 260;

// The reason `name` is not acceptable, or "" when it is. Checked in this
// order: empty, absolute ("\..." or "/..."), drive letter ("C:..."), length
// (max_name_units), then each component: empty, "." or "..", a "/", a ":",
// a character Windows does not allow (<>"|?* and U+0000-U+001F), a trailing
// dot or space, a reserved device name; then unpaired surrogates and
// finally the full path with a target directory of `target_directory_units`.
std::string name_problem(const std::u16string &name,
                         size_t target_directory_units = target_directory_budget);

// Unicode simple case folding (the C and S mappings of CaseFolding.txt) for
// ASCII, Latin-1 Supplement, Latin Extended-A, Greek and Cyrillic; other
// units are left as they are. Two names with the same folded form would
// name the same file on a case-insensitive file system.
std::u16string fold_case(const std::u16string &name);

// Checks a whole set of names: every name by `name_problem`, then that no
// two names are equal after folding and that no name is also used as a
// directory by another ("lib" and "lib\x.dll"). "" when all is well.
std::string names_problem(const std::vector<std::u16string> &names);

// A name for messages, in double quotes, as UTF-8 when it converts.
std::string shown_name(const std::u16string &name);

}  // namespace tavrik
