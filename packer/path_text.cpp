#include "packer/path_text.h"

#include "packer/utf.h"

namespace tavrik {

using std::filesystem::path;

#ifdef _WIN32

Result<path> path_from_utf8(const std::string &text) {
    auto wide = utf8_to_utf16(text);
    if (!wide) return Error{wide.error()};
    return path(std::wstring(wide->begin(), wide->end()));
}

Result<std::string> path_to_utf8(const path &p) {
    const std::wstring &native = p.native();
    return utf16_to_utf8(std::u16string(native.begin(), native.end()));
}

path ascii_path(const char *text) {
    std::wstring wide;
    for (; *text; ++text) wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*text)));
    return path(wide);
}

#else

Result<path> path_from_utf8(const std::string &text) { return path(text); }

Result<std::string> path_to_utf8(const path &p) { return p.native(); }

path ascii_path(const char *text) { return path(std::string(text)); }

#endif

std::string shown_path(const path &p) {
    std::string shown = "\"";
#ifdef _WIN32
    const std::wstring &native = p.native();
    shown += printable(std::u16string(native.begin(), native.end()));
#else
    shown += printable_utf8(p.native());
#endif
    shown += '"';
    return shown;
}

}  // namespace tavrik
