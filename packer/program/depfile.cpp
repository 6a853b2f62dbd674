#include "packer/program/depfile.h"

#include "packer/platform/path_text.h"

namespace tavrik {

namespace {

Result<std::string> escaped(const std::filesystem::path &path) {
    auto text = path_to_utf8(path);
    if (!text) return Error{"cannot name " + shown_path(path) + " in a depfile: " + text.error()};
    std::string out;
    for (char c : *text) {
        if (c == '\t' || c == '\n' || c == '\r') {
            return Error{"cannot name " + shown_path(path) + " in a depfile: it contains a tab or a line break"};
        }
#ifndef _WIN32
        // The readers take every backslash that escapes nothing for a
        // directory separator.
        if (c == '\\') return Error{"cannot name " + shown_path(path) + " in a depfile: it contains \"\\\""};
#endif
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
    // A separator at the end would escape the space after it: "dir/" is
    // written as "dir/.", the same directory.
    if (!out.empty() && (out.back() == '/' || out.back() == '\\')) out += '.';
    return out;
}

}  // namespace

Result<std::string> depfile_rule(const std::filesystem::path &output,
                                 const std::vector<std::filesystem::path> &inputs) {
    auto target = escaped(output);
    if (!target) return target;
    std::string rule = *target + ":";
    for (const auto &input : inputs) {
        auto name = escaped(input);
        if (!name) return name;
        rule += " \\\n  " + *name;
    }
    return rule + "\n";
}

}  // namespace tavrik
