// Which virtual card or device stands behind which drive letter, from BRINDLECARD_CARDS
// ("E=/abs/card.img;F=/dev/mmcblk0"). Read by the driver libraries and by the host side alike.
#pragma once

#include <array>
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

// Reads BRINDLECARD_CARDS from the environment (an unset variable is an empty map). Its paths
// are UTF-8, on Windows too.
CardMap readCardMap();

// Formats a map back into the variable's text.
std::string formatCardMap(const CardMap& map);

// Drive number (1 = A:) of the letter whose path equals `path`, or nullopt.
std::optional<unsigned> driveOfPath(const CardMap& map, const std::string& path);

} // namespace brc
