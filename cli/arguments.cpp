#include "cli/arguments.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

#include "base/code_page.h"
#if !defined(_WIN32)
#include "platform/posix/oem_code_pages.h"
#endif

namespace brc::cli {
namespace {

struct ShortOption {
    char letter;
    const char* name;
};
constexpr ShortOption kShortOptions[] = {
    {'L', "--label"},   {'t', "--type"},    {'y', "--yes"},  {'q', "--quiet"},
    {'v', "--verbose"}, {'V', "--version"}, {'h', "--help"},
};
// The options that take a value: the word after one is its value, whatever it looks like.
constexpr const char* kValueOptions[] = {"--label",   "--type", "--codepage",
                                         "--sectors", "--size", "--protected"};

bool takesValue(const std::string& name) {
    return std::find(std::begin(kValueOptions), std::end(kValueOptions), name) !=
           std::end(kValueOptions);
}

bool g_verbose = false;

} // namespace

Args::Args(const std::vector<std::string>& in) {
    for (size_t i = 0; i < in.size(); ++i) {
        const std::string& a = in[i];
        if (a == "--") {
            operands_.assign(in.begin() + static_cast<std::ptrdiff_t>(i + 1), in.end());
            return;
        }
        if (a.rfind("--", 0) == 0 || a.size() < 2 || a[0] != '-') {
            args_.push_back(a);
            if (takesValue(a) && i + 1 < in.size()) args_.push_back(in[++i]);
            continue;
        }
        for (size_t j = 1; j < a.size(); ++j) {
            const auto* option =
                std::find_if(std::begin(kShortOptions), std::end(kShortOptions),
                             [&](const ShortOption& o) { return o.letter == a[j]; });
            if (option == std::end(kShortOptions))
                throw UsageError{"unknown option -" + std::string(1, a[j])};
            args_.push_back(option->name);
            if (!takesValue(option->name)) continue;
            if (j + 1 < a.size()) args_.push_back(a.substr(j + 1));
            else if (i + 1 < in.size()) args_.push_back(in[++i]);
            break;
        }
    }
}

bool verboseMessages() { return g_verbose; }
void setVerboseMessages(bool on) { g_verbose = on; }

std::string driverCodeNote(uint32_t code) {
    if (!g_verbose) return {};
    char text[40];
    std::snprintf(text, sizeof text, " (driver code 0x%X)", static_cast<unsigned>(code));
    return text;
}

bool Args::flag(const std::string& name) {
    for (auto it = args_.begin(); it != args_.end(); ++it) {
        if (*it == name) {
            args_.erase(it);
            refuseRepeat(name);
            return true;
        }
    }
    return false;
}

void Args::refuseRepeat(const std::string& name) const {
    for (const auto& a : args_)
        if (a == name || a.rfind(name + "=", 0) == 0)
            throw UsageError{name + " is given more than once"};
}

std::optional<std::string> Args::value(const std::string& name) {
    for (size_t i = 0; i < args_.size(); ++i) {
        const std::string& a = args_[i];
        if (a == name) {
            if (i + 1 >= args_.size()) throw UsageError{name + " needs a value"};
            std::string v = args_[i + 1];
            args_.erase(args_.begin() + static_cast<std::ptrdiff_t>(i),
                        args_.begin() + static_cast<std::ptrdiff_t>(i + 2));
            refuseRepeat(name);
            return v;
        }
        if (a.rfind(name + "=", 0) == 0) {
            std::string v = a.substr(name.size() + 1);
            args_.erase(args_.begin() + static_cast<std::ptrdiff_t>(i));
            refuseRepeat(name);
            return v;
        }
    }
    return std::nullopt;
}

std::vector<std::string> Args::positionals() {
    for (const auto& a : args_)
        if (a.size() > 1 && a[0] == '-') throw UsageError{"unknown option " + a};
    std::vector<std::string> all = args_;
    all.insert(all.end(), operands_.begin(), operands_.end());
    return all;
}

bool Args::wantsHelp() const {
    for (const auto& a : args_)
        if (a == "--help" || a == "-h") return true;
    return false;
}

uint64_t parseNumber(const std::string& text, const std::string& what, uint64_t max) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    if (digits.empty()) throw UsageError{what + " '" + text + "' is not a number"};
    uint64_t v = 0;
    for (char c : digits) {
        unsigned d;
        if (c >= '0' && c <= '9') d = static_cast<unsigned>(c - '0');
        else if (hex && c >= 'a' && c <= 'f') d = static_cast<unsigned>(c - 'a' + 10);
        else if (hex && c >= 'A' && c <= 'F') d = static_cast<unsigned>(c - 'A' + 10);
        else throw UsageError{what + " '" + text + "' is not a number"};
        const uint64_t base = hex ? 16 : 10;
        if (v > (max - d) / base) throw UsageError{what + " '" + text + "' is too large"};
        v = v * base + d;
    }
    return v;
}

uint64_t parseSize(const std::string& text) {
    if (text.empty()) throw UsageError{"the size is empty"};
    unsigned shift = 0;
    std::string digits = text;
    switch (text.back()) {
    case 'K':
    case 'k': shift = 10; break;
    case 'M':
    case 'm': shift = 20; break;
    case 'G':
    case 'g': shift = 30; break;
    case 'T':
    case 't': shift = 40; break;
    default: break;
    }
    if (shift) digits.pop_back();
    try {
        return parseNumber(digits, "size", UINT64_MAX >> shift) << shift;
    } catch (UsageError& e) {
        // Quote what the user typed, not the digits left after the unit.
        const std::string quoted = "'" + digits + "'";
        e.message.replace(e.message.find(quoted), quoted.size(), "'" + text + "'");
        throw;
    }
}

std::u16string labelArgument(const std::string& text) {
    if (!isValidUtf8(text)) throw UsageError{"the label is not valid UTF-8"};
    return utf8ToUtf16(text);
}

unsigned codePageOption(Args& args) {
    const std::optional<std::string> text = args.value("--codepage");
    if (!text) return 0;
#if defined(_WIN32)
    throw UsageError{"--codepage is for Linux; on Windows labels use the system's OEM code page"};
#else
    const auto page = static_cast<unsigned>(parseNumber(*text, "--codepage", UINT32_MAX));
    if (std::find(kOemCodePages.begin(), kOemCodePages.end(), page) == kOemCodePages.end())
        throw UsageError{"code page " + *text + " is not supported; --codepage takes " +
                         oemCodePageList()};
    if (!oemCodePage(page))
        throw UsageError{"code page " + *text +
                         " cannot be used: the system's iconv does not convert it"};
    return page;
#endif
}

void say(const std::string& sentence, const char* end) {
    std::fprintf(stderr, "brindlecard: %s%s\n", shownText(sentence).c_str(), end);
}

} // namespace brc::cli
