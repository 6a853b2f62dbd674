#pragma once
// The commands run_cli dispatches to, one file each: pack.cpp, list.cpp,
// verify.cpp, extract.cpp. Each returns true or the message of its
// one failure.

#include <iosfwd>

#include "packer/base/result.h"
#include "packer/cli/cli.h"
#include "packer/cli/options.h"

namespace tavrik {

// Writes its summary line (or, with --dry-run, what would be packed) on `out`.
Status pack(const PackOptions &options, const CliEnvironment &environment, std::ostream &out,
                  std::ostream &err);
Status list(const PackOptions &options, std::ostream &out);
Status verify(const PackOptions &options, std::ostream &out);
Status extract(const PackOptions &options, std::ostream &out);

class PackedFile;
// What list and verify do once the file is open; the fuzzers run them over
// packed executables held in memory.
Status list_packed(const PackedFile &packed, std::ostream &out, bool json = false);
Status verify_packed(const PackedFile &packed, std::ostream &out);

}  // namespace tavrik
