// How a format run started for one card of many tells the run that started it where it stands:
// a hidden option names an inherited pipe and the card the starting run checked, and the
// format writes one short line onto the pipe per change of its stages, then its outcome as a
// line of its own.
#pragma once

#include <optional>
#include <string>

#include "device/card_map.h"
#include "progress/progress.h"

namespace brc::cli {

// --card-run "FD:b:DEV:INO:RDEV" or "FD:f:DEV:INO" (hexadecimal numbers after the descriptor),
// which only the starting run gives.
constexpr char kCardRunOption[] = "--card-run";
// --card-device "FD:MAJOR:MINOR": the descriptor the starting run holds for this run's card, as
// BRINDLECARD_DEVICE_FD would hand it; only with --card-run.
constexpr char kCardDeviceOption[] = "--card-device";

struct CardRunChannel {
    int fd = -1;           // the pipe's writing end
    CardIdentity identity; // the card the starting run checked and the user confirmed
};

std::string encodeCardRun(const CardRunChannel& channel);
std::optional<CardRunChannel> decodeCardRun(const std::string& text);

// One stage report as a line ("STAGE STATE PERCENT DONE TOTAL\n"), and back; nullopt for a
// line that is not one.
std::string encodeProgressLine(const StageProgress& stage);
std::optional<StageProgress> decodeProgressLine(const std::string& line);

// The format's outcome, its JSON object on one line: "= {...}\n"; decoded, the object, or
// nullopt for a line that is not one.
constexpr char kOutcomeMark = '=';
std::string encodeOutcomeLine(const std::string& json);
std::optional<std::string> decodeOutcomeLine(const std::string& line);
// Writes one encoded line whole onto the channel; false when the starting run is gone and
// nobody reads it any more.
bool sendChannelLine(int fd, const std::string& line);

} // namespace brc::cli
