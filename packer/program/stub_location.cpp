#include "packer/program/stub_location.h"

#include <system_error>

#include "packer/platform/path_text.h"

namespace tavrik {

std::filesystem::path packer_executable_path(const char *argv0) {
    auto self = running_executable_path();
    if (!self.empty()) return self;
    std::error_code ec;
    if (argv0 == nullptr || *argv0 == 0) return {};
    auto relative = path_from_utf8(argv0);
    if (!relative) return {};
    auto absolute = std::filesystem::absolute(*relative, ec);
    return ec ? std::filesystem::path() : absolute;
}

std::vector<std::filesystem::path> default_stub_candidates(const std::filesystem::path &packer_path) {
    if (packer_path.empty()) return {};
    const auto dir = packer_path.parent_path();
    const auto stub = ascii_path(stub_file_name);
    const auto up = dir / ascii_path("..");
    return {dir / stub, (up / ascii_path("windows") / stub).lexically_normal(),
            (up / ascii_path("share") / ascii_path("tavrik") / stub).lexically_normal()};
}

}  // namespace tavrik
