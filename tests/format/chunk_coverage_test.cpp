// A whole quick format seen from the card: which sectors it writes, in what order and in what
// units, and that the data area beyond the root directory keeps what it held.
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "tests/format/format_rig.h"
#include "tests/support/scratch_dir.h"

namespace brc::format_test {
namespace {

struct CoverageCase {
    const char* name;
    uint32_t userSectors, protectedSectors;
    bool sizeAdjustment;
    FsType fsType;
};
void PrintTo(const CoverageCase& c, std::ostream* os) { *os << c.name; }

const CoverageCase kCoverageCases[] = {
    // The whole system area fits in chunk 0.
    {"Fat12OneChunk", 15360, 0, false, Fat12},
    {"Fat12Lowered", 130800, 0, false, Fat12},
    {"Fat16", 130900, 0, false, Fat16},
    {"Fat16ProtectedAdjusted", 1984000, 30720, true, Fat16},
    {"Fat16BelowBandAdjusted", 4211712, 0, true, Fat16},
    // The partition table's run of zero chunks up to sector 8192.
    {"Fat32Smallest", 4211712, 0, false, Fat32},
    {"Fat32", 7744512, 0, false, Fat32},
    {"Fat32Largest", 67108863, 0, false, Fat32},
    {"ExFat32GiB", 67108864, 0, false, ExFat},
    {"ExFat64GiB", 124735488, 0, false, ExFat},
    {"ExFatProtectedRaisesBoundary", 268435455, 2, false, ExFat},
    {"ExFatLargest", 4294967295u, 0, true, ExFat},
};

class QuickFormatChunks : public ::testing::TestWithParam<CoverageCase> {};

TEST_P(QuickFormatChunks, WritesEveryChunkUpToTheRootDirectoryOnceInOrder) {
    const CoverageCase& c = GetParam();
    FakeRig rig(c.userSectors, c.protectedSectors);
    FormatPlan plan;
    ASSERT_EQ(planFormat(rig.driver, u"", c.sizeAdjustment, &plan), 0u);
    ASSERT_EQ(plan.params.fsType, static_cast<uint32_t>(c.fsType));
    const RootSpan root = rootFromLayout(plan.params);
    const uint64_t end = roundUpToChunk(root.end());
    ASSERT_LE(end, plan.userSectors);

    // A blank card: the verification pass finds a different partition entry.
    std::u16string label = u"Brc";
    ASSERT_EQ(formatVolume(rig.ctx, label, c.sizeAdjustment), SuccessReinsertCard);

    for (int pass = 0; pass < 2; ++pass) {
        SCOPED_TRACE(pass == 0 ? "first format" : "second format");
        const auto w = rig.card.callsOf(Op::Write);
        ASSERT_EQ(w.size(), end / kChunk);
        for (size_t i = 0; i < w.size(); ++i) {
            ASSERT_EQ(w[i].first, i * kChunk) << "call " << i;
            ASSERT_EQ(w[i].count, kChunk) << "call " << i;
            ASSERT_EQ(w[i].result, 0u) << "call " << i;
        }

        // The card itself says the same: its partition entry, its boot sector and its root.
        const Sector mbr = rig.card.get(0);
        EXPECT_EQ(le16(mbr.data() + 510), 0xAA55);
        EXPECT_EQ(le32(mbr.data() + 454), plan.params.partitionStart);
        EXPECT_EQ(le32(mbr.data() + 458), plan.userSectors - plan.params.partitionStart);
        const RootSpan onCard = rootFromCard(c.fsType, [&](uint64_t s) {
            return rig.card.get(static_cast<uint32_t>(s));
        });
        EXPECT_EQ(onCard.first, root.first);
        EXPECT_EQ(onCard.sectors, root.sectors);
        const Sector dir = rig.card.get(static_cast<uint32_t>(root.first));
        if (c.fsType == ExFat) {
            EXPECT_EQ(dir[0], 0x83);
            EXPECT_EQ(dir[1], 3);
            EXPECT_EQ(le16(dir.data() + 2), u'B');
        } else {
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(dir.data()), 11), "BRC        ");
            EXPECT_EQ(dir[11], 0x08);
        }
        EXPECT_EQ(rig.report.reportFsType, static_cast<uint32_t>(c.fsType));
        EXPECT_EQ(rig.report.reportPartitionSectors, le32(mbr.data() + 458));

