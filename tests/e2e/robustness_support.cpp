#include "tests/e2e/robustness_support.h"

#include <zstd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "format/archive_records.h"
#include "format/packed_format.h"
#include "packer/pe/pe_image.h"
#include "tests/e2e/e2e_support.h"

namespace robust {

namespace {

// ---------------------------------------------------------------- processes

// Handles are made inheritable only while one CreateProcessW call runs, under
// this lock, so a child started from one thread never inherits the files
// another thread opened for its own child.
std::mutex inheritance_lock;

struct NoCaseLess {
    bool operator()(const std::wstring &a, const std::wstring &b) const { return _wcsicmp(a.c_str(), b.c_str()) < 0; }
};

std::vector<wchar_t> environment_block(const EnvironmentChanges &changes) {
    std::map<std::wstring, std::wstring, NoCaseLess> variables;
    std::vector<std::wstring> drive_entries;  // "=C:=C:\..." and the like, kept first
    wchar_t *strings = GetEnvironmentStringsW();
    for (const wchar_t *p = strings; *p != 0; p += wcslen(p) + 1) {
        std::wstring entry = p;
        size_t equals = entry.find(L'=', 1);
        if (entry[0] == L'=' || equals == std::wstring::npos) {
            drive_entries.push_back(entry);
            continue;
        }
        variables[entry.substr(0, equals)] = entry.substr(equals + 1);
    }
    FreeEnvironmentStringsW(strings);
    for (const auto &change : changes) {
        variables.erase(change.first);
        if (change.second) variables[change.first] = *change.second;
    }
    std::vector<wchar_t> block;
    auto add = [&block](const std::wstring &entry) {
        block.insert(block.end(), entry.begin(), entry.end());
        block.push_back(0);
    };
    for (const std::wstring &entry : drive_entries) add(entry);
    for (const auto &variable : variables) add(variable.first + L"=" + variable.second);
    block.push_back(0);
    if (block.size() == 1) block.push_back(0);
    return block;
}

HANDLE open_output(const std::wstring &path) {
    return CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting(HANDLE job) {
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION information = {};
    QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &information, sizeof information, nullptr);
    return information;
}

DWORD active_processes(HANDLE job) { return accounting(job).ActiveProcesses; }

std::wstring file_name_of(const std::wstring &path) {
    size_t separator = path.find_last_of(L"\\/");
    return separator == std::wstring::npos ? path : path.substr(separator + 1);
}

// How many of the job's running processes run `image` (compared by file
// name). Others in the tree are not the launcher's: under Wine, a crashing
// application starts the debugger, which may linger a little.
DWORD running_instances(HANDLE job, const std::wstring &image) {
    struct {
        JOBOBJECT_BASIC_PROCESS_ID_LIST list;
        ULONG_PTR more[255];
    } ids = {};
    ids.list.NumberOfAssignedProcesses = 256;
    if (!QueryInformationJobObject(job, JobObjectBasicProcessIdList, &ids, sizeof ids, nullptr))
        return active_processes(job);
    DWORD count = 0;
    const std::wstring wanted = file_name_of(image);
    for (DWORD i = 0; i < ids.list.NumberOfProcessIdsInList && i < 256; ++i) {
        HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(ids.list.ProcessIdList[i]));
        if (process == nullptr) continue;
        wchar_t path[MAX_PATH * 4];
        DWORD length = MAX_PATH * 4;
        DWORD code = 0;
        bool running = GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
        // An image that cannot be named is counted: better a false alarm.
        if (running && (!QueryFullProcessImageNameW(process, 0, path, &length) ||
                        _wcsicmp(file_name_of(path).c_str(), wanted.c_str()) == 0))
            ++count;
        CloseHandle(process);
    }
    return count;
}

struct Launch {
    std::wstring exe;
    HANDLE job = nullptr;
    HANDLE process = nullptr;
    std::wstring out_path;
    std::wstring err_path;
    ContainedRun result;
};

std::atomic<unsigned> starts_made_again{0};

Launch start(const std::wstring &exe, const std::wstring &command_line, const EnvironmentChanges &changes,
             const std::wstring &out_path, const std::wstring &err_path, const std::wstring &current_directory) {
    Launch launch;
    launch.exe = exe;
    launch.out_path = out_path;
    launch.err_path = err_path;
    std::vector<wchar_t> environment = environment_block(changes);
    for (int attempt = 1; attempt <= start_attempts_limit; ++attempt) {
        launch.result.start_attempts = attempt;
        if (attempt > 1) ++starts_made_again;
        HANDLE job = CreateJobObjectW(nullptr, nullptr);
        if (job == nullptr) continue;
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
        HANDLE input = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                   nullptr);
        HANDLE out = open_output(out_path);
        HANDLE err = open_output(err_path);
        std::wstring writable = command_line;
        PROCESS_INFORMATION process = {};
        BOOL started = FALSE;
        DWORD error = 0;
        if (input != INVALID_HANDLE_VALUE && out != INVALID_HANDLE_VALUE && err != INVALID_HANDLE_VALUE) {
            STARTUPINFOW startup = {};
            startup.cb = sizeof startup;
            startup.dwFlags = STARTF_USESTDHANDLES;
            startup.hStdInput = input;
            startup.hStdOutput = out;
            startup.hStdError = err;
            std::lock_guard<std::mutex> lock(inheritance_lock);
            for (HANDLE h : {input, out, err}) SetHandleInformation(h, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
            // Suspended until it is in its job, so that no descendant escapes it.
            started = CreateProcessW(exe.c_str(), &writable[0], nullptr, nullptr, TRUE,
                                     CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT, environment.data(),
                                     current_directory.empty() ? nullptr : current_directory.c_str(), &startup,
                                     &process);
            error = started ? 0 : GetLastError();
            for (HANDLE h : {input, out, err}) SetHandleInformation(h, HANDLE_FLAG_INHERIT, 0);
        }
        for (HANDLE h : {input, out, err})
            if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
        if (!started) {
            CloseHandle(job);
            if (error == ERROR_INTERNAL_ERROR) {
                fprintf(stderr, "harness: the system refused a start (error %lu); starting it again\n", error);
                continue;
            }
            return launch;
        }
        if (!AssignProcessToJobObject(job, process.hProcess)) {
            DWORD assign_error = GetLastError(), code = 0;
            GetExitCodeProcess(process.hProcess, &code);
            fprintf(stderr, "harness: the system refused to put a start in its job (error %lu; the process %s, "
                    "code %#lx); starting it again\n", assign_error,
                    WaitForSingleObject(process.hProcess, 0) == WAIT_OBJECT_0 ? "had ended" : "had not run",
                    static_cast<unsigned long>(code));
            // Not a run: the process has not run a single instruction of its own.
            TerminateProcess(process.hProcess, 0xDEAD);
            WaitForSingleObject(process.hProcess, 10000);
            CloseHandle(process.hThread);
            CloseHandle(process.hProcess);
            CloseHandle(job);
            continue;
        }
        ResumeThread(process.hThread);
        CloseHandle(process.hThread);
        launch.job = job;
        launch.process = process.hProcess;
        launch.result.started = true;
        launch.result.process_id = process.dwProcessId;
        return launch;
    }
    return launch;
}

// Waits for the tree until `deadline` (a GetTickCount64 value), ends what is
// left of it, and collects the outcome.
ContainedRun finish(Launch &launch, ULONGLONG deadline) {
    ContainedRun &result = launch.result;
    if (launch.process != nullptr) {
        ULONGLONG now = GetTickCount64();
        DWORD wait = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
        if (WaitForSingleObject(launch.process, wait) != WAIT_OBJECT_0) result.timed_out = true;
        if (launch.job != nullptr && !result.timed_out) {
            while (running_instances(launch.job, launch.exe) != 0 && GetTickCount64() < deadline) Sleep(10);
            result.tree_left_running = running_instances(launch.job, launch.exe) != 0;
        }
        if (launch.job != nullptr) {
            result.total_processes = accounting(launch.job).TotalProcesses;
            TerminateJobObject(launch.job, 0xDEAD);
        }
        if (result.timed_out) TerminateProcess(launch.process, 0xDEAD);
        WaitForSingleObject(launch.process, 10000);
        for (int i = 0; launch.job != nullptr && i < 500 && active_processes(launch.job) != 0; ++i) Sleep(10);
        GetExitCodeProcess(launch.process, &result.exit_code);
        CloseHandle(launch.process);
        launch.process = nullptr;
    }
    if (launch.job != nullptr) CloseHandle(launch.job);
    launch.job = nullptr;
    result.out = read_text(launch.out_path);
    result.err = read_text(launch.err_path);
    return result;
}

std::wstring command_line_of(const std::wstring &exe, const std::vector<std::wstring> &arguments) {
    std::wstring line = e2e::quote_argument(exe);
    for (const std::wstring &argument : arguments) line += L" " + e2e::quote_argument(argument);
    return line;
}

// ---------------------------------------------------------------- random

// splitmix64: small, well mixed, the same on every platform.
struct Random {
    uint64_t state;
    uint64_t next() {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    uint32_t below(uint32_t n) { return static_cast<uint32_t>(next() % n); }
};

// ---------------------------------------------------------------- decoding

constexpr size_t launcher_window = 131072;  // the launcher's decoding window
constexpr size_t decode_cap = 64u << 20;     // far beyond any variant's content

}  // namespace

ContainedRun run_contained(const std::wstring &exe, const std::vector<std::wstring> &arguments,
                           const EnvironmentChanges &changes, const std::wstring &out_path,
                           const std::wstring &err_path, DWORD timeout_ms, const std::wstring &current_directory) {
    ULONGLONG deadline = GetTickCount64() + timeout_ms;
    Launch launch = start(exe, command_line_of(exe, arguments), changes, out_path, err_path, current_directory);
    return finish(launch, deadline);
}

unsigned repeated_starts() { return starts_made_again; }

std::vector<ContainedRun> run_batch(const std::wstring &exe, const std::vector<BatchMember> &members,
                                    DWORD timeout_ms, const std::function<void()> &while_running) {
    ULONGLONG deadline = GetTickCount64() + timeout_ms;
    std::vector<Launch> launches;
    for (const BatchMember &member : members)
        launches.push_back(start(exe, command_line_of(exe, {}), member.changes, member.out_path, member.err_path, L""));
    if (while_running) while_running();
    std::vector<ContainedRun> results;
    for (Launch &launch : launches) results.push_back(finish(launch, deadline));
    return results;
}

Span attached_data_span(const Bytes &exe) {
    tavrik::Result<tavrik::PeImage> image = tavrik::parse_pe_image(exe);
    if (!image) return {};
    for (const tavrik::PeSection &section : image->sections)
        if (section.name == packed_format::section_name) return {section.raw_offset, section.virtual_size};
    return {};
}

std::optional<AttachedLayout> attached_layout(const Bytes &a) {
    // The gap and the trailer (format/packed_format.h).
    constexpr size_t trailer_size = packed_format::gap_size + packed_format::trailer_size;
    constexpr size_t m = packed_format::magic_size;
    const uint8_t zstd_magic[4] = {0x28, 0xB5, 0x2F, 0xFD};
    if (a.size() < m + 6 + 3 + trailer_size || std::memcmp(a.data(), packed_format::magic, m) != 0 ||
        std::memcmp(a.data() + m, zstd_magic, 4) != 0)
        return std::nullopt;
    AttachedLayout layout;
    layout.magic = {0, m};
    const uint8_t descriptor = a[m + 4];
    const bool single_segment = (descriptor & 0x20) != 0;
    const bool checksum = (descriptor & 0x04) != 0;
    const size_t dictionary_sizes[4] = {0, 1, 2, 4};
    const size_t content_sizes[4] = {single_segment ? 1u : 0u, 2, 4, 8};
    const size_t header = 4 + 1 + (single_segment ? 0 : 1) + dictionary_sizes[descriptor & 3] +
                          content_sizes[descriptor >> 6];
    layout.frame_header = {m, m + header};
    size_t at = m + header;
    for (;;) {
        if (at + 3 > a.size()) return std::nullopt;
        const uint32_t block = a[at] | (a[at + 1] << 8) | (a[at + 2] << 16);
        const int type = (block >> 1) & 3;
        if (type == 3) return std::nullopt;
        const size_t content = type == 1 ? 1 : block >> 3;
        if (at + 3 + content > a.size()) return std::nullopt;
        layout.block_headers.push_back({at, at + 3});
        if (content != 0) layout.block_contents.push_back({at + 3, at + 3 + content});
        at += 3 + content;
        if (block & 1) break;
    }
    if (checksum) at += 4;
    // The digest the packer records after the frame (a skippable frame)
    // counts with the trailer: the launcher reads neither.
    constexpr size_t digest_frame = packed_format::digest_frame_size;
    const size_t digest_size = at + digest_frame + trailer_size == a.size() &&
                                       packed_format::load_u32(&a[at]) == packed_format::digest_frame_magic
                                   ? digest_frame
                                   : 0;
    if (at + digest_size + trailer_size != a.size() || layout.block_contents.empty()) return std::nullopt;
    layout.frame_tail = {std::max(layout.frame_header.end, at - 16), at};
    layout.trailer = {at, a.size()};
    return layout;
}

const char *target_name(Target target) {
    switch (target) {
        case Target::magic: return "magic";
        case Target::frame_header: return "frame header";
        case Target::block_header: return "block header";
        case Target::block_content: return "block content";
        case Target::frame_tail: return "frame tail";
        case Target::trailer: return "trailer";
    }
    return "?";
}

std::string Corruption::describe() const {
    std::string text = std::string(target_name(primary)) + ":";
    char item[32];
    for (const auto &change : changes) {
        snprintf(item, sizeof item, " @%zu=%02x", change.first, change.second);
        text += item;
    }
    return text;
}

Corruption make_corruption(const Bytes &attached, const AttachedLayout &layout, uint32_t seed, uint32_t index) {
    Random random{(static_cast<uint64_t>(seed) << 32) ^ (index * 0x2545F4914F6CDD1Dull)};
    for (int i = 0; i < 4; ++i) random.next();
    Corruption corruption;
    corruption.primary = static_cast<Target>(index % target_count);
    size_t content_total = 0;
    for (const Region &region : layout.block_contents) content_total += region.size();

    auto pick_offset = [&](Target target) -> size_t {
        switch (target) {
            case Target::magic: return layout.magic.begin + random.below(static_cast<uint32_t>(layout.magic.size()));
            case Target::frame_header:
                return layout.frame_header.begin + random.below(static_cast<uint32_t>(layout.frame_header.size()));
            case Target::block_header: {
                const Region &header = layout.block_headers[random.below(static_cast<uint32_t>(layout.block_headers.size()))];
                return header.begin + random.below(3);
            }
            case Target::block_content: {
                size_t n = random.below(static_cast<uint32_t>(content_total));
                for (const Region &region : layout.block_contents) {
                    if (n < region.size()) return region.begin + n;
                    n -= region.size();
                }
                return layout.block_contents.back().begin;
            }
            case Target::frame_tail:
                return layout.frame_tail.begin + random.below(static_cast<uint32_t>(layout.frame_tail.size()));
            case Target::trailer:
                return layout.trailer.begin + random.below(static_cast<uint32_t>(layout.trailer.size()));
        }
        return 0;
    };

    // Offset -> new value; a byte is changed once at most.
    std::map<size_t, uint8_t> changed;
    const int count = 1 + static_cast<int>(random.below(8));
    while (static_cast<int>(changed.size()) < count) {
        // Now and then a change goes elsewhere (never to the magic, whose
        // check would hide everything else).
        Target target = random.below(8) == 0 ? static_cast<Target>(1 + random.below(target_count - 1)) : corruption.primary;
        size_t offset = pick_offset(target);
        if (changed.count(offset) != 0) continue;
        const uint8_t old = attached[offset];
        uint8_t value = 0;
        switch (random.below(4)) {
            case 0: value = old ^ static_cast<uint8_t>(1u << random.below(8)); break;  // one bit
            case 1: value = old ^ static_cast<uint8_t>(1 + random.below(255)); break;   // any other value
            case 2: value = 0x00; break;
            default: value = 0xFF; break;
        }
        if (value == old) value = old ^ 1;  // every change counts
        changed[offset] = value;
    }
    for (const auto &change : changed) corruption.changes.push_back(change);
    return corruption;
}

Bytes corrupted(const Bytes &attached, const Corruption &corruption) {
    Bytes changed = attached;
    for (const auto &change : corruption.changes) changed[change.first] = change.second;
    return changed;
}

FirstRecord decode_first_record(const Bytes &attached, const std::u16string &name, const Bytes &content) {
    (void)name;  // a changed name leaves the application's bytes as they were
    if (attached.size() < packed_format::magic_size ||
        std::memcmp(attached.data(), packed_format::magic, packed_format::magic_size) != 0)
        return FirstRecord::incomplete;
    ZSTD_DCtx *context = ZSTD_createDCtx();
    if (context == nullptr) return FirstRecord::incomplete;
    ZSTD_inBuffer input = {attached.data() + packed_format::magic_size, attached.size() - packed_format::magic_size, 0};
    Bytes decoded;
    Bytes window(launcher_window);
    bool filled = false;
    bool frame_ended = false;
    while ((input.pos < input.size || filled) && decoded.size() < decode_cap) {
        ZSTD_outBuffer output = {window.data(), window.size(), 0};
        size_t result = ZSTD_decompressStream(context, &output, &input);
        if (ZSTD_isError(result)) break;
        decoded.insert(decoded.end(), window.begin(), window.begin() + output.pos);
        filled = output.pos == output.size;
        if (result == 0) {
            frame_ended = true;
            break;
        }
    }
    ZSTD_freeDCtx(context);
    // The launcher starts the application only once the frame has ended
    // whole, its checksum verified.
    if (!frame_ended) return FirstRecord::incomplete;

    // The first record as the launcher reads it.
    archive_records::RecordParser records;
    records.feed(decoded.data(), decoded.size());
    Bytes first;
    for (;;) {
        switch (records.next()) {
        case archive_records::Event::content:
            first.insert(first.end(), records.content(), records.content() + records.content_length());
            break;
        case archive_records::Event::record_end: return first == content ? FirstRecord::intact : FirstRecord::damaged;
        case archive_records::Event::name_unit:
        case archive_records::Event::name_end:
        case archive_records::Event::size: break;
        // The end record first (no application), a damaged record, or too few bytes.
        case archive_records::Event::archive_end:
        case archive_records::Event::failed:
        case archive_records::Event::need_input: return FirstRecord::incomplete;
        }
    }
}

std::vector<std::wstring> tree_below(const std::wstring &directory) {
    std::vector<std::wstring> paths;
    std::vector<std::wstring> pending = {L""};
    while (!pending.empty()) {
        std::wstring relative = pending.back();
        pending.pop_back();
        std::wstring base = relative.empty() ? directory : directory + L"\\" + relative;
        WIN32_FIND_DATAW found;
        HANDLE search = FindFirstFileW((L"\\\\?\\" + base + L"\\*").c_str(), &found);
        if (search == INVALID_HANDLE_VALUE) continue;
        do {
            std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") continue;
            std::wstring child = relative.empty() ? name : relative + L"\\" + name;
            paths.push_back(child);
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && name.rfind(L"onefile_", 0) != 0)
                pending.push_back(child);
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    std::sort(paths.begin(), paths.end());
    return paths;
}

std::string read_text(const std::wstring &path) {
    Bytes bytes = e2e::read_bytes(path);
    return std::string(bytes.begin(), bytes.end());
}

}  // namespace robust
