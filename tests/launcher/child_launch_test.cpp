#include <gtest/gtest.h>

#include <windows.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "common/shell.h"
#include "format/launcher_names.h"
#include "launcher/child_launch.h"
#include "launcher/cleanup.h"
#include "launcher/launch_state.h"
#include "tests/launcher/test_support.h"

namespace {

std::wstring quoted(const std::wstring &argument) {
    WideBuffer<256> line;
    append_quoted_argument(line.text, line.capacity, argument.c_str());
    return line.text;
}

std::vector<std::wstring> split(const std::wstring &line) {
    int count = 0;
    wchar_t **arguments = CommandLineToArgvW(line.c_str(), &count);
    std::vector<std::wstring> result(arguments, arguments + count);
    LocalFree(arguments);
    return result;
}

}  // namespace

TEST(Quoting, ArgumentsAreQuotedOnlyWhenTheyMustBe) {
    EXPECT_EQ(quoted(L"plain"), L"plain");
    EXPECT_EQ(quoted(L"a\\b"), L"a\\b");
    EXPECT_EQ(quoted(L"two words"), L"\"two words\"");
    EXPECT_EQ(quoted(L"C:\\My Dir\\"), L"\"C:\\My Dir\\\\\"");
    EXPECT_EQ(quoted(L"say \"hi\""), L"\"say \\\"hi\\\"\"");
    EXPECT_EQ(quoted(L"a\\\"b"), L"\"a\\\\\\\"b\"");
    EXPECT_EQ(quoted(L"a\\\\b c"), L"\"a\\\\b c\"");
    EXPECT_EQ(quoted(L"tab\there"), L"\"tab\there\"");
    EXPECT_EQ(quoted(L"line\nfeed"), L"\"line\nfeed\"");
    EXPECT_EQ(quoted(L"v\vtab"), L"\"v\vtab\"");
    // A carriage return and other white space do not cause quoting.
    EXPECT_EQ(quoted(L"cr\rhere"), L"cr\rhere");
    EXPECT_EQ(quoted(L""), L"\"\"");
}

TEST(Quoting, SplittingTheBuiltLineGivesTheArgumentsBack) {
    std::vector<wchar_t *> arguments;
    // Empty ones first, last, two in a row and after backslashes, quoted
    // and not.
    std::vector<std::wstring> texts = {L"ignored", L"", L"plain", L"two words", L"C:\\My Dir\\", L"",
                                       L"say \"hi\"", L"a\\\"b", L"a\\\\b c", L"\\\\server\\share\\", L"\"",
                                       L"\\\"", L"end\\\\\\", L"", L"", L"\u00e9\u65e5 \U0001F389", L""};
    for (std::wstring &text : texts) arguments.push_back(&text[0]);
    build_child_command_line(static_cast<int>(arguments.size()), arguments.data(), L"C:\\apps\\my tool.exe");
    std::vector<std::wstring> back = split(child_command_line.text);
    ASSERT_EQ(back.size(), texts.size());
    EXPECT_EQ(back[0], L"C:\\apps\\my tool.exe");
    for (size_t i = 1; i < texts.size(); ++i) EXPECT_EQ(back[i], texts[i]) << i;
}

TEST(Quoting, EmptyArgumentsAreWrittenAsTwoQuotes) {
    std::wstring a = L"a", empty = L"", b = L"b";
    wchar_t *arguments[] = {&a[0], &empty[0], &b[0]};
    build_child_command_line(3, arguments, L"C:\\tool.exe");
    EXPECT_STREQ(child_command_line.text, L"C:\\tool.exe \"\" b");
    build_child_command_line(2, arguments, L"C:\\tool.exe");
    EXPECT_STREQ(child_command_line.text, L"C:\\tool.exe \"\"");
}

