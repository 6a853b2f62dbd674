// Robustness: damaged attached data, hostile environments and many
// launchers at once. Whatever happens, a launcher ends within its time
// limit, with success or exit code 2 and one documented line, never with a
// crash of its own, and leaves nothing outside its own directory.
//
// The corruption campaign's size and seed come from TAVRIK_ROBUST_VARIANTS
// and TAVRIK_ROBUST_SEED (scripts/stress runs a longer one);
// TAVRIK_ROBUST_DEBUG=1 prints every variant's ending.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <thread>

#include "format/launcher_names.h"
#include "packer/archive/attached_data.h"
#include "packer/archive/frame.h"
#include "packer/packed/packed_executable.h"
#include "packer/pe/attach.h"
#include "tests/e2e/e2e_support.h"
#include "tests/e2e/robustness_support.h"

using namespace e2e;
using namespace robust;

namespace {

constexpr DWORD run_limit_ms = 30000;

const char header_line[] = "Error, couldn't find attached data header.\r\n";
const char memory_line[] = "Error, couldn't allocate memory.\r\n";
const char decode_line[] = "Error, couldn't decode attached data.\r\n";
const char entry_line[] = "Error, DLL entry point not found.\r\n";

uint32_t setting(const wchar_t *name, uint32_t fallback) {
    wchar_t text[64];
    DWORD length = GetEnvironmentVariableW(name, text, 64);
    if (length == 0 || length >= 64) return fallback;
    wchar_t *end = nullptr;
    unsigned long value = wcstoul(text, &end, 10);
    return end != nullptr && *end == 0 ? static_cast<uint32_t>(value) : fallback;
}

bool all_digits(const std::string &text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

// The environment of every run here: our own test variables only, no
// inherited launcher values, temporary files in `temp`.
EnvironmentChanges base_environment(const std::wstring &temp, const std::wstring &report) {
    EnvironmentChanges changes;
    for (const wchar_t *name :
         {L"" TAVRIK_PARENT_VARIABLE, L"" TAVRIK_START_VARIABLE, L"" TAVRIK_TIME_VARIABLE, L"" TAVRIK_RANDOM_VARIABLE,
          L"" TAVRIK_DIRECTORY_VARIABLE, L"" TAVRIK_ARGV0_VARIABLE, L"TAVRIK_TEST_IGNORE_CTRL", L"TAVRIK_TEST_LOAD",
          L"TAVRIK_TEST_RUN", L"TAVRIK_TEST_RUN_REPORT", L"TAVRIK_TEST_RUN_EXIT_CODE", L"TAVRIK_TEST_PRINT",
          L"TAVRIK_TEST_SLEEP_MS", L"TAVRIK_TEST_EXIT_CODE"})
        changes[name] = std::nullopt;
    changes[L"TMP"] = temp;
    changes[L"TEMP"] = temp;
    changes[L"TAVRIK_TEST_REPORT"] = report;
    return changes;
}

tavrik_report::report read_report_at(const std::wstring &path) {
    try {
        return tavrik_report::parse_report(read_text(path));
    } catch (const std::exception &) {
        return {};
    }
}

// "<prefix>([Error <digits>] <text without line end>)\r\n"
bool is_error_code_line(const std::string &text, const std::string &prefix) {
    if (text.rfind(prefix + " ([Error ", 0) != 0) return false;
    size_t digits = prefix.size() + 9;
    size_t bracket = text.find("] ", digits);
    // The code is printed as a signed long: large ones come out negative.
    if (bracket != std::string::npos && text[digits] == '-') ++digits;
    if (bracket == std::string::npos || !all_digits(text.substr(digits, bracket - digits))) return false;
    if (text.size() < 3 || text.compare(text.size() - 3, 3, ")\r\n") != 0) return false;
    return text.find('\n') == text.size() - 1;
}

// Which documented line a run ended with, if it ended with exit code 2 and
// exactly one of them on the right stream; "" otherwise.
std::string documented_failure(const ContainedRun &run, const std::wstring &temp) {
    if (run.exit_code != 2) return "";
    if (run.err.empty()) {
        if (run.out == header_line) return "header";
        if (run.out == memory_line) return "memory";
        if (run.out == decode_line) return "decode";
        if (run.out == entry_line) return "entry";
        return "";
    }
    if (!run.out.empty() || run.err.find('\n') != run.err.size() - 1) return "";
    const std::string open_prefix = "Error, failed to open '" + utf8(temp) + "\\onefile_";
    const std::string open_suffix = "' for writing.\r\n";
    if (run.err.rfind(open_prefix, 0) == 0 && run.err.size() > open_prefix.size() + open_suffix.size() &&
        run.err.compare(run.err.size() - open_suffix.size(), open_suffix.size(), open_suffix) == 0)
        return "open";
    if (is_error_code_line(run.err, "Error, couldn't unpack file to target path.")) return "unpack";
    if (is_error_code_line(run.err, "Error, load DLL.")) return "load";
    if (is_error_code_line(run.err, "Error, couldn't launch child")) return "launch";
    return "";
}

bool is_exception_status(DWORD code) { return code >= 0x80000000u && code != 0xFFFFFFFFu; }

// ---------------------------------------------------------------- campaign

enum class Outcome { success, documented_failure, damaged_application, launcher_crash, hang, unexplained };

struct VariantResult {
    Outcome outcome = Outcome::unexplained;
    std::string line;         // the documented line's kind
    FirstRecord application = FirstRecord::incomplete;
    bool stray = false;       // something outside the launcher's own directories
    bool left_running = false;
    std::string detail;       // for the failure message
};

struct CampaignInput {
    Bytes exe;
    Span span;
    Bytes attached;
    AttachedLayout layout;
    std::u16string first_name;
    Bytes first_content;
    uint32_t seed = 0;
};

// Output for a failure message: control characters escaped, long text cut.
std::string shown_output(const std::string &text) {
    std::string shown;
    for (char c : text.substr(0, 600)) {
        if (c == '\r') shown += "\\r";
        else if (c == '\n') shown += "\\n";
        else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned char>(c));
            shown += escaped;
        } else shown += c;
    }
    return text.size() > 600 ? shown + "..." : shown;
}

