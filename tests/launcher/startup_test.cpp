#include <gtest/gtest.h>

#include <string>

#include "format/launcher_names.h"
#include "launcher/launch_state.h"
#include "launcher/startup.h"
#include "paths/executable_path.h"
#include "tests/launcher/test_support.h"

#include <psapi.h>

namespace {

// Starts a process of another executable (or of this one) that sleeps.
struct RunningProcess {
    explicit RunningProcess(const std::wstring &program, const std::wstring &arguments) {
        std::wstring command = L"\"" + program + L"\" " + arguments;
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;  // no output of its own
        started = CreateProcessW(program.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                 &startup, &info);
        // Its image path can be read only once the loader has set it up.
        wchar_t image[1024];
        for (int i = 0; started && i < 100 && K32GetModuleFileNameExW(info.hProcess, nullptr, image, 1024) == 0; ++i)
            Sleep(20);
    }
    ~RunningProcess() {
        if (!started) return;
        TerminateProcess(info.hProcess, 0);
        CloseHandle(info.hThread);
        CloseHandle(info.hProcess);
    }
    BOOL started = FALSE;
    PROCESS_INFORMATION info = {};
};

std::wstring sibling(const wchar_t *name) {
    std::wstring path = executable_path();
    return path.substr(0, path.rfind(L'\\') + 1) + name;
}

bool decides_nested_for(const wchar_t *value) {
    set_env(TAVRIK_PARENT_VARIABLE, value);
    return parent_is_same_executable();
}

}  // namespace

TEST(RoleDecision, MissingMalformedOrOwnParentMeansTopLevel) {
    set_env(TAVRIK_PARENT_VARIABLE, nullptr);
    EXPECT_FALSE(parent_is_same_executable());
    std::wstring own = std::to_wstring(GetCurrentProcessId());
    EXPECT_FALSE(decides_nested_for(L""));
    EXPECT_FALSE(decides_nested_for((own + L"x").c_str()));
    EXPECT_FALSE(decides_nested_for((own + L" ").c_str()));
    EXPECT_FALSE(decides_nested_for(L"4294967296"));
    EXPECT_FALSE(decides_nested_for(L"99999999999999999999"));
    // Well formed, but naming this very process (a leaked variable in a
    // fresh Wine session, whose first process always has one PID): no
    // process is its own parent.
    EXPECT_FALSE(decides_nested_for(own.c_str()));
    EXPECT_EQ(check_parent(), ParentCheck::none);
    set_env(TAVRIK_PARENT_VARIABLE, nullptr);
}

TEST(RoleDecision, ProcessOfAnotherExecutableMeansTopLevel) {
    RunningProcess other(sibling(L"sleeper.exe"), L"20000");
    ASSERT_TRUE(other.started);
    EXPECT_FALSE(decides_nested_for(std::to_wstring(other.info.dwProcessId).c_str()));
    set_env(TAVRIK_PARENT_VARIABLE, nullptr);
}

TEST(RoleDecision, ProcessOfThisExecutableMeansNestedAndADeadOneTopLevel) {
    RunningProcess same(executable_path(), L"--gtest_filter=Sleep.Forever");
    ASSERT_TRUE(same.started);
    std::wstring pid = std::to_wstring(same.info.dwProcessId);
    EXPECT_TRUE(decides_nested_for(pid.c_str()));
    TerminateProcess(same.info.hProcess, 0);
    WaitForSingleObject(same.info.hProcess, INFINITE);
    EXPECT_FALSE(decides_nested_for(pid.c_str()));
    set_env(TAVRIK_PARENT_VARIABLE, nullptr);
}

namespace {
DWORD WINAPI memory_read_refused(HANDLE, HMODULE, LPWSTR, DWORD) {
    SetLastError(ERROR_PARTIAL_COPY);
    return 0;
}
BOOL WINAPI image_query_refused(HANDLE, DWORD, LPWSTR, PDWORD) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}
DWORD created_by_named_process() {
    return static_cast<DWORD>(std::stoul(env_value(TAVRIK_PARENT_VARIABLE)));
}
}  // namespace

