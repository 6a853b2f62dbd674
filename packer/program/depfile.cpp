#include "packer/program/depfile.h"

#include <cctype>
#include <cstring>

#include "packer/platform/path_text.h"

namespace tavrik {

namespace {

// Why make or Ninja (or CMake, which reads a depfile and writes it again
// for both) would read back another path than one holding `c`, or "".
// Found by running make 4.3, Ninja 1.11 and CMake 3.25 on each character.
std::string unwritable(char c) {
    const unsigned char u = static_cast<unsigned char>(c);
    const std::string quoted = std::string("\"") + c + "\"";
    if (c == '\t' || c == '\n' || c == '\r') return "it contains a tab or a line break";
    if (u < 0x20 || u == 0x7F) return "it contains a control character, where Ninja ends a name";
    if (std::strchr(";'&^`|\"*?<>", c)) return "it contains " + quoted + ", where Ninja ends a name (it has no escape for it)";
    if (c == '[') return "it contains \"[\", which make reads as a wildcard";
    if (c == '=') return "it contains \"=\", which makes make read the rule as a variable assignment";
    if (c == ':') return "it contains \":\", which make reads as the end of the targets (CMake drops its escape)";
#ifndef _WIN32
    // Make and Ninja take a backslash that escapes nothing for a directory
    // separator.
    if (c == '\\') return "it contains \"\\\"";
#endif
    return "";
}

// Whether make reads `text` as one of its special targets (".PHONY",
// ".SILENT", ".IGNORE", ...: a dot and capitals), which an empty rule for
// it would switch on for the whole build. make drops a leading "./" and
// the slashes after it first.
bool special_target(const std::string &text) {
    const auto separator = [](char c) {
#ifdef _WIN32
        if (c == '\\') return true;
#endif
        return c == '/';
    };
    size_t at = 0;
    while (text.size() > at + 2 && text[at] == '.' && separator(text[at + 1])) {
        at += 2;
        while (at < text.size() && separator(text[at])) ++at;
    }
    if (at + 1 >= text.size() || text[at] != '.') return false;
    for (size_t i = at + 1; i < text.size(); ++i) {
        if (!std::isupper(static_cast<unsigned char>(text[i])) && text[i] != '_') return false;
    }
    return true;
}

Error refusal(const std::filesystem::path &path, const std::string &why) {
    return Error{"cannot name " + shown_path(path) + " in a depfile: " + why};
}

// `target`: the output, the rule's target, which make would also read as a
// pattern rule when it holds "%".
Result<std::string> escaped(const std::filesystem::path &path, bool target) {
    auto text = path_to_utf8(path);
    if (!text) return refusal(path, text.error());
    size_t at = 0;
#ifdef _WIN32
    // A drive ("C:") is read as one by make and Ninja on Windows.
    if (text->size() >= 2 && (*text)[1] == ':' && std::isalpha(static_cast<unsigned char>((*text)[0]))) at = 2;
#endif
    // make expands a leading "~" to a home directory, even after "./".
    if (!text->empty() && (*text)[0] == '~') return refusal(path, "it starts with \"~\", which make reads as a home directory");
    if (special_target(*text)) return refusal(path, "make reads a rule for it as one of its special targets");
    std::string out = text->substr(0, at);
    for (; at < text->size(); ++at) {
        const char c = (*text)[at];
        const std::string why = unwritable(c);
        if (!why.empty()) return refusal(path, why);
        if (target && c == '%') return refusal(path, "it contains \"%\"; make reads such a target as a pattern rule");
        if (c == ' ' || c == '#') {
            // N backslashes before an escaped space read back as N/2: the
            // ones of the path itself are doubled ("C:\\ x" is written "C:\\\\\\ x").
            size_t run = 0;
            while (run < out.size() && out[out.size() - 1 - run] == '\\') ++run;
            out.append(run + 1, '\\');
        }
        if (c == '$') out += '$';
        out += c;
    }
    // make reads "lib(member)" as a member of an archive, and a word ending
    // in ")" after one holding "(" as the end of a list of members.
    if (!out.empty() && out.back() == ')') {
        return refusal(path, "it ends in \")\", which make reads as the end of an archive member's name");
    }
    // A separator at the end would escape the space after it: "dir/" is
    // written as "dir/.", the same directory.
    if (!out.empty() && (out.back() == '/' || out.back() == '\\')) out += '.';
    return out;
}

}  // namespace

Result<std::string> depfile_rule(const std::filesystem::path &output,
                                 const std::vector<std::filesystem::path> &inputs) {
    auto target = escaped(output, true);
    if (!target) return target;
    std::string rule = *target + ":";
    std::string empty_rules;
    for (const auto &input : inputs) {
        auto name = escaped(input, false);
        if (!name) return name;
        rule += " \\\n  " + *name;
        // make reads a target holding "%" as a pattern, and Ninja (reading
        // the depfile itself) refuses the "\%" make would need.
        if (name->find('%') == std::string::npos) empty_rules += "\n" + *name + ":\n";
    }
    return rule + "\n" + empty_rules;
}

}  // namespace tavrik
