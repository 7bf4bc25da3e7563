// OEM code pages through the C library's iconv, and the page a locale implies.
#include "platform/posix/oem_code_pages.h"

#include <iconv.h>

#include <cerrno>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "base/environment.h"

namespace brc {

namespace {

// One conversion descriptor, closed on every way out.
class Iconv {
public:
    Iconv(const char* to, const char* from) : cd_(::iconv_open(to, from)) {}
    ~Iconv() {
        if (ok()) ::iconv_close(cd_);
    }
    Iconv(const Iconv&) = delete;
    Iconv& operator=(const Iconv&) = delete;
    bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
    iconv_t get() const { return cd_; }
    void reset() const { ::iconv(cd_, nullptr, nullptr, nullptr, nullptr); }

private:
    iconv_t cd_;
};

constexpr char kUnicode[] = "UTF-16LE";
constexpr char kDefaultChar = '?'; // the default character of every page offered

bool startsPair(const std::u16string& text, size_t i) {
    return text[i] >= 0xD800 && text[i] <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
           text[i + 1] <= 0xDFFF;
}

class IconvCodePage final : public CodePage {
public:
    IconvCodePage(unsigned number, const char* name) : number_(number), name_(name) {}

    unsigned number() const { return number_; }
    bool available() const { return Iconv(name_, kUnicode).ok() && Iconv(kUnicode, name_).ok(); }

    // One character at a time, so that one the page lacks becomes the default character alone
    // and a double-byte one is never cut at maxBytes. A character counts as held only when its
    // bytes decode back to it: iconv maps some to a look-alike (the yen sign to 0x5C, a
    // backslash in CP932), which Windows, asked for no best fit, refuses.
    std::string encode(const std::u16string& text, size_t maxBytes) const override {
        const Iconv cd(name_, kUnicode);
        const Iconv back(kUnicode, name_);
        std::string out;
        for (size_t i = 0; i < text.size();) {
            const size_t units = startsPair(text, i) ? 2 : 1;
            const std::u16string character = text.substr(i, units);
            std::string bytes = cd.ok() ? encodeOne(cd, character) : std::string();
            if (bytes.empty() || decodeWith(back, bytes) != character) bytes = kDefaultChar;
            if (out.size() + bytes.size() > maxBytes) break;
            out += bytes;
            i += units;
        }
        return out;
    }

    // A byte the page does not map, or a lead byte without its trail, becomes the default
    // character; decoding goes on at the next byte.
    std::u16string decode(const std::string& bytes) const override {
        return decodeWith(Iconv(kUnicode, name_), bytes);
    }

private:
    static std::u16string decodeWith(const Iconv& cd, const std::string& bytes) {
        std::string in = bytes.substr(0, bytes.find('\0'));
        std::u16string out;
        if (!cd.ok()) return std::u16string(in.size(), static_cast<char16_t>(kDefaultChar));
        cd.reset();
        char* src = in.data();
        size_t left = in.size();
        while (left > 0) {
            char buf[64];
            char* dst = buf;
            size_t room = sizeof buf;
            const size_t rc = ::iconv(cd.get(), &src, &left, &dst, &room);
            const int err = errno;
            for (const char* p = buf; p + 1 < dst; p += 2)
                out.push_back(static_cast<char16_t>(static_cast<uint8_t>(p[0]) |
                                                    static_cast<uint8_t>(p[1]) << 8));
            if (rc == static_cast<size_t>(-1) && err != E2BIG) {
                out.push_back(static_cast<char16_t>(kDefaultChar));
                ++src;
                --left;
                cd.reset();
            }
        }
        return out;
    }

