#include "device/card_map.h"

#include "base/environment.h"

namespace brc {

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
            map.error = "BRINDLECARD_CARDS entry '" + entry + "' does not start with a drive letter";
            return map;
        }
        std::string path = entry.substr(2);
        if (path.front() != '/' && !(path.size() > 2 && path[1] == ':')) {
            map.error = "BRINDLECARD_CARDS path '" + path + "' is not absolute";
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

CardMap readCardMap() {
    return parseCardMap(environmentVariable("BRINDLECARD_CARDS").value_or(""));
}

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

} // namespace brc
