// Where the launcher executable lies: names with spaces and non-ASCII
// characters. (Wine starts no program from a path longer than MAX_PATH, so
// deep placements are covered by the role-decision unit tests.)

#include <gtest/gtest.h>

#include "format/launcher_names.h"
#include "tests/e2e/e2e_support.h"

using namespace e2e;

namespace {

// Runs the packed report application at `exe` and checks that exactly one
// nested instance ran it, in the directory of the top-level instance.
void expect_one_nested_run(const Sandbox &sandbox, const std::wstring &exe) {
    ScopedEnv exit_code(L"TAVRIK_TEST_EXIT_CODE", L"300");
    RunResult result = run_args(exe, {L"argument"});
    ASSERT_FALSE(result.timed_out) << "the launch did not end";
    EXPECT_EQ(result.exit_code, 300u) << result.out << result.err;
    tavrik_report::report report = sandbox.read_report();
    EXPECT_EQ(report["env:" TAVRIK_PARENT_VARIABLE], std::to_string(result.process_id))
        << "the application ran in a grandchild, not in the top-level instance's child";
    EXPECT_EQ(report["argv[0]"], utf8(exe));
    EXPECT_EQ(report["argv[1]"], "argument");
    EXPECT_TRUE(sandbox.target_directories().empty());
}

}  // namespace

TEST(Placement, PathWithSpacesAndNonAsciiCharacters) {
    Sandbox sandbox;
    std::wstring directory = sandbox / L"My Programs \u00e9\u00e8 \u65e5\u672c";
    make_directories(directory);
    std::wstring exe = directory + L"\\Tool \u00fc.exe";
    pack(exe, {file_entry(L"report_app.dll", app_path(L"report_app.dll"))});
    expect_one_nested_run(sandbox, exe);
    EXPECT_EQ(sandbox.read_report()["env:" TAVRIK_DIRECTORY_VARIABLE], utf8(directory));
}

