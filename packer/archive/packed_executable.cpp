#include "packer/archive/packed_executable.h"

#include "packer/archive/attached_data.h"
#include "packer/archive/frame.h"
#include "packer/pe/attach.h"

namespace tavrik {

Result<Bytes> pack_executable(const Bytes &stub, const std::vector<ArchiveEntry> &entries, int level,
                              int threads, int window_log) {
    auto archive = write_archive(entries);
    if (!archive) return archive;
    auto frame = compress_frame(*archive, level, threads, nullptr, window_log);
    if (!frame) return frame;
    return attach_to_stub(stub, make_attached_data(*frame));
}

Result<std::vector<ArchiveEntry>> unpack_executable(const Bytes &exe) {
    auto attached = find_attached_data(exe);
    if (!attached) return Error{attached.error()};
    auto frame = frame_from_attached_data(*attached);
    if (!frame) return Error{frame.error()};
    auto archive = decompress_frame(*frame);
    if (!archive) return Error{archive.error()};
    return parse_archive(*archive);
}

}  // namespace tavrik
