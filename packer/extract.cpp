#include "packer/extract.h"

#include <string>
#include <vector>

#include "packer/names.h"
#include "packer/safe_files.h"

namespace tavrik {

namespace {

struct Record {
    std::u16string name;
    uint64_t size;
};

class RecordList : public ArchiveVisitor {
public:
    Result<bool> begin_file(const std::u16string &name, uint64_t size) override {
        records.push_back({name, size});
        return true;
    }
    std::vector<Record> records;
};

// Writes what the second reading decodes; the archive must be the one the
// first reading checked.
class Writer : public ArchiveVisitor {
public:
    Writer(const std::vector<Record> &records, ExtractDirectory &directory, const std::string &shown)
        : records_(records), directory_(directory), shown_(shown) {}

    Result<bool> begin_file(const std::u16string &name, uint64_t size) override {
        if (index_ >= records_.size() || records_[index_].name != name || records_[index_].size != size) {
            return fail(shown_ + " changed while it was being extracted");
        }
        ++index_;
        auto begun = directory_.begin_file(name);
        if (!begun) return fail(begun.error());
        return true;
    }
    Result<bool> file_bytes(const uint8_t *data, size_t size) override {
        auto written = directory_.write(data, size);
        if (!written) return fail(written.error());
        return true;
    }
    Result<bool> end_file() override {
        auto ended = directory_.end_file();
        if (!ended) return fail(ended.error());
        return true;
    }

    size_t files_begun() const { return index_; }

    // Set when the failure is the writer's own, not the archive's.
    std::string refusal;

private:
    Error fail(const std::string &why) {
        refusal = why;
        return Error{why};
    }

    const std::vector<Record> &records_;
    ExtractDirectory &directory_;
    const std::string &shown_;
    size_t index_ = 0;
};

}  // namespace

Result<size_t> extract_packed(const PackedFile &packed, const std::filesystem::path &directory, bool force) {
    auto digest = packed.check_digest();
    if (!digest) return Error{digest.error()};
    RecordList list;
    auto read = packed.read_archive(list);
    if (!read) return Error{packed.shown() + " is damaged: " + read.error()};
    std::vector<std::u16string> names;
    names.reserve(list.records.size());
    for (const auto &record : list.records) names.push_back(record.name);
    const std::string problem = names_problem(names);
    if (!problem.empty()) return Error{problem};
    names.clear();
    names.shrink_to_fit();

    auto target = ExtractDirectory::open(directory, force);
    if (!target) return Error{target.error()};
    Writer writer(list.records, **target, packed.shown());
    read = packed.read_archive(writer);
    if (!read) return Error{writer.refusal.empty() ? packed.shown() + " is damaged: " + read.error() : writer.refusal};
    if (writer.files_begun() != list.records.size()) {
        return Error{packed.shown() + " changed while it was being extracted"};
    }
    return list.records.size();
}

}  // namespace tavrik
