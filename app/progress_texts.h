// The progress window's lines: their controls in template 145, and their texts made from the
// stages' numbers. The dialog draws them; the terminal prints the same texts.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "progress/progress.h"
#include "res/messages.h"

namespace brc {

// Controls of the progress window.
enum ProgressControl : uint32_t {
    NoticeLine = 1014,
    FormatLine = 1027,
    OverwriteLine = 1028,
    EraseLine = 1029,
    CancelButton = 1031,
};

// The control that shows a stage.
uint32_t stageLine(ProgressStage stage);

class ProgressTexts {
public:
    explicit ProgressTexts(const MessageSource& messages) : messages_(messages) {}
    // The stage's line as the message table words it. Valid until the next call. A caption is
    // loaded once: a pass redraws its line after every chunk.
    const std::u16string& render(const StageProgress& stage);

private:
    const MessageSource& messages_;
    std::optional<std::u16string> captions_[3];
    std::u16string text_; // kept, so redraws stop allocating once it has grown
};

} // namespace brc
