#include "packer/packed/packed_executable.h"

#include "packer/archive/attached_data.h"
#include "packer/archive/frame.h"
#include "packer/archive/names.h"
#include "packer/pe/attach.h"

namespace tavrik {

Result<Bytes> pack_executable(const Bytes &launcher, std::vector<ArchiveEntry> entries, int level, int threads,
                              int window_log, PackProgress *progress, const CachedMode &cached) {
    auto archive = write_archive(entries);
    if (!archive) return archive;
    Result<Bytes> settings = Bytes();
    if (cached.enabled) settings = cached_settings_frame(cached, entries);
    if (!settings) return settings;
    uint64_t name_bytes = 0;
    for (const auto &entry : entries) name_bytes += 2 * uint64_t{entry.name.size()};
    const uint64_t records = entries.size();
    entries.clear();
    entries.shrink_to_fit();
    FrameProgress compressing;
    if (progress) {
        progress->archive_written(archive->size());
        compressing = [progress](uint64_t read, uint64_t compressed, uint64_t produced) {
            progress->compressing(read, compressed, produced);
        };
    }
    auto frame = compress_frame(*archive, level, threads, compressing, window_log);
    if (!frame) return frame;
    if (progress) progress->frame_done(frame->size());
    archive->clear();
    archive->shrink_to_fit();
    auto exe = attach_to_stub(launcher, make_attached_data(*frame, *settings));
    if (!exe) return exe;
    // What verify and extract will allow for a file of this size.
    const std::string too_many = names_budget_problem(records, name_bytes, name_limits_for(exe->size()));
    if (!too_many.empty()) return Error{too_many};
    return exe;
}

}  // namespace tavrik
