#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "tests/support/fake_card.h"
#include "tests/support/system_os.h"
#include "device/driver_binding.h"
#include "engine/layout.h"

using namespace brc;

namespace {

// The shared fake card, reporting a capacity through a binding of its own.
struct FakeCard : test::FakeCard {
    DriverBinding binding{test::systemOs()};
    explicit FakeCard(uint32_t user, uint32_t prot = 0, uint32_t route = 1) : test::FakeCard(user, prot) {
        install(binding, route);
    }
};

// What any layout must satisfy, whatever rule produced it.
void expectSound(const FormatParameters& f, uint32_t userSectors, uint32_t originalUser) {
    const uint64_t ps = f.partitionStart, sys = f.systemSectors, fat = f.fatSectors;
    const uint64_t mc = f.maxCluster, clusters = mc - 1;
    ASSERT_NE(f.boundaryUnit, 0u);
    EXPECT_EQ((ps + sys) % f.boundaryUnit, 0u) << "data area not on a boundary unit";
    EXPECT_LE(ps + sys + clusters * f.sectorsPerCluster, userSectors) << "clusters overrun";
    EXPECT_LE(userSectors, originalUser);
    if (f.fsType == Fat12 || f.fsType == Fat16) {
        EXPECT_GE(fat * 4096, (mc + 1) * (f.fsType == Fat12 ? 12 : 16));
        EXPECT_EQ(f.reservedSectors + 2 * fat + 32, sys);
        // Readers tell FAT12 from FAT16 by the cluster count alone.
        EXPECT_EQ(clusters < 4085, f.fsType == Fat12) << clusters;
        EXPECT_LT(clusters, 65525u);
    } else {
        EXPECT_GE(fat * 128, mc + 1);
    }
    if (f.fsType == Fat32) {
        EXPECT_GE(f.reservedSectors, 9u); // boot, FSInfo, boot 2 and their backups at 6..8
        EXPECT_EQ(f.reservedSectors + 2 * fat, sys);
        EXPECT_GE(clusters, 65525u);
    } else if (f.fsType == ExFat) {
        EXPECT_GE(f.reservedSectors, 24u);
        EXPECT_LE(f.reservedSectors + fat, sys);
        FormatParameters x = f;
        fillExFatFields(x);
        EXPECT_GE(uint64_t{x.bitmapBytes} * 8, clusters);
        EXPECT_LE(x.rootFirstCluster, mc);
    }
}

using Row = std::array<uint32_t, 11>; // type SC BU start reserved FAT system maxCluster heads spt user
Row rowOf(const FormatPlan& p) {
    const FormatParameters& f = p.params;
    return {f.fsType, f.sectorsPerCluster, f.boundaryUnit, f.partitionStart, f.reservedSectors,
            f.fatSectors, f.systemSectors, f.maxCluster, f.heads, f.sectorsPerTrack, p.userSectors};
}

} // namespace

TEST(Layout, WorkedLayouts) {
    const struct { uint32_t user, prot; bool adjust; Row want; } rows[] = {
        {15360, 0, false, {Fat12, 16, 16, 25, 1, 3, 39, 957, 2, 32, 15360}},
        {130800, 0, false, {Fat12, 32, 32, 39, 1, 12, 57, 4085, 8, 32, 130784}},
        {130900, 0, false, {Fat16, 32, 32, 63, 1, 16, 65, 4087, 8, 32, 130900}},
        {1984000, 30720, false, {Fat16, 32, 128, 249, 1, 243, 519, 61977, 32, 63, 1984000}},
        {1984000, 30720, true, {Fat16, 32, 128, 249, 1, 243, 519, 61969, 32, 63, 1983744}},
        {7744512, 0, false, {Fat32, 64, 8192, 8192, 6304, 944, 8192, 120753, 128, 63, 7744512}},
        {62333952, 0, false,
         {Fat32, 64, 8192, 8192, 1170, 7607, 16384, 973585, 255, 63, 62333952}},
        {67108864, 0, false,
         {ExFat, 64, 8192, 8192, 8192, 8192, 24576, 1048065, 255, 63, 67108864}},
        {124735488, 0, false,
         {ExFat, 256, 32768, 32768, 16384, 16384, 32768, 486993, 255, 63, 124735488}},
        {1000000000, 0, false,
         {ExFat, 512, 65536, 65536, 32768, 32768, 65536, 1952870, 255, 63, 1000000000}},
        {4211712, 0, true, {Fat16, 64, 8192, 15839, 1, 256, 545, 65517, 128, 63, 4209408}},
        // The FAT first comes out one sector short; the start moves up one boundary unit.
        {385184, 0, false, {Fat16, 32, 64, 129, 1, 47, 127, 12030, 16, 32, 385184}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::Message() << r.user << (r.adjust ? " adjusted" : ""));
        FormatPlan plan;
        ASSERT_EQ(planFormat(CardCapacity{r.user, r.prot}, u"", r.adjust, &plan), 0u);
        EXPECT_EQ(rowOf(plan), r.want);
        EXPECT_EQ(plan.params.clusterBytes, plan.params.sectorsPerCluster * 512);
        // Only the size adjustment leaves the total; a lowered FAT area does not.
        EXPECT_EQ(plan.params.cardTotalSectors, uint64_t{r.adjust ? r.want[10] : r.user} + r.prot);
        EXPECT_TRUE(plan.capacityKnown && plan.tablesChosen && plan.layoutDone);
        expectSound(plan.params, plan.userSectors, r.user);
    }
}

