#pragma once
// The packed executable's identity: its icon, version resource, subsystem
// and requested execution level. The packer writes them into the stub's
// resources, deriving whatever is not given from the application, so that
// nothing of the launcher's own identity is left in the output.

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "packer/base/byte_io.h"
#include "packer/base/result.h"
#include "packer/pe/icons.h"
#include "packer/pe/pe_image.h"
#include "packer/pe/version_info.h"

namespace tavrik {

// What the command line asks for.
struct IdentityOptions {
    std::filesystem::path icon;  // --icon; empty: keep the launcher's icon
    // --version-string NAME=VALUE, in the order given, names unique
    // (compared ignoring case, as Windows looks them up).
    std::vector<std::pair<std::u16string, std::u16string>> version_strings;
    std::optional<FixedVersion> file_version;     // --file-version
    std::optional<FixedVersion> product_version;  // --product-version
    bool console = false;                         // --console
    std::string execution_level = "asInvoker";    // --execution-level
};

// "A.B.C.D", each part 0-65535 in decimal.
std::optional<FixedVersion> parse_fixed_version(const std::string &text);

// The version resource of the packed executable, from the options, then
// the application DLL's own version resource (all strings except
// OriginalFilename and InternalName, and its fixed versions), then
// defaults: ProductName and FileDescription the DLL's base name,
// OriginalFilename the output's file name, InternalName its base name,
// FileVersion and ProductVersion the fixed versions. A fixed version not
// given and not in the DLL is the other one given, else 0.0.0.0. Strings
// are sorted by name. A refusal completes "application "P" ...".
Result<VersionInfo> derive_version_info(const IdentityOptions &options, const Bytes &application,
                                        const std::u16string &application_name, const std::u16string &output_name);

struct Identity {
    std::vector<IconImage> icon;  // empty: keep the stub's icon group
    VersionInfo version;
    bool console = false;
    std::string execution_level;
};

// The stub with its version resource, manifest level, subsystem and (when
// given) icons replaced; every other resource is kept. A refusal completes
// "cannot rewrite the resources of stub "P": ".
Result<Bytes> apply_identity(const Bytes &stub, const Identity &identity);

// The identity as read back from an executable, for list and verify.
struct IdentityDescription {
    std::string subsystem;        // "console", "windows" or the number
    std::string execution_level;  // as the manifest spells it; "none" without one
    std::vector<std::string> icons;  // "WxH" for each image of the icon group, in its order
    bool has_version = false;     // a version resource is present
    std::string file_version;     // "A.B.C.D"; empty without fixed version information
    std::string product_version;
    // As stored (UTF-16); the text form escapes them (`printable`), JSON
    // gives them back exactly.
    std::vector<std::pair<std::u16string, std::u16string>> strings;
};

Result<IdentityDescription> read_identity(const Bytes &file, const PeImage &image);

// For list and verify: lines "subsystem: ...", "execution level: ...",
// "icon: WxH, ...", "file version: ...", "product version: ...", then
// "string NAME: VALUE" for each version string, from an image parsed from
// the part of the file in `file` (its start, holding at least the headers
// and the resources). Fails on resources that do not fit together (an icon
// group naming a missing image).
Result<std::vector<std::string>> describe_identity(const Bytes &file, const PeImage &image);

}  // namespace tavrik
