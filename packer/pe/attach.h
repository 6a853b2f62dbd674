#pragma once
// Adding the attached data to the launcher stub as one more PE section, and
// finding it again. The launcher locates its data through its own section
// table (ImageBase + VirtualAddress, VirtualSize bytes), so the new
// section's VirtualSize is the data's exact length.

#include "format/packed_format.h"
#include "packer/base/byte_io.h"
#include "packer/base/result.h"
#include "packer/pe/pe_image.h"

namespace tavrik {

// Returns a new image: the stub unchanged except for the extended headers
// (one more section header, NumberOfSections, SizeOfImage,
// SizeOfInitializedData, CheckSum) and the section data appended at the end.
// Refuses stubs it cannot extend safely: not PE32+ x86-64, with a COFF
// symbol table or data after the last section, without room for another
// section header. The stub must have passed check_launcher_stub
// (packer/program/image_roles.h), which refuses a signed stub and one that
// already carries the section.
Result<Bytes> attach_to_stub(const Bytes &stub, const Bytes &attached_data);

// The .tavrik section of a packed executable, whose first VirtualSize bytes
// of stored data are the attached data.
Result<PeSection> attached_section(const PeImage &image);

// What the packer writes into the .tavrik section's header and a reader of
// a packed executable can check: its flags (initialized data, read access,
// nothing else), and that it is the last section. "" when both hold.
std::string attached_section_problem(const PeImage &image);

}  // namespace tavrik
