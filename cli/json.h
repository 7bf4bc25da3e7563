// The command's JSON output: one object on one line.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace brc {
struct LayoutFigures;
}

namespace brc::cli {

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

// The members of one flat JSON object (strings, numbers, true, false, null) as text, strings
// unescaped to UTF-8; nullopt for anything else, a nested object or array among them.
std::optional<std::map<std::string, std::string>> readFlatJson(const std::string& text);

// The layout figures under plan --json's names, in its order; figures not known are left out.
void addLayoutFigures(JsonObject& o, const LayoutFigures& f);

} // namespace brc::cli
