#pragma once
// Support for the robustness tests: contained runs (a job object around the
// whole process tree, output to files, an environment block of their own, a
// hard time limit), the layout of the attached data's zstd frame, seeded
// corruption of it, and an independent reading of what the damaged frame
// still decodes to.

#include <windows.h>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "packer/base/byte_io.h"

namespace robust {

using tavrik::Bytes;

// ---------------------------------------------------------------- processes

// Variables to set (a value) or remove (nullopt) for one run; the rest of
// the test process's environment is passed on as it is.
using EnvironmentChanges = std::map<std::wstring, std::optional<std::wstring>>;

struct ContainedRun {
    DWORD process_id = 0;
    DWORD exit_code = 0;
    bool started = false;
    bool timed_out = false;       // the top process did not end in time
    bool tree_left_running = false;  // instances of `exe` outlived the top one
    DWORD total_processes = 0;    // processes the tree ever had, the top one included
    int start_attempts = 0;       // starts made; more than one when the system refused one
    std::string out;
    std::string err;
};

// Starts `exe` (command line: the quoted path, then `arguments`) with
// `changes` applied to a copy of this process's environment, standard input
// from NUL and standard output and error into `out_path` and `err_path`.
// The whole process tree runs in a job: whatever still runs `timeout_ms`
// after the start is terminated, so no run outlives its limit. Safe to call
// from several threads at once: each child inherits only its own handles.
// `current_directory` empty: this process's.
ContainedRun run_contained(const std::wstring &exe, const std::vector<std::wstring> &arguments,
                           const EnvironmentChanges &changes, const std::wstring &out_path,
                           const std::wstring &err_path, DWORD timeout_ms,
                           const std::wstring &current_directory = L"");

// A start counts only when the process was created and put in its job
// before it ran. Under load Wine now and then refuses the assignment (or the
// creation, with ERROR_INTERNAL_ERROR); the process, still suspended, never
// ran, so it is ended and started again, up to `start_attempts_limit`
// times. How many such starts were made again, process-wide:
constexpr int start_attempts_limit = 5;
unsigned repeated_starts();

// Several instances started at once: every CreateProcessW first, then
// `while_running` (if any), then one wait for all of them.
struct BatchMember {
    EnvironmentChanges changes;
    std::wstring out_path;
    std::wstring err_path;
};
std::vector<ContainedRun> run_batch(const std::wstring &exe, const std::vector<BatchMember> &members,
                                    DWORD timeout_ms, const std::function<void()> &while_running = nullptr);

// ---------------------------------------------------------------- attached data

// Where the packed executable keeps its attached data (the .tavrik
// section's file offset and length); {0, 0} when it has none.
struct Span {
    size_t offset = 0;
    size_t size = 0;
};
Span attached_data_span(const Bytes &exe);

// The parts of the attached data, as offsets into it: [begin, end).
struct Region {
    size_t begin = 0;
    size_t end = 0;
    size_t size() const { return end - begin; }
};

struct AttachedLayout {
    Region magic;               // "ZUB"
    Region frame_header;        // zstd magic number, descriptor, window
    std::vector<Region> block_headers;  // 3 bytes each
    std::vector<Region> block_contents;
    Region frame_tail;          // the last bytes of the frame
    Region trailer;             // digest, zero gap, length, zero padding
};

// Walks the frame's blocks; nullopt when the data is not what the packer
// writes (then the test itself is broken, not the launcher).
std::optional<AttachedLayout> attached_layout(const Bytes &attached);

// The parts a corruption is aimed at, in the order of AttachedLayout.
enum class Target { magic, frame_header, block_header, block_content, frame_tail, trailer };
constexpr int target_count = 6;
const char *target_name(Target target);

// A reproducible change of 1 to 8 bytes of the attached data: the variant
// numbered `index` of the campaign seeded with `seed`. `primary` is the part
// most of its changes go to; every listed byte differs from the original.
struct Corruption {
    Target primary = Target::magic;
    std::vector<std::pair<size_t, uint8_t>> changes;  // offset into the attached data, new value
    std::string describe() const;
};
Corruption make_corruption(const Bytes &attached, const AttachedLayout &layout, uint32_t seed, uint32_t index);
Bytes corrupted(const Bytes &attached, const Corruption &corruption);

// What the first archive record comes out as when the attached data is
// decoded the way the launcher decodes it (the span after the magic, through
// ZSTD_decompressStream in 128 KiB windows, to the end of the frame, which
// must come without an error): complete and the same as packed, complete but
// different (the launcher would run changed bytes), or never complete (the
// launcher fails before it could load the application).
enum class FirstRecord { intact, damaged, incomplete };
FirstRecord decode_first_record(const Bytes &attached, const std::u16string &name, const Bytes &content);

// ---------------------------------------------------------------- files

// Paths of everything below `directory` (files and directories), relative,
// with "\" between components. Directories named onefile_* are listed but
// not entered: what a failed unpacking left in them is the launcher's own.
std::vector<std::wstring> tree_below(const std::wstring &directory);

std::string read_text(const std::wstring &path);

}  // namespace robust
