#include "packer/base/utf.h"

#include <cstdint>

namespace tavrik {

namespace {

// The code point at text[i]: a surrogate pair is joined (and i moved onto
// its second unit); an unpaired surrogate comes back as itself.
char32_t take_code_point(const std::u16string &text, size_t &i) {
    const char32_t cp = text[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
        ++i;
        return 0x10000 + ((cp - 0xD800) << 10) + (text[i] - 0xDC00);
    }
    return cp;
}


Error bad_utf8(const std::string &text) {
    return Error{"name is not valid UTF-8: \"" + printable_utf8(text) + "\""};
}

void append_code_point(std::u16string &out, char32_t cp) {
    if (cp < 0x10000) {
        out.push_back(static_cast<char16_t>(cp));
        return;
    }
    cp -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
}

void append_utf8(std::string &out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// One code point starting at text[i]; its length in bytes, or 0 when the
// bytes there are not valid UTF-8. Overlong forms and surrogate code points
// have no UTF-16 spelling that would round-trip, so they count as invalid.
size_t decode_utf8(const std::string &text, size_t i, char32_t &cp) {
    const uint8_t lead = static_cast<uint8_t>(text[i]);
    size_t extra;
    char32_t minimum;
    if (lead < 0x80) {
        extra = 0, cp = lead, minimum = 0;
    } else if ((lead & 0xE0) == 0xC0) {
        extra = 1, cp = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        extra = 2, cp = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        extra = 3, cp = lead & 0x07, minimum = 0x10000;
    } else {
        return 0;
    }
    if (extra > text.size() - i - 1) return 0;
    for (size_t k = 1; k <= extra; ++k) {
        const uint8_t next = static_cast<uint8_t>(text[i + k]);
        if ((next & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (next & 0x3F);
    }
    if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return extra + 1;
}

bool needs_escape(char32_t cp) {
    // The bidirectional marks, embeddings, overrides and isolates reorder
    // what a terminal shows after them: "invoice<U+202E>fdp.exe" would read
    // as "invoiceexe.pdf".
    const bool bidi = cp == 0x200E || cp == 0x200F || (cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069);
    return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || cp == 0x2028 || cp == 0x2029 || bidi ||
           (cp >= 0xD800 && cp <= 0xDFFF);
}

void append_escape(std::string &out, const char *prefix, uint32_t value, int digits) {
    static const char hex[] = "0123456789ABCDEF";
    out += prefix;
    for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) out.push_back(hex[(value >> shift) & 0xF]);
    out.push_back('>');
}

void append_printable(std::string &out, char32_t cp) {
    if (needs_escape(cp)) {
        append_escape(out, "<U+", cp, 4);
    } else {
        append_utf8(out, cp);
    }
}

}  // namespace

Result<std::u16string> utf8_to_utf16(const std::string &text) {
    std::u16string out;
    for (size_t i = 0; i < text.size();) {
        char32_t cp;
        const size_t length = decode_utf8(text, i, cp);
        if (length == 0) return bad_utf8(text);
        append_code_point(out, cp);
        i += length;
    }
    return out;
}

Result<std::string> utf16_to_utf8(const std::u16string &text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        const char32_t cp = take_code_point(text, i);
        if (cp >= 0xD800 && cp <= 0xDFFF) return Error{"name contains an unpaired UTF-16 surrogate"};
        append_utf8(out, cp);
    }
    return out;
}

std::string printable(const std::u16string &text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) append_printable(out, take_code_point(text, i));
    return out;
}

std::string printable_utf8(const std::string &text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        char32_t cp;
        const size_t length = decode_utf8(text, i, cp);
        if (length == 0) {
            append_escape(out, "<0x", static_cast<uint8_t>(text[i]), 2);
            ++i;
        } else {
            append_printable(out, cp);
            i += length;
        }
    }
    return out;
}

}  // namespace tavrik
