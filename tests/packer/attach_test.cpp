#include <gtest/gtest.h>

#include <cstring>

#include "packer/pe/attach.h"
#include "packer/pe/pe_checksum.h"
#include "packer/pe/pe_image.h"
#include "synthetic_pe.h"

using namespace tavrik_test;
using tavrik::attach_to_stub;

namespace {

constexpr size_t oh = optional_header;

Bytes some_data(size_t size) {
    Bytes b(size);
    for (size_t i = 0; i < size; ++i) b[i] = static_cast<uint8_t>(0xA0 ^ i);
    return b;
}

// The attached section's bytes, found through its header as PackedFile
// finds them.
tavrik::Result<Bytes> attached_bytes(const Bytes &exe) {
    auto image = tavrik::parse_pe_image(exe);
    if (!image) return tavrik::Error{image.error()};
    auto section = tavrik::attached_section(*image);
    if (!section) return tavrik::Error{section.error()};
    return Bytes(exe.begin() + section->raw_offset, exe.begin() + section->raw_offset + section->virtual_size);
}

std::string refusal(const SyntheticPe &pe) {
    auto out = attach_to_stub(pe.build(), some_data(100));
    return out ? std::string("accepted") : out.error();
}

}  // namespace

TEST(Attach, AddsOneSectionHoldingExactlyTheData) {
    SyntheticPe pe;
    pe.checksum = 0x12345678;
    const Bytes stub = pe.build();
    ASSERT_EQ(stub.size(), 0x800u);
    const Bytes data = some_data(1000);

    auto packed = attach_to_stub(stub, data);
    ASSERT_TRUE(packed) << packed.error();
    const Bytes &out = *packed;

    EXPECT_EQ(get_u16(out, coff_header + 2), 3u);
    const size_t h = section_table + 2 * 40;
    EXPECT_EQ(std::memcmp(&out[h], ".tavrik\0", 8), 0);
    EXPECT_EQ(get_u32(out, h + 8), 1000u);      // VirtualSize: exact length
    EXPECT_EQ(get_u32(out, h + 12), 0x5000u);   // after .data's 0x2800 bytes at 0x2000
    EXPECT_EQ(get_u32(out, h + 16), 0x400u);    // 1000 rounded up to 0x200
    EXPECT_EQ(get_u32(out, h + 20), 0x1000u);   // the old end of file, on a page boundary
    EXPECT_EQ(get_u32(out, h + 24), 0u);
    EXPECT_EQ(get_u32(out, h + 32), 0u);
    EXPECT_EQ(get_u32(out, h + 36), 0x40000040u);

    EXPECT_EQ(get_u32(out, oh + 56), 0x6000u);           // SizeOfImage
    EXPECT_EQ(get_u32(out, oh + 8), 0x400u + 0x400u);    // SizeOfInitializedData
    EXPECT_EQ(get_u32(out, oh + 64), tavrik::pe_checksum(out, oh + 64));
    EXPECT_NE(get_u32(out, oh + 64), 0x12345678u);

    ASSERT_EQ(out.size(), 0x1000u + 0x400u);
    EXPECT_EQ(Bytes(out.begin() + 0x800, out.begin() + 0x1000), Bytes(0x800, 0));
    EXPECT_EQ(Bytes(out.begin() + 0x1000, out.begin() + 0x1000 + 1000), data);
    EXPECT_EQ(Bytes(out.begin() + 0x1000 + 1000, out.end()), Bytes(0x400 - 1000, 0));

    // Nothing else in the stub changed.
    Bytes masked = out;
    masked.resize(stub.size());
    for (size_t at : {coff_header + 2}) masked[at] = stub[at], masked[at + 1] = stub[at + 1];
    for (size_t at : {oh + 8, oh + 56, oh + 64}) std::memcpy(&masked[at], &stub[at], 4);
    std::memset(&masked[h], 0, 40);
    EXPECT_EQ(masked, stub);
}

TEST(Attach, FindsTheDataAgain) {
    const Bytes data = some_data(0x200);  // exactly one file-alignment unit
    auto packed = attach_to_stub(SyntheticPe().build(), data);
    ASSERT_TRUE(packed) << packed.error();
    auto found = attached_bytes(*packed);
    ASSERT_TRUE(found) << found.error();
    EXPECT_EQ(*found, data);
    EXPECT_FALSE(attached_bytes(SyntheticPe().build()));
}

