#include "packer/archive/cached_frame.h"

#include "format/cached_settings.h"
#include "packer/base/utf.h"

namespace tavrik {

namespace {

void put_u16(Bytes &out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

void put_u32(Bytes &out, uint32_t value) {
    uint8_t bytes[4];
    packed_format::store_u32(bytes, value);
    out.insert(out.end(), bytes, bytes + 4);
}

void put_text(Bytes &out, const std::u16string &text) {
    put_u16(out, static_cast<uint16_t>(text.size()));
    for (char16_t c : text) put_u16(out, c);
}

std::u16string text_of(const cached_settings::Text &text) {
    std::u16string out;
    for (size_t i = 0; i < text.units; ++i) out += text.unit(i);
    return out;
}

// The marker's name, whatever the case: Windows would take one for the other.
bool is_marker(const std::u16string &name) {
    const std::u16string marker = cached_settings::marker_name;
    if (name.size() != marker.size()) return false;
    for (size_t i = 0; i < name.size(); ++i) {
        const char16_t c = name[i] >= u'A' && name[i] <= u'Z' ? static_cast<char16_t>(name[i] + 32) : name[i];
        if (c != marker[i]) return false;
    }
    return true;
}

}  // namespace

Result<Bytes> cached_settings_frame(const CachedMode &mode, const std::vector<ArchiveEntry> &entries) {
    for (const auto &entry : entries) {
        if (is_marker(entry.name)) {
            auto shown = utf16_to_utf8(entry.name);
            return Error{"cached mode keeps \"" + (shown ? *shown : std::string()) +
                         "\" beside the program's files; rename that file or pack without --cache"};
        }
    }
    Bytes content(cached_settings::tag, cached_settings::tag + sizeof cached_settings::tag);
    put_text(content, mode.spec);
    put_text(content, mode.program);
    for (const auto &entry : entries) {
        const size_t at = content.size();
        content.resize(at + archive_records::header_bytes(entry.name.size()));
        archive_records::write_header(&content[at], entry.name.data(), entry.name.size(), entry.content.size());
    }
    content.resize(content.size() + archive_records::end_record_bytes);
    archive_records::write_end_record(&content[content.size() - archive_records::end_record_bytes]);
    const size_t frame_size = cached_settings::frame_size_for(content.size() + cached_settings::footer_size);
    if (frame_size > 0xFFFFFFFFu) return Error{"the list of files for cached mode is too large"};
    put_u32(content, static_cast<uint32_t>(frame_size));
    Bytes frame;
    put_u32(frame, cached_settings::frame_magic);
    put_u32(frame, static_cast<uint32_t>(content.size()));
    frame.insert(frame.end(), content.begin(), content.end());
    return frame;
}

Result<CachedSettingsView> read_cached_settings(const Bytes &content) {
    cached_settings::Settings settings;
    const char *problem = cached_settings::read_settings(content.data(), content.size(), settings);
    if (problem) return Error{problem};
    CachedSettingsView view;
    view.spec = text_of(settings.spec);
    view.program = text_of(settings.program);
    char16_t name[archive_records::max_name_units + 1];
    const bool whole = cached_settings::walk_list(settings, name, [&](const char16_t *units, size_t count, uint64_t size) {
        view.files.emplace_back(std::u16string(units, count), size);
        return true;
    });
    if (!whole) return Error{"the cached-mode list of files is damaged"};
    return view;
}

}  // namespace tavrik