TEST(Layout, RefusedBandAndExFatThreshold) {
    const struct { uint32_t user; bool adjust; uint32_t rc, type; } cases[] = {
        {4153344, false, 0, Fat16}, {4153345, false, 1, 0},   {4194304, false, 1, 0},
        {4211711, false, 1, 0},     {4211711, true, 1, 0},    {4211712, false, 0, Fat32},
        {0, false, 1, 0},           {kExFatThreshold - 1, false, 0, Fat32},
        {kExFatThreshold, false, 0, ExFat},
    };
    for (const auto& c : cases) {
        FormatPlan plan;
        EXPECT_EQ(planFormat(CardCapacity{c.user, 0}, u"", c.adjust, &plan), c.rc) << c.user;
        EXPECT_EQ(plan.params.fsType, c.type) << c.user;
        // A refused band stops before the capacity is known; an empty card after the tables.
        EXPECT_EQ(plan.capacityKnown, c.rc == 0 || c.user == 0) << c.user;
    }
}

TEST(Layout, GeometryClusterAndBoundaryTables) {
    // Each row holds up to and including its limit; one more takes the next row.
    const uint64_t big = uint64_t{1} << 40;
    const std::array<uint64_t, 3> chs[] = {
        {4096, 2, 16},     {32768, 2, 32},    {65536, 4, 32},    {262144, 8, 32},
        {524288, 16, 32},  {1032192, 16, 63}, {2064384, 32, 63}, {4128768, 64, 63},
        {8257536, 128, 63}, {big, 255, 63},
    };
    const std::array<uint64_t, 3> tables[] = {
        {16384, 16, 16},         {131072, 32, 32},         {524288, 32, 64},
        {2097152, 32, 128},      {4194304, 64, 128},       {67108864, 64, 8192},
        {268435456, 256, 32768}, {1073741824, 512, 65536}, {uint64_t{1} << 32, 1024, 131072},
        {big, 1024, 131072},
    };
    for (size_t i = 0; i + 1 < std::size(chs); ++i) {
        for (const uint64_t total : {chs[i][0], chs[i][0] + 1}) {
            FormatParameters f{};
            chooseGeometry(total, f);
            const auto& want = total == chs[i][0] ? chs[i] : chs[i + 1];
            EXPECT_EQ((std::array<uint64_t, 3>{want[0], f.heads, f.sectorsPerTrack}), want) << total;
        }
    }
    for (size_t i = 0; i + 1 < std::size(tables); ++i) {
        for (const uint64_t total : {tables[i][0], tables[i][0] + 1}) {
            FormatParameters f{};
            chooseClusterAndBoundary(total, f);
            const auto& want = total == tables[i][0] ? tables[i] : tables[i + 1];
            EXPECT_EQ((std::array<uint64_t, 3>{want[0], f.sectorsPerCluster, f.boundaryUnit}), want)
                << total;
        }
    }
}

