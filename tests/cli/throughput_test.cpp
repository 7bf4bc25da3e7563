// The throughput gauge the progress lines share: rate and time left from the pass's start,
// the gap between readings, and the ends of its range.
#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "cli/terminal_progress.h"
#include "cli/throughput.h"

namespace brc::cli {
namespace {

using Clock = ThroughputGauge::Clock;
using std::chrono::milliseconds;

Clock::time_point atMs(int64_t ms) { return Clock::time_point{} + milliseconds(ms); }

constexpr auto kNever = std::numeric_limits<unsigned long long>::max();

struct Case {
    const char* name;
    uint64_t startDone;
    int64_t elapsedMs;
    uint64_t done, total;
    bool reads;
    const char* text; // what the line shows; unused when nothing is read
    unsigned long long secondsLeft;
};

TEST(ThroughputGauge, ReadsRateAndTimeLeftFromThePassStart) {
    const std::vector<Case> cases{
        {"steady pass", 1000, 2000, 21000, 921000, true, "5.1 MB/s, about 1 min 30 s left", 90},
        {"nothing done since the start", 5000, 2000, 5000, 921000, false, "", 0},
        {"a count that went back", 5000, 2000, 4000, 921000, false, "", 0},
        {"no time passed", 0, 0, 100, 1000, false, "", 0},
        {"a millisecond", 0, 1, 1000, 1000000, true, "512.0 MB/s, about 0 min 00 s left", 0},
        {"total reached", 0, 4000, 8000, 8000, true, "1.0 MB/s, about 0 min 00 s left", 0},
        {"past the total", 0, 4000, 8100, 8000, true, "1.0 MB/s, about 0 min 00 s left", 0},
        {"hours left", 8192, 2000, 48192, 150048192, true, "10.2 MB/s, about 2 h 05 min left",
         7500},
        // 2 TiB at 1 MB/s: the count of seconds is exact, far from its end.
        {"largest card", 0, 1000, 2048, 4294967296ull, true, "1.0 MB/s, about 582 h 32 min left",
         2097151},
        // One sector in a day of a card as large as the counts go: more seconds than fit.
        {"crawl over a huge card", 0, 86400000, 1, std::numeric_limits<uint64_t>::max(), true,
         nullptr, kNever},
    };
    for (const Case& c : cases) {
        ThroughputGauge gauge;
        ASSERT_TRUE(gauge.begin(ProgressStage::Overwrite, atMs(0), c.startDone)) << c.name;
        const auto r = gauge.read(atMs(c.elapsedMs), c.done, c.total);
        ASSERT_EQ(r.has_value(), c.reads) << c.name;
        if (!r) continue;
        EXPECT_EQ(r->secondsLeft, c.secondsLeft) << c.name;
        if (c.text) {
            EXPECT_EQ(throughputText(r->bytesPerSecond, r->secondsLeft), c.text) << c.name;
        }
    }
}

TEST(ThroughputGauge, ReadingsAreAQuarterSecondApartAndEachPassHasItsOwnStart) {
    ThroughputGauge gauge;
    EXPECT_FALSE(gauge.read(atMs(1000), 10, 100)) << "no pass timed yet";
    ASSERT_TRUE(gauge.begin(ProgressStage::Overwrite, atMs(0), 0));
    EXPECT_FALSE(gauge.begin(ProgressStage::Overwrite, atMs(500), 50)) << "already timed";
    ASSERT_TRUE(gauge.read(atMs(1000), 1000, 100000));
    EXPECT_FALSE(gauge.read(atMs(1249), 1100, 100000)) << "within the gap";
    const auto later = gauge.read(atMs(1250), 1250, 100000);
    ASSERT_TRUE(later);
    EXPECT_DOUBLE_EQ(later->bytesPerSecond, 1000.0 * 512); // still from the start at 0
    gauge.forgetReading();
    EXPECT_TRUE(gauge.read(atMs(1300), 1300, 100000)) << "nothing shown holds it back";

    // The erase starts a clock and a count of its own; the gap after the last reading holds.
    ASSERT_TRUE(gauge.begin(ProgressStage::Erase, atMs(1400), 200));
    EXPECT_FALSE(gauge.read(atMs(1500), 300, 100000));
    const auto erase = gauge.read(atMs(2400), 2200, 100000);
    ASSERT_TRUE(erase);
    EXPECT_DOUBLE_EQ(erase->bytesPerSecond, 2000.0 * 512);
    gauge.reset();
    EXPECT_FALSE(gauge.read(atMs(5000), 5000, 100000)) << "no pass after a reset";
}

} // namespace
} // namespace brc::cli
