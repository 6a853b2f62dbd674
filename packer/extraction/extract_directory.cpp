#include "packer/extraction/extract_directory.h"

#include <utility>
#include <vector>

#include "packer/platform/path_text.h"
#include "packer/platform/platform.h"
#include "packer/platform/write_steps.h"

namespace tavrik {

using std::filesystem::path;

struct ExtractDirectory::State {
    path shown_root;  // as the user gave it, for messages
    HeldDirectory root;
    bool replace = false;
    // The directories of the last file's name, each opened from the one
    // before it (the first from `root`) and held.
    std::vector<std::pair<NativeText, HeldDirectory>> chain;
    NewFile file;
    path file_shown;

    const HeldDirectory &deepest() const { return chain.empty() ? root : chain.back().second; }
};

namespace {

// The components of a checked archive name ("\\" between them) in the
// system's own text.
Result<std::vector<NativeText>> native_components(const std::u16string &name) {
    std::vector<NativeText> parts;
    size_t start = 0;
    while (true) {
        const size_t end = name.find(u'\\', start);
        auto part = native_name(name.substr(start, end - start));
        if (!part) return Error{part.error()};
        parts.push_back(std::move(*part));
        if (end == std::u16string::npos) return parts;
        start = end + 1;
    }
}

// The held directories from `from` on, the deepest first, each against the
// one above it, which is still held.
Status check_held_directories(const ExtractDirectory::State &s, size_t from) {
    for (size_t i = s.chain.size(); i-- > from;) {
        const HeldDirectory &parent = i == 0 ? s.root : s.chain[i - 1].second;
        if (still_named(parent, s.chain[i].first, s.chain[i].second)) continue;
        path shown = s.shown_root;
        for (size_t k = 0; k <= i; ++k) shown /= path(s.chain[k].first);
        return Error{"directory " + shown_path(shown) + " was moved while files were extracted into it; they may be "
                     "outside " + shown_path(s.shown_root)};
    }
    return Status::done();
}

}  // namespace

Result<std::unique_ptr<ExtractDirectory>> ExtractDirectory::open(const path &directory, bool force) {
    auto root = open_extract_root(directory, force);
    if (!root) return Error{root.error()};
    auto state = std::make_unique<State>();
    state->shown_root = directory;
    state->root = std::move(*root);
    state->replace = force;
    return std::unique_ptr<ExtractDirectory>(new ExtractDirectory(std::move(state)));
}

Status ExtractDirectory::begin_file(const std::u16string &name) {
    State &s = *state_;
    auto parts = native_components(name);
    if (!parts) return Error{parts.error()};
    const size_t directories = parts->size() - 1;
    const size_t keep = write_steps::shared_directories(s.chain, *parts);
    auto kept = check_held_directories(s, keep);
    if (!kept) return kept;
    s.chain.resize(keep);
    path shown = s.shown_root;
    for (size_t i = 0; i < parts->size(); ++i) {
        shown /= path((*parts)[i]);
        if (i < keep) continue;
        if (i == directories) break;
        auto directory = open_directory_below(s.deepest(), (*parts)[i], shown);
        if (!directory) return Error{directory.error()};
        s.chain.emplace_back((*parts)[i], std::move(*directory));
    }
    s.file_shown = shown;
    return create_file_below(s.deepest(), parts->back(), s.replace, shown, s.shown_root, s.file);
}

Status ExtractDirectory::write(const uint8_t *data, size_t size) {
    return write_all(state_->file, data, size, state_->file_shown);
}

Status ExtractDirectory::end_file() { return close_new_file(state_->file, state_->file_shown); }

Status ExtractDirectory::finish() {
    State &s = *state_;
    auto held = check_held_directories(s, 0);
    if (!held) return held;
    s.chain.clear();
    if (!root_still_named(s.root)) {
        return Error{"directory " + shown_path(s.shown_root) + " was moved or replaced while files were extracted "
                     "into it"};
    }
    return Status::done();
}

ExtractDirectory::ExtractDirectory(std::unique_ptr<State> state) : state_(std::move(state)) {}

ExtractDirectory::~ExtractDirectory() = default;

}  // namespace tavrik
