#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "diagnostics/messages.h"
#include "diagnostics/report.h"
#include "tests/launcher/test_support.h"

namespace {

std::string report(const char *message, unsigned long code) {
    testing::internal::CaptureStderr();
    report_error_code(message, code);
    return testing::internal::GetCapturedStderr();
}

}  // namespace

TEST(ReportErrorCode, OneLineWithCodeAndSystemTextWithoutItsLineEnd) {
    std::string raw = system_text(5);
    ASSERT_GE(raw.size(), 2u);
    ASSERT_EQ(raw.substr(raw.size() - 2), "\r\n") << "the system text is expected to end in CR LF";
    std::string line = report(message_launch_failed, 5);
    EXPECT_EQ(line, "Error, couldn't launch child ([Error 5] " + raw.substr(0, raw.size() - 2) + ")\n");
    EXPECT_EQ(line.find('\r'), std::string::npos);
}

TEST(ReportErrorCode, CodesFromTheTopBitUpArePrintedNegative) {
    std::string line = report(message_load_dll, 0xC0000005u);
    EXPECT_EQ(line.rfind("Error, load DLL. ([Error -1073741819] ", 0), 0u) << line;
    EXPECT_EQ(report(message_load_dll, 0x80000000u).rfind("Error, load DLL. ([Error -2147483648] ", 0), 0u);
}

TEST(ReportErrorCode, CodeWithoutTextStillGivesTheLine) {
    const unsigned long unknown = 0x2FFFFFFF;
    ASSERT_EQ(system_text(unknown), "");
    EXPECT_EQ(report(message_unpack_failed, unknown),
              "Error, couldn't unpack file to target path. ([Error 805306367] )\n");
}

TEST(ReportErrorCode, OnlyTrailingLineBreaksAreTrimmed) {
    char text[] = "first line\r\nsecond line. \r\n\n";
    unsigned long length = trim_line_end(text, sizeof text - 1);
    EXPECT_EQ(std::string(text, length), "first line\r\nsecond line. ");
    EXPECT_EQ(text[length], '\0');
    char empty[] = "\r\n";
    EXPECT_EQ(trim_line_end(empty, 2), 0u);
}

TEST(Failures, EachExitsWithTwoAfterItsLineOnItsStream) {
    EXPECT_FAILS_ON_STDOUT(fail_plain(message_no_memory), "Error, couldn't allocate memory.\r\n");
    EXPECT_FAILS_ON_STDERR(fail_with_path(message_open_for_writing, L"C:\\x\\y.dll"),
                           "Error, failed to open 'C:\\x\\y.dll' for writing.\r\n");
    EXPECT_FAILS_ON_STDERR(fail_with_code(message_launch_failed, 2), error_code_line("Error, couldn't launch child", 2));
    // Whatever a path holds, its line stays one line: C0 and C1 controls,
    // DEL and the line and paragraph separators show as '?'; the units
    // either side of each range stay as they are.
    EXPECT_FAILS_ON_STDERR(
        fail_with_path(message_open_for_writing, L"C:\\a\x1f\x20\x7e\x7f\x85\x9f\xa0\u2027\u2028\u2029\u202a.txt"),
        "Error, failed to open 'C:\\a? ~???\u00a0\u2027??\u202a.txt' for writing.\r\n");
}

// --- A line that no stream would carry -------------------------------------

namespace boxed {

bool station_visible = true;

void print_utf8(const wchar_t *text) {
    char narrow[8192];
    int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, narrow, sizeof narrow, nullptr, nullptr);
    fputs(length > 0 ? narrow : "?", stdout);
}

bool no_stream(DWORD) { return false; }
bool every_stream(DWORD) { return true; }

