// The clean-up of the top-level instance: the child's grace period, the
// deletion of the target directory with its retries, the console handler,
// and the main thread and the handler thread meeting in the clean-up.
//
// The clean-up's system operations go through `cleanup.operations`; the tests
// put counting wrappers there, around the real operations or around fakes.

#include <windows.h>

#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <thread>

#include "launcher/cleanup.h"
#include "launcher/launch_state.h"
#include "tests/launcher/test_support.h"

namespace {

using clock_type = std::chrono::steady_clock;

std::atomic<int> delete_calls;
std::atomic<int> attribute_calls;
std::atomic<int> pause_calls;
std::atomic<unsigned> paused_ms;
// Pauses of any length other than 100 ms.
std::atomic<int> odd_pauses;

// The system operations as initialise_cleanup() installs them.
CleanupOperations real_operations;

// The exit codes the handler would have ended the process with.
std::atomic<int> end_calls;
std::atomic<DWORD> ended_with;
void record_end(UINT exit_code) {
    ++end_calls;
    ended_with = exit_code;
}

DWORD counted_real_delete(const wchar_t *directory) {
    ++delete_calls;
    return real_operations.delete_tree(directory);
}
DWORD counted_real_attributes(const wchar_t *path) {
    ++attribute_calls;
    return real_operations.get_attributes(path);
}
void count_pause(DWORD milliseconds) {
    ++pause_calls;
    paused_ms += milliseconds;
    if (milliseconds != 100) ++odd_pauses;
}
void counted_real_pause(DWORD milliseconds) {
    count_pause(milliseconds);
    real_operations.pause(milliseconds);
}

// A directory that nothing can remove: the deletion reports a failure.
DWORD resisting_delete(const wchar_t *) {
    ++delete_calls;
    return ERROR_ACCESS_DENIED;
}
DWORD vanishing_delete(const wchar_t *) {
    ++delete_calls;
    return 0;
}
DWORD directory_attributes(const wchar_t *) {
    ++attribute_calls;
    return FILE_ATTRIBUTE_DIRECTORY;
}
DWORD missing_attributes(const wchar_t *) {
    ++attribute_calls;
    return INVALID_FILE_ATTRIBUTES;
}

double seconds_since(clock_type::time_point start) {
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

std::wstring own_directory() {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring text = path;
    return text.substr(0, text.rfind(L'\\') + 1);
}

// Starts exit_after.exe: it sleeps `ms`, then exits with `code`.
PROCESS_INFORMATION start_child(unsigned ms, unsigned code) {
    std::wstring program = own_directory() + L"exit_after.exe";
    std::wstring command = L"\"" + program + L"\" " + std::to_wstring(ms) + L" " + std::to_wstring(code);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child = {};
    if (!CreateProcessW(program.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &child))
        ADD_FAILURE() << "exit_after.exe did not start: " << GetLastError();
    else
        CloseHandle(child.hThread);
    return child;
}

class Cleanup : public testing::Test {
protected:
    void SetUp() override {
        initialise_cleanup();
        real_operations = cleanup.operations;
        cleanup.operations = {counted_real_delete, counted_real_attributes, counted_real_pause, record_end};
        delete_calls = 0;
        attribute_calls = 0;
        pause_calls = 0;
        paused_ms = 0;
        odd_pauses = 0;
        end_calls = 0;
        ended_with = 0;
    }
    void TearDown() override {
        launch.target_directory.clear();
        initialise_cleanup();
    }
    void target(const std::wstring &directory) { launch.target_directory.assign(directory.c_str()); }
    // A small tree: files at two levels and an empty directory.
    std::wstring make_tree(const ScratchDirectory &scratch) {
        std::wstring root = scratch / L"onefile_tree";
        CreateDirectoryW(root.c_str(), nullptr);
        CreateDirectoryW((root + L"\\sub").c_str(), nullptr);
        CreateDirectoryW((root + L"\\sub\\deeper").c_str(), nullptr);
        CreateDirectoryW((root + L"\\empty").c_str(), nullptr);
        write_file(root + L"\\app.dll", "library");
        write_file(root + L"\\sub\\data.bin", std::string(100000, 'x'));
        write_file(root + L"\\sub\\deeper\\n\u00e4me with space.txt", "text");
        EXPECT_TRUE(exists(root + L"\\sub\\deeper\\n\u00e4me with space.txt"));
        return root;
    }
};

// --- The deletion ---------------------------------------------------------

TEST_F(Cleanup, BeforeExtractionStartedDeletesNothingAndDoesNotWait) {
    ScratchDirectory scratch;
    std::wstring root = make_tree(scratch);
    target(root);
    auto start = clock_type::now();
    cleanup_extraction();
    EXPECT_LT(seconds_since(start), 1.0);
    EXPECT_EQ(delete_calls, 0);
    EXPECT_EQ(attribute_calls, 0);
    EXPECT_EQ(pause_calls, 0);
    EXPECT_TRUE(exists(root + L"\\sub\\data.bin"));
}

TEST_F(Cleanup, ResistingDirectoryGetsTwentyOneAttemptsAndTwentyPauses) {
    target(L"C:\\nowhere\\onefile_resisting");
    cleanup.operations = {resisting_delete, directory_attributes, count_pause, record_end};
    mark_extraction_started();
    cleanup_extraction();
    EXPECT_EQ(delete_calls, 21);
    EXPECT_EQ(attribute_calls, 20);
    EXPECT_EQ(pause_calls, 20);
    EXPECT_EQ(odd_pauses, 0);
    EXPECT_EQ(paused_ms, 2000u);
}

TEST_F(Cleanup, ResistingRealDirectoryTakesAboutTwoSecondsAndIsNotReported) {
    ScratchDirectory scratch;
    std::wstring root = make_tree(scratch);
    target(root);
    // Real attributes and real pauses; only the deletion does nothing.
    cleanup.operations = {resisting_delete, counted_real_attributes, counted_real_pause, record_end};
    mark_extraction_started();
    auto start = clock_type::now();
    cleanup_extraction();
    double elapsed = seconds_since(start);
    EXPECT_GE(elapsed, 1.5);
    EXPECT_LE(elapsed, 10.0);
    EXPECT_EQ(delete_calls, 21);
    EXPECT_EQ(attribute_calls, 20);
    EXPECT_EQ(pause_calls, 20);
    EXPECT_TRUE(exists(root));
}

TEST_F(Cleanup, DirectoryGoneAfterFirstAttemptCostsOneQueryAndNoPause) {
    target(L"C:\\nowhere\\onefile_vanishing");
    cleanup.operations = {vanishing_delete, missing_attributes, count_pause, record_end};
    mark_extraction_started();
    cleanup_extraction();
    EXPECT_EQ(delete_calls, 1);
    EXPECT_EQ(attribute_calls, 1);
    EXPECT_EQ(pause_calls, 0);
}

// A deletion would resolve these against the current directory; they never
// reach it.
TEST_F(Cleanup, TargetThatIsNotAbsoluteIsNeverHandedToTheDeletion) {
    const wchar_t *targets[] = {L"", L"onefile_relative", L"sub\\onefile_x", L"\\onefile_rooted", L"C:onefile_x"};
    for (const wchar_t *path : targets) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(path)));
        initialise_cleanup();
        cleanup.operations = {resisting_delete, directory_attributes, count_pause, record_end};
        delete_calls = 0;
        attribute_calls = 0;
        target(path);
        mark_extraction_started();
        cleanup_extraction();
        EXPECT_EQ(delete_calls, 0);
        EXPECT_EQ(attribute_calls, 0);
    }
}

