#include "packer/program/image_roles.h"

#include "packer/base/utf.h"
#include "packer/pe/attach.h"
#include "packer/pe/exports.h"
#include "packer/pe/pe_contents.h"
#include "packer/pe/pe_image.h"

namespace tavrik {

namespace {

// An export that is run_code with C++ linkage: the Itanium ABI's name
// (g++ and clang, "_Z8run_codeiPPwPKw") or Microsoft's ("?run_code@@...").
bool is_mangled_entry_point(const std::string &name) {
    return name.rfind(std::string("_Z8") + entry_point_name, 0) == 0 ||
           name.rfind(std::string("?") + entry_point_name + "@@", 0) == 0;
}

}  // namespace

Status check_application_dll(const Bytes &dll) {
    auto image = parse_pe_image(dll);
    if (!image) return Error{"is not a PE32+ x86-64 DLL: " + image.error()};
    if ((image->characteristics & pe::file_dll) == 0) return Error{"is a program, not a DLL"};
    auto exported = exports_name(dll, *image, entry_point_name);
    if (!exported) return Error{"has a " + exported.error()};
    if (!*exported) {
        auto names = exported_names(dll, *image);
        if (names) {
            for (const auto &name : *names) {
                if (!is_mangled_entry_point(name)) continue;
                return Error{std::string("exports ") + entry_point_name + " only under its C++ name \"" +
                             printable_utf8(name) + "\"; declare it extern \"C\""};
            }
        }
        return Error{std::string("does not export ") + entry_point_name};
    }
    return Status::done();
}

Status check_launcher_stub(const Bytes &stub) {
    auto image = parse_pe_image(stub);
    if (!image) return Error{"is not the Tavrik launcher: " + image.error()};
    // A packed executable first: its version resource is the program's, so
    // it would fail the next check with the wrong reason.
    for (const auto &section : image->sections) {
        if (section.name == packed_format::section_name) {
            return Error{std::string("already carries attached data (a ") + packed_format::section_name +
                         " section); use the launcher as built"};
        }
    }
    auto product = version_string(stub, *image, u"ProductName");
    if (!product || *product != launcher_names::product_name) {
        return Error{
            "is not the Tavrik launcher (its version resource lacks ProductName \"" TAVRIK_LAUNCHER_PRODUCT_NAME "\")"};
    }
    if (image->certificate_offset != 0 || image->certificate_size != 0) {
        return Error{"is signed; pack the unsigned launcher and sign after packing"};
    }
    // What verify checks of the packed executable, so that what is packed
    // from this stub verifies.
    const std::string unlike = program_problem(*image);
    if (!unlike.empty()) return Error{"is not the Tavrik launcher: " + unlike};
    return Status::done();
}

}  // namespace tavrik
