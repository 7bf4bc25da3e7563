#include "progress/progress.h"

#include <cinttypes>
#include <cstdio>

#include "res/message_ids.h"

namespace brc {

void showProgressLine(Progress& progress, uint32_t controlId, uint32_t captionId,
                      const std::u16string& suffix) {
    if (!progress.view) return;
    progress.view->setLineText(controlId, progress.messages.text(captionId) + suffix);
    progress.view->pumpPendingMessages();
}

ProgressLine::ProgressLine(Progress& progress, uint32_t controlId, uint32_t captionId)
    : progress_(progress), controlId_(controlId) {
    if (progress.view) caption_ = progress.messages.text(captionId);
}

void ProgressLine::show(std::string_view suffix) {
    if (!progress_.view) return;
    text_.assign(caption_);
    text_.append(suffix.begin(), suffix.end());
    progress_.view->setLineText(controlId_, text_);
    progress_.view->pumpPendingMessages();
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
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, " %3u%%", flags.lastFormatPercent);
    showProgressLine(progress, FormatLine, msg::FormatLineCaption, asciiToUtf16(suffix));
}

std::string formatSectorCount(uint64_t v) {
    char text[32];
    if (v < 2147483647u) {
        std::snprintf(text, sizeof text, "%" PRIu64, v);
    } else {
        const uint64_t q = v / 1000000000u, r = v % 1000000000u;
        if (q < 2147483647u)
            std::snprintf(text, sizeof text, "%" PRIu64 "%09" PRIu64, q, r);
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
