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
// The environment the launcher, the runner and the tests share:
// the variable through which a launcher tells its child who started it,
#define TAVRIK_PARENT_VARIABLE "TAVRIK_ONEFILE_PARENT"
// the parts of the target directory's name both instances must agree on
// ({START}, {TIME_US}, {RANDOM}),
#define TAVRIK_START_VARIABLE "TAVRIK_ONEFILE_START"
#define TAVRIK_TIME_VARIABLE "TAVRIK_ONEFILE_TIME_US"
#define TAVRIK_RANDOM_VARIABLE "TAVRIK_ONEFILE_RANDOM"
// and what the application learns: the directory of the executable it was
// started as, and that executable's argv[0].
#define TAVRIK_DIRECTORY_VARIABLE "TAVRIK_ONEFILE_DIRECTORY"
#define TAVRIK_ARGV0_VARIABLE "TAVRIK_ORIGINAL_ARGV0"
// and, for cached mode, an absolute path that takes the place of the
// location the program was packed with, for one run.
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
