#include "packer/program/identity.h"

#include <algorithm>
#include <set>
#include <unordered_map>

#include "packer/archive/names.h"
#include "packer/base/utf.h"
#include "packer/pe/manifest.h"
#include "packer/pe/pe_checksum.h"
#include "packer/pe/pe_image.h"
#include "packer/pe/resource_section.h"
#include "packer/pe/resources.h"
#include "packer/pe/subsystem.h"

namespace tavrik {

namespace {

constexpr uint16_t us_english = 0x0409;

// Windows looks version strings up ignoring case.
bool same_name(const std::u16string &a, const std::u16string &b) { return upcase_name(a) == upcase_name(b); }

using Strings = std::vector<std::pair<std::u16string, std::u16string>>;

// Version strings with an index by upper-case name, so that setting each
// of the many a DLL's resource may hold stays linear in their number.
struct StringTable {
    Strings strings;
    std::unordered_map<std::u16string, size_t> index;

    void set(const std::u16string &name, const std::u16string &value) {
        const auto [at, added] = index.emplace(upcase_name(name), strings.size());
        if (added) strings.emplace_back(name, value);
        else strings[at->second] = {name, value};
    }
    bool has(const std::u16string &name) const { return index.count(upcase_name(name)) != 0; }
};

std::u16string widen(const std::string &ascii) { return std::u16string(ascii.begin(), ascii.end()); }

std::u16string base_name(const std::u16string &file_name) {
    const size_t dot = file_name.rfind(u'.');
    return dot == std::u16string::npos || dot == 0 ? file_name : file_name.substr(0, dot);
}

// The first resource of `type`, or null.
const Resource *first_of(const std::vector<Resource> &resources, uint16_t type) {
    for (const auto &r : resources) {
        if (r.type.is(type)) return &r;
    }
    return nullptr;
}

// Shown on one line, escaped as names are: an unpaired surrogate is one
// escape, and the rest of the text still shows.
std::string shown_text(const std::u16string &text) { return printable(text); }

}  // namespace

std::optional<FixedVersion> parse_fixed_version(const std::string &text) {
    FixedVersion version = 0;
    size_t at = 0;
    for (int part = 0; part < 4; ++part) {
        const size_t end = part < 3 ? text.find('.', at) : text.size();
        if (end == std::string::npos || end == at || end - at > 5) return std::nullopt;
        uint32_t value = 0;
        for (size_t i = at; i < end; ++i) {
            if (text[i] < '0' || text[i] > '9') return std::nullopt;
            value = value * 10 + static_cast<uint32_t>(text[i] - '0');
        }
        if (value > 0xFFFF) return std::nullopt;
        version = version << 16 | value;
        at = end + 1;
    }
    return version;
}

Result<VersionInfo> derive_version_info(const IdentityOptions &options, const Bytes &application,
                                        const std::u16string &application_name, const std::u16string &output_name) {
    VersionInfo own;
    auto image = parse_pe_image(application);
    if (!image) return Error{"is not a PE32+ x86-64 DLL: " + image.error()};
    auto resources = read_resources(application, *image);
    if (!resources) return Error{"has a " + resources.error()};
    if (const Resource *version = first_of(*resources, resource_type::version)) {
        auto parsed = parse_version_info(version->data);
        if (!parsed) return Error{"has a " + parsed.error()};
        own = std::move(*parsed);
    }

    VersionInfo info;
    info.has_fixed = true;
    // One version given and none in the DLL: the program has one version.
    info.file_version = options.file_version   ? *options.file_version
                        : own.has_fixed        ? own.file_version
                                               : options.product_version.value_or(0);
    info.product_version = options.product_version ? *options.product_version
                           : own.has_fixed         ? own.product_version
                                                   : options.file_version.value_or(0);
    StringTable table;
    for (const auto &[name, value] : own.strings) {
        // These two name the DLL's own file, not the program.
        if (same_name(name, u"OriginalFilename") || same_name(name, u"InternalName")) continue;
        table.set(name, value);
    }
    const std::u16string application_base = base_name(application_name);
    const std::pair<const char16_t *, std::u16string> defaults[] = {
        {u"ProductName", application_base},
        {u"FileDescription", application_base},
        {u"OriginalFilename", output_name},
        {u"InternalName", base_name(output_name)},
        {u"FileVersion", widen(version_text(info.file_version))},
        {u"ProductVersion", widen(version_text(info.product_version))},
    };
    for (const auto &[name, value] : defaults) {
        if (!table.has(name)) table.set(name, value);
    }
    if (options.file_version) table.set(u"FileVersion", widen(version_text(*options.file_version)));
    if (options.product_version) table.set(u"ProductVersion", widen(version_text(*options.product_version)));
    for (const auto &[name, value] : options.version_strings) table.set(name, value);
    info.strings = std::move(table.strings);
    std::sort(info.strings.begin(), info.strings.end(),
              [](const auto &a, const auto &b) { return upcase_name(a.first) < upcase_name(b.first); });
    return info;
}

Result<Bytes> apply_identity(const Bytes &stub, const Identity &identity) {
    auto image = parse_pe_image(stub);
    if (!image) return Error{image.error()};
    auto read = read_resources(stub, *image);
    if (!read) return Error{read.error()};
    std::vector<Resource> resources = std::move(*read);

    const Resource *version = first_of(resources, resource_type::version);
    Resource new_version{ResourceId::of(resource_type::version), ResourceId::of(1), us_english, 0, {}};
    if (version) {
        new_version.name = version->name;
        new_version.language = version->language;
    }
    auto data = build_version_info(identity.version);
    if (!data) return Error{data.error()};
    new_version.data = std::move(*data);

    std::vector<Resource> icons;
    if (!identity.icon.empty()) {
        const Resource *group = first_of(resources, resource_type::group_icon);
        Resource new_group{ResourceId::of(resource_type::group_icon), ResourceId::of(1), us_english, 0, {}};
        if (group) {
            new_group.name = group->name;
            new_group.language = group->language;
        }
        new_group.data = build_icon_group(identity.icon);
        for (size_t i = 0; i < identity.icon.size(); ++i) {
            icons.push_back({ResourceId::of(resource_type::icon),
                             ResourceId::of(static_cast<uint16_t>(first_icon_id + i)),
                             new_group.language, 0, identity.icon[i].data});
        }
        icons.push_back(std::move(new_group));
    }

    bool manifest_found = false;
    std::vector<Resource> kept;
    for (auto &r : resources) {
        if (r.type.is(resource_type::version)) continue;
        const bool icon_part = r.type.is(resource_type::icon) || r.type.is(resource_type::group_icon);
        if (!identity.icon.empty() && icon_part) continue;
        if (r.type.is(resource_type::manifest)) {
            auto edited = with_execution_level(r.data, identity.execution_level);
            if (!edited) return Error{edited.error()};
            r.data = std::move(*edited);
            manifest_found = true;
        }
        kept.push_back(std::move(r));
    }
    if (!manifest_found) return Error{"it has no manifest"};
    kept.push_back(std::move(new_version));
    kept.insert(kept.end(), std::make_move_iterator(icons.begin()), std::make_move_iterator(icons.end()));

    auto out = replace_resources(stub, kept);
    if (!out) return Error{out.error()};
    // The header's layout is the stub's: replace_resources moves only
    // sections, so the image parsed above still describes it.
    set_subsystem(*out, *image, identity.console ? pe::subsystem_windows_console : pe::subsystem_windows_gui);
    const size_t checksum_at = image->optional_header_offset + pe::opt_checksum;
    store_u32(*out, checksum_at, pe_checksum(*out, checksum_at));
    return out;
}

Result<IdentityDescription> read_identity(const Bytes &exe, const PeImage &image) {
    auto resources = read_resources(exe, image);
    if (!resources) return Error{resources.error()};
    IdentityDescription identity;

    const uint16_t subsystem = image.subsystem;
    identity.subsystem = subsystem == pe::subsystem_windows_console ? std::string("console")
                         : subsystem == pe::subsystem_windows_gui   ? std::string("windows")
                                                                    : std::to_string(subsystem);
    identity.execution_level = "none";
    if (const Resource *manifest = first_of(*resources, resource_type::manifest)) {
        auto found = execution_level(manifest->data);
        if (found) identity.execution_level = *found;
    }

    if (const Resource *group = first_of(*resources, resource_type::group_icon)) {
        auto entries = parse_icon_group(group->data);
        if (!entries) return Error{entries.error()};
        // The images by number, so that a group of many entries costs no
        // more than reading it once.
        std::set<std::pair<uint16_t, uint64_t>> images;  // number, size
        for (const auto &r : *resources) {
            if (r.type.is(resource_type::icon) && !r.name.named) images.emplace(r.name.number, r.data.size());
        }
        for (const auto &entry : *entries) {
            if (images.count({entry.id, entry.size}) == 0) {
                return Error{"its icon group names a missing image " + std::to_string(entry.id)};
            }
            identity.icons.push_back(std::to_string(entry.width) + "x" + std::to_string(entry.height));
        }
    }

    const Resource *version = first_of(*resources, resource_type::version);
    if (!version) return identity;
    identity.has_version = true;
    auto info = parse_version_info(version->data);
    if (!info) return Error{info.error()};
    if (info->has_fixed) {
        identity.file_version = version_text(info->file_version);
        identity.product_version = version_text(info->product_version);
    }
    identity.strings = info->strings;
    return identity;
}

Result<std::vector<std::string>> describe_identity(const Bytes &exe, const PeImage &image) {
    auto identity = read_identity(exe, image);
    if (!identity) return Error{identity.error()};
    std::vector<std::string> lines;
    lines.push_back("subsystem: " + identity->subsystem);
    lines.push_back("execution level: " + identity->execution_level);
    std::string icon;
    for (const auto &size : identity->icons) icon += (icon.empty() ? "" : ", ") + size;
    lines.push_back("icon: " + (icon.empty() ? std::string("none") : icon));
    if (!identity->has_version) {
        lines.push_back("version: none");
        return lines;
    }
    if (!identity->file_version.empty()) {
        lines.push_back("file version: " + identity->file_version);
        lines.push_back("product version: " + identity->product_version);
    }
    for (const auto &[name, value] : identity->strings) {
        lines.push_back("string " + shown_text(name) + ": " + shown_text(value));
    }
    return lines;
}

}  // namespace tavrik
