// Wide entry point, so that the CRT builds the wide argument vector that the
// launcher's code reads (the {PROGRAM} placeholder, the argument vector).
#include <gtest/gtest.h>

int wmain(int argc, wchar_t **argv) {
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
