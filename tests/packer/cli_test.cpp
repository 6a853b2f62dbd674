// Runs the built tavrik-pack binary the way a user would: every refusal is
// checked by its exact line and exit status, and by the absence of output.

#include <sys/wait.h>

#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_getFrameHeader
#include <zstd.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <zstd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <fstream>
#include <tuple>
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <sstream>
#include <thread>

#include "packer/archive/attached_data.h"
#include "packer/archive/frame.h"
#include "packer/cli/cli.h"
#include "packer/pe/attach.h"
#include "packer/pe/pe_checksum.h"
#include "packer/platform/platform.h"
#include "synthetic_pe.h"
#include "temp_dir.h"
#include "tests/packed_reading.h"
#include "tool_run.h"

using tavrik_test::Bytes;
using tavrik_test::quoted;
using tavrik_test::read_file;
using tavrik_test::run_command;
using tavrik_test::SyntheticPe;
using tavrik_test::TempDir;
using tavrik_test::text_of;
using tavrik_test::ToolRun;
namespace fs = std::filesystem;

namespace {

ToolRun run(const TempDir &tmp, const fs::path &program, std::vector<std::string> args) {
    args.insert(args.begin(), program.string());
    return run_command(tmp, args);
}

ToolRun run(const TempDir &tmp, const std::vector<std::string> &args) { return run(tmp, TAVRIK_PACK_PATH, args); }

// Exit status 1, nothing on stdout, exactly `line` on stderr.
void expect_refusal(const ToolRun &r, const std::string &line) {
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "tavrik-pack: error: " + line + "\n");
}

// Exactly one line, in the tool's error format.
void expect_error_line(const ToolRun &r, const std::string &fragment) {
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(r.out.empty()) << r.out;
    EXPECT_EQ(r.err.rfind("tavrik-pack: error: ", 0), 0u) << r.err;
    ASSERT_FALSE(r.err.empty());
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
    EXPECT_NE(r.err.find(fragment), std::string::npos) << r.err;
}

std::string q(const std::string &path) { return "\"" + path + "\""; }

// The same command, its address space held to `limit` bytes and its
// processor time to a minute.
ToolRun run_limited(const TempDir &tmp, uint64_t limit, const std::vector<std::string> &args) {
    std::vector<std::string> limited = {"--as=" + std::to_string(limit), "--cpu=60", TAVRIK_PACK_PATH};
    limited.insert(limited.end(), args.begin(), args.end());
    return run(tmp, "prlimit", limited);
}

// Archive bytes with any names at all, as a hostile packer would write them.
Bytes raw_archive(const std::vector<std::pair<std::u16string, Bytes>> &records) {
    Bytes archive;
    for (const auto &[name, content] : records) {
        for (char16_t c : name) archive.insert(archive.end(), {uint8_t(c), uint8_t(c >> 8)});
        archive.insert(archive.end(), {0, 0});
        for (int shift = 0; shift < 64; shift += 8) archive.push_back(uint8_t(uint64_t{content.size()} >> shift));
        archive.insert(archive.end(), content.begin(), content.end());
    }
    archive.insert(archive.end(), {0, 0});
    return archive;
}

// A packed executable around a given frame, with the digest (as packed
// now) or without (as packed before digests were recorded).
Bytes packed_around(const Bytes &frame, bool with_digest = true,
                    const Bytes &stub = SyntheticPe::launcher().build()) {
    Bytes attached = tavrik::make_attached_data(frame);
    if (!with_digest) {
        attached = {'Z', 'U', 'B'};
        attached.insert(attached.end(), frame.begin(), frame.end());
        attached.insert(attached.end(), 3, 0);
        for (int shift = 0; shift < 64; shift += 8) attached.push_back(uint8_t(uint64_t{attached.size()} >> shift));
        attached.insert(attached.end(), 8, 0);
    }
    auto exe = tavrik::attach_to_stub(stub, attached);
    EXPECT_TRUE(exe) << exe.error();
    return exe ? *exe : Bytes();
}

Bytes packed_archive(const Bytes &archive, bool with_digest = true) {
    return packed_around(*tavrik::compress_frame(archive, 1, 1), with_digest);
}

// A frame of `head`, then `record(i)` for i from 0 to `count`, then the
// end record, compressed as it is made: the archive it decodes to may be
// gigabytes that the test never holds.
Bytes repeating_frame(const Bytes &head, size_t count, const std::function<Bytes(size_t)> &record) {
    ZSTD_CCtx *context = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(context, ZSTD_c_compressionLevel, 3);
    Bytes frame, out(ZSTD_CStreamOutSize());
    auto feed = [&](const Bytes &data, ZSTD_EndDirective mode) {
        ZSTD_inBuffer in{data.data(), data.size(), 0};
        size_t left;
        do {
            ZSTD_outBuffer o{out.data(), out.size(), 0};
            left = ZSTD_compressStream2(context, &o, &in, mode);
            EXPECT_FALSE(ZSTD_isError(left));
            frame.insert(frame.end(), out.begin(), out.begin() + o.pos);
        } while (!ZSTD_isError(left) && (in.pos < in.size || (mode == ZSTD_e_end && left != 0)));
    };
    feed(head, ZSTD_e_continue);
    Bytes batch;
    for (size_t i = 0; i < count; ++i) {
        const Bytes one = record(i);
        batch.insert(batch.end(), one.begin(), one.end());
        if (batch.size() >= (1u << 20)) {
            feed(batch, ZSTD_e_continue);
            batch.clear();
        }
    }
    batch.insert(batch.end(), {0, 0});
    feed(batch, ZSTD_e_end);
    ZSTD_freeCCtx(context);
    return frame;
}

void fix_checksum(Bytes &exe) {
    const size_t at = tavrik_test::optional_header + 64;
    tavrik_test::put_u32(exe, at, tavrik::pe_checksum(exe, at));
}

// The first `n` lines of `text` (list and verify end with the identity).
std::string first_lines(const std::string &text, int n) {
    size_t end = 0;
    for (int i = 0; i < n && end != std::string::npos; ++i) end = text.find('\n', end == 0 ? 0 : end + 1);
    return end == std::string::npos ? text : text.substr(0, end + 1);
}

// Files whose names start with `prefix` in `dir` (temporary files left over).
int count_starting_with(const fs::path &dir, const std::string &prefix) {
    int n = 0;
    for (const auto &entry : fs::directory_iterator(dir)) n += entry.path().filename().string().rfind(prefix, 0) == 0;
    return n;
}

// Icon images: a BITMAPINFOHEADER of a square icon (height doubled for the
// mask) with made-up bits, and a PNG signature followed by made-up bytes.
Bytes bitmap_image(uint8_t size) {
    Bytes b(40 + size * size * 4, 0x33);
    tavrik_test::put_u32(b, 0, 40);
    tavrik_test::put_u32(b, 4, size);
    tavrik_test::put_u32(b, 8, 2u * size);
    return b;
}

Bytes png_image(size_t length) {
    Bytes b = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    for (size_t i = b.size(); i < length; ++i) b.push_back(static_cast<uint8_t>(i * 7));
    return b;
}

// A .ico file: ICONDIR, one ICONDIRENTRY per image (the first 16 pixels,
// then 32, ...; PNG ones stated as 256), then the images.
Bytes ico_file(const std::vector<Bytes> &images) {
    Bytes ico = {0, 0, 1, 0, static_cast<uint8_t>(images.size()), 0};
    uint32_t offset = static_cast<uint32_t>(6 + 16 * images.size());
    for (size_t i = 0; i < images.size(); ++i) {
        const uint8_t size = images[i][0] == 0x89 ? 0 : static_cast<uint8_t>(16 << i);
        ico.insert(ico.end(), {size, size, 0, 0, 1, 0, 32, 0});
        ico.resize(ico.size() + 8);
        tavrik_test::put_u32(ico, ico.size() - 8, static_cast<uint32_t>(images[i].size()));
        tavrik_test::put_u32(ico, ico.size() - 4, offset);
        offset += static_cast<uint32_t>(images[i].size());
    }
    for (const auto &image : images) ico.insert(ico.end(), image.begin(), image.end());
    return ico;
}

// A .ico file of `count` PNG images of 16 bytes each, or, when `shared`,
// of `count` entries all naming the same PNG of 64 KiB.
Bytes png_ico(uint16_t count, bool shared = false) {
    Bytes ico = {0, 0, 1, 0, static_cast<uint8_t>(count), static_cast<uint8_t>(count >> 8)};
    const uint32_t images_at = 6 + 16 * uint32_t{count};
    const uint32_t size = shared ? 65536 : 16;
    for (uint32_t i = 0; i < count; ++i) {
        ico.insert(ico.end(), {0, 0, 0, 0, 1, 0, 32, 0});
        ico.resize(ico.size() + 8);
        tavrik_test::put_u32(ico, ico.size() - 8, size);
        tavrik_test::put_u32(ico, ico.size() - 4, shared ? images_at : images_at + size * i);
    }
    for (uint32_t i = 0; i < (shared ? 1 : count); ++i) {
        const Bytes png = png_image(size);
        ico.insert(ico.end(), png.begin(), png.end());
    }
    return ico;
}

// Resource directories by hand: a header counting named and numbered
// entries, then the entries.
void resource_header(Bytes &b, uint16_t named, uint16_t numbered) {
    b.insert(b.end(), 12, 0);
    b.insert(b.end(), {uint8_t(named), uint8_t(named >> 8), uint8_t(numbered), uint8_t(numbered >> 8)});
}

void append_u32(Bytes &b, uint32_t v) {
    for (int shift = 0; shift < 32; shift += 8) b.push_back(uint8_t(v >> shift));
}

constexpr uint32_t high_bit = 0x80000000;

// `n` types sharing one name of 65,535 units, each pointing at the same
// directory of `n` entries with that name, all pointing at one language
// directory: n x n resources, each with two copies of the name, from 16n
// bytes of directories and one name.
Bytes shared_resource_tree(uint32_t rva, uint16_t n) {
    const uint32_t names_at = 16 + 8 * uint32_t{n}, languages_at = names_at + 16 + 8 * uint32_t{n};
    const uint32_t entry_at = languages_at + 24, data_at = entry_at + 16, name_at = data_at + 8;
    Bytes b;
    for (uint32_t directory : {names_at, languages_at}) {
        resource_header(b, n, 0);
        for (uint32_t i = 0; i < n; ++i) {
            append_u32(b, high_bit | name_at);
            append_u32(b, high_bit | directory);
        }
    }
    resource_header(b, 0, 1);
    append_u32(b, 0x409);
    append_u32(b, entry_at);
    for (uint32_t v : {rva + data_at, 8u, 0u, 0u, 0u, 0u}) append_u32(b, v);
    b.insert(b.end(), {0xFF, 0xFF});
    for (int i = 0; i < 0xFFFF; ++i) b.insert(b.end(), {'A', 0});
    return b;
}

// `count` RT_RCDATA resources numbered from 1, of 4 bytes each.
Bytes rcdata_tree(uint32_t rva, uint16_t count) {
    const uint32_t n = count, languages_at = 24 + 16 + 8 * n, entries_at = languages_at + 24 * n;
    const uint32_t data_at = entries_at + 16 * n;
    Bytes b;
    resource_header(b, 0, 1);
    append_u32(b, 10);
    append_u32(b, high_bit | 24);
    resource_header(b, 0, count);
    for (uint32_t i = 0; i < n; ++i) {
        append_u32(b, i + 1);
        append_u32(b, high_bit | (languages_at + 24 * i));
    }
    for (uint32_t i = 0; i < n; ++i) {
        resource_header(b, 0, 1);
        append_u32(b, 0x409);
        append_u32(b, entries_at + 16 * i);
    }
    for (uint32_t i = 0; i < n; ++i) {
        for (uint32_t v : {rva + data_at + 4 * i, 4u, 0u, 0u}) append_u32(b, v);
    }
    for (uint32_t i = 0; i < n; ++i) append_u32(b, i);
    return b;
}

bool contains(const Bytes &haystack, const std::string &text) {
    const Bytes needle(text.begin(), text.end());
    return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) != haystack.end();
}

std::string utf16le(const std::string &ascii) {
    std::string wide;
    for (char c : ascii) wide += std::string{c, '\0'};
    return wide;
}

class Cli : public testing::Test {
protected:
    void SetUp() override {
        stub = tmp.write("stub.exe", SyntheticPe::launcher().build()).string();
        // A window program that opens windows: packed without a note.
        SyntheticPe windowed = SyntheticPe::application();
        windowed.imports = {"USER32.dll"};
        app_bytes = windowed.build();
        app = tmp.write("in/app.dll", app_bytes).string();
        tmp.write("in/assets/img/logo.png", Bytes(40000, 0x5A));
        tmp.write("in/assets/readme.txt", "read me");
        single = tmp.write("in/single.cfg", "k=v").string();
        assets = (tmp.path() / "in/assets").string();
        out = (tmp.path() / "out.exe").string();
    }

    ToolRun pack(std::vector<std::string> inputs) {
        std::vector<std::string> args = {"pack", "--fast", "-o", out, "--stub", stub};
        args.insert(args.end(), inputs.begin(), inputs.end());
        return run(tmp, args);
    }

    TempDir tmp;
    Bytes app_bytes;
    std::string stub, app, single, assets, out;
};

}  // namespace

