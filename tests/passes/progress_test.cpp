// The file-system progress line and the large-number formatter.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "progress/progress.h"
#include "res/message_ids.h"
#include "tests/support/recording_view.h"

namespace brc {
namespace {

using test::Drawn;
using test::RecordingView;

class FormatProgressTest : public ::testing::Test {
protected:
    FormatProgressTest() {
        flags.formatProgressEnabled = 1;
        params.partitionStart = 8192;
        params.systemSectors = 8192;  // both count: 16384 sectors in all
    }

    std::u16string line(const char* suffix) const {
        return builtinMessages().text(msg::FormatLineCaption) + asciiToUtf16(suffix);
    }

    RunFlags flags;
    FormatParameters params{};
    RecordingView view;
    Progress progress{flags, &view};
};

TEST_F(FormatProgressTest, FirstZeroPercentOfTheProcessDrawsNothing) {
    reportFormatProgress(progress, 0, params);
    reportFormatProgress(progress, 163, params);  // still below 1 %
    EXPECT_TRUE(view.lines.empty());
    EXPECT_EQ(flags.lastFormatPercent, 0u);
}

TEST_F(FormatProgressTest, DrawsOnlyWhenTheWholePercentChanges) {
    // 16384 sectors: 1 % is reached at 163.84, 50 % at 8192.
    for (uint32_t position : {0u, 100u, 164u, 200u, 327u, 328u, 8192u, 8200u, 16384u})
        reportFormatProgress(progress, position, params);
    ASSERT_EQ(view.lines.size(), 4u);
    EXPECT_EQ(view.lines[0].text, line("   1%"));
    EXPECT_EQ(view.lines[1].text, line("   2%"));
    EXPECT_EQ(view.lines[2].text, line("  50%"));
    EXPECT_EQ(view.lines[3].text, line(" 100%"));
    for (const Drawn& d : view.lines) EXPECT_EQ(d.controlId, uint32_t{FormatLine});
    EXPECT_EQ(view.pumps, 4);  // every drawn line is followed by a pump
    EXPECT_EQ(flags.lastFormatPercent, 100u);
}

TEST_F(FormatProgressTest, AboveHundredIsDrawnAsHundred) {
    reportFormatProgress(progress, 16384 * 2, params);  // 200 %
    ASSERT_EQ(view.lines.size(), 1u);
    EXPECT_EQ(view.lines[0].text, line(" 100%"));
    EXPECT_EQ(flags.lastFormatPercent, 100u);
}

TEST_F(FormatProgressTest, PercentIsTakenFromASixtyFourBitProduct) {
    // position × 100 overflows 32 bits; the share is still one half.
    params.partitionStart = 0x80000000u;
    params.systemSectors = 0x7FFFFFFFu;
    reportFormatProgress(progress, 0x80000000u, params);
    ASSERT_EQ(view.lines.size(), 1u);
    EXPECT_EQ(view.lines[0].text, line("  50%"));
}

TEST_F(FormatProgressTest, LastPercentCarriesOverIntoTheNextFormat) {
    reportFormatProgress(progress, 16384, params);
    view.lines.clear();
    reportFormatProgress(progress, 0, params);  // a later format starts at 0 %
    ASSERT_EQ(view.lines.size(), 1u);
    EXPECT_EQ(view.lines[0].text, line("   0%"));
}

TEST_F(FormatProgressTest, NothingWhenDisabledOrWithoutWindow) {
    flags.formatProgressEnabled = 0;
    reportFormatProgress(progress, 8192, params);
    EXPECT_TRUE(view.lines.empty());
    EXPECT_EQ(flags.lastFormatPercent, 0u);

    flags.formatProgressEnabled = 1;
    Progress windowless{flags, nullptr};
    reportFormatProgress(windowless, 8192, params);
    EXPECT_EQ(flags.lastFormatPercent, 0u);

    reportFormatProgress(progress, 8192, params);  // the window is back: drawn now
    ASSERT_EQ(view.lines.size(), 1u);
    EXPECT_EQ(view.lines[0].text, line("  50%"));
}

TEST(ReportStage, MissingCaptionKeepsTheSuffix) {
    struct NoTexts final : MessageSource {
        std::u16string text(uint32_t) const override { return {}; }
    } none;
    RunFlags flags;
    RecordingView view(none);
    Progress progress{flags, &view};
    reportStage(progress, {ProgressStage::Erase, StageState::Cancelled});
    ASSERT_EQ(view.lines.size(), 1u);
    EXPECT_EQ(view.lines[0].controlId, uint32_t{EraseLine});
    EXPECT_EQ(view.lines[0].text, u" CANCEL");
    EXPECT_EQ(view.pumps, 1);
}

TEST(FormatSectorCount, GroupBoundariesGiveThePlainDecimalForm) {
    const uint64_t cases[] = {0,
                              1,
                              2147483646,
                              2147483647,
                              2147483648,
                              4294967295,
                              999999999999,
                              2147483646999999999,   // last value of the two-group form
                              2147483647000000000,   // first of the three-group form
                              1000000000000000000,   // 10^18
                              18446744073709551615u};
    for (uint64_t v : cases) EXPECT_EQ(formatSectorCount(v), std::to_string(v));
}

TEST(FormatSectorCount, SweepMatchesTheStandardLibrary) {
    std::vector<uint64_t> values;
    for (uint64_t p = 1; p != 0 && p <= UINT64_MAX / 10; p *= 10)  // powers of ten, either side
        values.insert(values.end(), {p - 1, p, p + 1, p * 10 - 1});
    for (int bit = 0; bit < 64; ++bit) {  // powers of two, either side
        const uint64_t p = uint64_t{1} << bit;
        values.insert(values.end(), {p - 1, p, p + 1});
    }
    for (uint64_t k = 0; k < 1000; ++k) {  // r of nine digits with leading zeros
        values.push_back(2147483647u + k * 1000003u);
        values.push_back(2147483647000000000u + k * 7u);
    }
    uint64_t x = 0x9E3779B97F4A7C15u;  // a fixed xorshift sequence across the whole range
    for (int i = 0; i < 20000; ++i) {
        x ^= x << 13, x ^= x >> 7, x ^= x << 17;
        values.push_back(x >> (i % 64));
    }
    for (uint64_t v : values) ASSERT_EQ(formatSectorCount(v), std::to_string(v)) << v;
}

} // namespace
} // namespace brc
