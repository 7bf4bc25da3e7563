// The passes of a format over the plan its run made: each pass asks the card for its capacity
// again, writes the plan while the card answers what it was planned from, and lays out what
// the card answers once it answers otherwise.
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "tests/format/format_rig.h"

namespace brc::format_test {
namespace {

// The partition entry's start and length, as the MBR on the card holds them.
struct Partition {
    uint32_t start = 0, sectors = 0;
};
Partition partitionOnCard(const test::FakeCard& card) {
    const Sector mbr = card.get(0);
    return {le32(mbr.data() + 454), le32(mbr.data() + 458)};
}

struct PlannedCase {
    const char* name;
    uint32_t plannedUser, plannedProtected; // what the card answered when the run planned
    uint32_t answeredUser;                  // what it answers when the passes ask it again
    bool sizeAdjustment;
    FormatResult result;
    FsType fsType;       // of the volume written (0: none)
    Partition partition; // from the worked layouts of the rules
};
void PrintTo(const PlannedCase& c, std::ostream* os) { *os << c.name; }

// Partition lengths are the user area (after size adjustment: 1,983,744) less the start.
const PlannedCase kPlannedCases[] = {
    {"SameCard", 1984000, 30720, 1984000, false, SuccessReinsertCard, Fat16, {249, 1983751}},
    {"SameCardAdjusted", 1984000, 30720, 1984000, true, SuccessReinsertCard, Fat16, {249, 1983495}},
    // The card changed its answer since the plan: the passes lay out what it answers now, with
    // the plan's size-adjustment choice.
    {"LargerNow", 1984000, 0, 7744512, false, SuccessReinsertCard, Fat32, {8192, 7736320}},
    {"LargerNowAdjusted", 130900, 0, 1984000, true, SuccessReinsertCard, Fat16, {249, 1983495}},
    {"InTheRefusedBandNow", 7744512, 0, 4194304, false, Failed, FsType{}, {}},
};

class PlannedPasses : public ::testing::TestWithParam<PlannedCase> {};

TEST_P(PlannedPasses, WriteWhatTheCardAnswersAndAskItOnEveryPass) {
    const PlannedCase& c = GetParam();
    FakeRig rig(c.plannedUser, c.plannedProtected);
    FormatPlan plan;
    ASSERT_EQ(checkFormatPlan(u"Brc", c.sizeAdjustment, rig.driver, &plan), Success);
    rig.card.userSectors = c.answeredUser;
    rig.card.calls.clear();

    std::u16string label = u"Brc";
    EXPECT_EQ(formatVolume(rig.ctx, plan, label), c.result);
    // The verification pass and the write pass each identify the card, also where they find
    // no layout for its answer.
    EXPECT_EQ(rig.card.countOf(Op::Identify), 2u);
    EXPECT_EQ(rig.card.countOf(Op::SecureIdentify), 2u);
    if (c.result == Failed) {
        EXPECT_EQ(rig.card.countOf(Op::Write), 0u) << "nothing is written without a layout";
        return;
    }
    EXPECT_EQ(rig.report.reportFsType, static_cast<uint32_t>(c.fsType));
    const Partition p = partitionOnCard(rig.card);
    EXPECT_EQ(p.start, c.partition.start);
    EXPECT_EQ(p.sectors, c.partition.sectors);
    EXPECT_EQ(rig.report.reportPartitionSectors, c.partition.sectors);
    EXPECT_EQ(label, u"BRC");
}

INSTANTIATE_TEST_SUITE_P(Plans, PlannedPasses, ::testing::ValuesIn(kPlannedCases),
                         [](const auto& p) { return std::string(p.param.name); });

} // namespace
} // namespace brc::format_test
