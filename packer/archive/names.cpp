#include "packer/archive/names.h"

#include <algorithm>
#include <string_view>
#include <unordered_map>

#include "packer/archive/upcase_table.h"
#include "packer/base/utf.h"

namespace tavrik {

namespace {

bool ascii_letter(char16_t c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'); }

bool ascii_digit(char16_t c) { return c >= u'0' && c <= u'9'; }

char16_t ascii_upper(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 0x20) : c; }

std::string hex_unit(char16_t c) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out = "U+";
    for (int shift = 12; shift >= 0; shift -= 4) out.push_back(digits[(c >> shift) & 0xF]);
    return out;
}

// The first units of a long name, for messages, never cutting a surrogate
// pair in two.
std::string shortened_name(const std::u16string &name) {
    size_t shown_units = 32;
    if (name.size() <= shown_units) return shown_name(name);
    if (name[shown_units - 1] >= 0xD800 && name[shown_units - 1] <= 0xDBFF) --shown_units;
    std::string start = shown_name(name.substr(0, shown_units));
    start.insert(start.size() - 1, "...");
    return start;
}

// CON, PRN, AUX, NUL, COM1-9, LPT1-9 (and COM/LPT with a superscript 1, 2
// or 3), CONIN$, CONOUT$: Windows opens the device for these whatever the
// extension, and ignores spaces before the extension.
std::string reserved_device(std::u16string_view component) {
    std::u16string_view base = component.substr(0, component.find(u'.'));
    while (!base.empty() && base.back() == u' ') base.remove_suffix(1);
    if (base.size() < 3 || base.size() > 7) return "";
    std::u16string upper;
    for (char16_t c : base) upper.push_back(ascii_upper(c));
    static const char16_t *const plain[] = {u"CON", u"PRN", u"AUX", u"NUL", u"CONIN$", u"CONOUT$"};
    for (const char16_t *device : plain) {
        if (upper == device) return printable(upper);
    }
    if (upper.size() == 4 && (upper.compare(0, 3, u"COM") == 0 || upper.compare(0, 3, u"LPT") == 0)) {
        const char16_t digit = upper[3];
        if ((digit >= u'1' && digit <= u'9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3) {
            return printable(upper);
        }
    }
    return "";
}

// `shown` is only made for a message: checking comes first.
std::string component_problem(const std::u16string &name, std::u16string_view part) {
    auto shown = [&name] { return shown_name(name); };
    if (part.empty()) return "name " + shown() + " has an empty path component";
    if (part == u"." || part == u"..") return "name " + shown() + " has a \".\" or \"..\" component";
    for (char16_t c : part) {
        if (c == u'/') return "name " + shown() + " contains \"/\"";
        if (c == u':') return "name " + shown() + " contains \":\"";
        if (c < 0x20) return "name " + shown() + " contains the control character " + hex_unit(c);
        if (c == u'<' || c == u'>' || c == u'"' || c == u'|' || c == u'?' || c == u'*') {
            return "name " + shown() + " contains \"" + static_cast<char>(c) + "\", which Windows does not allow";
        }
    }
    if (part.size() > max_component_units) {
        return "name " + shortened_name(name) + " has a component of " + std::to_string(part.size()) +
               " UTF-16 units; Windows allows at most " + std::to_string(max_component_units);
    }
    if (part.back() == u'.' || part.back() == u' ') {
        return "name " + shown() + " has a component ending in a dot or a space";
    }
    const std::string device = reserved_device(part);
    if (!device.empty()) return "name " + shown() + " is the reserved device name " + device + " on Windows";
    return "";
}

bool has_unpaired_surrogate(const std::u16string &name) {
    for (size_t i = 0; i < name.size(); ++i) {
        const char16_t c = name[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < name.size() && name[i + 1] >= 0xDC00 && name[i + 1] <= 0xDFFF) {
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            return true;
        }
    }
    return false;
}

// One component of one name in the tree of all names: the target directory
// (node 0), the directories below it and the files.
struct NameNode {
    uint32_t parent;
    uint32_t name_index;  // the first name that has this component
    uint32_t begin;       // where the component starts in that name
    uint32_t end;         // and where it ends
    bool file;
};

// What Windows accepts as a short name itself, ignoring case: a base of 1-8
// and an optional extension of 1-3 characters from ASCII letters, digits
// and !#$%&'()-@^_`{}~. Such a name is never given another short name.
bool fits_8_3(const std::u16string &name, size_t begin, size_t end) {
    size_t dot = end;
    for (size_t i = begin; i < end; ++i) {
        const char16_t c = name[i];
        if (c == u'.') {
            if (dot != end) return false;
            dot = i;
        } else if (!ascii_letter(c) && !ascii_digit(c) && std::u16string_view(u"!#$%&'()-@^_`{}~").find(c) ==
                                                                std::u16string_view::npos) {
            return false;
        }
    }
    const size_t base = dot - begin;
    return base >= 1 && base <= 8 && (dot == end || (end - dot - 1 >= 1 && end - dot - 1 <= 3));
}

// The form of the alias Windows generates for a long name ("LONGFI~1.TXT",
// "LO1F2A~1"): an 8.3 name whose base ends in "~" and one or more digits,
// with at least one character before the "~". Windows opens the long-named
// file for such a name, whatever the case.
bool alias_shaped(const std::u16string &name, size_t begin, size_t end) {
    if (!fits_8_3(name, begin, end)) return false;
    size_t base_end = begin;
    while (base_end < end && name[base_end] != u'.') ++base_end;
    size_t digits = base_end;
    while (digits > begin && ascii_digit(name[digits - 1])) --digits;
    return digits < base_end && digits - begin >= 2 && name[digits - 1] == u'~';
}

std::string component_path(const std::vector<std::u16string> &names, const NameNode &node) {
    return shown_name(names[node.name_index].substr(0, node.end));
}

// Windows gives every long name in a directory a short alias "XXXXXX~N.EXT";
// a file packed under a name of that form could then open (and overwrite)
// another file of the same directory. Refused when one directory holds both
// an alias-shaped component and any name that is not itself an 8.3 name.
std::string short_alias_problem(const std::vector<std::u16string> &names, const std::vector<NameNode> &nodes) {
    std::vector<uint32_t> alias_in(nodes.size(), 0), long_in(nodes.size(), 0);
    for (uint32_t n = 1; n < nodes.size(); ++n) {
        const NameNode &node = nodes[n];
        const std::u16string &name = names[node.name_index];
        if (alias_shaped(name, node.begin, node.end)) {
            if (alias_in[node.parent] == 0) alias_in[node.parent] = n;
        } else if (!fits_8_3(name, node.begin, node.end)) {
            if (long_in[node.parent] == 0) long_in[node.parent] = n;
        }
    }
    for (uint32_t n = 0; n < nodes.size(); ++n) {
        if (alias_in[n] == 0 || long_in[n] == 0) continue;
        return "name " + component_path(names, nodes[alias_in[n]]) +
               " has the form of a short 8.3 alias, which Windows may give to " +
               component_path(names, nodes[long_in[n]]) + " in the same directory";
    }
    return "";
}

}  // namespace

std::string shown_name(const std::u16string &name) {
    std::string shown = "\"";
    shown += printable(name);
    shown += '"';
    return shown;
}

std::string long_name_problem(const std::u16string &start, uint64_t units) {
    return "name " + shortened_name(start) + " is " + std::to_string(units) +
           " UTF-16 units long; the launcher allows at most " + std::to_string(max_name_units);
}

std::string name_problem(const std::u16string &name, size_t target_directory_units) {
    if (name.empty()) return "empty name";
    if (name[0] == u'\\' || name[0] == u'/') return "name " + shown_name(name) + " is an absolute path";
    if (name.size() >= 2 && name[1] == u':' && ascii_letter(name[0])) {
        return "name " + shown_name(name) + " starts with a drive letter";
    }
    if (name.size() > max_name_units) return long_name_problem(name, name.size());
    size_t start = 0;
    while (true) {
        const size_t end = name.find(u'\\', start);
        const std::string problem =
            component_problem(name, std::u16string_view(name).substr(start, end - start));
        if (!problem.empty()) return problem;
        if (end == std::u16string::npos) break;
        start = end + 1;
    }
    if (has_unpaired_surrogate(name)) return "name " + shown_name(name) + " is not valid UTF-16";
    // "<target directory>\<name>" must fit the launcher's path buffer.
    if (target_directory_units + 1 + name.size() > max_path_units) {
        const size_t room = max_path_units > target_directory_units ? max_path_units - target_directory_units - 1 : 0;
        return "name " + shown_name(name) + " is too long for the launcher's " + std::to_string(max_path_units) +
               "-unit path limit: with a target directory of up to " + std::to_string(target_directory_units) +
               " units, names may have at most " + std::to_string(room);
    }
    return "";
}

std::u16string upcase_name(const std::u16string &name) {
    std::u16string upper = name;
    for (auto &unit : upper) unit = upcase_unit(unit);
    return upper;
}

std::string names_problem(const std::vector<std::u16string> &names) {
    if (names.empty()) return "nothing to pack: the archive has no file";
    std::vector<NameNode> nodes(1, NameNode{0, 0, 0, 0, false});
    // Keyed by the parent's node number (two units) and the component in
    // upper case: one lookup per component, so deep names cost no more than
    // their length.
    std::unordered_map<std::u16string, uint32_t> children;
    std::u16string key;
    // The directory nodes of the name before, by the unit where each ends:
    // names come sorted, so most share their directories with the one before
    // and need no lookup for them.
    std::vector<std::pair<size_t, uint32_t>> previous, current;
    for (size_t i = 0; i < names.size(); ++i) {
        const std::u16string &name = names[i];
        const std::string problem = name_problem(name);
        if (!problem.empty()) return problem;
        uint32_t parent = 0;
        size_t start = 0;
        current.clear();
        if (i > 0) {
            const std::u16string &before = names[i - 1];
            const size_t limit = std::min(before.size(), name.size());
            size_t same = 0;
            while (same < limit && before[same] == name[same]) ++same;
            for (const auto &directory : previous) {
                // The directory's whole text and its separator are shared.
                if (directory.first >= same) break;
                current.push_back(directory);
                parent = directory.second;
                start = directory.first + 1;
            }
        }
        while (true) {
            const size_t cut = name.find(u'\\', start);
            const bool last = cut == std::u16string::npos;
            const size_t end = last ? name.size() : cut;
            key.assign({static_cast<char16_t>(parent), static_cast<char16_t>(parent >> 16)});
            for (size_t k = start; k < end; ++k) key.push_back(upcase_unit(name[k]));
            const auto found = children.try_emplace(key, static_cast<uint32_t>(nodes.size()));
            if (found.second) {
                nodes.push_back({parent, static_cast<uint32_t>(i), static_cast<uint32_t>(start),
                                 static_cast<uint32_t>(end), last});
            } else {
                const NameNode &seen = nodes[found.first->second];
                const std::u16string &other = names[seen.name_index];
                if (last && seen.file) {
                    if (other == name) return "two files would be packed as " + shown_name(name);
                    return "names " + shown_name(other) + " and " + shown_name(name) +
                           " differ only in case; Windows would see one file";
                }
                if (seen.file) {
                    return "name " + shown_name(other) + " is a file, but " + shown_name(name) +
                           " needs it as a directory";
                }
                if (last) {
                    return "name " + shown_name(name) + " is a file, but " + shown_name(other) +
                           " needs it as a directory";
                }
            }
            parent = found.first->second;
            if (last) break;
            current.emplace_back(cut, parent);
            start = cut + 1;
        }
        previous.swap(current);
    }
    return short_alias_problem(names, nodes);
}

}  // namespace tavrik