TEST_F(Cli, PacksListsVerifiesAndExtracts) {
    const ToolRun r = run(tmp, {"pack", "-o", out, "--stub", stub, app, single, assets});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    // One summary line: files, bytes in and out, ratio, time.
    EXPECT_TRUE(std::regex_match(r.out, std::regex("packed \"" + out +
                                                   "\" \\(window program\\): 4 files, 42\\.[0-9] KiB in, [0-9.]+ KiB out "
                                                   "\\([0-9]+\\.[0-9]%\\), [0-9]+\\.[0-9]{2} s\n")))
        << r.out;
    EXPECT_EQ(r.err, "");  // stderr is a file here: no progress line
    EXPECT_EQ(count_starting_with(tmp.path(), "out.exe.tmp"), 0);

    // Without identity options: derived from the application and the output,
    // and the stub's icon kept (the synthetic stub has none).
    const std::string identity =
        "subsystem: windows\nexecution level: asInvoker\nicon: none\nfile version: 0.0.0.0\n"
        "product version: 0.0.0.0\nstring FileDescription: app\nstring FileVersion: 0.0.0.0\n"
        "string InternalName: out\nstring OriginalFilename: out.exe\nstring ProductName: app\n"
        "string ProductVersion: 0.0.0.0\nstart: per-run\n";
    const std::string app_size = std::to_string(app_bytes.size());
    const ToolRun listed = run(tmp, {"list", out});
    ASSERT_EQ(listed.exit_code, 0) << listed.err;
    EXPECT_EQ(listed.out, app_size + " app.dll\n40000 img\\logo.png\n7 readme.txt\n3 single.cfg\n" + identity);

    const ToolRun verified = run(tmp, {"verify", out});
    EXPECT_EQ(verified.exit_code, 0) << verified.err;
    EXPECT_EQ(verified.out, "OK: 4 files, " + std::to_string(app_bytes.size() + 40010) + " bytes\n" + identity);
    EXPECT_EQ(verified.err, "");

    const fs::path dir = tmp.path() / "unpacked";
    ToolRun extracted = run(tmp, {"extract", "--quiet", out, "-o", (tmp.path() / "quiet").string()});
    EXPECT_EQ(extracted.exit_code, 0);
    EXPECT_EQ(extracted.out + extracted.err, "");
    extracted = run(tmp, {"extract", out, "-o", dir.string()});
    ASSERT_EQ(extracted.exit_code, 0) << extracted.err;
    EXPECT_EQ(extracted.out, "extracted 4 files into " + q(dir.string()) + "\n");
    EXPECT_EQ(read_file(dir / "app.dll"), app_bytes);
    EXPECT_EQ(read_file(dir / "img/logo.png"), Bytes(40000, 0x5A));
    EXPECT_EQ(text_of(dir / "readme.txt"), "read me");
    EXPECT_EQ(text_of(dir / "single.cfg"), "k=v");

    // A second extraction needs --force, then overwrites.
    tmp.write("unpacked/single.cfg", "changed");
    expect_refusal(run(tmp, {"extract", out, "-o", dir.string()}),
                   "directory " + q(dir.string()) + " is not empty (use --force to write into it)");
    EXPECT_EQ(text_of(dir / "single.cfg"), "changed");
    ASSERT_EQ(run(tmp, {"extract", "--force", out, "-o", dir.string()}).exit_code, 0);
    EXPECT_EQ(text_of(dir / "single.cfg"), "k=v");

    // The decoding window is the one asked for, from the smallest to the
    // largest the launcher reads, and the files come back whole.
    const std::string windowed = (tmp.path() / "windowed.exe").string();
    for (const int window_log : {10, 27}) {
        SCOPED_TRACE(window_log);
        const ToolRun packed =
            run(tmp, {"pack", "--window-log", std::to_string(window_log), "-o", windowed, "--stub", stub, app, single,
                      assets});
        ASSERT_EQ(packed.exit_code, 0) << packed.err;
        auto packed_file = tavrik_test::open_packed(read_file(windowed));
        ASSERT_TRUE(packed_file) << packed_file.error();
        auto frame = packed_file->read_range(packed_file->attached_offset() + packed_format::magic_size,
                                             packed_file->layout().frame_end - packed_format::magic_size);
        ASSERT_TRUE(frame) << frame.error();
        ZSTD_frameHeader header{};
        ASSERT_EQ(ZSTD_getFrameHeader(&header, frame->data(), frame->size()), 0u);
        EXPECT_EQ(header.windowSize, 1ull << window_log);
        EXPECT_EQ(run(tmp, {"verify", windowed}).exit_code, 0);
        const fs::path again = tmp.path() / ("unpacked-" + std::to_string(window_log));
        ASSERT_EQ(run(tmp, {"extract", windowed, "-o", again.string()}).exit_code, 0);
        EXPECT_EQ(read_file(again / "app.dll"), app_bytes);
        EXPECT_EQ(read_file(again / "img/logo.png"), Bytes(40000, 0x5A));
    }
    for (const char *outside : {"9", "28"}) {
        expect_refusal(run(tmp, {"pack", "--window-log", outside, "-o", windowed, "--stub", stub, app}),
                       "--window-log needs a number from 10 to 27");
    }
}

TEST_F(Cli, ExtractNeverWritesOutsideItsDirectory) {
    ASSERT_EQ(pack({app, assets, single}).exit_code, 0);
    const fs::path dir = tmp.path() / "x", elsewhere = tmp.path() / "elsewhere";
    fs::create_directories(elsewhere);
    fs::create_directories(dir);
    // Through a symbolic link left in the directory, for a directory or a file.
    fs::create_directory_symlink(elsewhere, dir / "img");
    expect_refusal(run(tmp, {"extract", "--force", out, "-o", dir.string()}),
                   "refusing to write through the symbolic link " + q((dir / "img").string()));
    fs::remove(dir / "img");
    const fs::path victim = tmp.write("victim.txt", "victim");
    fs::create_symlink(victim, dir / "single.cfg");
    expect_refusal(run(tmp, {"extract", "--force", out, "-o", dir.string()}),
                   "refusing to write through the symbolic link " + q((dir / "single.cfg").string()));
    EXPECT_TRUE(fs::is_empty(elsewhere));
    EXPECT_EQ(text_of(victim), "victim");

    // Into a DIR that is itself a link.
    fs::create_directory_symlink(elsewhere, tmp.path() / "link");
    expect_refusal(run(tmp, {"extract", out, "-o", (tmp.path() / "link").string()}),
                   "refusing to extract into " + q((tmp.path() / "link").string()) + ": it is a symbolic link");
    // Also when named with "." or a "/" after it, and never through a ".."
    // that the system would resolve from the link's target.
    for (const std::string &named : {"link/.", "link/./", "link//"}) {
        expect_refusal(run(tmp, {"extract", out, "-o", (tmp.path() / named).string()}),
                       "refusing to extract into " + q((tmp.path() / named).string()) + ": it is a symbolic link");
    }
    const std::string up = (tmp.path() / "link/../y").string();
    expect_refusal(run(tmp, {"extract", out, "-o", up}),
                   "refusing to extract into " + q(up) +
                       ": name the directory without \"..\" after another component");
    EXPECT_TRUE(fs::is_empty(elsewhere));

    // --force replaces a file by a new one: a hard link planted in DIR keeps
    // its other name's content.
    fs::remove(dir / "single.cfg");
    fs::create_hard_link(victim, dir / "single.cfg");
    ASSERT_EQ(run(tmp, {"extract", "--force", out, "-o", dir.string()}).exit_code, 0);
    EXPECT_EQ(text_of(dir / "single.cfg"), "k=v");
    EXPECT_EQ(text_of(victim), "victim");

    // Another user's empty directory only with --force.
    if (::geteuid() == 0) {
        const fs::path foreign = tmp.path() / "foreign";
        fs::create_directories(foreign);
        ASSERT_EQ(::chown(foreign.c_str(), 65534, 65534), 0);
        expect_refusal(run(tmp, {"extract", out, "-o", foreign.string()}),
                       "directory " + q(foreign.string()) + " belongs to another user (use --force to write into it)");
        EXPECT_TRUE(fs::is_empty(foreign));
        EXPECT_EQ(run(tmp, {"extract", "--force", out, "-o", foreign.string()}).exit_code, 0);
    }

    // A crafted archive naming "..\evil.txt", or one name twice: refused
    // before anything is written, naming the file as verify does.
    const fs::path evil =
        tmp.write("evil.exe", packed_archive(raw_archive({{u"app.dll", {'M'}}, {u"..\\evil.txt", {'E'}}})));
    expect_refusal(run(tmp, {"extract", evil.string(), "-o", (tmp.path() / "y").string()}),
                   q(evil.string()) + ": name \"..\\evil.txt\" has a \".\" or \"..\" component");
    const fs::path twice =
        tmp.write("twice.exe", packed_archive(raw_archive({{u"app.dll", {'M'}}, {u"x.txt", {'1'}}, {u"x.txt", {'2'}}})));
    expect_refusal(run(tmp, {"extract", twice.string(), "-o", (tmp.path() / "y").string()}),
                   q(twice.string()) + ": two files have the name \"x.txt\"");
    EXPECT_FALSE(fs::exists(tmp.path() / "y"));
    EXPECT_FALSE(fs::exists(tmp.path() / "evil.txt"));
    expect_refusal(run(tmp, {"verify", evil.string()}),
                   q(evil.string()) + ": name \"..\\evil.txt\" has a \".\" or \"..\" component");

    // A component of 251 CJK units and ".txt": 255 units, which Windows
    // allows, but 757 bytes in UTF-8, which Linux does not. verify judges
    // for Windows; extract refuses before writing the file before it.
    const std::u16string cjk = std::u16string(251, u'\u6F22') + u".txt";
    const fs::path wide =
        tmp.write("wide.exe", packed_archive(raw_archive({{u"app.dll", app_bytes}, {u"a.txt", {'a'}}, {cjk, {'c'}}})));
    EXPECT_EQ(first_lines(run(tmp, {"verify", wide.string()}).out, 1),
              "OK: 3 files, " + std::to_string(app_bytes.size() + 2) + " bytes\n");
    std::string cjk_shown;
    for (int i = 0; i < 251; ++i) cjk_shown += "\xE6\xBC\xA2";
    expect_refusal(run(tmp, {"extract", wide.string(), "-o", (tmp.path() / "w").string()}),
                   q(wide.string()) + ": name \"" + cjk_shown +
                       ".txt\" has a component of 757 bytes in UTF-8; this system allows at most 255");
    EXPECT_FALSE(fs::exists(tmp.path() / "w"));
}

// A helper thread swaps DIR/sub between a directory and a link to one
// outside, as fast as it can, while extract --force writes below DIR/sub;
// whatever each round ends with, nothing may land outside.
TEST_F(Cli, ExtractRaceCannotRedirectWrites) {
    for (int i = 0; i < 50; ++i) tmp.write("race/sub/f" + std::to_string(i), "data");
    ASSERT_EQ(pack({app, (tmp.path() / "race").string()}).exit_code, 0);
    const fs::path dir = tmp.path() / "x", outside = tmp.path() / "outside";
    fs::create_directories(dir / "sub");
    fs::create_directories(outside);
    fs::create_directory_symlink(outside, dir / "link");
    const std::string sub = (dir / "sub").string(), link = (dir / "link").string();
    std::atomic<bool> stop{false};
    // One atomic exchange at a time: DIR/sub always exists, a directory or
    // a link by turns.
    std::thread racer([&] {
        while (!stop) ::renameat2(AT_FDCWD, sub.c_str(), AT_FDCWD, link.c_str(), RENAME_EXCHANGE);
    });
    int refused = 0;
    for (int round = 0; round < 40; ++round) {
        refused += run(tmp, {"extract", "--force", out, "-o", dir.string()}).exit_code != 0;
    }
    stop = true;
    racer.join();
    EXPECT_TRUE(fs::is_empty(outside)) << refused << " of 40 rounds refused";

    // A directory held open can still be renamed away, taking every later
    // file with it: extract is stopped while it writes "sub/big" (256 MiB of
    // zeros), "sub" is moved outside, and extract must not report success
    // for "sub/z.txt" written there. A round in which extract got past
    // "sub/z.txt" before it was stopped is tried again.
    Bytes app_record = raw_archive({{u"app.dll", app_bytes}});
    app_record.resize(app_record.size() - 2);
    const std::string moving = tmp.write("moving.exe", packed_around(repeating_frame(app_record, 258, [](size_t i) {
                                             if (i == 257) {
                                                 Bytes last = raw_archive({{u"sub\\z.txt", {'z'}}});
                                                 last.resize(last.size() - 2);
                                                 return last;
                                             }
                                             if (i > 0) return Bytes(1 << 20, 0);
                                             Bytes big = raw_archive({{u"sub\\big", {}}});
                                             big.resize(big.size() - 10);
                                             for (int shift = 0; shift < 64; shift += 8)
                                                 big.push_back(uint8_t((uint64_t{256} << 20) >> shift));
                                             return big;
                                         })))
                                   .string();
    const fs::path target = tmp.path() / "moving", moved = outside / "moved";
    bool caught = false;
    for (int round = 0; round < 5 && !caught; ++round) {
        fs::remove_all(target);
        fs::remove_all(moved);
        const std::string command = "exec prlimit --as=" + std::to_string(384u << 20) + " --cpu=60 " +
                                    quoted(TAVRIK_PACK_PATH) + " extract " + quoted(moving) + " -o " +
                                    quoted(target.string()) + " >" + quoted((tmp.path() / "stdout.txt").string()) +
                                    " 2>" + quoted((tmp.path() / "stderr.txt").string());
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char *>(nullptr));
            ::_exit(127);
        }
        int status = 0;
        bool ended = false;
        while (!fs::exists(target / "sub/big") && !(ended = ::waitpid(child, &status, WNOHANG) == child)) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        if (!ended) {
            ::kill(child, SIGSTOP);
            caught = ::waitpid(child, &status, WNOHANG) == 0 && !fs::exists(target / "sub/z.txt");
            if (caught) fs::rename(target / "sub", moved);
            ::kill(child, SIGCONT);
            ASSERT_EQ(::waitpid(child, &status, 0), child);
        }
        if (!caught) continue;
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
        EXPECT_EQ(text_of(tmp.path() / "stderr.txt"),
                  "tavrik-pack: error: directory " + q((target / "sub").string()) +
                      " was moved while files were extracted into it; they may be outside " + q(target.string()) +
                      "\n");
        EXPECT_TRUE(fs::exists(moved / "z.txt"));
    }
    EXPECT_TRUE(caught) << "extract was never stopped while writing sub/big";
}

