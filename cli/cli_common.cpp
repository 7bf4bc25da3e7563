#include "cli/cli_common.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "device/card_map.h"
#if !defined(_WIN32)
#include "platform/posix/posix_os.h"
#endif

namespace brc::cli {

bool Args::flag(const std::string& name) {
    for (auto it = args_.begin(); it != args_.end(); ++it) {
        if (*it == name) {
            args_.erase(it);
            return true;
        }
    }
    return false;
}

std::optional<std::string> Args::value(const std::string& name) {
    for (size_t i = 0; i < args_.size(); ++i) {
        const std::string& a = args_[i];
        if (a == name) {
            if (i + 1 >= args_.size()) throw UsageError{name + " needs a value"};
            std::string v = args_[i + 1];
            args_.erase(args_.begin() + static_cast<std::ptrdiff_t>(i),
                        args_.begin() + static_cast<std::ptrdiff_t>(i + 2));
            return v;
        }
        if (a.rfind(name + "=", 0) == 0) {
            std::string v = a.substr(name.size() + 1);
            args_.erase(args_.begin() + static_cast<std::ptrdiff_t>(i));
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
    const uint64_t n = parseNumber(digits, "size", UINT64_MAX >> shift);
    return n << shift;
}

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

std::string grouped(uint64_t value) {
    std::string digits = std::to_string(value), out;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return out;
}

namespace {

void setCardsVariable(const std::string& text) {
#if defined(_WIN32)
    // _putenv_s is newer than Windows XP's runtime.
    static std::string entry;
    entry = "BRINDLECARD_CARDS=" + text;
    _putenv(entry.c_str());
#else
    setenv("BRINDLECARD_CARDS", text.c_str(), 1);
#endif
}

} // namespace

Target resolveTarget(const std::string& text) {
    CardMap map = readCardMap();
    if (!map.error.empty()) throw UsageError{map.error};
    Target target;
    target.display = text;
    // A drive letter ("E" or "E:") names a card already mapped.
    if ((text.size() == 1 || (text.size() == 2 && text[1] == ':')) && std::isalpha(static_cast<unsigned char>(text[0]))) {
        const unsigned index = static_cast<unsigned>(std::toupper(static_cast<unsigned char>(text[0])) - 'A');
        if (map.paths[index].empty())
            throw UsageError{"drive " + text.substr(0, 1) + ": has no card in BRINDLECARD_CARDS"};
        target.driveNumber = index + 1;
        target.path = map.paths[index];
        return target;
    }
    std::error_code ec;
    const std::filesystem::file_status status = std::filesystem::status(text, ec);
    if (!std::filesystem::exists(status))
        throw UsageError{"'" + text + "' is not a virtual card image (no such file)"};
    if (!std::filesystem::is_regular_file(status))
        throw UsageError{"'" + text + "' is not a virtual card image (not a regular file)"};
    const std::string path = std::filesystem::absolute(text, ec).lexically_normal().string();
    target.path = path;
    if (auto drive = driveOfPath(map, path)) {
        target.driveNumber = *drive;
        return target;
    }
    // The first free letter from the back, away from the letters real drives use.
    for (unsigned index = 25; index >= 3; --index) {
        if (map.paths[index].empty()) {
            map.paths[index] = path;
            setCardsVariable(formatCardMap(map));
            target.driveNumber = index + 1;
            return target;
        }
    }
    throw UsageError{"no free drive letter is left for '" + text + "'"};
}

std::unique_ptr<OsServices> osServicesFor(const Target& target) {
#if defined(_WIN32)
    (void)target;
    return makeSystemOsServices();
#else
    return makePosixOsServices(target.path);
#endif
}

uint32_t openTarget(DriverBinding& driver, const Target& target, std::string& error) {
    if (driver.driverRoute == 0) {
        if (uint32_t r = bindDriver(driver, 2)) {
            error = driver.lastError.empty() ? "the driver library could not be bound" : driver.lastError;
            return r;
        }
    }
    uint32_t r = openCard(driver, target.driveNumber);
    if (r != 0) {
        char code[16];
        std::snprintf(code, sizeof code, "0x%X", r);
        error = "the card '" + target.display + "' could not be opened (driver code " + code + ")";
    }
    return r;
}

void closeTarget(DriverBinding& driver) {
    if (driver.driverRoute != 0) driver.api.DDFini(driver.driverHandle);
    driver.driverHandle = 0;
}

} // namespace brc::cli
