#pragma once
// Turning the command line's APP.dll, FILE/DIR arguments and placements into
// archive entries, in a deterministic order, leaving out what is not meant
// to ship.

#include <filesystem>
#include <string>
#include <vector>

#include "packer/archive/archive.h"
#include "packer/base/result.h"

namespace tavrik {

// One FILE or DIR and where it goes in the archive.
struct InputSpec {
    InputSpec(std::filesystem::path source, std::u16string destination = {})
        : source(std::move(source)), destination(std::move(destination)) {}
    std::filesystem::path source;
    // Empty: a FILE under its file name, a DIR's files at the top. Else a
    // FILE is stored under this name, a DIR's files below it ("\" between
    // components, see archive_path).
    std::u16string destination;
};

// What is left out of the directories walked. Patterns are compared ignoring
// case (as Windows compares names); "*" matches any run of characters within
// one name, "?" one character ("**" is not supported). "\" and "/" both
// separate components. A pattern without a separator matches a file or
// directory name at any depth; one with a separator inside, or at its
// start, matches a whole archive name from the top; one with a separator at
// its end matches directories only ("build/" leaves out every directory
// named build, never a file). A directory that matches is not entered.
struct Exclusions {
    std::vector<std::u16string> patterns;  // --exclude
    bool defaults = true;                  // also default_exclusions
};

// Why `pattern` could never match an archive name ("", "/", "a//b", "./a",
// a "**"), or "" when it can.
std::string exclusion_problem(const std::u16string &pattern);

// Version-control folders, editor backups and swap files, desktop metadata.
extern const char16_t *const default_exclusions[];
extern const size_t default_exclusion_count;

struct LeftOut {
    std::u16string name;      // the archive name it would have had
    std::u16string pattern;   // the pattern that matched, as given
    bool directory = false;   // a directory, with everything below it
};

struct Collection {
    std::vector<ArchiveEntry> entries;  // the application first
    std::vector<LeftOut> left_out;      // sorted by name
    // Every file read and every directory listed (an excluded one is not
    // entered, so not listed), spelt from the paths given: for a depfile.
    std::vector<std::filesystem::path> walked;
};

// An archive path as typed on the command line ("/" or "\" between
// components, a trailing separator ignored) in the archive's form. Refuses
// an empty path, one that starts with a separator and an empty, "." or ".."
// component; other name rules are write_archive's.
Result<std::u16string> archive_path(const std::string &text);

// The application DLL comes first, under its file name. A FILE is added
// under its file name; a DIR contributes every regular file below it,
// named by its path relative to DIR with "\" between components, except
// what `exclusions` leave out (files and directories named on the command
// line are always packed). All but the first are sorted by name, compared
// as UTF-16 code units, so the order depends neither on the command line
// nor on the file system. Empty directories add nothing. An import library
// (see import_library_dll) given as APP.dll or as a FILE is refused, naming
// the DLL to pack instead. Names are not
// checked here (see write_archive). When `output` is given and exists, a
// file to be read that is the same file (by identity, whatever the
// spelling or links) is refused before anything is read: packing would
// overwrite its own input.
Result<Collection> collect_entries(const std::filesystem::path &app_dll, const std::vector<InputSpec> &inputs,
                                   const Exclusions &exclusions = {}, const std::filesystem::path &output = {});

}  // namespace tavrik
