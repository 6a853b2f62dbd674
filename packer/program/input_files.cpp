#include "packer/program/input_files.h"

#include <algorithm>
#include <set>
#include <system_error>
#include <unordered_map>
#include <utility>

#include "packer/archive/names.h"
#include "packer/base/utf.h"
#include "packer/pe/import_library.h"
#include "packer/platform/file_io.h"
#include "packer/platform/path_text.h"
#include "packer/platform/platform.h"

namespace tavrik {

namespace {

using std::filesystem::path;

Result<std::u16string> name_of(const path &relative) {
    std::string joined;
    for (const auto &part : relative) {
        auto converted = path_to_utf8(part);
        if (!converted) return Error{converted.error() + ": " + shown_path(relative)};
        const std::string &text = *converted;
        // On Linux "\" is an ordinary file name character; packed, it would
        // turn into a directory separator.
        if (text.find('\\') != std::string::npos) {
            return Error{"file name contains \"\\\": " + shown_path(relative)};
        }
        if (!joined.empty()) joined += '\\';
        joined += text;
    }
    return utf8_to_utf16(joined);
}

using Found = std::vector<std::pair<std::u16string, path>>;

std::u16string with_separators(std::u16string text) {
    for (char16_t &c : text) c = c == u'/' ? u'\\' : c;
    return text;
}

// Glob matching over upper-cased names: "*" any run, "?" one unit, neither
// crossing a "\". Iterative, remembering the last "*": linear in practice.
bool glob_match(const std::u16string &pattern, const std::u16string &text) {
    size_t p = 0, t = 0, star = std::u16string::npos, resume = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == u'*') {
            star = p++;
            resume = t;
        } else if (p < pattern.size() && pattern[p] != u'\\' && text[t] != u'\\' &&
                   (pattern[p] == u'?' || pattern[p] == text[t])) {
            ++p;
            ++t;
        } else if (p < pattern.size() && pattern[p] == u'\\' && text[t] == u'\\') {
            ++p;
            ++t;
        } else if (star != std::u16string::npos && text[resume] != u'\\') {
            p = star + 1;
            t = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == u'*') ++p;
    return p == pattern.size();
}

// The patterns compiled once: upper-cased, "\" between components. Those
// without "*" or "?" are looked up in a hash table; the others by the text
// after their last wildcard (".PDB" of "*.PDB"), which must end what they
// match, so that a name is compared only with patterns that can match it.
// The first pattern (in command-line order, then the defaults) that
// matches is the one reported.
struct Matcher {
    struct Pattern {
        std::u16string given;
        std::u16string folded;
        bool whole_name;      // matched against the whole archive name, not one component
        bool directory_only;  // given with a separator at its end
    };
    std::vector<Pattern> patterns;
    // Patterns without wildcards, by what they match: the first that
    // matches anything and the first that matches directories only.
    struct Firsts {
        size_t any = SIZE_MAX;
        size_t directories = SIZE_MAX;
    };
    // Patterns with wildcards by the text after the last one (in order),
    // and the lengths of those texts.
    struct Tails {
        std::unordered_map<std::u16string, std::vector<size_t>> patterns;
        std::vector<size_t> lengths;
    };
    struct Scope {
        std::unordered_map<std::u16string, Firsts> literal;
        Tails tails;
        std::vector<size_t> open_ended;  // ending in a wildcard, in order
    };
    Scope components, names;

    explicit Matcher(const Exclusions &exclusions) {
        std::vector<std::u16string> all = exclusions.patterns;
        if (exclusions.defaults) all.insert(all.end(), default_exclusions, default_exclusions + default_exclusion_count);
        for (const auto &given : all) {
            std::u16string folded = upcase_name(with_separators(given));
            const bool directory_only = folded.size() > 1 && folded.back() == u'\\';
            if (directory_only) folded.pop_back();
            bool whole = false;
            if (!folded.empty() && folded.front() == u'\\') {
                folded.erase(folded.begin());
                whole = true;
            }
            whole = whole || folded.find(u'\\') != std::u16string::npos;
            const size_t index = patterns.size();
            Scope &scope = whole ? names : components;
            const size_t wildcard = folded.find_last_of(u"*?");
            if (wildcard == std::u16string::npos) {
                Firsts &firsts = scope.literal[folded];
                size_t &first = directory_only ? firsts.directories : firsts.any;
                first = std::min(first, index);
            } else if (wildcard + 1 == folded.size()) {
                scope.open_ended.push_back(index);
            } else {
                const size_t length = folded.size() - wildcard - 1;
                scope.tails.patterns[folded.substr(wildcard + 1)].push_back(index);
                auto &lengths = scope.tails.lengths;
                if (std::find(lengths.begin(), lengths.end(), length) == lengths.end()) lengths.push_back(length);
            }
            patterns.push_back({given, std::move(folded), whole, directory_only});
        }
    }

