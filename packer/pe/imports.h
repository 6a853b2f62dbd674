#pragma once
// The names an image links by: the DLLs its import and delay-load import
// tables name, and the names its export table offers. Read from untrusted
// files, so every structure is located through the section table and range
// checked before a byte of it is read, and every walk is bounded by the
// file's own size.

#include <string>
#include <vector>

#include "packer/base/byte_io.h"
#include "packer/base/result.h"
#include "packer/pe/pe_image.h"

namespace tavrik {

namespace pe {
constexpr size_t delay_import_directory = 13;
}  // namespace pe

struct ImportedDll {
    std::string name;  // as the image spells it (the loader ignores case)
    bool delayed = false;  // from the delay-load table: loaded on first call
};

// Every DLL named by the import table, then by the delay-load import table,
// each table in its own order, a name given twice kept once. Each table ends
// where the loader stops reading it: at the first import entry whose Name
// or FirstThunk is 0, the first delay-load entry whose DllNameRVA is 0,
// whatever their other fields hold. Refusals
// read "damaged import table: ..." and the like.
Result<std::vector<ImportedDll>> imported_dlls(const Bytes &file, const PeImage &image);

// Every name in the export name table, in table order. Names that do not
// fit the file are refused, not skipped.
Result<std::vector<std::string>> exported_names(const Bytes &file, const PeImage &image);

}  // namespace tavrik
