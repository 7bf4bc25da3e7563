// The card a command works on: what the user named, resolved once, opened through the driver
// library, and why it cannot be formatted when a format fails without saying.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "device/card_map.h"
#include "device/driver_binding.h"
#include "engine/layout.h"
#include "os/os_services.h"

namespace brc::cli {

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
// added to BRINDLECARD_CARDS for this process so the driver library serves it; without
// `mapLetter` no letter is taken (driveNumber 0), for a run that only checks the card and
// leaves opening it to a run of its own. Throws UsageError for a bad target.
Target resolveTarget(const std::string& text, bool mapLetter = true);

// The system's services for a run on this target, with labels in `codePage` (0: the system's).
std::unique_ptr<OsServices> osServicesFor(const Target& target, unsigned codePage = 0);

// Binds the route-2 library and opens the target's card (`forReading`: read-only, for a
// command that never writes). Returns 0 or a driver result, with a sentence for the user in
// `error`.
uint32_t openTarget(DriverBinding& driver, const Target& target, std::string& error,
                    bool forReading = false);
void closeTarget(DriverBinding& driver);

// What is wrong with the image behind the target (its kind or size), or empty.
std::string imageProblem(const Target& target);

// Why the layout rules give a card of `capacity` no layout (`plan` as planFormat left it), in
// one sentence for the user; empty when they give one.
std::string layoutRefusal(const CardCapacity& capacity, const FormatPlan& plan);

// Why a card cannot be formatted, in one sentence for the user, found by looking again: the
// image behind the target, whether the card opens and reports a capacity, and whether the
// layout rules accept that capacity. Empty when all of that is in order.
std::string explainCardProblem(DriverBinding& driver, const Target& target);

} // namespace brc::cli
