#pragma once
// Adding the attached data to the launcher stub as one more PE section, and
// finding it again. The launcher locates its data through its own section
// table (ImageBase + VirtualAddress, VirtualSize bytes), so the new
// section's VirtualSize is the data's exact length.

#include "packer/base/byte_io.h"
#include "packer/base/result.h"
#include "packer/pe/pe_image.h"

namespace tavrik {

constexpr char attached_section_name[] = ".tavrik";
// IMAGE_SCN_CNT_INITIALIZED_DATA | IMAGE_SCN_MEM_READ
constexpr uint32_t attached_section_characteristics = 0x40000040;

// Returns a new image: the stub unchanged except for the extended headers
// (one more section header, NumberOfSections, SizeOfImage,
// SizeOfInitializedData, CheckSum) and the section data appended at the end.
// Refuses stubs it cannot extend safely: not PE32+ x86-64, signed, with data
// after the last section, without room for another section header, or
// already carrying the section.
Result<Bytes> attach_to_stub(const Bytes &stub, const Bytes &attached_data);

// The .tavrik section of a packed executable, whose first VirtualSize bytes
// of stored data are the attached data.
Result<PeSection> attached_section(const PeImage &image);

// The section's bytes (VirtualSize of them) from a packed executable.
Result<Bytes> find_attached_data(const Bytes &exe);

}  // namespace tavrik