HWINSTA WINAPI fake_station() { return reinterpret_cast<HWINSTA>(0x1234); }
BOOL WINAPI fake_flags(HANDLE object, int index, void *information, DWORD size, DWORD *) {
    if (object != reinterpret_cast<HANDLE>(0x1234) || index != UOI_FLAGS || size != sizeof(USEROBJECTFLAGS))
        return FALSE;
    static_cast<USEROBJECTFLAGS *>(information)->dwFlags = station_visible ? WSF_VISIBLE : 0;
    return TRUE;
}
// Records the box on standard output, which the fakes above say reaches
// nobody: the test reads it back from there.
int WINAPI record_box(HWND owner, const wchar_t *text, const wchar_t *title, UINT type) {
    printf("box owner=%p type=%#x title=", static_cast<void *>(owner), type);
    print_utf8(title);
    fputs(" text=", stdout);
    print_utf8(text);
    fputs("\n", stdout);
    return IDOK;
}
bool fake_load(WindowFunctions &functions) {
    functions = {fake_station, fake_flags, record_box};
    return true;
}
bool load_reported(WindowFunctions &functions) {
    puts("user32 loaded");
    return fake_load(functions);
}

}  // namespace boxed

// A window program started from the desktop has no console and no standard
// handles: its line goes to a box titled with the program's name, the exit
// code stays 2.
TEST(FailureWithoutStream, SameLineGoesToAMessageBoxTitledWithTheProgram) {
    const std::string box = "box owner=0000000000000000 type=0x10010 title=launcher_unit_tests.exe text=";
    failure_display = {boxed::no_stream, boxed::fake_load};
    EXPECT_FAILS_ON_STDOUT(fail_plain(message_no_memory), box + "Error, couldn't allocate memory.\r\n");
    EXPECT_FAILS_ON_STDOUT(fail_with_path(message_open_for_writing, L"C:\\x\\n\u00e4me\x01.dll"),
                           box + "Error, failed to open 'C:\\x\\n\u00e4me?.dll' for writing.\r\n");
    std::string line = error_code_line("Error, couldn't launch child", 2);
    EXPECT_FAILS_ON_STDOUT(fail_with_code(message_launch_failed, 2), box + line);
    failure_display = {standard_stream_reaches_someone, load_user32_window_functions};
}

// In a service's window station nobody would see the box, which would then
// wait for ever: nothing is shown.
TEST(FailureWithoutStream, NothingIsShownWhenTheWindowStationIsNotInteractive) {
    boxed::station_visible = false;
    failure_display = {boxed::no_stream, boxed::fake_load};
    EXPECT_FAILS_ON_STDOUT(fail_plain(message_no_memory), "");
    EXPECT_FAILS_ON_STDOUT(fail_with_code(message_launch_failed, 2), "");
    boxed::station_visible = true;
    failure_display = {standard_stream_reaches_someone, load_user32_window_functions};
}

// Wherever a stream reaches someone, the line goes there as ever and user32
// is never loaded.
TEST(FailureWithoutStream, StreamThatReachesSomeoneGetsTheLineAndNoWindowIsLoaded) {
    failure_display = {boxed::every_stream, boxed::load_reported};
    EXPECT_FAILS_ON_STDOUT(fail_plain(message_no_memory), "Error, couldn't allocate memory.\r\n");
    EXPECT_FAILS_ON_STDERR(fail_with_code(message_launch_failed, 2), error_code_line("Error, couldn't launch child", 2));
    failure_display = {standard_stream_reaches_someone, load_user32_window_functions};
    // The real test of a stream: a handle to a file reaches it, none does not
    // (the unit tests' console, if any, is set aside by the handle checks
    // only when there is none).
    HANDLE saved = GetStdHandle(STD_ERROR_HANDLE);
    SetStdHandle(STD_ERROR_HANDLE, nullptr);
    bool console = GetConsoleCP() != 0;
    EXPECT_EQ(standard_stream_reaches_someone(STD_ERROR_HANDLE), console);
    SetStdHandle(STD_ERROR_HANDLE, INVALID_HANDLE_VALUE);
    EXPECT_EQ(standard_stream_reaches_someone(STD_ERROR_HANDLE), console);
    SetStdHandle(STD_ERROR_HANDLE, saved);
}
