// Runs the built tavrik-pack binary the way a user would.

#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

#include "packer/packed_executable.h"
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

// Exactly one line, in the tool's error format.
void expect_error_line(const ToolRun &r, const std::string &fragment) {
    EXPECT_NE(r.exit_code, 0);
    EXPECT_TRUE(r.out.empty()) << r.out;
    EXPECT_EQ(r.err.rfind("tavrik-pack: error: ", 0), 0u) << r.err;
    ASSERT_FALSE(r.err.empty());
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
    EXPECT_NE(r.err.find(fragment), std::string::npos) << r.err;
}

class Cli : public testing::Test {
protected:
    void SetUp() override {
        stub = tmp.write("stub.exe", SyntheticPe().build()).string();
        app = tmp.write("in/app.dll", "MZ application").string();
        tmp.write("in/assets/img/logo.png", Bytes(40000, 0x5A));
        tmp.write("in/assets/readme.txt", "read me");
        single = tmp.write("in/single.cfg", "k=v").string();
        assets = (tmp.path() / "in/assets").string();
        out = (tmp.path() / "out.exe").string();
    }

    TempDir tmp;
    std::string stub, app, single, assets, out;
};

}  // namespace

TEST_F(Cli, PacksFilesAndDirectories) {
    const ToolRun r = run(tmp, {"pack", "-o", out, "--stub", stub, app, single, assets});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(r.err.empty()) << r.err;
    EXPECT_FALSE(fs::exists(out + ".tmp"));

    auto entries = tavrik::unpack_executable(read_file(out));
    ASSERT_TRUE(entries) << entries.error();
    ASSERT_EQ(entries->size(), 4u);
    EXPECT_EQ((*entries)[0].name, u"app.dll");
    EXPECT_EQ((*entries)[1].name, u"single.cfg");
    EXPECT_EQ((*entries)[2].name, u"img\\logo.png");
    EXPECT_EQ((*entries)[3].name, u"readme.txt");
    EXPECT_EQ((*entries)[0].content, read_file(app));
    EXPECT_EQ((*entries)[2].content, Bytes(40000, 0x5A));

    const ToolRun listed = run(tmp, {"list", out});
    ASSERT_EQ(listed.exit_code, 0) << listed.err;
    EXPECT_EQ(listed.out, "14 app.dll\n3 single.cfg\n40000 img\\logo.png\n7 readme.txt\n");
}

TEST_F(Cli, OutputIsReproducible) {
    const std::string second = (tmp.path() / "second.exe").string();
    ASSERT_EQ(run(tmp, {"pack", "-o", out, "--stub", stub, app, assets}).exit_code, 0);
    ASSERT_EQ(run(tmp, {"pack", "--stub", stub, "-o", second, app, assets}).exit_code, 0);
    EXPECT_EQ(read_file(out), read_file(second));

    ASSERT_EQ(run(tmp, {"pack", "-o", second, "--stub", stub, "--level", "1", app, assets}).exit_code, 0);
    EXPECT_NE(read_file(out), read_file(second));
    EXPECT_TRUE(tavrik::unpack_executable(read_file(second)));
}

TEST_F(Cli, ReportsErrorsOnOneLineAndWritesNothing) {
    expect_error_line(run(tmp, {}), "no command");
    expect_error_line(run(tmp, {"pack", "-o", out, "--stub", stub}), "application DLL");
    expect_error_line(run(tmp, {"pack", "-o", out, "--stub", stub, "--level", "40", app}), "--level");
    expect_error_line(run(tmp, {"pack", "-o", out, "--stub", stub, app, "nope.txt"}), "nope.txt");
    expect_error_line(run(tmp, {"pack", "-o", out, "--stub", app, app}), "MZ");
    expect_error_line(run(tmp, {"pack", "-o", out, "--stub", stub, app, app}), "app.dll");
    expect_error_line(run(tmp, {"list", stub}), ".tavrik");
    EXPECT_FALSE(fs::exists(out));
    EXPECT_FALSE(fs::exists(out + ".tmp"));

    // A failed run leaves an earlier output alone.
    tmp.write("out.exe", "previous");
    expect_error_line(run(tmp, {"pack", "-o", out, "--stub", app, app}), "MZ");
    EXPECT_EQ(text_of(out), "previous");
}

TEST_F(Cli, Help) {
    const ToolRun r = run(tmp, {"--help"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out.rfind("usage: tavrik-pack pack -o OUT.exe", 0), 0u) << r.out;
    EXPECT_TRUE(r.err.empty());
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