    // The first of `candidates` (in order, before `best`) that matches `text`.
    void first_match(const std::vector<size_t> &candidates, const std::u16string &text, bool directory,
                     size_t &best) const {
        for (size_t i : candidates) {
            if (i >= best) return;
            const Pattern &p = patterns[i];
            if (p.directory_only && !directory) continue;
            if (glob_match(p.folded, text)) {
                best = i;
                return;
            }
        }
    }

    void search(const Scope &scope, const std::u16string &text, bool directory, size_t &best) const {
        auto found = scope.literal.find(text);
        if (found != scope.literal.end()) {
            best = std::min(best, found->second.any);
            if (directory) best = std::min(best, found->second.directories);
        }
        first_match(scope.open_ended, text, directory, best);
        for (size_t length : scope.tails.lengths) {
            if (length > text.size()) continue;
            auto tail = scope.tails.patterns.find(text.substr(text.size() - length));
            if (tail != scope.tails.patterns.end()) first_match(tail->second, text, directory, best);
        }
    }

    // The pattern that leaves out `name` (an archive name) whose last
    // component is `component`, or null.
    const std::u16string *match(const std::u16string &name, const std::u16string &component, bool directory) const {
        if (patterns.empty()) return nullptr;
        size_t best = SIZE_MAX;
        search(components, upcase_name(component), directory, best);
        search(names, upcase_name(name), directory, best);
        return best == SIZE_MAX ? nullptr : &patterns[best].given;
    }
};

std::u16string joined(const std::u16string &destination, const std::u16string &name) {
    return destination.empty() ? name : destination + u"\\" + name;
}

Status add_directory(const path &dir, const std::u16string &destination, const Matcher &matcher, Found &found,
                           std::vector<LeftOut> &left_out, std::vector<path> &walked) {
    walked.push_back(dir);
    std::error_code ec;
    std::filesystem::recursive_directory_iterator it(dir, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        const path &file = it->path();
        auto relative = name_of(file.lexically_relative(dir));
        if (!relative) return Error{relative.error()};
        auto component = name_of(file.filename());
        if (!component) return Error{component.error()};
        const std::u16string name = joined(destination, *relative);
        const bool directory = it->is_directory(ec);
        if (const std::u16string *pattern = matcher.match(name, *component, directory)) {
            left_out.push_back({name, *pattern, directory});
            if (directory) it.disable_recursion_pending();
            continue;
        }
        // Links to directories are not followed (they may form loops); say
        // so rather than leave their files out silently.
        if (it->is_symlink(ec) && it->is_directory(ec)) {
            return Error{"link to a directory is not followed: " + shown_path(file)};
        }
        if (it->is_directory(ec)) {
            walked.push_back(file);
            continue;
        }
        if (!it->is_regular_file(ec)) {
            return Error{"not a regular file: " + shown_path(file)};
        }
        found.emplace_back(name, file);
    }
    if (ec) return Error{"cannot list " + shown_path(dir) + ": " + ec.message()};
    return Status::done();
}

// An import library named where a DLL was meant: the linker's file, which
// the program cannot load.
Status refuse_import_library(const path &source, const Bytes &content, const char *role) {
    const std::string dll = import_library_dll(content);
    if (dll.empty()) return Status::done();
    const std::string named = "\"" + printable_utf8(dll) + "\"";
    return Error{std::string(role) + " " + shown_path(source) + " is an import library for " + named +
                 ", not a DLL: pack " + named + " instead (or give its folder to --dll-path)"};
}

Status must_exist(const path &input, const char *role) {
    std::error_code ec;
    if (!std::filesystem::exists(input, ec)) return Error{std::string(role) + " " + shown_path(input) + " does not exist"};
    return Status::done();
}

}  // namespace

const char16_t *const default_exclusions[] = {
    u".git", u".svn", u".hg", u".bzr", u"CVS", u"_darcs",              // version control
    u"*~", u".*.swp", u".*.swo", u"#*#",                               // editor backups and swap files
    u".DS_Store", u"Thumbs.db",                                        // desktop metadata
};
const size_t default_exclusion_count = sizeof default_exclusions / sizeof default_exclusions[0];

