#include "cli/json.h"

#include <cstdio>
#include <optional>
#include <utility>

#include "app/card_check.h"

namespace brc::cli {

void JsonObject::key(const std::string& k) {
    if (!body_.empty()) body_ += ',';
    body_ += '"' + jsonEscape(k) + "\":";
}

JsonObject& JsonObject::number(const std::string& k, int64_t value) {
    key(k);
    body_ += std::to_string(value);
    return *this;
}

JsonObject& JsonObject::string(const std::string& k, const std::string& value) {
    key(k);
    body_ += '"' + jsonEscape(value) + '"';
    return *this;
}

JsonObject& JsonObject::raw(const std::string& k, const std::string& json) {
    key(k);
    body_ += json;
    return *this;
}

JsonObject& JsonObject::boolean(const std::string& k, bool value) {
    key(k);
    body_ += value ? "true" : "false";
    return *this;
}

JsonObject& JsonObject::strings(const std::string& k, const std::vector<std::string>& values) {
    key(k);
    body_ += '[';
    for (size_t i = 0; i < values.size(); ++i)
        body_ += (i ? ",\"" : "\"") + jsonEscape(values[i]) + '"';
    body_ += ']';
    return *this;
}

std::string jsonEscape(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

void addLayoutFigures(JsonObject& o, const LayoutFigures& f) {
    if (f.fsType) o.string("fsType", fsTypeName(*f.fsType));
    const std::pair<const char*, const std::optional<uint64_t>*> numbers[] = {
        {"userSectors", &f.userSectors},         {"cardTotalSectors", &f.cardTotalSectors},
        {"heads", &f.heads},                     {"sectorsPerTrack", &f.sectorsPerTrack},
        {"sectorsPerCluster", &f.sectorsPerCluster}, {"boundaryUnit", &f.boundaryUnit},
        {"partitionStart", &f.partitionStart},   {"reservedSectors", &f.reservedSectors},
        {"fatSectors", &f.fatSectors},           {"systemSectors", &f.systemSectors},
        {"maxCluster", &f.maxCluster},
    };
    for (const auto& [key, value] : numbers)
        if (value->has_value()) o.number(key, static_cast<int64_t>(**value));
}

} // namespace brc::cli
