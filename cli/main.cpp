// brindlecard: formats SD cards and virtual cards from the command line.
#include <cstdio>
#include <string>
#include <vector>

#include "cli/cli_common.h"
#include "cli/commands.h"

namespace {

const char kUsage[] =
    "usage: brindlecard COMMAND [ARGS]\n"
    "\n"
    "Commands:\n"
    "  card create PATH ...   create a virtual card (sparse image file)\n"
    "  plan TARGET ...        show the layout a format would write, writing nothing\n"
    "  format TARGET ...      quick-format a card\n"
    "\n"
    "  brindlecard COMMAND --help   describes a command\n"
    "  brindlecard --version        prints the version\n";

} // namespace

int main(int argc, char** argv) {
    using namespace brc::cli;
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) {
        std::fputs(kUsage, stderr);
        return kExitUsage;
    }
    const std::string command = args[0];
    args.erase(args.begin());
    try {
        if (command == "--version") {
            std::printf("brindlecard %s\n", BRC_VERSION);
            return kExitOk;
        }
        if (command == "--help" || command == "-h") {
            std::fputs(kUsage, stdout);
            return kExitOk;
        }
        if (command == "card") return cardCommand(args);
        if (command == "plan") return planCommand(args);
        if (command == "format") return formatCommand(args);
        throw UsageError{"unknown command '" + command + "'"};
    } catch (const UsageError& e) {
        std::fprintf(stderr, "brindlecard: %s.\n", e.message.c_str());
        std::fputs("Run 'brindlecard --help' for the commands.\n", stderr);
        return kExitUsage;
    }
}
