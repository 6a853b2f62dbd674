// pack: the stub, given its identity, with the compressed archive attached.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <ostream>
#include <system_error>
#include <thread>

#include "format/cached_settings.h"
#include "packer/archive/names.h"
#include "packer/base/utf.h"
#include "packer/cli/commands.h"
#include "packer/cli/progress.h"
#include "packer/packed/packed_executable.h"
#include "packer/pe/icons.h"
#include "packer/platform/file_io.h"
#include "packer/platform/path_text.h"
#include "packer/platform/platform.h"
#include "packer/program/dependencies.h"
#include "packer/program/depfile.h"
#include "packer/program/identity.h"
#include "packer/program/cached_mode.h"
#include "packer/program/image_roles.h"
#include "packer/program/input_files.h"
#include "packer/program/output_path.h"
#include "packer/program/stub_location.h"

namespace tavrik {

namespace {

Result<std::filesystem::path> choose_stub(const PackOptions &options, const char *argv0) {
    std::error_code ec;
    if (!options.stub.empty()) {
        if (!std::filesystem::exists(options.stub, ec)) {
            return Error{"stub " + shown_path(options.stub) + " does not exist"};
        }
        return options.stub;
    }
    const auto candidates = default_stub_candidates(packer_executable_path(argv0));
    for (const auto &candidate : candidates) {
        if (std::filesystem::is_regular_file(candidate, ec)) return candidate;
    }
    return Error{std::string("no ") + stub_file_name +
                 " beside tavrik-pack, in ../windows or in ../share/tavrik; use --stub"};
}

int thread_count(const PackOptions &options) {
    if (options.threads > 0) return options.threads;
    const unsigned cores = std::thread::hardware_concurrency();
    return cores == 0 ? 1 : static_cast<int>(cores > 256 ? 256 : cores);
}

// Packing writes the output last, by renaming over it: an output that is
// the stub or the icon (or an input, see collect_entries) would lose what
// it held. `role` names `source` in the message.
Status refuse_output_over(const std::filesystem::path &output, const std::filesystem::path &source,
                                const char *role) {
    if (source.empty()) return Status::done();
    auto output_identity = file_identity(output);
    if (!output_identity) return Error{output_identity.error()};
    if (!*output_identity) return Status::done();
    auto source_identity = file_identity(source);
    if (!source_identity) return Error{source_identity.error()};
    if (*source_identity == *output_identity) {
        return Error{"output " + shown_path(output) + " is the " + role + " " + shown_path(source) +
                     "; write the executable elsewhere"};
    }
    return Status::done();
}

Result<std::vector<IconImage>> read_icon(const std::filesystem::path &path) {
    if (path.empty()) return std::vector<IconImage>();
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) return Error{"icon " + shown_path(path) + " does not exist"};
    auto file = read_whole_file(path);
    if (!file) return Error{file.error()};
    auto images = parse_ico(*file);
    if (!images) return Error{"icon " + shown_path(path) + " is not a valid .ico file: " + images.error()};
    return images;
}

// The executable's file name; for a dry run without -o, the name it would
// be given.
Result<std::u16string> output_file_name(const PackOptions &options) {
    const bool named = !options.output.empty();
    auto output_name = path_to_utf8((named ? options.output : options.app_dll).filename());
    if (!output_name) return Error{(named ? "-o: " : "application: ") + output_name.error()};
    if (!named) *output_name = output_name->substr(0, output_name->rfind('.')) + ".exe";
    auto output_name16 = utf8_to_utf16(*output_name);
    if (!output_name16) return Error{"-o: " + output_name16.error()};
    return output_name16;
}

// The stub with the program's identity in place of the launcher's; the
// version strings it was given go to `strings`.
Result<Bytes> identify(const PackOptions &options, const std::u16string &output_name,
                       const std::filesystem::path &stub_path, const Bytes &stub, const ArchiveEntry &application,
                       std::vector<IconImage> icon, std::vector<std::pair<std::u16string, std::u16string>> &strings) {
    Identity identity;
    identity.icon = std::move(icon);
    identity.console = options.identity.console;
    identity.execution_level = options.identity.execution_level;
    auto version = derive_version_info(options.identity, application.content, application.name, output_name);
    if (!version) return Error{"application " + shown_path(options.app_dll) + " " + version.error()};
    identity.version = std::move(*version);
    strings = identity.version.strings;
    // Built here once to refuse strings too long for one resource: theirs
    // (the options' or the application's) is the fault, not the stub's.
    auto version_resource = build_version_info(identity.version);
    if (!version_resource) return Error{version_resource.error()};
    auto identified = apply_identity(stub, identity);
    if (!identified) {
        return Error{"cannot rewrite the resources of stub " + shown_path(stub_path) + ": " + identified.error()};
    }
    return identified;
}

// The progress line on standard error, from the archive's size on.
class ShownProgress : public PackProgress {
public:
    explicit ShownProgress(std::ostream &err) : err_(err) {}
    void archive_written(uint64_t archive_size) override { line_.emplace(err_, archive_size); }
    void compressing(uint64_t read, uint64_t compressed, uint64_t produced) override {
        line_->update(read, compressed, produced);
    }
    void frame_done(uint64_t frame_size) override { line_->finish(frame_size); }

private:
    std::ostream &err_;
    std::optional<ProgressLine> line_;
};

// The rule for --depfile: the stub, the icon and what collect_entries
// read. Made before anything is written, so that a path it cannot name
// stops the packing.
Result<std::string> depfile_text(const PackOptions &options, const std::filesystem::path &stub,
                                 std::vector<std::filesystem::path> walked) {
    walked.push_back(stub);
    if (!options.identity.icon.empty()) walked.push_back(options.identity.icon);
    std::sort(walked.begin(), walked.end());
    return depfile_rule(options.output, walked);
}

// The application exports run_code; the DLLs the packed images import and
// --dll-path finds are added, and every other one is part of Windows or
// allowed to be missing.
Result<std::vector<CollectedDll>> complete_and_check(const PackOptions &options, Collection &collection) {
    std::vector<ArchiveEntry> &entries = collection.entries;
    auto application = check_application_dll(entries.front().content);
    if (!application) return Error{"application " + shown_path(options.app_dll) + " " + application.error()};
    auto collected = collect_dlls(entries, options.dll_paths, options.allow_missing, collection.walked);
    if (!collected) return Error{collected.error()};
    auto checked = check_dependencies(entries, options.allow_missing, !options.dll_paths.empty());
    if (!checked) return Error{checked.error()};
    return collected;
}

// A window program has no console: a shell does not wait for it and its
// output shows only when redirected. Said once when nothing packed looks
// like it opens a window.
void hint_at_console(const PackOptions &options, bool opens_no_window, std::ostream &err) {
    if (options.identity.console || options.quiet || !opens_no_window) return;
    err << "tavrik-pack: note: this is a window program, but nothing packed imports a window-system DLL "
           "(user32, gdi32, comctl32...): a shell will not wait for it and its output shows only when "
           "redirected; give --console for a command-line program\n";
}

// The command line's FILE/DIR arguments and --add placements as inputs.
Result<std::vector<InputSpec>> input_specs(const PackOptions &options) {
    std::vector<InputSpec> inputs(options.inputs.begin(), options.inputs.end());
    for (const auto &placement : options.placements) {
        auto destination = archive_path(placement.destination);
        if (!destination) return Error{"--add " + shown_path(placement.source) + ": " + destination.error()};
        inputs.emplace_back(placement.source, std::move(*destination));
    }
    return inputs;
}

Result<Exclusions> exclusions(const PackOptions &options) {
    Exclusions result;
    result.defaults = options.default_excludes;
    for (const auto &pattern : options.excludes) {
        auto wide = utf8_to_utf16(pattern);
        if (!wide) return Error{"--exclude \"" + printable_utf8(pattern) + "\" is not valid UTF-8"};
        const std::string problem = exclusion_problem(*wide);
        if (!problem.empty()) return Error{"--exclude \"" + printable_utf8(pattern) + "\": " + problem};
        result.patterns.push_back(std::move(*wide));
    }
    return result;
}

uint64_t content_bytes(const std::vector<ArchiveEntry> &entries) {
    uint64_t total = 0;
    for (const auto &entry : entries) total += entry.content.size();
    return total;
}

// --dry-run: the files as list shows them, then what was left out and
// which DLLs were collected, for whom.
void show_dry_run(const Collection &collection, const std::vector<CollectedDll> &collected, std::ostream &out) {
    for (const auto &entry : collection.entries) out << entry.content.size() << ' ' << printable(entry.name) << '\n';
    for (const auto &left : collection.left_out) {
        out << "excluded " << printable(left.name) << (left.directory ? "\\" : "") << " (" << printable(left.pattern)
            << ")\n";
    }
    for (const auto &dll : collected) {
        out << "collected " << printable(dll.name) << " from " << shown_path(dll.source) << ", imported by "
            << printable(dll.importer) << '\n';
    }
    const size_t files = collection.entries.size();
    out << "would pack " << files << (files == 1 ? " file, " : " files, ") << content_bytes(collection.entries)
        << " bytes; nothing written\n";
}

std::string summary_line(const std::filesystem::path &output, bool console, size_t files, size_t left_out,
                         uint64_t bytes_in, uint64_t bytes_out, double seconds) {
    char ratio[32], time[32];
    std::snprintf(ratio, sizeof ratio, "%.1f%%", bytes_in == 0 ? 0.0 : 100.0 * bytes_out / bytes_in);
    std::snprintf(time, sizeof time, "%.2f s", seconds);
    return "packed " + shown_path(output) + (console ? " (console program): " : " (window program): ") +
           std::to_string(files) + (files == 1 ? " file" : " files") +
           (left_out == 0 ? "" : " (" + std::to_string(left_out) + " excluded)") + ", " + human_size(bytes_in) +
           " in, " + human_size(bytes_out) + " out (" + ratio + "), " + time + "\n";
}

// What pack_executable will refuse of the names, judged before compressing:
// the names themselves, and whether verify and extract would read that many
// back from a file at least as large as the identified stub. Only when they
// would not is the frame's size needed, so only then is it made.
Result<bool> check_names(const std::vector<ArchiveEntry> &entries, uint64_t stub_size) {
    auto checked = check_entries(entries);
    if (!checked) return Error{checked.error()};
    uint64_t name_bytes = 0;
    for (const auto &entry : entries) name_bytes += 2 * uint64_t{entry.name.size()};
    return names_budget_problem(entries.size(), name_bytes, name_limits_for(stub_size)).empty();
}

// Where and under which name a cached program keeps its builds. The
// program is known by its output name, CompanyName and ProductName, so that
// two programs that only share a file name never share a folder.
CachedMode cached_mode(const PackOptions &options, const std::u16string &output_name,
                       const std::vector<std::pair<std::u16string, std::u16string>> &strings) {
    CachedMode mode;
    if (!options.cached) return mode;
    mode.enabled = true;
    mode.spec = options.cache_spec.empty() ? std::u16string(cached_settings::default_spec) : options.cache_spec;
    std::u16string company, product;
    for (const auto &[name, value] : strings) {
        if (name == u"CompanyName") company = value;
        if (name == u"ProductName") product = value;
    }
    mode.program = program_folder_name(output_name, company, product);
    return mode;
}

}  // namespace

