// The progress window's texts made from the stages' numbers, at the edges of the counts: the
// same strings the passes drew before they reported numbers.
#include <gtest/gtest.h>

#include <string>

#include "app/progress_texts.h"
#include "res/message_ids.h"
#include "res/resource_ids.h"

namespace brc {
namespace {

struct TextRow {
    StageProgress stage;
    uint32_t caption; // the message the line starts with
    const char* suffix;
};

TEST(ProgressTexts, CountsAtTheirEdges) {
    using enum ProgressStage;
    using enum StageState;
    const TextRow rows[] = {
        {{Overwrite, Running, 0, 0, 100}, msg::OverwriteLineCaption, " 100% [0 / 0]"},
        {{Overwrite, Running, 256, 25601, 0}, msg::OverwriteLineCaption, "   0% [256 / 25601]"},
        {{Overwrite, Running, 25601, 25601, 100}, msg::OverwriteLineCaption, " 100% [25601 / 25601]"},
        {{Overwrite, Running, 4294967296, 18446744073709551615u, 99}, msg::OverwriteLineCaption,
         "  99% [4294967296 / 18446744073709551615]"},
        {{Erase, Running, 0, 0, 100}, msg::EraseLineCaption, " 100% [       0 /        0]"},
        {{Erase, Running, 8192, 16384, 50}, msg::EraseLineCaption, "  50% [    8192 /    16384]"},
        {{Erase, Running, 4294967295, 4294967295, 100}, msg::EraseLineCaption,
         " 100% [4294967295 / 4294967295]"},
        {{Format, Running, 0, 16384, 0}, msg::FormatLineCaption, "   0%"},
        {{Format, Running, 32768, 16384, 100}, msg::FormatLineCaption, " 100%"},
        {{Overwrite, Cancelled}, msg::OverwriteLineCaption, " CANCEL"},
        {{Erase, Cancelled}, msg::EraseLineCaption, " CANCEL"},
    };
    ProgressTexts texts(builtinMessages());
    for (const TextRow& row : rows) {
        const std::u16string suffix(row.suffix, row.suffix + std::char_traits<char>::length(row.suffix));
        EXPECT_EQ(texts.render(row.stage), builtinMessages().text(row.caption) + suffix) << row.suffix;
    }
}

TEST(ProgressTexts, WholeLineStatesAndTheirControls) {
    using enum ProgressStage;
    using enum StageState;
    const struct {
        StageProgress stage;
        uint32_t message, control;
    } rows[] = {
        {{Overwrite, Off}, msg::OverwriteLineOff, IDC_WAIT_OVERWRITE_LINE},
        {{Overwrite, Waiting}, msg::OverwriteLineStart, IDC_WAIT_OVERWRITE_LINE},
        {{Erase, Off}, msg::EraseLineOff, IDC_WAIT_ERASE_LINE},
        {{Erase, Waiting}, msg::EraseLineStart, IDC_WAIT_ERASE_LINE},
        {{Erase, Unsupported}, msg::EraseLineUnsupported, IDC_WAIT_ERASE_LINE},
        {{Format, Waiting}, msg::FormatLineStart, IDC_WAIT_FORMAT_LINE},
    };
    ProgressTexts texts(builtinMessages());
    for (const auto& row : rows) {
        EXPECT_EQ(texts.render(row.stage), builtinMessages().text(row.message)) << row.message;
        EXPECT_EQ(stageLine(row.stage.stage), row.control) << row.message;
    }
}

} // namespace
} // namespace brc
