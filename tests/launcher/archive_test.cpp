#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "launcher/archive.h"
#include "launcher/attached_data.h"
#include "launcher/cleanup.h"
#include "launcher/launch_state.h"
#include "tests/launcher/frame_support.h"
#include "tests/launcher/test_support.h"

namespace {

// Archive records as the packer writes them: UTF-16LE name, zero unit,
// u64 LE size, content; an empty name ends the archive.
std::string name_bytes(const std::wstring &name) {
    std::string bytes;
    for (wchar_t unit : name) {
        bytes.push_back(static_cast<char>(unit & 0xff));
        bytes.push_back(static_cast<char>(unit >> 8));
    }
    return bytes + std::string(2, '\0');
}

std::string record(const std::wstring &name, const std::string &content) {
    std::string bytes = name_bytes(name);
    uint64_t size = content.size();
    for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<char>(size >> (8 * i)));
    return bytes + content;
}

const std::string end_record(2, '\0');

std::vector<std::wstring> created_directories;

BOOL WINAPI recording_create_directory(const wchar_t *path, LPSECURITY_ATTRIBUTES attributes) {
    created_directories.push_back(path);
    return CreateDirectoryW(path, attributes);
}

class Extraction : public testing::Test {
protected:
    void SetUp() override {
        initialise_cleanup();
        launch.application_library_path.clear();
        is_top_level = true;
        for (int i = 0; i < directory_cache.count; ++i) free(directory_cache.entries[i]);
        directory_cache.count = 0;
        directory_cache.create_directory = recording_create_directory;
        created_directories.clear();
        target = scratch / L"target";
        launch.target_directory.assign(target.c_str());
    }
    void TearDown() override {
        directory_cache.create_directory = nullptr;
        if (attached_data.context != nullptr) close_attached_data();
        attached_data = PayloadReader();
    }

    void open(const std::string &archive) {
        data = make_attached_data(make_frame(archive));
        open_payload(attached_data, reinterpret_cast<const unsigned char *>(data.data()), span_after_magic(data));
    }

    ScratchDirectory scratch;
    std::wstring target;
    std::string data;
};

}  // namespace

TEST_F(Extraction, WritesEveryFileBelowTheTargetDirectory) {
    std::string big = sample_content(3 * file_chunk_size + 5);
    open(record(L"app.dll", "MZ application") + record(L"empty.txt", "") +
         record(L"exact.bin", sample_content(file_chunk_size)) +
         record(L"one more.bin", sample_content(file_chunk_size + 1)) + record(L"a\\b\\c\\deep.bin", big) +
         end_record);
    extract_archive();
    EXPECT_EQ(std::wstring(launch.application_library_path.text), target + L"\\app.dll");
    EXPECT_EQ(read_file(target + L"\\app.dll"), "MZ application");
    EXPECT_EQ(read_file(target + L"\\empty.txt"), "");
    EXPECT_EQ(read_file(target + L"\\exact.bin"), sample_content(file_chunk_size));
    EXPECT_EQ(read_file(target + L"\\one more.bin"), sample_content(file_chunk_size + 1));
    EXPECT_EQ(read_file(target + L"\\a\\b\\c\\deep.bin"), big);
}

TEST_F(Extraction, ParentsAreCreatedOutsideInAndCachedAfterwards) {
    open(record(L"x\\y\\z", "first") + record(L"x\\y\\second", "2") + record(L"x\\third", "3") + end_record);
    extract_archive();
    // Creation goes up while it fails, then back down: D\x\y and D\x fail,
    // D is made, then D\x and D\x\y. The later files need no directory call.
    std::wstring x = target + L"\\x", y = x + L"\\y";
    std::vector<std::wstring> expected = {y, x, target, x, y};
    EXPECT_EQ(created_directories, expected);
    // The climb stopped at the target directory: the home directory, which
    // only stops climbs above it, was never looked up.
    ASSERT_GE(directory_cache.count, 1);
    EXPECT_EQ(std::wstring(directory_cache.entries[0]), target);
    EXPECT_EQ(read_file(target + L"\\x\\y\\second"), "2");
    EXPECT_EQ(read_file(target + L"\\x\\third"), "3");
}

TEST_F(Extraction, HomeDirectoryAndDrivesCountAsExistingWithoutACall) {
    EXPECT_TRUE(create_directory_cached(L"C:"));
    ASSERT_GE(directory_cache.count, 1);
    std::wstring home = directory_cache.entries[0];
    EXPECT_TRUE(create_directory_cached(home.c_str()));
    EXPECT_TRUE(created_directories.empty());
    // Once created, a directory is answered from the cache.
    EXPECT_TRUE(create_directory_cached(target.c_str()));
    EXPECT_TRUE(create_directory_cached(target.c_str()));
    EXPECT_EQ(created_directories.size(), 1u);
}

TEST_F(Extraction, CacheStopsGrowingAtItsCapacityButDirectoriesAreStillMade) {
    create_directory_cached(target.c_str());
    for (int i = directory_cache.count; i < directory_cache_capacity; ++i)
        directory_cache.entries[directory_cache.count++] = _wcsdup(L"X:\\placeholder");
    std::wstring extra = target + L"\\extra";
    EXPECT_TRUE(create_directory_cached(extra.c_str()));
    EXPECT_TRUE(create_directory_cached(extra.c_str()));  // ERROR_ALREADY_EXISTS counts as created
    EXPECT_EQ(directory_cache.count, directory_cache_capacity);
    EXPECT_TRUE(exists(extra));
}

