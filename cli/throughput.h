// The throughput of a running overwrite or erase and the time it has left, timed from the
// start of the pass: one gauge for the single card's progress lines and the many cards' board.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

#include "progress/progress.h"

namespace brc::cli {

class ThroughputGauge {
public:
    using Clock = std::chrono::steady_clock;
    // A few readings a second are enough to read, and keep a fast pass from drawing all the time.
    static constexpr std::chrono::milliseconds kGap{250};

    struct Reading {
        double bytesPerSecond = 0;
        unsigned long long secondsLeft = 0;
    };

    // Times a pass of `stage` from `done` sectors at `now`, unless that stage's pass is timed
    // already; true when this starts the timing.
    bool begin(ProgressStage stage, Clock::time_point now, uint64_t done);
    // The rate from the pass's start to `done` of `total` sectors at `now`, and the time left at
    // it (0 once the total is reached). Nothing within kGap of the last reading, when no time has
    // passed, or when nothing was done since the start.
    std::optional<Reading> read(Clock::time_point now, uint64_t done, uint64_t total);
    // The next reading is not held back by the last one (nothing of it is shown any more).
    void forgetReading() { lastReading_.reset(); }
    // No pass is timed (the gap after the last reading still holds).
    void reset() { start_.reset(); }

private:
    struct Start {
        ProgressStage stage;
        Clock::time_point at;
        uint64_t done = 0;
    };
    std::optional<Start> start_;
    std::optional<Clock::time_point> lastReading_;
};

} // namespace brc::cli
