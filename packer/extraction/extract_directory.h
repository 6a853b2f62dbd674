#pragma once
// Where `extract` may write and how: below one directory, each directory on
// the way opened from the one above and held while files are written into
// it, each file new, and every held directory checked to be still where its
// name says before it is let go. The file-system calls are the platform's
// primitives (packer/platform/platform.h).

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "packer/base/result.h"

namespace tavrik {

// The directory `extract` writes below; it may act nowhere else.
class ExtractDirectory {
public:
    // Opens `directory` as open_extract_root does. With `force`, an existing
    // file is replaced by a new one (create_file_below).
    static Result<std::unique_ptr<ExtractDirectory>> open(const std::filesystem::path &directory, bool force);
    ~ExtractDirectory();

    // Starts the file `name` (a checked archive name, "\" between
    // components), creating its directories. The directories it shares with
    // the file before are kept; the others are checked and let go.
    Status begin_file(const std::u16string &name);
    Status write(const uint8_t *data, size_t size);
    Status end_file();
    // Confirms that every directory written into is still where its name
    // says, below the directory, which is still the one opened: one moved
    // away meanwhile took files outside with it. Each directory is checked
    // when it is let go and the last ones here; an error when any moved.
    Status finish();

    struct State;

private:
    explicit ExtractDirectory(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

}  // namespace tavrik
