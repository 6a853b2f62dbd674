#pragma once
// Strict UTF-8 <-> UTF-16 conversion for archive names. Malformed input is an
// error rather than a replacement character: a name that changes silently
// would extract under a different file name than the one packed.

#include <string>

#include "packer/result.h"

namespace tavrik {

Result<std::u16string> utf8_to_utf16(const std::string &text);
Result<std::string> utf16_to_utf8(const std::u16string &text);

}  // namespace tavrik