VariantResult run_variant(const CampaignInput &input, uint32_t index, const std::wstring &slot) {
    remove_tree(slot);
    const std::wstring temp = slot + L"\\a\\b\\temp";
    make_directories(temp);
    Corruption corruption = make_corruption(input.attached, input.layout, input.seed, index);
    Bytes attached = corrupted(input.attached, corruption);
    Bytes exe = input.exe;
    std::copy(attached.begin(), attached.end(), exe.begin() + input.span.offset);
    const std::wstring exe_path = slot + L"\\variant.exe";
    write_bytes(exe_path, exe);

    VariantResult result;
    result.application = decode_first_record(attached, input.first_name, input.first_content);
    ContainedRun run = run_contained(exe_path, {}, base_environment(temp, slot + L"\\report.txt"),
                                     slot + L"\\out.txt", slot + L"\\err.txt", run_limit_ms);
    tavrik_report::report report = read_report_at(slot + L"\\report.txt");
    result.left_running = run.tree_left_running;

    // What is on disk: the run's own files, the temporary directory's
    // ancestors, onefile_* directories in it and nothing else.
    std::vector<std::wstring> onefile;
    for (const std::wstring &path : tree_below(slot)) {
        if (path == L"variant.exe" || path == L"out.txt" || path == L"err.txt" || path == L"report.txt" ||
            path == L"report.txt.partial" || path == L"a" || path == L"a\\b" || path == L"a\\b\\temp")
            continue;
        if (path.rfind(L"a\\b\\temp\\onefile_", 0) == 0 && path.find(L'\\', 16) == std::wstring::npos) {
            onefile.push_back(path);
            continue;
        }
        result.stray = true;
        result.detail += " stray:" + utf8(path);
    }

    const std::string line = documented_failure(run, temp);
    const bool succeeded = run.started && !run.timed_out && run.exit_code == 0 && run.out.empty() && run.err.empty() &&
                           report["env:" TAVRIK_PARENT_VARIABLE] == std::to_string(run.process_id) &&
                           report["library_path"].rfind(utf8(temp) + "\\onefile_", 0) == 0;
    // Only the child loads the application: a damaged one can be blamed
    // only when a child was started and the top-level instance cleaned up
    // after it (its directory is gone).
    const bool child_started = run.total_processes >= 2;
    const bool application_blamable =
        result.application == FirstRecord::damaged && child_started && (onefile.empty() || run.timed_out);
    // A failed unpacking keeps its directory; every other ending removes it.
    bool directory_may_stay = false;
    if (run.timed_out) {
        result.outcome = application_blamable ? Outcome::damaged_application : Outcome::hang;
        directory_may_stay = true;
    } else if (succeeded) {
        result.outcome = Outcome::success;
    } else if (!line.empty()) {
        result.outcome = Outcome::documented_failure;
        result.line = line;
        // A damaged payload refused at the frame's checksum takes what it
        // unpacked with it.
        directory_may_stay = line == "open" || line == "unpack" || line == "memory";
    } else if (application_blamable) {
        result.outcome = Outcome::damaged_application;
    } else if (is_exception_status(run.exit_code)) {
        result.outcome = Outcome::launcher_crash;
        directory_may_stay = true;  // counted once, as the crash
    } else {
        result.outcome = Outcome::unexplained;
        directory_may_stay = true;  // counted once, as the unexplained ending
    }
    if (!onefile.empty() && !directory_may_stay) {
        result.stray = true;
        result.detail += " left behind:" + utf8(onefile.front());
    }
    char code[16];
    snprintf(code, sizeof code, "0x%lX", static_cast<unsigned long>(run.exit_code));
    result.detail = "variant " + std::to_string(index) + " (" + corruption.describe() + ", " +
                    std::to_string(run.total_processes) + " processes): exit " + code +
                    (run.timed_out ? " timed out" : "") + " out=\"" + shown_output(run.out) + "\" err=\"" +
                    shown_output(run.err) + "\"" + result.detail;
    return result;
}

}  // namespace