TEST(Quoting, LineOf32767UnitsIsBuiltAndOneMoreAborts) {
    std::wstring program = L"C:\\tool.exe";
    std::wstring filler(32767 - program.size() - 1, L'x');
    wchar_t *arguments[] = {&program[0], &filler[0]};
    build_child_command_line(2, arguments, program.c_str());
    EXPECT_EQ(wcslen(child_command_line.text), 32767u);
    std::wstring longer = filler + L"x";
    wchar_t *too_long[] = {&program[0], &longer[0]};
    EXPECT_ABORTS(build_child_command_line(2, too_long, program.c_str()));
    // Quoting characters count too: a quoted argument one unit too long.
    std::wstring spaced = std::wstring(filler.size() - 2, L'x') + L" ";
    wchar_t *quoted_too_long[] = {&program[0], &spaced[0]};
    EXPECT_ABORTS(build_child_command_line(2, quoted_too_long, program.c_str()));
    // So do the two quotes of an empty argument.
    std::wstring shorter = std::wstring(filler.size() - 3, L'x'), empty = L"";
    wchar_t *with_empty[] = {&program[0], &shorter[0], &empty[0]};
    build_child_command_line(3, with_empty, program.c_str());
    EXPECT_EQ(wcslen(child_command_line.text), 32767u);
    EXPECT_EQ(std::wstring(child_command_line.text).substr(32764), L" \"\"");
    shorter += L"x";
    wchar_t *empty_too_long[] = {&program[0], &shorter[0], &empty[0]};
    EXPECT_ABORTS(build_child_command_line(3, empty_too_long, program.c_str()));
}

namespace {
wchar_t **WINAPI failing_split(const wchar_t *, int *) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
}
}  // namespace

TEST(Launch, FailingSplitIsReportedLikeALaunchFailure) {
    is_top_level = true;
    launch.argv = *__p___wargv();
    split_command_line = failing_split;
    EXPECT_FAILS_ON_STDERR(start_child(), error_code_line("Error, couldn't launch child", 8));
    split_command_line = shell_command_line_to_argv;
}

TEST(Launch, NestedInstanceNeverStartsAChild) {
    is_top_level = false;
    EXPECT_FAILS_ON_STDOUT(start_child(), "Error, couldn't decode attached data.\r\n");
    is_top_level = true;
}

// --- Starting the child ------------------------------------------------------

namespace starting {

int calls = 0;
int refusals = 0;  // this many calls fail first
DWORD refusal = ERROR_INTERNAL_ERROR;
DWORD flags_seen = 0;
bool first_child_ended = false;  // the first child given has ended already

// Fails `refusals` times with `refusal`; then starts exit_after.exe in the
// launcher's place (it ends by itself with 5), with the flags it was given.
BOOL WINAPI create(const wchar_t *, wchar_t *, SECURITY_ATTRIBUTES *, SECURITY_ATTRIBUTES *, BOOL inherit,
                   DWORD flags, void *, const wchar_t *, STARTUPINFOW *startup, PROCESS_INFORMATION *information) {
    ++calls;
    flags_seen = flags;
    if (calls <= refusals) {
        SetLastError(refusal);
        return FALSE;
    }
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring program = path;
    program = program.substr(0, program.rfind(L'\\') + 1) + L"exit_after.exe";
    std::wstring command = L"\"" + program + L"\" 10 5";
    if (first_child_ended && calls == refusals + 1) {
        // As a start that died in the system's hands before it ran (with a
        // code of its own, 9).
        command = L"\"" + program + L"\" 0 9";
        if (!CreateProcessW(program.c_str(), &command[0], nullptr, nullptr, inherit, 0, nullptr, nullptr, startup,
                            information))
            return FALSE;
        WaitForSingleObject(information->hProcess, INFINITE);
        return TRUE;
    }
    return CreateProcessW(program.c_str(), &command[0], nullptr, nullptr, inherit, flags, nullptr, nullptr, startup,
                          information);
}

}  // namespace starting

