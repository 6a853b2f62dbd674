#include "packer/packed/packed_file.h"

#include "format/cached_settings.h"

#include <algorithm>

#include "packer/archive/frame.h"
#include "packer/archive/sha256.h"
#include "packer/pe/attach.h"
#include "packer/pe/pe_checksum.h"
#include "packer/platform/path_text.h"

namespace tavrik {

namespace {

constexpr size_t first_read = 4096;
constexpr size_t stream_piece = size_t{1} << 20;

// Feeds `length` bytes of `file` from `offset` to `use`, a piece at a time.
template <class Use>
Status stream_range(const InputFile &file, uint64_t offset, uint64_t length, Use use) {
    Bytes piece(static_cast<size_t>(std::min<uint64_t>(length, stream_piece)));
    while (length > 0) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(length, piece.size()));
        auto read = file.read_at(offset, piece.data(), n);
        if (!read) return read;
        use(piece.data(), n);
        offset += n;
        length -= n;
    }
    return Status::done();
}

}  // namespace

Result<PackedFile> PackedFile::open(const std::filesystem::path &path) {
    auto input = InputFile::open(path);
    if (!input) return Error{input.error()};
    return open(std::move(*input), shown_path(path));
}

Result<PackedFile> PackedFile::open(InputFile input, const std::string &shown) {
    PackedFile packed;
    packed.file_ = std::move(input);
    packed.shown_ = shown;
    const std::string not_packed = packed.shown_ + " is not a packed executable: ";
    const InputFile &file = packed.file_;

    auto start = file.read_range(0, static_cast<size_t>(std::min<uint64_t>(file.size(), first_read)));
    if (!start) return Error{start.error()};
    if (start->size() < 2 || (*start)[0] != 'M' || (*start)[1] != 'Z') {
        return Error{not_packed + "not a Windows executable (no MZ header)"};
    }
    const uint64_t headers = std::min(file.size(), pe_headers_extent(*start));
    if (headers > start->size() && headers <= max_launcher_part) {
        start = file.read_range(0, static_cast<size_t>(headers));
        if (!start) return Error{start.error()};
    }
    auto headers_image = parse_pe_image(*start, file.size());
    if (!headers_image) return Error{not_packed + headers_image.error()};
    auto section = attached_section(*headers_image);
    if (!section) return Error{packed.shown_ + ": " + section.error()};

    uint64_t launcher_end = headers_image->size_of_headers;
    for (const auto &s : headers_image->sections) {
        if (s.name != packed_format::section_name && s.raw_size != 0) {
            launcher_end = std::max<uint64_t>(launcher_end, uint64_t{s.raw_offset} + s.raw_size);
        }
    }
    if (launcher_end > max_launcher_part) {
        return Error{not_packed + "its launcher part takes more than " + std::to_string(max_launcher_part >> 20) +
                     " MiB"};
    }
    auto launcher = file.read_range(0, static_cast<size_t>(launcher_end));
    if (!launcher) return Error{launcher.error()};
    packed.launcher_part_ = std::move(*launcher);
    auto image = parse_pe_image(packed.launcher_part_, file.size());
    if (!image) return Error{not_packed + image.error()};
    packed.image_ = std::move(*image);

    packed.attached_offset_ = section->raw_offset;
    packed.attached_size_ = section->virtual_size;
    const uint64_t tail_size = std::min<uint64_t>(packed.attached_size_, attached_tail_size);
    auto head = file.read_range(packed.attached_offset_,
                                static_cast<size_t>(std::min<uint64_t>(packed.attached_size_, attached_magic_size)));
    if (!head) return Error{head.error()};
    auto tail = file.read_range(packed.attached_offset_ + packed.attached_size_ - tail_size,
                                static_cast<size_t>(tail_size));
    if (!tail) return Error{tail.error()};
    auto layout = attached_layout(*head, *tail, packed.attached_size_);
    if (!layout) return Error{packed.shown_ + " is damaged: " + layout.error()};
    packed.layout_ = *layout;
    auto found = packed.find_cached_settings();
    if (!found) return Error{found.error()};
    return packed;
}

// The cached-mode frame ends where the digest begins, and says there how
// long it is.
Status PackedFile::find_cached_settings() {
    const uint64_t floor = attached_magic_size, end = layout_.frame_end;
    if (end < floor + cached_settings::frame_header_size + cached_settings::footer_size) return Status::done();
    auto footer = file_.read_range(attached_offset_ + end - cached_settings::footer_size, cached_settings::footer_size);
    if (!footer) return Error{footer.error()};
    const uint32_t frame_size = packed_format::load_u32(footer->data());
    if (frame_size < cached_settings::frame_header_size + cached_settings::footer_size || frame_size > end - floor) {
        return Status::done();
    }
    auto frame = file_.read_range(attached_offset_ + end - frame_size, frame_size);
    if (!frame) return Error{frame.error()};
    const unsigned char *content = nullptr;
    size_t content_size = 0;
    if (!cached_settings::find_frame(frame->data(), frame->data() + frame->size(), content, content_size)) {
        return Status::done();
    }
    layout_.cached = true;
    layout_.archive_end = end - frame_size;
    layout_.cached_settings.assign(content, content + content_size);
    return Status::done();
}

Result<bool> PackedFile::check_digest() const {
    if (!layout_.has_digest) return false;
    Sha256 hash;
    auto read = stream_range(file_, attached_offset_, layout_.frame_end,
                             [&](const uint8_t *data, size_t n) { hash.update(data, n); });
    if (!read) return Error{read.error()};
    if (hash.finish() != layout_.digest) return Error{shown_ + " is damaged: " + digest_mismatch};
    return true;
}

Result<uint32_t> PackedFile::checksum() const {
    PeChecksum sum(image_.optional_header_offset + pe::opt_checksum);
    auto read = stream_range(file_, 0, file_.size(), [&](const uint8_t *data, size_t n) { sum.update(data, n); });
    if (!read) return Error{read.error()};
    return sum.finish();
}

Status PackedFile::read_archive(ArchiveVisitor &visitor) const {
    uint64_t at = attached_offset_ + attached_magic_size;
    const uint64_t end = attached_offset_ + layout_.archive_end;
    FrameDecoder decoder([&](uint8_t *buffer, size_t capacity) -> Result<size_t> {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(capacity, end - at));
        auto read = file_.read_at(at, buffer, n);
        if (!read) return Error{read.error()};
        at += n;
        return n;
    });
    const ArchiveSource source = [&](uint8_t *buffer, size_t capacity) { return decoder.read(buffer, capacity); };
    return tavrik::read_archive(source, visitor);
}

}  // namespace tavrik
