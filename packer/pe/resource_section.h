#pragma once
// Replacing an image's resource section with one built from a new list of
// resources, without a linker: the section keeps its place and address and
// takes the size it needs. A linker puts the base relocations after the
// resources, so a .reloc section that follows is moved up or down behind it
// (nothing refers into it but its data directory); any other section after
// the resources, or data directories pointing past them, are refused.

#include <vector>

#include "packer/base/byte_io.h"
#include "packer/base/result.h"
#include "packer/pe/resources.h"

namespace tavrik {

// The image with the new resources, every header field that depends on the
// section's size updated (section sizes, .reloc's place and directory,
// SizeOfImage, SizeOfInitializedData, CheckSum). The reason for a refusal
// completes "cannot rewrite the resources of this stub: ".
Result<Bytes> replace_resources(const Bytes &file, const std::vector<Resource> &resources);

}  // namespace tavrik
