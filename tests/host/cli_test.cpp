// Runs the built tavrik-pack binary the way a user would: every refusal is
// checked by its exact line and exit status, and by the absence of output.

#include <sys/wait.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>

#include "packer/pe/attach.h"
#include "packer/attached_data.h"
#include "packer/cli.h"
#include "packer/frame.h"
#include "packer/packed_executable.h"
#include "packer/pe/pe_checksum.h"
#include "synthetic_pe.h"
#include "temp_dir.h"

using tavrik_test::Bytes;
using tavrik_test::read_file;
using tavrik_test::SyntheticPe;
using tavrik_test::TempDir;
namespace fs = std::filesystem;

namespace {

struct ToolRun {
    int exit_code;
    std::string out;
    std::string err;
};

std::string quoted(const std::string &arg) {
    std::string q = "'";
    for (char c : arg) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

std::string text_of(const fs::path &file) {
    const Bytes b = read_file(file);
    return std::string(b.begin(), b.end());
}

ToolRun run(const TempDir &tmp, const fs::path &program, const std::vector<std::string> &args) {
    std::string command = quoted(program.string());
    for (const auto &a : args) command += " " + quoted(a);
    const fs::path out = tmp.path() / "stdout.txt", err = tmp.path() / "stderr.txt";
    command += " >" + quoted(out.string()) + " 2>" + quoted(err.string());
    const int status = std::system(command.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, text_of(out), text_of(err)};
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
        app_bytes = SyntheticPe::application().build();
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
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");  // stderr is a file here: no progress line
    EXPECT_FALSE(fs::exists(out + ".tmp"));

    // Without identity options: derived from the application and the output,
    // and the stub's icon kept (the synthetic stub has none).
    const std::string identity =
        "subsystem: windows\nexecution level: asInvoker\nicon: none\nfile version: 0.0.0.0\n"
        "product version: 0.0.0.0\nstring FileDescription: app\nstring FileVersion: 0.0.0.0\n"
        "string InternalName: out\nstring OriginalFilename: out.exe\nstring ProductName: app\n"
        "string ProductVersion: 0.0.0.0\n";
    const std::string app_size = std::to_string(app_bytes.size());
    const ToolRun listed = run(tmp, {"list", out});
    ASSERT_EQ(listed.exit_code, 0) << listed.err;
    EXPECT_EQ(listed.out, app_size + " app.dll\n40000 img\\logo.png\n7 readme.txt\n3 single.cfg\n" + identity);

    const ToolRun verified = run(tmp, {"verify", out});
    EXPECT_EQ(verified.exit_code, 0) << verified.err;
    EXPECT_EQ(verified.out, "OK: 4 files, " + std::to_string(app_bytes.size() + 40010) + " bytes\n" + identity);
    EXPECT_EQ(verified.err, "");

    const fs::path dir = tmp.path() / "unpacked";
    const ToolRun extracted = run(tmp, {"extract", out, "-o", dir.string()});
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
}

TEST_F(Cli, ExtractNeverWritesOutsideItsDirectory) {
    // Through a symbolic link left in the directory.
    ASSERT_EQ(pack({app, assets}).exit_code, 0);
    const fs::path dir = tmp.path() / "x";
    fs::create_directories(tmp.path() / "elsewhere");
    fs::create_directories(dir);
    fs::create_directory_symlink(tmp.path() / "elsewhere", dir / "img");
    expect_refusal(run(tmp, {"extract", "--force", out, "-o", dir.string()}),
                   "refusing to write through the symbolic link " + q((dir / "img").string()));
    EXPECT_TRUE(fs::is_empty(tmp.path() / "elsewhere"));

    // A crafted archive naming "..\evil.txt": refused before anything is written.
    Bytes archive;
    for (char16_t c : std::u16string(u"app.dll")) archive.insert(archive.end(), {uint8_t(c), 0});
    archive.insert(archive.end(), {0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 'M'});
    for (char16_t c : std::u16string(u"..\\evil.txt")) archive.insert(archive.end(), {uint8_t(c), 0});
    archive.insert(archive.end(), {0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 'E', 0, 0});
    auto frame = tavrik::compress_frame(archive, 1, 1);
    ASSERT_TRUE(frame);
    auto crafted = tavrik::attach_to_stub(SyntheticPe::launcher().build(), tavrik::make_attached_data(*frame));
    ASSERT_TRUE(crafted) << crafted.error();
    const fs::path evil = tmp.write("evil.exe", *crafted);
    expect_refusal(run(tmp, {"extract", evil.string(), "-o", (tmp.path() / "y").string()}),
                   "name \"..\\evil.txt\" has a \".\" or \"..\" component");
    EXPECT_FALSE(fs::exists(tmp.path() / "y"));
    EXPECT_FALSE(fs::exists(tmp.path() / "evil.txt"));
    expect_refusal(run(tmp, {"verify", evil.string()}),
                   q(evil.string()) + ": name \"..\\evil.txt\" has a \".\" or \"..\" component");
}

TEST_F(Cli, VerifyRejectsDamage) {
    ASSERT_EQ(pack({app, assets}).exit_code, 0);
    const Bytes good = read_file(out);
    auto attached = tavrik::find_attached_data(good);
    ASSERT_TRUE(attached);
    // Where the attached data starts: search for its magic after the stub.
    const size_t stub_size = read_file(stub).size();
    size_t magic_at = stub_size;
    while (magic_at + 3 < good.size() && !(good[magic_at] == 'Z' && good[magic_at + 1] == 'U' && good[magic_at + 2] == 'B'))
        ++magic_at;
    ASSERT_LT(magic_at + 100, good.size());

    Bytes flipped = good;
    flipped[magic_at + 60] ^= 0x01;  // inside the zstd frame
    const fs::path bad = tmp.write("bad.exe", flipped);
    expect_refusal(run(tmp, {"verify", bad.string()}),
                   q(bad.string()) + " is damaged: its PE checksum does not match its contents");

    // With the checksum made to match, the structure checks still catch it.
    Bytes no_magic = good;
    no_magic[magic_at] = 'X';
    const size_t checksum_at = tavrik_test::optional_header + 64;
    tavrik_test::put_u32(no_magic, checksum_at, tavrik::pe_checksum(no_magic, checksum_at));
    tmp.write("bad.exe", no_magic);
    expect_refusal(run(tmp, {"verify", bad.string()}),
                   q(bad.string()) + " is damaged: attached data does not start with its magic");

    Bytes truncated(good.begin(), good.end() - 0x200);
    tavrik_test::put_u32(truncated, checksum_at, tavrik::pe_checksum(truncated, checksum_at));
    tmp.write("bad.exe", truncated);
    expect_refusal(run(tmp, {"verify", bad.string()}),
                   q(bad.string()) + " is not a packed executable: section \".tavrik\" runs past the end of the file");

    expect_refusal(run(tmp, {"verify", stub}), q(stub) + ": no .tavrik section: not a packed executable");
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

    expect_refusal(pack({missing}), "application " + q(missing) + " does not exist");
    expect_refusal(pack({app, missing_file}), "input " + q(missing_file) + " does not exist");
    expect_refusal(run(tmp, {"pack", "-o", out, "--stub", missing, app}), "stub " + q(missing) + " does not exist");
    expect_refusal(pack({text}), "application " + q(text) + " is not a PE32+ x86-64 DLL: not a Windows executable (no MZ header)");
    expect_refusal(pack({app32}), "application " + q(app32) + " is not a PE32+ x86-64 DLL: a 32-bit (PE32) image, not PE32+");
    expect_refusal(pack({program}), "application " + q(program) + " is a program, not a DLL");
    expect_refusal(pack({no_entry}), "application " + q(no_entry) + " does not export run_code");
    expect_refusal(pack({no_table}), "application " + q(no_table) + " does not export run_code");
    expect_refusal(pack({app, app}), "two files would be packed as \"app.dll\"");
    EXPECT_FALSE(fs::exists(out));
    EXPECT_FALSE(fs::exists(out + ".tmp"));

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
    versioned.product_name = u"Example Suite";
    const Bytes dll_bytes = versioned.build();
    const std::string dll = tmp.write("in/suite.dll", dll_bytes).string();
    const Bytes png = png_image(500);
    const std::string icon = tmp.write("app.ico", ico_file({bitmap_image(16), bitmap_image(32), png})).string();
    ToolRun r = run(tmp, {"pack", "--fast", "-o", out, "--stub", stub, "--icon", icon, "--version-string",
                          "CompanyName=Example Ltd", "--version-string", "Comments=tab\there", "--version-string",
                          "legalcopyright=\xC2\xA9 2026 Example", "--file-version", "1.2.3.4", "--console",
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
                         "file version: 1.2.3.4\nproduct version: 0.0.0.0\nstring Comments: tab?here\n"
                         "string CompanyName: Example Ltd\nstring FileDescription: suite\nstring FileVersion: 1.2.3.4\n"
                         "string InternalName: out\nstring legalcopyright: \xC2\xA9 2026 Example\n"
                         "string OriginalFilename: out.exe\nstring ProductName: Example Suite\n"
                         "string ProductVersion: 0.0.0.0\n")
        << r.err;
    EXPECT_EQ(run(tmp, {"verify", out}).out.rfind("OK: 1 file, " + std::to_string(dll_bytes.size()) +
                                                      " bytes\nsubsystem: console\n",
                                                  0),
              0u);
}

TEST_F(Cli, RefusesABrokenIdentity) {
    const auto with_icon = [this](const std::string &name, const Bytes &ico) {
        const std::string icon = tmp.write(name, ico).string();
        return std::make_pair(run(tmp, {"pack", "--fast", "-o", out, "--stub", stub, "--icon", icon, app}),
                              "icon " + q(icon) + " is not a valid .ico file: ");
    };
    Bytes past_end = ico_file({bitmap_image(16)});
    tavrik_test::put_u32(past_end, 6 + 8, 1 << 20);
    Bytes cursor = ico_file({bitmap_image(16)});
    cursor[2] = 2;
    const std::vector<std::pair<Bytes, std::string>> icons = {
        {Bytes{0, 0, 1, 0}, "it is too short for an icon directory"},
        {Bytes{'M', 'Z', 0, 0, 0, 0, 0, 0}, "it does not start with an icon directory"},
        {cursor, "it is a cursor, not an icon"},
        {Bytes{0, 0, 1, 0, 0, 0}, "it holds no images"},
        {Bytes{0, 0, 1, 0, 2, 0, 1, 2, 3}, "its directory of 2 images runs past the end of the file"},
        {past_end, "image 1 runs past the end of the file"},
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
    };
    for (const auto &[options, line] : usage) {
        std::vector<std::string> args = {"pack", "-o", out, "--stub", stub, app};
        args.insert(args.end(), options.begin(), options.end());
        expect_refusal(run(tmp, args), line);
    }
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
        {"bell\x07", "name \"bell\x07\" contains the control character U+0007"},
        {"trailing.", "name \"trailing.\" has a component ending in a dot or a space"},
        {"space /f", "name \"space \\f\" has a component ending in a dot or a space"},
    };
    for (const auto &[file, line] : cases) {
        const fs::path dir = tmp.path() / ("case" + std::to_string(&file - &cases[0].first));
        tmp.write(fs::relative(dir / file, tmp.path()).string(), "x");
        expect_refusal(pack({app, dir.string()}), line);
    }
    // Distinct on Linux, one file on Windows.
    tmp.write("fold/Caf\xC3\x89.txt", "1");
    tmp.write("fold/caf\xC3\xA9.TXT", "2");
    expect_refusal(pack({app, (tmp.path() / "fold").string()}),
                   "names \"Caf\xC3\x89.txt\" and \"caf\xC3\xA9.TXT\" differ only in case; Windows would see one file");
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
    EXPECT_EQ(last.rfind("tavrik-pack: read 41.7 KiB of 41.7 KiB, compressed 41.7 KiB to ", 0), 0u)
        << testing::PrintToString(err);
    EXPECT_EQ(o.str(), "");
}

TEST_F(Cli, Help) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--help"}, "usage: tavrik-pack pack -o OUT.exe"},
        {{"pack", "--help"}, "usage: tavrik-pack pack -o OUT.exe"},
        {{"list", "--help"}, "usage: tavrik-pack list PACKED.exe\n"},
        {{"verify", "--help"}, "usage: tavrik-pack verify PACKED.exe\n"},
        {{"extract", "--help"}, "usage: tavrik-pack extract PACKED.exe -o DIR [--force]\n"}};
    for (const auto &[args, start] : cases) {
        const ToolRun r = run(tmp, args);
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(r.out.rfind(start, 0), 0u) << r.out;
        EXPECT_EQ(r.err, "");
    }
    expect_refusal(run(tmp, {}), "no command given (see --help)");
    expect_refusal(run(tmp, {"verify", "--fast", "x.exe"}), "unknown option \"--fast\" for verify (see --help)");
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
    EXPECT_TRUE(tavrik::unpack_executable(read_file(out)));

    // In the Windows build tree next to the host one.
    fs::create_directories(tmp.path() / "build/host");
    fs::create_directories(tmp.path() / "build/windows");
    const fs::path host = tmp.path() / "build/host/tavrik-pack";
    fs::copy_file(TAVRIK_PACK_PATH, host);
    fs::copy_file(stub, tmp.path() / "build/windows/tavrik-launcher.exe");
    fs::remove(out);
    r = run(tmp, host, {"pack", "-o", out, app});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(tavrik::unpack_executable(read_file(out)));
}
