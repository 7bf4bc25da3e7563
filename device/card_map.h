// Which virtual card or device stands behind which drive letter ("E=/abs/card.img;F=/dev/mmcblk0"):
// the user's BRINDLECARD_CARDS, or the map a front end serves (driver_settings.h). Read by the
// driver libraries and by the host side alike.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace brc {

struct CardMap {
    std::array<std::string, 26> paths; // index 0 = A:; empty = no card mapped
    std::string error;                 // non-empty when the text was malformed
};

// Parses the variable's text. Entries are separated by ';'; empty entries are skipped.
// A malformed entry (no letter, no '=', a path isAbsoluteFilePath refuses, a letter given twice)
// sets error.
CardMap parseCardMap(const std::string& text);

// True for a path in Windows' device namespace ("\\.\", "\\?\", either slash), which names
// disks, volumes and other devices; the long forms of a file path, "\\?\X:\" and
// "\\?\UNC\", are not counted.
bool isDeviceNamespacePath(const std::string& path);

// True when `path` names a file absolutely: "/path", or as Windows has them "X:\path" (or
// "X:/path"), "\\server\share\path", "\\?\X:\path" and "\\?\UNC\server\share\path".
bool isAbsoluteFilePath(const std::string& path);

// The drive map the front end serves, else BRINDLECARD_CARDS (unset: an empty map); its paths
// are UTF-8, on Windows too.
CardMap readCardMap();

// Formats a map back into the variable's text.
std::string formatCardMap(const CardMap& map);

// Drive number (1 = A:) of the letter whose path equals `path`, or nullopt.
std::optional<unsigned> driveOfPath(const CardMap& map, const std::string& path);

// What the command checked to be the card behind a letter: the file or device node at its
// canonical path, as stat saw it. The driver library opens that path and serves the card only
// if what it opened is this very object, so a path that now leads elsewhere writes nothing.
struct CardIdentity {
    bool blockDevice = false;
    uint64_t device = 0; // st_dev of the node
    uint64_t inode = 0;
    uint64_t rdev = 0; // the device a block node stands for; 0 for an image
    bool operator==(const CardIdentity&) const = default;
};

// The identity the command vetted for a drive (index 0 = A:), as the driver context carries it
// ("E=b:DEV:INO:RDEV" or "E=f:DEV:INO", hexadecimal); nullopt when none or malformed.
std::optional<CardIdentity> vettedIdentity(unsigned index);
// Makes `identity` the only vetted card of this process, for the drive at `index`.
void setVettedIdentity(unsigned index, const CardIdentity& identity);

} // namespace brc
