// A launcher ended hard (as Task Manager, taskkill /F or a CI runner end
// it): its application ends with it, and the next start of any packed
// application removes the directory it left, and nothing else.

#include <gtest/gtest.h>

#include <thread>

#include "tests/e2e/e2e_support.h"

using namespace e2e;

namespace {

std::wstring directory_of(const std::string &path) {
    std::wstring wide_path = wide(path);
    return wide_path.substr(0, wide_path.rfind(L'\\'));
}

tavrik_report::report wait_for_report(const std::wstring &path) {
    for (int i = 0; i < 600 && !exists(path); ++i) Sleep(50);
    Sleep(50);  // written whole, but give the writer time to close it
    tavrik::Bytes bytes = read_bytes(path);
    return tavrik_report::parse_report(std::string(bytes.begin(), bytes.end()));
}

// Starts `exe` without arguments, its streams going nowhere.
PROCESS_INFORMATION start(const std::wstring &exe) {
    std::wstring command = L"\"" + exe + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    EXPECT_TRUE(CreateProcessW(exe.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                               &process));
    CloseHandle(process.hThread);
    return process;
}

HANDLE open_process(const std::string &pid) {
    return OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, static_cast<DWORD>(std::stoul(pid)));
}

}  // namespace

TEST(HardKill, ApplicationEndsWithTheLauncherAndTheNextStartRemovesItsDirectory) {
    Sandbox sandbox;
    std::wstring exe = sandbox / L"app.exe";
    std::wstring other = sandbox / L"other.exe";
    pack(exe, {file_entry(L"report_app.dll", app_path(L"report_app.dll"))});
    pack(other, {file_entry(L"report_app.dll", app_path(L"report_app.dll")), entry(L"x.bin", {1})});
    ScopedEnv sleep(L"TAVRIK_TEST_SLEEP_MS", L"60000");

    // Killed while its application runs.
    PROCESS_INFORMATION killed = start(exe);
    tavrik_report::report report = wait_for_report(sandbox.report_path());
    HANDLE application = open_process(report["pid"]);
    ASSERT_NE(application, nullptr);
    TerminateProcess(killed.hProcess, 9);
    EXPECT_EQ(WaitForSingleObject(application, 3000), static_cast<DWORD>(WAIT_OBJECT_0))
        << "the application outlived its launcher";
    CloseHandle(application);
    CloseHandle(killed.hProcess);
    std::wstring left = directory_of(report["library_path"]);
    EXPECT_TRUE(exists(left));

    // A launcher that still runs, a directory of a live unrelated process,
    // and look-alike names: none of them is touched.
    std::wstring live_report = sandbox / L"live.txt";
    PROCESS_INFORMATION live;
    {
        ScopedEnv report_path(L"TAVRIK_TEST_REPORT", live_report.c_str());
        live = start(exe);
    }
    std::wstring live_directory = directory_of(wait_for_report(live_report)["library_path"]);
    const std::wstring untouched[] = {
        sandbox.temp() + L"\\onefile_" + std::to_wstring(GetCurrentProcessId()) + L"_123456_AAAAAAAAAAA",
        sandbox.temp() + L"\\onefile_x_y_z", sandbox.temp() + L"\\onefile_4000000001_123456_AAAAAAAAAAA_extra"};
    for (const std::wstring &directory : untouched) make_directories(directory + L"\\sub");
    std::wstring look_alike_file = sandbox.temp() + L"\\onefile_4000000001_123456_BBBBBBBBBBB";
    write_bytes(look_alike_file, {1});

    // The next start of another packed application, running long enough
    // for its sweep.
    std::wstring other_report = sandbox / L"other.txt";
    {
        ScopedEnv report_path(L"TAVRIK_TEST_REPORT", other_report.c_str());
        ScopedEnv shorter(L"TAVRIK_TEST_SLEEP_MS", L"2500");
        RunResult next = run_args(other, {});
        EXPECT_EQ(next.exit_code, 0u) << next.out << next.err;
        EXPECT_EQ(next.out + next.err, "");
    }
    EXPECT_FALSE(exists(left)) << "the killed launcher's directory is still there";
    EXPECT_TRUE(exists(live_directory + L"\\report_app.dll"));
    for (const std::wstring &directory : untouched) EXPECT_TRUE(exists(directory + L"\\sub"));
    EXPECT_EQ(read_bytes(look_alike_file), tavrik::Bytes({1}));

    TerminateProcess(live.hProcess, 9);
    WaitForSingleObject(live.hProcess, 5000);
    CloseHandle(live.hProcess);
}

// Processes the application starts are its own business: they run on after
// the launcher has ended.
TEST(HardKill, ProcessesTheApplicationStartsOutliveTheLauncher) {
    Sandbox sandbox;
    std::wstring exe = sandbox / L"spawner.exe";
    pack(exe, {file_entry(L"report_app.dll", app_path(L"report_app.dll"))});
    ScopedEnv spawn(L"TAVRIK_TEST_SPAWN", (L"\"" + wide(TAVRIK_SLEEPER_PATH) + L"\" 20000").c_str());
    RunResult result = run_args(exe, {});
    EXPECT_EQ(result.exit_code, 0u) << result.out << result.err;
    HANDLE spawned = open_process(sandbox.read_report()["spawned"]);
    ASSERT_NE(spawned, nullptr);
    EXPECT_EQ(WaitForSingleObject(spawned, 1000), static_cast<DWORD>(WAIT_TIMEOUT)) << "ended with the launcher";
    TerminateProcess(spawned, 0);
    CloseHandle(spawned);
    EXPECT_TRUE(sandbox.target_directories().empty());
}
