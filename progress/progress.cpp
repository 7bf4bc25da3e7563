#include "progress/progress.h"

#include <cinttypes>
#include <cstdio>

namespace brc {

void reportStage(Progress& progress, const StageProgress& stage) {
    if (!progress.view) return;
    progress.view->showStage(stage);
    progress.view->pumpPendingMessages();
}

void reportFormatProgress(Progress& progress, uint32_t writePosition,
                          const FormatParameters& params) {
    RunFlags& flags = progress.flags;
    if (flags.formatProgressEnabled == 0 || !progress.view) return;
    // Summed in 32 bits as the layout guarantees it fits; a zero sum would mean no layout.
    const uint32_t denominator = params.partitionStart + params.systemSectors;
    if (denominator == 0) return;
    const uint64_t percent = uint64_t{writePosition} * 100u / denominator;
    if (percent == flags.lastFormatPercent) return;
    flags.lastFormatPercent = percent > 100 ? 100u : static_cast<uint32_t>(percent);
    reportStage(progress, {ProgressStage::Format, StageState::Running, writePosition, denominator,
                           flags.lastFormatPercent});
}

std::string formatSectorCount(uint64_t v) {
    char text[32];
    if (v < 2147483647u) {
        std::snprintf(text, sizeof text, "%" PRIu64, v);
    } else {
        const uint64_t q = v / 1000000000u, r = v % 1000000000u;
        if (q < 2147483647u) std::snprintf(text, sizeof text, "%" PRIu64 "%09" PRIu64, q, r);
        else
            std::snprintf(text, sizeof text, "%" PRIu64 "%09" PRIu64 "%09" PRIu64, q / 1000000000u,
                          q % 1000000000u, r);
    }
    return text;
}

void ProgressView::writeConsole(const std::string& text) {
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
}

void writeConsoleLine(Progress& progress, const std::string& text) {
    if (progress.view) {
        progress.view->writeConsole(text);
    } else {
        std::fputs(text.c_str(), stdout);
        std::fflush(stdout);
    }
}

std::u16string asciiToUtf16(const std::string& text) {
    return std::u16string(text.begin(), text.end());
}

} // namespace brc
