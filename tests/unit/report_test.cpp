#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "diagnostics/messages.h"
#include "diagnostics/report.h"

namespace {

std::string report(const char *message, unsigned long code) {
    testing::internal::CaptureStderr();
    report_error_code(message, code);
    return testing::internal::GetCapturedStderr();
}

std::string system_text(unsigned long code) {
    char *text = nullptr;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                                      FORMAT_MESSAGE_FROM_SYSTEM,
                                  nullptr, code, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
                                  reinterpret_cast<char *>(&text), 0, nullptr);
    std::string result(text == nullptr ? "" : text, length);
    LocalFree(text);
    return result;
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

TEST(Failures, PlainMessageExitsWithTwo) {
    EXPECT_EXIT(
        {
            fflush(stdout);
            freopen("CONOUT$", "w", stdout);
            fail_with_path(message_open_for_writing, L"C:\\x\\y.dll");
        },
        testing::ExitedWithCode(2), "^Error, failed to open 'C:\\\\x\\\\y\\.dll' for writing\\.\n$");
    EXPECT_EXIT(fail_with_code(message_launch_failed, 2), testing::ExitedWithCode(2),
                "^Error, couldn't launch child \\(\\[Error 2\\] .*\\)\n$");
}
