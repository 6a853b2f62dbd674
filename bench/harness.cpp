// The benchmark's Windows-side harness: starts programs with CreateProcessW,
// waits for them and times them with QueryPerformanceCounter, so that the
// wine command's own start-up is never part of a figure.
//
//   tavrik-bench-harness.exe --runs N --out OUT.tsv --work DIR
//                            --launcher PACKED.exe --floor FLOOR.exe
//                            --archive-bytes BYTES [--overlay FILE]
//                            [--mode full|stale|memory|pair]
//                            [--stale COUNT --stale-source DIR [--hold-ms MS]]
//
// Round 0 is a warm-up (written with round 0; the report leaves it out),
// rounds 1..N follow. In the full mode (the default) every round runs, in
// this order:
//   launcher  PACKED.exe, timed from just before CreateProcessW to the
//             return of the wait for its end
//   floor     FLOOR.exe PACKED.exe BYTES, timed the same way
//   samejob   FLOOR.exe --same-job PACKED.exe BYTES: the launcher's whole
//             job done plainly, timed the same way
//   probe     PACKED.exe again, with TAVRIK_BENCH_REPORT set so the bench
//             application reports its timestamps and memory figures; the
//             harness polls the process about once a millisecond for its
//             peak working set and for the appearance of its directory in
//             %TEMP% (timings of probe runs include that polling and the
//             application's reporting; the launcher figure never does)
//   samejob-probe  the same job with a report of the counter at the end of
//             each of its steps and its memory figures, written after the
//             deletion
//   trivial   FLOOR.exe --child: a process that returns at once
//   decode    FLOOR.exe --decode-only: the floor's mapping and decoding
//             alone, timed inside that process, which reports the times
//   limit     FLOOR.exe --parts: the job's parts timed alone inside that
//             process (mapping, cold decode, writing the files, starting
//             and waiting for a child, deleting), which reports the times
//   overlay   with --overlay FILE only: FILE, plainly (it is the packed
//             file with its ".tavrik" section header removed, so the same
//             bytes are overlay; the launcher stops at once), for how long
//             creating a process of that image takes
// and with --cached CACHED.exe --runner RUN.exe --library NAME (the same
// application packed for cached mode, tavrik-run and the application DLL's
// archive name), with TAVRIK_CACHE_DIR set to DIR\cache for every run:
//   cached-cold  CACHED.exe after its cache has been deleted (untimed)
//   cached-warm  CACHED.exe with its build in place
//   run-same     RUN.exe on the application DLL in that build: the same
//                files started without a launcher
// The warm mode runs only cached-warm and run-same, many rounds of them
// being cheap, for a steadier ratio of the two.
// A round runs its kinds in an order of its own, drawn at random: a small
// process right after a heavy one is measurably slower, and a fixed order
// would always charge that to the same kind.
// After the last round one "idle" line follows: FLOOR.exe --memory, the memory one "idle" line: FLOOR.exe --memory, the memory
// figures of an otherwise empty process.
//
// The stale mode compares the full start with and without stale extraction
// directories in %TEMP%: every round runs "launcher" and "samejob" as
// above, then plants COUNT directories named as a launcher names its own
// (onefile_<pid>_<6 digits>_<11 characters>), each a copy of the tree below
// DIR (the workload as the launcher lays it out) and each with the PID of a
// process that has just ended, then runs "stale": PACKED.exe timed as
// "launcher", and notes how many of the planted directories are left, which
// the harness then deletes itself. With --hold-ms, every round then does the
// same again ("held" without, "stale-held" with planted directories) with
// TAVRIK_BENCH_HOLD_MS set, so the bench application runs that long before
// returning: long enough for a sweep that starts a while after the child.
//
// The memory mode runs only "probe" rounds, for the memory figures of a
// packed file of another size; the pair mode only "launcher", "samejob" and
// "limit", for quick comparisons of two builds.
//
// Every child gets NUL as its standard handles. One line per run goes to
// OUT.tsv: kind, round, total_us, exit_code, then key=value fields; times
// are microseconds from the moment just before CreateProcessW.

