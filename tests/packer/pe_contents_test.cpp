#include <gtest/gtest.h>

#include "packer/pe/exports.h"
#include "packer/pe/imports.h"
#include "packer/pe/pe_contents.h"
#include "packer/pe/resource_section.h"
#include "packer/pe/resources.h"
#include "packer/program/identity.h"
#include "packer/program/image_roles.h"
#include "synthetic_pe.h"

using tavrik_test::Bytes;
using tavrik_test::SyntheticPe;

TEST(PeContents, FindsExportsAndVersionStrings) {
    const Bytes dll = SyntheticPe::application().build();
    auto image = tavrik::parse_pe_image(dll);
    ASSERT_TRUE(image) << image.error();
    EXPECT_TRUE(*tavrik::exports_name(dll, *image, "run_code"));
    EXPECT_TRUE(*tavrik::exports_name(dll, *image, "helper"));
    EXPECT_FALSE(*tavrik::exports_name(dll, *image, "run_cod"));
    EXPECT_FALSE(*tavrik::exports_name(dll, *image, "run_code_"));

    const Bytes stub = SyntheticPe::launcher().build();
    auto stub_image = tavrik::parse_pe_image(stub);
    ASSERT_TRUE(stub_image);
    EXPECT_EQ(*tavrik::version_string(stub, *stub_image, u"ProductName"), u"Tavrik launcher");
    EXPECT_EQ(*tavrik::version_string(stub, *stub_image, u"CompanyName"), u"Tavrik project");
    EXPECT_EQ(*tavrik::version_string(stub, *stub_image, u"FileVersion"), u"");
    EXPECT_EQ(*tavrik::version_string(dll, *image, u"ProductName"), u"");
}

// Both readers of the export table on damaged tables: what each refuses
// with, and what it still finds.
TEST(PeContents, ExportReadersSayWhatIsDamaged) {
    SyntheticPe pe = SyntheticPe::application();
    pe.exports = {"helper", "run_code"};
    const Bytes built = pe.build();
    auto image = tavrik::parse_pe_image(built);
    ASSERT_TRUE(image) << image.error();
    const size_t directory_at = tavrik_test::optional_header + 112;
    const uint32_t header_rva = tavrik_test::get_u32(built, directory_at);
    const auto at = [&](uint32_t rva) { return static_cast<size_t>(image->file_offset(rva, 4)); };
    const size_t header = at(header_rva);
    const uint32_t functions = tavrik_test::get_u32(built, header + 28);
    const uint32_t names = tavrik_test::get_u32(built, header + 32);
    const uint32_t ordinals = tavrik_test::get_u32(built, header + 36);
    const uint16_t run_code_ordinal = tavrik_test::get_u16(built, at(ordinals) + 2);
    constexpr uint32_t nowhere = 0x7FFFFF00;
    struct Case {
        const char *what;
        std::vector<std::pair<size_t, uint32_t>> writes;  // file offset, value
        std::string names;                                // or the refusal
        std::string run_code;                             // "yes", "no" or the refusal
    };
    const std::vector<Case> cases = {
        {"as built", {}, "helper run_code ", "yes"},
        {"directory outside the file", {{directory_at, nowhere}},
         "damaged export directory: it lies outside the file", "damaged export directory"},
        {"name table outside the file", {{header + 32, nowhere}},
         "damaged export directory: its name table lies outside the file", "damaged export directory"},
        {"a name outside the file", {{at(names), nowhere}}, "damaged export directory: a name lies outside the file",
         "yes"},
        {"no functions for the ordinals", {{header + 20, 0}}, "helper run_code ", "damaged export directory"},
        {"run_code bound to no address", {{at(functions) + 4 * size_t{run_code_ordinal}, 0}}, "helper run_code ",
         "no"},
        {"no names", {{header + 24, 0}}, "", "no"},
    };
    for (const auto &c : cases) {
        Bytes file = built;
        for (const auto &[offset, value] : c.writes) tavrik_test::put_u32(file, offset, value);
        auto damaged = tavrik::parse_pe_image(file);
        ASSERT_TRUE(damaged) << c.what << ": " << damaged.error();
        auto listed = tavrik::exported_names(file, *damaged);
        std::string got;
        if (listed) {
            for (const auto &name : *listed) got += name + " ";
        } else {
            got = listed.error();
        }
        EXPECT_EQ(got, c.names) << c.what;
        auto found = tavrik::exports_name(file, *damaged, "run_code");
        EXPECT_EQ(found ? (*found ? "yes" : "no") : found.error(), c.run_code) << c.what;
    }
}

