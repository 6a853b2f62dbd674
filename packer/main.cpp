#include <exception>
#include <iostream>
#include <new>
#include <string>
#include <vector>

#include "packer/base/utf.h"
#include "packer/cli/cli.h"
#include "packer/platform/platform.h"

namespace {

int run(std::vector<std::string> args) {
    try {
        const std::string argv0 = args.empty() ? std::string() : args[0];
        if (!args.empty()) args.erase(args.begin());
        tavrik::CliEnvironment environment;
        environment.argv0 = argv0.c_str();
        environment.show_progress = tavrik::stderr_is_terminal();
        return tavrik::run_cli(args, environment, std::cout, std::cerr);
    } catch (const std::bad_alloc &) {
        std::cerr << "tavrik-pack: error: out of memory\n";
    } catch (const std::exception &e) {
        std::cerr << "tavrik-pack: error: " << tavrik::printable_utf8(e.what()) << '\n';
    }
    return 1;
}

}  // namespace

#ifdef _WIN32
// The narrow argv of a Windows program is in the ANSI code page and loses
// characters outside it; the wide one converts to UTF-8 without loss, which
// is what the rest of the packer expects.
int wmain(int argc, wchar_t **argv) {
    std::vector<std::string> args;
    for (int i = 0; i < argc; ++i) {
        const std::u16string wide(reinterpret_cast<const char16_t *>(argv[i]));
        auto utf8 = tavrik::utf16_to_utf8(wide);
        if (!utf8) {
            std::cerr << "tavrik-pack: error: argument " << i << ": " << utf8.error() << '\n';
            return 1;
        }
        args.push_back(*utf8);
    }
    return run(std::move(args));
}
#else
int main(int argc, char **argv) { return run(std::vector<std::string>(argv, argv + argc)); }
#endif