#include <windows.h>
#include <psapi.h>

#include <stdio.h>
#include <stdlib.h>

#include <functional>
#include <initializer_list>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "format/launcher_names.h"

namespace {

LARGE_INTEGER frequency;

long long qpc() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

// QPC ticks as microseconds, relative to `origin`.
double qpc_us(long long ticks, long long origin) {
    return static_cast<double>(ticks - origin) * 1e6 / static_cast<double>(frequency.QuadPart);
}

long long filetime_ticks(const FILETIME &t) {
    return static_cast<long long>((static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime);
}

// A simultaneous reading of the performance counter and the system time
// (which file times and process times use), to put both on one time line.
struct ClockPair {
    long long qpc = 0;
    long long filetime = 0;
};

ClockPair sample_clocks() {
    ClockPair best;
    long long narrowest = -1;
    for (int i = 0; i < 16; ++i) {
        long long before = qpc();
        FILETIME now;
        GetSystemTimePreciseAsFileTime(&now);
        long long after = qpc();
        if (narrowest < 0 || after - before < narrowest) {
            narrowest = after - before;
            best.qpc = before + (after - before) / 2;
            best.filetime = filetime_ticks(now);
        }
    }
    return best;
}

// A system time (100 ns units) as microseconds relative to QPC `origin`.
double filetime_us(long long filetime, const ClockPair &clocks, long long origin) {
    return static_cast<double>(filetime - clocks.filetime) / 10.0 + qpc_us(clocks.qpc, origin);
}

struct Options {
    int runs = 11;
    std::wstring out, work, launcher, floor, overlay, mode = L"full", stale_source;
    std::wstring cached, runner, library;  // cached mode's kinds, when all three are given
    int stale = 0, hold_ms = 0;
    unsigned long long archive_bytes = 0;
};

HANDLE nul_handle;
int start_retries = 0;
std::wstring temp_directory;
FILE *out;

struct Started {
    PROCESS_INFORMATION process = {};
    long long start = 0;
    bool ok = false;
};

Started start(const std::wstring &program, const std::wstring &arguments) {
    std::wstring command = L"\"" + program + L"\"" + (arguments.empty() ? L"" : L" " + arguments);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nul_handle;
    startup.hStdOutput = nul_handle;
    startup.hStdError = nul_handle;
    Started started;
    // Under load Wine now and then fails a start with ERROR_INTERNAL_ERROR;
    // a start is tried again a few times (counted for the report) before a
    // run is given up.
    for (int attempt = 0; attempt < 4; ++attempt) {
        if (attempt > 0) {
            ++start_retries;
            Sleep(100);
        }
        started.start = qpc();
        started.ok = CreateProcessW(program.c_str(), &command[0], nullptr, nullptr, TRUE, NORMAL_PRIORITY_CLASS,
                                    nullptr, nullptr, &startup, &started.process) != 0;
        if (started.ok) break;
    }
    if (started.ok) CloseHandle(started.process.hThread);
    return started;
}

DWORD exit_code_of(HANDLE process) {
    DWORD code = 0xFFFFFFFF;
    GetExitCodeProcess(process, &code);
    return code;
}

// Also notes when the process came to exist (its creation time) and ended,
// as the system recorded them; both are read after the timed part.
void plain_run(const char *kind, int round, const std::wstring &program, const std::wstring &arguments) {
    ClockPair clocks = sample_clocks();
    Started run = start(program, arguments);
    if (!run.ok) {
        fprintf(out, "%s\t%d\tNA\tstart-failed-%lu\n", kind, round, GetLastError());
        return;
    }
    WaitForSingleObject(run.process.hProcess, INFINITE);
    long long end = qpc();
    fprintf(out, "%s\t%d\t%.1f\t%lu", kind, round, qpc_us(end, run.start), exit_code_of(run.process.hProcess));
    FILETIME created, exited, kernel, user;
    if (GetProcessTimes(run.process.hProcess, &created, &exited, &kernel, &user))
        fprintf(out, "\tcreated_us=%.1f\texit_us=%.1f", filetime_us(filetime_ticks(created), clocks, run.start),
                filetime_us(filetime_ticks(exited), clocks, run.start));
    // The raw counter at the start, to line up counter readings that the
    // program itself takes (a profiling build's) with this run.
    fprintf(out, "\tstart_qpc=%lld\n", run.start);
    CloseHandle(run.process.hProcess);
}

// Names in %TEMP% that start with `prefix`.
std::set<std::wstring> temp_entries(const std::wstring &prefix) {
    std::set<std::wstring> names;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileExW((temp_directory + prefix + L"*").c_str(), FindExInfoBasic, &found,
                                     FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE) return names;
    do names.insert(found.cFileName);
    while (FindNextFileW(search, &found));
    FindClose(search);
    return names;
}

std::map<std::string, std::string> read_report(const std::wstring &path) {
    std::map<std::string, std::string> values;
    FILE *file = _wfopen(path.c_str(), L"rb");
    if (file == nullptr) return values;
    char line[512];
    while (fgets(line, sizeof line, file) != nullptr) {
        std::string text(line);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        size_t equals = text.find('=');
        if (equals != std::string::npos) values[text.substr(0, equals)] = text.substr(equals + 1);
    }
    fclose(file);
    return values;
}

unsigned long long number(const std::map<std::string, std::string> &values, const char *key) {
    auto found = values.find(key);
    return found == values.end() ? 0 : _strtoui64(found->second.c_str(), nullptr, 10);
}

void probe_run(int round, int run_id, const Options &options) {
    const std::wstring report_path = options.work + L"\\probe-report.txt";
    SetEnvironmentVariableW(L"TAVRIK_BENCH_REPORT", report_path.c_str());
    SetEnvironmentVariableW(L"TAVRIK_BENCH_RUN", std::to_wstring(run_id).c_str());
    SetEnvironmentVariableW(L"TAVRIK_BENCH_HARNESS_PID", std::to_wstring(GetCurrentProcessId()).c_str());

    // Directories that exist before the start cannot be this run's.
    const std::set<std::wstring> before = temp_entries(launcher_names::directory_prefix);
    ClockPair clocks = sample_clocks();
    Started run = start(options.launcher, L"");
    SetEnvironmentVariableW(L"TAVRIK_BENCH_REPORT", nullptr);
    SetEnvironmentVariableW(L"TAVRIK_BENCH_RUN", nullptr);
    SetEnvironmentVariableW(L"TAVRIK_BENCH_HARNESS_PID", nullptr);
    if (!run.ok) {
        fprintf(out, "probe\t%d\tNA\tstart-failed-%lu\n", round, GetLastError());
        return;
    }
    HANDLE process = run.process.hProcess;
    const std::wstring prefix = launcher_names::directory_prefix + std::to_wstring(run.process.dwProcessId) + L"_";

    unsigned long long top_peak = 0, top_peak_private = 0;
    int memory_samples = 0, polls = 0;
    long long last_miss = run.start, dir_hit = 0, dir_miss = 0, end = 0;
    for (;;) {
        DWORD waited = WaitForSingleObject(process, 1);
        long long now = qpc();
        if (waited != WAIT_TIMEOUT) {
            end = now;
            break;
        }
        ++polls;
        PROCESS_MEMORY_COUNTERS memory = {};
        memory.cb = sizeof memory;
        if (GetProcessMemoryInfo(process, &memory, sizeof memory) && memory.PeakWorkingSetSize != 0) {
            ++memory_samples;
            if (memory.PeakWorkingSetSize > top_peak) top_peak = memory.PeakWorkingSetSize;
            if (memory.PeakPagefileUsage > top_peak_private) top_peak_private = memory.PeakPagefileUsage;
        }
        if (dir_hit == 0) {
            long long scan_start = qpc();
            bool found = false;
            for (const auto &name : temp_entries(prefix))
                if (before.count(name) == 0) found = true;
            if (found) {
                dir_hit = qpc();
                dir_miss = last_miss;
            } else {
                last_miss = scan_start;
            }
        }
    }
    const long long origin = run.start;
    fprintf(out, "probe\t%d\t%.1f\t%lu", round, qpc_us(end, origin), exit_code_of(process));
    fprintf(out, "\tpolls=%d\tmemory_samples=%d\ttop_peak_working_set=%llu\ttop_peak_private=%llu", polls,
            memory_samples, top_peak, top_peak_private);
    if (dir_hit != 0)
        fprintf(out, "\tdir_seen_us=%.1f\tdir_unseen_us=%.1f", qpc_us(dir_hit, origin), qpc_us(dir_miss, origin));

    FILETIME created, exited, kernel, user;
    if (GetProcessTimes(process, &created, &exited, &kernel, &user))
        fprintf(out, "\ttop_created_us=%.1f\ttop_exit_us=%.1f", filetime_us(filetime_ticks(created), clocks, origin),
                filetime_us(filetime_ticks(exited), clocks, origin));
    CloseHandle(process);

    auto report = read_report(report_path);
    if (number(report, "run") != static_cast<unsigned long long>(run_id)) {
        fprintf(out, "\treport=missing\n");
        return;
    }
    fprintf(out, "\treport=ok\tchild_pid=%llu\tfiles=%llu\tbytes=%llu", number(report, "pid"), number(report, "files"),
            number(report, "bytes"));
    fprintf(out, "\tchild_peak_working_set=%llu\tchild_working_set=%llu\tchild_peak_private=%llu",
            number(report, "peak_working_set"), number(report, "working_set"), number(report, "peak_private"));
    auto filetime_field = [&](const char *name, const char *key) {
        unsigned long long value = number(report, key);
        if (value != 0)
            fprintf(out, "\t%s=%.1f", name, filetime_us(static_cast<long long>(value), clocks, origin));
    };
    filetime_field("library_written_us", "library_write_ft");
    filetime_field("last_written_us", "latest_write_ft");
    filetime_field("child_created_us", "created_ft");
    fprintf(out, "\trun_code_entry_us=%.1f\trun_code_return_us=%.1f",
            qpc_us(static_cast<long long>(number(report, "entry_qpc")), origin),
            qpc_us(static_cast<long long>(number(report, "return_qpc")), origin));
    HANDLE child = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(number(report, "handle_in_harness")));
    if (child != nullptr) {
        // The top-level has waited for the child, so it has ended; the wait
        // only guards against reading a time that is not there yet.
        if (WaitForSingleObject(child, 2000) == WAIT_OBJECT_0 &&
            GetProcessTimes(child, &created, &exited, &kernel, &user))
            fprintf(out, "\tchild_exit_us=%.1f", filetime_us(filetime_ticks(exited), clocks, origin));
        CloseHandle(child);
    }
    fprintf(out, "\n");
}

// Runs the floor program in one of its timing modes (`flag`), which writes
// its figures to a report; prints the run and the report's `keys` as a row
// of `kind`.
void floor_report_run(int round, const Options &options, const char *kind, const wchar_t *flag,
                      const wchar_t *report_name, std::initializer_list<const char *> keys) {
    const std::wstring report_path = options.work + L"\\" + report_name;
    DeleteFileW(report_path.c_str());
    Started run = start(options.floor, std::wstring(flag) + L" \"" + options.launcher + L"\" " +
                                           std::to_wstring(options.archive_bytes) + L" \"" + report_path + L"\"");
    if (!run.ok) {
        fprintf(out, "%s\t%d\tNA\tstart-failed-%lu\n", kind, round, GetLastError());
        return;
    }
    WaitForSingleObject(run.process.hProcess, INFINITE);
    long long end = qpc();
    fprintf(out, "%s\t%d\t%.1f\t%lu", kind, round, qpc_us(end, run.start), exit_code_of(run.process.hProcess));
    CloseHandle(run.process.hProcess);
    auto report = read_report(report_path);
    for (const char *key : keys) {
        auto found = report.find(key);
        if (found != report.end()) fprintf(out, "\t%s=%s", key, found->second.c_str());
    }
    fprintf(out, "\n");
}

void decode_run(int round, const Options &options) {
    floor_report_run(round, options, "decode", L"--decode-only", L"decode-report.txt", {"map_us", "decode_us"});
}

void limit_run(int round, const Options &options) {
    floor_report_run(round, options, "limit", L"--parts", L"parts-report.txt",
                     {"map_us", "decode_us", "write_us", "spawn_us", "delete_us", "files", "checksum_us"});
}

void samejob_probe_run(int round, const Options &options) {
    const std::wstring report_path = options.work + L"\\samejob-report.txt";
    DeleteFileW(report_path.c_str());
    ClockPair clocks = sample_clocks();
    Started run = start(options.floor, L"--same-job \"" + options.launcher + L"\" " +
                                           std::to_wstring(options.archive_bytes) + L" \"" + report_path + L"\"");
    if (!run.ok) {
        fprintf(out, "samejob-probe\t%d\tNA\tstart-failed-%lu\n", round, GetLastError());
        return;
    }
    WaitForSingleObject(run.process.hProcess, INFINITE);
    long long end = qpc();
    const long long origin = run.start;
    fprintf(out, "samejob-probe\t%d\t%.1f\t%lu", round, qpc_us(end, origin), exit_code_of(run.process.hProcess));
    FILETIME created, exited, kernel, user;
    if (GetProcessTimes(run.process.hProcess, &created, &exited, &kernel, &user))
        fprintf(out, "\ttop_created_us=%.1f\ttop_exit_us=%.1f", filetime_us(filetime_ticks(created), clocks, origin),
                filetime_us(filetime_ticks(exited), clocks, origin));
    CloseHandle(run.process.hProcess);
    auto report = read_report(report_path);
    if (report.empty()) {
        fprintf(out, "\treport=missing\n");
        return;
    }
    fprintf(out, "\treport=ok\tfiles=%llu", number(report, "files"));
    for (const char *key : {"entry", "mapped", "decoded", "directory", "written", "released", "child_done", "deleted"})
        fprintf(out, "\t%s_us=%.1f", key,
                qpc_us(static_cast<long long>(number(report, (std::string(key) + "_qpc").c_str())), origin));
    for (const char *key : {"child_created", "child_exit"})
        fprintf(out, "\t%s_us=%.1f", key,
                filetime_us(static_cast<long long>(number(report, (std::string(key) + "_ft").c_str())), clocks,
                            origin));
    fprintf(out, "\tpeak_working_set=%llu\tpeak_private=%llu\n", number(report, "peak_working_set"),
            number(report, "peak_private"));
}

// ---------------------------------------------------------------- stale directories

// Deletes everything below `path`, then `path`; links are removed, never
// followed. Only ever given a directory this harness planted.
void delete_tree(const std::wstring &path) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") continue;
            std::wstring child = path + L"\\" + name;
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                !(found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
                delete_tree(child);
            else if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveDirectoryW(child.c_str());
            else
                DeleteFileW(child.c_str());
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(path.c_str());
}

bool copy_tree(const std::wstring &from, const std::wstring &to) {
    if (!CreateDirectoryW(to.c_str(), nullptr)) return false;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((from + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return false;
    bool ok = true;
    do {
        std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            ok = copy_tree(from + L"\\" + name, to + L"\\" + name) && ok;
        else
            ok = CopyFileW((from + L"\\" + name).c_str(), (to + L"\\" + name).c_str(), TRUE) && ok;
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return ok;
}

// The PID of a process that has just ended; 0 when none could be started.
// Windows (and Wine) hand a freed ID out again only much later, so it names
// no running process while the round lasts.
DWORD dead_pid(const Options &options) {
    Started run = start(options.floor, L"--child");
    if (!run.ok) return 0;
    WaitForSingleObject(run.process.hProcess, INFINITE);
    CloseHandle(run.process.hProcess);
    return run.process.dwProcessId;
}

// Plants `count` stale directories; their full paths.
std::vector<std::wstring> plant_stale(const Options &options, unsigned &seed) {
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::vector<std::wstring> planted;
    for (int i = 0; i < options.stale; ++i) {
        DWORD pid = dead_pid(options);
        if (pid == 0) continue;
        seed = seed * 1103515245u + 12345u;
        std::wstring name = launcher_names::directory_prefix + std::to_wstring(pid) + L"_";
        wchar_t digits[8];
        swprintf(digits, 8, L"%06u", (seed >> 8) % 1000000u);
        name += digits;
        name += L"_";
        for (int c = 0; c < 11; ++c) {
            seed = seed * 1103515245u + 12345u;
            name += static_cast<wchar_t>(alphabet[(seed >> 16) & 63]);
        }
        std::wstring path = temp_directory + name;
        if (copy_tree(options.stale_source, path)) planted.push_back(path);
        else delete_tree(path);
    }
    return planted;
}

// Plants stale directories (unless `plant` is false), runs PACKED.exe
// plainly as `kind`, notes how many of them are left and deletes those.
void stale_round(const char *kind, bool plant, int round, const Options &options, unsigned &seed) {
    std::vector<std::wstring> planted;
    if (plant) planted = plant_stale(options, seed);
    ClockPair clocks = sample_clocks();
    Started run = start(options.launcher, L"");
    if (!run.ok) {
        fprintf(out, "%s\t%d\tNA\tstart-failed-%lu\n", kind, round, GetLastError());
    } else {
        WaitForSingleObject(run.process.hProcess, INFINITE);
        long long end = qpc();
        fprintf(out, "%s\t%d\t%.1f\t%lu", kind, round, qpc_us(end, run.start), exit_code_of(run.process.hProcess));
        FILETIME created, exited, kernel, user;
        if (GetProcessTimes(run.process.hProcess, &created, &exited, &kernel, &user))
            fprintf(out, "\tcreated_us=%.1f\texit_us=%.1f", filetime_us(filetime_ticks(created), clocks, run.start),
                    filetime_us(filetime_ticks(exited), clocks, run.start));
        CloseHandle(run.process.hProcess);
    }
    int left = 0;
    for (const auto &path : planted) {
        DWORD attributes = GetFileAttributesW(path.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES) {
            ++left;
            delete_tree(path);
        }
    }
    if (run.ok) fprintf(out, "\tplanted=%zu\tstale_left=%d\n", planted.size(), left);
}

// The build a cached run left below `cache`: <program folder>\<build>.
std::wstring find_build(const std::wstring &cache) {
    WIN32_FIND_DATAW program, build;
    HANDLE programs = FindFirstFileW((cache + L"\\*").c_str(), &program);
    if (programs == INVALID_HANDLE_VALUE) return L"";
    std::wstring found;
    do {
        if (program.cFileName[0] == L'.') continue;
        std::wstring folder = cache + L"\\" + program.cFileName;
        HANDLE builds = FindFirstFileW((folder + L"\\*").c_str(), &build);
        if (builds == INVALID_HANDLE_VALUE) continue;
        do {
            if (wcslen(build.cFileName) == 32) found = folder + L"\\" + build.cFileName;
        } while (found.empty() && FindNextFileW(builds, &build));
        FindClose(builds);
    } while (found.empty() && FindNextFileW(programs, &program));
    FindClose(programs);
    return found;
}

void idle_memory(const Options &options) {
    const std::wstring report_path = options.work + L"\\idle-report.txt";
    Started run = start(options.floor, L"--memory \"" + report_path + L"\"");
    if (!run.ok) return;
    WaitForSingleObject(run.process.hProcess, INFINITE);
    DWORD code = exit_code_of(run.process.hProcess);
    CloseHandle(run.process.hProcess);
    auto report = read_report(report_path);
    fprintf(out, "idle\t0\tNA\t%lu\tpeak_working_set=%llu\tworking_set=%llu\tpeak_private=%llu\n", code,
            number(report, "peak_working_set"), number(report, "working_set"), number(report, "peak_private"));
}

// Fisher-Yates with a xorshift drawn from the harness's own seed.
void shuffle(std::vector<std::function<void()>> &kinds, unsigned &seed) {
    for (size_t i = kinds.size(); i > 1; --i) {
        seed ^= seed << 13;
        seed ^= seed >> 17;
        seed ^= seed << 5;
        std::swap(kinds[i - 1], kinds[seed % i]);
    }
}

bool parse(int argc, wchar_t **argv, Options &options) {
    for (int i = 1; i + 1 < argc; i += 2) {
        std::wstring key = argv[i], value = argv[i + 1];
        if (key == L"--runs") options.runs = _wtoi(value.c_str());
        else if (key == L"--out") options.out = value;
        else if (key == L"--work") options.work = value;
        else if (key == L"--launcher") options.launcher = value;
        else if (key == L"--floor") options.floor = value;
        else if (key == L"--overlay") options.overlay = value;
        else if (key == L"--archive-bytes") options.archive_bytes = _wcstoui64(value.c_str(), nullptr, 10);
        else if (key == L"--mode") options.mode = value;
        else if (key == L"--stale") options.stale = _wtoi(value.c_str());
        else if (key == L"--stale-source") options.stale_source = value;
        else if (key == L"--hold-ms") options.hold_ms = _wtoi(value.c_str());
        else if (key == L"--cached") options.cached = value;
        else if (key == L"--runner") options.runner = value;
        else if (key == L"--library") options.library = value;
        else return false;
    }
    bool cached = !options.cached.empty() && !options.runner.empty() && !options.library.empty();
    bool mode_ok = options.mode == L"full" || options.mode == L"memory" || options.mode == L"pair" ||
                   (options.mode == L"warm" && cached) ||
                   (options.mode == L"stale" && options.stale > 0 && !options.stale_source.empty());
    return argc % 2 == 1 && options.runs > 0 && !options.out.empty() && !options.work.empty() &&
           !options.launcher.empty() && !options.floor.empty() && options.archive_bytes != 0 && mode_ok;
}

}  // namespace

int wmain(int argc, wchar_t **argv) {
    Options options;
    if (!parse(argc, argv, options)) {
        fwprintf(stderr, L"usage: %ls --runs N --out OUT.tsv --work DIR --launcher PACKED.exe "
                         L"--floor FLOOR.exe --archive-bytes BYTES [--overlay FILE] [--mode full|stale|memory|pair|warm] "
                         L"[--stale COUNT --stale-source DIR [--hold-ms MS]] [--cached CACHED.exe --runner RUN.exe --library NAME]\n", argv[0]);
        return 2;
    }
    QueryPerformanceFrequency(&frequency);
    wchar_t temp[MAX_PATH + 1];
    DWORD length = GetTempPathW(MAX_PATH + 1, temp);
    if (length == 0 || length > MAX_PATH) return 2;
    temp_directory = temp;
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    nul_handle = CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             OPEN_EXISTING, 0, nullptr);
    if (nul_handle == INVALID_HANDLE_VALUE) return 2;
    out = _wfopen(options.out.c_str(), L"w");
    if (out == nullptr) return 2;
    fprintf(out, "# qpc_frequency=%lld\n", static_cast<long long>(frequency.QuadPart));

    const size_t leftovers_before = temp_entries(launcher_names::directory_prefix).size();
    const size_t samejob_before = temp_entries(L"samejob_").size();
    const std::wstring floor_arguments = L"\"" + options.launcher + L"\" " + std::to_wstring(options.archive_bytes);
    const std::wstring samejob_arguments = L"--same-job " + floor_arguments;
    unsigned seed = GetCurrentProcessId();
    int run_id = 0;
    // Cached mode's kinds need a build in place before the first round, and
    // where it lies for the runner.
    const bool cached = !options.cached.empty() && !options.runner.empty() && !options.library.empty();
    const std::wstring cache = options.work + L"\\cache";
    std::wstring runner_arguments;
    if (cached) {
        SetEnvironmentVariableW(L"TAVRIK_CACHE_DIR", cache.c_str());
        delete_tree(cache);
        Started warm_up = start(options.cached, L"");
        if (warm_up.ok) {
            WaitForSingleObject(warm_up.process.hProcess, INFINITE);
            CloseHandle(warm_up.process.hProcess);
        }
        runner_arguments = L"\"" + find_build(cache) + L"\\" + options.library + L"\"";
    }
    for (int round = 0; round <= options.runs; ++round) {
        if (options.mode == L"memory") {
            probe_run(round, ++run_id, options);
        } else if (options.mode == L"pair") {
            plain_run("launcher", round, options.launcher, L"");
            plain_run("samejob", round, options.floor, samejob_arguments);
            limit_run(round, options);
        } else if (options.mode == L"stale") {
            plain_run("launcher", round, options.launcher, L"");
            plain_run("samejob", round, options.floor, samejob_arguments);
            stale_round("stale", true, round, options, seed);
            if (options.hold_ms > 0) {
                SetEnvironmentVariableW(L"TAVRIK_BENCH_HOLD_MS", std::to_wstring(options.hold_ms).c_str());
                stale_round("held", false, round, options, seed);
                stale_round("stale-held", true, round, options, seed);
                SetEnvironmentVariableW(L"TAVRIK_BENCH_HOLD_MS", nullptr);
            }
        } else if (options.mode == L"warm") {
            std::vector<std::function<void()>> kinds = {
                [&] { plain_run("cached-warm", round, options.cached, L""); },
                [&] { plain_run("run-same", round, options.runner, runner_arguments); },
            };
            shuffle(kinds, seed);
            for (auto &kind : kinds) kind();
        } else {
            std::vector<std::function<void()>> kinds = {
                [&] { plain_run("launcher", round, options.launcher, L""); },
                [&] { plain_run("floor", round, options.floor, floor_arguments); },
                [&] { plain_run("samejob", round, options.floor, samejob_arguments); },
                [&] { probe_run(round, ++run_id, options); },
                [&] { samejob_probe_run(round, options); },
                [&] { plain_run("trivial", round, options.floor, L"--child"); },
                [&] { decode_run(round, options); },
                [&] { limit_run(round, options); },
            };
            if (!options.overlay.empty()) kinds.push_back([&] { plain_run("overlay", round, options.overlay, L""); });
            if (cached) {
                kinds.push_back([&] {
                    delete_tree(cache);
                    plain_run("cached-cold", round, options.cached, L"");
                });
                kinds.push_back([&] { plain_run("cached-warm", round, options.cached, L""); });
                kinds.push_back([&] { plain_run("run-same", round, options.runner, runner_arguments); });
            }
            shuffle(kinds, seed);
            for (auto &kind : kinds) kind();
        }
        fflush(out);
    }
    if (options.mode == L"full") idle_memory(options);
    fprintf(out, "leftover\t0\tNA\t0\tbefore=%zu\tafter=%zu\tsamejob_before=%zu\tsamejob_after=%zu\tstart_retries=%d\n",
            leftovers_before, temp_entries(launcher_names::directory_prefix).size(), samejob_before,
            temp_entries(L"samejob_").size(), start_retries);
    fclose(out);
    return 0;
}
