// A process of another executable for the role tests: sleeps for the number
// of milliseconds given as its argument, then exits with code 0.
#include <windows.h>
#include <stdlib.h>

int wmain(int argc, wchar_t **argv) {
    Sleep(argc > 1 ? wcstoul(argv[1], nullptr, 10) : 10000);
    return 0;
}
