#include "packer/program/cached_mode.h"

#include <cstdio>

#include "format/cached_settings.h"
#include "packer/archive/sha256.h"
#include "packer/base/utf.h"

namespace tavrik {

namespace {

// Each placeholder the launcher knows, and whether a cache may use it.
struct Placeholder {
    const char16_t *name;
    const char *refusal;  // null: allowed
    bool absolute;        // its value is an absolute path
};
constexpr Placeholder placeholders[] = {
    {u"CACHE_DIR", nullptr, true},
    {u"HOME", nullptr, true},
    {u"TEMP", nullptr, true},
    {u"PROGRAM_DIR", nullptr, true},
    {u"PROGRAM_BASE", nullptr, true},
    {u"PROGRAM", "names the executable itself, not a folder", true},
    {u"PID", "changes with every start", false},
    {u"TIME_US", "changes with every start", false},
    {u"RANDOM", "changes with every start", false},
    {u"TIME", "changes with every start", false},
};

char16_t ascii_upper(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c; }

bool same_ignoring_case(const std::u16string &a, const std::u16string &b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (ascii_upper(a[i]) != ascii_upper(b[i])) return false;
    return true;
}

// Characters no file or folder name holds on Windows.
bool forbidden_in_name(char16_t c) {
    return c < 0x20 || c == u'<' || c == u'>' || c == u':' || c == u'"' || c == u'|' || c == u'?' || c == u'*';
}

}  // namespace

Result<std::u16string> check_cache_spec(const std::string &given) {
    const auto refuse = [&](const std::string &why) -> Result<std::u16string> {
        return Error{"--cache-dir \"" + given + "\" " + why};
    };
    auto wide = utf8_to_utf16(given);
    if (!wide) return refuse("is not valid UTF-8");
    std::u16string spec = *wide;
    for (char16_t &c : spec)
        if (c == u'/') c = u'\\';
    if (spec.empty()) return refuse("is empty");
    if (spec.size() > cached_settings::max_spec_units) {
        return refuse("is longer than " + std::to_string(cached_settings::max_spec_units) + " characters");
    }
    // Where the spec starts decides whether it is absolute: a placeholder
    // with an absolute value, a drive ("C:\") or a share ("\\server\share").
    bool absolute = spec.size() >= 3 && spec[1] == u':' && spec[2] == u'\\' &&
                    ascii_upper(spec[0]) >= u'A' && ascii_upper(spec[0]) <= u'Z';
    const bool share = spec.size() > 2 && spec[0] == u'\\' && spec[1] == u'\\';
    absolute = absolute || share;
    std::u16string component;
    bool component_has_placeholder = false;
    const auto end_component = [&]() -> std::string {
        if (!component_has_placeholder && (component == u"." || component == u"..")) {
            return "has a \".\" or \"..\" component";
        }
        if (!component.empty() && (component.back() == u' ' || component.back() == u'.') &&
            !component_has_placeholder) {
            return "has a folder name that ends in a dot or a space";
        }
        component.clear();
        component_has_placeholder = false;
        return {};
    };
    for (size_t i = share ? 2 : 0; i < spec.size(); ++i) {
        const char16_t c = spec[i];
        if (c == u'{') {
            const size_t close = spec.find(u'}', i);
            if (close == std::u16string::npos) return refuse("has a \"{\" without its \"}\"");
            const std::u16string name = spec.substr(i + 1, close - i - 1);
            const Placeholder *found = nullptr;
            for (const auto &placeholder : placeholders)
                if (same_ignoring_case(name, placeholder.name)) found = &placeholder;
            auto shown = utf16_to_utf8(name);
            const std::string shown_name = "{" + (shown ? *shown : std::string("?")) + "}";
            if (found == nullptr) return refuse("has an unknown placeholder " + shown_name);
            if (found->refusal) {
                return refuse("uses " + shown_name + ", which " + found->refusal +
                              "; a cache must be found again by every start");
            }
            if (i == 0 && found->absolute) absolute = true;
            component += spec.substr(i, close - i + 1);
            component_has_placeholder = true;
            i = close;
        } else if (c == u'\\') {
            // A share's "\\" was skipped; one more empty component is no name.
            if (component.empty() && i != 0) return refuse("has an empty folder name");
            const std::string problem = end_component();
            if (!problem.empty()) return refuse(problem);
        } else if (c == u'}') {
            return refuse("has a \"}\" without its \"{\"");
        } else if (forbidden_in_name(c) && !(c == u':' && i == 1 && !share)) {
            return refuse("has a character no folder name may hold");
        } else {
            component += c;
        }
    }
    const std::string problem = end_component();
    if (!problem.empty()) return refuse(problem);
    if (!absolute) {
        return refuse("is not an absolute path: start it with a drive, a share or one of {CACHE_DIR}, {HOME}, "
                      "{TEMP}, {PROGRAM_DIR}");
    }
    while (spec.size() > 3 && spec.back() == u'\\') spec.pop_back();
    return spec;
}

std::u16string program_folder_name(const std::u16string &output_name, const std::u16string &company,
                                   const std::u16string &product) {
    std::u16string stem = output_name;
    if (stem.size() >= 4 && same_ignoring_case(stem.substr(stem.size() - 4), u".exe")) stem.resize(stem.size() - 4);
    for (char16_t &c : stem)
        if (forbidden_in_name(c) || c == u'\\' || c == u'/' || c == u'{' || c == u'}') c = u'_';
    constexpr size_t stem_limit = 64;
    if (stem.size() > stem_limit) {
        // Never half of a surrogate pair: the name would be no text.
        const bool splits_pair = stem[stem_limit - 1] >= 0xD800 && stem[stem_limit - 1] <= 0xDBFF;
        stem.resize(splits_pair ? stem_limit - 1 : stem_limit);
    }
    // A name must not end in a dot or a space (Windows drops them).
    while (!stem.empty() && (stem.back() == u'.' || stem.back() == u' ')) stem.pop_back();
    if (stem.empty()) stem = u"program";

    Bytes identity;
    for (const std::u16string *part : {&output_name, &company, &product}) {
        for (char16_t c : *part) {
            const char16_t unit = part == &output_name ? ascii_upper(c) : c;
            identity.push_back(static_cast<uint8_t>(unit));
            identity.push_back(static_cast<uint8_t>(unit >> 8));
        }
        identity.insert(identity.end(), {0, 0});
    }
    const Sha256Digest digest = sha256(identity.data(), identity.size());
    std::u16string name = stem + u"-";
    for (size_t i = 0; i < 6; ++i) {
        char hex[3];
        std::snprintf(hex, sizeof hex, "%02x", digest[i]);
        name += static_cast<char16_t>(hex[0]);
        name += static_cast<char16_t>(hex[1]);
    }
    static_assert(64 + 1 + 12 <= cached_settings::max_program_units, "the name fits its field");
    return name;
}

Result<StartMode> start_mode(const PackedFile &packed) {
    StartMode mode;
    if (!packed.layout().cached) return mode;
    auto view = read_cached_settings(packed.layout().cached_settings);
    if (!view) return Error{packed.shown() + " is damaged: " + view.error()};
    auto spec = utf16_to_utf8(view->spec);
    auto program = utf16_to_utf8(view->program);
    mode.cached = true;
    mode.spec = spec ? *spec : printable(view->spec);
    mode.program = program ? *program : printable(view->program);
    mode.files = std::move(view->files);
    return mode;
}

}  // namespace tavrik
