// The command's arguments: options and values as they are recognised, numbers and sizes, the
// label and the code page; the exit statuses and the usage error.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace brc::cli {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
// Formatted, but Ctrl-C cancelled the overwrite or erase the user asked for.
constexpr int kExitPassCancelled = 3;

// The exit status of a command over several cards: the worse of two cards' statuses. A card
// formatted after a cancelled pass is better off than one that failed, whatever the numbers.
constexpr int worstExitStatus(int a, int b) {
    const auto rank = [](int status) {
        return status == kExitPassCancelled ? 1 : status == kExitOk ? 0 : status + 1;
    };
    return rank(a) >= rank(b) ? a : b;
}

// "brindlecard: SENTENCE." on standard error (`end` in place of the full stop), with whatever
// came from a card, a path or the system in it shown escaped: no control character of a label
// or a mount point reaches the terminal.
void say(const std::string& sentence, const char* end = ".");

// Thrown for a usage error; main prints the message and exits with 2.
struct UsageError {
    std::string message;
};

// Thrown where the run cannot go on for a reason that is no usage error (a device that is not
// there); main prints the message and exits with 1.
struct RunError {
    std::string message;
};

// Arguments after the command name, consumed as they are recognised, in the conventions of
// getopt_long: the short options below (bundled, as -yq, and with a value attached or apart,
// as -LCARD or -L CARD), --name=V or --name V, options and operands in any order, and `--`
// ending the options.
class Args {
public:
    // Throws UsageError for a short option that does not exist.
    explicit Args(const std::vector<std::string>& args);
    bool flag(const std::string& name);                        // --name
    std::optional<std::string> value(const std::string& name); // --name V or --name=V
    std::vector<std::string> positionals();                    // the rest; rejects unknown options
    bool wantsHelp() const;

private:
    void refuseRepeat(const std::string& name) const;
    std::vector<std::string> args_;     // options (long names) and operands before `--`
    std::vector<std::string> operands_; // after `--`: operands whatever they look like
};

// -v: driver-library codes and names in the messages, which a user without it is spared.
bool verboseMessages();
void setVerboseMessages(bool on);
// " (driver code 0x103)" with -v, else empty.
std::string driverCodeNote(uint32_t code);

// Unsigned decimal or 0x-hex; throws UsageError naming `what` when malformed or above max.
uint64_t parseNumber(const std::string& text, const std::string& what, uint64_t max);
// N[K|M|G|T] with binary multiples; throws UsageError.
uint64_t parseSize(const std::string& text);

// The --label text as UTF-16; throws UsageError when it is not valid UTF-8 (a replacement
// character would otherwise end up on the card).
std::u16string labelArgument(const std::string& text);

// --codepage N: the OEM code page FAT labels are stored in; 0 when not given, leaving it to
// the system (on Linux the locale's). Throws UsageError for a page that cannot be used here.
unsigned codePageOption(Args& args);

} // namespace brc::cli
