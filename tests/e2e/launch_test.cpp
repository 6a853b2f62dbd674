// The whole launch, end to end: packed launchers started like a user's
// program would start them, observed through their pipes, full exit codes,
// the report the test application writes, and the files on disk.

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "format/launcher_names.h"
#include "packer/pe/pe_image.h"
#include "tests/e2e/e2e_support.h"

using namespace e2e;

namespace {

const char header_line[] = "Error, couldn't find attached data header.\r\n";
const char decode_line[] = "Error, couldn't decode attached data.\r\n";

std::wstring directory_of(const std::wstring &path) { return path.substr(0, path.rfind(L'\\')); }

// Packs the report application alone into <sandbox>\app.exe.
std::wstring pack_report_app(const Sandbox &sandbox, const wchar_t *name = L"app.exe") {
    std::wstring exe = sandbox / name;
    pack(exe, {file_entry(L"report_app.dll", app_path(L"report_app.dll"))});
    return exe;
}

size_t attached_data_offset(const tavrik::Bytes &exe) {
    tavrik::Result<tavrik::PeImage> image = tavrik::parse_pe_image(exe);
    for (const tavrik::PeSection &section : image->sections)
        if (section.name == ".tavrik") return section.raw_offset;
    ADD_FAILURE() << "no attached data";
    return 0;
}

}  // namespace

TEST(AttachedData, BareStubReportsTheMissingHeaderOnStandardOutput) {
    Sandbox sandbox;
    RunResult result = run_args(stub_path(), {});
    EXPECT_EQ(result.exit_code, 2u);
    EXPECT_EQ(result.out, header_line);
    EXPECT_EQ(result.err, "");
    // The header is checked before anything is unpacked.
    EXPECT_TRUE(sandbox.target_directories().empty());
}

TEST(AttachedData, DamagedFrameIsReportedAsADecodeFailure) {
    Sandbox sandbox;
    std::wstring exe = pack_report_app(sandbox);
    tavrik::Bytes bytes = read_bytes(exe);
    // Magic (3), frame header (6), then the first block header: a reserved
    // block type can never decode.
    bytes[attached_data_offset(bytes) + 3 + 6] |= 0x06;
    write_bytes(exe, bytes);
    RunResult result = run_args(exe, {});
    EXPECT_EQ(result.exit_code, 2u);
    EXPECT_EQ(result.out, decode_line);
    EXPECT_EQ(result.err, "");
}

TEST(ExitCode, TheApplicationsResultPassesThroughUnchanged) {
    Sandbox sandbox;
    std::wstring exe = pack_report_app(sandbox);
    for (DWORD code : {0u, 7u, 255u, 300u, 0xC0000005u}) {
        ScopedEnv exit_code(L"TAVRIK_TEST_EXIT_CODE", std::to_wstring(code).c_str());
        RunResult result = run_args(exe, {});
        EXPECT_EQ(result.exit_code, code);
        EXPECT_EQ(result.out + result.err, "");
    }
    EXPECT_TRUE(sandbox.target_directories().empty());
}

