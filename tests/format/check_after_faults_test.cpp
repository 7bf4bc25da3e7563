// The card check after things went wrong: a quick format cut short after each of its chunk
// writes in turn, and reads that fail one at a time while the check runs.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "check/card_check.h"
#include "app/format_report.h"
#include "tests/format/format_rig.h"

namespace brc::format_test {
namespace {

struct FaultCard {
    const char* name;
    uint32_t userSectors, protectedSectors;
    FsType fsType;
};
void PrintTo(const FaultCard& c, std::ostream* os) { *os << c.name; }

const FaultCard kFaultCards[] = {
    {"Fat16", 1984000, 30720, Fat16},
    {"Fat32", 7744512, 0, Fat32},
    {"ExFat", 67108864, 0, ExFat},
};

// One time and one generator state for every run, so two formats of a card write the same bytes.
const FormatClock& fixedClock() {
    static uint32_t state = 0;
    static const FormatClock clock{[] { return LocalTime{2024, 5, 17, 12, 30, 0, 0}; },
                                   [] { return 1715949000u; },
                                   [](uint32_t seed) { state = seed; },
                                   [] { return (state = state * 1103515245u + 12345u) >> 16; }};
    return clock;
}

// The card's sectors after a quick format without a label whose chunk write `failing` fails
// (0: none); `writes` counts the write calls made.
test::SectorMap quickFormat(const FaultCard& c, uint32_t failing, size_t& writes) {
    FakeRig rig(c.userSectors, c.protectedSectors);
    if (failing != 0) rig.card.fail(Op::Write, SDHOST_ERR_IO, failing);
    rig.exfat.clock = &fixedClock();
    WriteContext ctx{rig.driver, rig.progress, rig.exfat, rig.report, cp437(), fixedClock()};
    std::u16string label;
    EXPECT_EQ(formatVolume(ctx, label, false) == Failed, failing != 0);
    writes = rig.card.countOf(Op::Write);
    test::SectorMap out;
    out.sectors = rig.card.sectors;
    return out;
}

// Reads through `fail`, which may refuse a call by its number (from 1).
CardCheck check(const FaultCard& c, const test::SectorMap& card,
                const std::function<bool(uint32_t call, uint32_t first)>& fail = nullptr) {
    uint32_t calls = 0;
    const SectorReader read = [&](uint32_t first, uint32_t count, uint8_t* out) {
        if (fail && fail(++calls, first)) return false;
        for (uint32_t i = 0; i < count; ++i) std::memcpy(out + size_t{i} * 512, card.get(first + i).data(), 512);
        return true;
    };
    return checkCard(CardCapacity{c.userSectors, c.protectedSectors}, read);
}

bool sameUpTo(const test::SectorMap& a, const test::SectorMap& b, uint64_t end) {
    const auto below = [end](const test::SectorMap& m) {
        return std::map<uint32_t, Sector>(m.sectors.begin(), m.sectors.lower_bound(static_cast<uint32_t>(end)));
    };
    return below(a) == below(b);
}

class CheckAfterFaults : public ::testing::TestWithParam<FaultCard> {};

// The format writes the system area front to back, so a card cut short after write k holds the
// first k - 1 chunks of it and what the card held before (zeros here) behind them. Only a card
// whose system area came out as the complete format's may conform; and one that did, does.
TEST_P(CheckAfterFaults, AFormatCutShortConformsOnlyWhenItsSystemAreaIsComplete) {
    const FaultCard& c = GetParam();
    size_t writes = 0;
    const test::SectorMap complete = quickFormat(c, 0, writes);
    const RootSpan root =
        rootFromCard(c.fsType, [&](uint64_t s) { return complete.get(static_cast<uint32_t>(s)); });
    ASSERT_EQ(roundUpToChunk(root.end()) / kChunk, writes);
    ASSERT_EQ(check(c, complete).verdict, CheckVerdict::Conforms);

    size_t conforming = 0;
    for (uint32_t k = 1; k <= writes; ++k) {
        size_t made = 0;
        const test::SectorMap partial = quickFormat(c, k, made);
        ASSERT_EQ(made, k);
        const CardCheck result = check(c, partial);
        const bool same = sameUpTo(partial, complete, root.end());
        ASSERT_EQ(result.verdict == CheckVerdict::Conforms, same)
            << "cut short at write " << k << " of " << writes << ": "
            << (result.deviations.empty() ? result.problem : result.deviations[0].why);
        conforming += same;
    }
    // Only chunks the complete format writes as zeros can be missing unseen.
    EXPECT_LT(conforming, writes / 2);
}

// A read that fails is reported as the read it is: "could not read sector N", N the first
// sector of that read, and no sentence about what the sectors hold.
TEST_P(CheckAfterFaults, EachFailedReadIsReportedAsAReadAndNothingElse) {
    const FaultCard& c = GetParam();
    size_t writes = 0;
    const test::SectorMap card = quickFormat(c, 0, writes);
    std::vector<uint32_t> firsts;
    ASSERT_EQ(check(c, card, [&](uint32_t, uint32_t first) {
                  firsts.push_back(first);
                  return false;
              }).verdict,
              CheckVerdict::Conforms);
    ASSERT_GE(firsts.size(), 5u);
    for (uint32_t k = 1; k <= firsts.size(); ++k) {
        const CardCheck result = check(c, card, [k](uint32_t call, uint32_t) { return call == k; });
        const std::string read = "ould not read sector " + grouped(firsts[k - 1]);
        SCOPED_TRACE("failing read " + std::to_string(k) + ": sector " + grouped(firsts[k - 1]));
        EXPECT_NE(result.verdict, CheckVerdict::Conforms);
        size_t naming = result.problem.find(read) != std::string::npos;
        EXPECT_TRUE(result.problem.empty() || result.problem.find("could not read sector") == 0)
            << result.problem;
        for (const Deviation& d : result.deviations) {
            EXPECT_NE(d.why.find("ould not read sector"), std::string::npos) << d.why;
            naming += d.why.find(read) != std::string::npos;
        }
        EXPECT_GE(naming, 1u);
    }
}

INSTANTIATE_TEST_SUITE_P(Cards, CheckAfterFaults, ::testing::ValuesIn(kFaultCards),
                         [](const auto& p) { return std::string(p.param.name); });

} // namespace
} // namespace brc::format_test
