#include <gtest/gtest.h>

#include "format/packed_format.h"
#include "packer/packed/packed_executable.h"
#include "packer/pe/attach.h"
#include "synthetic_pe.h"
#include "tests/packed_reading.h"

using tavrik::ArchiveEntry;
using tavrik_test::SyntheticPe;

namespace {

std::vector<ArchiveEntry> sample_entries() {
    std::vector<uint8_t> big(200000);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * i >> 5);
    return {{u"app.dll", {'M', 'Z', 1, 2, 3}}, {u"lib\\big.bin", big}, {u"empty", {}}};
}

// Records what packing reports, in order.
class RecordedProgress : public tavrik::PackProgress {
public:
    void archive_written(uint64_t archive_size) override {
        events.push_back("archive " + std::to_string(archive_size));
    }
    void compressing(uint64_t read, uint64_t, uint64_t produced) override {
        last_read = read;
        last_produced = produced;
        ++updates;
    }
    void frame_done(uint64_t frame_size) override { events.push_back("frame " + std::to_string(frame_size)); }
    std::vector<std::string> events;
    uint64_t last_read = 0, last_produced = 0;
    int updates = 0;
};

}  // namespace

TEST(PackedExecutable, RoundTripThroughEveryLayer) {
    const auto entries = sample_entries();
    RecordedProgress progress;
    auto exe = tavrik::pack_executable(SyntheticPe().build(), entries, 19, 0, tavrik::default_window_log, &progress);
    ASSERT_TRUE(exe) << exe.error();

    // The section holds magic + frame + digest + gap + trailer and nothing else.
    auto packed = tavrik_test::open_packed(*exe);
    ASSERT_TRUE(packed) << packed.error();
    auto image = tavrik::parse_pe_image(*exe);
    ASSERT_TRUE(image) << image.error();
    auto section = tavrik::attached_section(*image);
    ASSERT_TRUE(section) << section.error();
    const tavrik::Bytes attached(exe->begin() + section->raw_offset,
                                 exe->begin() + section->raw_offset + section->virtual_size);
    EXPECT_EQ(std::string(attached.begin(), attached.begin() + 3), "ZUB");
    EXPECT_EQ(tavrik_test::get_u64(attached, attached.size() - 16), attached.size() - 16);
    EXPECT_TRUE(packed->layout().has_digest);
    EXPECT_EQ(packed->layout().frame_end + packed_format::tail_size, attached.size());
    EXPECT_EQ(packed->attached_offset(), section->raw_offset);

    // What the progress line is told: the archive's size, updates up to the
    // whole archive, then the frame's size.
    const uint64_t frame_size = packed->layout().frame_end - packed_format::magic_size;
    ASSERT_EQ(progress.events.size(), 2u);
    EXPECT_EQ(progress.events[0], "archive " + std::to_string(tavrik::write_archive(entries)->size()));
    EXPECT_EQ(progress.events[1], "frame " + std::to_string(frame_size));
    EXPECT_GT(progress.updates, 0);
    EXPECT_EQ(progress.last_read, tavrik::write_archive(entries)->size());
    EXPECT_EQ(progress.last_produced, frame_size);

    auto back = tavrik_test::read_packed(*exe);
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
    RecordedProgress progress;
    const auto threaded = tavrik::pack_executable(stub, sample_entries(), 19, 1, tavrik::default_window_log, &progress);
    const auto more_threads = tavrik::pack_executable(stub, sample_entries(), 19, 4);
    ASSERT_TRUE(threaded && more_threads);
    EXPECT_EQ(*threaded, *more_threads);
}

TEST(PackedExecutable, ErrorsFromEachLayerComeThrough) {
    EXPECT_FALSE(tavrik::pack_executable(SyntheticPe().build(), {}, 19, 0));
    EXPECT_FALSE(tavrik::pack_executable(SyntheticPe().build(), sample_entries(), 30, 0));
    EXPECT_FALSE(tavrik::pack_executable({'M', 'Z'}, sample_entries(), 19, 0));
    auto bare = tavrik_test::open_packed(SyntheticPe().build());
    ASSERT_FALSE(bare);
    EXPECT_EQ(bare.error(), "\"packed.exe\": no .tavrik section: not a packed executable");
}
