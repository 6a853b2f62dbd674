#pragma once
// A packed executable read from its file in pieces, as list, verify and
// extract read it: the headers are read and checked first (a file without
// "MZ" is refused after its first bytes), the launcher's own sections are
// held (they are small), and the attached data is streamed, so neither a
// large input nor an archive that decodes to far more than it takes on disk
// is ever held whole. Every error is a whole message naming the file.

#include <filesystem>

#include "packer/archive/archive.h"
#include "packer/archive/attached_data.h"
#include "packer/base/result.h"
#include "packer/pe/pe_image.h"
#include "packer/platform/file_io.h"

namespace tavrik {

// The launcher's headers and sections, all but the attached data, are read
// whole; a file whose launcher part is larger is refused.
constexpr uint64_t max_launcher_part = uint64_t{64} << 20;

class PackedFile {
public:
    // Reads and checks the headers, the .tavrik section's place and the
    // attached data's magic and trailer.
    static Result<PackedFile> open(const std::filesystem::path &path);
    // The same over a file already open (InputFile::in_memory for one held
    // in memory); `shown` names it in messages.
    static Result<PackedFile> open(InputFile file, const std::string &shown);

    // Parsed from launcher_part(), which holds the file up to the end of the
    // launcher's own sections.
    const PeImage &image() const { return image_; }
    const Bytes &launcher_part() const { return launcher_part_; }
    const AttachedLayout &layout() const { return layout_; }
    // Where the attached data starts in the file, and its length.
    uint64_t attached_offset() const { return attached_offset_; }
    uint64_t attached_size() const { return attached_size_; }
    uint64_t size() const { return file_.size(); }
    // The path as given, quoted for messages.
    const std::string &shown() const { return shown_; }

    // True when the recorded digest matches the magic and the frame, false
    // when the file has no digest; an error when it does not match.
    Result<bool> check_digest() const;
    // The PE checksum of the whole file, streamed.
    Result<uint32_t> checksum() const;
    // Decodes the archive, record by record, into `visitor`. Errors are the
    // decoder's or reader's reason, or the visitor's own, without the
    // file's name.
    Status read_archive(ArchiveVisitor &visitor) const;
    Result<Bytes> read_range(uint64_t offset, size_t length) const { return file_.read_range(offset, length); }

private:
    // Fills the layout's cached-mode fields when there is such a frame.
    Status find_cached_settings();

    InputFile file_;
    std::string shown_;
    Bytes launcher_part_;
    PeImage image_;
    uint64_t attached_offset_ = 0;  // where the attached data starts in the file
    uint64_t attached_size_ = 0;
    AttachedLayout layout_;
};

}  // namespace tavrik
