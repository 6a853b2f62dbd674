// A whole file as list, verify and extract read it: the PE parser (from the
// headers alone and whole), the loader and certificate table checks, the PE
// checksum, the export, import, resource, version and icon group readers, the
// .tavrik section, the attached data, the frame and the archive; and the
// checks pack makes of its stub and application images.

#include "packer/archive/attached_data.h"
#include "packer/archive/frame.h"
#include "packer/pe/attach.h"
#include "packer/pe/pe_checksum.h"
#include "packer/pe/pe_contents.h"
#include "packer/pe/pe_image.h"
#include "packer/pe/imports.h"
#include "packer/program/dependencies.h"
#include "packer/program/identity.h"
#include "packer/program/image_roles.h"
#include "tests/fuzz/fuzz_support.h"

#include <algorithm>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const tavrik::Bytes file(data, data + size);
    (void)tavrik::check_launcher_stub(file);
    (void)tavrik::check_application_dll(file);
    // As list, verify and extract read a file: the headers from its start,
    // reads limited to the part held.
    const size_t extent = static_cast<size_t>(std::min<uint64_t>(file.size(), tavrik::pe_headers_extent(file)));
    const tavrik::Bytes start(file.begin(), file.begin() + extent);
    auto headers = tavrik::parse_pe_image(start, file.size());
    if (headers) (void)tavrik::version_string(start, *headers, u"ProductName");
    auto image = tavrik::parse_pe_image(file);
    if (!image) return 0;
    (void)tavrik::loader_problem(*image);
    (void)tavrik::program_problem(*image);
    (void)tavrik::attached_section_problem(*image);
    if (tavrik::certificate_location_problem(*image).empty() && image->certificate_size != 0) {
        const auto table = file.begin() + image->certificate_offset;
        (void)tavrik::certificate_entries_problem(tavrik::Bytes(table, table + image->certificate_size));
    }
    (void)tavrik::pe_checksum(file, image->optional_header_offset + tavrik::pe::opt_checksum);
    (void)tavrik::version_string(file, *image, u"ProductName");
    (void)tavrik::exports_name(file, *image, "run_code");
    (void)tavrik::exported_names(file, *image);
    (void)tavrik::imported_dlls(file, *image);
    (void)tavrik::describe_identity(file);
    for (uint32_t rva : {0u, 0x1000u, 0xFFFFFFF0u}) (void)image->file_offset(rva, 16);
    (void)image->end_of_section_data();
    (void)image->end_of_virtual_sections();

    auto attached = tavrik::find_attached_data(file);
    if (!attached) return 0;
    auto frame = tavrik::frame_from_attached_data(*attached);
    if (!frame || !fuzz::decodes_small(*frame)) return 0;
    auto archive = tavrik::decompress_frame(*frame);
    if (!archive) return 0;
    fuzz::check_archive(*archive);
    auto entries = tavrik::parse_archive(*archive);
    if (entries && !entries->empty()) {
        (void)tavrik::check_application_dll(entries->front().content);
        (void)tavrik::check_dependencies(*entries, {});
    }
    return 0;
}
