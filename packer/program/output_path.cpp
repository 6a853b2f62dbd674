#include "packer/program/output_path.h"

#include <system_error>

#include "packer/platform/path_text.h"

namespace tavrik {

namespace {

const char *kind_of(std::filesystem::file_type type) {
    switch (type) {
    case std::filesystem::file_type::directory: return "a directory";
    case std::filesystem::file_type::fifo: return "a FIFO";
    case std::filesystem::file_type::block:
    case std::filesystem::file_type::character: return "a device";
    case std::filesystem::file_type::socket: return "a socket";
    default: return nullptr;
    }
}

}  // namespace

Status check_output_path(const std::filesystem::path &output, const char *role) {
    const std::string shown = std::string(role) + " " + shown_path(output);
    std::error_code ec;
    const auto status = std::filesystem::status(output, ec);
    if (std::filesystem::exists(status)) {
        if (std::filesystem::is_regular_file(status)) return Status::done();
        const char *kind = kind_of(status.type());
        return Error{shown + " is " + (kind ? std::string(kind) + ", not a regular file" : "not a regular file")};
    }
    const std::filesystem::path directory = output.parent_path();
    if (directory.empty()) return Status::done();  // the current directory
    const auto parent = std::filesystem::status(directory, ec);
    if (!std::filesystem::exists(parent)) {
        return Error{shown + ": directory " + shown_path(directory) + " does not exist"};
    }
    if (!std::filesystem::is_directory(parent)) {
        return Error{shown + ": " + shown_path(directory) + " is not a directory"};
    }
    return Status::done();
}

}  // namespace tavrik