namespace turning {
// The first attempt leaves a file where the directory was.
DWORD replace_with_file(const wchar_t *path) {
    ++delete_calls;
    remove_tree(path);
    write_file(path, "now a file");
    return 0;
}
}  // namespace turning

TEST_F(Cleanup, PathThatTurnsIntoAFileStopsAfterFirstAttempt) {
    ScratchDirectory scratch;
    std::wstring root = make_tree(scratch);
    target(root);
    cleanup.operations = {turning::replace_with_file, counted_real_attributes, counted_real_pause, record_end};
    mark_extraction_started();
    cleanup_extraction();
    EXPECT_EQ(delete_calls, 1);
    EXPECT_EQ(attribute_calls, 1);
    EXPECT_EQ(pause_calls, 0);
    // Not a directory any more, so not the clean-up's to delete.
    EXPECT_EQ(read_file(root), "now a file");
}

TEST_F(Cleanup, RealTreeIsDeletedInOneAttempt) {
    ScratchDirectory scratch;
    std::wstring root = make_tree(scratch);
    target(root);
    mark_extraction_started();
    cleanup_extraction();
    EXPECT_FALSE(exists(root));
    EXPECT_TRUE(exists(scratch.path()));
    EXPECT_EQ(delete_calls, 1);
    EXPECT_EQ(attribute_calls, 1);
    EXPECT_EQ(pause_calls, 0);
}

