#include "packer/archive/names.h"

#include <algorithm>
#include <random>
#include <string_view>

#include "packer/base/utf.h"
#include "packer/platform/platform.h"

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

// What Windows accepts as a short name itself, ignoring case: a base of 1-8
// and an optional extension of 1-3 characters from ASCII letters, digits
// and !#$%&'()-@^_`{}~. Such a name is never given another short name.
bool fits_8_3(std::u16string_view name, size_t begin, size_t end) {
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
bool alias_shaped(std::u16string_view name, size_t begin, size_t end) {
    if (!fits_8_3(name, begin, end)) return false;
    size_t base_end = begin;
    while (base_end < end && name[base_end] != u'.') ++base_end;
    size_t digits = base_end;
    while (digits > begin && ascii_digit(name[digits - 1])) --digits;
    return digits < base_end && digits - begin >= 2 && name[digits - 1] == u'~';
}

// One step of the hash of a component: every bit of the state reaches the
// low bits at every step, and the seed is chosen per set, so names crafted
// to share their slots in one run do not in another.
uint64_t mix(uint64_t hash, uint32_t value) {
    hash = (hash + value + 1) * 0x9E3779B97F4A7C15ull;
    return hash ^ (hash >> 29);
}

// The slot a hash starts from in a table of `mask` + 1 slots (splitmix64's
// finaliser).
size_t first_slot(uint64_t hash, size_t mask) {
    hash = (hash ^ (hash >> 30)) * 0xBF58476D1CE4E5B9ull;
    hash = (hash ^ (hash >> 27)) * 0x94D049BB133111EBull;
    return static_cast<size_t>(hash ^ (hash >> 31)) & mask;
}

}  // namespace

NameLimits name_limits_for(uint64_t file_size) {
    return {std::max(min_record_limit, file_size / 64), std::max(min_name_bytes_limit, file_size / 4)};
}

std::string names_budget_problem(uint64_t records, uint64_t name_bytes, const NameLimits &limits) {
    if (records > limits.records) {
        return "the archive holds more than " + std::to_string(limits.records) +
               " files, the most a packed file of its size may hold";
    }
    if (name_bytes > limits.name_bytes) {
        return "the archive's names take more than " + std::to_string(limits.name_bytes) +
               " bytes, the most a packed file of its size may hold";
    }
    return "";
}

NameSet::NameSet(NameLimits limits)
    : limits_(limits), nodes_(1, Node{0, 0, 0, false, 0}), slots_(1024, 0), seed_(std::random_device()()) {}

uint64_t NameSet::node_hash(uint32_t n) const {
    const Node &node = nodes_[n];
    uint64_t hash = mix(seed_, node.parent);
    for (size_t k = 0; k < node.length; ++k) hash = mix(hash, upcase_unit(text_[node.text_at + k]));
    return hash;
}

uint32_t NameSet::find(uint32_t parent, std::u16string_view upper, uint64_t hash) const {
    const size_t mask = slots_.size() - 1;
    for (size_t at = first_slot(hash, mask);; at = (at + 1) & mask) {
        const uint32_t n = slots_[at];
        if (n == 0) return 0;
        const Node &node = nodes_[n];
        if (node.parent != parent || node.length != upper.size()) continue;
        size_t k = 0;
        while (k < upper.size() && upcase_unit(text_[node.text_at + k]) == upper[k]) ++k;
        if (k == upper.size()) return n;
    }
}

void NameSet::insert_slot(uint32_t n, uint64_t hash) {
    const size_t mask = slots_.size() - 1;
    size_t at = first_slot(hash, mask);
    while (slots_[at] != 0) at = (at + 1) & mask;
    slots_[at] = n;
}

std::u16string NameSet::path_of(uint32_t n) const {
    std::vector<uint32_t> chain;
    for (; n != 0; n = nodes_[n].parent) chain.push_back(n);
    std::u16string path;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        if (!path.empty()) path.push_back(u'\\');
        path.append(text_, nodes_[*it].text_at, nodes_[*it].length);
    }
    return path;
}

