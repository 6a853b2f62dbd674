#include <gtest/gtest.h>

#include "packer/archive/attached_data.h"
#include "packer/archive/packed_executable.h"
#include "packer/pe/attach.h"
#include "synthetic_pe.h"

using tavrik::ArchiveEntry;
using tavrik_test::SyntheticPe;

namespace {

std::vector<ArchiveEntry> sample_entries() {
    std::vector<uint8_t> big(200000);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * i >> 5);
    return {{u"app.dll", {'M', 'Z', 1, 2, 3}}, {u"lib\\big.bin", big}, {u"empty", {}}};
}

}  // namespace

TEST(PackedExecutable, RoundTripThroughEveryLayer) {
    const auto entries = sample_entries();
    auto exe = tavrik::pack_executable(SyntheticPe().build(), entries, 19, 0);
    ASSERT_TRUE(exe) << exe.error();

    // The section holds magic + frame + gap + trailer and nothing else.
    auto attached = tavrik::find_attached_data(*exe);
    ASSERT_TRUE(attached) << attached.error();
    EXPECT_EQ(std::string(attached->begin(), attached->begin() + 3), "ZUB");
    EXPECT_EQ(tavrik_test::get_u64(*attached, attached->size() - 16), attached->size() - 16);

    auto back = tavrik::unpack_executable(*exe);
    ASSERT_TRUE(back) << back.error();
    ASSERT_EQ(back->size(), entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        EXPECT_EQ((*back)[i].name, entries[i].name);
        EXPECT_EQ((*back)[i].content, entries[i].content);
    }
}

TEST(PackedExecutable, PackingTwiceGivesIdenticalBytes) {
    const auto stub = SyntheticPe().build();
    const auto first = tavrik::pack_executable(stub, sample_entries(), 19, 0);
    const auto second = tavrik::pack_executable(stub, sample_entries(), 19, 0);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(*first, *second);
    const auto threaded = tavrik::pack_executable(stub, sample_entries(), 19, 1);
    const auto more_threads = tavrik::pack_executable(stub, sample_entries(), 19, 4);
    ASSERT_TRUE(threaded && more_threads);
    EXPECT_EQ(*threaded, *more_threads);
}

TEST(PackedExecutable, ErrorsFromEachLayerComeThrough) {
    EXPECT_FALSE(tavrik::pack_executable(SyntheticPe().build(), {}, 19, 0));
    EXPECT_FALSE(tavrik::pack_executable(SyntheticPe().build(), sample_entries(), 30, 0));
    EXPECT_FALSE(tavrik::pack_executable({'M', 'Z'}, sample_entries(), 19, 0));
    EXPECT_FALSE(tavrik::unpack_executable(SyntheticPe().build()));
}
