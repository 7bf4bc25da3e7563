// Where the writers get the time and their pseudo-random numbers: the volume serials and the
// label entry's time stamp. Tests install a fixed clock; the default uses the C runtime.
#pragma once

#include <array>
#include <cstdint>
#include <functional>

namespace brc {

// Local wall-clock time, as the system reports it.
struct LocalTime {
    uint16_t year = 0;
    uint16_t month = 0; // 1 to 12
    uint16_t day = 0;   // 1 to 31
    uint16_t hour = 0;
    uint16_t minute = 0;
    uint16_t second = 0;
    uint16_t milliseconds = 0;
};

struct FormatClock {
    std::function<LocalTime()> localTime;     // current local time
    std::function<uint32_t()> timeSeconds;    // time(nullptr), truncated to 32 bits
    std::function<void(uint32_t)> seedRandom; // srand
    std::function<uint32_t()> nextRandom;     // rand
};

// The C runtime's clock and generator; SOURCE_DATE_EPOCH, when set, fixes the time (UTC).
const FormatClock& systemFormatClock();

// Seeds the generator with the current time in seconds and draws four numbers; each gives its
// low 8 bits, in the order drawn.
std::array<uint8_t, 4> drawSerialBytes(const FormatClock& clock);

// A FAT directory entry's time and date fields for `t`. They cover 1980 to 2107; a clock
// outside that saturates at the nearest end.
void putDosTimestamp(uint8_t* timeField, uint8_t* dateField, const LocalTime& t);

} // namespace brc
