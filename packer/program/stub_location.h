#pragma once
// Where the packer looks for the launcher stub when --stub is not given.

#include <filesystem>
#include <string>
#include <vector>

namespace tavrik {

constexpr char stub_file_name[] = "tavrik-launcher.exe";

// The running packer's own path: /proc/self/exe on Linux, otherwise argv[0]
// made absolute (may be empty when neither is known).
std::filesystem::path packer_executable_path(const char *argv0);

// In order: beside the packer, then the Windows build tree next to the
// packer's own build tree (build/host/.. -> build/windows), then where
// `cmake --install` puts the stub (bin/.. -> share/tavrik).
std::vector<std::filesystem::path> default_stub_candidates(const std::filesystem::path &packer_path);

}  // namespace tavrik
