#include "packer/archive/packed_executable.h"

#include "packer/archive/attached_data.h"
#include "packer/archive/frame.h"
#include "packer/pe/attach.h"

namespace tavrik {

Result<Bytes> pack_executable(const Bytes &launcher, std::vector<ArchiveEntry> entries, int level, int threads,
                              PackProgress *progress) {
    auto archive = write_archive(entries);
    if (!archive) return archive;
    entries.clear();
    entries.shrink_to_fit();
    FrameProgress compressing;
    if (progress) {
        progress->archive_written(archive->size());
        compressing = [progress](uint64_t read, uint64_t compressed, uint64_t produced) {
            progress->compressing(read, compressed, produced);
        };
    }
    auto frame = compress_frame(*archive, level, threads, compressing);
    if (!frame) return frame;
    if (progress) progress->frame_done(frame->size());
    archive->clear();
    archive->shrink_to_fit();
    return attach_to_stub(launcher, make_attached_data(*frame));
}

}  // namespace tavrik
