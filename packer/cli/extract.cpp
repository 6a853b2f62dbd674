// extract: writing a packed executable's files into a directory, for
// inspection.

#include <ostream>
#include <string>
#include <vector>

#include "packer/archive/names.h"
#include "packer/cli/commands.h"
#include "packer/extraction/extract_directory.h"
#include "packer/packed/packed_file.h"
#include "packer/platform/path_text.h"
#include "packer/platform/platform.h"

namespace tavrik {

namespace {

// The first reading: every name checked as it arrives (NameSet, within the
// limits of the file's size, and what this system cannot store) and kept
// once, with the sizes.
class RecordList : public ArchiveVisitor {
public:
    explicit RecordList(const NameLimits &limits) : names(limits) {}
    Status begin_file(const std::u16string &name, uint64_t size) override {
        refusal = names.add(name);
        if (refusal.empty()) refusal = local_name_problem(name);
        if (!refusal.empty()) return Error{refusal};
        sizes.push_back(size);
        return Status::done();
    }
    NameSet names;
    std::vector<uint64_t> sizes;
    std::string refusal;  // set when the failure is a name's, not the archive's
};

// Writes what the second reading decodes; the archive must be the one the
// first reading checked.
class Writer : public ArchiveVisitor {
public:
    Writer(const RecordList &records, ExtractDirectory &directory, const std::string &shown)
        : records_(records), directory_(directory), shown_(shown) {}

    Status begin_file(const std::u16string &name, uint64_t size) override {
        if (index_ >= records_.sizes.size() || records_.sizes[index_] != size || !records_.names.holds(name, index_)) {
            return fail(shown_ + " changed while it was being extracted");
        }
        ++index_;
        auto begun = directory_.begin_file(name);
        if (!begun) return fail(begun.error());
        return Status::done();
    }
    Status file_bytes(const uint8_t *data, size_t size) override {
        auto written = directory_.write(data, size);
        if (!written) return fail(written.error());
        return Status::done();
    }
    Status end_file() override {
        auto ended = directory_.end_file();
        if (!ended) return fail(ended.error());
        return Status::done();
    }

    size_t files_begun() const { return index_; }

    // Set when the failure is the writer's own, not the archive's.
    std::string refusal;

private:
    Error fail(const std::string &why) {
        refusal = why;
        return Error{why};
    }

    const RecordList &records_;
    ExtractDirectory &directory_;
    const std::string &shown_;
    size_t index_ = 0;
};

// Reads the archive twice. First whole, checking the digest, the structure
// and every name, so that nothing is written for damaged content or an
// unsafe name; a name can then only lead below `directory`. Then again,
// writing each file as it is decoded, through ExtractDirectory
// (packer/platform/platform.h: no link followed, --force replaces files),
// which at the end confirms that every directory it wrote into is still
// below `directory`. Holds the names once and the decoder's window, never a
// file's content. Returns the number of files written.
Result<size_t> extract_packed(const PackedFile &packed, const std::filesystem::path &directory, bool force) {
    auto digest = packed.check_digest();
    if (!digest) return Error{digest.error()};
    RecordList list(name_limits_for(packed.size()));
    auto read = packed.read_archive(list);
    if (!read) {
        return Error{list.refusal.empty() ? packed.shown() + " is damaged: " + read.error()
                                          : packed.shown() + ": " + list.refusal};
    }
    const std::string problem = list.names.finish();
    if (!problem.empty()) return Error{packed.shown() + ": " + problem};

    auto target = ExtractDirectory::open(directory, force);
    if (!target) return Error{target.error()};
    Writer writer(list, **target, packed.shown());
    read = packed.read_archive(writer);
    if (!read) return Error{writer.refusal.empty() ? packed.shown() + " is damaged: " + read.error() : writer.refusal};
    if (writer.files_begun() != list.sizes.size()) {
        return Error{packed.shown() + " changed while it was being extracted"};
    }
    auto finished = (*target)->finish();
    if (!finished) return Error{finished.error()};
    return list.sizes.size();
}

}  // namespace

Status extract(const PackOptions &options, std::ostream &out) {
    auto packed = PackedFile::open(options.packed);
    if (!packed) return Error{packed.error()};
    auto written = extract_packed(*packed, options.directory, options.force);
    if (!written) return Error{written.error()};
    if (options.quiet) return Status::done();
    out << "extracted " << *written << (*written == 1 ? " file" : " files") << " into "
        << shown_path(options.directory) << '\n';
    return Status::done();
}

}  // namespace tavrik