TEST(RobustCorruption, DamagedAttachedDataEndsInSuccessOrOneDocumentedLine) {
    Sandbox sandbox;
    CampaignInput input;
    input.seed = setting(L"TAVRIK_ROBUST_SEED", 20240607);
    const uint32_t variants = setting(L"TAVRIK_ROBUST_VARIANTS", 300);
    // To look at one variant again: its number here, and VARIANTS=1.
    const uint32_t first_variant = setting(L"TAVRIK_ROBUST_FIRST", 0);

    // The report application and a few small files, packed at the default
    // level as a user's launcher would be.
    std::vector<tavrik::ArchiveEntry> entries = {
        file_entry(L"report_app.dll", app_path(L"report_app.dll")),
        entry(L"readme.txt", tavrik::Bytes(std::begin("small text file\n"), std::end("small text file\n") - 1)),
        entry(L"data\\table.bin", random_bytes(3000, 5)),
        entry(L"data\\empty", {}),
        entry(L"lib\\deep\\blob.bin", random_bytes(40000, 6))};
    tavrik::Result<tavrik::Bytes> exe = tavrik::pack_executable(read_bytes(stub_path()), entries, tavrik::default_level, 1);
    ASSERT_TRUE(exe.ok()) << exe.error();
    input.exe = *exe;
    input.span = attached_data_span(input.exe);
    ASSERT_GT(input.span.size, 0u);
    input.attached.assign(input.exe.begin() + input.span.offset,
                          input.exe.begin() + input.span.offset + input.span.size);
    std::optional<AttachedLayout> layout = attached_layout(input.attached);
    ASSERT_TRUE(layout.has_value()) << "the packer's attached data is not laid out as expected";
    input.layout = *layout;
    input.first_name = entries[0].name;
    input.first_content = entries[0].content;
    ASSERT_EQ(decode_first_record(input.attached, input.first_name, input.first_content), FirstRecord::intact);

    // The undamaged launcher succeeds here, so every other ending below is
    // the damage's doing.
    {
        std::wstring slot = sandbox / L"control";
        make_directories(slot + L"\\temp");
        write_bytes(slot + L"\\control.exe", input.exe);
        ContainedRun control = run_contained(slot + L"\\control.exe", {}, base_environment(slot + L"\\temp", slot + L"\\report.txt"),
                                             slot + L"\\out.txt", slot + L"\\err.txt", run_limit_ms);
        ASSERT_EQ(control.exit_code, 0u) << control.out << control.err;
        ASSERT_FALSE(read_report_at(slot + L"\\report.txt").empty());
    }

    // Two variants at a time, each in a slot directory of its own.
    std::vector<VariantResult> results(variants);
    std::atomic<uint32_t> next{0};
    auto worker = [&](int slot_number) {
        std::wstring slot = sandbox / (L"slot" + std::to_wstring(slot_number));
        for (uint32_t index = next++; index < variants; index = next++)
            results[index] = run_variant(input, first_variant + index, slot);
        remove_tree(slot);
    };
    std::thread first(worker, 0), second(worker, 1);
    first.join();
    second.join();

    std::map<Outcome, uint32_t> outcomes;
    std::map<std::string, uint32_t> lines;
    uint32_t stray = 0, left_running = 0, damaged = 0;
    std::vector<std::string> problems;
    for (const VariantResult &result : results) {
        ++outcomes[result.outcome];
        if (!result.line.empty()) ++lines[result.line];
        if (result.application == FirstRecord::damaged) ++damaged;
        if (result.stray) ++stray;
        if (result.left_running) ++left_running;
        // The frame's checksum refuses every damage that would change the
        // application's bytes: no variant gets as far as running them.
        bool bad = result.outcome == Outcome::launcher_crash || result.outcome == Outcome::hang ||
                   result.outcome == Outcome::unexplained || result.outcome == Outcome::damaged_application ||
                   result.application == FirstRecord::damaged || result.stray || result.left_running;
        if (bad) problems.push_back(result.detail);
    }
    std::string documented;
    for (const auto &line : lines) documented += (documented.empty() ? "" : " ") + line.first + "=" + std::to_string(line.second);
    printf("corruption campaign: variants=%u seed=%u success=%u documented_failure=%u (%s) damaged_application=%u "
           "launcher_crash=%u hang=%u unexplained=%u stray_files=%u left_running=%u (application bytes changed "
           "in %u; starts the system refused and the harness made again: %u)\n",
           variants, input.seed, outcomes[Outcome::success], outcomes[Outcome::documented_failure], documented.c_str(),
           outcomes[Outcome::damaged_application], outcomes[Outcome::launcher_crash], outcomes[Outcome::hang],
           outcomes[Outcome::unexplained], stray, left_running, damaged, repeated_starts());
    if (setting(L"TAVRIK_ROBUST_DEBUG", 0) != 0) {
        for (uint32_t i = 0; i < variants; ++i)
            printf("%d %s | %s\n", static_cast<int>(results[i].outcome), results[i].line.c_str(), results[i].detail.c_str());
    }
    fflush(stdout);
    for (size_t i = 0; i < problems.size() && i < 20; ++i) ADD_FAILURE() << problems[i];
    EXPECT_EQ(outcomes[Outcome::launcher_crash], 0u);
    EXPECT_EQ(outcomes[Outcome::hang], 0u);
    EXPECT_EQ(outcomes[Outcome::unexplained], 0u);
    EXPECT_EQ(outcomes[Outcome::damaged_application], 0u);
    EXPECT_EQ(damaged, 0u);
    EXPECT_EQ(stray, 0u);
    EXPECT_EQ(left_running, 0u);
    if (variants >= 60) {
        // The campaign reached both ends: some variants still ran, some failed.
        EXPECT_GT(outcomes[Outcome::success], 0u);
        EXPECT_GT(outcomes[Outcome::documented_failure], 0u);
    }
}