Status pack(const PackOptions &options, const CliEnvironment &environment, std::ostream &out,
                  std::ostream &err) {
    const auto start = std::chrono::steady_clock::now();
    // Before anything is read: a refusal here names the user's path. A dry
    // run checks everything a packing would, and only writes nothing.
    if (!options.output.empty()) {
        auto writable = check_output_path(options.output);
        if (!writable) return writable;
    }
    if (!options.depfile.empty()) {
        auto writable = check_output_path(options.depfile, "depfile");
        if (!writable) return writable;
    }
    auto inputs = input_specs(options);
    if (!inputs) return Error{inputs.error()};
    auto excluded = exclusions(options);
    if (!excluded) return Error{excluded.error()};

    auto stub_path = choose_stub(options, environment.argv0);
    if (!stub_path) return Error{stub_path.error()};
    const std::pair<std::filesystem::path, const char *> sources[] = {{*stub_path, "stub"},
                                                                       {options.identity.icon, "icon"}};
    for (const auto &[source, role] : sources) {
        if (options.output.empty()) break;
        auto elsewhere = refuse_output_over(options.output, source, role);
        if (!elsewhere) return elsewhere;
    }
    auto stub = read_whole_file(*stub_path);
    if (!stub) return Error{stub.error()};
    auto launcher = check_launcher_stub(*stub);
    if (!launcher) return Error{"stub " + shown_path(*stub_path) + " " + launcher.error()};
    auto icon = read_icon(options.identity.icon);
    if (!icon) return Error{icon.error()};

    auto collection = collect_entries(options.app_dll, *inputs, *excluded, options.output);
    if (!collection) return Error{collection.error()};
    std::vector<ArchiveEntry> &entries = collection->entries;
    auto collected = complete_and_check(options, *collection);
    if (!collected) return Error{collected.error()};
    Result<std::string> depfile = std::string();
    if (!options.depfile.empty()) depfile = depfile_text(options, *stub_path, std::move(collection->walked));
    if (!depfile) return Error{depfile.error()};
    // Asked before the entries move into the archive; said once it is written.
    const bool console_hint = !imports_window_system(entries);
    std::vector<std::pair<std::u16string, std::u16string>> strings;
    auto output_name = output_file_name(options);
    if (!output_name) return Error{output_name.error()};
    auto identified = identify(options, *output_name, *stub_path, *stub, entries.front(), std::move(*icon), strings);
    if (!identified) return Error{identified.error()};
    const CachedMode cached = cached_mode(options, *output_name, strings);
    auto names_fit = check_names(entries, identified->size());
    if (!names_fit) return Error{names_fit.error()};

    if (options.dry_run) {
        if (!*names_fit) {
            auto exe = pack_executable(*identified, entries, options.level, thread_count(options), options.window_log,
                                       nullptr, cached);
            if (!exe) return Error{exe.error()};
        }
        show_dry_run(*collection, *collected, out);
        hint_at_console(options, console_hint, err);
        return Status::done();
    }
    const size_t files = entries.size();
    const uint64_t bytes_in = content_bytes(entries);
    ShownProgress progress(err);
    auto exe = pack_executable(*identified, std::move(entries), options.level, thread_count(options),
                               options.window_log, environment.show_progress && !options.quiet ? &progress : nullptr,
                               cached);
    if (!exe) return Error{exe.error()};
    auto written = write_file_replacing(options.output, *exe, true);
    if (!written) return Error{written.error()};
    if (!options.depfile.empty()) {
        // After the output, and like it through a new file renamed into
        // place: a build tool that finds the depfile may trust the output it
        // describes.
        written = write_file_replacing(options.depfile, Bytes(depfile->begin(), depfile->end()));
        if (!written) return Error{written.error()};
    }
    hint_at_console(options, console_hint, err);
    if (!options.quiet) {
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        out << summary_line(options.output, options.identity.console, files, collection->left_out.size(), bytes_in,
                            exe->size(), seconds);
    }
    return Status::done();
}

}  // namespace tavrik