// A table ends at the first entry without a DLL name (an import entry also
// at one without its address table), whatever its other fields hold, as the
// loader reads it: the entry is no DLL named by the headers' "MZ", and
// nothing after it is read.
TEST(PeContents, ImportTablesEndAtTheFirstEntryWithoutAName) {
    SyntheticPe pe = SyntheticPe::application();
    pe.imports = {"a.dll", "b.dll", "c.dll"};
    pe.delay_imports = {"x.dll", "y.dll", "b.dll"};  // b.dll kept once, where it first came
    const Bytes built = pe.build();
    auto image = tavrik::parse_pe_image(built);
    ASSERT_TRUE(image) << image.error();
    const uint32_t imports = tavrik_test::get_u32(built, tavrik_test::optional_header + 112 + 8);
    const uint32_t delayed = tavrik_test::get_u32(built, tavrik_test::optional_header + 112 + 13 * 8);
    const auto at = [&](uint32_t rva) { return static_cast<size_t>(image->file_offset(rva, 4)); };
    struct Case {
        const char *what;
        std::vector<std::pair<uint32_t, uint32_t>> writes;  // RVA, value
        std::vector<std::string> names;
        std::string delayed;  // the names from the delay-load table
    };
    const std::vector<Case> cases = {
        {"as built", {}, {"a.dll", "b.dll", "c.dll", "x.dll", "y.dll"}, "x.dll y.dll "},
        {"import Name 0, FirstThunk set", {{imports + 20 + 12, 0}, {imports + 20 + 16, 0x1000}},
         {"a.dll", "x.dll", "y.dll", "b.dll"}, "x.dll y.dll b.dll "},
        {"import Name 0, TimeDateStamp set", {{imports + 12, 0}, {imports + 4, 0xFFFFFFFF}},
         {"x.dll", "y.dll", "b.dll"}, "x.dll y.dll b.dll "},
        {"import FirstThunk 0, Name set", {{imports + 40 + 16, 0}}, {"a.dll", "b.dll", "x.dll", "y.dll"}, "x.dll y.dll "},
        {"delay-load DllNameRVA 0, Attributes 1", {{delayed + 32 + 4, 0}}, {"a.dll", "b.dll", "c.dll", "x.dll"}, "x.dll "},
        {"delay-load DllNameRVA 0, other fields set", {{delayed + 4, 0}, {delayed + 12, 0x1000}},
         {"a.dll", "b.dll", "c.dll"}, ""},
    };
    for (const auto &c : cases) {
        Bytes file = built;
        for (const auto &[rva, value] : c.writes) tavrik_test::put_u32(file, at(rva), value);
        auto dlls = tavrik::imported_dlls(file, *image);
        ASSERT_TRUE(dlls) << c.what << ": " << dlls.error();
        std::vector<std::string> names;
        std::string delayed_names;
        for (const auto &dll : *dlls) {
            names.push_back(dll.name);
            if (dll.delayed) delayed_names += dll.name + " ";
        }
        EXPECT_EQ(delayed_names, c.delayed) << c.what;
        EXPECT_EQ(names, c.names) << c.what;
    }
}

// Damaged tables come back as values or errors, never as reads outside the
// file: the host build's bounds assertions would abort the test.
TEST(PeContents, SurvivesDamage) {
    SyntheticPe both = SyntheticPe::launcher();
    both.dll = true;
    both.exports = {"helper", "run_code"};
    const Bytes good = both.build();
    tavrik::Identity identity;
    identity.execution_level = "highestAvailable";
    identity.version.strings = {{u"ProductName", u"x"}};
    ASSERT_TRUE(tavrik::apply_identity(good, identity));
    ASSERT_TRUE(tavrik::check_application_dll(good));
    uint32_t state = 7;
    int still_accepted = 0;
    for (int round = 0; round < 4000; ++round) {
        Bytes bad = good;
        for (int k = 0; k < 3; ++k) {
            state = state * 1664525 + 1013904223;
            // Mostly the generated .edata and .rsrc sections, sometimes the
            // data directories.
            const size_t at = (state >> 28) < 2 ? tavrik_test::optional_header + 112 + (state >> 8) % 24
                                               : 0x800 + (state >> 8) % (bad.size() - 0x800);
            bad[at] = static_cast<uint8_t>(state >> 16);
        }
        still_accepted += tavrik::check_application_dll(bad) ? 1 : 0;
        (void)tavrik::check_launcher_stub(bad);
        if (auto image = tavrik::parse_pe_image(bad)) (void)tavrik::describe_identity(bad, *image);
        auto identified = tavrik::apply_identity(bad, identity);
        if (!identified) continue;
        if (auto image = tavrik::parse_pe_image(*identified)) (void)tavrik::describe_identity(*identified, *image);
    }
    EXPECT_GT(still_accepted, 0);
    for (size_t n = 0; n < good.size(); n += 61) {
        Bytes cut(good.begin(), good.begin() + n);
        EXPECT_FALSE(tavrik::check_application_dll(cut)) << n;
        EXPECT_FALSE(tavrik::check_launcher_stub(cut)) << n;
    }
}

