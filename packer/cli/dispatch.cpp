#include "packer/cli/cli.h"

#include <ostream>

#include "packer/base/utf.h"
#include "packer/cli/commands.h"

namespace tavrik {

int run_cli(const std::vector<std::string> &args, const CliEnvironment &environment, std::ostream &out,
            std::ostream &err) {
    auto options = parse_pack_options(args);
    Status done;
    if (!options) {
        done = Error{options.error()};
    } else if (options->command == Command::help) {
        out << help_text(options->help_topic);
    } else if (options->command == Command::version) {
        out << version_line();
    } else if (options->command == Command::pack) {
        done = pack(*options, environment, out, err);
    } else if (options->command == Command::list) {
        done = list(*options, out);
    } else if (options->command == Command::verify) {
        done = verify(*options, out);
    } else {
        done = extract(*options, out);
    }
    if (!done) {
        // Every part of a message that comes from a name or a path is escaped
        // already; this keeps the line one line whatever slipped through.
        err << "tavrik-pack: error: " << printable_utf8(done.error()) << '\n';
        return 1;
    }
    return 0;
}

}  // namespace tavrik