TEST_F(Cli, VerifyRejectsDamage) {
    tmp.write("in/noise.bin", [] {
        Bytes noise(4096);
        uint32_t state = 7;
        for (auto &b : noise) b = uint8_t((state = state * 1103515245 + 12345) >> 16);
        return noise;
    }());
    SyntheticPe with_bss = SyntheticPe::launcher();
    with_bss.sections.push_back({".bss", 0x100, 0});
    const std::string bss_stub = tmp.write("bss.exe", with_bss.build()).string();
    ASSERT_EQ(run(tmp, {"pack", "--fast", "-o", out, "--stub", bss_stub, app, (tmp.path() / "in/noise.bin").string()})
                  .exit_code,
              0);
    const Bytes good = read_file(out);
    const fs::path bad = tmp.path() / "bad.exe";
    const std::string damaged = q(bad.string()) + " is damaged: ";
    const size_t checksum_at = tavrik_test::optional_header + 64;

    // Two different 16-bit words of stored content swapped: the PE checksum
    // stays the same, the digest does not.
    Bytes swapped = good;
    const size_t noise_at = std::search(swapped.begin(), swapped.end(), &good[good.size() / 2 - 8],
                                        &good[good.size() / 2 - 8] + 4) - swapped.begin();
    ASSERT_LT(noise_at, good.size());
    size_t other = noise_at + 2;
    while (good[other] == good[noise_at] && good[other + 1] == good[noise_at + 1]) other += 2;
    std::swap(swapped[noise_at], swapped[other]);
    std::swap(swapped[noise_at + 1], swapped[other + 1]);
    ASSERT_EQ(tavrik::pe_checksum(swapped, checksum_at), tavrik::pe_checksum(good, checksum_at));
    tmp.write("bad.exe", swapped);
    expect_refusal(run(tmp, {"verify", bad.string()}),
                   damaged + "the archive does not match the SHA-256 digest recorded when it was packed");
    expect_refusal(run(tmp, {"list", bad.string()}),
                   damaged + "the archive does not match the SHA-256 digest recorded when it was packed");

    // Flipped bits anywhere: the checksum.
    Bytes flipped = good;
    flipped[good.size() - 0x300] ^= 0x01;
    tmp.write("bad.exe", flipped);
    expect_refusal(run(tmp, {"verify", bad.string()}), damaged + "its PE checksum does not match its contents");

    // Headers the loader would refuse, the checksum made to match.
    const size_t bss_header = tavrik_test::section_table + 40 * 2;
    ASSERT_EQ(tavrik_test::get_u32(good, bss_header + 20), 0u);
    Bytes misplaced = good;
    tavrik_test::put_u32(misplaced, bss_header + 20, 0xFFFF);
    fix_checksum(misplaced);
    tmp.write("bad.exe", misplaced);
    expect_refusal(run(tmp, {"verify", bad.string()}),
                   damaged + "Windows would not load it: section \".bss\" has its data at 0xFFFF, not a multiple "
                             "of the file alignment 0x200");
    Bytes shifted = good;
    tavrik_test::put_u32(shifted, tavrik_test::section_table + 40 + 12, 0x3000);
    fix_checksum(shifted);
    tmp.write("bad.exe", shifted);
    expect_refusal(run(tmp, {"verify", bad.string()}),
                   damaged + "Windows would not load it: section \".data\" starts at RVA 0x3000 instead of 0x2000, "
                             "right after the one before it");

    // What the packer wrote and a loader needs, each changed behind a
    // checksum made to match: a DLL, another subsystem, the entry point in
    // the resources, no imports, a .tavrik section without read access.
    const auto section_header = [&good](const std::string &name) {
        for (size_t h = tavrik_test::section_table;; h += 40) {
            if (std::string(reinterpret_cast<const char *>(&good[h])) == name) return h;
        }
    };
    const size_t rsrc_header = section_header(".rsrc"), tavrik_header = section_header(".tavrik");
    const uint32_t rsrc_rva = tavrik_test::get_u32(good, rsrc_header + 12);
    const std::vector<std::pair<std::function<void(Bytes &)>, std::string>> unlike = {
        {[](Bytes &b) { b[tavrik_test::coff_header + 19] |= 0x20; }, "it is marked as a DLL, not a program"},
        {[](Bytes &b) { b[tavrik_test::optional_header + 68] = 1; },
         "its subsystem 1 is neither windows (2) nor console (3)"},
        {[rsrc_rva](Bytes &b) { tavrik_test::put_u32(b, tavrik_test::optional_header + 16, rsrc_rva); },
         "its entry point 0x" + [rsrc_rva] {
             char hex[16];
             std::snprintf(hex, sizeof hex, "%X", rsrc_rva);
             return std::string(hex);
         }() + " is not in a section of executable code"},
        {[](Bytes &b) { tavrik_test::put_u32(b, tavrik_test::optional_header + 112 + 8, 0); },
         "it has no import directory"},
        {[tavrik_header](Bytes &b) { tavrik_test::put_u32(b, tavrik_header + 36, 0x40); },
         "its .tavrik section's flags are 0x00000040, not those of readable initialized data (0x40000040)"},
    };
    for (const auto &[change, line] : unlike) {
        Bytes changed = good;
        change(changed);
        fix_checksum(changed);
        tmp.write("bad.exe", changed);
        expect_refusal(run(tmp, {"verify", bad.string()}), damaged + line);
    }

    // A certificate table entry that leads nowhere is no signature.
    const size_t certificate_entry = tavrik_test::optional_header + 112 + 4 * 8;
    Bytes bogus = good;
    tavrik_test::put_u32(bogus, certificate_entry, 0xFFFFFFFF);
    tavrik_test::put_u32(bogus, certificate_entry + 4, 0xFFFFFFFF);
    fix_checksum(bogus);
    tmp.write("bad.exe", bogus);
    expect_refusal(run(tmp, {"verify", bad.string()}),
                   damaged + "its certificate table entry (0xFFFFFFFF, 0xFFFFFFFF bytes) does not lie after the "
                             "sections, 8-byte aligned, inside the file");
    // A well-formed table is reported, and one entry of the wrong type is not.
    Bytes signed_exe = good;
    tavrik_test::put_u32(signed_exe, certificate_entry, static_cast<uint32_t>(good.size()));
    tavrik_test::put_u32(signed_exe, certificate_entry + 4, 16);
    signed_exe.insert(signed_exe.end(), {16, 0, 0, 0, 0, 2, 2, 0, 1, 2, 3, 4, 5, 6, 7, 8});
    fix_checksum(signed_exe);
    tmp.write("bad.exe", signed_exe);
    const ToolRun verified = run(tmp, {"verify", bad.string()});
    EXPECT_EQ(first_lines(verified.out, 1),
              "OK: 2 files, " + std::to_string(app_bytes.size() + 4096) + " bytes, signed\n")
        << verified.err;
    signed_exe[good.size() + 6] = 1;
    fix_checksum(signed_exe);
    tmp.write("bad.exe", signed_exe);
    expect_refusal(run(tmp, {"verify", bad.string()}),
                   damaged + "its certificate table has an entry that is not an Authenticode signature");

    // Structure checks behind a checksum made to match.
    Bytes truncated(good.begin(), good.end() - 0x200);
    fix_checksum(truncated);
    tmp.write("bad.exe", truncated);
    expect_refusal(run(tmp, {"verify", bad.string()}),
                   q(bad.string()) + " is not a packed executable: section \".tavrik\" runs past the end of the file");
    expect_refusal(run(tmp, {"verify", bss_stub}), q(bss_stub) + ": no .tavrik section: not a packed executable");

    // Packed before digests were recorded: verified, with a note.
    const Bytes archive = *tavrik::write_archive({{u"app.dll", app_bytes}, {u"x.txt", {'x'}}});
    tmp.write("bad.exe", packed_archive(archive, false));
    const ToolRun old = run(tmp, {"verify", bad.string()});
    EXPECT_EQ(old.exit_code, 0) << old.err;
    EXPECT_EQ(first_lines(old.out, 2), "OK: 2 files, " + std::to_string(app_bytes.size() + 1) +
                           " bytes\nnote: packed without a SHA-256 digest (by an older tavrik-pack), so the files' "
                           "content could not be checked\n");
}

// Memory stays near the decoder's window whatever the archive decodes to,
// and a file that is not a packed executable is refused from its headers.
TEST_F(Cli, BoundedMemoryOnHostileFiles) {
    constexpr uint64_t limit = uint64_t{384} << 20;
    constexpr uint64_t zeros = uint64_t{1} << 30;
    // A zstd frame by hand: window 2^27, no size, no checksum; the records
    // around the big file in raw blocks, its 1 GiB of zeros in RLE blocks of
    // 128 KiB (4 bytes each).
    Bytes head = raw_archive({{u"app.dll", app_bytes}});
    head.resize(head.size() - 2);
    for (char16_t c : std::u16string(u"zeros.bin")) head.insert(head.end(), {uint8_t(c), 0});
    head.insert(head.end(), {0, 0});
    for (int shift = 0; shift < 64; shift += 8) head.push_back(uint8_t(zeros >> shift));
    Bytes frame = {0x28, 0xB5, 0x2F, 0xFD, 0x00, 0x88};
    auto block = [&frame](bool last, int type, uint32_t size) {
        const uint32_t header = (last ? 1u : 0u) | uint32_t(type) << 1 | size << 3;
        frame.insert(frame.end(), {uint8_t(header), uint8_t(header >> 8), uint8_t(header >> 16)});
    };
    ASSERT_LT(head.size(), 128u << 10);
    block(false, 0, static_cast<uint32_t>(head.size()));
    frame.insert(frame.end(), head.begin(), head.end());
    for (uint64_t done = 0; done < zeros; done += 128 << 10) {
        block(false, 1, 128 << 10);
        frame.push_back(0);
    }
    block(true, 0, 2);
    frame.insert(frame.end(), {0, 0});
    const std::string bomb = tmp.write("bomb.exe", packed_around(frame)).string();
    ASSERT_LT(fs::file_size(bomb), 64u << 10);

    ToolRun r = run_limited(tmp, limit, {"verify", bomb});
    EXPECT_EQ(first_lines(r.out, 1), "OK: 2 files, " + std::to_string(app_bytes.size() + zeros) + " bytes\n") << r.err;
    r = run_limited(tmp, limit, {"list", bomb});
    EXPECT_EQ(first_lines(r.out, 2),
              std::to_string(app_bytes.size()) + " app.dll\n" + std::to_string(zeros) + " zeros.bin\n")
        << r.err;
    const fs::path dir = tmp.path() / "unpacked";
    r = run_limited(tmp, limit, {"extract", bomb, "-o", dir.string()});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(fs::file_size(dir / "zeros.bin"), zeros);
    fs::remove(dir / "zeros.bin");

    // 4 GiB of anything but "MZ" (sparse: takes no disk), then "MZ" and
    // zeros: refused from the first bytes, never read whole.
    const fs::path huge = tmp.path() / "huge.bin";
    tmp.write("huge.bin", "PK");
    fs::resize_file(huge, uint64_t{4} << 30);
    expect_refusal(run_limited(tmp, limit, {"verify", huge.string()}),
                   q(huge.string()) + " is not a packed executable: not a Windows executable (no MZ header)");
    tmp.write("huge.bin", "MZ");
    fs::resize_file(huge, uint64_t{4} << 30);
    expect_refusal(run_limited(tmp, limit, {"list", huge.string()}),
                   q(huge.string()) + " is not a packed executable: not a PE image (no PE signature)");

    // Resource directories that all share one name of 65,535 units and one
    // subdirectory: 4,096 x 4,096 resources from 200 KiB, in the launcher
    // part or in the application. The walk is charged to a budget of the
    // file's size and refused past it.
    SyntheticPe shared_stub = SyntheticPe::launcher(), shared_dll = SyntheticPe::application();
    shared_stub.resources = shared_dll.resources = [](uint32_t rva) { return shared_resource_tree(rva, 4096); };
    const Bytes tree_exe =
        packed_around(*tavrik::compress_frame(raw_archive({{u"app.dll", app_bytes}}), 1, 1), true, shared_stub.build());
    ASSERT_LT(tree_exe.size(), 480u << 10);
    const std::string tree = tmp.write("tree.exe", tree_exe).string();
    const std::string over = "damaged resource directory: it lists more than the file holds (shared or repeated entries)";
    expect_refusal(run_limited(tmp, limit, {"verify", tree}), q(tree) + " is damaged: " + over);
    expect_refusal(run_limited(tmp, limit, {"list", tree}), q(tree) + ": " + over);
    const std::string tree_dll = tmp.write("tree.dll", shared_dll.build()).string();
    expect_refusal(run_limited(tmp, limit, {"pack", "--fast", "-o", out, "--stub", stub, tree_dll}),
                   "application " + q(tree_dll) + " has a " + over);

    // 16,384 icon entries naming one PNG of 64 KiB: each image must have
    // bytes of its own, or 320 KiB of icon would stand for 1 GiB.
    const std::string shared_ico = tmp.write("shared.ico", png_ico(16384, true)).string();
    expect_refusal(run_limited(tmp, limit, {"pack", "--fast", "-o", out, "--stub", stub, "--icon", shared_ico, app}),
                   "icon " + q(shared_ico) + " is not a valid .ico file: images 1 and 2 share bytes of the file");
    EXPECT_FALSE(fs::exists(out));

    // Names: a repeated one is refused at its second record, whatever comes
    // after (250,000 records of one 1,000-unit name, 500 MB of names, were
    // all held twice before the duplicate was seen), ...
    const auto record = [](const std::u16string &name) {
        Bytes one = raw_archive({{name, {}}});
        one.resize(one.size() - 2);
        return one;
    };
    Bytes app_record = raw_archive({{u"app.dll", app_bytes}});
    app_record.resize(app_record.size() - 2);
    const std::u16string part(248, u'n');
    const std::u16string long_name = part + u"\\" + part + u"\\" + part + u"\\" + part + u"\\nnnn";
    ASSERT_EQ(long_name.size(), 1000u);
    const Bytes same_record = record(long_name);
    const std::string same =
        tmp.write("same.exe", packed_around(repeating_frame(app_record, 250000, [&](size_t) { return same_record; })))
            .string();
    const std::string shown_part(248, 'n');
    const std::string shown_long =
        "\"" + shown_part + "\\" + shown_part + "\\" + shown_part + "\\" + shown_part + "\\nnnn\"";
    expect_refusal(run_limited(tmp, limit, {"verify", same}), q(same) + ": two files have the name " + shown_long);
    expect_refusal(run_limited(tmp, limit, {"extract", same, "-o", (tmp.path() / "same").string()}),
                   q(same) + ": two files have the name " + shown_long);
    EXPECT_FALSE(fs::exists(tmp.path() / "same"));
    // ... distinct names only up to 16 MiB of them in a small file (300,000
    // of 1,000 units here), ...
    const std::string distinct = tmp.write("distinct.exe", packed_around(repeating_frame(app_record, 300000, [&](size_t i) {
                                               const std::string n = std::to_string(1000000 + i);
                                               return record(long_name.substr(0, 993) +
                                                             std::u16string(n.begin(), n.end()));
                                           })))
                                     .string();
    const std::string names_over = "the archive's names take more than 16777216 bytes, the most a packed file of its "
                                   "size may hold";
    expect_refusal(run_limited(tmp, limit, {"verify", distinct}), q(distinct) + ": " + names_over);
    expect_refusal(run_limited(tmp, limit, {"extract", distinct, "-o", (tmp.path() / "distinct").string()}),
                   q(distinct) + ": " + names_over);
    // ... and 2^20 names at most.
    const std::string many = tmp.write("many.exe", packed_around(repeating_frame(app_record, 1u << 20, [&](size_t i) {
                                           const std::string n = "f" + std::to_string(i);
                                           return record(std::u16string(n.begin(), n.end()));
                                       })))
                                 .string();
    expect_refusal(run_limited(tmp, limit, {"verify", many}),
                   q(many) + ": the archive holds more than 1048576 files, the most a packed file of its size may hold");
    EXPECT_FALSE(fs::exists(tmp.path() / "distinct"));

    // 2,000 files 508 levels deep are extracted as fast as flat ones: each
    // directory is opened once, not once per file.
    std::string deep = "deep";
    for (int level = 0; level < 507; ++level) deep += "/d";
    for (int i = 0; i < 2000; ++i) tmp.write(deep + "/f" + std::to_string(i), "");
    ASSERT_EQ(pack({app, (tmp.path() / "deep").string()}).exit_code, 0);
    const fs::path deep_dir = tmp.path() / "deep-out";
    r = run(tmp, {"extract", out, "-o", deep_dir.string()});
    EXPECT_EQ(r.out, "extracted 2001 files into " + q(deep_dir.string()) + "\n") << r.err;
    EXPECT_TRUE(fs::exists(deep_dir / deep.substr(5) / "f1999"));
}