TEST_F(Extraction, NestedInstanceReadsOnlyTheFirstName) {
    is_top_level = false;
    std::string archive = record(L"app.dll", sample_content(1000)) + record(L"other", "x") + end_record;
    open(archive);
    extract_archive();
    EXPECT_EQ(std::wstring(launch.application_library_path.text), target + L"\\app.dll");
    EXPECT_TRUE(created_directories.empty());
    EXPECT_FALSE(exists(target));
    // What is left in the window starts with the first record's size.
    std::string rest(archive.size() - name_bytes(L"app.dll").size(), '\0');
    read_payload(&rest[0], rest.size());
    EXPECT_EQ(rest, archive.substr(name_bytes(L"app.dll").size()));
}

TEST_F(Extraction, ParentThatIsAFileEndsWithTheOpenFailureNamingThePath) {
    open(record(L"app.dll", "app") + record(L"a", "file") + record(L"a\\b", "inside") + end_record);
    std::wstring failing = target + L"\\a\\b";
    EXPECT_FAILS_ON_STDERR(extract_archive(),
                           "Error, failed to open '" + std::string(failing.begin(), failing.end()) + "' for writing.\r\n");
    // What was written before stays.
    EXPECT_EQ(read_file(target + L"\\a"), "file");
    EXPECT_EQ(read_file(target + L"\\app.dll"), "app");
}

// Files are created, never overwritten: a file already at the path, one
// planted there or a name the archive repeats, ends the walk with the open
// failure and keeps its content.
TEST_F(Extraction, ExistingFileIsRefusedWithTheOpenFailureAndKept) {
    CreateDirectoryW(target.c_str(), nullptr);
    write_file(target + L"\\planted.txt", "planted");
    open(record(L"app.dll", "app") + record(L"planted.txt", "from the archive") + end_record);
    std::wstring planted = target + L"\\planted.txt";
    EXPECT_FAILS_ON_STDERR(extract_archive(),
                           "Error, failed to open '" + std::string(planted.begin(), planted.end()) + "' for writing.\r\n");
    EXPECT_EQ(read_file(planted), "planted");

    launch.application_library_path.clear();
    open(record(L"lib\\twice.dll", "first") + record(L"lib\\twice.dll", "second") + end_record);
    std::wstring twice = target + L"\\lib\\twice.dll";
    EXPECT_FAILS_ON_STDERR(extract_archive(),
                           "Error, failed to open '" + std::string(twice.begin(), twice.end()) + "' for writing.\r\n");
    EXPECT_EQ(read_file(twice), "first");
}

TEST_F(Extraction, NameLongerThanTheBufferIsADecodeFailure) {
    open(record(L"app.dll", "app") + record(std::wstring(1024, L'n'), "x") + end_record);
    EXPECT_FAILS_ON_STDOUT(extract_archive(), "Error, couldn't decode attached data.\r\n");
    EXPECT_EQ(read_file(target + L"\\app.dll"), "app");
}

TEST_F(Extraction, NameOf1023UnitsFitsTheBuffer) {
    std::wstring name = std::wstring(200, L'd') + L"\\" + std::wstring(200, L'e') + L"\\" + std::wstring(200, L'f') +
                        L"\\" + std::wstring(200, L'g') + L"\\" + std::wstring(219, L'h');
    ASSERT_EQ(name.size(), 1023u);
    open(record(L"app.dll", "app") + record(name, "deep") + end_record);
    extract_archive();
    EXPECT_EQ(read_file(L"\\\\?\\" + target + L"\\" + name), "deep");
}

TEST_F(Extraction, PathPastTheLimitAbortsAndEarlierFilesStay) {
    // A real target directory long enough that a name within the name limit
    // can push the file path past 4095 units.
    std::wstring long_target = target;
    while (long_target.size() < 3080) long_target += L"\\" + std::wstring(200, L'l');
    for (size_t at = target.size(); at != std::wstring::npos; at = long_target.find(L'\\', at + 1))
        CreateDirectoryW((L"\\\\?\\" + long_target.substr(0, at)).c_str(), nullptr);
    CreateDirectoryW((L"\\\\?\\" + long_target).c_str(), nullptr);
    launch.target_directory.assign(long_target.c_str());
    std::wstring too_long(4095 - long_target.size(), L'n');  // with the separator: 4096 units
    open(record(L"app.dll", "app") + record(too_long, "x") + end_record);
    EXPECT_ABORTS(extract_archive());
    EXPECT_EQ(read_file(L"\\\\?\\" + long_target + L"\\app.dll"), "app");
}

TEST_F(Extraction, ArchiveWithoutAnyFileEndsWithADecodeFailure) {
    open(end_record);
    EXPECT_FAILS_ON_STDOUT(extract_archive(), "Error, couldn't decode attached data.\r\n");
    is_top_level = false;
    EXPECT_FAILS_ON_STDOUT(extract_archive(), "Error, couldn't decode attached data.\r\n");
}