// Executables packed before the frame carried a checksum still run: here the
// frame's checksum flag is cleared, so the decoder ends the frame before the
// checksum's four bytes, as it ended an old frame.
TEST(RobustCorruption, FrameWithoutAChecksumStillRuns) {
    Sandbox sandbox;
    std::wstring exe = sandbox / L"app.exe";
    pack(exe, {file_entry(L"report_app.dll", app_path(L"report_app.dll"))});
    Bytes image = read_bytes(exe);
    Span span = attached_data_span(image);
    ASSERT_GT(span.size, 8u);
    uint8_t &descriptor = image[span.offset + 3 + 4];
    ASSERT_EQ(descriptor & 0x04, 0x04) << "the packer wrote no checksum";
    descriptor &= static_cast<uint8_t>(~0x04);
    write_bytes(exe, image);
    ContainedRun run = run_contained(exe, {}, base_environment(sandbox.temp(), sandbox.report_path()),
                                     sandbox / L"out.txt", sandbox / L"err.txt", run_limit_ms);
    EXPECT_EQ(run.exit_code, 0u) << run.out << run.err;
    EXPECT_EQ(run.out + run.err, "");
    EXPECT_EQ(read_report_at(sandbox.report_path())["env:" TAVRIK_PARENT_VARIABLE], std::to_string(run.process_id));
    EXPECT_TRUE(sandbox.target_directories().empty());
}

// ---------------------------------------------------------------- environments

namespace {

std::wstring pack_report_app(const Sandbox &sandbox, const wchar_t *name = L"app.exe") {
    std::wstring exe = sandbox / name;
    pack(exe, {file_entry(L"report_app.dll", app_path(L"report_app.dll"))});
    return exe;
}

struct AppRun {
    ContainedRun run;
    tavrik_report::report report;
};

// Runs `exe` in a working directory of the sandbox's own (on drive C:).
AppRun run_app(const Sandbox &sandbox, const std::wstring &exe, const EnvironmentChanges &changes) {
    DeleteFileW(sandbox.report_path().c_str());
    const std::wstring working = sandbox / L"cwd";
    make_directories(working);
    AppRun result;
    result.run = run_contained(exe, {}, changes, sandbox / L"out.txt", sandbox / L"err.txt", run_limit_ms, working);
    result.report = read_report_at(sandbox.report_path());
    return result;
}

std::string describe(const AppRun &r) {
    char code[16];
    snprintf(code, sizeof code, "0x%lX", static_cast<unsigned long>(r.run.exit_code));
    return std::string("exit ") + code + (r.run.timed_out ? " (timed out)" : "") + " out=\"" +
           shown_output(r.run.out) + "\" err=\"" + shown_output(r.run.err) + "\"";
}

// "<parent>\onefile_<pid>_<6 digits>_<11 characters of base64url>"
bool is_target_directory(const std::string &path, const std::string &parent, DWORD pid) {
    const std::string prefix = parent + "\\onefile_" + std::to_string(pid) + "_";
    if (path.rfind(prefix, 0) != 0 || path.size() != prefix.size() + 6 + 1 + 11) return false;
    const std::string rest = path.substr(prefix.size());
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    return all_digits(rest.substr(0, 6)) && rest[6] == '_' && rest.find_first_not_of(alphabet, 7) == std::string::npos;
}

std::string without_file_name(const std::string &path) { return path.substr(0, path.rfind('\\')); }

// A normal top-level run: the application ran in this launcher's child, in
// a directory below `parent` that is gone afterwards.
void expect_normal_run(const AppRun &r, const std::wstring &parent) {
    ASSERT_FALSE(r.run.timed_out);
    EXPECT_EQ(r.run.exit_code, 0u) << describe(r);
    EXPECT_EQ(r.run.out + r.run.err, "");
    EXPECT_EQ(r.report.count("env:" TAVRIK_PARENT_VARIABLE), 1u) << "the application did not run";
    if (r.report.count("env:" TAVRIK_PARENT_VARIABLE) == 0) return;
    EXPECT_EQ(r.report.at("env:" TAVRIK_PARENT_VARIABLE), std::to_string(r.run.process_id))
        << "the launcher did not take itself for the top-level instance";
    EXPECT_NE(r.report.at("pid"), std::to_string(r.run.process_id));
    const std::string library = r.report.at("library_path");
    EXPECT_TRUE(is_target_directory(without_file_name(library), utf8(parent), r.run.process_id)) << library;
    EXPECT_EQ(library.substr(library.rfind('\\')), "\\report_app.dll");
    EXPECT_FALSE(exists(wide(without_file_name(library)))) << "left behind: " << library;
}

// Exit code 2 and exactly the line for a library file that cannot be
// created in "<parent>\onefile_...".
void expect_open_failure(const AppRun &r, const std::wstring &parent) {
    ASSERT_FALSE(r.run.timed_out);
    EXPECT_EQ(r.run.exit_code, 2u) << describe(r);
    EXPECT_EQ(r.run.out, "");
    const std::string prefix = "Error, failed to open '";
    const std::string suffix = "\\report_app.dll' for writing.\r\n";
    const std::string &err = r.run.err;
    ASSERT_TRUE(err.rfind(prefix, 0) == 0 && err.size() > prefix.size() + suffix.size() &&
                err.compare(err.size() - suffix.size(), suffix.size(), suffix) == 0)
        << describe(r);
    const std::string directory = err.substr(prefix.size(), err.size() - prefix.size() - suffix.size());
    EXPECT_TRUE(is_target_directory(directory, utf8(parent), r.run.process_id)) << err;
    EXPECT_TRUE(r.report.empty()) << "the application ran";
}

// The sandbox holds nothing but `expected` (relative paths) and the files
// every run here writes.
void expect_sandbox_holds_only(const Sandbox &sandbox, std::vector<std::wstring> expected) {
    for (const wchar_t *always : {L"app.exe", L"cwd", L"out.txt", L"err.txt", L"temp"}) expected.push_back(always);
    std::sort(expected.begin(), expected.end());
    std::vector<std::wstring> found = tree_below(sandbox.root());
    std::vector<std::wstring> extra;
    std::set_difference(found.begin(), found.end(), expected.begin(), expected.end(), std::back_inserter(extra));
    for (const std::wstring &path : extra) ADD_FAILURE() << "unexpected: " << utf8(path);
}

}  // namespace

