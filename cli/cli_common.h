// Shared pieces of the brindlecard command: argument reading, numbers, JSON output, targets.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/card_check.h"
#include "app/format_report.h"
#include "device/card_map.h"
#include "device/driver_binding.h"
#include "os/os_services.h"

namespace brc::cli {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// Thrown for a usage error; main prints the message and exits with 2.
struct UsageError {
    std::string message;
};

// Arguments after the command name, consumed as they are recognised.
class Args {
public:
    explicit Args(std::vector<std::string> args) : args_(std::move(args)) {}
    bool flag(const std::string& name);                        // --name
    std::optional<std::string> value(const std::string& name); // --name V or --name=V
    std::vector<std::string> positionals();                    // the rest; rejects unknown options
    bool wantsHelp() const;

private:
    void refuseRepeat(const std::string& name) const;
    std::vector<std::string> args_;
};

// Unsigned decimal or 0x-hex; throws UsageError naming `what` when malformed or above max.
uint64_t parseNumber(const std::string& text, const std::string& what, uint64_t max);
// N[K|M|G|T] with binary multiples; throws UsageError.
uint64_t parseSize(const std::string& text);

// The --label text as UTF-16; throws UsageError when it is not valid UTF-8 (a replacement
// character would otherwise end up on the card).
std::u16string labelArgument(const std::string& text);

// One JSON object on one line, keys in insertion order.
class JsonObject {
public:
    JsonObject& number(const std::string& key, int64_t value);
    JsonObject& string(const std::string& key, const std::string& value);
    JsonObject& boolean(const std::string& key, bool value);
    JsonObject& strings(const std::string& key, const std::vector<std::string>& values);
    // A value that is JSON text already: true, false, an object or an array.
    JsonObject& raw(const std::string& key, const std::string& json);
    std::string str() const { return "{" + body_ + "}"; }

private:
    void key(const std::string& k);
    std::string body_;
};
std::string jsonEscape(const std::string& text);


// A card the command works on: a virtual card image, a block device (Linux), or a drive letter
// from BRINDLECARD_CARDS.
struct Target {
    std::string display;      // what the user named, control characters escaped
    std::string path;         // the image or device behind it: on Linux its canonical path
    uint32_t driveNumber = 0; // 1 = A:
    bool blockDevice = false; // a real card: cli/block_target.h checks it before it is opened
    CardIdentity identity;    // Linux: what is at `path`, the only object the library serves
    std::u16string rootPath() const { return {char16_t(u'A' + driveNumber - 1), u':', u'\\'}; }
#if !defined(_WIN32)
    // Why `path` no longer leads to `identity` (a link or a file swapped meanwhile), or empty.
    std::string changed() const;
#endif
};
// Resolves TARGET once: on Linux to its canonical path and the file or device there, which the
// driver library is told to accept and nothing else. A path not yet mapped gets a free letter,
// added to BRINDLECARD_CARDS for this process so the driver library serves it. Throws
// UsageError for a bad target.
Target resolveTarget(const std::string& text);

// --codepage N: the OEM code page FAT labels are stored in; 0 when not given, leaving it to
// the system (on Linux the locale's). Throws UsageError for a page that cannot be used here.
unsigned codePageOption(Args& args);

// The system's services for a run on this target, with labels in `codePage` (0: the system's).
std::unique_ptr<OsServices> osServicesFor(const Target& target, unsigned codePage = 0);

// The layout figures under plan --json's names, in its order; figures not known are left out.
void addLayoutFigures(JsonObject& o, const LayoutFigures& f);

// Binds the route-2 library and opens the target's card (`forReading`: read-only, for a
// command that never writes). Returns 0 or a driver result, with a sentence for the user in
// `error`.
uint32_t openTarget(DriverBinding& driver, const Target& target, std::string& error,
                    bool forReading = false);
void closeTarget(DriverBinding& driver);

// What is wrong with the image behind the target (its kind or size), or empty.
std::string imageProblem(const Target& target);

// Why a card cannot be formatted, in one sentence for the user, found by looking again: the
// image behind the target, whether the card opens and reports a capacity, and whether the
// layout rules accept that capacity. Empty when all of that is in order.
std::string explainCardProblem(DriverBinding& driver, const Target& target);

// An exclusive advisory lock on the card's image or device for a whole run, so that two runs,
// or a run and any program that respects the lock, never write one card at once: flock on
// Linux, a byte-range lock (LockFileEx) on Windows. Paths that cannot be opened or are no image
// or device are left to the checks that follow.
class CardFileLock {
public:
    explicit CardFileLock(const std::string& path);
    ~CardFileLock();
    CardFileLock(const CardFileLock&) = delete;
    CardFileLock& operator=(const CardFileLock&) = delete;

    bool heldElsewhere() const { return heldElsewhere_; }

private:
#if defined(_WIN32)
    void* handle_ = nullptr;
#else
    int fd_ = -1;
#endif
    bool heldElsewhere_ = false;
};

} // namespace brc::cli
