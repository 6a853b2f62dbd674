#pragma once
// The DLLs Windows itself provides, which an application may import without
// packing them. The table is generated at build time from the Windows
// modules Wine ships (cmake/system_dlls.py says what is left out of it).

#include <cstddef>
#include <string>

namespace tavrik {

// Lower case, sorted.
extern const char *const system_dll_names[];
extern const size_t system_dll_count;

// Whether Windows provides `name` (compared ignoring ASCII case): one of
// the table, or an API set (api-ms-win-*, ext-ms-*), which the loader
// resolves itself.
bool is_system_dll(const std::string &name);

}  // namespace tavrik
