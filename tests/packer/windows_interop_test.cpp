// The packer against the real Windows build: the launcher stub and the
// hello example from build/windows, the Windows tavrik-pack.exe and Wine
// (through scripts/wine-run). Inputs are copied first, so a concurrent
// rebuild of the Windows tree cannot change them halfway through a test.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "temp_dir.h"
#include "tool_run.h"

using tavrik_test::read_file;
using tavrik_test::TempDir;
using tavrik_test::text_of;
using tavrik_test::ToolRun;
namespace fs = std::filesystem;

namespace {

const fs::path windows_tree = TAVRIK_WINDOWS_BUILD;
const fs::path wine_run = fs::path(TAVRIK_SOURCE_DIR) / "scripts/wine-run";

// Windows programs start in an empty directory of their own, never in the
// build tree.
ToolRun run(const TempDir &tmp, const std::vector<std::string> &command) {
    const fs::path cwd = tmp.path() / "cwd";
    fs::create_directories(cwd);
    return tavrik_test::run_command(tmp, command, cwd);
}

// tavrik-pack.exe under Wine, its lines ended as on Linux.
ToolRun run_windows_pack(const TempDir &tmp, const fs::path &windows_pack, std::vector<std::string> args) {
    args.insert(args.begin(), {wine_run.string(), windows_pack.string()});
    ToolRun r = run(tmp, args);
    for (std::string *text : {&r.out, &r.err}) text->erase(std::remove(text->begin(), text->end(), '\r'), text->end());
    return r;
}

bool have_program(const char *name) {
    return std::system(("command -v " + std::string(name) + " >/dev/null 2>&1").c_str()) == 0;
}

// Linux /x/y is Z:\x\y under Wine.
std::string wine_path(const fs::path &path) {
    std::string text = "Z:" + fs::absolute(path).string();
    for (char &c : text) c = c == '/' ? '\\' : c;
    return text;
}

// Copies a Windows-tree artefact into the test's directory; fails the test
// (rather than skipping it) when the tree has not been built.
fs::path copy_artefact(const TempDir &tmp, const fs::path &relative) {
    const fs::path source = windows_tree / relative;
    if (!fs::exists(source)) {
        ADD_FAILURE() << source << " is missing: build the Windows tree (scripts/build)";
        return {};
    }
    const fs::path copy = tmp.path() / relative.filename();
    fs::copy_file(source, copy, fs::copy_options::overwrite_existing);
    return copy;
}

uint32_t u32_at(const std::vector<uint8_t> &b, size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t{b[at + 3]} << 24;
}

// The file offset of a PE32+ image's all-zero import descriptor that ends
// its import table, found from the headers by hand; 0 when there is none.
size_t import_table_end(const std::vector<uint8_t> &image) {
    const size_t pe = u32_at(image, 0x3C), optional = pe + 24;
    const size_t sections = image[pe + 6] | image[pe + 7] << 8, optional_size = image[pe + 20] | image[pe + 21] << 8;
    const uint32_t rva = u32_at(image, optional + 112 + 8);
    for (size_t i = 0; i < sections; ++i) {
        const size_t header = optional + optional_size + 40 * i;
        const uint32_t address = u32_at(image, header + 12), raw_size = u32_at(image, header + 16);
        if (rva < address || rva >= address + raw_size) continue;
        for (size_t at = rva - address + u32_at(image, header + 20); at + 20 <= image.size(); at += 20) {
            if (std::all_of(image.begin() + at, image.begin() + at + 20, [](uint8_t b) { return b == 0; })) return at;
        }
    }
    return 0;
}

}  // namespace

