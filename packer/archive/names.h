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
#include <string_view>
#include <vector>

#include "format/archive_records.h"
#include "format/packed_format.h"
#include "packer/base/result.h"
#include "packer/base/upcase.h"

namespace tavrik {

// The launcher reads a name into a 1024-unit buffer, terminator included.
constexpr size_t max_name_units = archive_records::max_name_units;
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

// What this system cannot store of a checked archive name: on POSIX, a
// component longer than NAME_MAX (255) bytes in UTF-8, which Windows allows
// up to 255 UTF-16 units (a CJK component of 251 units is 753 bytes). ""
// when it can, and always on Windows. `extract` asks before writing
// anything; `verify` judges the archive for Windows only.
std::string local_name_problem(const std::u16string &name);

// The refusal of a name of `units` UTF-16 units (more than max_name_units),
// of which `start` holds at least the first 32.
std::string long_name_problem(const std::u16string &start, uint64_t units);

// What a reader of an archive of unknown origin holds for its names, and
// for how long it works on them, is budgeted by the size of the packed file
// it reads: an archive of a few hundred KiB can decode to gigabytes of
// names. Each name's units are hashed once; the text of each directory and
// file is kept once, with a node of the name tree (16 bytes and a slot of
// 4 to 8 in a hash table) for each. At worst, names of one-unit components,
// that is about 8 bytes held for every byte of names allowed.
struct NameLimits {
    uint64_t records;     // at most this many names
    uint64_t name_bytes;  // at most this many bytes of names in all, two per UTF-16 unit
};
constexpr NameLimits unlimited_names = {UINT64_MAX, UINT64_MAX};
// At least 2^20 names and 16 MiB of names, more for a larger file: a name
// per 64 bytes of the file and a quarter of its size in names. Whatever
// `pack` writes stays within the limits of its own output (it checks), so
// `verify` and `extract` accept it.
constexpr uint64_t min_record_limit = uint64_t{1} << 20;
constexpr uint64_t min_name_bytes_limit = uint64_t{16} << 20;
NameLimits name_limits_for(uint64_t file_size);
// The refusal of `records` names of `name_bytes` bytes in all under
// `limits`, or "".
std::string names_budget_problem(uint64_t records, uint64_t name_bytes, const NameLimits &limits);

// A set of names checked one at a time as they arrive, in time and memory
// linear in their total length: every name by `name_problem`; that no two
// are equal in upper case; that no name is also used as a directory by
// another ("lib" and "lib\x.dll"); and, at `finish`, that no directory
// holds both a component of the form of a short 8.3 alias (see
// packer/archive/names.cpp) and a long name that Windows may give that
// alias. The names are held as a tree of components, each text once, so a
// name repeated or sharing its directories with others costs no more.
// Messages show a directory as the first name that used it spelled it.
class NameSet {
public:
    explicit NameSet(NameLimits limits = unlimited_names);
    // "" when `name` is accepted as the next name; the reason otherwise.
    // After a refusal the set is not to be used again.
    std::string add(const std::u16string &name);
    // The checks that need every name; "" when all is well.
    std::string finish() const;
    // Whether `name` is, up to case, the one accepted as name number
    // `index` (from 0). Every rule above is blind to case, so such a name
    // is as safe to write as the one checked.
    bool holds(const std::u16string &name, uint64_t index) const;
    uint64_t size() const { return records_; }

private:
    struct Node {
        uint32_t parent;
        uint32_t text_at;  // where the component's text starts in text_
        uint16_t length;   // in units
        bool file;
        // A file's number; for a directory, the file node of the name that
        // made it (for messages).
        uint32_t origin;
    };
    // The child of `parent` whose upper case is `upper`, or 0.
    uint32_t find(uint32_t parent, std::u16string_view upper, uint64_t hash) const;
    uint64_t fold_component(uint32_t parent, const std::u16string &name, size_t start, size_t end,
                            std::u16string &upper) const;
    void insert_slot(uint32_t node, uint64_t hash);
    uint64_t node_hash(uint32_t node) const;
    std::u16string path_of(uint32_t node) const;
    std::string short_alias_problem() const;

    NameLimits limits_;
    uint64_t records_ = 0;
    uint64_t name_bytes_ = 0;
    std::vector<Node> nodes_;      // node 0 is the target directory
    std::u16string text_;          // every component's text, as first seen
    std::vector<uint32_t> slots_;  // open addressing over nodes_ by (parent, upper case); 0 is free
    size_t used_slots_ = 0;
    uint64_t seed_;
    // The name before and its directory nodes by the unit where each ends:
    // names mostly come sorted and share their directories with the one
    // before, which then need no lookup.
    std::u16string previous_;
    std::vector<std::pair<size_t, uint32_t>> previous_directories_;
};

// A whole set of names through a NameSet without limits; "" when all is
// well.
std::string names_problem(const std::vector<std::u16string> &names);

// A name for messages, in double quotes, as UTF-8 with control characters
// escaped (see `printable`). Never fails.
std::string shown_name(const std::u16string &name);

}  // namespace tavrik
