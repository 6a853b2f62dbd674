#pragma once
// The requested execution level in an application manifest (RT_MANIFEST):
// the level attribute of its one requestedExecutionLevel element. The rest
// of the manifest is left byte for byte as it is.

#include <string>

#include "packer/base/byte_io.h"
#include "packer/base/result.h"

namespace tavrik {

// asInvoker, highestAvailable or requireAdministrator.
bool is_execution_level(const std::string &level);

Result<std::string> execution_level(const Bytes &manifest);

// The manifest with the level attribute's value replaced.
Result<Bytes> with_execution_level(const Bytes &manifest, const std::string &level);

}  // namespace tavrik