    // The page's bytes for one character; empty when the page has none.
    static std::string encodeOne(const Iconv& cd, const std::u16string& character) {
        char in[4];
        size_t left = 0;
        for (char16_t u : character) {
            in[left++] = static_cast<char>(u & 0xFF);
            in[left++] = static_cast<char>(u >> 8);
        }
        char buf[16];
        char* src = in;
        char* dst = buf;
        size_t room = sizeof buf;
        cd.reset();
        if (::iconv(cd.get(), &src, &left, &dst, &room) != 0 || left != 0) return {};
        if (::iconv(cd.get(), nullptr, nullptr, &dst, &room) == static_cast<size_t>(-1)) return {};
        return std::string(buf, static_cast<size_t>(dst - buf));
    }

    unsigned number_;
    const char* name_;
};

// iconv's names for each page, the usual one first.
struct IconvNames {
    unsigned page;
    const char* names[2];
};
constexpr IconvNames kIconvNames[] = {
    {850, {"IBM850", "CP850"}}, {866, {"IBM866", "CP866"}}, {932, {"CP932", "WINDOWS-31J"}},
    {936, {"CP936", "GBK"}},    {950, {"CP950", "BIG5"}},
};

// The languages whose Windows systems use an OEM page other than 437. Chinese depends on the
// script or the region and is decided apart.
struct LanguagePage {
    std::string_view language;
    unsigned page;
};
constexpr LanguagePage kLanguagePages[] = {
    {"be", 866}, {"ru", 866}, {"uk", 866}, {"ja", 932}, {"ca", 850}, {"da", 850},
    {"de", 850}, {"es", 850}, {"eu", 850}, {"fi", 850}, {"fo", 850}, {"fr", 850},
    {"ga", 850}, {"gl", 850}, {"is", 850}, {"it", 850}, {"lb", 850}, {"nb", 850},
    {"nl", 850}, {"nn", 850}, {"no", 850}, {"pt", 850}, {"sv", 850},
};

std::string lower(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

} // namespace

std::string oemCodePageList() {
    std::string out;
    for (size_t i = 0; i < kOemCodePages.size(); ++i) {
        if (i > 0) out += i + 1 == kOemCodePages.size() ? " and " : ", ";
        out += std::to_string(kOemCodePages[i]);
    }
    return out;
}

unsigned oemCodePageForLocale(std::string_view locale) {
    // language[_territory][.codeset][@modifier]; the BCP 47 spelling uses '-' and may name a
    // script before the territory.
    const std::string name = lower(locale.substr(0, locale.find_first_of(".@")));
    std::vector<std::string> parts;
    for (size_t start = 0;;) {
        const size_t end = name.find_first_of("_-", start);
        parts.push_back(name.substr(start, end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    if (parts[0] == "zh") {
        // The first of script and territory decides; plain Chinese is the simplified script.
        for (size_t i = 1; i < parts.size(); ++i) {
            const std::string& p = parts[i];
            if (p == "hant" || p == "tw" || p == "hk" || p == "mo") return 950;
            if (p == "hans" || p == "cn" || p == "sg") return 936;
        }
        return 936;
    }
    for (const LanguagePage& entry : kLanguagePages)
        if (entry.language == parts[0]) return entry.page;
    return 437;
}

unsigned localeOemCodePage() {
    // The character-type category, as the C library settles it; an empty value counts as unset.
    for (const char* variable : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        const std::optional<std::string> value = environmentVariable(variable);
        if (value && !value->empty()) return oemCodePageForLocale(*value);
    }
    return 437;
}

const CodePage* oemCodePage(unsigned page) {
    if (page == 437) return &cp437();
    static const auto pages = [] {
        std::vector<std::unique_ptr<IconvCodePage>> found;
        for (const IconvNames& entry : kIconvNames) {
            for (const char* name : entry.names) {
                auto candidate = std::make_unique<IconvCodePage>(entry.page, name);
                if (candidate->available()) {
                    found.push_back(std::move(candidate));
                    break;
                }
            }
        }
        return found;
    }();
    for (const auto& p : pages)
        if (p->number() == page) return p.get();
    return nullptr;
}

} // namespace brc