TEST(WindowsInterop, LinuxAndWindowsPackersWriteTheSameBytes) {
    TempDir tmp;
    const fs::path stub = copy_artefact(tmp, "tavrik-launcher.exe");
    const fs::path hello = copy_artefact(tmp, "examples/hello/hello.dll");
    const fs::path windows_pack = copy_artefact(tmp, "tavrik-pack.exe");
    if (HasFailure()) return;
    tmp.write("assets/readme.txt", "read me\n");
    tmp.write("assets/data/b.bin", std::string(100000, 'b'));
    tmp.write("assets/data/A.bin", "upper");
    tmp.write("assets/gr\xC3\xBC\xC3\x9F/\xE2\x82\xAC.txt", "euro");
    tmp.write("config.ini", "[x]\n");

    // The same file name (it becomes OriginalFilename) in two directories.
    fs::create_directories(tmp.path() / "linux");
    fs::create_directories(tmp.path() / "windows");
    const fs::path linux_exe = tmp.path() / "linux/app.exe", windows_exe = tmp.path() / "windows/app.exe";
    const fs::path icon = fs::path(TAVRIK_SOURCE_DIR) / "examples/hello/hello.ico";
    ToolRun r = run(tmp, {TAVRIK_PACK_PATH, "pack", "-o", linux_exe.string(), "--stub", stub.string(), "--icon",
                          icon.string(), "--version-string", "ProductName=Gr\xC3\xBC\xC3\x9F \xE2\x82\xAC",
                          "--file-version", "1.2.3.4", "--console", hello.string(),
                          (tmp.path() / "assets").string(), (tmp.path() / "config.ini").string()});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    // Other thread count, other input order: still the same bytes.
    r = run(tmp, {wine_run.string(), windows_pack.string(), "pack", "--threads", "1", "--console", "-o",
                  wine_path(windows_exe), "--stub", wine_path(stub), "--file-version", "1.2.3.4", "--icon",
                  wine_path(icon), "--version-string", "ProductName=Gr\xC3\xBC\xC3\x9F \xE2\x82\xAC",
                  wine_path(hello), wine_path(tmp.path() / "config.ini"), wine_path(tmp.path() / "assets")});
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_EQ(r.err, "");
    ASSERT_TRUE(fs::exists(windows_exe));
    EXPECT_TRUE(read_file(linux_exe) == read_file(windows_exe)) << "the two packers disagree";

    // And the Windows packer reads what it wrote (in text mode: CRLF).
    r = run(tmp, {wine_run.string(), windows_pack.string(), "list", wine_path(linux_exe)});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    std::string listed;
    for (char c : r.out) listed += c == '\r' ? "" : std::string(1, c);
    EXPECT_EQ(listed.substr(0, listed.find("subsystem:")),
              std::to_string(fs::file_size(hello)) +
                  " hello.dll\n4 config.ini\n5 data\\A.bin\n100000 data\\b.bin\n4 gr\xC3\xBC\xC3\x9F\\\xE2\x82\xAC.txt\n"
                  "8 readme.txt\n");
    EXPECT_NE(listed.find("\nstring ProductName: Gr\xC3\xBC\xC3\x9F \xE2\x82\xAC\n"), std::string::npos) << listed;
}

