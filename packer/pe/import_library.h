#pragma once
// The DLL an import library stands for. An import library (MSVC's .lib,
// MinGW's .dll.a) is an ar archive that a linker reads; packed instead of
// the DLL, it leaves the program unable to start. Read from untrusted
// files: every member and section is range checked, and the walk is
// bounded by the file's own size.

#include <string>

#include "packer/base/byte_io.h"

namespace tavrik {

// The DLL named by the first member that names one: a short import record
// (what MSVC and llvm-dlltool write: the symbol, then the DLL) or a COFF
// object whose ".idata$7" section holds the DLL's name (what GNU dlltool
// and ld --out-implib write). Empty when `file` is no ar archive or names
// no DLL (a static library).
std::string import_library_dll(const Bytes &file);

}  // namespace tavrik
