// What a front end shares with the driver libraries it loads besides the public operations: the
// drive map it serves, the identity it vetted behind a drive, the descriptors it holds for block
// devices, and the last line told the user. They travel in the driver context (driver_context.h),
// never in the process environment, so nothing of one run (or one test) reaches the next.
//
// Each module (the program, each library) reads them here: a library from the context its front
// end handed it, the program from the context it hands. Where neither is, or the front end set
// nothing, the user's own variables stand: BRINDLECARD_CARDS and BRINDLECARD_DEVICE_FD.
#pragma once

#include <optional>
#include <string>

#include "device/driver_context.h"

namespace brc {

// In a library: the context its front end handed (null: none, or no longer).
void readSettingsFrom(BrcDriverContext* context);

// In a front end: the context it hands every library it loads; from the first call on, this
// module reads its settings there too. Its run fields (stopRequested, user) are the format's.
BrcDriverContext& frontEndContext();

// The drive map's text: the front end's, else BRINDLECARD_CARDS (empty when unset).
std::string cardMapSetting();
// The vetted identity's text; empty when none.
std::string vettedSetting();
// The handed descriptors' text: the front end's, else BRINDLECARD_DEVICE_FD; nullopt when
// neither is.
std::optional<std::string> handedDevicesSetting();

// The front end's own values, in its context; nullopt gives the user's variable back.
void setCardMapSetting(std::optional<std::string> text);
std::optional<std::string> ownCardMapSetting();
void setVettedSetting(std::optional<std::string> text);
void setHandedDevicesSetting(std::optional<std::string> text);

// True, and `line` remembered, unless it is the last line told through this module's context
// (without one, by this module).
bool isNewReport(const std::string& line);

} // namespace brc
