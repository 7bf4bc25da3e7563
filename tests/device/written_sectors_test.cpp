// What a run wrote, noted as it passes the binding and read back from the card afterwards.
#include "device/written_sectors.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "device/driver_binding.h"
#include "tests/support/fake_card.h"

namespace brc {
namespace {

using test::Op;

struct Rig {
    test::FakeCard card{4096};
    DriverBinding driver;
    WrittenSectors written;
    Rig() {
        card.install(driver, 1);
        driver.written = &written;
    }
    // `count` sectors of `byte`, or of distinct bytes for byte < 0, in transfers of at most
    // 256 sectors, one after another as a pass writes them.
    void write(uint32_t first, uint32_t count, int byte) {
        std::vector<uint8_t> data(count * 512, static_cast<uint8_t>(byte));
        if (byte < 0)
            for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + first);
        for (uint32_t done = 0; done < count; done += SDHOST_MAX_TRANSFER) {
            const uint32_t n = std::min(count - done, SDHOST_MAX_TRANSFER);
            ASSERT_EQ(writeSectors(driver, data.data() + done * 512, n, first + done), SDHOST_OK);
        }
    }
    // The card changes sector `s` behind the writer's back.
    void corrupt(uint32_t s, uint8_t byte) {
        std::vector<uint8_t> v(512, byte);
        card.put(s, v.data());
    }
};

struct Case {
    const char* name;
    std::vector<std::tuple<uint32_t, uint32_t, int>> writes; // first, count, byte (-1: mixed)
    std::vector<std::pair<uint32_t, uint8_t>> corrupted;
    uint64_t sectors;
    bool kept;
    uint32_t sector; // the first sector not kept
};
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class ReadBack : public testing::TestWithParam<Case> {};

TEST_P(ReadBack, FindsTheFirstSectorNotAsLastWritten) {
    const Case& c = GetParam();
    Rig rig;
    for (auto [first, count, byte] : c.writes) rig.write(first, count, byte);
    for (auto [s, byte] : c.corrupted) rig.corrupt(s, byte);
    EXPECT_EQ(rig.written.sectors(), c.sectors);
    const WrittenSectors::ReadBack back = rig.written.readBack(rig.driver);
    EXPECT_EQ(back.kept, c.kept);
    EXPECT_FALSE(back.unreadable);
    if (!c.kept) {
        EXPECT_EQ(back.sector, c.sector);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Writes, ReadBack,
    testing::Values(
        Case{"Kept", {{0, 64, -1}, {64, 300, 0xFF}, {1000, 1, 0}}, {}, 365, true, 0},
        Case{"ALaterWriteReplacesTheMiddleOfARun", {{0, 10, 0xAA}, {5, 2, -1}}, {}, 10, true, 0},
        Case{"TheRunSplitStillCounts", {{0, 10, 0xAA}, {5, 2, -1}}, {{7, 0xAB}}, 10, false, 7},
        Case{"TheReplacedPartIsNotExpected", {{0, 10, 0xAA}, {5, 2, -1}}, {{5, 0xAA}}, 10, false, 5},
        Case{"AFillOverMixedSectors", {{0, 8, -1}, {2, 4, 0}}, {{1, 0}}, 8, false, 1},
        Case{"AFillOverMixedSectorsKept", {{0, 8, -1}, {2, 4, 0}}, {}, 8, true, 0},
        Case{"AFillRunReadInManyTransfers", {{0, 600, 0xFF}}, {{599, 0}}, 600, false, 599},
        Case{"AMixedSectorReadBackOtherwise", {{3, 1, -1}}, {{3, 0x03}}, 1, false, 3},
        Case{"SectorsNeverWrittenAreNotRead", {{0, 4, 0x11}}, {{4, 0x22}}, 4, true, 0}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(WrittenSectors, ReadsOnlyWhatWasWrittenInTransfersTheCardTakes) {
    Rig rig;
    rig.write(0, 100, 0xFF);
    rig.write(100, 200, -1);
    rig.write(1000, 10, 0);
    rig.card.calls.clear();
    EXPECT_TRUE(rig.written.readBack(rig.driver).kept);
    EXPECT_EQ(rig.card.transfers(Op::Read),
              (std::vector<test::Span>{{0, 256}, {256, 44}, {1000, 10}}));
}

TEST(WrittenSectors, NamesTheSectorThatCannotBeRead) {
    Rig rig;
    rig.write(0, 512, 0xFF);
    rig.card.failSector(Op::Read, 300, SDHOST_ERR_IO);
    const WrittenSectors::ReadBack back = rig.written.readBack(rig.driver);
    EXPECT_FALSE(back.kept);
    EXPECT_TRUE(back.unreadable);
    EXPECT_EQ(back.sector, 300u);
}

TEST(WrittenSectors, AnEraseForgetsWhatWasWrittenAndAFailedWriteIsNotNoted) {
    Rig rig;
    rig.write(0, 16, 0xFF);
    rig.written.clear();
    rig.corrupt(3, 0);
    EXPECT_EQ(rig.written.sectors(), 0u);
    EXPECT_TRUE(rig.written.readBack(rig.driver).kept);
    rig.card.fail(Op::Write, SDHOST_ERR_IO, 2);
    std::vector<uint8_t> data(512, 0x42);
    EXPECT_EQ(writeSectors(rig.driver, data.data(), 1, 7), SDHOST_ERR_IO);
    EXPECT_EQ(rig.written.sectors(), 0u);
    rig.driver.written = nullptr; // a run that did not ask notes nothing
    rig.write(8, 1, 0x42);
    EXPECT_EQ(rig.written.sectors(), 0u);
}

} // namespace
} // namespace brc
