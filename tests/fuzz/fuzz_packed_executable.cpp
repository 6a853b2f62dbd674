// A whole file as the commands read it, through their own code over the
// file held in memory: PackedFile::open (the PE headers read first, the
// launcher part, the .tavrik section, the attached data's magic and
// trailer), then list_packed and verify_packed (loader and certificate
// table checks, the PE checksum, the digest, the frame decoder and the
// archive reader, the name checks, the application check, the identity from
// the version, manifest and icon resources); and the checks pack makes of
// its stub and application images, the import and export readers pack's
// DLL check uses, and the import library reader its input check uses. verify runs on the file as it comes
// (mostly its refusals: a mutation seldom leaves the PE checksum and the
// digest intact), list and verify on it with both repaired, so that
// mutations reach the archive.

#include "packer/pe/import_library.h"
#include "packer/pe/exports.h"
#include "packer/pe/imports.h"
#include "packer/pe/pe_image.h"
#include "packer/program/image_roles.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    tavrik::Bytes file(data, data + size);
    (void)tavrik::check_launcher_stub(file);
    (void)tavrik::check_application_dll(file);
    (void)tavrik::import_library_dll(file);
    if (auto image = tavrik::parse_pe_image(file)) {
        (void)tavrik::exported_names(file, *image);
        (void)tavrik::imported_dlls(file, *image);
    }
    if (fuzz::repair(file)) fuzz::inspect_packed(tavrik::Bytes(data, data + size), false);
    fuzz::inspect_packed(file, true);
    return 0;
}