// A tracer or security software can refuse reading another process's
// memory: the role then comes from the system's record of the image, and
// when nothing can tell, a child of the named process refuses to go on as a
// top-level instance (which would start another child, and so on).
TEST(RoleDecision, UnreadableParentFallsBackToImageRecordAndNeverChains) {
    RunningProcess same(executable_path(), L"--gtest_filter=Sleep.Forever");
    RunningProcess other(sibling(L"sleeper.exe"), L"20000");
    ASSERT_TRUE(same.started && other.started);
    std::wstring same_pid = std::to_wstring(same.info.dwProcessId);
    std::wstring other_pid = std::to_wstring(other.info.dwProcessId);
    const ParentQueries real = parent_queries;

    parent_queries.read_image_path = memory_read_refused;
    EXPECT_TRUE(decides_nested_for(same_pid.c_str()));
    EXPECT_FALSE(decides_nested_for(other_pid.c_str()));

    parent_queries.query_image_path = image_query_refused;
    set_env(TAVRIK_PARENT_VARIABLE, same_pid.c_str());
    EXPECT_EQ(check_parent(), ParentCheck::none);  // not our creator: unrelated as far as we know
    parent_queries.creator_process_id = created_by_named_process;
    EXPECT_EQ(check_parent(), ParentCheck::unrecognised_creator);
    // Even a creator that is readable but looks different is refused.
    parent_queries.query_image_path = real.query_image_path;
    set_env(TAVRIK_PARENT_VARIABLE, other_pid.c_str());
    EXPECT_EQ(check_parent(), ParentCheck::unrecognised_creator);

    parent_queries = real;
    set_env(TAVRIK_PARENT_VARIABLE, nullptr);
}

// Run alone, this keeps a process of this executable alive for the test above.
TEST(Sleep, Forever) {
    if (GTEST_FLAG_GET(filter) == "Sleep.Forever") Sleep(60000);
}

TEST(TopLevelPreparation, PublishesOwnIdAndFreshCachedValues) {
    set_env(TAVRIK_PARENT_VARIABLE, L"garbage");
    set_env(TAVRIK_START_VARIABLE, L"1");
    set_env(TAVRIK_TIME_VARIABLE, L"123456");
    set_env(TAVRIK_RANDOM_VARIABLE, L"AAAAAAAAAAA");
    prepare_top_level_environment();
    EXPECT_EQ(env_value(TAVRIK_PARENT_VARIABLE), std::to_wstring(GetCurrentProcessId()));
    EXPECT_EQ(env_value(TAVRIK_START_VARIABLE), L"<unset>");
    EXPECT_EQ(env_value(TAVRIK_TIME_VARIABLE), L"<unset>");
    EXPECT_EQ(env_value(TAVRIK_RANDOM_VARIABLE), L"<unset>");

    compute_target_directory();
    std::wstring target = launch.target_directory.text;
    std::wstring expected_tail = L"\\onefile_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
                                 env_value(TAVRIK_TIME_VARIABLE) + L"_" + env_value(TAVRIK_RANDOM_VARIABLE);
    ASSERT_GT(target.size(), expected_tail.size());
    EXPECT_EQ(target.substr(target.size() - expected_tail.size()), expected_tail);
    EXPECT_EQ(target.substr(1, 2), L":\\");
    EXPECT_EQ(env_value(TAVRIK_START_VARIABLE), L"<unset>");

    // A nested instance recomputes the same directory from the inherited values.
    std::wstring first = target;
    compute_target_directory();
    EXPECT_EQ(std::wstring(launch.target_directory.text), first);
    for (const char *name : {TAVRIK_PARENT_VARIABLE, TAVRIK_TIME_VARIABLE, TAVRIK_RANDOM_VARIABLE})
        set_env(name, nullptr);
}

TEST(TargetDirectory, RelativeTempBecomesAbsolute) {
    wchar_t saved_tmp[1024], saved_temp[1024], current[1024];
    GetEnvironmentVariableW(L"TMP", saved_tmp, 1024);
    GetEnvironmentVariableW(L"TEMP", saved_temp, 1024);
    GetCurrentDirectoryW(1024, current);
    SetEnvironmentVariableW(L"TMP", L"relative");
    SetEnvironmentVariableW(L"TEMP", L"relative");
    compute_target_directory();
    std::wstring target = launch.target_directory.text;
    std::wstring expected = std::wstring(current) + (current[wcslen(current) - 1] == L'\\' ? L"" : L"\\") +
                            L"relative\\onefile_";
    EXPECT_EQ(target.substr(0, expected.size()), expected);
    SetEnvironmentVariableW(L"TMP", saved_tmp);
    SetEnvironmentVariableW(L"TEMP", saved_temp);
    for (const char *name : {TAVRIK_TIME_VARIABLE, TAVRIK_RANDOM_VARIABLE}) set_env(name, nullptr);
}

namespace {
void compute_with_temp(const std::wstring &temp) {
    SetEnvironmentVariableW(L"TMP", temp.c_str());
    SetEnvironmentVariableW(L"TEMP", temp.c_str());
    compute_target_directory();
}
}  // namespace