TEST(Arguments, RoundTripExactlyThroughTheChild) {
    Sandbox sandbox;
    std::wstring exe = pack_report_app(sandbox);
    auto expect_received = [&](const std::wstring &command_line, const std::vector<std::wstring> &arguments) {
        DeleteFileW(sandbox.report_path().c_str());
        RunResult result = run(exe, command_line);
        ASSERT_EQ(result.exit_code, 0u) << result.out << result.err;
        tavrik_report::report report = sandbox.read_report();
        ASSERT_EQ(report["argc"], std::to_string(arguments.size() + 1));
        EXPECT_EQ(report["argv[0]"], utf8(exe));
        for (size_t i = 0; i < arguments.size(); ++i)
            EXPECT_EQ(report["argv[" + std::to_string(i + 1) + "]"], utf8(arguments[i])) << "argument " << i + 1;
        EXPECT_EQ(report["env:" TAVRIK_ARGV0_VARIABLE], "invoked-as");
    };
    // Empty arguments keep their places: first, last, two in a row, next to
    // backslashes.
    std::vector<std::wstring> arguments = {
        L"", L"plain", L"two words", L"C:\\My Dir\\", L"say \"hi\"", L"a\\\"b", L"a\\\\b c", L"a\\b",
        L"tab\there", L"line\nfeed", L"vertical\vtab", L"carriage\rreturn", L"Gr\u00fc\u00dfe \u65e5\u672c \U0001F389",
        L"", L"\"", L"\\", L"trailing\\\\", L"", L"", L"after empty", L"ends\\", L""};
    std::wstring command_line = L"invoked-as";
    for (const std::wstring &argument : arguments) command_line += L" " + quote_argument(argument);
    expect_received(command_line, arguments);
    expect_received(L"invoked-as a \"\" b \"\" \"\"", {L"a", L"", L"b", L"", L""});
}

TEST(Environment, BothInstancesUseOneDirectoryThatIsGoneAfterwards) {
    Sandbox sandbox;
    std::wstring exe = pack_report_app(sandbox);
    RunResult result = run_args(exe, {L"x"});
    ASSERT_EQ(result.exit_code, 0u) << result.out << result.err;
    tavrik_report::report report = sandbox.read_report();

    EXPECT_EQ(report["env:" TAVRIK_DIRECTORY_VARIABLE], utf8(directory_of(exe)));
    EXPECT_EQ(report.count("unset:" TAVRIK_START_VARIABLE), 1u);
    // The nested instance loaded the library from the directory that the
    // top-level instance (whose PID it carries) computed and unpacked.
    std::string parent = report["env:" TAVRIK_PARENT_VARIABLE];
    EXPECT_NE(parent, report["pid"]);
    std::string expected_directory = utf8(sandbox.temp()) + "\\onefile_" + parent + "_" +
                                     report["env:" TAVRIK_TIME_VARIABLE] + "_" +
                                     report["env:" TAVRIK_RANDOM_VARIABLE];
    EXPECT_EQ(report["library_path"], expected_directory + "\\report_app.dll");
    EXPECT_EQ(report["env:" TAVRIK_TIME_VARIABLE].size(), 6u);
    EXPECT_EQ(report["env:" TAVRIK_RANDOM_VARIABLE].size(), 11u);
    EXPECT_FALSE(exists(wide(expected_directory)));
    EXPECT_TRUE(sandbox.target_directories().empty());
}

TEST(Environment, ChildRunsInTheCallersCurrentDirectoryWithTheCallersStreams) {
    Sandbox sandbox;
    std::wstring exe = pack_report_app(sandbox);
    ScopedEnv print(L"TAVRIK_TEST_PRINT", L"printed by the application");
    wchar_t current[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, current);
    RunResult result = run_args(exe, {});
    EXPECT_EQ(result.exit_code, 0u);
    EXPECT_EQ(result.out, "printed by the application\n");
    EXPECT_EQ(sandbox.read_report()["current_directory"], utf8(current));
}

TEST(Nesting, SameLauncherStartedFromTheApplicationIsNestedInTheSameDirectory) {
    Sandbox sandbox;
    std::wstring exe = pack_report_app(sandbox);
    std::wstring inner_report = sandbox / L"inner.txt";
    ScopedEnv run_command(L"TAVRIK_TEST_RUN", (quote_argument(exe) + L" inner").c_str());
    ScopedEnv run_report(L"TAVRIK_TEST_RUN_REPORT", inner_report.c_str());
    ScopedEnv run_exit(L"TAVRIK_TEST_RUN_EXIT_CODE", L"300");
    RunResult result = run_args(exe, {L"outer"});
    ASSERT_EQ(result.exit_code, 0u) << result.out << result.err;

    tavrik_report::report outer = sandbox.read_report();
    tavrik::Bytes inner_bytes = read_bytes(inner_report);
    tavrik_report::report inner = tavrik_report::parse_report(std::string(inner_bytes.begin(), inner_bytes.end()));
    EXPECT_EQ(outer["run_exit"], "300");
    EXPECT_EQ(inner["argv[1]"], "inner");
    EXPECT_EQ(inner["library_path"], outer["library_path"]);
    EXPECT_EQ(inner["env:" TAVRIK_PARENT_VARIABLE], outer["env:" TAVRIK_PARENT_VARIABLE]);
    EXPECT_TRUE(sandbox.target_directories().empty());
}

