// A child process for the clean-up tests: sleeps for the milliseconds given
// as its first argument, then exits with the code given as its second. It
// installs no console handler, so nothing about it is special; a code other
// than 0 tells its own end from a TerminateProcess(child, 0).
#include <windows.h>
#include <stdlib.h>

int wmain(int argc, wchar_t **argv) {
    Sleep(argc > 1 ? wcstoul(argv[1], nullptr, 10) : 10000);
    return argc > 2 ? static_cast<int>(wcstoul(argv[2], nullptr, 10)) : 0;
}
