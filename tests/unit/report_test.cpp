#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "diagnostics/messages.h"
#include "diagnostics/report.h"
#include "tests/unit/test_support.h"

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