std::string exclusion_problem(const std::u16string &pattern) {
    std::u16string text = with_separators(pattern);
    if (text.size() > 1 && text.back() == u'\\') text.pop_back();
    if (!text.empty() && text.front() == u'\\') text.erase(text.begin());
    if (text.empty()) return "it matches no name";
    if (text.find(u"**") != std::u16string::npos) {
        return "\"**\" is not supported: \"*\" matches within one name, and a pattern without \"/\" matches a name at "
               "any depth";
    }
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(u'\\', start);
        if (end == std::u16string::npos) end = text.size();
        const std::u16string part = text.substr(start, end - start);
        if (part.empty()) return "it has an empty component, which no archive name has";
        if (part == u"." || part == u"..") return "it has a \".\" or \"..\" component, which no archive name has";
        start = end + 1;
    }
    return "";
}

Result<std::u16string> archive_path(const std::string &text) {
    auto wide = utf8_to_utf16(text);
    if (!wide) return Error{std::string("\"") + printable_utf8(text) + "\" is not valid UTF-8"};
    std::u16string name = with_separators(*wide);
    while (name.size() > 1 && name.back() == u'\\') name.pop_back();
    const std::string shown = std::string("\"") + printable_utf8(text) + "\"";
    if (name.empty()) return Error{"the archive path is empty"};
    if (name.front() == u'\\') return Error{"archive path " + shown + " must be relative (no leading separator)"};
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find(u'\\', start);
        if (end == std::u16string::npos) end = name.size();
        const std::u16string part = name.substr(start, end - start);
        if (part.empty() || part == u"." || part == u"..") {
            return Error{"archive path " + shown + " has an empty, \".\" or \"..\" component"};
        }
        start = end + 1;
    }
    return name;
}

Result<Collection> collect_entries(const path &app_dll, const std::vector<InputSpec> &inputs,
                                   const Exclusions &exclusions, const path &output) {
    auto exists = must_exist(app_dll, "application");
    if (!exists) return Error{exists.error()};
    std::error_code ec;
    if (std::filesystem::is_directory(app_dll, ec)) {
        return Error{"application " + shown_path(app_dll) + " is a directory, not a DLL"};
    }
    const Matcher matcher(exclusions);
    Collection collection;
    Found found;
    std::set<std::u16string> named_files;  // archive names of files named by themselves
    for (const auto &input : inputs) {
        exists = must_exist(input.source, "input");
        if (!exists) return Error{exists.error()};
        if (std::filesystem::is_directory(input.source, ec)) {
            auto added = add_directory(input.source, input.destination, matcher, found, collection.left_out,
                                       collection.walked);
            if (!added) return Error{added.error()};
        } else if (!input.destination.empty()) {
            named_files.insert(input.destination);
            found.emplace_back(input.destination, input.source);
        } else {
            auto name = name_of(input.source.filename());
            if (!name) return Error{name.error()};
            named_files.insert(*name);
            found.emplace_back(std::move(*name), input.source);
        }
    }
    std::sort(collection.left_out.begin(), collection.left_out.end(),
              [](const LeftOut &a, const LeftOut &b) { return a.name < b.name; });
    // Sorted by name, compared as UTF-16 code units; equal names keep
    // their command-line order (and are refused later as duplicates).
    std::stable_sort(found.begin(), found.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });

    if (!output.empty()) {
        auto output_identity = file_identity(output);
        if (!output_identity) return Error{output_identity.error()};
        if (*output_identity) {
            std::vector<path> sources = {app_dll};
            for (const auto &item : found) sources.push_back(item.second);
            for (const auto &source : sources) {
                auto identity = file_identity(source);
                if (!identity) return Error{identity.error()};
                if (*identity == *output_identity) {
                    return Error{"output " + shown_path(output) + " is the input " + shown_path(source) +
                                 "; write the executable elsewhere"};
                }
            }
        }
    }

    std::vector<ArchiveEntry> &entries = collection.entries;
    auto app_name = name_of(app_dll.filename());
    if (!app_name) return Error{app_name.error()};
    auto app = read_whole_file(app_dll);
    if (!app) return Error{app.error()};
    auto not_library = refuse_import_library(app_dll, *app, "application");
    if (!not_library) return Error{not_library.error()};
    entries.push_back(ArchiveEntry{std::move(*app_name), std::move(*app)});
    collection.walked.push_back(app_dll);
    for (const auto &item : found) {
        collection.walked.push_back(item.second);
        auto content = read_whole_file(item.second);
        if (!content) return Error{content.error()};
        // In a folder it may be an SDK's, shipped on purpose; named by
        // itself it stands for a DLL.
        if (named_files.count(item.first)) {
            not_library = refuse_import_library(item.second, *content, "file");
            if (!not_library) return Error{not_library.error()};
        }
        entries.push_back(ArchiveEntry{item.first, std::move(*content)});
    }
    return collection;
}

}  // namespace tavrik
