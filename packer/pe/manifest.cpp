#include "packer/pe/manifest.h"

#include <utility>

namespace tavrik {

namespace {

constexpr char element[] = "requestedExecutionLevel";

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Where the level attribute's value starts and ends (its quotes excluded).
Result<std::pair<size_t, size_t>> level_value(const std::string &text) {
    size_t found = std::string::npos;
    for (size_t at = text.find(element); at != std::string::npos; at = text.find(element, at + 1)) {
        // "<requestedExecutionLevel" or "<prefix:requestedExecutionLevel",
        // not a closing tag or a longer name.
        const size_t end = at + sizeof element - 1;
        if (at == 0 || (text[at - 1] != '<' && text[at - 1] != ':') || end >= text.size() ||
            !(is_space(text[end]) || text[end] == '/' || text[end] == '>')) {
            continue;
        }
        if (found != std::string::npos) return Error{"the manifest has two requestedExecutionLevel elements"};
        found = end;
    }
    if (found == std::string::npos) return Error{"the manifest has no requestedExecutionLevel element"};
    const size_t tag_end = text.find('>', found);
    if (tag_end == std::string::npos) return Error{"the manifest's requestedExecutionLevel element is not closed"};
    for (size_t at = found; at + 6 < tag_end; ++at) {
        if (!is_space(text[at]) || text.compare(at + 1, 5, "level") != 0) continue;
        size_t p = at + 6;
        while (p < tag_end && is_space(text[p])) ++p;
        if (p >= tag_end || text[p] != '=') continue;
        ++p;
        while (p < tag_end && is_space(text[p])) ++p;
        if (p >= tag_end || (text[p] != '"' && text[p] != '\'')) break;
        const size_t close = text.find(text[p], p + 1);
        if (close == std::string::npos || close > tag_end) break;
        return std::make_pair(p + 1, close);
    }
    return Error{"the manifest's requestedExecutionLevel element has no level"};
}

}  // namespace

bool is_execution_level(const std::string &level) {
    return level == "asInvoker" || level == "highestAvailable" || level == "requireAdministrator";
}

Result<std::string> execution_level(const Bytes &manifest) {
    const std::string text(manifest.begin(), manifest.end());
    auto value = level_value(text);
    if (!value) return Error{value.error()};
    return text.substr(value->first, value->second - value->first);
}

Result<Bytes> with_execution_level(const Bytes &manifest, const std::string &level) {
    std::string text(manifest.begin(), manifest.end());
    auto value = level_value(text);
    if (!value) return Error{value.error()};
    text.replace(value->first, value->second - value->first, level);
    return Bytes(text.begin(), text.end());
}

}  // namespace tavrik