TEST(Layout, SizeAdjustmentKeepsUnadjustedGeometry) {
    // One above the 16-head limit: 32 x 63 stays although the adjusted total is back under it.
    uint32_t user = 0;
    FormatParameters f{};
    ASSERT_EQ(computeCapacity(CardCapacity{1032193, 0}, user, f, true), 0u);
    EXPECT_EQ((std::array<uint64_t, 4>{f.heads, f.sectorsPerTrack, user, f.cardTotalSectors}),
              (std::array<uint64_t, 4>{32, 63, 1032192, 1032192}));
}

TEST(Layout, TypeLimitsPerBoundaryUnit) {
    // low = L12 or L16, high = H16 or T32. Between them the lower type is kept and the user
    // area is cut to `low`.
    const struct { uint32_t bu, sc, low, high; FsType lowType, highType; } rows[] = {
        {32, 32, 130784, 130848, Fat12, Fat16},      {64, 32, 130816, 130912, Fat12, Fat16},
        {128, 64, 4194304, 4194880, Fat16, Fat32},   {8192, 64, 4209920, 4209984, Fat16, Fat32},
    };
    for (const auto& r : rows) {
        const struct { uint32_t ts; FsType type; uint32_t after; } probes[] = {
            {r.low, r.lowType, r.low},      {r.low + 1, r.lowType, r.low},
            {r.high - 1, r.lowType, r.low}, {r.high, r.highType, r.high},
        };
        for (const auto& p : probes) {
            SCOPED_TRACE(testing::Message() << "BU " << r.bu << " TS " << p.ts);
            FormatParameters f{};
            f.boundaryUnit = r.bu;
            f.sectorsPerCluster = r.sc;
            uint32_t ts = p.ts;
            ASSERT_EQ(computeLayout(ts, f), 0u);
            EXPECT_EQ(f.fsType, uint32_t{p.type});
            EXPECT_EQ(ts, p.after);
            expectSound(f, ts, p.ts);
        }
    }
}

TEST(Layout, NoValidLayout) {
    FormatParameters f{};
    uint32_t ts = 1000000;
    EXPECT_EQ(computeLayout(ts, f), 1u); // no cluster size or boundary unit chosen
    f.boundaryUnit = f.sectorsPerCluster = 16;
    ts = 40; // smaller than the system area
    EXPECT_EQ(computeLayout(ts, f), 1u);
    EXPECT_EQ(ts, 40u);
    // A protected area far larger than the user area picks clusters too big for the type the
    // user area selects: refused rather than written as a volume readers would misread.
    // The last lifts the total past 32 GiB under a FAT32 user area: 256-sector clusters, which
    // a FAT boot sector cannot hold.
    const std::array<uint32_t, 2> cards[] = {
        {40, 0}, {140000, 2000000}, {5000000, 70000000}, {67000000, 200000}};
    for (const auto& c : cards) {
        FormatPlan plan;
        EXPECT_EQ(planFormat(CardCapacity{c[0], c[1]}, u"", false, &plan), 1u) << c[0];
        EXPECT_TRUE(plan.tablesChosen && !plan.layoutDone);
    }
}

TEST(Layout, InvariantsAcrossCapacities) {
    // Protected areas of real cards are about 1 % of the user area. 33,538,016 needs a FAT32
    // reserved area of more than one boundary unit.
    std::vector<uint64_t> users = {33538016, UINT32_MAX};
    for (uint64_t user = 64; user < UINT32_MAX; user = user * 21 / 20 + 1) users.push_back(user);
    for (const uint64_t user : users) {
        for (const uint32_t prot : {0u, static_cast<uint32_t>(user / 100)}) {
            for (const bool adjust : {false, true}) {
                SCOPED_TRACE(testing::Message() << user << " + " << prot << " adj " << adjust);
                FormatPlan plan;
                const uint32_t rc =
                    planFormat(CardCapacity{static_cast<uint32_t>(user), prot}, u"", adjust, &plan);
                if (user < 1024 || (user >= kRefusedBandFirst && user <= kRefusedBandLast)) {
                    EXPECT_TRUE(user < 1024 || rc == 1);
                    if (rc != 0) continue;
                }
                ASSERT_EQ(rc, 0u);
                expectSound(plan.params, plan.userSectors, static_cast<uint32_t>(user));
            }
        }
    }
}