TEST_F(Cli, PackNeverWritesThroughOrOverItsInputs) {
    // A link planted where an old packer put its temporary file: not used.
    const fs::path victim = tmp.write("victim.txt", "victim");
    fs::create_symlink(victim, out + ".tmp");
    ASSERT_EQ(pack({app, single}).exit_code, 0);
    EXPECT_EQ(text_of(victim), "victim");
    EXPECT_EQ(count_starting_with(tmp.path(), "out.exe.tmp"), 1);  // the planted link alone

    // An output that is an input or the stub, by any name, is refused.
    const std::string app_copy = app, stub_copy = stub;
    const std::string linked = (tmp.path() / "linked.dll").string();
    const std::string hard = (tmp.path() / "in/assets/hard.exe").string();
    fs::create_symlink(stub, linked);
    fs::create_hard_link(tmp.path() / "in/assets/readme.txt", hard);
    const std::string elsewhere = "; write the executable elsewhere";
    for (const auto &[output, line] : std::vector<std::pair<std::string, std::string>>{
             {app, "output " + q(app) + " is the input " + q(app) + elsewhere},
             {stub, "output " + q(stub) + " is the stub " + q(stub) + elsewhere},
             {linked, "output " + q(linked) + " is the stub " + q(stub) + elsewhere},
             {hard, "output " + q(hard) + " is the input " + q(hard) + elsewhere}}) {
        expect_refusal(run(tmp, {"pack", "--fast", "-o", output, "--stub", stub, app, assets}), line);
    }
    EXPECT_EQ(read_file(app), app_bytes);
    EXPECT_EQ(read_file(stub), SyntheticPe::launcher().build());

    // A FIFO (or a device such as /dev/null, or a directory) is never
    // replaced by the output: refused where the file would be renamed over
    // it, whatever the command line checked before.
    const fs::path fifo = tmp.path() / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    auto replaced = tavrik::write_file_replacing(fifo, {'x'});
    ASSERT_FALSE(replaced);
    EXPECT_EQ(replaced.error(), "refusing to replace " + q(fifo.string()) + ": it is not a regular file or a symbolic link");
    expect_error_line(run(tmp, {"pack", "--fast", "-o", fifo.string(), "--stub", stub, app}), q(fifo.string()));
    EXPECT_TRUE(fs::is_fifo(fifo));
    EXPECT_EQ(count_starting_with(tmp.path(), "fifo.tmp"), 0);
}

TEST_F(Cli, DepfileNamesEverythingReadOnlyAfterSuccess) {
    // Names a build tool must read back: a space, "#", "$", "%", a
    // sub-folder whose files all went, and the icon. Each but the one with
    // "%" (a pattern to make) has an empty rule too.
    tmp.write("in/my assets/a #1.txt", "1");
    tmp.write("in/my assets/$price/b.txt", "2");
    tmp.write("in/my assets/10%.txt", "3");
    fs::create_directories(tmp.path() / "in/my assets/empty");
    const std::string icon = tmp.write("in/app.ico", ico_file({bitmap_image(16)})).string();
    const std::string dir = (tmp.path() / "in/my assets").string();
    const std::string depfile = (tmp.path() / "out.d").string();
    ToolRun r = run(tmp, {"pack", "--fast", "-o", out, "--stub", stub, "--icon", icon, "--depfile", depfile, app,
                          single, dir});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const std::string in = tmp.path().string() + "/in/";
    const std::string escaped_dir = tmp.path().string() + "/in/my\\ assets";
    const std::vector<std::string> prerequisites = {
        in + "app.dll", in + "app.ico", escaped_dir, escaped_dir + "/$$price", escaped_dir + "/$$price/b.txt",
        escaped_dir + "/10%.txt", escaped_dir + "/a\\ \\#1.txt", escaped_dir + "/empty", in + "single.cfg", stub};
    std::string rule = out + ":", empty_rules;
    for (const std::string &name : prerequisites) {
        rule += " \\\n  " + name;
        if (name.find('%') == std::string::npos) empty_rules += "\n" + name + ":\n";
    }
    EXPECT_EQ(text_of(depfile), rule + "\n" + empty_rules);
    EXPECT_EQ(count_starting_with(tmp.path(), "out.d.tmp"), 0);

    // A failed run leaves the depfile as it was; a path the syntax cannot
    // carry is refused before the output is written.
    const Bytes packed = read_file(out);
    expect_refusal(run(tmp, {"pack", "--fast", "-o", out, "--stub", stub, "--depfile", depfile, app,
                             (tmp.path() / "gone").string()}),
                   "input " + q((tmp.path() / "gone").string()) + " does not exist");
    const std::string tabbed = tmp.write("in/tab\there.txt", "t").string();
    expect_refusal(run(tmp, {"pack", "--fast", "-o", out, "--stub", stub, "--depfile", depfile, app, tabbed}),
                   "cannot name " + q(tmp.path().string() + "/in/tab<U+0009>here.txt") +
                       " in a depfile: it contains a tab or a line break");
    EXPECT_EQ(read_file(out), packed);
    EXPECT_EQ(text_of(depfile).rfind(out + ": ", 0), 0u);
    expect_refusal(run(tmp, {"pack", "-o", out, "--depfile", out, app}),
                   "--depfile names the output; give it a file of its own (see --help)");
}

// Characters make and Ninja read back from a depfile, each in a file name, a
// folder name and the output name ("%" is refused in the output: make
// reads such a target as a pattern rule).
const char *const depfile_characters[] = {" ", "#", "$", "%", "]", "(", ")", "~", "!", "@", "{", "}", ",", "+",
                                          "\xC3\xA9"};

// A build of src/ into o<c>z.exe by `tool` (make or ninja) through the
// depfile: the first build packs, a second has nothing to do, after a file
// of the folder changes the next packs again, and after that file and its
// folder are deleted the next packs again too (make would stop at a
// prerequisite it has no rule for) and the one after has nothing to do.
// Paths are relative to the build's own directory, so the characters are
// what the reader sees. Ninja keeps the names in its log ("deps = gcc"), or
// without `recorded` reads the depfile at each start, as CMake's Ninja
// generator has it do.
void expect_build_reads_depfile(const TempDir &tmp, const std::string &tool, const std::string &stub,
                                const std::string &app, const std::string &c, bool recorded = true) {
    const fs::path dir = tmp.path() / (tool + (recorded ? "-" : "-unrecorded-") +
                                       std::to_string(static_cast<unsigned char>(c[0])));
    const std::string output = "o" + (c == "%" ? std::string("p") : c) + "z.exe";
    const std::string file = "src/d" + c + "y/f" + c + "x.txt";
    tmp.write(fs::relative(dir / file, tmp.path()).string(), "x");
    std::ofstream(dir / "pack.sh") << quoted(TAVRIK_PACK_PATH) << " pack --fast -q -o " << quoted(output)
                                   << " --stub " << quoted(stub) << " --depfile out.d " << quoted(app)
                                   << " src && echo PACKED >>log\n";
    // The output as the build file spells it.
    std::string target;
    for (char ch : output) {
        if (tool == "ninja") target += ch == '$' || ch == ' ' || ch == ':' ? "$" : "";
        else target += ch == ' ' || ch == '#' ? "\\" : ch == '$' ? "$" : "";
        target += ch;
    }
    if (tool == "ninja") {
        std::ofstream(dir / "build.ninja") << "rule pack\n  command = sh pack.sh\n  depfile = out.d\n"
                                           << (recorded ? "  deps = gcc\n" : "")
                                           << "build " << target << ": pack\n";
    } else {
        std::ofstream(dir / "Makefile") << target << ":\n\tsh pack.sh\n-include out.d\n";
    }
    const auto build = [&] {
        const int status = std::system(("cd " + quoted(dir.string()) + " && " + tool + " >build.txt 2>&1").c_str());
        EXPECT_EQ(status, 0) << c << ": " << text_of(dir / "build.txt");
        const std::string log = fs::exists(dir / "log") ? text_of(dir / "log") : "";
        return std::count(log.begin(), log.end(), '\n');
    };
    EXPECT_EQ(build(), 1) << tool << " " << c;
    EXPECT_EQ(build(), 1) << tool << " packed again with nothing changed, character " << c;
    fs::last_write_time(dir / file, fs::last_write_time(dir / file) + std::chrono::seconds(5));
    EXPECT_EQ(build(), 2) << tool << " did not pack after a change, character " << c;
    EXPECT_TRUE(fs::exists(dir / output)) << c;
    // make reads a rule for a name holding "%" as a pattern: such a file has
    // no empty rule, and deleting it stops make.
    if (tool == "make" && c == "%") return;
    fs::remove_all(dir / "src" / ("d" + c + "y"));
    EXPECT_EQ(build(), 3) << tool << " did not pack after a file and its folder were deleted, character " << c;
    EXPECT_EQ(build(), 3) << tool << " packed again with nothing changed after a deletion, character " << c;
}

TEST_F(Cli, MakeReadsTheDepfileBack) {
    for (const char *c : depfile_characters) expect_build_reads_depfile(tmp, "make", stub, app, c);
}

TEST_F(Cli, NinjaReadsTheDepfileBack) {
    for (const char *c : depfile_characters) {
        expect_build_reads_depfile(tmp, "ninja", stub, app, c);
        expect_build_reads_depfile(tmp, "ninja", stub, app, c, false);
    }
}

// The empty rule the depfile adds for a packed file its Makefile builds
// leaves that file's own recipe in force: a newer source remakes the DLL,
// then packs it again.
TEST_F(Cli, MakeKeepsTheRecipeOfAPackedFile) {
    const fs::path dir = tmp.path() / "recipe";
    fs::create_directories(dir);
    std::ofstream(dir / "Makefile") << "out.exe: copy.dll\n\t" << quoted(TAVRIK_PACK_PATH) << " pack --fast -q -o out.exe --stub "
                                    << quoted(stub) << " --depfile out.d copy.dll && echo PACKED >>log\n"
                                    << "copy.dll: source.dll\n\tcp source.dll copy.dll && echo COPIED >>log\n"
                                    << "-include out.d\n";
    fs::copy_file(app, dir / "source.dll");
    const auto build = [&] {
        const int status = std::system(("cd " + quoted(dir.string()) + " && make >build.txt 2>&1").c_str());
        EXPECT_EQ(status, 0) << text_of(dir / "build.txt");
        return text_of(dir / "log");
    };
    EXPECT_EQ(build(), "COPIED\nPACKED\n");
    EXPECT_NE(text_of(dir / "out.d").find("\ncopy.dll:\n"), std::string::npos) << text_of(dir / "out.d");
    fs::last_write_time(dir / "copy.dll", fs::last_write_time(dir / "source.dll") - std::chrono::seconds(5));
    EXPECT_EQ(build(), "COPIED\nPACKED\nCOPIED\nPACKED\n");
    EXPECT_EQ(build(), "COPIED\nPACKED\nCOPIED\nPACKED\n");
}