TEST(WindowsInterop, SigningAfterPackingKeepsTheExecutableWorking) {
    if (!have_program("osslsigncode")) GTEST_SKIP() << "osslsigncode is not installed";
    ASSERT_TRUE(have_program("openssl")) << "openssl is needed to make a test certificate";
    TempDir tmp;
    const fs::path stub = copy_artefact(tmp, "tavrik-launcher.exe");
    const fs::path hello = copy_artefact(tmp, "examples/hello/hello.dll");
    if (HasFailure()) return;
    const std::string packed = (tmp.path() / "hello.exe").string();
    const std::string signed_exe = (tmp.path() / "hello-signed.exe").string();
    const std::string key = (tmp.path() / "key.pem").string(), cert = (tmp.path() / "cert.pem").string();

    // With a program's identity: the rewritten resources and the moved
    // relocations must be what Authenticode hashes and checks.
    const fs::path icon = fs::path(TAVRIK_SOURCE_DIR) / "examples/hello/hello.ico";
    ToolRun r = run(tmp, {TAVRIK_PACK_PATH, "pack", "--fast", "-o", packed, "--stub", stub.string(), "--icon",
                          icon.string(), "--console", "--version-string", "ProductName=Signed hello", hello.string()});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    r = run(tmp, {"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert, "-days",
                  "2", "-subj", "/CN=Tavrik packer test"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    r = run(tmp, {"osslsigncode", "sign", "-certs", cert, "-key", key, "-n", "Tavrik hello", "-in", packed, "-out",
                  signed_exe});
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    r = run(tmp, {"osslsigncode", "verify", "-CAfile", cert, "-in", signed_exe});
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Signature verification: ok"), std::string::npos) << r.out;
    EXPECT_GT(fs::file_size(signed_exe), fs::file_size(packed));

    // The packer still finds everything (and the checksum signing updated).
    r = run(tmp, {TAVRIK_PACK_PATH, "verify", signed_exe});
    EXPECT_EQ(r.out.rfind("OK: 1 file, " + std::to_string(fs::file_size(hello)) + " bytes, signed\nsubsystem: console\n", 0),
              0u)
        << r.out << r.err;
    EXPECT_NE(r.out.find("\nstring ProductName: Signed hello\n"), std::string::npos) << r.out;
    // Signing a signed launcher as a stub is refused.
    r = run(tmp, {TAVRIK_PACK_PATH, "pack", "-o", packed, "--stub", signed_exe, hello.string()});
    EXPECT_EQ(r.err, "tavrik-pack: error: stub \"" + signed_exe +
                         "\" already carries attached data (a .tavrik section); use the launcher as built\n");

    // And it runs: the launcher finds its data through the section table,
    // whatever the signature appended.
    r = run(tmp, {wine_run.string(), signed_exe, "one", "two words", "--exit", "3"});
    EXPECT_EQ(r.exit_code, 3) << r.out << r.err;
    EXPECT_EQ(r.out.rfind("Hello from a Tavrik application!\n", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("argument 2: two words\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("argument 0: " + wine_path(signed_exe) + "\n"), std::string::npos) << r.out;
}

// The Windows packer checks names with the same generated upper-case table,
// compares an output with its inputs by file identity, and extracts through
// held directories with new files only, never through a Unix link planted
// in the directory. (Wine has no junctions, so their refusal cannot be
// exercised here.)
TEST(WindowsInterop, WindowsPackerChecksNamesAndWritesSafely) {
    TempDir tmp;
    const fs::path stub = copy_artefact(tmp, "tavrik-launcher.exe");
    const fs::path hello = copy_artefact(tmp, "examples/hello/hello.dll");
    const fs::path windows_pack = copy_artefact(tmp, "tavrik-pack.exe");
    if (HasFailure()) return;
    auto windows = [&](std::vector<std::string> args) { return run_windows_pack(tmp, windows_pack, std::move(args)); };

    tmp.write("fold/\xE1\xBA\xA0.txt", "1");
    tmp.write("fold/\xE1\xBA\xA1.TXT", "2");
    const fs::path out = tmp.path() / "out.exe";
    ToolRun r = windows({"pack", "--fast", "-o", wine_path(out), "--stub", wine_path(stub), wine_path(hello),
                         wine_path(tmp.path() / "fold")});
    EXPECT_EQ(r.err, "tavrik-pack: error: names \"\xE1\xBA\xA0.txt\" and \"\xE1\xBA\xA1.TXT\" differ only in case; "
                     "Windows would see one file\n");
    const fs::path other_name = tmp.path() / "other-name.dll";
    fs::create_hard_link(hello, other_name);
    r = windows({"pack", "--fast", "-o", wine_path(other_name), "--stub", wine_path(stub), wine_path(hello)});
    EXPECT_EQ(r.err, "tavrik-pack: error: output \"" + wine_path(other_name) + "\" is the input \"" +
                         wine_path(hello) + "\"; write the executable elsewhere\n");
    EXPECT_FALSE(fs::exists(out));

    // Names far past MAX_PATH, and a file hard-linked to one outside that
    // --force replaces instead of writing into.
    const std::string part(200, 'p');
    tmp.write("data/" + part + "/" + part + "/deep.txt", "deep");
    tmp.write("data/shared.txt", "packed");
    r = run(tmp, {TAVRIK_PACK_PATH, "pack", "--fast", "-o", out.string(), "--stub", stub.string(), hello.string(),
                  (tmp.path() / "data").string()});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const fs::path dir = tmp.path() / "unpacked";
    r = windows({"extract", wine_path(out), "-o", wine_path(dir)});
    EXPECT_EQ(r.out, "extracted 3 files into \"" + wine_path(dir) + "\"\n") << r.err;
    EXPECT_EQ(text_of(dir / part / part / "deep.txt"), "deep");
    r = windows({"extract", wine_path(out), "-o", wine_path(dir)});
    EXPECT_EQ(r.err, "tavrik-pack: error: directory \"" + wine_path(dir) +
                         "\" is not empty (use --force to write into it)\n");
    const fs::path victim = tmp.write("victim.txt", "victim");
    fs::remove(dir / "shared.txt");
    fs::create_hard_link(victim, dir / "shared.txt");
    r = windows({"extract", "--force", wine_path(out), "-o", wine_path(dir)});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(text_of(dir / "shared.txt"), "packed");
    EXPECT_EQ(text_of(victim), "victim");

    // Unix links planted from the Linux side. Wine shows one to a directory
    // as a reparse point only in the path's own attributes (a handle opened
    // on it is the target's): refused. One to a file looks like a plain
    // file, and deleting it would delete its target: --force replaces the
    // link by a new file, the target keeps its content.
    const fs::path elsewhere = tmp.path() / "elsewhere";
    fs::create_directories(elsewhere);
    fs::remove_all(dir / part);
    fs::create_directory_symlink(elsewhere / ".", dir / part);
    r = windows({"extract", "--force", wine_path(out), "-o", wine_path(dir)});
    EXPECT_EQ(r.err, "tavrik-pack: error: refusing to write through the reparse point \"" + wine_path(dir / part) +
                         "\"\n");
    EXPECT_TRUE(fs::is_empty(elsewhere));
    fs::remove(dir / part);
    fs::remove(dir / "shared.txt");
    fs::create_symlink(victim, dir / "shared.txt");
    r = windows({"extract", "--force", wine_path(out), "-o", wine_path(dir)});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_FALSE(fs::is_symlink(dir / "shared.txt"));
    EXPECT_EQ(text_of(dir / "shared.txt"), "packed");
    EXPECT_EQ(text_of(victim), "victim");
    EXPECT_TRUE(fs::is_empty(elsewhere));
}

// The command line on both packers with real MinGW DLLs: an application
// packed without the DLL it imports is refused by name, the same command
// with it packs; --add takes a source with a drive letter and places it,
// leaving out what is not meant to ship; and the program runs with its DLL
// beside it.
TEST(WindowsInterop, BothPackersCheckImportsAndPlaceFiles) {
    TempDir tmp;
    const fs::path stub = copy_artefact(tmp, "tavrik-launcher.exe");
    const fs::path dependent = copy_artefact(tmp, "tests/apps/dependent_app.dll");
    const fs::path dependency = copy_artefact(tmp, "tests/apps/dependency.dll");
    const fs::path windows_pack = copy_artefact(tmp, "tavrik-pack.exe");
    if (HasFailure()) return;
    auto windows = [&](std::vector<std::string> args) { return run_windows_pack(tmp, windows_pack, std::move(args)); };
    const std::string missing =
        "tavrik-pack: error: application \"dependent_app.dll\" imports \"dependency.dll\", which is not packed; "
        "pack it, or give --allow-missing dependency.dll if the user's machine provides it\n";
    const fs::path out = tmp.path() / "app.exe";
    ToolRun r = run(tmp, {TAVRIK_PACK_PATH, "pack", "--fast", "-o", out.string(), "--stub", stub.string(),
                          dependent.string()});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, missing);
    r = windows({"pack", "--fast", "-o", wine_path(out), "--stub", wine_path(stub), wine_path(dependent)});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, missing);
    EXPECT_FALSE(fs::exists(out));

    // Placed under another name and folder by the Windows packer, given
    // "Z:\..." sources; the same bytes as the Linux packer's.
    tmp.write("data/greeting.txt", "hello\n");
    tmp.write("data/.git/HEAD", "ref: refs/heads/main\n");
    r = windows({"pack", "--fast", "--execution-level", "ASINVOKER", "-o", wine_path(out), "--stub", wine_path(stub),
                 wine_path(dependent), wine_path(dependency), "--add", wine_path(tmp.path() / "data"), "data"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out.rfind("packed \"" + wine_path(out) + "\" (window program): 3 files (1 excluded), ", 0), 0u) << r.out;
    const fs::path linux_out = tmp.path() / "linux/app.exe";
    fs::create_directories(linux_out.parent_path());
    r = run(tmp, {TAVRIK_PACK_PATH, "pack", "--fast", "-q", "-o", linux_out.string(), "--stub", stub.string(),
                  "--execution-level", "asinvoker", dependent.string(), dependency.string(), "--add",
                  (tmp.path() / "data").string(), "data"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(read_file(out) == read_file(linux_out)) << "the two packers disagree";
    // The Windows packer finding the DLL in a "Z:\..." --dll-path folder
    // packs the same bytes.
    const fs::path collected_out = tmp.path() / "collected/app.exe";
    fs::create_directories(collected_out.parent_path());
    r = windows({"pack", "--fast", "-q", "--execution-level", "asInvoker", "-o", wine_path(collected_out), "--stub",
                 wine_path(stub), "--dll-path", wine_path(tmp.path()), wine_path(dependent), "--add",
                 wine_path(tmp.path() / "data"), "data"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_TRUE(read_file(collected_out) == read_file(linux_out)) << "--dll-path packed something else";

    // The Windows packer's depfile keeps the drive's colon and the
    // backslashes, and refuses what make or Ninja would misread.
    const fs::path depfile = tmp.path() / "app.d", tracked = tmp.path() / "tracked.exe";
    const std::vector<std::string> with_depfile = {"pack", "--fast", "-q", "-o", wine_path(tracked), "--stub",
                                                   wine_path(stub), "--depfile", wine_path(depfile),
                                                   wine_path(dependent), wine_path(dependency)};
    r = windows(with_depfile);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const std::vector<uint8_t> rule = read_file(depfile);
    const std::string text(rule.begin(), rule.end());
    EXPECT_EQ(text.substr(0, text.find('\n')), wine_path(tracked) + ": \\") << text;
    EXPECT_NE(text.find("\n  " + wine_path(dependency) + " \\\n"), std::string::npos) << text;
    tmp.write("odd/a;b.txt", "x");
    std::vector<std::string> odd = with_depfile;
    odd.push_back(wine_path(tmp.path() / "odd"));
    r = windows(odd);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "tavrik-pack: error: cannot name \"" + wine_path(tmp.path() / "odd") +
                         "\\a;b.txt\" in a depfile: it contains \";\", where Ninja ends a name (it has no escape "
                         "for it)\n");
    EXPECT_TRUE(read_file(depfile) == rule);

    r = run(tmp, {TAVRIK_PACK_PATH, "list", out.string()});
    EXPECT_EQ(r.out.substr(0, r.out.find("subsystem:")),
              std::to_string(fs::file_size(dependent)) + " dependent_app.dll\n6 data\\greeting.txt\n" +
                  std::to_string(fs::file_size(dependency)) + " dependency.dll\n");
    // 4242 from the imported function, as Linux passes on an exit code: its
    // low 8 bits.
    r = run(tmp, {wine_run.string(), out.string()});
    EXPECT_EQ(r.exit_code, 4242 & 0xFF) << r.out << r.err;

    // An import table ended by an entry whose Name is 0 but whose other
    // fields are not: Wine's loader stops there and runs the program, and
    // both packers read the table as it does (no DLL named by the "MZ" at
    // RVA 0).
    std::vector<uint8_t> ended = read_file(dependent);
    const size_t end = import_table_end(ended);
    ASSERT_NE(end, 0u);
    for (const size_t field : {0, 4, 16}) ended[end + field] = 0x10;
    const fs::path ended_dll = tmp.write("ended/dependent_app.dll", ended), ended_out = tmp.path() / "ended/app.exe";
    r = windows({"pack", "--fast", "-q", "-o", wine_path(ended_out), "--stub", wine_path(stub), wine_path(ended_dll),
                 wine_path(dependency)});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    r = run(tmp, {TAVRIK_PACK_PATH, "pack", "--dry-run", "--stub", stub.string(), ended_dll.string()});
    EXPECT_EQ(r.err, missing);
    r = run(tmp, {wine_run.string(), ended_out.string()});
    EXPECT_EQ(r.exit_code, 4242 & 0xFF) << r.out << r.err;
}