// Wine's process creation fails now and then under load with
// ERROR_INTERNAL_ERROR and succeeds when asked again; the child is created
// suspended (it runs only once it is in the launcher's job), and one that
// ended before it was resumed is made again.
TEST(Launch, ChildStartTriesAgainWhenTheSystemFailsItAndCreatesTheChildSuspended) {
    initialise_cleanup();
    is_top_level = true;
    launch.argv = *__p___wargv();
    starting::calls = 0;
    starting::refusals = 2;
    child_starter.create_process = starting::create;
    HANDLE child = start_child();
    EXPECT_EQ(starting::calls, 3);
    EXPECT_NE(starting::flags_seen & CREATE_SUSPENDED, 0u);
    EXPECT_EQ(wait_for_child(child), 5u);
    // A child that has ended before the launcher resumed it never ran: it is
    // started again rather than its exit code taken for the application's.
    starting::calls = 0;
    starting::refusals = 0;
    starting::first_child_ended = true;
    child = start_child();
    starting::first_child_ended = false;
    EXPECT_EQ(starting::calls, 2);
    EXPECT_EQ(wait_for_child(child), 5u);
    child_starter.create_process = CreateProcessW;
    initialise_cleanup();
    SetEnvironmentVariableW(L"" TAVRIK_DIRECTORY_VARIABLE, nullptr);
    SetEnvironmentVariableW(L"" TAVRIK_ARGV0_VARIABLE, nullptr);
}

TEST(Launch, ChildStartGivesUpAfterFiveInternalErrorsAndAtOnceOnOthers) {
    // Also in each death test's own process, which runs this body afresh.
    initialise_cleanup();
    is_top_level = true;
    launch.argv = *__p___wargv();
    child_starter.create_process = starting::create;
    starting::refusals = 1000;
    EXPECT_FAILS_ON_STDERR(
        {
            starting::calls = 0;
            start_child();
        },
        error_code_line("Error, couldn't launch child", ERROR_INTERNAL_ERROR));
    // Five attempts are made: the fifth may still succeed.
    starting::calls = 0;
    starting::refusals = child_start_attempts - 1;
    HANDLE child = start_child();
    EXPECT_EQ(starting::calls, child_start_attempts);
    wait_for_child(child);
    starting::refusal = ERROR_ACCESS_DENIED;
    starting::refusals = 1000;
    EXPECT_FAILS_ON_STDERR(start_child(), error_code_line("Error, couldn't launch child", ERROR_ACCESS_DENIED));
    starting::refusal = ERROR_INTERNAL_ERROR;
    child_starter.create_process = CreateProcessW;
    initialise_cleanup();
    SetEnvironmentVariableW(L"" TAVRIK_DIRECTORY_VARIABLE, nullptr);
    SetEnvironmentVariableW(L"" TAVRIK_ARGV0_VARIABLE, nullptr);
}

namespace {
DWORD WINAPI failing_resume(HANDLE) {
    SetLastError(ERROR_ACCESS_DENIED);
    return static_cast<DWORD>(-1);
}
DWORD WINAPI failing_wait(HANDLE, DWORD) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
}
}  // namespace

// A child that cannot be resumed would be waited for without end, and one
// that cannot be waited for would be taken to have ended: each is a failure
// with its line and exit code 2.
TEST(Launch, FailingResumeOrWaitEndsWithItsLine) {
    initialise_cleanup();
    is_top_level = true;
    launch.argv = *__p___wargv();
    child_starter.create_process = starting::create;
    starting::refusals = 0;
    child_starter.resume_thread = failing_resume;
    EXPECT_FAILS_ON_STDERR(start_child(), error_code_line("Error, couldn't launch child", ERROR_ACCESS_DENIED));
    child_starter.resume_thread = ResumeThread;
    child_starter.wait = failing_wait;
    EXPECT_FAILS_ON_STDERR(wait_for_child(start_child()),
                           error_code_line("Error, couldn't wait for child", ERROR_INVALID_HANDLE));
    child_starter.wait = WaitForSingleObject;
    // Both as before once the steps succeed.
    EXPECT_EQ(wait_for_child(start_child()), 5u);
    child_starter.create_process = CreateProcessW;
    initialise_cleanup();
    SetEnvironmentVariableW(L"" TAVRIK_DIRECTORY_VARIABLE, nullptr);
    SetEnvironmentVariableW(L"" TAVRIK_ARGV0_VARIABLE, nullptr);
}
