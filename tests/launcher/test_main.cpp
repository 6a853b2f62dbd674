// Wide entry point, so that the CRT builds the wide argument vector that the
// launcher's code reads (the {PROGRAM} placeholder, the argument vector).
//
// Every program a test starts inherits the current directory, so the run
// moves into a fresh, empty one first: a fault that acts on the current
// directory then finds nothing of value there, and the tests can see it.
#include <windows.h>

#include <gtest/gtest.h>
#include <string>

#include "tests/scratch_tree.h"

int wmain(int argc, wchar_t **argv) {
    testing::InitGoogleTest(&argc, argv);
    wchar_t temp[MAX_PATH];
    DWORD length = GetTempPathW(MAX_PATH, temp);
    std::wstring scratch;
    if (length != 0 && length < MAX_PATH) {
        scratch = std::wstring(temp) + L"tavrik_e2e_cwd_" + std::to_wstring(GetCurrentProcessId());
        CreateDirectoryW(scratch.c_str(), nullptr);
        if (!SetCurrentDirectoryW(scratch.c_str())) scratch.clear();
    }
    int result = RUN_ALL_TESTS();
    if (!scratch.empty()) {
        SetCurrentDirectoryW(temp);
        scratch_tree::remove(scratch, L"tavrik_e2e_cwd_");
    }
    return result;
}
