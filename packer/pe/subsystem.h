#pragma once
// The optional header's Subsystem field: whether Windows gives the program
// a console (and makes a shell wait for it) or treats it as a window program.

#include "packer/base/byte_io.h"
#include "packer/pe/pe_image.h"

namespace tavrik {

namespace pe {
constexpr size_t opt_subsystem = 68;
constexpr uint16_t subsystem_windows_gui = 2;
constexpr uint16_t subsystem_windows_console = 3;
}  // namespace pe

// parse_pe_image has checked that the optional header reaches its data
// directories, so the field (before them) is inside the file.
inline uint16_t subsystem_of(const Bytes &file, const PeImage &image) {
    return load_u16(file, image.optional_header_offset + pe::opt_subsystem);
}

inline void set_subsystem(Bytes &file, const PeImage &image, uint16_t subsystem) {
    store_u16(file, image.optional_header_offset + pe::opt_subsystem, subsystem);
}

}  // namespace tavrik
