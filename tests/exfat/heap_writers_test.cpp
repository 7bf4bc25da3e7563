// The exFAT FAT, allocation bitmap, up-case table and root directory, and the stream of the whole
// system area.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "base/upcase_table.h"
#include "exfat_test_support.h"

using namespace brc;
using namespace brc::exfat_test;

namespace {

constexpr uint32_t kEoc = 0xFFFFFFFFu;

// Partition at 64, cluster heap at 256: cluster sizes and bitmap lengths the worked layouts
// do not reach.
constexpr LayoutRow heapRow(uint32_t sectorsPerCluster, uint32_t maxCluster) {
    return {256 + (maxCluster - 1) * sectorsPerCluster, sectorsPerCluster, 64, 64, 64, 64, 192,
            maxCluster};
}

struct AreaCase {
    const char* name;
    LayoutRow row;
    std::vector<std::pair<uint32_t, uint32_t>> fat;  // FAT entries that must hold these values
    std::vector<uint8_t> bitmapHead;                 // the bitmap's first bytes; the rest zero
    uint32_t streamEnd;                              // first sector after the last chunk written
};

const AreaCase kAreaCases[] = {
    {"Card32GiBFourClusterBitmap", k32GiB,
     {{0, 0xFFFFFFF8u}, {1, kEoc}, {2, 3}, {3, 4}, {4, 5}, {5, kEoc}, {6, kEoc}, {7, kEoc}, {8, 0}},
     {0x3F}, 33152},
    {"Card64GiBOneClusterEach", k64GiB,
     {{0, 0xFFFFFFF8u}, {1, kEoc}, {2, kEoc}, {3, kEoc}, {4, kEoc}, {5, 0}}, {0x07}, 66304},
    {"Card1e9", k1e9, {{2, kEoc}, {3, kEoc}, {4, kEoc}, {5, 0}}, {0x07}, 132608},
    {"ThreeClusterBitmap", heapRow(64, 560001),
     {{2, 3}, {3, 4}, {4, kEoc}, {5, kEoc}, {6, kEoc}, {7, 0}}, {0x1F}, 576},
    {"RootInClusterNine", heapRow(16, 359994),
     {{2, 3}, {6, 7}, {7, kEoc}, {8, kEoc}, {9, kEoc}, {10, 0}}, {0xFF, 0x00}, 384},
    {"TwoClusterUpcaseTable", heapRow(8, 101), {{2, kEoc}, {3, 4}, {4, kEoc}, {5, kEoc}, {6, 0}},
     {0x0F}, 320},
    {"TenClustersInUse", heapRow(8, 207994), {{8, kEoc}, {9, 10}, {10, kEoc}, {11, kEoc}, {12, 0}},
     {0xFF, 0x03}, 384},
    // Partition at 50: the backup region crosses into chunk 1, the FAT starts chunk 2.
    {"UnalignedPartition", {1792, 16, 32, 50, 78, 8, 142, 101},
     {{2, kEoc}, {3, kEoc}, {4, kEoc}, {5, 0}}, {0x07}, 256},
};

class SystemArea : public ::testing::TestWithParam<AreaCase> {};

TEST_P(SystemArea, ChainsBitmapAndStreamShape) {
    const AreaCase& c = GetParam();
    Rig rig;
    ExFatState state;
    FormatParameters p = exFatParams(c.row);
    ASSERT_EQ(writeSystemArea(rig, p, c.row.userSectors, state, u"X"), 0u);

    const uint32_t fatStart = c.row.partitionStart + c.row.fatOffset;
    const Sector fat = rig.card.get(fatStart);
    for (const auto& [n, value] : c.fat) EXPECT_EQ(le32(fat.data() + 4 * n), value) << "FAT[" << n << "]";
    for (uint32_t n = p.rootFirstCluster + 1; n < 128; ++n) ASSERT_EQ(le32(fat.data() + 4 * n), 0u) << n;

    const uint32_t bitmapStart = clusterSector(p, 2);
    const Sector bitmap = rig.card.get(bitmapStart);
    for (size_t i = 0; i < 512; ++i)
        ASSERT_EQ(bitmap[i], i < c.bitmapHead.size() ? c.bitmapHead[i] : 0) << "bitmap byte " << i;

    // Only the structures hold data: the rest of the FAT and of the bitmap cluster is zero.
    const uint32_t ps = c.row.partitionStart;
    for (const auto& [s, sector] : rig.card.sectors) {
        const bool known = (s >= ps && s < ps + 24) || s == fatStart || s == bitmapStart ||
                           (s >= clusterSector(p, p.upcaseFirstCluster) &&
                            s < clusterSector(p, p.upcaseFirstCluster) + 12) ||
                           s == clusterSector(p, p.rootFirstCluster);
        EXPECT_TRUE(known) << "unexpected data in sector " << s;
    }

    // Whole chunks, each once, front to back, ending with the root directory's cluster.
    const auto writes = rig.card.written();
    ASSERT_EQ(writes.size(), (c.streamEnd - ps / 64 * 64) / 64);
    for (size_t i = 0; i < writes.size(); ++i)
        ASSERT_EQ(writes[i], std::make_pair(uint32_t(ps / 64 * 64 + 64 * i), 64u)) << i;
    EXPECT_EQ(rig.stream.writePosition, c.streamEnd);
    EXPECT_GE(c.streamEnd, clusterSector(p, p.rootFirstCluster) + c.row.sectorsPerCluster);
    EXPECT_EQ(std::count(rig.buffer.begin(), rig.buffer.end(), 0), kChunkBytes);
}

INSTANTIATE_TEST_SUITE_P(Layouts, SystemArea, ::testing::ValuesIn(kAreaCases),
                         [](const auto& param) { return std::string(param.param.name); });

// ---- Up-case table ----

std::vector<uint8_t> tableBytes() {
    std::vector<uint8_t> bytes;
    for (uint32_t i = 0; i < kUpcaseEntries; ++i) {
        bytes.push_back(static_cast<uint8_t>(kUpcaseTable[i]));
        bytes.push_back(static_cast<uint8_t>(kUpcaseTable[i] >> 8));
    }
    return bytes;
}

TEST(UpcaseTable, HasThePublishedChecksumAndUpCasesTheWholeBmp) {
    const std::vector<uint8_t> bytes = tableBytes();
    ASSERT_EQ(bytes.size(), 5836u);
    EXPECT_EQ(rotateAddChecksum(0, bytes.data(), bytes.size()), 0xE619D30Du);

    // FFFFh then a count: that many code points map to themselves. U+FFFF is stored as itself.
    std::vector<uint32_t> map;
    for (uint32_t i = 0; i < kUpcaseEntries; ++i) {
        if (kUpcaseTable[i] == 0xFFFF && map.size() < 0xFFFF && i + 1 < kUpcaseEntries)
            for (uint32_t run = kUpcaseTable[++i]; run > 0; --run) map.push_back(uint32_t(map.size()));
        else
            map.push_back(kUpcaseTable[i]);
    }
    ASSERT_EQ(map.size(), 0x10000u);
    const std::pair<uint32_t, uint32_t> cases[] = {
        {0x00E4, 0x00C4}, {0x00FF, 0x0178}, {0x00F7, 0x00F7}, {0x0131, 0x0131}, {0x03C9, 0x03A9},
        {0x03C2, 0x03A3}, {0x044F, 0x042F}, {0x0561, 0x0531}, {0x24D0, 0x24B6}, {0xFF41, 0xFF21},
        {0x4E00, 0x4E00}, {0xFFFF, 0xFFFF},
    };
    for (const auto& [from, to] : cases) EXPECT_EQ(map[from], to) << std::hex << from;
    for (uint32_t c = 0; c < 0x10000; ++c) {
        if (c < 0x80) ASSERT_EQ(map[c], (c >= 'a' && c <= 'z') ? c - 32 : c) << c;
        else ASSERT_FALSE(map[c] >= 'a' && map[c] <= 'z') << c;
    }
}

TEST(UpcaseTable, SectorsOnTheCardJoinToTheTableFollowedByZeros) {
    Rig rig;
    ExFatState state;
    FormatParameters p = exFatParams(k64GiB);
    ASSERT_EQ(writeSystemArea(rig, p, k64GiB.userSectors, state, u""), 0u);
    std::vector<uint8_t> joined;
    for (uint32_t k = 0; k < 12; ++k) {
        const Sector s = rig.card.get(clusterSector(p, 3) + k);
        joined.insert(joined.end(), s.begin(), s.end());
    }
    EXPECT_EQ(rotateAddChecksum(0, joined.data(), 5836), 0xE619D30Du);
    EXPECT_TRUE(std::equal(joined.begin(), joined.begin() + 5836, tableBytes().begin()));
    EXPECT_TRUE(std::all_of(joined.begin() + 5836, joined.end(), [](uint8_t b) { return b == 0; }));
}

// ---- Root directory ----

struct LabelCase {
    const char* name;
    const char16_t* label;
    std::u16string stored;
};

const LabelCase kLabelCases[] = {
    {"Empty", u"", u""},
    {"None", nullptr, u""},
    {"ThreeUnits", u"abc", u"abc"},
    {"ElevenUnits", u"ABCDEFGHIJK", u"ABCDEFGHIJK"},
    {"CutAtEleven", u"ABCDEFGHIJKLMN", u"ABCDEFGHIJK"},
    {"Cyrillic", u"Карта 64", u"Карта 64"},
};

class RootDirectory : public ::testing::TestWithParam<LabelCase> {};

TEST_P(RootDirectory, LabelBitmapAndUpcaseEntries) {
    const LabelCase& c = GetParam();
    Rig rig;
    ExFatState state;
    FormatParameters p = exFatParams(k64GiB);
    ASSERT_EQ(writeSystemArea(rig, p, k64GiB.userSectors, state, c.label), 0u);
    const Sector root = rig.card.get(66048);  // cluster 4
    const uint8_t* e = root.data();
    Sector expected{};
    expected[0] = 0x83;
    expected[1] = static_cast<uint8_t>(c.stored.size());
    for (size_t i = 0; i < c.stored.size(); ++i) {
        expected[2 + 2 * i] = static_cast<uint8_t>(c.stored[i]);
        expected[3 + 2 * i] = static_cast<uint8_t>(c.stored[i] >> 8);
    }
    expected[32] = 0x81;
    expected[52] = 2;                                // bitmap in cluster 2,
    expected[56] = 0xCA, expected[57] = 0xED;        // 60,874 bytes long
    expected[64] = 0x82;
    expected[68] = 0x0D, expected[69] = 0xD3, expected[70] = 0x19, expected[71] = 0xE6;
    expected[84] = 3;                                // up-case table in cluster 3,
    expected[88] = 0xCC, expected[89] = 0x16;        // 5836 bytes long
    for (int i = 0; i < 512; ++i) EXPECT_EQ(e[i], expected[i]) << "byte " << i;
}

INSTANTIATE_TEST_SUITE_P(Labels, RootDirectory, ::testing::ValuesIn(kLabelCases),
                         [](const auto& param) { return std::string(param.param.name); });

// ---- Refusals and failures ----

enum Writer { Boot, Fat, Bitmap, Upcase, Root };

TEST(ExFatWriters, RefuseFieldsThatWouldScatterWritesAndWriteNothing) {
    struct Case {
        const char* what;
        std::function<void(FormatParameters&)> spoil;
        std::vector<Writer> writers;
        uint32_t streamAhead = 0;  // sectors the stream is already past the structure's chunk
        uint32_t regionBase = 0;
        uint32_t upcaseSector = 0;
    };
    const auto unchanged = [](FormatParameters&) {};
    const std::vector<Writer> heap{Boot, Fat, Bitmap, Upcase, Root};
    const Case cases[] = {
        {"exFAT fields never derived",
         [](FormatParameters& p) { p.bitmapFirstCluster = p.upcaseFirstCluster = p.rootFirstCluster = 0; },
         heap},
        {"root before the up-case table", [](FormatParameters& p) { p.rootFirstCluster = 3; }, heap},
        {"root beyond the last cluster", [](FormatParameters& p) { p.maxCluster = 3; }, heap},
        {"no cluster size", [](FormatParameters& p) { p.sectorsPerCluster = 0; }, heap},
        {"bitmap cluster too short for the clusters in use",
         [](FormatParameters& p) { p.sectorsPerCluster = 1, p.rootFirstCluster = 5000; }, heap},
        {"stream already past the structure", unchanged, heap, 64},
        {"up-case sector beyond the table", unchanged, {Upcase}, 0, 0, 12},
        {"region base other than 0 or 12", unchanged, {Boot}, 0, 6},
        {"FAT offset inside the boot regions", [](FormatParameters& p) { p.reservedSectors = 20; },
         {Boot}},
        {"cluster heap beyond the partition",
         [](FormatParameters& p) { p.systemSectors = 124735488; }, {Boot}},
    };
    for (const Case& c : cases) {
        for (Writer w : c.writers) {
            Rig rig;
            ExFatState state;
            FormatParameters p = exFatParams(k64GiB);
            const uint32_t starts[] = {32768, 49152, 65536, 65792, 66048};  // each structure's chunk
            rig.stream.writePosition = starts[w] + c.streamAhead;
            c.spoil(p);
            uint32_t r = 0;
            switch (w) {
            case Boot: r = writeExFatBootRegion(rig.stream, p, k64GiB.userSectors, c.regionBase, state); break;
            case Fat: r = writeExFatFat(rig.stream, p); break;
            case Bitmap: r = writeExFatBitmap(rig.stream, p); break;
            case Upcase: r = writeExFatUpcaseSector(rig.stream, p, c.upcaseSector, false); break;
            case Root: r = writeExFatRootDirectory(rig.stream, p, u"A"); break;
            }
            EXPECT_EQ(r, kExFatBadLayout) << c.what << ", writer " << w;
            EXPECT_TRUE(rig.card.calls.empty()) << c.what << ", writer " << w;
            EXPECT_EQ(rig.stream.writePosition, starts[w] + c.streamAhead) << c.what;
        }
    }
}

TEST(ExFatWriters, DriverResultsStopTheAreaWhereTheyHappen) {
    struct Case {
        const char* what;
        uint32_t route, midResult, failWriteAt, failCode, result;
        size_t writes;
        uint32_t midCalls;
    };
    const Case cases[] = {
        {"write fails among the zero chunks before the FAT", 2, 0, 32768 + 192, 0x1234, 0x1234, 3, 0},
        {"write fails inside the root cluster", 2, 0, 66048 + 128, 0x607, 0x607, 522, 0},
        {"card removed before the first flush", 1, 1, kNever, 0, 2, 0, 1},
        // One card check per flush that leaves a chunk (4) and per root chunk (4).
        {"route 1 checks the card before each flush", 1, 0, kNever, 0, 0, 524, 8},
    };
    for (const Case& c : cases) {
        Rig rig(c.route);
        rig.card.fail(Op::GetMid, c.midResult);
        if (c.failWriteAt != kNever) rig.card.failSector(Op::Write, c.failWriteAt, c.failCode);
        ExFatState state;
        FormatParameters p = exFatParams(k64GiB);
        EXPECT_EQ(writeSystemArea(rig, p, k64GiB.userSectors, state, u"A"), c.result) << c.what;
        EXPECT_EQ(rig.card.written().size(), c.writes) << c.what;
        EXPECT_EQ(rig.stream.writePosition, 32768 + 64 * c.writes) << c.what;
        EXPECT_EQ(rig.card.countOf(Op::GetMid), c.midCalls) << c.what;
    }
}

} // namespace
