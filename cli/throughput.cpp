#include "cli/throughput.h"

#include <limits>

#include "base/on_card_fields.h"

namespace brc::cli {

bool ThroughputGauge::begin(ProgressStage stage, Clock::time_point now, uint64_t done) {
    if (start_ && start_->stage == stage) return false;
    start_ = Start{stage, now, done};
    return true;
}

std::optional<ThroughputGauge::Reading> ThroughputGauge::read(Clock::time_point now, uint64_t done,
                                                              uint64_t total) {
    if (!start_ || (lastReading_ && now - *lastReading_ < kGap)) return std::nullopt;
    const double seconds = std::chrono::duration<double>(now - start_->at).count();
    if (seconds <= 0 || done <= start_->done) return std::nullopt;
    Reading r;
    r.bytesPerSecond = static_cast<double>(done - start_->done) * kSectorBytes / seconds;
    const double left =
        done < total ? static_cast<double>(total - done) * kSectorBytes / r.bytesPerSecond : 0.0;
    // A crawl over a huge card would run past what the count holds.
    constexpr auto kMost = std::numeric_limits<unsigned long long>::max();
    r.secondsLeft =
        left >= static_cast<double>(kMost) ? kMost : static_cast<unsigned long long>(left);
    lastReading_ = now;
    return r;
}

} // namespace brc::cli
