#include "packer/names.h"

#include <map>
#include <set>

#include "packer/utf.h"

namespace tavrik {

namespace {

bool ascii_letter(char16_t c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'); }

char16_t ascii_upper(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 0x20) : c; }

std::string hex_unit(char16_t c) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out = "U+";
    for (int shift = 12; shift >= 0; shift -= 4) out.push_back(digits[(c >> shift) & 0xF]);
    return out;
}

// CON, PRN, AUX, NUL, COM1-9, LPT1-9 (and COM/LPT with a superscript 1, 2
// or 3), CONIN$, CONOUT$: Windows opens the device for these whatever the
// extension, and ignores spaces before the extension.
std::string reserved_device(const std::u16string &component) {
    std::u16string base = component.substr(0, component.find(u'.'));
    while (!base.empty() && base.back() == u' ') base.pop_back();
    std::u16string upper;
    for (char16_t c : base) upper.push_back(ascii_upper(c));
    static const char16_t *const plain[] = {u"CON", u"PRN", u"AUX", u"NUL", u"CONIN$", u"CONOUT$"};
    for (const char16_t *device : plain) {
        if (upper == device) return *utf16_to_utf8(upper);
    }
    if (upper.size() == 4 && (upper.compare(0, 3, u"COM") == 0 || upper.compare(0, 3, u"LPT") == 0)) {
        const char16_t digit = upper[3];
        if ((digit >= u'1' && digit <= u'9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3) {
            return *utf16_to_utf8(upper);
        }
    }
    return "";
}

std::string component_problem(const std::u16string &part, const std::string &shown) {
    if (part.empty()) return "name " + shown + " has an empty path component";
    if (part == u"." || part == u"..") return "name " + shown + " has a \".\" or \"..\" component";
    for (char16_t c : part) {
        if (c == u'/') return "name " + shown + " contains \"/\"";
        if (c == u':') return "name " + shown + " contains \":\"";
        if (c < 0x20) return "name " + shown + " contains the control character " + hex_unit(c);
        if (c == u'<' || c == u'>' || c == u'"' || c == u'|' || c == u'?' || c == u'*') {
            return "name " + shown + " contains \"" + static_cast<char>(c) + "\", which Windows does not allow";
        }
    }
    if (part.back() == u'.' || part.back() == u' ') {
        return "name " + shown + " has a component ending in a dot or a space";
    }
    const std::string device = reserved_device(part);
    if (!device.empty()) return "name " + shown + " is the reserved device name " + device + " on Windows";
    return "";
}

char16_t fold_unit(char16_t c) {
    if (c < 0x80) return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 0x20) : c;
    if (c == 0xB5) return 0x3BC;  // micro sign -> Greek small mu
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return static_cast<char16_t>(c + 0x20);
    if (c >= 0x100 && c <= 0x17F) {
        if (c == 0x178) return 0xFF;
        if (c == 0x17F) return u's';
        if (c == 0x130 || c == 0x131 || c == 0x138 || c == 0x149) return c;  // no simple folding
        const bool odd_pairs = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
        if (odd_pairs) return (c & 1) ? static_cast<char16_t>(c + 1) : c;
        return (c & 1) ? c : static_cast<char16_t>(c + 1);
    }
    if (c >= 0x386 && c <= 0x3AB) {
        if (c == 0x386) return 0x3AC;
        if (c >= 0x388 && c <= 0x38A) return static_cast<char16_t>(c + 0x25);
        if (c == 0x38C) return 0x3CC;
        if (c == 0x38E || c == 0x38F) return static_cast<char16_t>(c + 0x3F);
        if (c >= 0x391 && c <= 0x3AB && c != 0x3A2) return static_cast<char16_t>(c + 0x20);
        return c;
    }
    if (c == 0x3C2) return 0x3C3;  // final sigma
    if (c >= 0x400 && c <= 0x40F) return static_cast<char16_t>(c + 0x50);
    if (c >= 0x410 && c <= 0x42F) return static_cast<char16_t>(c + 0x20);
    return c;
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

}  // namespace

std::string shown_name(const std::u16string &name) {
    auto utf8 = utf16_to_utf8(name);
    return utf8 ? "\"" + *utf8 + "\"" : std::string("(a name that is not valid UTF-16)");
}

std::string name_problem(const std::u16string &name, size_t target_directory_units) {
    if (name.empty()) return "empty name";
    const std::string shown = shown_name(name);
    if (name[0] == u'\\' || name[0] == u'/') return "name " + shown + " is an absolute path";
    if (name.size() >= 2 && name[1] == u':' && ascii_letter(name[0])) {
        return "name " + shown + " starts with a drive letter";
    }
    if (name.size() > max_name_units) {
        size_t shown_units = 32;
        if (name[shown_units - 1] >= 0xD800 && name[shown_units - 1] <= 0xDBFF) --shown_units;
        std::string start = shown_name(name.substr(0, shown_units));
        if (start.back() == '"') start.insert(start.size() - 1, "...");
        return "name " + start + " is " + std::to_string(name.size()) +
               " UTF-16 units long; the launcher allows at most " + std::to_string(max_name_units);
    }
    size_t start = 0;
    while (true) {
        const size_t end = name.find(u'\\', start);
        const std::string problem = component_problem(name.substr(start, end - start), shown);
        if (!problem.empty()) return problem;
        if (end == std::u16string::npos) break;
        start = end + 1;
    }
    if (has_unpaired_surrogate(name)) return "name " + shown + " is not valid UTF-16";
    // "<target directory>\<name>" must fit the launcher's path buffer.
    if (target_directory_units + 1 + name.size() > max_path_units) {
        const size_t room = max_path_units > target_directory_units ? max_path_units - target_directory_units - 1 : 0;
        return "name " + shown + " is too long for the launcher's " + std::to_string(max_path_units) +
               "-unit path limit: with a target directory of up to " + std::to_string(target_directory_units) +
               " units, names may have at most " + std::to_string(room);
    }
    return "";
}

std::u16string fold_case(const std::u16string &name) {
    std::u16string folded = name;
    for (auto &unit : folded) unit = fold_unit(unit);
    return folded;
}

std::string names_problem(const std::vector<std::u16string> &names) {
    if (names.empty()) return "nothing to pack: the archive has no file";
    std::map<std::u16string, const std::u16string *> files;
    for (const auto &name : names) {
        const std::string problem = name_problem(name);
        if (!problem.empty()) return problem;
        auto inserted = files.emplace(fold_case(name), &name);
        if (!inserted.second) {
            const std::u16string &other = *inserted.first->second;
            if (other == name) return "two files would be packed as " + shown_name(name);
            return "names " + shown_name(other) + " and " + shown_name(name) +
                   " differ only in case; Windows would see one file";
        }
    }
    for (const auto &name : names) {
        const std::u16string folded = fold_case(name);
        for (size_t cut = folded.find(u'\\'); cut != std::u16string::npos; cut = folded.find(u'\\', cut + 1)) {
            auto file = files.find(folded.substr(0, cut));
            if (file != files.end()) {
                return "name " + shown_name(*file->second) + " is a file, but " + shown_name(name) +
                       " needs it as a directory";
            }
        }
    }
    return "";
}

}  // namespace tavrik
