#pragma once
// Recognising the two images the packer combines: the application DLL and
// the launcher stub. Each check returns the reason for a refusal as the end
// of a sentence that starts with the file's role and path.

#include "format/launcher_names.h"
#include "packer/base/byte_io.h"
#include "packer/base/result.h"

namespace tavrik {

constexpr char entry_point_name[] = "run_code";

// A PE32+ x86-64 image with IMAGE_FILE_DLL set whose export directory names
// run_code. Refusals read "is not a PE32+ x86-64 DLL: ...", "is a program,
// not a DLL", "does not export run_code", "exports run_code only under its
// C++ name "_Z8run_code..."; declare it extern "C"", "has a damaged export
// directory".
Status check_application_dll(const Bytes &dll);

// The launcher as built: a PE32+ x86-64 image without a .tavrik section,
// whose version resource has ProductName TAVRIK_LAUNCHER_PRODUCT_NAME
// (format/launcher_names.h, as resources/tavrik-launcher.rc sets it), and without a
// certificate table. Only the stub is recognised this way: packing replaces
// the version resource with the program's own. Whether a section can be
// added is attach_to_stub's business.
Status check_launcher_stub(const Bytes &stub);

}  // namespace tavrik