TEST(RobustEnvironment, MissingTemporaryDirectoryIsCreatedAndStays) {
    Sandbox sandbox;
    std::wstring exe = pack_report_app(sandbox);
    std::wstring missing = sandbox / L"missing\\deeper";
    AppRun r = run_app(sandbox, exe, base_environment(missing, sandbox.report_path()));
    expect_normal_run(r, missing);
    // The launcher creates the missing ancestors of its directory; it
    // deletes only its own directory, so they stay, empty.
    EXPECT_TRUE(exists(missing));
    expect_sandbox_holds_only(sandbox, {L"missing", L"missing\\deeper", L"report.txt"});
}

TEST(RobustEnvironment, TemporaryPathNamingAFileFailsWithTheOpenLine) {
    Sandbox sandbox;
    std::wstring exe = pack_report_app(sandbox);
    std::wstring file = sandbox / L"plain.txt";
    write_bytes(file, {'x'});
    AppRun r = run_app(sandbox, exe, base_environment(file, sandbox.report_path()));
    expect_open_failure(r, file);
    EXPECT_TRUE(read_bytes(file) == tavrik::Bytes{'x'});
    expect_sandbox_holds_only(sandbox, {L"plain.txt"});
}

// The open line names the path whatever characters it holds, and stays one
// whole line: a user's temporary folder is often below a name in another
// script.
TEST(RobustEnvironment, OpenLineForAPathOutsideTheCodePageIsOneWholeLine) {
    Sandbox sandbox;
    std::wstring exe = pack_report_app(sandbox);
    std::wstring file = sandbox / L"\u65e5\u672c \u0436 plain.txt";
    write_bytes(file, {'x'});
    AppRun r = run_app(sandbox, exe, base_environment(file, sandbox.report_path()));
    EXPECT_EQ(r.run.exit_code, 2u);
    EXPECT_EQ(r.run.out, "");
    const std::string &err = r.run.err;
    EXPECT_EQ(err.rfind("Error, failed to open '", 0), 0u) << describe(r);
    const std::string suffix = "\\report_app.dll' for writing.\r\n";
    EXPECT_TRUE(err.size() > suffix.size() && err.compare(err.size() - suffix.size(), suffix.size(), suffix) == 0)
        << "the line is cut short: " << describe(r);
    EXPECT_EQ(err.find('\n'), err.size() - 1) << "one line";
}

TEST(RobustEnvironment, TemporaryDirectoryOnAMissingDriveFailsWithTheOpenLine) {
    Sandbox sandbox;
    std::wstring exe = pack_report_app(sandbox);
    DWORD drives = GetLogicalDrives();
    wchar_t letter = 0;
    for (wchar_t c = L'Y'; c >= L'M' && letter == 0; --c)
        if (!(drives & (1u << (c - L'A')))) letter = c;
    ASSERT_NE(letter, 0) << "no free drive letter";
    std::wstring temp = std::wstring(1, letter) + L":\\temp";
    AppRun r = run_app(sandbox, exe, base_environment(temp, sandbox.report_path()));
    expect_open_failure(r, temp);
    expect_sandbox_holds_only(sandbox, {});
}

// A temporary folder given in the \\?\ form is used as any other, and the
// directory unpacked there is deleted afterwards (it was refused as a root
// and stayed, after two seconds of retries).
TEST(RobustEnvironment, TemporaryPathInTheExtendedFormIsUsedAndLeftClean) {
    Sandbox sandbox;
    std::wstring exe = pack_report_app(sandbox);
    std::wstring extended = L"\\\\?\\" + sandbox.temp();
    AppRun r = run_app(sandbox, exe, base_environment(extended, sandbox.report_path()));
    expect_normal_run(r, extended);
    EXPECT_TRUE(sandbox.target_directories().empty());
}

// Windows ignores the read-only attribute of a directory when files are
// created in it, and Wine does not even keep it: either way the launcher
// works there as anywhere. (A directory that really refuses files cannot
// be made under Wine when it runs as root.)
TEST(RobustEnvironment, ReadOnlyTemporaryDirectoryIsUsedAsAnyOther) {
    Sandbox sandbox;
    std::wstring exe = pack_report_app(sandbox);
    std::wstring read_only = sandbox / L"read-only";
    make_directories(read_only);
    ASSERT_TRUE(SetFileAttributesW(read_only.c_str(), FILE_ATTRIBUTE_READONLY));
    AppRun r = run_app(sandbox, exe, base_environment(read_only, sandbox.report_path()));
    SetFileAttributesW(read_only.c_str(), FILE_ATTRIBUTE_NORMAL);
    expect_normal_run(r, read_only);
    expect_sandbox_holds_only(sandbox, {L"read-only", L"report.txt"});
}

