// Waits for another process to end and prints its exit code. The interrupt
// test runs on the Linux side, where Wine hands on only the low byte of a
// Windows exit code; this sees the whole code of a process it did not start.
//
//   exit_observer.exe <windows pid> [timeout ms, default 60000]
//
// Prints "opened" once it holds the process (so the test knows that what
// follows cannot be missed), then "image=<path of its executable, UTF-8>"
// (so the test knows whose process it holds: a PID it took from a name in a
// shared folder may be another program's), then "exit_code=<decimal>". Exit
// code 0 when it saw the end, 1 when it could not open the process or the
// wait ran out.
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>

int wmain(int argc, wchar_t **argv) {
    if (argc < 2) {
        printf("usage: exit_observer <pid> [timeout_ms]\n");
        return 1;
    }
    DWORD pid = wcstoul(argv[1], nullptr, 10);
    DWORD timeout = argc > 2 ? wcstoul(argv[2], nullptr, 10) : 60000;
    HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (process == nullptr) {
        printf("open_error=%lu\n", GetLastError());
        return 1;
    }
    printf("opened\n");
    static wchar_t image[32768];
    static char utf8[4 * 32768];
    DWORD length = sizeof image / sizeof image[0];
    if (!QueryFullProcessImageNameW(process, 0, image, &length)) {
        printf("image_error=%lu\n", GetLastError());
    } else {
        int written = WideCharToMultiByte(CP_UTF8, 0, image, static_cast<int>(length), utf8, sizeof utf8 - 1,
                                          nullptr, nullptr);
        utf8[written > 0 ? written : 0] = 0;
        printf("image=%s\n", utf8);
    }
    fflush(stdout);
    DWORD waited = WaitForSingleObject(process, timeout);
    if (waited != WAIT_OBJECT_0) {
        printf("wait=%lu\n", waited);
        return 1;
    }
    DWORD code = 0;
    if (!GetExitCodeProcess(process, &code)) {
        printf("exit_code_error=%lu\n", GetLastError());
        return 1;
    }
    printf("exit_code=%lu\n", code);
    fflush(stdout);
    CloseHandle(process);
    return 0;
}
