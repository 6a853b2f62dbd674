#pragma once
// The archive's records as code: the layout, the writer's encoding and one
// parser that the launcher, `tavrik-pack`, the benchmark and the fuzzers all
// read records through. No standard library beyond the C headers, so that
// the launcher can include it.
//
// A record is its name in UTF-16LE units (none of them zero), one zero
// unit, the size of its content as u64 LE, then that many bytes of content.
// Records follow each other; a lone zero unit where a name would start is
// the end record, and nothing may follow it. A list of names and sizes
// (Contents::absent) has the same records without their content.

#include <stddef.h>
#include <stdint.h>

namespace archive_records {

inline constexpr size_t unit_bytes = 2;
inline constexpr size_t size_bytes = 8;
inline constexpr size_t end_record_bytes = unit_bytes;
// The longest name a record may carry, in units: the launcher reads names
// into a buffer of max_name_units + 1 units (launcher/archive.h ties its
// buffer to this).
inline constexpr size_t max_name_units = 1023;

// What comes before a record's content: its name, the zero unit, the size.
inline constexpr uint64_t header_bytes(uint64_t name_units) { return unit_bytes * (name_units + 1) + size_bytes; }

// Writes the header of a record named by `units` units at `name` whose
// content is `size` bytes long; returns header_bytes(units).
inline size_t write_header(unsigned char *out, const char16_t *name, size_t units, uint64_t size) {
    unsigned char *at = out;
    for (size_t i = 0; i < units; ++i) {
        *at++ = static_cast<unsigned char>(name[i]);
        *at++ = static_cast<unsigned char>(name[i] >> 8);
    }
    *at++ = 0;
    *at++ = 0;
    for (size_t i = 0; i < size_bytes; ++i) *at++ = static_cast<unsigned char>(size >> (8 * i));
    return static_cast<size_t>(at - out);
}

inline void write_end_record(unsigned char *out) {
    out[0] = 0;
    out[1] = 0;
}

// Whether each record's content follows its size: it does in an archive,
// not in a list of names and sizes.
enum class Contents { follow, absent };

enum class Error {
    none,
    // The input ended where a name would start: no end record.
    ends_before_end_record,
    ends_inside_name,
    // A name of more than max_name_units units; name_units() says how many.
    name_too_long,
    ends_inside_size,
    // Fewer bytes of content than the record's size.
    ends_inside_content,
    // A byte after the end record.
    data_after_end_record,
};

// What next() has to tell.
enum class Event {
    // Every byte fed has been taken: feed more, or finish() at the input's end.
    need_input,
    // unit() is the next unit of the name. Only the first max_name_units
    // units of a name are told; a longer one fails when it ends.
    name_unit,
    // The name is whole (name_units() units) and its zero unit taken.
    name_end,
    // size() is the record's size; with Contents::absent, record_end follows.
    size,
    // content() and content_length(): the next piece of content, pointing
    // into the bytes fed.
    content,
    // All of the record's content has been told.
    record_end,
    // The end record has been taken; a byte fed after it fails.
    archive_end,
    // error() says why; nothing more is taken.
    failed,
};

// A push parser: feed() it bytes, then call next() until it returns
// Event::need_input. It keeps nothing of the input but a partial unit or
// size, so the bytes fed may be split anywhere. A reader that must not read
// past the end record (the launcher) feeds exactly wanted() bytes at a time.
struct RecordParser {
    explicit constexpr RecordParser(Contents contents = Contents::follow) : contents_(contents) {}

    void feed(const unsigned char *data, size_t length) {
        at_ = data;
        end_ = data + length;
    }

    Event next() {
        for (;;) {
            switch (state_) {
            case State::name: {
                if (!gather(unit_bytes)) return Event::need_input;
                unit_ = static_cast<uint16_t>(pending_[0] | (pending_[1] << 8));
                pending_length_ = 0;
                if (unit_ != 0) {
                    // Units past the limit are counted, not told.
                    if (++name_units_ <= max_name_units) return Event::name_unit;
                    continue;
                }
                if (name_units_ == 0) {
                    state_ = State::ended;
                    return Event::archive_end;
                }
                if (name_units_ > max_name_units) return fail(Error::name_too_long);
                state_ = State::size;
                return Event::name_end;
            }
            case State::size:
                if (!gather(size_bytes)) return Event::need_input;
                size_ = 0;
                for (size_t i = size_bytes; i-- > 0;) size_ = (size_ << 8) | pending_[i];
                pending_length_ = 0;
                content_left_ = contents_ == Contents::follow ? size_ : 0;
                state_ = State::content;
                return Event::size;
            case State::content: {
                if (content_left_ == 0) {
                    state_ = State::name;
                    name_units_ = 0;
                    return Event::record_end;
                }
                if (at_ == end_) return Event::need_input;
                const size_t available = static_cast<size_t>(end_ - at_);
                content_length_ = content_left_ < available ? static_cast<size_t>(content_left_) : available;
                content_ = at_;
                at_ += content_length_;
                content_left_ -= content_length_;
                return Event::content;
            }
            case State::ended:
                if (at_ != end_) return fail(Error::data_after_end_record);
                return Event::need_input;
            case State::failed:
                return Event::failed;
            }
        }
    }

    // How many bytes the parser takes before it has something to tell: the
    // rest of a unit, of a size, or of the content (0 when next() needs no
    // input, and after the end record).
    uint64_t wanted() const {
        switch (state_) {
        case State::name: return unit_bytes - pending_length_;
        case State::size: return size_bytes - pending_length_;
        case State::content: return content_left_;
        default: return 0;
        }
    }

    // Once next() has returned Event::need_input and no input is left:
    // Error::none when the archive ended whole with its end record.
    Error finish() {
        switch (state_) {
        case State::name:
            fail(name_units_ == 0 ? Error::ends_before_end_record : Error::ends_inside_name);
            break;
        case State::size: fail(Error::ends_inside_size); break;
        case State::content:
            fail(content_left_ > 0 ? Error::ends_inside_content : Error::ends_before_end_record);
            break;
        case State::ended:
        case State::failed: break;
        }
        return error_;
    }

    uint16_t unit() const { return unit_; }
    // The units of the name so far, every one counted.
    uint64_t name_units() const { return name_units_; }
    uint64_t size() const { return size_; }
    const unsigned char *content() const { return content_; }
    size_t content_length() const { return content_length_; }
    Error error() const { return error_; }

private:
    enum class State { name, size, content, ended, failed };

    // Collects bytes into `pending_` up to `count`; true once there are.
    bool gather(size_t count) {
        while (pending_length_ < count && at_ != end_) pending_[pending_length_++] = *at_++;
        return pending_length_ == count;
    }

    Event fail(Error error) {
        state_ = State::failed;
        error_ = error;
        return Event::failed;
    }

    Contents contents_;
    State state_ = State::name;
    Error error_ = Error::none;
    // The bytes fed and not yet taken.
    const unsigned char *at_ = nullptr;
    const unsigned char *end_ = nullptr;
    // A unit or size whose bytes came in more than one feed.
    unsigned char pending_[size_bytes] = {};
    size_t pending_length_ = 0;
    uint16_t unit_ = 0;
    uint64_t name_units_ = 0;
    uint64_t size_ = 0;
    uint64_t content_left_ = 0;
    const unsigned char *content_ = nullptr;
    size_t content_length_ = 0;
};

}  // namespace archive_records
