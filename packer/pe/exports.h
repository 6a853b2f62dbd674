#pragma once
// The export table: the names an image offers. Read from untrusted files
// through ByteReader, every structure located through the section table.

#include <string>
#include <vector>

#include "packer/base/byte_io.h"
#include "packer/base/result.h"
#include "packer/pe/pe_image.h"

namespace tavrik {

// Every name in the export name table, in table order. Names that do not
// fit the file are refused, not skipped.
Result<std::vector<std::string>> exported_names(const Bytes &file, const PeImage &image);

// Whether the export directory has `name` in its name table, bound to an
// entry of the export address table that is not empty. An image without an
// export directory exports nothing.
Result<bool> exports_name(const Bytes &file, const PeImage &image, const std::string &name);

}  // namespace tavrik