TEST(Layout, ChunkAndExFatFields) {
    // FAT32 keeps six sectors at the partition start + 0, 1, 2, 6, 7, 8; the start decides
    // which of them fall into the next 64-sector chunk. Other types use the boot chunk for all.
    FormatParameters f{};
    f.reservedSectors = 10;
    f.fatSectors = 100;
    const auto chunks = [&f](uint32_t type) {
        f.fsType = type;
        fillChunkFields(f);
        return std::array<uint32_t, 9>{f.bootChunk,       f.fsInfoChunk,       f.bootSector2Chunk,
                                       f.backupBootChunk, f.backupFsInfoChunk, f.backupBootSector2Chunk,
                                       f.fat1Chunk,       f.fat2Chunk,         f.dataChunk};
    };
    const struct { uint32_t start; std::array<uint32_t, 9> fat32; } rows[] = {
        {56, {0, 0, 0, 0, 0, 1, 1, 2, 4}}, {57, {0, 0, 0, 0, 1, 1, 1, 2, 4}},
        {58, {0, 0, 0, 1, 1, 1, 1, 2, 4}}, {62, {0, 0, 1, 1, 1, 1, 1, 2, 4}},
        {63, {0, 1, 1, 1, 1, 1, 1, 2, 4}},
    };
    for (const auto& r : rows) {
        f.partitionStart = r.start;
        EXPECT_EQ(chunks(Fat32), r.fat32) << r.start;
        EXPECT_EQ(chunks(Fat16), (std::array<uint32_t, 9>{0, 0, 0, 0, 0, 0, 1, 2, 4})) << r.start;
    }

    // exFAT at 2^26 sectors: 1,048,064 clusters need 131,008 bitmap bytes, four 32 KiB clusters.
    FormatPlan plan;
    ASSERT_EQ(planFormat(CardCapacity{kExFatThreshold, 0}, u"", false, &plan), 0u);
    fillExFatFields(plan.params);
    const FormatParameters& x = plan.params;
    EXPECT_EQ((std::array<uint32_t, 5>{x.bitmapFirstCluster, x.bitmapBytes, x.upcaseFirstCluster,
                                       x.upcaseBytes, x.rootFirstCluster}),
              (std::array<uint32_t, 5>{2, 131008, 6, 5836, 7}));
}

TEST(Layout, DriverResultsAndMapping) {
    const struct { uint32_t route, identifyRc, secureRc; int32_t want; } cases[] = {
        {1, 0, 0, Success},          {2, 0x600, 0, OutOfMemory}, {2, 0, 0x600, OutOfMemory},
        {1, 0x600, 0, Failed},       {1, 4, 0, WriteProtected},  {1, 0, 5, InvalidLabel},
        {2, 0x1004, 0, OutOfMemory}, {1, 0x103, 0, Failed},      {2, 0, 0x607, Failed},
    };
    for (const auto& c : cases) {
        FakeCard card(15360, 0, c.route);
        card.fail(test::Op::Identify, c.identifyRc);
        card.fail(test::Op::SecureIdentify, c.secureRc);
        FormatPlan plan;
        const uint32_t driverRc = c.identifyRc != 0 ? c.identifyRc : c.secureRc;
        EXPECT_EQ(planFormat(card.binding, u"", false, &plan), driverRc);
        EXPECT_EQ(plan.capacityKnown, driverRc == 0);
        EXPECT_EQ(checkFormatPlan(u"", false, card.binding), c.want) << c.identifyRc << "/" << c.secureRc;
    }
    DriverBinding unbound{test::systemOs()};
    EXPECT_EQ(checkFormatPlan(u"", false, unbound), Failed);
    // A capacity the layout refuses (the band, or no layout at all) is a failed format.
    for (const uint32_t user : {4194304u, 40u}) {
        FakeCard refused(user);
        EXPECT_EQ(checkFormatPlan(u"", false, refused.binding), Failed) << user;
    }

    FakeCard card(15360);
    FormatPlan plan;
    EXPECT_EQ(checkFormatPlan(u"a\tb", false, card.binding, &plan), InvalidLabel);
    EXPECT_TRUE(plan.layoutDone);
    EXPECT_EQ(plan.labelBits, 2u);
    // The label is checked for the type chosen: "a.b" suits exFAT but not FAT.
    FakeCard fat16(1984000);
    EXPECT_EQ(checkFormatPlan(u"a.b", false, fat16.binding), InvalidLabel);
    FakeCard exfat(kExFatThreshold);
    EXPECT_EQ(checkFormatPlan(u"a.b", false, exfat.binding), Success);
}
