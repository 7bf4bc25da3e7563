#include "cli/arguments.h"

#include <algorithm>

#include "base/code_page.h"
#if !defined(_WIN32)
#include "platform/posix/oem_code_pages.h"
#endif

namespace brc::cli {

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
        if (a == name || a.rfind(name + "=", 0) == 0) throw UsageError{name + " is given more than once"};
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
    return args_;
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
    case 'K': case 'k': shift = 10; break;
    case 'M': case 'm': shift = 20; break;
    case 'G': case 'g': shift = 30; break;
    case 'T': case 't': shift = 40; break;
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
        throw UsageError{"code page " + *text + " is not supported; --codepage takes " + oemCodePageList()};
    if (!oemCodePage(page))
        throw UsageError{"code page " + *text + " cannot be used: the system's iconv does not convert it"};
    return page;
#endif
}

} // namespace brc::cli