        if (pass == 0) {
            // The same card again: its partition entry now matches, so no reinsertion is asked.
            rig.card.calls.clear();
            label = u"Brc";
            ASSERT_EQ(formatVolume(rig.ctx, label, c.sizeAdjustment), Success);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Cards, QuickFormatChunks, ::testing::ValuesIn(kCoverageCases),
                         [](const auto& p) { return std::string(p.param.name); });

// ---- the data area through the real driver library --------------------------------------------

struct DataAreaCase {
    const char* name;
    uint64_t sectors;
    FsType fsType;
    bool fillAll;     // pattern over the whole card; otherwise windows around the root's end
};
void PrintTo(const DataAreaCase& c, std::ostream* os) { *os << c.name; }

const DataAreaCase kDataAreaCases[] = {
    {"Fat16Filled64MiB", 131072, Fat16, true},
    {"Fat12Filled", 15360, Fat12, true},
    {"Fat32Sparse8GiB", 16777216, Fat32, false},
    {"ExFatSparse64GiB", 124735488, ExFat, false},
};

class QuickFormatDataArea : public ::testing::TestWithParam<DataAreaCase> {};

TEST_P(QuickFormatDataArea, KeepsEverythingPastTheRootDirectorysLastChunk) {
    const DataAreaCase& c = GetParam();
    const test::ScratchDir scratch("brc-data");
    const std::filesystem::path& dir = scratch.path;
    const std::filesystem::path image = dir / (std::string(c.name) + ".img");
#ifdef _WIN32
    // Under Wine a file may grow sparse only as far as the disk's free space would hold it.
    if (std::filesystem::space(dir).available < c.sectors * 512)
        GTEST_SKIP() << "the disk has less room than the " << c.sectors * 512
                     << "-byte card, which Wine refuses to lay out even sparse";
#endif
    createCard(image, c.sectors);

    uint64_t end = 0;
    {
        LibraryRig rig(image, 2);
        ASSERT_TRUE(rig.open);
        const FormatPlan plan = rig.plan();
        ASSERT_EQ(plan.params.fsType, static_cast<uint32_t>(c.fsType));
        end = roundUpToChunk(rootFromLayout(plan.params).end());
    }

    // Windows: the chunks just before the end (written over), the first 4 MiB after it and the
    // card's last 1 MiB (both kept).
    struct Window {
        uint64_t first, count;
    };
    std::vector<Window> windows;
    if (c.fillAll) {
        windows.push_back({0, c.sectors});
    } else {
        const uint64_t before = std::min<uint64_t>(end, 4 * kChunk);
        windows.push_back({end - before, before + 8192});
        windows.push_back({c.sectors - 2048, 2048});
    }
    {
        ImageFile file(image);
        for (const Window& w : windows) file.fillPattern(w.first, w.count);
    }

    {
        LibraryRig rig(image, 2);
        ASSERT_TRUE(rig.open);
        std::u16string label = u"DATA";
        ASSERT_EQ(formatVolume(rig.ctx, label, false), SuccessReinsertCard);
    }

    ImageFile file(image);
    for (const Window& w : windows) {
        SCOPED_TRACE("window at " + std::to_string(w.first));
        const uint64_t last = w.first + w.count;
        if (w.first < end) {
            const uint64_t stop = std::min(end, last);
            EXPECT_EQ(file.findPattern(w.first, stop - w.first, true), stop)
                << "a sector of the system area was not written";
        }
        if (last > end) {
            const uint64_t from = std::max(end, w.first);
            EXPECT_EQ(file.findPattern(from, last - from, false), last)
                << "a sector past the root directory's last chunk was written";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Cards, QuickFormatDataArea, ::testing::ValuesIn(kDataAreaCases),
                         [](const auto& p) { return std::string(p.param.name); });

} // namespace
} // namespace brc::format_test
