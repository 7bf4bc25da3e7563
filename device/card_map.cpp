#include "device/card_map.h"

#include <cctype>

#include "device/driver_settings.h"

#include <cinttypes>
#include <cstdio>

namespace brc {

namespace {

bool isSeparator(char c) { return c == '\\' || c == '/'; }

// "X:\" or "X:/" at `at`.
bool driveRootAt(const std::string& path, size_t at) {
    return path.size() > at + 2 && std::isalpha(static_cast<unsigned char>(path[at])) &&
           path[at + 1] == ':' && isSeparator(path[at + 2]);
}

} // namespace

bool isDeviceNamespacePath(const std::string& path) {
    if (path.size() < 4 || !isSeparator(path[0]) || !isSeparator(path[1]) ||
        (path[2] != '.' && path[2] != '?') || !isSeparator(path[3]))
        return false;
    // Only the long forms of a drive path and of a UNC path name files there.
    if (path.compare(0, 4, "\\\\?\\") != 0) return true;
    return !driveRootAt(path, 4) && path.compare(4, 4, "UNC\\") != 0;
}

bool isAbsoluteFilePath(const std::string& path) {
    if (isDeviceNamespacePath(path)) return false;
    if (driveRootAt(path, 0) || (!path.empty() && path[0] == '/')) return true;
    // "\\server\share\path" and the long forms.
    return path.size() > 2 && path[0] == '\\' && isSeparator(path[1]) && !isSeparator(path[2]);
}

CardMap parseCardMap(const std::string& text) {
    CardMap map;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t end = text.find(';', pos);
        if (end == std::string::npos) end = text.size();
        std::string entry = text.substr(pos, end - pos);
        pos = end + 1;
        if (entry.empty()) continue;
        if (entry.size() < 3 || entry[1] != '=') {
            map.error = "BRINDLECARD_CARDS entry '" + entry + "' is not of the form X=/path";
            return map;
        }
        char letter = entry[0];
        if (letter >= 'a' && letter <= 'z') letter = static_cast<char>(letter - 'a' + 'A');
        if (letter < 'A' || letter > 'Z') {
            map.error =
                "BRINDLECARD_CARDS entry '" + entry + "' does not start with a drive letter";
            return map;
        }
        std::string path = entry.substr(2);
        if (!isAbsoluteFilePath(path)) {
            map.error =
                "BRINDLECARD_CARDS path '" + path +
                "' is not an absolute path to a file: give /path, X:\\path, "
                "\\\\server\\share\\path, \\\\?\\X:\\path or \\\\?\\UNC\\server\\share\\path";
            return map;
        }
        auto& slot = map.paths[static_cast<size_t>(letter - 'A')];
        if (!slot.empty()) {
            map.error = std::string("BRINDLECARD_CARDS names drive ") + letter + ": twice";
            return map;
        }
        slot = path;
    }
    return map;
}

CardMap readCardMap() { return parseCardMap(cardMapSetting()); }

std::string formatCardMap(const CardMap& map) {
    std::string out;
    for (size_t i = 0; i < map.paths.size(); ++i) {
        if (map.paths[i].empty()) continue;
        if (!out.empty()) out += ';';
        out += static_cast<char>('A' + i);
        out += '=';
        out += map.paths[i];
    }
    return out;
}

std::optional<unsigned> driveOfPath(const CardMap& map, const std::string& path) {
    for (size_t i = 0; i < map.paths.size(); ++i)
        if (map.paths[i] == path) return static_cast<unsigned>(i + 1);
    return std::nullopt;
}

std::optional<CardIdentity> vettedIdentity(unsigned index) {
    const std::string text = vettedSetting();
    if (index >= 26 || text.size() < 4 || text[0] != static_cast<char>('A' + index) ||
        text[1] != '=')
        return std::nullopt;
    CardIdentity id;
    int used = 0;
    const char* rest = text.c_str() + 2;
    if (rest[0] == 'b') {
        id.blockDevice = true;
        if (std::sscanf(rest, "b:%" SCNx64 ":%" SCNx64 ":%" SCNx64 "%n", &id.device, &id.inode,
                        &id.rdev, &used) != 3)
            return std::nullopt;
    } else if (std::sscanf(rest, "f:%" SCNx64 ":%" SCNx64 "%n", &id.device, &id.inode, &used) !=
               2) {
        return std::nullopt;
    }
    if (rest[used] != '\0') return std::nullopt;
    return id;
}

void setVettedIdentity(unsigned index, const CardIdentity& id) {
    char text[80];
    if (id.blockDevice)
        std::snprintf(text, sizeof text, "%c=b:%" PRIx64 ":%" PRIx64 ":%" PRIx64,
                      static_cast<char>('A' + index), id.device, id.inode, id.rdev);
    else
        std::snprintf(text, sizeof text, "%c=f:%" PRIx64 ":%" PRIx64,
                      static_cast<char>('A' + index), id.device, id.inode);
    setVettedSetting(std::string(text));
}

} // namespace brc
