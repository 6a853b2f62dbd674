#include "packer/platform/path_text.h"

namespace tavrik {

std::string shown_path(const std::filesystem::path &p) {
    std::string shown = "\"";
    shown += printable_path_text(p);
    shown += '"';
    return shown;
}

}  // namespace tavrik
