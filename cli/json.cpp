#include "cli/json.h"

#include <cstdio>
#include <optional>
#include <utility>

#include "check/card_check.h"

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
        {"userSectors", &f.userSectors},
        {"cardTotalSectors", &f.cardTotalSectors},
        {"heads", &f.heads},
        {"sectorsPerTrack", &f.sectorsPerTrack},
        {"sectorsPerCluster", &f.sectorsPerCluster},
        {"boundaryUnit", &f.boundaryUnit},
        {"partitionStart", &f.partitionStart},
        {"reservedSectors", &f.reservedSectors},
        {"fatSectors", &f.fatSectors},
        {"systemSectors", &f.systemSectors},
        {"maxCluster", &f.maxCluster},
    };
    for (const auto& [key, value] : numbers)
        if (value->has_value()) o.number(key, static_cast<int64_t>(**value));
}

} // namespace brc::cli

namespace brc::cli {
namespace {

void appendUtf8(std::string& out, uint32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | c >> 6);
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | c >> 12);
        out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | c >> 18);
        out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// A JSON reader over one line: `at` moves past what was read.
struct FlatReader {
    const std::string& text;
    size_t at = 0;

    void blanks() {
        while (at < text.size() &&
               (text[at] == ' ' || text[at] == '\t' || text[at] == '\r' || text[at] == '\n'))
            ++at;
    }
    bool take(char c) {
        blanks();
        if (at >= text.size() || text[at] != c) return false;
        ++at;
        return true;
    }
    std::optional<uint32_t> hex4() {
        if (at + 4 > text.size()) return std::nullopt;
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) {
            const char c = text[at++];
            const int d = c >= '0' && c <= '9'   ? c - '0'
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : -1;
            if (d < 0) return std::nullopt;
            v = v << 4 | static_cast<uint32_t>(d);
        }
        return v;
    }
    std::optional<uint32_t> escapedCharacter() {
        if (at >= text.size()) return std::nullopt;
        switch (text[at++]) {
        case '"': return '"';
        case '\\': return '\\';
        case '/': return '/';
        case 'b': return '\b';
        case 'f': return '\f';
        case 'n': return '\n';
        case 'r': return '\r';
        case 't': return '\t';
        case 'u': break;
        default: return std::nullopt;
        }
        std::optional<uint32_t> c = hex4();
        if (!c || *c < 0xD800 || *c > 0xDFFF) return c;
        // A surrogate pair: the high half, then \u and the low half.
        if (*c > 0xDBFF || text.compare(at, 2, "\\u") != 0) return std::nullopt;
        at += 2;
        const std::optional<uint32_t> low = hex4();
        if (!low || *low < 0xDC00 || *low > 0xDFFF) return std::nullopt;
        return 0x10000 + ((*c - 0xD800) << 10) + (*low - 0xDC00);
    }
    std::optional<std::string> string() {
        if (!take('"')) return std::nullopt;
        std::string out;
        while (at < text.size() && text[at] != '"') {
            const unsigned char c = static_cast<unsigned char>(text[at++]);
            if (c < 0x20) return std::nullopt;
            if (c != '\\') {
                out += static_cast<char>(c);
                continue;
            }
            const std::optional<uint32_t> escaped = escapedCharacter();
            if (!escaped) return std::nullopt;
            appendUtf8(out, *escaped);
        }
        if (at >= text.size()) return std::nullopt;
        ++at;
        return out;
    }
    // A number or a literal, as it stands.
    std::optional<std::string> scalar() {
        blanks();
        const size_t start = at;
        static const std::string kScalarCharacters = "+-.0123456789eEtruefalsn";
        while (at < text.size() && kScalarCharacters.find(text[at]) != std::string::npos) ++at;
        if (at == start) return std::nullopt;
        return text.substr(start, at - start);
    }
};

} // namespace

std::optional<std::map<std::string, std::string>> readFlatJson(const std::string& text) {
    FlatReader in{text};
    std::map<std::string, std::string> members;
    if (!in.take('{')) return std::nullopt;
    if (!in.take('}')) {
        do {
            const std::optional<std::string> key = in.string();
            if (!key || !in.take(':')) return std::nullopt;
            in.blanks();
            std::optional<std::string> value =
                in.at < text.size() && text[in.at] == '"' ? in.string() : in.scalar();
            if (!value) return std::nullopt;
            members[*key] = std::move(*value);
        } while (in.take(','));
        if (!in.take('}')) return std::nullopt;
    }
    in.blanks();
    if (in.at != text.size()) return std::nullopt;
    return members;
}

} // namespace brc::cli
