#include <gtest/gtest.h>

#include <string>

#include "format/archive_records.h"
#include "packer/archive/archive.h"
#include "packer/base/utf.h"

using tavrik::ArchiveEntry;
using tavrik::Bytes;
using tavrik::parse_archive;
using tavrik::write_archive;

namespace {

Bytes pattern(size_t size, uint8_t seed) {
    Bytes b(size);
    for (size_t i = 0; i < size; ++i) b[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
    return b;
}

void append_unit(Bytes &b, char16_t unit) {
    b.push_back(static_cast<uint8_t>(unit));
    b.push_back(static_cast<uint8_t>(unit >> 8));
}

// A record's bytes spelled out here, apart from the writer: name units,
// zero unit, u64 LE size, then `content` (which need not be `size` long).
Bytes record(const std::u16string &name, uint64_t size, const Bytes &content = {}) {
    Bytes b;
    for (char16_t unit : name) append_unit(b, unit);
    append_unit(b, 0);
    for (int i = 0; i < 8; ++i) b.push_back(static_cast<uint8_t>(size >> (8 * i)));
    b.insert(b.end(), content.begin(), content.end());
    return b;
}

Bytes operator+(Bytes a, const Bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const Bytes end_record = {0, 0};

// How the bytes reach the parser.
enum class Feeding {
    whole,
    byte_by_byte,
    // Exactly what wanted() asks for, as the launcher reads; what is left
    // after the end record comes in one piece.
    as_wanted,
};

// Everything the parser tells about `input`, one line per record
// ("name size content-in-hex"), then "end" and the error it stops with.
// With Feeding::as_wanted, `fed_at_end` gets the bytes fed when the end
// record was told.
std::string parse_log(const Bytes &input, archive_records::Contents contents, Feeding feeding,
                      size_t &fed_at_end) {
    using archive_records::Event;
    archive_records::RecordParser records(contents);
    std::string log, name, content;
    size_t fed = 0;
    static const char hex[] = "0123456789abcdef";
    for (;;) {
        switch (records.next()) {
        case Event::need_input: {
            if (fed == input.size()) return log + "error " + std::to_string(static_cast<int>(records.finish()));
            size_t n = input.size() - fed;
            if (feeding == Feeding::byte_by_byte) n = 1;
            if (feeding == Feeding::as_wanted && records.wanted() != 0)
                n = static_cast<size_t>(std::min<uint64_t>(n, records.wanted()));
            records.feed(input.data() + fed, n);
            fed += n;
            break;
        }
        case Event::name_unit: name.push_back(static_cast<char>(records.unit())); break;
        case Event::name_end: log += name + " "; break;
        case Event::size: log += std::to_string(records.size()) + " "; break;
        case Event::content:
            for (size_t i = 0; i < records.content_length(); ++i) {
                content.push_back(hex[records.content()[i] >> 4]);
                content.push_back(hex[records.content()[i] & 15]);
            }
            break;
        case Event::record_end:
            log += content + "\n";
            name.clear();
            content.clear();
            break;
        case Event::archive_end:
            log += "end\n";
            fed_at_end = fed;
            break;
        case Event::failed:
            return log + "failed " + std::to_string(static_cast<int>(records.error())) + " after " +
                   std::to_string(records.name_units()) + " name units";
        }
    }
}

}  // namespace

// The record parser tells the same events and stops at the same point
// however its input is split, and a reader that feeds it what it wants
// never reads past the end record.
TEST(RecordParser, TellsRecordsAndErrorsAlikeForEverySplit) {
    using archive_records::Contents;
    using E = archive_records::Error;
    auto error = [](E e) { return "error " + std::to_string(static_cast<int>(e)); };
    auto failed = [](E e, int units) {
        return "failed " + std::to_string(static_cast<int>(e)) + " after " + std::to_string(units) + " name units";
    };
    const std::u16string longest(1023, u'n');
    struct Case {
        const char *what;
        Bytes input;
        Contents contents;
        std::string log;
        size_t trailing;  // bytes after the end record
    };
    const Case cases[] = {
        {"end record alone", end_record, Contents::follow, "end\n" + error(E::none), 0},
        {"two records", record(u"a", 2, {1, 0xAB}) + record(u"b\\c", 0) + end_record, Contents::follow,
         "a 2 01ab\nb\\c 0 \nend\n" + error(E::none), 0},
        {"longest name", record(longest, 1, {7}) + end_record, Contents::follow,
         std::string(1023, 'n') + " 1 07\nend\n" + error(E::none), 0},
        {"list without content", record(u"x", 5) + record(u"yz", UINT64_MAX) + end_record, Contents::absent,
         "x 5 \nyz 18446744073709551615 \nend\n" + error(E::none), 0},
        {"list read as an archive", record(u"x", 5) + end_record, Contents::follow,
         "x 5 " + error(E::ends_inside_content), 0},
        {"nothing", {}, Contents::follow, error(E::ends_before_end_record), 0},
        {"half a unit", {'a'}, Contents::follow, error(E::ends_before_end_record), 0},
        {"name without its zero unit", {'a', 0}, Contents::follow, error(E::ends_inside_name), 0},
        {"name and half its zero unit", {'a', 0, 0}, Contents::follow, error(E::ends_inside_name), 0},
        {"size cut short", Bytes{'a', 0, 0, 0, 3, 0, 0}, Contents::follow, "a " + error(E::ends_inside_size), 0},
        {"content cut short", record(u"ab", 4, {9, 9, 9}), Contents::follow,
         "ab 4 " + error(E::ends_inside_content), 0},
        {"no end record", record(u"ab", 1, {9}), Contents::follow, "ab 1 09\n" + error(E::ends_before_end_record), 0},
        {"half an end record", record(u"ab", 0) + Bytes{0}, Contents::follow,
         "ab 0 \n" + error(E::ends_before_end_record), 0},
        {"a byte after the end record", record(u"a", 0) + end_record + Bytes{0}, Contents::follow,
         "a 0 \nend\n" + failed(E::data_after_end_record, 0), 1},
        {"a name one unit too long", record(longest + u"n", 1, {7}) + end_record, Contents::follow,
         failed(E::name_too_long, 1024), 0},
        {"a longer name cut short", Bytes(2 * 1500, 'm'), Contents::follow, error(E::ends_inside_name), 0},
    };
    for (const auto &c : cases) {
        for (Feeding feeding : {Feeding::whole, Feeding::byte_by_byte, Feeding::as_wanted}) {
            size_t fed_at_end = 0;
            std::string log = parse_log(c.input, c.contents, feeding, fed_at_end);
            // A name too long is told only up to the limit: its units are
            // not in the log.
            EXPECT_EQ(log, c.log) << c.what << ", feeding " << static_cast<int>(feeding);
            if (feeding == Feeding::as_wanted && c.log.find("end\n") != std::string::npos)
                EXPECT_EQ(fed_at_end, c.input.size() - c.trailing) << c.what;
        }
    }
}

TEST(RecordParser, WriterEncodesTheHeaderAsSpelledOut) {
    const std::u16string names[] = {u"a", u"lib\\x.dll", std::u16string(1023, u'\u00FC')};
    const uint64_t sizes[] = {0, 0x0102030405060708, UINT64_MAX};
    for (size_t i = 0; i < 3; ++i) {
        Bytes header(static_cast<size_t>(archive_records::header_bytes(names[i].size())));
        EXPECT_EQ(archive_records::write_header(header.data(), names[i].data(), names[i].size(), sizes[i]),
                  header.size());
        EXPECT_EQ(header, record(names[i], sizes[i])) << i;
    }
}

TEST(ArchiveFormat, ExactBytesOfASmallArchive) {
    auto archive = write_archive({{u"a", {1, 2}}, {u"b\\c", {}}});
    ASSERT_TRUE(archive) << archive.error();
    const Bytes expected = {
        'a', 0, 0, 0,                    // name, terminator
        2, 0, 0, 0, 0, 0, 0, 0,          // size
        1, 2,                            // content
        'b', 0, '\\', 0, 'c', 0, 0, 0,   // name, terminator
        0, 0, 0, 0, 0, 0, 0, 0,          // size 0, no content
        0, 0};                           // end record
    EXPECT_EQ(*archive, expected);
}

TEST(ArchiveFormat, RoundTripsNamesAndSizes) {
    const std::vector<ArchiveEntry> entries = {
        {u"app.dll", pattern(1000, 1)},
        {u"empty.txt", {}},
        {u"lib\\sub\\below.bin", pattern(32767, 2)},
        {u"lib\\exact.bin", pattern(32768, 3)},
        {u"lib\\above.bin", pattern(32769, 4)},
        {*tavrik::utf8_to_utf16("d\xC3\xBCr\\\xF0\x9F\x98\x80.txt"), pattern(5, 5)},
    };
    auto archive = write_archive(entries);
    ASSERT_TRUE(archive) << archive.error();
    auto parsed = parse_archive(*archive);
    ASSERT_TRUE(parsed) << parsed.error();
    ASSERT_EQ(parsed->size(), entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        EXPECT_EQ((*parsed)[i].name, entries[i].name) << i;
        EXPECT_EQ((*parsed)[i].content, entries[i].content) << i;
    }
    EXPECT_EQ((*parsed)[5].name, std::u16string(u"d\u00FCr\\\U0001F600.txt"));
}

TEST(ArchiveFormat, WriterRefusesUnsafeNames) {
    const std::u16string bad[] = {u"",       u"\\lead",  u"trail\\", u"a\\\\b", u"..\\x",
                                  u"a\\.\\b", u"a/b",    u"c:x",     std::u16string(u"a\0b", 3)};
    for (const auto &name : bad) {
        EXPECT_FALSE(write_archive({{u"app.dll", {}}, {name, {1}}}))
            << std::string(name.begin(), name.end());
    }
    EXPECT_FALSE(write_archive({}));
}

TEST(ArchiveFormat, WriterRefusesNamesEqualUpToCase) {
    auto archive = write_archive({{u"App.dll", {}}, {u"x\\Data.bin", {}}, {u"X\\DATA.BIN", {}}});
    ASSERT_FALSE(archive);
    EXPECT_NE(archive.error().find("DATA.BIN"), std::string::npos) << archive.error();
}

TEST(ArchiveFormat, ReaderRefusesMalformedBytes) {
    const Bytes good = *write_archive({{u"ab", {9, 9, 9}}});
    // Every strict prefix lacks something: a name unit, the size, content or
    // the end record.
    for (size_t n = 0; n < good.size(); ++n) {
        EXPECT_FALSE(parse_archive(Bytes(good.begin(), good.begin() + n))) << "prefix " << n;
    }
    Bytes trailing = good;
    trailing.push_back(0);
    EXPECT_FALSE(parse_archive(trailing));

    Bytes oversize = good;
    oversize[6] = 4;  // size 4, but only 3 content bytes before the end record
    EXPECT_FALSE(parse_archive(oversize));

    Bytes huge = good;
    for (size_t i = 6; i < 14; ++i) huge[i] = 0xFF;
    EXPECT_FALSE(parse_archive(huge));

    auto empty = parse_archive({0, 0});
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->empty());
}

TEST(ArchiveFormat, ReaderSaysWhatIsWrong) {
    const std::u16string long_name = std::u16string(1020, u'n') + u"tail";
    const struct {
        Bytes archive;
        std::string message;
    } cases[] = {
        {{}, "archive ends without its end record"},
        {{'a'}, "archive ends without its end record"},
        {record(u"ab", 0), "archive ends without its end record"},
        {{'a', 0, 'b', 0}, "archive ends inside a name"},
        {{'a', 0, 0, 0, 1, 0, 0, 0}, "archive ends inside a size"},
        {record(u"d\\ab", 4, {9, 9, 9}), "record \"d\\ab\" runs past the end of the archive"},
        {record(u"x", 0) + end_record + Bytes{1}, "data after the archive's end record"},
        {record(u"app.dll", 0) + record(long_name, 0) + end_record,
         "name \"" + std::string(32, 'n') + "...\" is 1024 UTF-16 units long; the launcher allows at most 1023"},
    };
    for (const auto &c : cases) {
        auto parsed = parse_archive(c.archive);
        ASSERT_FALSE(parsed) << c.message;
        EXPECT_EQ(parsed.error(), c.message);
    }
}
