#include "packer/archive/archive.h"

#include <algorithm>

#include "packer/archive/names.h"

namespace tavrik {

namespace {

constexpr size_t read_buffer_size = size_t{1} << 16;

// Buffered reads from an ArchiveSource.
class SourceReader {
public:
    explicit SourceReader(const ArchiveSource &source) : source_(source), buffer_(read_buffer_size) {}

    // Bytes ready to be taken; refills when none are. Empty at the end.
    Result<bool> fill() {
        if (at_ < size_) return true;
        auto got = source_(buffer_.data(), buffer_.size());
        if (!got) return Error{got.error()};
        at_ = 0;
        size_ = std::min(*got, buffer_.size());
        return size_ > 0;
    }
    const uint8_t *data() const { return buffer_.data() + at_; }
    size_t available() const { return size_ - at_; }
    void take(size_t n) { at_ += n; }

    // Exactly `n` bytes (n <= 8); false when the archive ends first.
    Result<bool> read(uint8_t *out, size_t n) {
        for (size_t done = 0; done < n;) {
            auto more = fill();
            if (!more) return more;
            if (!*more) return false;
            const size_t k = std::min(n - done, available());
            std::copy(data(), data() + k, out + done);
            take(k);
            done += k;
        }
        return true;
    }

private:
    const ArchiveSource &source_;
    Bytes buffer_;
    size_t at_ = 0;
    size_t size_ = 0;
};

}  // namespace

Result<bool> ArchiveVisitor::file_bytes(const uint8_t *, size_t) { return true; }

Result<bool> ArchiveVisitor::end_file() { return true; }

Result<bool> ArchiveCollector::begin_file(const std::u16string &name, uint64_t size) {
    entries.push_back({name, {}});
    // A declared size is not trusted further than the bound.
    entries.back().content.reserve(static_cast<size_t>(std::min<uint64_t>(size, size_bound_)));
    return true;
}

Result<bool> ArchiveCollector::file_bytes(const uint8_t *data, size_t size) {
    entries.back().content.insert(entries.back().content.end(), data, data + size);
    return true;
}

Result<bool> check_entries(const std::vector<ArchiveEntry> &entries) {
    std::vector<std::u16string> names;
    names.reserve(entries.size());
    for (const auto &entry : entries) names.push_back(entry.name);
    const std::string problem = names_problem(names);
    if (!problem.empty()) return Error{problem};
    return true;
}

Result<Bytes> write_archive(const std::vector<ArchiveEntry> &entries) {
    auto checked = check_entries(entries);
    if (!checked) return Error{checked.error()};
    uint64_t total = 2;
    for (const auto &entry : entries) total += 2 * (entry.name.size() + 1) + 8 + entry.content.size();

    Bytes out;
    out.reserve(total);
    for (const auto &entry : entries) {
        for (char16_t unit : entry.name) append_u16(out, unit);
        append_u16(out, 0);
        append_u64(out, entry.content.size());
        out.insert(out.end(), entry.content.begin(), entry.content.end());
    }
    append_u16(out, 0);
    return out;
}

Result<bool> read_archive(const ArchiveSource &source, ArchiveVisitor &visitor) {
    SourceReader in(source);
    std::u16string name;
    while (true) {
        uint8_t unit[2];
        auto got = in.read(unit, 2);
        if (!got) return got;
        if (!*got) return Error{"archive ends without its end record"};
        if (unit[0] == 0 && unit[1] == 0) break;
        // Only the first units of an over-long name are kept: it is
        // refused anyway, but its length is part of the message.
        name.assign(1, static_cast<char16_t>(unit[0] | (unit[1] << 8)));
        uint64_t units = 1;
        while (true) {
            got = in.read(unit, 2);
            if (!got) return got;
            if (!*got) return Error{"archive ends inside a name"};
            const char16_t c = static_cast<char16_t>(unit[0] | (unit[1] << 8));
            if (c == 0) break;
            if (++units <= max_name_units) name.push_back(c);
        }
        if (units > max_name_units) return Error{long_name_problem(name, units)};
        uint8_t size_bytes[8];
        got = in.read(size_bytes, 8);
        if (!got) return got;
        if (!*got) return Error{"archive ends inside a size"};
        uint64_t size = 0;
        for (int i = 7; i >= 0; --i) size = (size << 8) | size_bytes[i];
        auto told = visitor.begin_file(name, size);
        if (!told) return told;
        for (uint64_t left = size; left > 0;) {
            got = in.fill();
            if (!got) return got;
            if (!*got) return Error{"record " + shown_name(name) + " runs past the end of the archive"};
            const size_t n = static_cast<size_t>(std::min<uint64_t>(left, in.available()));
            told = visitor.file_bytes(in.data(), n);
            if (!told) return told;
            in.take(n);
            left -= n;
        }
        told = visitor.end_file();
        if (!told) return told;
    }
    auto more = in.fill();
    if (!more) return more;
    if (*more) return Error{"data after the archive's end record"};
    return true;
}

Result<std::vector<ArchiveEntry>> parse_archive(const Bytes &archive) {
    size_t at = 0;
    const ArchiveSource source = [&](uint8_t *buffer, size_t capacity) -> Result<size_t> {
        const size_t n = std::min(capacity, archive.size() - at);
        std::copy(archive.begin() + at, archive.begin() + at + n, buffer);
        at += n;
        return n;
    };
    ArchiveCollector collector(archive.size());
    auto read = read_archive(source, collector);
    if (!read) return Error{read.error()};
    return std::move(collector.entries);
}

}  // namespace tavrik
