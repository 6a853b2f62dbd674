// What the launcher writes, loads and refuses: whole archives unpacked byte
// for byte, the nested instance's hands-off role, library loading from the
// target directory, and archives that are damaged inside a valid frame.

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "format/launcher_names.h"
#include "tests/e2e/e2e_support.h"

using namespace e2e;

namespace {

const char decode_line[] = "Error, couldn't decode attached data.\r\n";

std::wstring directory_of(const std::string &path) {
    std::wstring wide_path = wide(path);
    return wide_path.substr(0, wide_path.rfind(L'\\'));
}

// Waits until the test application has written its report.
tavrik_report::report wait_for_report(const Sandbox &sandbox) {
    for (int i = 0; i < 600 && !exists(sandbox.report_path()); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return sandbox.read_report();
}

std::map<std::wstring, tavrik::Bytes> as_map(const std::vector<tavrik::ArchiveEntry> &entries) {
    std::map<std::wstring, tavrik::Bytes> files;
    for (const tavrik::ArchiveEntry &entry : entries) files[std::wstring(entry.name.begin(), entry.name.end())] = entry.content;
    return files;
}

// Archive records written by hand, for archives the packer would refuse.
tavrik::Bytes raw_name(const std::wstring &name, bool terminated = true) {
    tavrik::Bytes bytes;
    for (wchar_t unit : name) {
        bytes.push_back(static_cast<uint8_t>(unit & 0xff));
        bytes.push_back(static_cast<uint8_t>(unit >> 8));
    }
    if (terminated) bytes.insert(bytes.end(), {0, 0});
    return bytes;
}

tavrik::Bytes raw_record(const std::wstring &name, const tavrik::Bytes &content, uint64_t declared_size) {
    tavrik::Bytes bytes = raw_name(name);
    for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<uint8_t>(declared_size >> (8 * i)));
    bytes.insert(bytes.end(), content.begin(), content.end());
    return bytes;
}

tavrik::Bytes raw_record(const std::wstring &name, const tavrik::Bytes &content) {
    return raw_record(name, content, content.size());
}

tavrik::Bytes join(std::initializer_list<tavrik::Bytes> parts) {
    tavrik::Bytes all;
    for (const tavrik::Bytes &part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

const tavrik::Bytes end_record = {0, 0};

// The open-failure line for `tail` below a target directory of `sandbox`:
// "Error, failed to open '<temp>\onefile_<pid>_<6 digits>_<11>\<tail>' for writing."
void expect_open_line(const std::string &err, const Sandbox &sandbox, const std::wstring &tail) {
    const std::string head = "Error, failed to open '" + utf8(sandbox.temp()) + "\\onefile_";
    const std::string end = utf8(tail) + "' for writing.\r\n";
    ASSERT_GT(err.size(), head.size() + end.size() + 19) << err;
    EXPECT_EQ(err.substr(0, head.size()), head) << err;
    EXPECT_EQ(err.substr(err.size() - end.size()), end) << err;
    const std::string values = err.substr(head.size(), err.size() - head.size() - end.size());
    EXPECT_EQ(values[values.size() - 12], '_') << values;
    EXPECT_EQ(values[values.size() - 19], '_') << values;
}

}  // namespace

// With the packer's default window, and with the smallest and the largest
// window the launcher reads (the largest is what every earlier packer wrote).
TEST(Extraction, UnpacksAWholeTreeByteForByteWhateverTheWindow) {
    // The application first, padded to several MB (data after the last
    // section does not disturb the loader), then a tree of 62 more files.
    tavrik::Bytes application = read_bytes(app_path(L"report_app.dll"));
    tavrik::Bytes padding = random_bytes(5 * 1024 * 1024, 99);
    application.insert(application.end(), padding.begin(), padding.end());
    std::vector<tavrik::ArchiveEntry> entries = {entry(L"report_app.dll", application), entry(L"empty one", {}),
                                                 entry(L"lib\\empty two", {}),
                                                 entry(L"chunk\\exact.bin", random_bytes(32768, 1)),
                                                 entry(L"chunk\\one more.bin", random_bytes(32769, 2))};
    for (int i = 0; i < 58; ++i) {
        std::wstring name = L"d" + std::to_wstring(i % 3) + L"\\e" + std::to_wstring(i % 5) + L"\\f" +
                            std::to_wstring(i % 2) + L"\\file " + std::to_wstring(i) + L".dat";
        entries.push_back(entry(name, random_bytes(1000 + 3511 * i, 10 + i)));
    }
    for (int window_log : {tavrik::default_window_log, tavrik::min_window_log, tavrik::max_window_log}) {
        SCOPED_TRACE(window_log);
        Sandbox sandbox;
        std::wstring exe = sandbox / L"tree.exe";
        pack(exe, entries, window_log);

        ScopedEnv sleep(L"TAVRIK_TEST_SLEEP_MS", L"3000");
        RunResult result;
        std::thread runner([&] { result = run_args(exe, {}); });
        tavrik_report::report report = wait_for_report(sandbox);
        std::wstring target = directory_of(report["library_path"]);
        std::map<std::wstring, tavrik::Bytes> unpacked = files_below(target);
        runner.join();

        EXPECT_EQ(result.exit_code, 0u) << result.out << result.err;
        EXPECT_EQ(unpacked.size(), entries.size());
        EXPECT_TRUE(unpacked == as_map(entries)) << "unpacked files differ from the archive";
        EXPECT_FALSE(exists(target));
        EXPECT_TRUE(sandbox.target_directories().empty());
    }
}

// A tree 300 levels deep, paths far past MAX_PATH, files the application
// made read-only, hidden and system, and a link it left to the current
// directory: the clean-up deletes all of it and nothing beside it. The
// shell's deletion, used before, deleted the current directory's files on
// such a tree under Wine.
TEST(Extraction, DeepLongAndProtectedTreesAreDeletedAndNothingOutside) {
    Sandbox sandbox;
    std::wstring deep, long_names;
    for (int i = 0; i < 300; ++i) deep += L"d\\";
    for (int i = 0; i < 10; ++i) long_names += std::wstring(40, static_cast<wchar_t>(L'a' + i)) + L"\\";
    std::wstring exe = sandbox / L"deep.exe";
    pack(exe, {file_entry(L"report_app.dll", app_path(L"report_app.dll")), entry(deep + L"bottom.txt", {1, 2, 3}),
               entry(long_names + L"far.txt", random_bytes(70000, 5)), entry(L"top.txt", {4})});
    wchar_t cwd[MAX_PATH];
    ASSERT_NE(GetCurrentDirectoryW(MAX_PATH, cwd), 0u);
    const std::wstring sentinels[] = {std::wstring(cwd) + L"\\sentinel.txt", std::wstring(cwd) + L"\\keep\\x.bin"};
    make_directories(std::wstring(cwd) + L"\\keep");
    for (const std::wstring &sentinel : sentinels) write_bytes(sentinel, {7, 7});

    ScopedEnv protect(L"TAVRIK_TEST_PROTECT", L"1");
    ScopedEnv exit_code(L"TAVRIK_TEST_EXIT_CODE", L"300");
    RunResult result = run_args(exe, {});
    tavrik_report::report report = sandbox.read_report();
    EXPECT_EQ(result.exit_code, 300u) << result.out << result.err;
    EXPECT_EQ(report["protected"], "4");  // the library too
    EXPECT_EQ(report["link"], "ok");
    EXPECT_TRUE(sandbox.target_directories().empty());
    for (const std::wstring &sentinel : sentinels) EXPECT_EQ(read_bytes(sentinel), tavrik::Bytes({7, 7}));
    remove_tree(std::wstring(cwd) + L"\\keep");
    DeleteFileW(sentinels[0].c_str());
}

// A launcher started while another instance of the same executable runs,
// with that instance's values inherited, is nested: it finds the unpacked
// files where they are and writes, unpacks and deletes nothing.
TEST(Extraction, NestedInstanceLeavesTheDirectoryAsItFindsIt) {
    Sandbox sandbox;
    std::wstring exe = sandbox / L"app.exe";
    pack(exe, {file_entry(L"report_app.dll", app_path(L"report_app.dll")), entry(L"data\\x.bin", random_bytes(5000, 3))});

    RunResult outer;
    std::thread runner;
    {
        ScopedEnv sleep(L"TAVRIK_TEST_SLEEP_MS", L"4000");
        runner = std::thread([&] { outer = run_args(exe, {}); });
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    tavrik_report::report report = wait_for_report(sandbox);
    std::wstring target = directory_of(report["library_path"]);
    ASSERT_TRUE(DeleteFileW((target + L"\\data\\x.bin").c_str()));

    ScopedEnv parent(L"" TAVRIK_PARENT_VARIABLE, wide(report["env:" TAVRIK_PARENT_VARIABLE]).c_str());
    ScopedEnv time_us(L"" TAVRIK_TIME_VARIABLE, wide(report["env:" TAVRIK_TIME_VARIABLE]).c_str());
    ScopedEnv random(L"" TAVRIK_RANDOM_VARIABLE, wide(report["env:" TAVRIK_RANDOM_VARIABLE]).c_str());
    std::wstring inner_report = sandbox / L"inner.txt";
    {
        ScopedEnv report_path(L"TAVRIK_TEST_REPORT", inner_report.c_str());
        ScopedEnv exit_code(L"TAVRIK_TEST_EXIT_CODE", L"0xC0000005");
        RunResult nested = run_args(exe, {L"nested"});
        EXPECT_EQ(nested.exit_code, 0xC0000005u) << nested.out << nested.err;
    }
    tavrik::Bytes inner_bytes = read_bytes(inner_report);
    tavrik_report::report inner = tavrik_report::parse_report(std::string(inner_bytes.begin(), inner_bytes.end()));
    EXPECT_EQ(inner["library_path"], report["library_path"]);
    EXPECT_FALSE(exists(target + L"\\data\\x.bin")) << "the nested instance unpacked again";
    EXPECT_EQ(sandbox.target_directories().size(), 1u);

    // The library gone from the directory: the nested instance says so,
    // and still deletes nothing.
    ASSERT_TRUE(MoveFileW((target + L"\\report_app.dll").c_str(), (target + L"\\moved.dll").c_str()));
    RunResult failed = run_args(exe, {});
    EXPECT_EQ(failed.exit_code, 2u);
    EXPECT_EQ(failed.out, "");
    EXPECT_EQ(failed.err.rfind("Error, load DLL. ([Error 126] ", 0), 0u) << failed.err;
    EXPECT_EQ(failed.err.substr(failed.err.size() - 3), ")\r\n");
    EXPECT_EQ(failed.err.find('\n'), failed.err.size() - 1) << "one line";
    EXPECT_TRUE(exists(target + L"\\moved.dll"));

    runner.join();
    EXPECT_EQ(outer.exit_code, 0u);
    EXPECT_TRUE(sandbox.target_directories().empty());
}

TEST(LibraryEntry, DependenciesAreFoundBesideTheLibraryAndInTheTargetDirectoryOnly) {
    Sandbox sandbox;
    tavrik::ArchiveEntry dependent = file_entry(L"sub\\dependent_app.dll", app_path(L"dependent_app.dll"));
    tavrik::Bytes dependency = read_bytes(app_path(L"dependency.dll"));

    std::wstring beside = sandbox / L"beside.exe";
    pack(beside, {dependent, entry(L"sub\\dependency.dll", dependency)});
    EXPECT_EQ(run_args(beside, {}).exit_code, 4242u);

    std::wstring in_target = sandbox / L"in_target.exe";
    pack(in_target, {dependent, entry(L"dependency.dll", dependency)});
    EXPECT_EQ(run_args(in_target, {}).exit_code, 4242u);

    // Beside the launcher executable is not searched.
    std::wstring only_beside_launcher = sandbox / L"alone.exe";
    pack(only_beside_launcher, {file_entry(L"dependent_app.dll", app_path(L"dependent_app.dll"))});
    write_bytes(sandbox / L"dependency.dll", dependency);
    RunResult result = run_args(only_beside_launcher, {});
    EXPECT_EQ(result.exit_code, 2u);
    EXPECT_EQ(result.err.rfind("Error, load DLL. ([Error 126] ", 0), 0u) << result.err;
    EXPECT_TRUE(sandbox.target_directories().empty());
}

TEST(LibraryEntry, LibraryWithoutTheEntryPointIsReportedOnStandardOutput) {
    Sandbox sandbox;
    std::wstring exe = sandbox / L"no_entry.exe";
    pack(exe, {file_entry(L"no_entry_app.dll", app_path(L"no_entry_app.dll"))});
    RunResult result = run_args(exe, {});
    EXPECT_EQ(result.exit_code, 2u);
    EXPECT_EQ(result.out, "Error, DLL entry point not found.\r\n");
    EXPECT_EQ(result.err, "");
    EXPECT_TRUE(sandbox.target_directories().empty());
}

TEST(MalformedArchive, EachEndsWithItsOwnLineAndExitCodeTwo) {
    Sandbox sandbox;
    tavrik::Bytes app = read_bytes(app_path(L"report_app.dll"));
    struct Case {
        const char *what;
        tavrik::Bytes archive;
        std::string out;
    };
    std::vector<Case> cases = {
        {"empty archive", end_record, decode_line},
        {"size larger than what follows", join({raw_record(L"app.dll", {1, 2, 3}, 1000)}), decode_line},
        {"name that never ends", join({raw_record(L"app.dll", app), raw_name(L"unterminated", false)}), decode_line},
        {"name of 1024 units", join({raw_record(L"app.dll", app), raw_record(std::wstring(1024, L'n'), {1}), end_record}),
         decode_line},
        {"archive without end record", raw_record(L"app.dll", app), decode_line},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::wstring exe = sandbox / L"malformed.exe";
        pack_raw_archive(exe, c.archive);
        RunResult result = run_args(exe, {}, 30000);
        EXPECT_FALSE(result.timed_out);
        EXPECT_EQ(result.exit_code, 2u);
        EXPECT_EQ(result.out, c.out);
        EXPECT_EQ(result.err, "");
    }
}

// A name below an earlier file, and a name the archive repeats: files are
// created, never overwritten, so the second is refused like the first.
TEST(MalformedArchive, NameUnderOrSameAsAnEarlierFileFailsToOpenAndLeavesNothing) {
    tavrik::Bytes app = read_bytes(app_path(L"report_app.dll"));
    const std::pair<std::wstring, std::wstring> clashes[] = {{L"a", L"a\\b"}, {L"lib\\a", L"lib\\a"}};
    for (const auto &[first, second] : clashes) {
        SCOPED_TRACE(utf8(second));
        Sandbox sandbox;
        std::wstring exe = sandbox / L"clash.exe";
        pack_raw_archive(exe, join({raw_record(L"app.dll", app), raw_record(first, {'f'}), raw_record(second, {'x'}),
                                    end_record}));
        RunResult result = run_args(exe, {});
        EXPECT_EQ(result.exit_code, 2u);
        EXPECT_EQ(result.out, "");
        expect_open_line(result.err, sandbox, L"\\" + second);
        EXPECT_TRUE(sandbox.target_directories().empty()) << "a failed unpacking deletes its directory";
    }
}

// "<" is not allowed in a Windows name: the directory cannot be made. The
// path in the line is written whole, as UTF-8, whatever its characters.
TEST(MalformedArchive, DirectoryThatCannotBeCreatedEndsWithTheOpenFailure) {
    for (const std::wstring &name : {std::wstring(L"bad<dir\\file.txt"), std::wstring(L"\u65e5\u672c<\u00fc\\f.txt")}) {
        Sandbox sandbox;
        std::wstring exe = sandbox / L"baddir.exe";
        tavrik::Bytes app = read_bytes(app_path(L"report_app.dll"));
        pack_raw_archive(exe, join({raw_record(L"app.dll", app), raw_record(name, {'x'}), end_record}));
        RunResult result = run_args(exe, {});
        EXPECT_EQ(result.exit_code, 2u);
        EXPECT_EQ(result.out, "");
        expect_open_line(result.err, sandbox, L"\\" + name);
        EXPECT_TRUE(sandbox.target_directories().empty());
    }
}