TEST(Attach, FollowsTheStubsAlignment) {
    SyntheticPe pe;
    pe.file_alignment = 0x1000;
    pe.section_alignment = 0x2000;
    pe.size_of_headers = 0x1000;
    pe.sections = {{".text", 0x10, 0x1000}};
    auto packed = attach_to_stub(pe.build(), some_data(5));
    ASSERT_TRUE(packed) << packed.error();
    const size_t h = section_table + 40;
    EXPECT_EQ(get_u32(*packed, h + 8), 5u);
    EXPECT_EQ(get_u32(*packed, h + 12), 0x4000u);
    EXPECT_EQ(get_u32(*packed, h + 16), 0x1000u);
    EXPECT_EQ(get_u32(*packed, h + 20), 0x2000u);
    EXPECT_EQ(get_u32(*packed, oh + 56), 0x6000u);
}

TEST(Attach, RefusesStubsItCannotExtend) {
    {
        SyntheticPe pe;
        pe.magic = 0x10B;
        EXPECT_NE(refusal(pe).find("PE32"), std::string::npos) << refusal(pe);
    }
    {
        SyntheticPe pe;
        pe.machine = 0x14C;
        EXPECT_NE(refusal(pe).find("x86-64"), std::string::npos) << refusal(pe);
    }
    {
        // A signature sits after the last section. (A signed stub, and one
        // with a .tavrik section, are check_launcher_stub's to refuse: see
        // the command line's stub refusals.)
        SyntheticPe pe;
        pe.certificate_offset = 0x800;
        pe.certificate_size = 0x10;
        pe.overlay = Bytes(0x10, 7);
        EXPECT_NE(refusal(pe).find("after its last section"), std::string::npos) << refusal(pe);
    }
    {
        // 0x188 + 3 * 40 == 0x200: the table fills the headers exactly.
        SyntheticPe pe;
        pe.size_of_headers = 0x200;
        pe.sections.push_back({".rdata", 0x10, 0x200});
        EXPECT_NE(refusal(pe).find("no room"), std::string::npos) << refusal(pe);
    }
    {
        SyntheticPe pe;
        pe.overlay = Bytes(4, 0);
        EXPECT_NE(refusal(pe).find("after its last section"), std::string::npos) << refusal(pe);
    }
    {
        SyntheticPe pe;
        pe.symbol_table_offset = 0x800;
        pe.overlay = Bytes(0x12, 0);
        EXPECT_NE(refusal(pe).find("symbol table"), std::string::npos) << refusal(pe);
    }
}

TEST(Attach, RefusesBrokenImages) {
    const Bytes good = SyntheticPe().build();
    EXPECT_FALSE(attach_to_stub({}, {1}));
    EXPECT_FALSE(attach_to_stub(Bytes(0x800, 0), {1}));

    Bytes no_pe = good;
    no_pe[0x81] = 'X';
    EXPECT_FALSE(attach_to_stub(no_pe, {1}));

    Bytes far_lfanew = good;
    put_u32(far_lfanew, 0x3C, 0xFFFFFFF0);
    EXPECT_FALSE(attach_to_stub(far_lfanew, {1}));

    Bytes truncated(good.begin(), good.end() - 1);
    EXPECT_FALSE(attach_to_stub(truncated, {1}));

    Bytes raw_overflow = good;
    put_u32(raw_overflow, section_table + 40 + 20, 0xFFFFFF00);
    EXPECT_FALSE(attach_to_stub(raw_overflow, {1}));

    Bytes odd_alignment = good;
    put_u32(odd_alignment, oh + 36, 0x300);
    EXPECT_FALSE(attach_to_stub(odd_alignment, {1}));

    Bytes slot_in_use = good;  // e.g. bound imports right after the table
    slot_in_use[section_table + 2 * 40 + 5] = 1;
    EXPECT_FALSE(attach_to_stub(slot_in_use, {1}));
}

// Every damaged variant must come back as a value or an error. The host
// build enables the standard library's bounds assertions, so an unchecked
// out-of-range read here aborts the test.
TEST(Attach, SurvivesTruncationAndCorruptHeaders) {
    const Bytes good = SyntheticPe().build();
    for (size_t n = 0; n < good.size(); n += 7) {
        (void)attach_to_stub(Bytes(good.begin(), good.begin() + n), {1});
        (void)attached_bytes(Bytes(good.begin(), good.begin() + n));
    }
    uint32_t state = 99;
    for (int round = 0; round < 3000; ++round) {
        Bytes bad = good;
        for (int k = 0; k < 4; ++k) {
            state = state * 1664525 + 1013904223;
            const size_t at = 0x3C + (state >> 8) % (section_table + 3 * 40 - 0x3C);
            bad[at] = static_cast<uint8_t>(state >> 24);
        }
        auto packed = attach_to_stub(bad, {1, 2, 3});
        if (packed) {
            auto found = attached_bytes(*packed);
            ASSERT_TRUE(found) << "round " << round;
            EXPECT_EQ(*found, Bytes({1, 2, 3})) << "round " << round;
        }
    }
}
