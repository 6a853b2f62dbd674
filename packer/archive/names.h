#pragma once
// The rules an archive name must follow so that the launcher can create it
// below its target directory on any Windows file system, and the same rules
// again when an archive is verified or extracted.
//
// A name is relative, uses "\" between components and is counted in UTF-16
// units, as the launcher stores and joins it.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "format/packed_format.h"
#include "packer/base/result.h"

namespace tavrik {

// The launcher reads a name into a 1024-unit buffer, terminator included.
constexpr size_t max_name_units = packed_format::max_name_units;
// It joins "<target directory>\<name>" in a 4096-unit buffer.
constexpr size_t max_path_units = packed_format::max_path_units;
// What the packer assumes for the target directory,
// "%TEMP%\onefile_<pid>_<time>_<random>": a long TEMP of about 220 units
// plus the launcher's own part.
constexpr size_t target_directory_budget = 260;
// NTFS (and every other Windows file system) stores at most 255 UTF-16
// units per path component.
constexpr size_t max_component_units = 255;

// The reason `name` is not acceptable, or "" when it is. Checked in this
// order: empty, absolute ("\..." or "/..."), drive letter ("C:..."), length
// (max_name_units), then each component: empty, "." or "..", a "/", a ":",
// a character Windows does not allow (<>"|?* and U+0000-U+001F), longer
// than max_component_units, a trailing dot or space, a reserved device
// name; then unpaired surrogates and finally the full path with a target
// directory of `target_directory_units`.
std::string name_problem(const std::u16string &name,
                         size_t target_directory_units = target_directory_budget);

// The refusal of a name of `units` UTF-16 units (more than max_name_units),
// of which `start` holds at least the first 32.
std::string long_name_problem(const std::u16string &start, uint64_t units);

// Every unit mapped to upper case the way Windows file systems compare
// names (packer/archive/upcase_table.h): simple uppercase over the whole Basic
// Multilingual Plane, surrogates unchanged. Two names with the same upper-
// case form name the same file on Windows.
std::u16string upcase_name(const std::u16string &name);

// Checks a whole set of names, in time and memory linear in their total
// length: every name by `name_problem`; that no two are equal in upper case;
// that no name is also used as a directory by another ("lib" and
// "lib\x.dll"); and that no directory holds both a component of the form
// of a short 8.3 alias (see packer/archive/names.cpp) and a long name that Windows
// may give that alias. "" when all is well.
std::string names_problem(const std::vector<std::u16string> &names);

// A name for messages, in double quotes, as UTF-8 with control characters
// escaped (see `printable`). Never fails.
std::string shown_name(const std::u16string &name);

}  // namespace tavrik
