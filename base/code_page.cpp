// Code page 437 and the UTF-8 <-> UTF-16 conversions used for volume labels.
#include "base/code_page.h"

#include <cstdio>

#include <array>
#include <cstdint>

namespace brc {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool isHighSurrogate(char32_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool isLowSurrogate(char32_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

// Reads one character starting at text[i]; advances i past it. A surrogate pair is one
// character; `lone` is set when i stood on an unpaired surrogate.
char32_t nextCodePoint(const std::u16string& text, size_t& i, bool& lone) {
    const char32_t u = text[i++];
    lone = false;
    if (isHighSurrogate(u) && i < text.size() && isLowSurrogate(text[i])) {
        const char32_t low = text[i++];
        return 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00);
    }
    if (isHighSurrogate(u) || isLowSurrogate(u)) {
        lone = true;
    }
    return u;
}

void appendUtf16(std::u16string& out, char32_t cp) {
    if (cp >= 0x10000) {
        cp -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
        out.push_back(static_cast<char16_t>(cp));
    }
}

// Unicode characters of bytes 0x80 to 0xFF; 0x00 to 0x7F are ASCII.
constexpr std::array<char16_t, 128> kCp437High = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF,
    0x00EE, 0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,
    0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA,
    0x00F1, 0x00D1, 0x00AA, 0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557,
    0x255D, 0x255C, 0x255B, 0x2510, 0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559,
    0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,
    0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4, 0x03A6, 0x0398, 0x03A9, 0x03B4,
    0x221E, 0x03C6, 0x03B5, 0x2229, 0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248,
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0,
};

class Cp437 final : public CodePage {
public:
    std::string encode(const std::u16string& text, size_t maxBytes) const override {
        std::string out;
        size_t i = 0;
        while (i < text.size() && out.size() < maxBytes) {
            bool lone = false;
            const char32_t cp = nextCodePoint(text, i, lone);
            out.push_back(static_cast<char>(toByte(cp)));
        }
        return out;
    }

    std::u16string decode(const std::string& bytes) const override {
        std::u16string out;
        for (const char c : bytes) {
            const auto b = static_cast<uint8_t>(c);
            if (b == 0) {
                break;
            }
            out.push_back(b < 0x80 ? static_cast<char16_t>(b) : kCp437High[b - 0x80u]);
        }
        return out;
    }

private:
    static uint8_t toByte(char32_t cp) {
        if (cp < 0x80) {
            return static_cast<uint8_t>(cp);
        }
        for (size_t k = 0; k < kCp437High.size(); ++k) {
            if (kCp437High[k] == cp) {
                return static_cast<uint8_t>(0x80 + k);
            }
        }
        return '?'; // the page's default character
    }
};

} // namespace

const CodePage& cp437() {
    static const Cp437 page;
    return page;
}

std::string utf16ToUtf8(const std::u16string& text, size_t maxBytes) {
    std::string out;
    size_t i = 0;
    while (i < text.size()) {
        bool lone = false;
        char32_t cp = nextCodePoint(text, i, lone);
        if (lone) {
            cp = kReplacement;
        }
        char buf[4];
        size_t n = 0;
        if (cp < 0x80) {
            buf[n++] = static_cast<char>(cp);
        } else if (cp < 0x800) {
            buf[n++] = static_cast<char>(0xC0 | (cp >> 6));
            buf[n++] = static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            buf[n++] = static_cast<char>(0xE0 | (cp >> 12));
            buf[n++] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            buf[n++] = static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            buf[n++] = static_cast<char>(0xF0 | (cp >> 18));
            buf[n++] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            buf[n++] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            buf[n++] = static_cast<char>(0x80 | (cp & 0x3F));
        }
        if (maxBytes != std::string::npos && out.size() + n > maxBytes) {
            break; // never split a character
        }
        out.append(buf, n);
    }
    return out;
}

std::u16string utf8ToUtf16(const std::string& text) {
    std::u16string out;
    size_t i = 0;
    while (i < text.size()) {
        const auto b = static_cast<uint8_t>(text[i]);
        size_t need = 0;
        char32_t cp = 0;
        char32_t min = 0;
        if (b < 0x80) {
            out.push_back(static_cast<char16_t>(b));
            ++i;
            continue;
        } else if (b >= 0xC2 && b <= 0xDF) {
            need = 1;
            cp = b & 0x1Fu;
            min = 0x80;
        } else if (b >= 0xE0 && b <= 0xEF) {
            need = 2;
            cp = b & 0x0Fu;
            min = 0x800;
        } else if (b >= 0xF0 && b <= 0xF4) {
            need = 3;
            cp = b & 0x07u;
            min = 0x10000;
        } else {
            out.push_back(static_cast<char16_t>(kReplacement));
            ++i;
            continue;
        }
        size_t j = i + 1;
        size_t got = 0;
        while (got < need && j < text.size() && (static_cast<uint8_t>(text[j]) & 0xC0) == 0x80) {
            cp = (cp << 6) | (static_cast<uint8_t>(text[j]) & 0x3Fu);
            ++j;
            ++got;
        }
        // A truncated sequence, an overlong form, an encoded surrogate or a value past U+10FFFF
        // each become one replacement character; decoding resumes after the bytes examined.
        if (got < need || cp < min || cp > 0x10FFFF || isHighSurrogate(cp) || isLowSurrogate(cp)) {
            out.push_back(static_cast<char16_t>(kReplacement));
        } else {
            appendUtf16(out, cp);
        }
        i = j;
    }
    return out;
}

bool isValidUtf8(const std::string& text) {
    // Decoding replaces every ill-formed sequence, so only valid text comes back unchanged.
    return utf16ToUtf8(utf8ToUtf16(text)) == text;
}

std::string shownText(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (c == '\n') {
            out += "\\n";
        } else if (c < 0x20 || c == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

} // namespace brc
