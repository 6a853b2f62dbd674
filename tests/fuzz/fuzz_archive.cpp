// The archive reader the commands use (read_archive, fed from memory by
// parse_archive) and the name checks behind list, verify and extract, on
// arbitrary archive bytes.

#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::check_archive(tavrik::Bytes(data, data + size));
    return 0;
}