// GetTempPathW fails for a TMP longer than MAX_PATH (without trying TEMP).
// The start ends there, with the spec's line and abort()'s status (3 under
// Wine's CRT): nothing is unpacked, neither below the long folder nor in
// the root of the current directory's drive, where "\onefile_..." alone
// would lie.
TEST(RobustEnvironment, TemporaryPathLongerThanMaxPathIsRefusedBeforeUnpacking) {
    Sandbox sandbox;
    std::wstring exe = pack_report_app(sandbox);
    std::wstring first = sandbox / std::wstring(120, L'l');
    std::wstring long_temp = first + L"\\" + std::wstring(120, L'm');
    ASSERT_TRUE(CreateDirectoryW((L"\\\\?\\" + first).c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((L"\\\\?\\" + long_temp).c_str(), nullptr));
    ASSERT_GT(long_temp.size(), static_cast<size_t>(MAX_PATH));
    AppRun r = run_app(sandbox, exe, base_environment(long_temp, sandbox.report_path()));
    ASSERT_FALSE(r.run.timed_out);
    EXPECT_EQ(r.run.exit_code, 3u) << describe(r);
    EXPECT_EQ(r.run.out, "");
    EXPECT_EQ(r.run.err, "Error, couldn't runtime expand spec '{TEMP}\\onefile_{PID}_{TIME_US}_{RANDOM}'.\r\n");
    EXPECT_TRUE(r.report.empty()) << "the application ran";
    EXPECT_TRUE(tree_below(long_temp).empty());
    const std::wstring drive_root_pattern =
        (sandbox / L"cwd").substr(0, 3) + L"onefile_" + std::to_wstring(r.run.process_id) + L"_*";
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(drive_root_pattern.c_str(), &found);
    EXPECT_EQ(search, INVALID_HANDLE_VALUE) << "unpacked into " << utf8(drive_root_pattern);
    if (search != INVALID_HANDLE_VALUE) FindClose(search);
    expect_sandbox_holds_only(sandbox, {std::wstring(120, L'l'), std::wstring(120, L'l') + L"\\" + std::wstring(120, L'm')});
}

// Empty TMP and TEMP count as unset: the system's temporary path is then
// the user's profile directory.
TEST(RobustEnvironment, EmptyTemporaryVariablesLeadToTheProfileDirectory) {
    Sandbox sandbox;
    std::wstring exe = pack_report_app(sandbox);
    std::wstring profile = sandbox / L"profile";
    make_directories(profile);
    EnvironmentChanges changes = base_environment(L"", sandbox.report_path());
    changes[L"USERPROFILE"] = profile;
    AppRun r = run_app(sandbox, exe, changes);
    expect_normal_run(r, profile);
    expect_sandbox_holds_only(sandbox, {L"profile", L"report.txt"});
}

TEST(RobustEnvironment, GarbageInTheLaunchersVariablesLeavesItTopLevel) {
    Sandbox sandbox;
    std::wstring exe = pack_report_app(sandbox);
    for (const wchar_t *value : {L"garbage", L"", L"-1", L"0", L"4294967296", L"99999999999999999999", L"12abc",
                                 L" 1", L"0x10", L"\u0661\u0662"}) {
        SCOPED_TRACE(TAVRIK_PARENT_VARIABLE "=" + utf8(value));
        EnvironmentChanges changes = base_environment(sandbox.temp(), sandbox.report_path());
        changes[L"" TAVRIK_PARENT_VARIABLE] = std::wstring(value);
        // Values a nested instance would reuse: a top-level one drops them.
        changes[L"" TAVRIK_TIME_VARIABLE] = std::wstring(L"..\\..\\time");
        changes[L"" TAVRIK_RANDOM_VARIABLE] = std::wstring(L"..\\..\\random");
        changes[L"" TAVRIK_START_VARIABLE] = std::wstring(L"start");
        AppRun r = run_app(sandbox, exe, changes);
        expect_normal_run(r, sandbox.temp());
        EXPECT_EQ(r.report.count("unset:" TAVRIK_START_VARIABLE), 1u);
    }
    expect_sandbox_holds_only(sandbox, {L"report.txt"});
}

TEST(RobustEnvironment, ParentVariableNamingALiveUnrelatedProcessIsIgnored) {
    Sandbox sandbox;
    std::wstring exe = pack_report_app(sandbox);
    // Another launcher built on the same stub, started from another file,
    // sleeping in its application while the cases below run.
    std::wstring other = pack_report_app(sandbox, L"other.exe");
    std::wstring other_report = sandbox / L"other.txt";
    EnvironmentChanges other_changes = base_environment(sandbox.temp(), other_report);
    // Asleep until the cases below are done, however slow the machine.
    std::wstring release = sandbox / L"release.txt";
    other_changes[L"TAVRIK_TEST_SLEEP_MS"] = std::wstring(L"25000");
    other_changes[L"TAVRIK_TEST_SLEEP_UNTIL"] = release;
    ContainedRun other_run;
    std::atomic<bool> other_ended{false};
    std::thread other_thread([&] {
        other_run = run_contained(other, {}, other_changes, sandbox / L"other_out.txt", sandbox / L"other_err.txt",
                                  run_limit_ms);
        other_ended = true;
    });
    for (int i = 0; i < 400 && !exists(other_report); ++i) Sleep(50);
    tavrik_report::report other_report_items = read_report_at(other_report);
    ASSERT_EQ(other_report_items.count("pid"), 1u) << "the other launcher did not start";

    const std::string pids[] = {other_report_items["env:" TAVRIK_PARENT_VARIABLE], other_report_items["pid"]};
    for (const std::string &pid : pids) {
        SCOPED_TRACE(TAVRIK_PARENT_VARIABLE "=" + pid);
        EnvironmentChanges changes = base_environment(sandbox.temp(), sandbox.report_path());
        changes[L"" TAVRIK_PARENT_VARIABLE] = wide(pid);
        expect_normal_run(run_app(sandbox, exe, changes), sandbox.temp());
    }
    // Named as the launcher's parent, the process that started it (this
    // test) must be a launcher of the same executable, since a launcher
    // starts no other program as its child; it is not, so something hides
    // what it runs, and the launcher refuses rather than risk a chain.
    EnvironmentChanges changes = base_environment(sandbox.temp(), sandbox.report_path());
    changes[L"" TAVRIK_PARENT_VARIABLE] = std::to_wstring(GetCurrentProcessId());
    AppRun creator = run_app(sandbox, exe, changes);
    EXPECT_EQ(creator.run.exit_code, 2u);
    EXPECT_EQ(creator.run.out, "Error, couldn't recognise parent launcher.\r\n");
    EXPECT_EQ(creator.run.err, "");
    EXPECT_TRUE(creator.report.empty()) << "the application ran";
    EXPECT_FALSE(other_ended) << "the other launcher ended before the cases were done";
    HANDLE released = CreateFileW(release.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(released, INVALID_HANDLE_VALUE);
    if (released != INVALID_HANDLE_VALUE) CloseHandle(released);
    other_thread.join();
    EXPECT_EQ(other_run.exit_code, 0u);
    expect_sandbox_holds_only(sandbox, {L"other.exe", L"other.txt", L"other_out.txt", L"other_err.txt", L"report.txt", L"release.txt"});
}

TEST(RobustEnvironment, ParentVariableNamingAnEndedProcessIsIgnored) {
    Sandbox sandbox;
    std::wstring exe = pack_report_app(sandbox);
    // The bare stub ends at once with its header line.
    ContainedRun ended = run_contained(stub_path(), {}, base_environment(sandbox.temp(), sandbox.report_path()),
                                       sandbox / L"out.txt", sandbox / L"err.txt", run_limit_ms);
    ASSERT_EQ(ended.exit_code, 2u);
    // Wine may keep an ended process's object a little longer: then the ID
    // still names that ended process, not a new one.
    HANDLE still = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, ended.process_id);
    if (still != nullptr) {
        DWORD code = 0;
        EXPECT_TRUE(GetExitCodeProcess(still, &code));
        CloseHandle(still);
        ASSERT_EQ(code, 2u) << "the process ID is in use again";
    }
    EnvironmentChanges changes = base_environment(sandbox.temp(), sandbox.report_path());
    changes[L"" TAVRIK_PARENT_VARIABLE] = std::to_wstring(ended.process_id);
    expect_normal_run(run_app(sandbox, exe, changes), sandbox.temp());
    expect_sandbox_holds_only(sandbox, {L"report.txt"});
}

// ---------------------------------------------------------------- parallel starts

TEST(RobustParallel, TwentyLaunchersStartedAtOnceKeepToTheirOwnDirectoriesAndCodes) {
    Sandbox sandbox;
    std::wstring exe = pack_report_app(sandbox);
    constexpr int count = 20;
    std::vector<BatchMember> members(count);
    std::vector<std::wstring> reports;
    for (int i = 0; i < count; ++i) {
        std::wstring n = std::to_wstring(i);
        reports.push_back(sandbox / (L"report" + n + L".txt"));
        members[i].changes = base_environment(sandbox.temp(), reports[i]);
        members[i].changes[L"TAVRIK_TEST_EXIT_CODE"] = std::to_wstring(1000 + i);
        // Long enough for all of them to be running at the same time.
        members[i].changes[L"TAVRIK_TEST_SLEEP_MS"] = std::wstring(L"6000");
        members[i].out_path = sandbox / (L"out" + n + L".txt");
        members[i].err_path = sandbox / (L"err" + n + L".txt");
    }
    size_t at_once = 0;
    ULONGLONG started = GetTickCount64(), all_reported = 0;
    std::vector<ContainedRun> runs = run_batch(exe, members, 120000, [&] {
        auto reported = [&] {
            return std::all_of(reports.begin(), reports.end(), [](const std::wstring &path) { return exists(path); });
        };
        for (int i = 0; i < 1200 && !reported(); ++i) Sleep(50);
        all_reported = GetTickCount64();
        at_once = sandbox.target_directories().size();
    });
    printf("parallel: %d launchers, all running after %llu ms, directories at once %zu\n", count,
           static_cast<unsigned long long>(all_reported - started), at_once);

    std::set<std::string> directories;
    for (int i = 0; i < count; ++i) {
        SCOPED_TRACE("launcher " + std::to_string(i));
        const ContainedRun &run = runs[i];
        ASSERT_TRUE(run.started);
        EXPECT_FALSE(run.timed_out);
        EXPECT_FALSE(run.tree_left_running);
        EXPECT_EQ(run.exit_code, 1000u + i);
        EXPECT_EQ(run.out + run.err, "");
        tavrik_report::report report = read_report_at(reports[i]);
        EXPECT_EQ(report["env:" TAVRIK_PARENT_VARIABLE], std::to_string(run.process_id));
        std::string directory = without_file_name(report["library_path"]);
        EXPECT_TRUE(is_target_directory(directory, utf8(sandbox.temp()), run.process_id)) << directory;
        directories.insert(directory);
    }
    EXPECT_EQ(directories.size(), static_cast<size_t>(count)) << "two launchers shared a directory";
    EXPECT_EQ(at_once, static_cast<size_t>(count)) << "not all of them ran at the same time";
    EXPECT_TRUE(sandbox.target_directories().empty());
    EXPECT_TRUE(tree_below(sandbox.temp()).empty());
}

// ---------------------------------------------------------------- malformed archives

// Sizes no archive can hold: the launcher writes what there is and ends
// with the decoding failure, never wraps a size around, never writes on and
// on. (A path past 4095 units cannot be reached from outside: TEMP ends
// below MAX_PATH and a name below 1024 units.)
TEST(RobustMalformed, HugeSizesEndAsDecodingFailures) {
    Sandbox sandbox;
    tavrik::Bytes app = read_bytes(app_path(L"report_app.dll"));
    auto record = [](const std::wstring &name, const tavrik::Bytes &content, uint64_t size) {
        tavrik::Bytes bytes;
        for (wchar_t unit : name) bytes.insert(bytes.end(), {static_cast<uint8_t>(unit), static_cast<uint8_t>(unit >> 8)});
        bytes.insert(bytes.end(), {0, 0});
        for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<uint8_t>(size >> (8 * i)));
        bytes.insert(bytes.end(), content.begin(), content.end());
        return bytes;
    };
    const tavrik::Bytes end_record = {0, 0};
    struct Case {
        const char *what;
        tavrik::Bytes archive;
    };
    std::vector<Case> cases;
    {
        tavrik::Bytes a = record(L"app.dll", app, UINT64_MAX);
        a.insert(a.end(), end_record.begin(), end_record.end());
        cases.push_back({"application of size 2^64-1", a});
    }
    for (uint64_t size : {UINT64_MAX, uint64_t{1} << 63, (uint64_t{1} << 32) + 1}) {
        tavrik::Bytes a = record(L"app.dll", app, app.size());
        tavrik::Bytes b = record(L"big.bin", {'b'}, size);
        a.insert(a.end(), b.begin(), b.end());
        a.insert(a.end(), end_record.begin(), end_record.end());
        cases.push_back({"second file's size", a});
    }
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(std::string(cases[i].what) + " " + std::to_string(i));
        std::wstring temp = sandbox / (L"t" + std::to_wstring(i));
        make_directories(temp);
        std::wstring exe = sandbox / L"huge.exe";
        pack_raw_archive(exe, cases[i].archive);
        ContainedRun run = run_contained(exe, {}, base_environment(temp, sandbox.report_path()), sandbox / L"out.txt",
                                         sandbox / L"err.txt", run_limit_ms);
        EXPECT_FALSE(run.timed_out);
        EXPECT_EQ(run.exit_code, 2u);
        EXPECT_EQ(run.out, decode_line);
        EXPECT_EQ(run.err, "");
        EXPECT_FALSE(exists(sandbox.report_path())) << "the application ran";
        // The failed unpacking deletes what it wrote.
        EXPECT_TRUE(tree_below(temp).empty());
    }
}