TEST(Nesting, AnotherLauncherStartedFromTheApplicationIsTopLevelWithItsOwnDirectory) {
    Sandbox sandbox;
    std::wstring first = pack_report_app(sandbox, L"first.exe");
    std::wstring second = pack_report_app(sandbox, L"second.exe");
    std::wstring inner_report = sandbox / L"inner.txt";
    ScopedEnv run_command(L"TAVRIK_TEST_RUN", quote_argument(second).c_str());
    ScopedEnv run_report(L"TAVRIK_TEST_RUN_REPORT", inner_report.c_str());
    RunResult result = run_args(first, {});
    ASSERT_EQ(result.exit_code, 0u) << result.out << result.err;

    tavrik_report::report outer = sandbox.read_report();
    tavrik::Bytes inner_bytes = read_bytes(inner_report);
    tavrik_report::report inner = tavrik_report::parse_report(std::string(inner_bytes.begin(), inner_bytes.end()));
    EXPECT_EQ(outer["run_exit"], "0");
    EXPECT_NE(inner["library_path"], outer["library_path"]);
    EXPECT_NE(inner["env:" TAVRIK_PARENT_VARIABLE], outer["env:" TAVRIK_PARENT_VARIABLE]);
    EXPECT_NE(inner["env:" TAVRIK_RANDOM_VARIABLE], outer["env:" TAVRIK_RANDOM_VARIABLE]);
    EXPECT_EQ(inner["env:" TAVRIK_DIRECTORY_VARIABLE], outer["env:" TAVRIK_DIRECTORY_VARIABLE]);
    EXPECT_TRUE(sandbox.target_directories().empty());
}

TEST(Example, HelloShowsItsArgumentsAndReturnsTheRequestedCode) {
    Sandbox sandbox;
    std::wstring exe = sandbox / L"hello.exe";
    pack(exe, {file_entry(L"hello.dll", hello_path())});
    RunResult result = run_args(exe, {L"two words", L"--exit", L"3"});
    EXPECT_EQ(result.exit_code, 3u);
    EXPECT_NE(result.out.find("two words"), std::string::npos) << result.out;
    EXPECT_EQ(result.err, "");
}

// The launcher renamed while it unpacks: starting the child from its own
// path fails, the failure is reported with the system's code, and the
// unpacked directory is deleted.
TEST(LaunchFailure, ChildThatCannotBeStartedIsReportedWithItsCode) {
    Sandbox sandbox;
    std::wstring exe = sandbox / L"moving.exe";
    // Enough data that unpacking takes a while after the directory appears.
    pack(exe, {file_entry(L"report_app.dll", app_path(L"report_app.dll")),
               entry(L"large.bin", tavrik::Bytes(400u * 1024 * 1024, 0x5a))});
    RunResult result;
    std::thread runner([&] { result = run_args(exe, {}); });
    for (int i = 0; i < 2000 && sandbox.target_directories().empty(); ++i) Sleep(5);
    ASSERT_TRUE(MoveFileW(exe.c_str(), (sandbox / L"moved.exe").c_str()));
    runner.join();
    EXPECT_EQ(result.exit_code, 2u);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err.rfind("Error, couldn't launch child ([Error 2] ", 0), 0u) << result.err;
    EXPECT_EQ(result.err.substr(result.err.size() - 3), ")\r\n");
    EXPECT_TRUE(sandbox.target_directories().empty());
}
