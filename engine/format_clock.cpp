#include "engine/format_clock.h"

#include <chrono>
#include <cstdlib>
#include <ctime>

namespace brc {
namespace {

LocalTime systemLocalTime() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto sinceEpoch =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
    LocalTime t;
    // One thread uses the engine, so the shared result of localtime is not a hazard here.
    const std::tm* tm = std::localtime(&seconds);
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
    t.second = static_cast<uint16_t>(tm->tm_sec);
    t.milliseconds = static_cast<uint16_t>(sinceEpoch % 1000);
    return t;
}

} // namespace

const FormatClock& systemFormatClock() {
    static const FormatClock clock{
        systemLocalTime,
        [] { return static_cast<uint32_t>(std::time(nullptr)); },
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

} // namespace brc
