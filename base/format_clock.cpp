#include "base/format_clock.h"

#include <cerrno>
#include <chrono>
#include <optional>
#include <cstdlib>
#include <ctime>

#include "base/little_endian.h"

namespace brc {
namespace {

// SOURCE_DATE_EPOCH (seconds since 1970, UTC), the reproducible-build convention: when set, time
// stamps and serial numbers repeat from one format to the next.
std::optional<std::time_t> reproducibleEpoch() {
    const char* text = std::getenv("SOURCE_DATE_EPOCH");
    if (text == nullptr || *text == '\0') return std::nullopt;
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0' || *text == '-' || value > 0xFFFFFFFFull) return std::nullopt;
    return static_cast<std::time_t>(value);
}

LocalTime systemLocalTime() {
    const auto now = std::chrono::system_clock::now();
    const std::optional<std::time_t> fixed = reproducibleEpoch();
    const std::time_t seconds = fixed ? *fixed : std::chrono::system_clock::to_time_t(now);
    const auto sinceEpoch =
        fixed
            ? 0
            : std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
    LocalTime t;
    // One thread uses the engine, so the shared result of localtime is not a hazard here.
    const std::tm* tm = fixed ? std::gmtime(&seconds) : std::localtime(&seconds);
    if (tm == nullptr) {
        t.year = 1980;
        t.month = 1;
        t.day = 1;
        return t;
    }
    t.year = static_cast<uint16_t>(tm->tm_year + 1900);
    t.month = static_cast<uint16_t>(tm->tm_mon + 1);
    t.day = static_cast<uint16_t>(tm->tm_mday);
    t.hour = static_cast<uint16_t>(tm->tm_hour);
    t.minute = static_cast<uint16_t>(tm->tm_min);
    t.second = static_cast<uint16_t>(tm->tm_sec > 59 ? 59 : tm->tm_sec); // no leap second
    t.milliseconds = static_cast<uint16_t>(sinceEpoch % 1000);
    return t;
}

} // namespace

const FormatClock& systemFormatClock() {
    static const FormatClock clock{
        systemLocalTime,
        [] { return static_cast<uint32_t>(reproducibleEpoch().value_or(std::time(nullptr))); },
        [](uint32_t seed) { std::srand(seed); },
        [] { return static_cast<uint32_t>(std::rand()); },
    };
    return clock;
}

std::array<uint8_t, 4> drawSerialBytes(const FormatClock& clock) {
    clock.seedRandom(clock.timeSeconds());
    std::array<uint8_t, 4> bytes{};
    for (uint8_t& b : bytes) b = static_cast<uint8_t>(clock.nextRandom() & 0xFFu);
    return bytes;
}

void putDosTimestamp(uint8_t* timeField, uint8_t* dateField, const LocalTime& t) {
    uint32_t time = 0, date = 0;
    if (t.year < 1980) {
        date = 1u << 5 | 1u;
    } else if (t.year > 2107) {
        time = 23u << 11 | 59u << 5 | 29u;
        date = 127u << 9 | 12u << 5 | 31u;
    } else {
        const uint32_t second = t.second > 59 ? 59u : t.second;
        time = uint32_t{t.hour} * 2048 + uint32_t{t.minute} * 32 + second / 2;
        date = (uint32_t{t.year} - 1980) * 512 + uint32_t{t.month} * 32 + t.day;
    }
    put16(timeField, time);
    put16(dateField, date);
}

} // namespace brc