// A damaged name can hold any unit, line ends included. Windows refuses
// control characters in file names, and the launcher's line about it stays
// one line: C0 and C1 controls, DEL and the line and paragraph separators
// show as '?'.
TEST(RobustMalformed, NameWithLineEndsFailsToOpenOnOneLine) {
    Sandbox sandbox;
    tavrik::Bytes app = read_bytes(app_path(L"report_app.dll"));
    auto record = [](const std::wstring &name, const tavrik::Bytes &content) {
        tavrik::Bytes bytes;
        for (wchar_t unit : name) bytes.insert(bytes.end(), {static_cast<uint8_t>(unit), static_cast<uint8_t>(unit >> 8)});
        bytes.insert(bytes.end(), {0, 0});
        for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<uint8_t>(content.size() >> (8 * i)));
        bytes.insert(bytes.end(), content.begin(), content.end());
        return bytes;
    };
    tavrik::Bytes archive = record(L"app.dll", app);
    tavrik::Bytes bad = record(L"first line\r\nsecond\x7f\x85line\u2028third\u2029\x07.txt", {'x'});
    archive.insert(archive.end(), bad.begin(), bad.end());
    archive.insert(archive.end(), {0, 0});
    std::wstring exe = sandbox / L"app.exe";
    pack_raw_archive(exe, archive);
    AppRun r = run_app(sandbox, exe, base_environment(sandbox.temp(), sandbox.report_path()));
    EXPECT_EQ(r.run.exit_code, 2u) << describe(r);
    EXPECT_EQ(r.run.out, "");
    const std::string &err = r.run.err;
    EXPECT_EQ(err.rfind("Error, failed to open '" + utf8(sandbox.temp()) + "\\onefile_", 0), 0u) << describe(r);
    const std::string suffix = "\\first line??second??line?third??.txt' for writing.\r\n";
    EXPECT_TRUE(err.size() > suffix.size() && err.compare(err.size() - suffix.size(), suffix.size(), suffix) == 0)
        << describe(r);
    EXPECT_EQ(err.find('\n'), err.size() - 1) << "more than one line: " << describe(r);
    EXPECT_EQ(err.find('\r'), err.size() - 2) << "a carriage return inside the line: " << describe(r);
}
