#pragma once
// The report that report_app.dll writes and the end-to-end tests read back.
//
// One item per line, "key=value\n", UTF-8. Values may hold anything an
// argument or a path can hold, so they are escaped to keep one item on one
// line and to parse back byte for byte:
//   backslash -> \\      newline -> \n     carriage return -> \r
//   tab       -> \t      vertical tab -> \v
//   any other byte below 0x20 -> \xHH (two lower-case hex digits)
// Everything else, non-ASCII included, is written as raw UTF-8.
// A line without "=" is a bare marker (the app writes "unset:NAME" for an
// environment variable that is absent); it parses to the key with an empty
// value, so tests tell "unset" from "set to empty" by the key they look up.
//
// Header-only and free of Windows headers, so both the app and any test can
// include it. The writer and the parser live side by side here so that the
// escaping rules exist in exactly one place.

#include <map>
#include <stdexcept>
#include <string>

namespace tavrik_report {

using report = std::map<std::string, std::string>;

inline std::string escape_value(const std::string &raw) {
    static const char hex_digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(raw.size());
    for (char c : raw) {
        const unsigned char byte = static_cast<unsigned char>(c);
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '\v': out += "\\v"; break;
        default:
            if (byte < 0x20) {
                out += "\\x";
                out += hex_digits[byte >> 4];
                out += hex_digits[byte & 0x0f];
            } else {
                out += c;
            }
        }
    }
    return out;
}

inline int hex_digit_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Throws std::invalid_argument on an escape the writer never produces, so a
// corrupted report fails a test loudly instead of comparing as a near-miss.
inline std::string unescape_value(const std::string &escaped) {
    std::string out;
    out.reserve(escaped.size());
    for (size_t i = 0; i < escaped.size(); ++i) {
        if (escaped[i] != '\\') {
            out += escaped[i];
            continue;
        }
        if (++i == escaped.size()) throw std::invalid_argument("report: trailing backslash");
        switch (escaped[i]) {
        case '\\': out += '\\'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'v': out += '\v'; break;
        case 'x': {
            const int high = i + 1 < escaped.size() ? hex_digit_value(escaped[i + 1]) : -1;
            const int low = i + 2 < escaped.size() ? hex_digit_value(escaped[i + 2]) : -1;
            if (high < 0 || low < 0) throw std::invalid_argument("report: bad \\x escape");
            out += static_cast<char>(high * 16 + low);
            i += 2;
            break;
        }
        default:
            throw std::invalid_argument("report: unknown escape");
        }
    }
    return out;
}

// Builds the report text one line at a time.
class report_writer {
public:
    void add(const std::string &key, const std::string &value) {
        text_ += key;
        text_ += '=';
        text_ += escape_value(value);
        text_ += '\n';
    }
    void add_marker(const std::string &key) {
        text_ += key;
        text_ += '\n';
    }
    const std::string &text() const { return text_; }

private:
    std::string text_;
};

// Splits at the first '=' of each line (keys never contain one). A later
// duplicate key replaces an earlier one. Throws std::invalid_argument on a
// bad escape or on text that does not end with a newline (a torn write).
inline report parse_report(const std::string &utf8) {
    report items;
    size_t start = 0;
    while (start < utf8.size()) {
        const size_t end = utf8.find('\n', start);
        if (end == std::string::npos) throw std::invalid_argument("report: unterminated last line");
        const std::string line = utf8.substr(start, end - start);
        const size_t equals = line.find('=');
        if (equals == std::string::npos)
            items[line] = std::string();
        else
            items[line.substr(0, equals)] = unescape_value(line.substr(equals + 1));
        start = end + 1;
    }
    return items;
}

}  // namespace tavrik_report
