#pragma once
// Strict UTF-8 <-> UTF-16 conversion for archive names. Malformed input is an
// error rather than a replacement character: a name that changes silently
// would extract under a different file name than the one packed.

#include <string>

#include "packer/base/result.h"

namespace tavrik {

Result<std::u16string> utf8_to_utf16(const std::string &text);
Result<std::string> utf16_to_utf8(const std::u16string &text);

// Text that is safe to write on a terminal line, as UTF-8: control
// characters (U+0000-U+001F, U+007F-U+009F), the line and paragraph
// separators U+2028/U+2029 and unpaired surrogates are written as <U+XXXX>.
// "<" and ">" cannot occur in an archive name, so the form is unambiguous
// there. Never fails.
std::string printable(const std::u16string &text);
// The same for UTF-8 text; a byte that is not part of valid UTF-8 is
// written as <0xNN>.
std::string printable_utf8(const std::string &text);

}  // namespace tavrik
