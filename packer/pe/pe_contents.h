#pragma once
// What the packer needs to know about the contents of a PE image beyond its
// headers and its import and export tables: the strings of its version
// resource.
// Every RVA is mapped to the file and range-checked before it is read; a
// structure that does not fit is an error, never partly trusted.

#include <string>
#include <vector>

#include "packer/base/byte_io.h"
#include "packer/base/result.h"
#include "packer/pe/pe_image.h"

namespace tavrik {

// The value of `key` in the StringFileInfo of any RT_VERSION resource
// (UTF-16, without its terminator); empty when there is none.
Result<std::u16string> version_string(const Bytes &file, const PeImage &image, const std::u16string &key);

}  // namespace tavrik