// A failure in the middle of a file: the clean-up closes the file the walk
// holds open (as it opens it, sharing no deletion) before deleting the tree.
TEST_F(Cleanup, FailureClosesTheFileBeingWrittenAndDeletesTheTreeAtOnce) {
    ScratchDirectory scratch;
    std::wstring root = make_tree(scratch);
    target(root);
    mark_extraction_started();
    HANDLE file = CreateFileW((root + L"\\sub\\half.bin").c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr,
                              CREATE_NEW, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    cleanup.file_being_written = file;
    cleanup_after_failure();
    EXPECT_EQ(cleanup.file_being_written, nullptr);
    EXPECT_FALSE(exists(root));
    EXPECT_EQ(delete_calls, 1);
    EXPECT_EQ(pause_calls, 0);
}

TEST_F(Cleanup, DeletionRunsOnceForTwoCalls) {
    ScratchDirectory scratch;
    std::wstring root = make_tree(scratch);
    target(root);
    mark_extraction_started();
    cleanup_extraction();
    EXPECT_FALSE(exists(root));
    // Whatever appears there afterwards is not ours any more.
    CreateDirectoryW(root.c_str(), nullptr);
    cleanup_extraction();
    EXPECT_TRUE(exists(root));
    EXPECT_EQ(delete_calls, 1);
}

namespace slow {
std::atomic<int> inside;
std::atomic<int> most_inside;
DWORD delete_slowly(const wchar_t *) {
    int now = ++inside;
    if (now > most_inside) most_inside = now;
    ++delete_calls;
    Sleep(300);
    --inside;
    return 0;
}
}  // namespace slow

TEST_F(Cleanup, ConcurrentCallsDeleteOnceAndBothWaitForTheDeletion) {
    target(L"C:\\nowhere\\onefile_shared");
    slow::inside = 0;
    slow::most_inside = 0;
    cleanup.operations = {slow::delete_slowly, missing_attributes, count_pause, record_end};
    mark_extraction_started();
    auto start = clock_type::now();
    double ended[2] = {0, 0};
    std::thread first([&] {
        cleanup_extraction();
        ended[0] = seconds_since(start);
    });
    std::thread second([&] {
        cleanup_extraction();
        ended[1] = seconds_since(start);
    });
    first.join();
    second.join();
    EXPECT_EQ(delete_calls, 1);
    EXPECT_EQ(slow::most_inside, 1);
    // Neither returns while the directory may still be there.
    EXPECT_GE(ended[0], 0.25);
    EXPECT_GE(ended[1], 0.25);
    EXPECT_LT(seconds_since(start), 10.0);
}

// A file inside held open without FILE_SHARE_DELETE keeps the walk from
// deleting it (Wine checks sharing like Windows does); the retries then win
// once the handle is closed.
TEST_F(Cleanup, DirectoryHeldOpenIsDeletedByARetryOnceReleased) {
    ScratchDirectory scratch;
    std::wstring root = make_tree(scratch);
    target(root);
    HANDLE held = CreateFileW((root + L"\\sub\\data.bin").c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    mark_extraction_started();
    std::thread releaser([held] {
        Sleep(700);
        CloseHandle(held);
    });
    auto start = clock_type::now();
    cleanup_extraction();
    double elapsed = seconds_since(start);
    releaser.join();
    EXPECT_FALSE(exists(root));
    EXPECT_GE(delete_calls, 2);
    EXPECT_LE(delete_calls, 21);
    EXPECT_EQ(pause_calls, delete_calls - 1);
    EXPECT_GE(elapsed, 0.5);
    EXPECT_LT(elapsed, 10.0);
}

TEST_F(Cleanup, DirectoryHeldOpenThroughoutSurvivesAllAttempts) {
    ScratchDirectory scratch;
    std::wstring root = make_tree(scratch);
    target(root);
    HANDLE held = CreateFileW((root + L"\\app.dll").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    mark_extraction_started();
    cleanup_extraction();
    EXPECT_EQ(delete_calls, 21);
    EXPECT_EQ(pause_calls, 20);
    EXPECT_TRUE(exists(root + L"\\app.dll"));
    CloseHandle(held);
}

// --- The child --------------------------------------------------------------

// An interruption ends the launcher with the code of a child that ended by
// itself within the grace period, and the main thread agrees.
TEST_F(Cleanup, ChildEndingWithinGracePeriodKeepsItsExitCode) {
    PROCESS_INFORMATION child = start_child(500, 130);
    ASSERT_NE(child.hProcess, nullptr);
    ASSERT_TRUE(set_child_process(child.hProcess));
    auto start = clock_type::now();
    EXPECT_TRUE(console_control_handler(CTRL_C_EVENT));
    double elapsed = seconds_since(start);
    EXPECT_LT(elapsed, 4.5);
    DWORD code = 0;
    ASSERT_EQ(WaitForSingleObject(child.hProcess, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(GetExitCodeProcess(child.hProcess, &code));
    EXPECT_EQ(code, 130u);
    EXPECT_EQ(end_calls, 1);
    EXPECT_EQ(ended_with, 130u);
    // The handle is still the main thread's to take back and close.
    HANDLE taken = take_child_process(code);
    EXPECT_EQ(taken, child.hProcess);
    EXPECT_TRUE(CloseHandle(taken));
    EXPECT_EQ(take_child_process(0), nullptr);
    EXPECT_EQ(exit_code_after_cleanup(code), 130u);
}

namespace ordering {
HANDLE child;
std::atomic<bool> child_ended_at_deletion;
DWORD record_child_state(const wchar_t *directory) {
    child_ended_at_deletion = WaitForSingleObject(child, 0) == WAIT_OBJECT_0;
    return counted_real_delete(directory);
}
}  // namespace ordering

TEST_F(Cleanup, ChildStillRunningIsTerminatedWithZeroAfterGracePeriodBeforeDeletion) {
    ScratchDirectory scratch;
    std::wstring root = make_tree(scratch);
    target(root);
    PROCESS_INFORMATION child = start_child(60000, 7);
    ASSERT_NE(child.hProcess, nullptr);
    ordering::child = child.hProcess;
    ordering::child_ended_at_deletion = false;
    cleanup.operations.delete_tree = ordering::record_child_state;
    mark_extraction_started();
    ASSERT_TRUE(set_child_process(child.hProcess));
    auto start = clock_type::now();
    console_control_handler(CTRL_C_EVENT);
    double elapsed = seconds_since(start);
    EXPECT_GE(elapsed, 4.0);
    EXPECT_LT(elapsed, 15.0);
    EXPECT_EQ(WaitForSingleObject(child.hProcess, 5000), WAIT_OBJECT_0);
    DWORD code = 7;
    EXPECT_TRUE(GetExitCodeProcess(child.hProcess, &code));
    EXPECT_EQ(code, 0u);
    EXPECT_TRUE(ordering::child_ended_at_deletion);
    EXPECT_EQ(delete_calls, 1);
    EXPECT_FALSE(exists(root));
    // The terminated child's 0 is not the launcher's code: the launcher had
    // to stop it, which both threads report as Ctrl+C's own status.
    EXPECT_EQ(end_calls, 1);
    EXPECT_EQ(ended_with, static_cast<DWORD>(STATUS_CONTROL_C_EXIT));
    HANDLE taken = take_child_process(code);
    EXPECT_EQ(taken, child.hProcess);
    if (taken == nullptr) TerminateProcess(child.hProcess, 0);
    CloseHandle(child.hProcess);
    EXPECT_EQ(exit_code_after_cleanup(code), static_cast<DWORD>(STATUS_CONTROL_C_EXIT));
}

// A child created after the interruption is never handed to the clean-up:
// the main thread ends it before it runs, and no child counts as having run.
TEST_F(Cleanup, ChildCreatedAfterTheInterruptionIsRefused) {
    target(L"C:\\nowhere\\onefile_late");
    cleanup.operations = {vanishing_delete, missing_attributes, count_pause, record_end};
    EXPECT_FALSE(interruption_under_way());
    console_control_handler(CTRL_BREAK_EVENT);
    EXPECT_TRUE(interruption_under_way());
    EXPECT_FALSE(set_child_process(GetCurrentProcess()));
    EXPECT_EQ(take_child_process(7), nullptr);
    EXPECT_EQ(exit_code_after_cleanup(7), static_cast<DWORD>(STATUS_CONTROL_C_EXIT));
    EXPECT_EQ(ended_with, static_cast<DWORD>(STATUS_CONTROL_C_EXIT));
}

// --- The console handler -------------------------------------------------

// Ending events clean up and then end the launcher (no child ran: Ctrl+C's
// status); the others go on to the next handler untouched.
TEST_F(Cleanup, ConsoleHandlerEndsTheLauncherAfterCleanUpForEndingEventsOnly) {
    for (DWORD type = 0; type <= 10; ++type) {
        SCOPED_TRACE(type);
        initialise_cleanup();
        cleanup.operations = {vanishing_delete, missing_attributes, count_pause, record_end};
        delete_calls = 0;
        end_calls = 0;
        ended_with = 0;
        target(L"C:\\nowhere\\onefile_handler");
        mark_extraction_started();
        bool ending = type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT || type == CTRL_CLOSE_EVENT ||
                      type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT;
        // TRUE is returned only here, where ending the process does not end it.
        EXPECT_EQ(console_control_handler(type), ending ? TRUE : FALSE);
        EXPECT_EQ(delete_calls, ending ? 1 : 0);
        EXPECT_EQ(end_calls, ending ? 1 : 0);
        EXPECT_EQ(ended_with, ending ? static_cast<DWORD>(STATUS_CONTROL_C_EXIT) : 0u);
        EXPECT_EQ(interruption_under_way(), ending);
    }
}

// --- The main thread and the handler together ---------------------------

// The main thread's sequence from start_child() on against a Ctrl+C arriving
// on another thread at a random moment around the child's end.
TEST_F(Cleanup, MainPathAndHandlerTogetherDeleteOnceAndCloseTheChildOnce) {
    ScratchDirectory scratch;
    std::mt19937 random(GetTickCount());
    auto start = clock_type::now();
    constexpr int rounds = 20;
    for (int round = 0; round < rounds; ++round) {
        SCOPED_TRACE(round);
        initialise_cleanup();
        cleanup.operations = {counted_real_delete, counted_real_attributes, counted_real_pause, record_end};
        delete_calls = 0;
        end_calls = 0;
        ended_with = 0;
        std::wstring root = scratch / (L"onefile_round" + std::to_wstring(round));
        CreateDirectoryW(root.c_str(), nullptr);
        write_file(root + L"\\app.dll", "library");
        target(root);
        mark_extraction_started();

        PROCESS_INFORMATION child = start_child(random() % 40, 7);
        ASSERT_NE(child.hProcess, nullptr);
        DWORD handler_delay = random() % 80;
        std::atomic<int> handler_result(-1);
        std::thread handler([&] {
            Sleep(handler_delay);
            handler_result = console_control_handler(CTRL_C_EVENT);
        });

        // As the main thread does: a child the handler came before is ended
        // unstarted (this one has run, but must be counted as not).
        bool published = set_child_process(child.hProcess);
        if (!published) TerminateProcess(child.hProcess, 0);
        WaitForSingleObject(child.hProcess, INFINITE);
        DWORD code = 0;
        BOOL got_code = GetExitCodeProcess(child.hProcess, &code);
        HANDLE taken = take_child_process(code);
        // Had the handler closed the handle, this close would fail.
        BOOL closed = published ? CloseHandle(taken) : taken == nullptr && CloseHandle(child.hProcess);
        cleanup_extraction();
        handler.join();
        DWORD main_code = exit_code_after_cleanup(code);

        EXPECT_TRUE(got_code);
        EXPECT_TRUE(closed);
        EXPECT_EQ(take_child_process(0), nullptr);
        EXPECT_EQ(handler_result, TRUE);
        EXPECT_EQ(delete_calls, 1);
        EXPECT_FALSE(exists(root));
        // Whoever ends the process, the code is the same: the child's own,
        // as it always ends within the grace period, unless the handler
        // came before the child could be handed over.
        EXPECT_EQ(end_calls, 1);
        EXPECT_EQ(ended_with, main_code);
        EXPECT_EQ(main_code, published ? 7u : static_cast<DWORD>(STATUS_CONTROL_C_EXIT));
        if (HasFailure()) break;
    }
    EXPECT_LT(seconds_since(start), 60.0);
}

}  // namespace
