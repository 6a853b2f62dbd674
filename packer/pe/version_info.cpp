#include "packer/pe/version_info.h"

#include <algorithm>

namespace tavrik {

namespace {

constexpr uint32_t fixed_signature = 0xFEEF04BD;
constexpr size_t fixed_size = 52;
constexpr size_t node_header_size = 6;
constexpr uint16_t type_binary = 0;
constexpr uint16_t type_text = 1;

size_t align4(size_t v) { return (v + 3) / 4 * 4; }

struct Node {
    std::u16string key;
    uint16_t type = 0;
    size_t value_at = 0;  // inside `end`; may equal it when there is no value
    uint16_t value_length = 0;
    size_t children_at = 0;
    size_t end = 0;
};

// Reads the node at `at`, which must lie within `limit`.
bool read_node(ByteReader &data, size_t at, size_t limit, Node &node) {
    if (!range_fits(limit, at, node_header_size)) return false;
    const uint16_t length = data.u16(at);
    if (length < node_header_size || !range_fits(limit, at, length)) return false;
    node.end = at + length;
    node.value_length = data.u16(at + 2);
    node.type = data.u16(at + 4);
    node.key.clear();
    size_t p = at + node_header_size;
    for (;; p += 2) {
        if (p + 2 > node.end) return false;
        const char16_t unit = data.u16(p);
        if (unit == 0) break;
        node.key.push_back(unit);
    }
    node.value_at = std::min(align4(p + 2), node.end);
    // Text values count UTF-16 units; some tools count bytes, which only
    // makes the children start later than the value really ends.
    const size_t value_bytes = node.type == type_text ? 2 * size_t{node.value_length} : node.value_length;
    node.children_at = std::min(align4(node.value_at + value_bytes), node.end);
    return data.ok();
}

// The children of `parent`; false when one does not fit inside it.
bool children_of(ByteReader &data, const Node &parent, std::vector<Node> &children) {
    children.clear();
    size_t at = parent.children_at;
    while (at + node_header_size <= parent.end) {
        Node child;
        if (!read_node(data, at, parent.end, child)) return false;
        children.push_back(child);
        at = align4(child.end);
    }
    return true;
}

std::u16string text_value(ByteReader &data, const Node &node) {
    std::u16string text;
    for (size_t p = node.value_at; p + 2 <= node.end; p += 2) {
        const char16_t unit = data.u16(p);
        if (unit == 0) break;
        text.push_back(unit);
    }
    return text;
}

void pad4(Bytes &b) { b.resize(align4(b.size()), 0); }

// A whole node; lengths are checked by the caller once the tree is built.
Bytes node(const std::u16string &key, uint16_t type, const Bytes &value, size_t value_length,
           const std::vector<Bytes> &children) {
    Bytes b(node_header_size, 0);
    for (char16_t c : key) append_u16(b, c);
    append_u16(b, 0);
    pad4(b);
    b.insert(b.end(), value.begin(), value.end());
    for (const auto &child : children) {
        pad4(b);
        b.insert(b.end(), child.begin(), child.end());
    }
    store_u16(b, 0, static_cast<uint16_t>(b.size()));
    store_u16(b, 2, static_cast<uint16_t>(value_length));
    store_u16(b, 4, type);
    return b;
}

void append_u32(Bytes &b, uint32_t v) {
    append_u16(b, static_cast<uint16_t>(v));
    append_u16(b, static_cast<uint16_t>(v >> 16));
}

}  // namespace

Result<VersionInfo> parse_version_info(const Bytes &bytes) {
    VersionInfo info;
    Node root;
    ByteReader data(bytes);
    if (!read_node(data, 0, data.size(), root)) return Error{"damaged version resource"};
    if (root.value_length >= fixed_size && range_fits(root.end, root.value_at, fixed_size) &&
        data.u32(root.value_at) == fixed_signature) {
        info.has_fixed = true;
        const auto version = [&data, &root](size_t at) {
            return uint64_t{data.u32(root.value_at + at)} << 32 | data.u32(root.value_at + at + 4);
        };
        info.file_version = version(8);
        info.product_version = version(16);
    }
    const Error damaged{"damaged version resource"};
    std::vector<Node> blocks, tables, strings;
    if (!children_of(data, root, blocks)) return damaged;
    for (const auto &block : blocks) {
        if (block.key != u"StringFileInfo") continue;
        if (!children_of(data, block, tables)) return damaged;
        if (tables.empty()) continue;
        if (!children_of(data, tables.front(), strings)) return damaged;
        for (const auto &string : strings) info.strings.emplace_back(string.key, text_value(data, string));
        break;
    }
    if (!data.ok()) return damaged;
    return info;
}

Result<Bytes> build_version_info(const VersionInfo &info) {
    Bytes fixed;
    append_u32(fixed, fixed_signature);
    append_u32(fixed, 0x00010000);  // structure version 1.0
    append_u32(fixed, static_cast<uint32_t>(info.file_version >> 32));
    append_u32(fixed, static_cast<uint32_t>(info.file_version));
    append_u32(fixed, static_cast<uint32_t>(info.product_version >> 32));
    append_u32(fixed, static_cast<uint32_t>(info.product_version));
    append_u32(fixed, 0x3F);        // VS_FFI_FILEFLAGSMASK
    append_u32(fixed, 0);           // no flags: not a debug, patched or pre-release build
    append_u32(fixed, 0x00040004);  // VOS_NT_WINDOWS32
    append_u32(fixed, 1);           // VFT_APP
    append_u32(fixed, 0);           // subtype
    append_u32(fixed, 0);           // date, high
    append_u32(fixed, 0);           // date, low: none, so the bytes depend on nothing but the input

    std::vector<Bytes> strings;
    size_t total = 0;
    for (const auto &[name, value] : info.strings) {
        Bytes text;
        for (char16_t c : value) append_u16(text, c);
        append_u16(text, 0);
        strings.push_back(node(name, type_text, text, value.size() + 1, {}));
        total += align4(strings.back().size());
    }
    // Checked before the nodes that hold them are built, so that no length
    // is cut to 16 bits unnoticed; 1 KiB covers every fixed part.
    constexpr size_t most = 0xFFFF - 1024;
    if (total > most) {
        return Error{"the version strings take " + std::to_string(total) + " bytes; at most " + std::to_string(most) +
                     " fit in a version resource"};
    }
    Bytes translation;
    append_u16(translation, 0x0409);  // US English
    append_u16(translation, 1200);    // UTF-16
    const Bytes string_info = node(u"StringFileInfo", type_text, {}, 0, {node(u"040904b0", type_text, {}, 0, strings)});
    const Bytes var_info =
        node(u"VarFileInfo", type_text, {}, 0, {node(u"Translation", type_binary, translation, 4, {})});
    return node(u"VS_VERSION_INFO", type_binary, fixed, fixed_size, {string_info, var_info});
}

std::string version_text(FixedVersion version) {
    std::string text;
    for (int shift = 48; shift >= 0; shift -= 16) {
        text += std::to_string((version >> shift) & 0xFFFF);
        if (shift > 0) text += '.';
    }
    return text;
}

}  // namespace tavrik
