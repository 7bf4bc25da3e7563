#include "app/progress_texts.h"

#include <cinttypes>
#include <cstdio>

#include "res/message_ids.h"

namespace brc {
namespace {

// The whole-line messages of a stage; 0 where the stage never is in that state.
struct StageMessages {
    uint32_t control, caption, off, waiting, unsupported;
};
constexpr StageMessages kStages[] = {
    {OverwriteLine, msg::OverwriteLineCaption, msg::OverwriteLineOff, msg::OverwriteLineStart, 0},
    {EraseLine, msg::EraseLineCaption, msg::EraseLineOff, msg::EraseLineStart,
     msg::EraseLineUnsupported},
    {FormatLine, msg::FormatLineCaption, 0, msg::FormatLineStart, 0},
};

const StageMessages& messagesOf(ProgressStage stage) { return kStages[static_cast<size_t>(stage)]; }

} // namespace

uint32_t stageLine(ProgressStage stage) { return messagesOf(stage).control; }

const std::u16string& ProgressTexts::render(const StageProgress& s) {
    const StageMessages& m = messagesOf(s.stage);
    switch (s.state) {
    case StageState::Off: return text_ = messages_.text(m.off);
    case StageState::Waiting: return text_ = messages_.text(m.waiting);
    case StageState::Unsupported: return text_ = messages_.text(m.unsupported);
    case StageState::Running:
    case StageState::Cancelled: break;
    }
    char suffix[96] = " CANCEL";
    if (s.state == StageState::Running) {
        // The counts as each line has always shown them: the erase's padded to eight places.
        if (s.stage == ProgressStage::Overwrite)
            std::snprintf(suffix, sizeof suffix, " %3u%% [%s / %s]", s.percent,
                          formatSectorCount(s.done).c_str(), formatSectorCount(s.total).c_str());
        else if (s.stage == ProgressStage::Erase)
            std::snprintf(suffix, sizeof suffix, " %3u%% [%8" PRIu64 " / %8" PRIu64 "]", s.percent,
                          s.done, s.total);
        else std::snprintf(suffix, sizeof suffix, " %3u%%", s.percent);
    }
    std::optional<std::u16string>& caption = captions_[static_cast<size_t>(s.stage)];
    if (!caption) caption = messages_.text(m.caption);
    text_.assign(*caption);
    for (const char* c = suffix; *c; ++c) text_.push_back(static_cast<char16_t>(*c));
    return text_;
}

} // namespace brc
