// The progress window's lines: their controls in IDD_WAIT, and their texts made from the
// stages' numbers. The dialog draws them; the terminal prints the same texts.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "progress/progress.h"
#include "res/messages.h"
#include "res/resource_ids.h"

namespace brc {

// The progress window's line of each stage.
enum ProgressControl : uint32_t {
    OverwriteLine = IDC_WAIT_OVERWRITE_LINE,
    EraseLine = IDC_WAIT_ERASE_LINE,
    FormatLine = IDC_WAIT_FORMAT_LINE,
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