// What make, Ninja or CMake would read back as another path (or as a
// command, a pattern or an assignment) is refused before anything is
// written, in a file name, a folder name and the output name alike.
TEST_F(Cli, RefusesWhatADepfileCannotCarry) {
    const std::vector<std::pair<std::string, std::string>> refused = {
        {";", "\";\", where Ninja ends a name (it has no escape for it)"},
        {"'", "\"'\", where Ninja ends a name (it has no escape for it)"},
        {"&", "\"&\", where Ninja ends a name (it has no escape for it)"},
        {"^", "\"^\", where Ninja ends a name (it has no escape for it)"},
        {"`", "\"`\", where Ninja ends a name (it has no escape for it)"},
        {"|", "\"|\", where Ninja ends a name (it has no escape for it)"},
        {"\"", "\"\"\", where Ninja ends a name (it has no escape for it)"},
        {"*", "\"*\", where Ninja ends a name (it has no escape for it)"},
        {"?", "\"?\", where Ninja ends a name (it has no escape for it)"},
        {"<", "\"<\", where Ninja ends a name (it has no escape for it)"},
        {">", "\">\", where Ninja ends a name (it has no escape for it)"},
        {"[", "\"[\", which make reads as a wildcard"},
        {"=", "\"=\", which makes make read the rule as a variable assignment"},
        {":", "\":\", which make reads as the end of the targets (CMake drops its escape)"},
        {"\x7f", "a control character, where Ninja ends a name"},
    };
    const std::string depfile = (tmp.path() / "out.d").string();
    for (const auto &[c, why] : refused) {
        const std::string shown = c == "\x7f" ? "<U+007F>" : c;
        const std::string base = tmp.path().string() + "/" + std::to_string(static_cast<unsigned char>(c[0]));
        tmp.write(fs::relative(base + "/f" + c + "x.txt", tmp.path()).string(), "x");
        const std::string folder = base + "-dir/d" + c + "y";
        tmp.write(fs::relative(folder + "/f.txt", tmp.path()).string(), "x");
        const std::vector<std::tuple<std::string, std::string, std::string>> cases = {
            {out, base, base + "/f" + shown + "x.txt"},
            {out, base + "-dir", base + "-dir/d" + shown + "y"},
            {(tmp.path() / ("o" + c + "z.exe")).string(), single, tmp.path().string() + "/o" + shown + "z.exe"},
        };
        for (const auto &[output, input, named] : cases) {
            expect_refusal(run(tmp, {"pack", "--fast", "-o", output, "--stub", stub, "--depfile", depfile, app, input}),
                           "cannot name " + q(named) + " in a depfile: it contains " + why);
            EXPECT_FALSE(fs::exists(output)) << output;
            EXPECT_FALSE(fs::exists(depfile));
        }
    }
    // make reads "%" in a target as a pattern, and a name ending in ")" as
    // (the end of) a member of an archive.
    const std::string percent = (tmp.path() / "o%z.exe").string();
    expect_refusal(run(tmp, {"pack", "-o", percent, "--stub", stub, "--depfile", depfile, app}),
                   "cannot name " + q(percent) + " in a depfile: it contains \"%\"; make reads such a target as a "
                   "pattern rule");
    // The depfile's place is checked with the output's, before anything is
    // read or written.
    const std::string nowhere = (tmp.path() / "nodir").string();
    expect_refusal(run(tmp, {"pack", "-o", out, "--stub", stub, "--depfile", nowhere + "/out.d", app}),
                   "depfile " + q(nowhere + "/out.d") + ": directory " + q(nowhere) + " does not exist");
    EXPECT_FALSE(fs::exists(out));
    // make reads a leading "~" as a home directory (a relative path here).
    tmp.write("~root/a.txt", "x");
    const ToolRun home = run(tmp, "sh", {"-c", "cd \"$0\" && exec \"$@\"", tmp.path().string(), TAVRIK_PACK_PATH, "pack",
                                         "-o", out, "--stub", stub, "--depfile", depfile, app, "~root"});
    expect_refusal(home, "cannot name \"~root\" in a depfile: it starts with \"~\", which make reads as a home directory");
    // An empty rule for a name make reads as a special target would switch
    // it on for the whole build (".IGNORE": every failure ignored); make
    // drops a leading "./" first. Below a folder it is a plain name.
    tmp.write(".IGNORE", "x");
    tmp.write("sub/.IGNORE", "x");
    for (const std::string &name : {".IGNORE", "./.IGNORE", ".//./.IGNORE", "sub/.IGNORE"}) {
        const ToolRun special = run(tmp, "sh", {"-c", "cd \"$0\" && exec \"$@\"", tmp.path().string(), TAVRIK_PACK_PATH,
                                                "pack", "--fast", "-o", out, "--stub", stub, "--depfile", depfile, app, name});
        if (name == "sub/.IGNORE") {
            EXPECT_EQ(special.exit_code, 0) << special.err;
        } else {
            expect_refusal(special, "cannot name " + q(name) +
                                        " in a depfile: make reads a rule for it as one of its special targets");
        }
    }
    fs::remove(out);
    fs::remove(depfile);
    const std::string member = tmp.write("in/copy (2)", "x").string();
    const std::string closing = tmp.write("in/x)", "x").string();
    for (const std::string &name : {member, closing}) {
        expect_refusal(run(tmp, {"pack", "-o", out, "--stub", stub, "--depfile", depfile, app, name}),
                       "cannot name " + q(name) + " in a depfile: it ends in \")\", which make reads as the end of an "
                       "archive member's name");
    }
    EXPECT_FALSE(fs::exists(out));
}

TEST_F(Cli, ListAndErrorsEscapeControlCharacters) {
    const Bytes archive = raw_archive({{u"app.dll", app_bytes},
                                       {u"\x1B[31mred", {'r'}},
                                       {u"bell\a\nline", {}},
                                       {u"invoice\u202Efdp.exe", {}},
                                       {u"\u2066\u200Fisolated\u2069", {}}});
    const std::string crafted = tmp.write("crafted.exe", packed_archive(archive)).string();
    const ToolRun listed = run(tmp, {"list", crafted});
    EXPECT_EQ(first_lines(listed.out, 5), std::to_string(app_bytes.size()) +
                                              " app.dll\n1 <U+001B>[31mred\n0 bell<U+0007><U+000A>line\n"
                                              "0 invoice<U+202E>fdp.exe\n0 <U+2066><U+200F>isolated<U+2069>\n");
    expect_refusal(run(tmp, {"verify", crafted}),
                   q(crafted) + ": name \"<U+001B>[31mred\" contains the control character U+001B");
    expect_refusal(run(tmp, {"verify", tmp.path().string() + "/no\x1B]0;such"}),
                   "cannot read " + q(tmp.path().string() + "/no<U+001B>]0;such") + ": not an existing regular file");
}

TEST_F(Cli, RefusesBadInputsBeforeWritingAnything) {
    const std::string missing = (tmp.path() / "nope.dll").string();
    const std::string missing_file = (tmp.path() / "nope.txt").string();
    const std::string program = tmp.write("program.dll", SyntheticPe::launcher().build()).string();
    SyntheticPe other_exports = SyntheticPe::application();
    other_exports.exports = {"not_run_code", "run_code_x"};
    const std::string no_entry = tmp.write("no_entry.dll", other_exports.build()).string();
    SyntheticPe no_export_table = SyntheticPe::application();
    no_export_table.exports.clear();
    const std::string no_table = tmp.write("no_table.dll", no_export_table.build()).string();
    SyntheticPe pe32 = SyntheticPe::application();
    pe32.magic = 0x10B;
    const std::string app32 = tmp.write("app32.dll", pe32.build()).string();
    const std::string text = tmp.write("text.dll", "MZ but nothing else").string();
    SyntheticPe cpp_linkage = SyntheticPe::application();
    cpp_linkage.exports = {"_Z6helperv", "_Z8run_codeiPPwPKw"};
    const std::string mangled = tmp.write("mangled.dll", cpp_linkage.build()).string();
    cpp_linkage.exports = {"?run_code@@YAHHPEAPEA_WPEB_W@Z"};
    const std::string msvc = tmp.write("msvc.dll", cpp_linkage.build()).string();

    expect_refusal(pack({mangled}), "application " + q(mangled) +
                                        " exports run_code only under its C++ name \"_Z8run_codeiPPwPKw\"; declare it "
                                        "extern \"C\"");
    expect_refusal(pack({msvc}), "application " + q(msvc) +
                                     " exports run_code only under its C++ name \"?run_code@@YAHHPEAPEA_WPEB_W@Z\"; "
                                     "declare it extern \"C\"");
    expect_refusal(pack({missing}), "application " + q(missing) + " does not exist");
    expect_refusal(pack({app, missing_file}), "input " + q(missing_file) + " does not exist");
    expect_refusal(run(tmp, {"pack", "-o", out, "--stub", missing, app}), "stub " + q(missing) + " does not exist");
    expect_refusal(pack({text}), "application " + q(text) + " is not a PE32+ x86-64 DLL: not a Windows executable (no MZ header)");
    expect_refusal(pack({app32}), "application " + q(app32) + " is not a PE32+ x86-64 DLL: a 32-bit (PE32) image, not PE32+");
    expect_refusal(pack({program}), "application " + q(program) + " is a program, not a DLL");
    expect_refusal(pack({no_entry}), "application " + q(no_entry) + " does not export run_code");
    expect_refusal(pack({no_table}), "application " + q(no_table) + " does not export run_code");
    expect_refusal(pack({app, app}), "two files have the name \"app.dll\"");
    EXPECT_FALSE(fs::exists(out));
    EXPECT_EQ(count_starting_with(tmp.path(), "out.exe.tmp"), 0);

    // A failed run leaves an earlier output alone.
    tmp.write("out.exe", "previous");
    expect_refusal(pack({program}), "application " + q(program) + " is a program, not a DLL");
    EXPECT_EQ(text_of(out), "previous");
}

TEST_F(Cli, GivesTheProgramItsOwnIdentity) {
    // Without options nothing of the launcher's identity is left (the
    // synthetic stub's version strings name it and its project).
    ASSERT_EQ(pack({app}).exit_code, 0);
    const Bytes plain = read_file(out);
    EXPECT_FALSE(contains(plain, "Tavrik"));
    EXPECT_FALSE(contains(plain, utf16le("Tavrik")));
    EXPECT_EQ(tavrik_test::get_u16(plain, tavrik_test::optional_header + 68), 2);  // GUI

    // The DLL's own version resource fills in what the options leave open.
    SyntheticPe versioned = SyntheticPe::application();
    versioned.product_name = u"Example Suite\xDC00";  // an unpaired surrogate hides nothing after it
    const Bytes dll_bytes = versioned.build();
    const std::string dll = tmp.write("in/suite.dll", dll_bytes).string();
    const Bytes png = png_image(500);
    const std::string icon = tmp.write("app.ico", ico_file({bitmap_image(16), bitmap_image(32), png})).string();
    ToolRun r = run(tmp, {"pack", "--fast", "-o", out, "--stub", stub, "--icon", icon, "--version-string",
                          "CompanyName=Example Ltd", "--version-string", "Comments=tab\there", "--version-string",
                          "legalcopyright=\xC2\xA9 2026 Example", "--version-string",
                          "LegalTrademarks=\x01\xE2\x80\xAEmark", "--file-version", "1.2.3.4", "--console",
                          "--execution-level", "requireAdministrator", dll});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const Bytes packed = read_file(out);
    EXPECT_EQ(tavrik_test::get_u16(packed, tavrik_test::optional_header + 68), 3);  // console
    EXPECT_TRUE(contains(packed, std::string(png.begin(), png.end())));
    EXPECT_FALSE(contains(packed, utf16le("Tavrik")));
    r = run(tmp, {"list", out});
    EXPECT_EQ(r.out, std::to_string(dll_bytes.size()) +
                         " suite.dll\n"
                         "subsystem: console\nexecution level: requireAdministrator\nicon: 16x16, 32x32, 256x256\n"
                         "file version: 1.2.3.4\nproduct version: 0.0.0.0\nstring Comments: tab<U+0009>here\n"
                         "string CompanyName: Example Ltd\nstring FileDescription: suite\nstring FileVersion: 1.2.3.4\n"
                         "string InternalName: out\nstring legalcopyright: \xC2\xA9 2026 Example\n"
                         "string LegalTrademarks: <U+0001><U+202E>mark\n"
                         "string OriginalFilename: out.exe\nstring ProductName: Example Suite<U+DC00>\n"
                         "string ProductVersion: 0.0.0.0\nstart: per-run\n")
        << r.err;
    // The machine form gives every string back exactly, in JSON's escapes.
    r = run(tmp, {"list", "--json", out});
    for (const std::string &member : {std::string("{\"name\": \"Comments\", \"value\": \"tab\\u0009here\"}"),
                                      std::string("{\"name\": \"LegalTrademarks\", \"value\": \"\\u0001\xE2\x80\xAEmark\"}"),
                                      std::string("{\"name\": \"ProductName\", \"value\": \"Example Suite\\uDC00\"}")}) {
        EXPECT_NE(r.out.find(member), std::string::npos) << member << "\n" << r.out;
    }
    EXPECT_EQ(run(tmp, {"verify", out}).out.rfind("OK: 1 file, " + std::to_string(dll_bytes.size()) +
                                                      " bytes\nsubsystem: console\n",
                                                  0),
              0u);

    // What pack writes, list and verify read back, and what Windows loads,
    // pack takes: every image a .ico file can list (65,535), and an
    // application with 5,000 resources of one type.
    constexpr uint64_t limit = uint64_t{384} << 20;
    const std::string many = tmp.write("many.ico", png_ico(65535)).string();
    SyntheticPe rcdata = SyntheticPe::application();
    rcdata.resources = [](uint32_t rva) { return rcdata_tree(rva, 5000); };
    const std::string rich = tmp.write("in/rich.dll", rcdata.build()).string();
    r = run_limited(tmp, limit, {"pack", "--fast", "-o", out, "--stub", stub, "--icon", many, rich});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    std::string icons = "\nicon: 256x256";
    for (int i = 1; i < 65535; ++i) icons += ", 256x256";
    r = run_limited(tmp, limit, {"verify", out});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find(icons + "\n"), std::string::npos) << r.out.substr(0, 200);
    r = run_limited(tmp, limit, {"list", out});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find(icons + "\n"), std::string::npos) << r.out.substr(0, 200);
}