// Only a directory the clean-up can delete is unpacked into; a TEMP that
// cannot be had, or that names a place the clean-up cannot tell the top of,
// ends the start with the spec's line before anything is made.
TEST(TargetDirectory, TempFormsTheCleanupCannotDeleteEndTheStartWithOneLine) {
    wchar_t saved_tmp[1024], saved_temp[1024];
    GetEnvironmentVariableW(L"TMP", saved_tmp, 1024);
    GetEnvironmentVariableW(L"TEMP", saved_temp, 1024);
    const std::string line = "Error, couldn't runtime expand spec '{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}'.\r\n";
    struct Case {
        std::wstring temp;
        const wchar_t *target_starts;  // empty: refused
    };
    const Case cases[] = {
        {L"C:\\users\\x\\Temp", L"C:\\users\\x\\Temp\\onefile_"},
        {L"C:\\", L"C:\\onefile_"},
        {L"\\\\?\\C:\\users\\x\\Temp\\", L"\\\\?\\C:\\users\\x\\Temp\\onefile_"},
        {L"\\\\.\\C:\\users\\x\\Temp", L"\\\\.\\C:\\users\\x\\Temp\\onefile_"},
        {L"C:\\" + std::wstring(300, L't'), L""},
        {L"\\\\?\\GLOBALROOT\\Device\\HarddiskVolume1\\Temp", L""},
        {L"\\\\?\\Volume{00000000-0000-0000-0000-000000000043}\\Temp", L""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.temp.begin(), c.temp.end()));
        SetEnvironmentVariableW(L"TMP", saved_tmp);
        SetEnvironmentVariableW(L"TEMP", saved_temp);
        // Set in the death test's own process only: this one needs its
        // temporary folder for the test's files.
        if (*c.target_starts == 0) {
            EXPECT_ENDS_PRINTING(compute_with_temp(c.temp), abort_status, "", line);
        } else {
            compute_with_temp(c.temp);
            std::wstring starts = c.target_starts;
            EXPECT_EQ(std::wstring(launch.target_directory.text).substr(0, starts.size()), starts);
        }
    }
    SetEnvironmentVariableW(L"TMP", saved_tmp);
    SetEnvironmentVariableW(L"TEMP", saved_temp);
    for (const char *name : {TAVRIK_TIME_VARIABLE, TAVRIK_RANDOM_VARIABLE}) set_env(name, nullptr);
}

// A parent whose image path is near or past 2048 units is still recognised:
// a child that cut the path short would take itself for a top-level
// instance, unpack again and start another child, without end. Wine starts
// no program from such a path, so the parent's path is handed in through
// the reader; the file is real, so both paths are normalised for real.
namespace {
std::wstring long_parent_image;
DWORD WINAPI long_image_path(HANDLE, HMODULE, LPWSTR path, DWORD capacity) {
    if (long_parent_image.size() >= capacity) {
        wmemcpy(path, long_parent_image.c_str(), capacity - 1);
        path[capacity - 1] = 0;
        return capacity - 1;
    }
    wmemcpy(path, long_parent_image.c_str(), long_parent_image.size() + 1);
    return static_cast<DWORD>(long_parent_image.size());
}
}  // namespace

TEST(RoleDecision, ParentAtAPathNearAndPast2048UnitsIsRecognised) {
    // Any live process stands for the parent: its image path is replaced.
    RunningProcess parent(sibling(L"sleeper.exe"), L"20000");
    ASSERT_TRUE(parent.started);
    for (size_t length : {2040u, 2047u, 2048u, 2100u, 3000u}) {
        SCOPED_TRACE(length);
        ScratchDirectory scratch;
        std::wstring directory = scratch.path();
        while (directory.size() + 201 + 9 < length) directory += L"\\" + std::wstring(200, L'd');
        directory += L"\\" + std::wstring(length - directory.size() - 1 - 9, L'e');
        for (size_t at = scratch.path().size(); at != std::wstring::npos; at = directory.find(L'\\', at + 1))
            CreateDirectoryW((L"\\\\?\\" + directory.substr(0, at)).c_str(), nullptr);
        CreateDirectoryW((L"\\\\?\\" + directory).c_str(), nullptr);
        long_parent_image = directory + L"\\tool.exe";
        ASSERT_EQ(long_parent_image.size(), length);
        write_file(L"\\\\?\\" + long_parent_image, "MZ");

        // This process "is" the executable at that path.
        own_paths.normalised.assign(long_parent_image.c_str());
        resolve_final_path(own_paths.normalised.text, own_paths.normalised.capacity);
        shorten_path(own_paths.normalised.text, own_paths.normalised.capacity);
        parent_queries.read_image_path = long_image_path;
        EXPECT_TRUE(decides_nested_for(std::to_wstring(parent.info.dwProcessId).c_str()));
        parent_queries.read_image_path = K32GetModuleFileNameExW;
        own_paths.normalised.clear();
    }
    set_env(TAVRIK_PARENT_VARIABLE, nullptr);
}