// The resource writer against the reader, with what the launcher's own
// resources do not have: named types and names, several languages, data of
// odd sizes; written in directory order whatever the input order.
TEST(PeContents, ResourceSectionRoundTrips) {
    using tavrik::Resource;
    using tavrik::ResourceId;
    const ResourceId named_type{true, 0, u"CONFIG"}, named{true, 0, u"Second"}, other{true, 0, u"First"};
    const std::vector<Resource> resources = {
        {ResourceId::of(24), ResourceId::of(1), 0x409, 0, {'<', 'a', '/', '>'}},
        {named_type, named, 0x407, 1252, Bytes(3, 7)},
        {named_type, named, 0x409, 0, Bytes(1, 8)},
        {named_type, other, 0x409, 0, Bytes(70000, 9)},
        {ResourceId::of(3), ResourceId::of(2), 0x409, 0, Bytes(5, 2)},
        {ResourceId::of(3), ResourceId::of(1), 0x409, 0, Bytes(6, 1)},
    };
    auto replaced = tavrik::replace_resources(SyntheticPe::launcher().build(), resources);
    ASSERT_TRUE(replaced) << replaced.error();
    auto image = tavrik::parse_pe_image(*replaced);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->sections.back().virtual_size, image->directories[2].size);
    auto read = tavrik::read_resources(*replaced, *image);
    ASSERT_TRUE(read) << read.error();
    // Named before numbered at every level, names by code units.
    const std::vector<size_t> order = {3, 1, 2, 5, 4, 0};
    ASSERT_EQ(read->size(), order.size());
    for (size_t i = 0; i < order.size(); ++i) {
        const Resource &want = resources[order[i]], &got = (*read)[i];
        EXPECT_TRUE(got.type == want.type && got.name == want.name) << i;
        EXPECT_EQ(got.language, want.language) << i;
        EXPECT_EQ(got.code_page, want.code_page) << i;
        EXPECT_EQ(got.data, want.data) << i;
    }
    std::vector<Resource> twice = resources;
    twice.push_back(resources[0]);
    EXPECT_FALSE(tavrik::replace_resources(SyntheticPe::launcher().build(), twice));

    // A tree another tool wrote: an empty directory (a type with no names)
    // as the last bytes of the section, with no room for entries after it.
    SyntheticPe foreign = SyntheticPe::application();
    foreign.resources = [](uint32_t rva) {
        const uint32_t words[] = {0, 0, 0, 2 << 16,                      // 0: root, two numbered types
                                  10, 0x80000000 | 32,                   // RT_RCDATA
                                  11, 0x80000000 | 104,                  // RT_MESSAGETABLE, empty
                                  0, 0, 0, 1 << 16, 1, 0x80000000 | 56,  // 32: RT_RCDATA's names
                                  0, 0, 0, 1 << 16, 0x409, 80,           // 56: its languages
                                  rva + 96, 4, 0, 0,                     // 80: the data entry
                                  0x64636261, 0,                         // 96: the data
                                  0, 0, 0, 0};                           // 104: the empty directory
        Bytes b;
        for (uint32_t w : words) b.insert(b.end(), {uint8_t(w), uint8_t(w >> 8), uint8_t(w >> 16), uint8_t(w >> 24)});
        return b;
    };
    const Bytes dll = foreign.build();
    auto dll_image = tavrik::parse_pe_image(dll);
    ASSERT_TRUE(dll_image);
    auto listed = tavrik::read_resources(dll, *dll_image);
    ASSERT_TRUE(listed) << listed.error();
    ASSERT_EQ(listed->size(), 1u);
    EXPECT_EQ(listed->front().data, (Bytes{'a', 'b', 'c', 'd'}));
}
