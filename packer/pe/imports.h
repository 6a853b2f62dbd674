#pragma once
// The DLLs an image links to: those its import and delay-load import tables
// name (the names it offers are in packer/pe/exports.h). Read from
// untrusted files through ByteReader, every structure located through the
// section table, and every walk bounded by the file's own size.

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

}  // namespace tavrik
