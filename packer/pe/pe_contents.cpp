#include "packer/pe/pe_contents.h"

#include "packer/pe/resources.h"
#include "packer/pe/version_info.h"

namespace tavrik {

Result<std::u16string> version_string(const Bytes &file, const PeImage &image, const std::u16string &key) {
    auto resources = read_resources(file, image);
    if (!resources) return Error{resources.error()};
    for (const auto &resource : *resources) {
        if (!resource.type.is(resource_type::version)) continue;
        auto info = parse_version_info(resource.data);
        if (!info) continue;
        for (const auto &[name, value] : info->strings) {
            if (name == key) return value;
        }
    }
    return std::u16string();
}

}  // namespace tavrik