std::string NameSet::add(const std::u16string &name) {
    const std::string over = names_budget_problem(records_ + 1, name_bytes_ + 2 * uint64_t{name.size()}, limits_);
    if (!over.empty()) return over;
    ++records_;
    name_bytes_ += 2 * uint64_t{name.size()};
    const std::string problem = name_problem(name);
    if (!problem.empty()) return problem;
    // Node numbers and text offsets are 32 bits; only limits far above a
    // file's own could reach that.
    if (nodes_.size() + name.size() >= UINT32_MAX || text_.size() + name.size() >= UINT32_MAX) {
        return "the archive's names are too many to check";
    }

    uint32_t parent = 0;
    size_t start = 0;
    std::vector<std::pair<size_t, uint32_t>> directories;
    const size_t limit = std::min(previous_.size(), name.size());
    size_t same = 0;
    while (same < limit && previous_[same] == name[same]) ++same;
    for (const auto &directory : previous_directories_) {
        // The directory's whole text and its separator are shared.
        if (directory.first >= same) break;
        directories.push_back(directory);
        parent = directory.second;
        start = directory.first + 1;
    }
    std::u16string upper;
    constexpr size_t npos = std::u16string::npos;
    uint32_t file_node = 0;  // known from the first new component on
    while (true) {
        const size_t cut = name.find(u'\\', start);
        const bool last = cut == npos;
        const size_t end = last ? name.size() : cut;
        const uint64_t hash = fold_component(parent, name, start, end, upper);
        uint32_t n = find(parent, upper, hash);
        if (n == 0) {
            n = static_cast<uint32_t>(nodes_.size());
            // Once one component is new, so are the ones after it: the
            // file node of this name is the last one it makes.
            if (file_node == 0) {
                file_node = n + static_cast<uint32_t>(
                                    std::count(name.begin() + static_cast<ptrdiff_t>(end), name.end(), u'\\'));
            }
            const uint32_t origin = last ? static_cast<uint32_t>(records_ - 1) : file_node;
            nodes_.push_back({parent, static_cast<uint32_t>(text_.size()), static_cast<uint16_t>(end - start), last,
                              origin});
            text_.append(name, start, end - start);
            if (2 * (++used_slots_) > slots_.size()) {
                std::vector<uint32_t> old(slots_.size() * 2, 0);
                old.swap(slots_);
                for (uint32_t m : old) {
                    if (m != 0) insert_slot(m, node_hash(m));
                }
            }
            insert_slot(n, hash);
        } else {
            const Node &seen = nodes_[n];
            if (last && seen.file) {
                const std::u16string other = path_of(n);
                if (other == name) return "two files have the name " + shown_name(name);
                return "names " + shown_name(other) + " and " + shown_name(name) +
                       " differ only in case; Windows would see one file";
            }
            if (seen.file) {
                return "name " + shown_name(path_of(n)) + " is a file, but " + shown_name(name) +
                       " needs it as a directory";
            }
            if (last) {
                return "name " + shown_name(name) + " is a file, but " + shown_name(path_of(seen.origin)) +
                       " needs it as a directory";
            }
        }
        parent = n;
        if (last) break;
        directories.emplace_back(cut, parent);
        start = cut + 1;
    }
    previous_ = name;
    previous_directories_.swap(directories);
    return "";
}

// Upper-cases name[start, end) into `upper` and returns its hash below
// `parent`, as the table keys a component.
uint64_t NameSet::fold_component(uint32_t parent, const std::u16string &name, size_t start, size_t end,
                                 std::u16string &upper) const {
    upper.clear();
    uint64_t hash = mix(seed_, parent);
    for (size_t k = start; k < end; ++k) {
        upper.push_back(upcase_unit(name[k]));
        hash = mix(hash, upper.back());
    }
    return hash;
}

bool NameSet::holds(const std::u16string &name, uint64_t index) const {
    uint32_t parent = 0;
    size_t start = 0;
    std::u16string upper;
    while (true) {
        const size_t cut = name.find(u'\\', start);
        const bool last = cut == std::u16string::npos;
        const size_t end = last ? name.size() : cut;
        const uint32_t n = find(parent, upper, fold_component(parent, name, start, end, upper));
        if (n == 0 || nodes_[n].file != last) return false;
        if (last) return nodes_[n].origin == index;
        parent = n;
        start = cut + 1;
    }
}

// Windows gives every long name in a directory a short alias "XXXXXX~N.EXT";
// a file packed under a name of that form could then open (and overwrite)
// another file of the same directory. Refused when one directory holds both
// an alias-shaped component and any name that is not itself an 8.3 name.
std::string NameSet::short_alias_problem() const {
    std::vector<uint32_t> alias_in(nodes_.size(), 0), long_in(nodes_.size(), 0);
    for (uint32_t n = 1; n < nodes_.size(); ++n) {
        const Node &node = nodes_[n];
        const std::u16string_view text = std::u16string_view(text_).substr(node.text_at, node.length);
        if (alias_shaped(text, 0, text.size())) {
            if (alias_in[node.parent] == 0) alias_in[node.parent] = n;
        } else if (!fits_8_3(text, 0, text.size())) {
            if (long_in[node.parent] == 0) long_in[node.parent] = n;
        }
    }
    for (uint32_t n = 0; n < nodes_.size(); ++n) {
        if (alias_in[n] == 0 || long_in[n] == 0) continue;
        return "name " + shown_name(path_of(alias_in[n])) +
               " has the form of a short 8.3 alias, which Windows may give to " + shown_name(path_of(long_in[n])) +
               " in the same directory";
    }
    return "";
}

std::string NameSet::finish() const {
    if (records_ == 0) return "nothing to pack: the archive has no file";
    return short_alias_problem();
}

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

std::string local_name_problem(const std::u16string &name) {
    const size_t limit = native_component_byte_limit();
    if (limit == 0) return "";
    size_t start = 0;
    while (true) {
        const size_t end = name.find(u'\\', start);
        auto part = utf16_to_utf8(name.substr(start, end - start));
        if (!part) return "name " + shown_name(name) + ": " + part.error();
        if (part->size() > limit) {
            return "name " + shown_name(name) + " has a component of " + std::to_string(part->size()) +
                   " bytes in UTF-8; this system allows at most " + std::to_string(limit);
        }
        if (end == std::u16string::npos) return "";
        start = end + 1;
    }
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

std::string names_problem(const std::vector<std::u16string> &names) {
    NameSet set;
    for (const auto &name : names) {
        const std::string problem = set.add(name);
        if (!problem.empty()) return problem;
    }
    return set.finish();
}

}  // namespace tavrik