TEST_F(Cli, RefusesABrokenIdentity) {
    const auto with_icon = [this](const std::string &name, const Bytes &ico) {
        const std::string icon = tmp.write(name, ico).string();
        return std::make_pair(run(tmp, {"pack", "--fast", "-o", out, "--stub", stub, "--icon", icon, app}),
                              "icon " + q(icon) + " is not a valid .ico file: ");
    };
    Bytes past_end = ico_file({bitmap_image(16)});
    tavrik_test::put_u32(past_end, 6 + 8, 1 << 20);
    Bytes empty_image = ico_file({bitmap_image(16)});
    tavrik_test::put_u32(empty_image, 6 + 8, 0);
    Bytes cursor = ico_file({bitmap_image(16)});
    cursor[2] = 2;
    const std::vector<std::pair<Bytes, std::string>> icons = {
        {Bytes{0, 0, 1, 0}, "it is too short for an icon directory"},
        {Bytes{'M', 'Z', 0, 0, 0, 0, 0, 0}, "it does not start with an icon directory"},
        {cursor, "it is a cursor, not an icon"},
        {Bytes{0, 0, 1, 0, 0, 0}, "it holds no images"},
        {Bytes{0, 0, 1, 0, 2, 0, 1, 2, 3}, "its directory of 2 images runs past the end of the file"},
        {past_end, "image 1 runs past the end of the file"},
        {empty_image, "image 1 is empty"},
        {ico_file({png_image(100), Bytes(64, 'x')}), "image 2 is neither a PNG nor a bitmap"},
    };
    for (size_t i = 0; i < icons.size(); ++i) {
        const auto [result, start] = with_icon("bad" + std::to_string(i) + ".ico", icons[i].first);
        expect_refusal(result, start + icons[i].second);
    }
    const std::string missing = (tmp.path() / "none.ico").string();
    expect_refusal(run(tmp, {"pack", "-o", out, "--stub", stub, "--icon", missing, app}),
                   "icon " + q(missing) + " does not exist");

    const std::vector<std::pair<std::vector<std::string>, std::string>> usage = {
        {{"--file-version", "1.2.3"}, "--file-version needs four numbers from 0 to 65535 as A.B.C.D, not \"1.2.3\""},
        {{"--product-version", "1.2.3.65536"},
         "--product-version needs four numbers from 0 to 65535 as A.B.C.D, not \"1.2.3.65536\""},
        {{"--file-version", "1.2.3.4a"}, "--file-version needs four numbers from 0 to 65535 as A.B.C.D, not \"1.2.3.4a\""},
        {{"--execution-level", "administrator"},
         "--execution-level needs asInvoker, highestAvailable or requireAdministrator, not \"administrator\""},
        {{"--version-string", "CompanyName"}, "--version-string needs NAME=VALUE, not \"CompanyName\""},
        {{"--version-string", "=Example"}, "--version-string needs NAME=VALUE, not \"=Example\""},
        {{"--version-string", "Comments=a", "--version-string", "COMMENTS=b"}, "--version-string COMMENTS is given twice"},
        {{"--version-string", "Comments=\xFF"}, "--version-string Comments has a value that is not valid UTF-8"},
        {{"--version-string", "\xFF=x"}, "--version-string name \"<0xFF>\" is not valid UTF-8"},
    };
    for (const auto &[options, line] : usage) {
        std::vector<std::string> args = {"pack", "-o", out, "--stub", stub, app};
        args.insert(args.end(), options.begin(), options.end());
        expect_refusal(run(tmp, args), line);
    }
    // Strings too long for one version resource are the options' fault, not
    // the stub's.
    const ToolRun long_strings =
        run(tmp, {"pack", "-o", out, "--stub", stub, app, "--version-string", "Comments=" + std::string(40000, 'x')});
    expect_error_line(long_strings, "; at most 64511 fit in a version resource");
    EXPECT_EQ(long_strings.err.find("stub"), std::string::npos) << long_strings.err;
    EXPECT_FALSE(fs::exists(out));
}

TEST_F(Cli, RefusesStubsThatAreNotThePlainLauncher) {
    const std::string plain = tmp.write("plain.exe", SyntheticPe().build()).string();
    SyntheticPe renamed = SyntheticPe::launcher();
    renamed.product_name = u"Tavrik launcher 2";
    const std::string other = tmp.write("other.exe", renamed.build()).string();
    SyntheticPe signed_pe = SyntheticPe::launcher();
    signed_pe.certificate_offset = 0xA00;
    signed_pe.certificate_size = 0x10;
    signed_pe.overlay = Bytes(0x10, 7);
    const std::string signed_stub = tmp.write("signed.exe", signed_pe.build()).string();
    SyntheticPe dll_launcher = SyntheticPe::launcher();
    dll_launcher.dll = true;
    const std::string dll_stub = tmp.write("dll.exe", dll_launcher.build()).string();
    SyntheticPe no_manifest = SyntheticPe::launcher();
    no_manifest.manifest.clear();
    const std::string bare = tmp.write("bare.exe", no_manifest.build()).string();
    ASSERT_EQ(pack({app}).exit_code, 0);
    const std::string packed = (tmp.path() / "packed.exe").string();
    fs::rename(out, packed);

    const std::string not_launcher = " is not the Tavrik launcher (its version resource lacks ProductName \"Tavrik launcher\")";
    for (const auto &[candidate, line] : std::vector<std::pair<std::string, std::string>>{
             {plain, "stub " + q(plain) + not_launcher},
             {other, "stub " + q(other) + not_launcher},
             {app, "stub " + q(app) + not_launcher},
             {single, "stub " + q(single) + " is not the Tavrik launcher: not a Windows executable (no MZ header)"},
             {packed, "stub " + q(packed) + " already carries attached data (a .tavrik section); use the launcher as built"},
             {signed_stub, "stub " + q(signed_stub) + " is signed; pack the unsigned launcher and sign after packing"},
             {dll_stub, "stub " + q(dll_stub) + " is not the Tavrik launcher: it is marked as a DLL, not a program"},
             {bare, "cannot rewrite the resources of stub " + q(bare) + ": it has no manifest"}}) {
        expect_refusal(run(tmp, {"pack", "-o", out, "--stub", candidate, app}), line);
    }
    EXPECT_FALSE(fs::exists(out));
}

TEST_F(Cli, RefusesNamesWindowsCannotUse) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"aux.txt", "name \"aux.txt\" is the reserved device name AUX on Windows"},
        {"sub/Nul", "name \"sub\\Nul\" is the reserved device name NUL on Windows"},
        {"a?b", "name \"a?b\" contains \"?\", which Windows does not allow"},
        {"ab:c", "name \"ab:c\" contains \":\""},
        {"bell\x07", "name \"bell<U+0007>\" contains the control character U+0007"},
        {"trailing.", "name \"trailing.\" has a component ending in a dot or a space"},
        {"space /f", "name \"space \\f\" has a component ending in a dot or a space"},
    };
    for (const auto &[file, line] : cases) {
        const fs::path dir = tmp.path() / ("case" + std::to_string(&file - &cases[0].first));
        tmp.write(fs::relative(dir / file, tmp.path()).string(), "x");
        expect_refusal(pack({app, dir.string()}), line);
    }
    // Distinct on Linux, one file on Windows (U+1EA0, U+1EA1).
    tmp.write("fold/\xE1\xBA\xA0.txt", "1");
    tmp.write("fold/\xE1\xBA\xA1.TXT", "2");
    expect_refusal(pack({app, (tmp.path() / "fold").string()}),
                   "names \"\xE1\xBA\xA0.txt\" and \"\xE1\xBA\xA1.TXT\" differ only in case; Windows would see one "
                   "file");
    tmp.write("clash/lib", "file");
    tmp.write("more/LIB/x.dll", "dll");
    expect_refusal(pack({app, (tmp.path() / "clash").string(), (tmp.path() / "more").string()}),
                   "name \"lib\" is a file, but \"LIB\\x.dll\" needs it as a directory");
    // 1024 UTF-16 units, built from components Linux accepts.
    const std::string part(200, 'p');
    tmp.write("long/" + part + "/" + part + "/" + part + "/" + part + "/" + std::string(220, 'q'), "x");
    expect_refusal(pack({app, (tmp.path() / "long").string()}),
                   "name \"" + std::string(32, 'p') + "...\" is 1024 UTF-16 units long; the launcher allows at most 1023");
    EXPECT_FALSE(fs::exists(out));
}

TEST_F(Cli, OutputIsReproducible) {
    // The output's file name is an input (OriginalFilename): the same name
    // in another directory.
    const std::string second = (tmp.path() / "again/out.exe").string();
    fs::create_directories(tmp.path() / "again");
    const std::string icon = tmp.write("icon.ico", ico_file({bitmap_image(16), png_image(300)})).string();
    ASSERT_EQ(run(tmp, {"pack", "-o", out, "--stub", stub, "--icon", icon, "--version-string", "B=2",
                        "--version-string", "A=1", "--console", app, assets, single})
                  .exit_code,
              0);
    // Other option order, other input order, other thread counts.
    ASSERT_EQ(run(tmp, {"pack", "--threads", "1", "--version-string", "A=1", "--console", "--stub", stub, "-o", second,
                        "--version-string", "B=2", "--icon", icon, app, single, assets})
                  .exit_code,
              0);
    EXPECT_EQ(read_file(out), read_file(second));
    ASSERT_EQ(run(tmp, {"pack", "--threads", "5", "--stub", stub, "-o", second, "--icon", icon, "--version-string",
                        "A=1", "--version-string", "B=2", "--console", app, single, assets})
                  .exit_code,
              0);
    EXPECT_EQ(read_file(out), read_file(second));

    ASSERT_EQ(run(tmp, {"pack", "-o", second, "--stub", stub, "--icon", icon, "--version-string", "B=2",
                        "--version-string", "A=1", "--console", "--fast", app, assets, single})
                  .exit_code,
              0);
    EXPECT_NE(read_file(out), read_file(second));
    EXPECT_EQ(run(tmp, {"verify", second}).exit_code, 0);
}

TEST_F(Cli, ProgressOnlyWhenAsked) {
    std::ostringstream o, e;
    tavrik::CliEnvironment environment;
    environment.show_progress = true;
    ASSERT_EQ(tavrik::run_cli({"pack", "-o", out, "--stub", stub, app, assets}, environment, o, e), 0) << e.str();
    const std::string err = e.str();
    EXPECT_EQ(err.rfind("\rtavrik-pack: read ", 0), 0u) << err;
    EXPECT_EQ(err.back(), '\n');
    EXPECT_EQ(err.find('\n'), err.size() - 1) << err;  // one line, redrawn in place
    // The last state drawn: everything read and compressed.
    const std::string last = err.substr(err.rfind('\r') + 1);
    EXPECT_EQ(last.rfind("tavrik-pack: read 42.2 KiB of 42.2 KiB, compressed 42.2 KiB to ", 0), 0u)
        << testing::PrintToString(err);
    EXPECT_EQ(o.str().rfind("packed \"" + out + "\" (window program): 3 files, ", 0), 0u) << o.str();

    // --quiet: neither the progress line nor the summary.
    std::ostringstream quiet_out, quiet_err;
    ASSERT_EQ(tavrik::run_cli({"pack", "-q", "-o", out, "--stub", stub, app, assets}, environment, quiet_out, quiet_err),
              0);
    EXPECT_EQ(quiet_out.str() + quiet_err.str(), "");
}

TEST_F(Cli, Help) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--help"}, "usage: tavrik-pack pack -o OUT.exe"},
        {{"pack", "--help"}, "usage: tavrik-pack pack -o OUT.exe"},
        {{"list", "--help"}, "usage: tavrik-pack list [--json] PACKED.exe\n"},
        {{"help", "list"}, "usage: tavrik-pack list [--json] PACKED.exe\n"},
        {{"help", "pack"}, "usage: tavrik-pack pack -o OUT.exe [--stub STUB.exe]"},
        {{"--version"}, std::string("tavrik-pack ") + TAVRIK_VERSION + "\n"},
        {{"verify", "--version"}, std::string("tavrik-pack ") + TAVRIK_VERSION + "\n"},
        {{"verify", "--help"}, "usage: tavrik-pack verify PACKED.exe\n"},
        {{"extract", "--help"}, "usage: tavrik-pack extract PACKED.exe -o DIR [--force] [--quiet]\n"}};
    for (const auto &[args, start] : cases) {
        const ToolRun r = run(tmp, args);
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(r.out.rfind(start, 0), 0u) << r.out;
        EXPECT_EQ(r.err, "");
    }
    // Bare: the usage, as --help gives it.
    const ToolRun bare = run(tmp, {});
    EXPECT_EQ(bare.exit_code, 0);
    EXPECT_EQ(bare.out, run(tmp, {"--help"}).out);
    EXPECT_EQ(bare.out.rfind("usage: tavrik-pack pack -o OUT.exe", 0), 0u);
    expect_refusal(run(tmp, {"verify", "--fast", "x.exe"}), "unknown option \"--fast\" for verify (see --help)");
    expect_refusal(run(tmp, {"help", "lsit"}), "unknown command \"lsit\" (see --help)");
}

TEST_F(Cli, FindsTheDefaultStub) {
    // Beside the packer.
    fs::create_directories(tmp.path() / "beside");
    const fs::path beside = tmp.path() / "beside/tavrik-pack";
    fs::copy_file(TAVRIK_PACK_PATH, beside);
    expect_error_line(run(tmp, beside, {"pack", "-o", out, app}), "--stub");
    fs::copy_file(stub, tmp.path() / "beside/tavrik-launcher.exe");
    ToolRun r = run(tmp, beside, {"pack", "-o", out, app});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(tavrik_test::read_packed(read_file(out)));

    // In the Windows build tree next to the host one.
    fs::create_directories(tmp.path() / "build/host");
    fs::create_directories(tmp.path() / "build/windows");
    const fs::path host = tmp.path() / "build/host/tavrik-pack";
    fs::copy_file(TAVRIK_PACK_PATH, host);
    fs::copy_file(stub, tmp.path() / "build/windows/tavrik-launcher.exe");
    fs::remove(out);
    r = run(tmp, host, {"pack", "-o", out, app});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(tavrik_test::read_packed(read_file(out)));

    // Where `cmake --install` puts them: bin/ and share/tavrik/.
    fs::create_directories(tmp.path() / "prefix/bin");
    const fs::path installed = tmp.path() / "prefix/bin/tavrik-pack";
    fs::copy_file(TAVRIK_PACK_PATH, installed);
    expect_refusal(run(tmp, installed, {"pack", "-o", out, app}),
                   "no tavrik-launcher.exe beside tavrik-pack, in ../windows or in ../share/tavrik; use --stub");
    fs::create_directories(tmp.path() / "prefix/share/tavrik");
    fs::copy_file(stub, tmp.path() / "prefix/share/tavrik/tavrik-launcher.exe");
    fs::remove(out);
    r = run(tmp, installed, {"pack", "-o", out, app});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(tavrik_test::read_packed(read_file(out)));
}

