#ifndef TAVRIK_FORMAT_LAUNCHER_NAMES_H
#define TAVRIK_FORMAT_LAUNCHER_NAMES_H
// Names the launcher answers to that the packer, the benchmark and the
// resources must spell the same way. Plain #defines first, so that the
// resource compiler can read them too (resources/tavrik-launcher.rc).

// The stub's version resource names this product; the packer takes only an
// image that does for its stub.
#define TAVRIK_LAUNCHER_PRODUCT_NAME "Tavrik launcher"
// Every target directory's name starts with this ("onefile_<pid>_...").
#define TAVRIK_DIRECTORY_PREFIX "onefile_"
// The variable through which a launcher tells its child who started it.
#define TAVRIK_PARENT_VARIABLE "TAVRIK_ONEFILE_PARENT"
// Moves the base folder of cached mode for one run: an absolute path that
// takes the place of the location the program was packed with.
#define TAVRIK_CACHE_VARIABLE "TAVRIK_CACHE_DIR"

#ifndef RC_INVOKED
#ifdef __cplusplus
namespace launcher_names {

inline constexpr char16_t product_name[] = u"" TAVRIK_LAUNCHER_PRODUCT_NAME;
inline constexpr wchar_t directory_prefix[] = L"" TAVRIK_DIRECTORY_PREFIX;
inline constexpr unsigned directory_prefix_length = sizeof directory_prefix / sizeof directory_prefix[0] - 1;

}  // namespace launcher_names
#endif
#endif

#endif
