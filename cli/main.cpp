// brindlecard: formats SD cards and virtual cards from the command line.
#include <cstdio>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <windows.h>

#include <cstdlib>

#include "base/native_text.h"
#include "cli/elevated_run.h"
#include "platform/win32/win32_os.h"
#endif

#include "cli/arguments.h"
#include "cli/commands.h"

namespace {

const char kUsage[] =
    "usage: brindlecard COMMAND [ARGS]\n"
    "\n"
    "Commands:\n"
    "  card create PATH ...   create a virtual card (sparse image file)\n"
#if !defined(_WIN32)
    "  list ...               list the disks, and which hold a card that may be formatted\n"
#endif
    "  plan TARGET ...        show the layout a format would write, writing nothing\n"
    "  format TARGET... ...   format cards: quick, overwrite, erase or overwrite and erase\n"
    "  check TARGET... ...    do the cards follow the SD layout rules; writes nothing\n"
    "  probe TARGET... ...    do the cards hold what they announce (counterfeit cards do not)\n"
#if !defined(_WIN32)
    "                         (format and check take --all: every card list offers)\n"
#endif
    "\n"
    "  brindlecard COMMAND --help   describes a command (-h)\n"
    "  brindlecard --version        prints the version (-V)\n";

int run(std::vector<std::string> args) {
    using namespace brc::cli;
    if (args.empty()) {
        std::fputs(kUsage, stderr);
        return kExitUsage;
    }
    const std::string command = args[0];
    args.erase(args.begin());
    try {
        if (command == "--version" || command == "-V") {
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
        if (command == "check") return checkCommand(args);
        if (command == "probe") return probeCommand(args);
#if !defined(_WIN32)
        if (command == "list") return listCommand(args);
#endif
        throw UsageError{"unknown command '" + command + "'"};
    } catch (const RunError& e) {
        say(e.message);
        return kExitFailed;
    } catch (const UsageError& e) {
        say(e.message);
        // The help of the command that was misused, where there is one.
        std::string help = "brindlecard --help' for the commands";
        for (const char* known : {
                 "card", "plan", "format", "check", "probe",
#if !defined(_WIN32)
                     "list",
#endif
             })
            if (command == known)
                help = "brindlecard " + command + (command == "card" ? " create" : "") +
                       " --help' for its options";
        std::fprintf(stderr, "Run '%s.\n", help.c_str());
        return kExitUsage;
    }
}

#if defined(_WIN32)

UINT originalOutputCodePage = 0;

void restoreOutputCodePage() { SetConsoleOutputCP(originalOutputCodePage); }

} // namespace

// The wide entry point: the arguments, and the environment the runtime hands to _wgetenv, come
// as UTF-16 rather than through the ANSI code page, which would turn a Cyrillic path into '?'.
// The command works in UTF-8 from here on.
extern "C" int wmain(int argc, wchar_t** argv) {
    brc::prepareWin32Process();
    // Messages are UTF-8 bytes: a console is told so (and set back at exit, as the setting is
    // the console's, not this program's); redirected output keeps the bytes as they are.
    originalOutputCodePage = GetConsoleOutputCP();
    if (originalOutputCodePage != 0 && originalOutputCodePage != CP_UTF8 &&
        SetConsoleOutputCP(CP_UTF8))
        std::atexit(restoreOutputCodePage);
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.push_back(brc::utf8FromWide(argv[i]));
    // The elevated copy of a refused format: its console is the first copy's, through a relay.
    if (args.size() >= 2 && args[0] == brc::cli::kRelayOption) {
        if (!brc::cli::joinRelay(args[1])) return brc::cli::kExitFailed;
        args.erase(args.begin(), args.begin() + 2);
    }
    return run(std::move(args));
}

#else

} // namespace

int main(int argc, char** argv) { return run(std::vector<std::string>(argv + 1, argv + argc)); }

#endif