// Where files go, what is left out, and what a dry run shows of both.
TEST_F(Cli, PlacesAndLeavesOutWhatItIsTold) {
    tmp.write("in/assets/.git/HEAD", "ref");
    tmp.write("in/assets/readme.txt~", "backup");
    tmp.write("in/assets/img/.logo.png.swp", "swap");
    tmp.write("in/assets/img/draft.psd", "draft");
    const std::vector<std::string> placed = {app, "--add", assets, "data/", "--add", single, "config\\app.cfg",
                                             "--exclude", "*.PSD"};
    const std::string app_size = std::to_string(app_bytes.size());

    std::vector<std::string> args = {"pack", "--dry-run", "--stub", stub};
    args.insert(args.end(), placed.begin(), placed.end());
    ToolRun r = run(tmp, args);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, app_size + " app.dll\n3 config\\app.cfg\n40000 data\\img\\logo.png\n7 data\\readme.txt\n"
                     "excluded data\\.git\\ (.git)\n"
                     "excluded data\\img\\.logo.png.swp (.*.swp)\n"
                     "excluded data\\img\\draft.psd (*.PSD)\n"
                     "excluded data\\readme.txt~ (*~)\n"
                     "would pack 4 files, " + std::to_string(app_bytes.size() + 40010) + " bytes; nothing written\n");
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(fs::exists(out));

    args = {"pack", "--fast", "-o", out, "--stub", stub};
    args.insert(args.end(), placed.begin(), placed.end());
    r = run(tmp, args);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find(": 4 files (4 excluded), "), std::string::npos) << r.out;
    EXPECT_EQ(first_lines(run(tmp, {"list", out}).out, 4),
              app_size + " app.dll\n3 config\\app.cfg\n40000 data\\img\\logo.png\n7 data\\readme.txt\n");

    // The defaults off: everything below the directory is packed.
    r = run(tmp, {"pack", "--dry-run", "--stub", stub, "--no-default-excludes", app, assets});
    EXPECT_EQ(r.out, app_size + " app.dll\n3 .git\\HEAD\n4 img\\.logo.png.swp\n5 img\\draft.psd\n40000 img\\logo.png\n"
                     "7 readme.txt\n6 readme.txt~\nwould pack 7 files, " +
                         std::to_string(app_bytes.size() + 40025) + " bytes; nothing written\n")
        << r.err;

    // Where a placement cannot go.
    expect_refusal(run(tmp, {"pack", "-o", out, app, "--add", single, "/etc/x"}),
                   "--add " + q(single) + ": archive path \"/etc/x\" must be relative (no leading separator)");
    expect_refusal(run(tmp, {"pack", "-o", out, app, "--add", single, "a/../b"}),
                   "--add " + q(single) + ": archive path \"a/../b\" has an empty, \".\" or \"..\" component");
    expect_refusal(run(tmp, {"pack", "-o", out, "--stub", stub, app, "--add", single, "C:/x.cfg"}),
                   "name \"C:\\x.cfg\" starts with a drive letter");
    expect_refusal(run(tmp, {"pack", "-o", out, "--stub", stub, app, single, "--add", single, "SINGLE.CFG"}),
                   "names \"SINGLE.CFG\" and \"single.cfg\" differ only in case; Windows would see one file");
}

// A dry run refuses what packing refuses, with the same line and status,
// and writes nothing.
TEST_F(Cli, DryRunRefusesWhatPackRefuses) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"CON"}, "name \"CON\" is the reserved device name CON on Windows"},
        {{"C:x"}, "name \"C:x\" starts with a drive letter"},
        {{"a:b"}, "name \"a:b\" starts with a drive letter"},
        {{"a."}, "name \"a.\" has a component ending in a dot or a space"},
        {{"st*r"}, "name \"st*r\" contains \"*\", which Windows does not allow"},
        {{"app.dll"}, "two files have the name \"app.dll\""},
        {{"a", "A"}, "names \"A\" and \"a\" differ only in case; Windows would see one file"},
        {{"a", "a/b"}, "name \"a\" is a file, but \"a\\b\" needs it as a directory"},
    };
    for (const auto &[destinations, line] : cases) {
        std::vector<std::string> placed = {app};
        for (const auto &destination : destinations) placed.insert(placed.end(), {"--add", single, destination});
        std::vector<std::string> packing = {"pack", "--fast", "-o", out, "--stub", stub};
        packing.insert(packing.end(), placed.begin(), placed.end());
        std::vector<std::string> dry = {"pack", "--dry-run", "--stub", stub};
        dry.insert(dry.end(), placed.begin(), placed.end());
        const ToolRun packed = run(tmp, packing), tried = run(tmp, dry);
        expect_error_line(packed, line);
        EXPECT_EQ(tried.exit_code, packed.exit_code) << line;
        EXPECT_EQ(tried.out, "") << line;
        EXPECT_EQ(tried.err, packed.err) << line;
        EXPECT_FALSE(fs::exists(out)) << line;
    }
    // A dry run checks the output's and the depfile's places too.
    const std::string nowhere = (tmp.path() / "nodir").string();
    expect_refusal(run(tmp, {"pack", "--dry-run", "-o", nowhere + "/x.exe", "--stub", stub, app}),
                   "output " + q(nowhere + "/x.exe") + ": directory " + q(nowhere) + " does not exist");
    expect_refusal(run(tmp, {"pack", "--dry-run", "--depfile", nowhere + "/x.d", "--stub", stub, app}),
                   "depfile " + q(nowhere + "/x.d") + ": directory " + q(nowhere) + " does not exist");
}

// One rule: without a separator a name at any depth; a leading separator
// anchors at the top, a trailing one matches directories only. What can
// never match is refused before anything is read.
TEST_F(Cli, ExclusionsFollowOneRule) {
    tmp.write("in/tree/build/x.o", "o");
    tmp.write("in/tree/sub/build", "file named build");
    tmp.write("in/tree/a.txt", "a");
    tmp.write("in/tree/sub/a.txt", "a2");
    tmp.write("in/tree/sub/b.pdb", "b");
    tmp.write("in/tree/sub/deep/c.pdb", "c");
    const std::string tree = (tmp.path() / "in/tree").string();
    const auto excluded = [&](const std::vector<std::string> &patterns) {
        std::vector<std::string> args = {"pack", "--dry-run", "--stub", stub};
        for (const auto &pattern : patterns) args.insert(args.end(), {"--exclude", pattern});
        args.insert(args.end(), {app, tree});
        const ToolRun r = run(tmp, args);
        EXPECT_EQ(r.exit_code, 0) << patterns.front() << ": " << r.err;
        std::string lines;
        std::istringstream in(r.out);
        for (std::string line; std::getline(in, line);) {
            if (line.rfind("excluded ", 0) == 0) lines += line + "\n";
        }
        return lines;
    };
    // Where several match, the first given is named.
    const std::vector<std::pair<std::vector<std::string>, std::string>> kept = {
        {{"build/"}, "excluded build\\ (build/)\n"},
        {{"build"}, "excluded build\\ (build)\nexcluded sub\\build (build)\n"},
        {{"/a.txt"}, "excluded a.txt (/a.txt)\n"},
        {{"A.TXT"}, "excluded a.txt (A.TXT)\nexcluded sub\\a.txt (A.TXT)\n"},
        {{"*.pdb"}, "excluded sub\\b.pdb (*.pdb)\nexcluded sub\\deep\\c.pdb (*.pdb)\n"},
        {{"sub/*.pdb"}, "excluded sub\\b.pdb (sub/*.pdb)\n"},
        {{"sub\\deep/"}, "excluded sub\\deep\\ (sub\\deep/)\n"},
        {{"/sub/build/"}, ""},
        {{"?.pdb", "*.pdb", "b.pdb"}, "excluded sub\\b.pdb (?.pdb)\nexcluded sub\\deep\\c.pdb (?.pdb)\n"},
        {{"b.pdb", "*.PDB"}, "excluded sub\\b.pdb (b.pdb)\nexcluded sub\\deep\\c.pdb (*.PDB)\n"},
        {{"*b", "s*", "*.pdb"}, "excluded sub\\ (*b)\n"},
        {{"*x", "s*", "*.pdb"}, "excluded sub\\ (s*)\n"},
        {{"x*.pdb", "su?/?.*", "*/b.pdb"}, "excluded sub\\a.txt (su?/?.*)\nexcluded sub\\b.pdb (su?/?.*)\n"},
        {{"x*.pdb", "*/b.pdb", "su?/?.*"}, "excluded sub\\a.txt (su?/?.*)\nexcluded sub\\b.pdb (*/b.pdb)\n"},
    };
    for (const auto &[patterns, lines] : kept) EXPECT_EQ(excluded(patterns), lines) << patterns.front();

    const std::string never = "which no archive name has";
    const std::vector<std::pair<std::string, std::string>> refused = {
        {"./a.txt", "it has a \".\" or \"..\" component, " + never},
        {"sub/../a.txt", "it has a \".\" or \"..\" component, " + never},
        {".", "it has a \".\" or \"..\" component, " + never},
        {"sub//b.pdb", "it has an empty component, " + never},
        {"/", "it matches no name"},
        {"//", "it matches no name"},
        {"**/*.pdb", "\"**\" is not supported: \"*\" matches within one name, and a pattern without \"/\" matches a "
                     "name at any depth"},
    };
    for (const auto &[pattern, why] : refused) {
        expect_refusal(run(tmp, {"pack", "-o", out, "--stub", stub, "--exclude", pattern, app, tree}),
                       "--exclude \"" + pattern + "\": " + why);
    }
    EXPECT_FALSE(fs::exists(out));
}

// Every DLL the packed images import is packed, part of Windows, or
// allowed to be missing.
TEST_F(Cli, RefusesToPackAProgramMissingADll) {
    SyntheticPe application = SyntheticPe::application();
    application.imports = {"KERNEL32.dll", "api-ms-win-crt-runtime-l1-1-0.dll", "Helper.DLL", "user32.dll"};
    const std::string importing = tmp.write("in/importing.dll", application.build()).string();
    SyntheticPe helper = SyntheticPe::application();
    helper.imports = {"libstdc++-6.dll", "libgcc_s_seh-1.dll", "msvcrt.dll", "winspool.drv"};
    helper.delay_imports = {"plugin.dll"};
    const std::string helper_dll = tmp.write("in/lib/helper.dll", helper.build()).string();
    SyntheticPe plugin = SyntheticPe::application();
    plugin.delay_imports = {"vcruntime140.dll"};
    const std::string plugin_dll = tmp.write("in/lib/plugin.dll", plugin.build()).string();
    const auto packing = [&](std::vector<std::string> extra) {
        std::vector<std::string> args = {"pack", "--fast", "-o", out, "--stub", stub, importing};
        args.insert(args.end(), extra.begin(), extra.end());
        return run(tmp, args);
    };

    expect_refusal(packing({}), "application \"importing.dll\" imports \"Helper.DLL\", which is not packed; pack it, "
                                "or give --allow-missing Helper.DLL if the user's machine provides it");
    // Packed beside it (the name compared ignoring case), its own imports count.
    expect_refusal(packing({helper_dll}),
                   "packed file \"helper.dll\" imports \"libstdc++-6.dll\", which is not packed; it is the MinGW "
                   "runtime: link it in statically (-static-libstdc++, or -static) or pack it "
                   "(2 more missing: \"libgcc_s_seh-1.dll\" \"plugin.dll\")");
    // A DLL in a folder finds what is beside it; delay-loaded ones count.
    expect_refusal(packing({"--add", helper_dll, "helper.dll", "--add", tmp.path().string() + "/in/lib", "lib",
                            "--allow-missing", "LIBSTDC++-6.DLL", "--allow-missing", "libgcc_s_seh-1.dll"}),
                   "packed file \"helper.dll\" delay-loads \"plugin.dll\", which is not packed; pack it, or give "
                   "--allow-missing plugin.dll if the user's machine provides it (1 more missing: \"vcruntime140.dll\")");
    ToolRun r = packing({"--add", tmp.path().string() + "/in/lib", ".libs", helper_dll, plugin_dll, "--allow-missing",
                         "LIBSTDC++-6.DLL", "--allow-missing", "libgcc_s_seh-1.dll", "--allow-missing",
                         "vcruntime140.dll"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    r = packing({"--dry-run", helper_dll, plugin_dll});
    EXPECT_EQ(r.err.rfind("tavrik-pack: error: packed file \"helper.dll\" imports \"libstdc++-6.dll\"", 0), 0u) << r.err;

    // A name spelt with a look-alike, or ending in a space, shows as it is.
    SyntheticPe lookalike = SyntheticPe::application();
    lookalike.imports = {"\xE2\x84\xAA" "ERNEL32.DLL", "x.dll "};
    expect_refusal(run(tmp, {"pack", "--dry-run", "--stub", stub, tmp.write("in/k.dll", lookalike.build()).string()}),
                   "application \"k.dll\" imports \"<U+212A>ERNEL32.DLL\", which is not packed; pack it, or give "
                   "--allow-missing \"<U+212A>ERNEL32.DLL\" if the user's machine provides it (1 more missing: "
                   "\"x.dll<U+0020>\")");

    // Reading imports is not quadratic in their number: 300,000 distinct names
    // (a 12 MB DLL) are read and judged well within the bound.
    SyntheticPe crowded = SyntheticPe::application();
    for (int i = 0; i < 300000; ++i) crowded.imports.push_back("dll" + std::to_string(i) + ".dll");
    const std::string crowded_dll = tmp.write("in/crowded.dll", crowded.build()).string();
    const auto started = std::chrono::steady_clock::now();
    r = run(tmp, {"pack", "--dry-run", "--stub", stub, crowded_dll});
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
    EXPECT_EQ(r.err.rfind("tavrik-pack: error: application \"crowded.dll\" imports \"dll0.dll\"", 0), 0u) << r.err;
    EXPECT_NE(r.err.find("(299999 more missing: \"dll1.dll\""), std::string::npos) << r.err;

    // An import table that runs off its section is damage, not a list.
    Bytes damaged = application.build();
    const size_t directory = tavrik_test::optional_header + 112 + 8;
    tavrik_test::put_u32(damaged, directory, tavrik_test::get_u32(damaged, directory) + 0x1F0);
    const std::string broken = tmp.write("in/broken.dll", damaged).string();
    expect_refusal(run(tmp, {"pack", "-o", out, "--stub", stub, broken}),
                   "application \"broken.dll\" has a damaged import table: it runs past its section");
}

// Each MinGW runtime DLL with the flags that link it in.
TEST_F(Cli, AdvisesEachMinGWRuntimeDllByItself) {
    const std::pair<const char *, const char *> cases[] = {
        {"libstdc++-6.dll", "-static-libstdc++, or -static"},
        {"LIBGCC_S_SEH-1.DLL", "-static-libgcc, or -static"},
        {"libwinpthread-1.dll", "-static, or -Wl,-Bstatic -lwinpthread"},
    };
    for (const auto &[dll, flags] : cases) {
        SyntheticPe importing = SyntheticPe::application();
        importing.imports = {dll};
        const std::string path = tmp.write("in/runtime.dll", importing.build()).string();
        expect_refusal(run(tmp, {"pack", "--dry-run", path}),
                       std::string("application \"runtime.dll\" imports \"") + dll +
                           "\", which is not packed; it is the MinGW runtime: link it in statically (" + flags +
                           ") or pack it");
    }
}

// --dll-path: what the images import is looked up in the folders given, in
// order, and packed at the top, and what that imports in turn.
TEST_F(Cli, CollectsTheDllsTheImagesImport) {
    SyntheticPe importing = SyntheticPe::application();
    importing.imports = {"KERNEL32.dll", "A.DLL", "user32.dll"};
    const std::string application = tmp.write("in/app.dll", importing.build()).string();
    SyntheticPe a = SyntheticPe::application();
    a.imports = {"b.dll"};
    SyntheticPe b = SyntheticPe::application();
    b.delay_imports = {"a.dll", "msvcrt.dll"};  // a cycle ends
    const Bytes a_bytes = a.build(), b_bytes = b.build();
    const std::string build = tmp.write("build/a.dll", a_bytes).parent_path().string();
    tmp.write("build/b.dll", b_bytes);
    tmp.write("build/unrelated.dll", b_bytes);
    const std::string only_a = tmp.write("only_a/a.dll", a_bytes).parent_path().string();
    tmp.write("other/a.dll", Bytes(a_bytes.size() + 512, 0));
    const std::string other = (tmp.path() / "other").string(), a_file = build + "/a.dll";
    const std::string app_size = std::to_string(app_bytes.size()), a_size = std::to_string(a_bytes.size()),
                      b_size = std::to_string(b_bytes.size());
    const std::string both = app_size + " app.dll\n" + a_size + " a.dll\n" + b_size + " b.dll\n";
    const std::string both_collected = "collected a.dll from " + q(a_file) + ", imported by app.dll\n" +
                                       "collected b.dll from " + q(build + "/b.dll") + ", imported by a.dll\n";
    const std::string total = std::to_string(app_bytes.size() + a_bytes.size() + b_bytes.size());
    const std::string would_pack = "would pack 3 files, " + total + " bytes; nothing written\n";

    struct Case {
        const char *what;
        std::vector<std::string> args;
        std::string out;
    };
    const Case cases[] = {
        {"one folder, two levels", {"--dll-path", build}, both + both_collected + would_pack},
        {"the first folder holding a name wins",
         {"--dll-path", only_a, "--dll-path", other, "--dll-path", build},
         both + "collected a.dll from " + q(only_a + "/a.dll") + ", imported by app.dll\n" +
             "collected b.dll from " + q(build + "/b.dll") + ", imported by a.dll\n" + would_pack},
        {"a file offers itself", {"--dll-path", a_file, "--dll-path", other, "--dll-path", build},
         both + both_collected + would_pack},
        {"what is packed is not collected", {a_file, "--dll-path", build},
         both + "collected b.dll from " + q(build + "/b.dll") + ", imported by a.dll\n" + would_pack},
        {"what may be missing is not collected", {"--dll-path", build, "--allow-missing", "B.dll"},
         app_size + " app.dll\n" + a_size + " a.dll\ncollected a.dll from " + q(a_file) +
             ", imported by app.dll\nwould pack 2 files, " +
             std::to_string(app_bytes.size() + a_bytes.size()) + " bytes; nothing written\n"},
    };
    for (const auto &c : cases) {
        std::vector<std::string> args = {"pack", "--dry-run", application};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const ToolRun r = run(tmp, args);
        EXPECT_EQ(r.exit_code, 0) << c.what << ": " << r.err;
        EXPECT_EQ(r.out, c.out) << c.what;
        EXPECT_EQ(r.err, "") << c.what;
    }

    // What is not found is refused as ever, naming its importer.
    expect_refusal(run(tmp, {"pack", "--dry-run", application, "--dll-path", only_a}),
                   "packed file \"a.dll\" imports \"b.dll\", which is not packed nor in a --dll-path folder; "
                   "pack it, or give --allow-missing b.dll if the user's machine provides it");
    expect_refusal(run(tmp, {"pack", "--dry-run", application, "--dll-path", tmp.path().string() + "/none"}),
                   "--dll-path " + q(tmp.path().string() + "/none") + " does not exist");
    expect_refusal(run(tmp, {"pack", "--dry-run", application, "--dll-path", other}),
                   "--dll-path file " + q(other + "/a.dll") +
                       ", imported by \"app.dll\", is not a 64-bit Windows DLL: not a Windows executable (no MZ header)");

    // Packed: the three in the archive, and the folder and the files read
    // in the depfile, so that a DLL added there packs again.
    const std::string depfile = (tmp.path() / "out.d").string();
    ToolRun r = pack({"--depfile", depfile, application, "--dll-path", build});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(first_lines(run(tmp, {"list", out}).out, 3), both);
    const std::string rule = text_of(depfile);
    for (const std::string &named : {build, a_file, build + "/b.dll"}) {
        EXPECT_NE(rule.find(" " + named + " "), std::string::npos) << named << " not in " << rule;
    }
    EXPECT_EQ(rule.find("unrelated.dll"), std::string::npos) << rule;
}

// An import library named where its DLL was meant is refused, naming the
// DLL; one inside a packed folder (an SDK's) and a static library are not.
TEST_F(Cli, RefusesAnImportLibraryNamingItsDll) {
    // What MSVC and llvm-dlltool write: an archive of short import records.
    Bytes short_import = {'!', '<', 'a', 'r', 'c', 'h', '>', '\n'};
    const std::string names = std::string("zlibVersion") + '\0' + "zlib1.dll" + '\0';
    Bytes record = {0, 0, 0xFF, 0xFF, 0, 0, 0x64, 0x86, 0, 0, 0, 0};
    for (int shift = 0; shift < 32; shift += 8) record.push_back(uint8_t(names.size() >> shift));
    record.insert(record.end(), {0, 0, 0, 0});
    record.insert(record.end(), names.begin(), names.end());
    char header[61];
    std::snprintf(header, sizeof header, "%-16s%-12s%-6s%-6s%-8s%-10zu`\n", "zlib1.dll/", "0", "0", "0", "644",
                  record.size());
    short_import.insert(short_import.end(), header, header + 60);
    short_import.insert(short_import.end(), record.begin(), record.end());
    const std::string lib = tmp.write("in/zlib.lib", short_import).string();
    // What GNU dlltool writes, as the MinGW-w64 toolchain ships it.
    const std::string gnu = "/usr/x86_64-w64-mingw32/lib/libkernel32.a";

    const std::pair<std::vector<std::string>, std::string> refused[] = {
        {{app, lib}, "file " + q(lib) + " is an import library for \"zlib1.dll\", not a DLL: pack \"zlib1.dll\" "
                                       "instead (or give its folder to --dll-path)"},
        {{app, "--add", lib, "lib/z.lib"}, "file " + q(lib) + " is an import library for \"zlib1.dll\", not a DLL: "
                                                              "pack \"zlib1.dll\" instead (or give its folder to --dll-path)"},
        {{app, gnu}, "file " + q(gnu) + " is an import library for \"KERNEL32.dll\", not a DLL: pack "
                                        "\"KERNEL32.dll\" instead (or give its folder to --dll-path)"},
        {{lib}, "application " + q(lib) + " is an import library for \"zlib1.dll\", not a DLL: pack \"zlib1.dll\" "
                                          "instead (or give its folder to --dll-path)"},
    };
    for (const auto &[inputs, line] : refused) {
        std::vector<std::string> args = {"pack", "--dry-run"};
        args.insert(args.end(), inputs.begin(), inputs.end());
        expect_refusal(run(tmp, args), line);
    }
    // A static library names no DLL; in a folder, an import library is data.
    const std::string sdk = tmp.write("in/sdk/libs/zlib.lib", short_import).parent_path().parent_path().string();
    for (const std::vector<std::string> &inputs :
         {std::vector<std::string>{app, "/usr/x86_64-w64-mingw32/lib/libmingw32.a"}, {app, sdk}}) {
        std::vector<std::string> args = {"pack", "--dry-run"};
        args.insert(args.end(), inputs.begin(), inputs.end());
        const ToolRun r = run(tmp, args);
        EXPECT_EQ(r.exit_code, 0) << r.err;
        EXPECT_NE(r.out.find("would pack 2 files"), std::string::npos) << r.out;
    }
}

// The summary names the subsystem; a window program that opens no window
// gets one note on standard error.
TEST_F(Cli, SaysWhenAWindowProgramLooksLikeAConsoleOne) {
    const std::string plain = tmp.write("in/plain.dll", SyntheticPe::application().build()).string();
    SyntheticPe drawing = SyntheticPe::application();
    drawing.delay_imports = {"GDI32.dll"};
    const std::string drawing_dll = tmp.write("in/lib/drawing.dll", drawing.build()).string();
    const std::string note =
        "tavrik-pack: note: this is a window program, but nothing packed imports a window-system DLL (user32, "
        "gdi32, comctl32...): a shell will not wait for it and its output shows only when redirected; give "
        "--console for a command-line program\n";
    struct Case {
        std::vector<std::string> args;
        std::string subsystem;  // in the summary line; empty: no summary
        std::string err;
    };
    const Case cases[] = {
        {{plain}, "window program", note},
        {{"--console", plain}, "console program", ""},
        {{plain, drawing_dll}, "window program", ""},  // a packed DLL draws
        {{app}, "window program", ""},                 // the application imports user32
        {{"--quiet", plain}, "", ""},
    };
    for (const auto &c : cases) {
        const ToolRun r = pack(c.args);
        EXPECT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(r.err, c.err) << c.args.front();
        if (c.subsystem.empty()) {
            EXPECT_EQ(r.out, "");
        } else {
            EXPECT_EQ(r.out.rfind("packed " + q(out) + " (" + c.subsystem + "): ", 0), 0u) << r.out;
        }
    }
    const ToolRun dry = run(tmp, {"pack", "--dry-run", plain});
    EXPECT_EQ(dry.err, note);
}

TEST_F(Cli, FollowsCommandLineConventions) {
    // A value given twice is a mistake; a repeatable option collects.
    expect_refusal(run(tmp, {"pack", "-o", out, "-o", out + "2", app}), "-o is given twice (see --help)");
    expect_refusal(run(tmp, {"pack", "-o", out, "--level", "3", "--level", "4", app}),
                   "--level is given twice (see --help)");
    expect_refusal(run(tmp, {"pack", "-o", out, "--add", app}), "--add needs two values (see --help)");

    // Windows reads the execution level ignoring case; written as it spells it.
    ASSERT_EQ(run(tmp, {"pack", "--fast", "-q", "-o", out, "--stub", stub, "--execution-level", "HIGHESTavailable", app})
                  .exit_code,
              0);
    EXPECT_NE(run(tmp, {"list", out}).out.find("\nexecution level: highestAvailable\n"), std::string::npos);

    // Executable as far as the umask allows.
    for (const auto &[mask, mode] : std::vector<std::pair<mode_t, fs::perms>>{
             {022, fs::perms(0755)}, {077, fs::perms(0700)}}) {
        const mode_t old = ::umask(mask);
        const ToolRun r = run(tmp, {"pack", "--fast", "-q", "-o", out, "--stub", stub, app});
        ::umask(old);
        ASSERT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(fs::status(out).permissions() & fs::perms::all, mode);
    }

    // Output problems, refused before any work with the path as given.
    fs::create_directories(tmp.path() / "a-directory");
    const std::string fifo = (tmp.path() / "fifo").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string missing_dir = (tmp.path() / "no/such/out.exe").string();
    const std::string file_as_dir = single + "/out.exe";
    for (const auto &[output, line] : std::vector<std::pair<std::string, std::string>>{
             {missing_dir, "output " + q(missing_dir) + ": directory " + q((tmp.path() / "no/such").string()) +
                               " does not exist"},
             {file_as_dir, "output " + q(file_as_dir) + ": " + q(single) + " is not a directory"},
             {(tmp.path() / "a-directory").string(),
              "output " + q((tmp.path() / "a-directory").string()) + " is a directory, not a regular file"},
             {fifo, "output " + q(fifo) + " is a FIFO, not a regular file"},
             {"/dev/null", "output \"/dev/null\" is a device, not a regular file"}}) {
        expect_refusal(run(tmp, {"pack", "-o", output, "--stub", stub, app, assets}), line);
    }
    EXPECT_EQ(count_starting_with(tmp.path(), "fifo."), 0);

    // list --json: the files and the identity, as the README describes.
    ASSERT_EQ(run(tmp, {"pack", "--fast", "-q", "-o", out, "--stub", stub, "--version-string", "Comments=say \"hi\"\\",
                        "--file-version", "1.2.3.4", app, single})
                  .exit_code,
              0);
    const ToolRun json = run(tmp, {"list", "--json", out});
    EXPECT_EQ(json.out,
              std::string("{\n  \"tavrik_pack_version\": \"") + TAVRIK_VERSION +
                  "\",\n  \"files\": [\n"
                  "    {\"name\": \"app.dll\", \"size\": " + std::to_string(app_bytes.size()) + "},\n"
                  "    {\"name\": \"single.cfg\", \"size\": 3}\n  ],\n"
                  "  \"identity\": {\n    \"subsystem\": \"windows\",\n    \"execution_level\": \"asInvoker\",\n"
                  "    \"icon\": [],\n    \"file_version\": \"1.2.3.4\",\n    \"product_version\": \"1.2.3.4\",\n"
                  "    \"strings\": [\n"
                  "      {\"name\": \"Comments\", \"value\": \"say \\\"hi\\\"\\\\\"},\n"
                  "      {\"name\": \"FileDescription\", \"value\": \"app\"},\n"
                  "      {\"name\": \"FileVersion\", \"value\": \"1.2.3.4\"},\n"
                  "      {\"name\": \"InternalName\", \"value\": \"out\"},\n"
                  "      {\"name\": \"OriginalFilename\", \"value\": \"out.exe\"},\n"
                  "      {\"name\": \"ProductName\", \"value\": \"app\"},\n"
                  "      {\"name\": \"ProductVersion\", \"value\": \"1.2.3.4\"}\n"
                  "    ]\n  },\n  \"start\": {\"mode\": \"per-run\", \"cache_dir\": null, \"program_folder\": null}\n}\n")
        << json.err;
    // Names as JSON escapes them: controls and lone surrogates as \uXXXX.
    const Bytes archive = raw_archive({{u"app.dll", app_bytes}, {u"a\x1B\xD800\"\\\u20AC", {'x'}}});
    const std::string crafted = tmp.write("crafted.exe", packed_archive(archive)).string();
    EXPECT_NE(run(tmp, {"list", "--json", crafted}).out.find("{\"name\": \"a\\u001B\\uD800\\\"\\\\\xE2\x82\xAC\", \"size\": 1}"),
              std::string::npos);
}
