// The main dialog's view of a drive: which drives are listed, what capacity, unit and picture a
// card shows, how the partition table can stand in for the card's size, and the probes' route
// bookkeeping (every switch a probe makes is undone).
#include <gtest/gtest.h>

#include <cstring>

#include "app/drive_probes.h"
#include "base/little_endian.h"
#include "device/driver_binding.h"
#include "device/system_checks.h"
#include "tests/support/fake_os.h"
#include "tests/support/fake_card.h"

namespace brc {
namespace {

TEST(DriveCapacity, ValueUnitPictureAndUsability) {
    const struct { uint32_t sectors; uint16_t bps; bool usable; CardPicture picture; const char16_t* value; const char16_t* unit; } rows[] = {
        // Cards people own.
        {3970048, 512, true, PictureSd, u"1.89", u"GB"},
        {7744512, 512, true, PictureSdhc, u"3.69", u"GB"},
        {15523840, 512, true, PictureSdhc, u"7.40", u"GB"},   // the trailing zero stays
        {62333952, 512, true, PictureSdhc, u"29.7", u"GB"},
        {122142720, 512, true, PictureSdxc, u"58.2", u"GB"},
        // Each row of the table at its lower edge, and one below it.
        {2047, 512, true, PictureSd, u"1023", u"KB"},         {2048, 512, true, PictureSd, u"1.00", u"MB"},
        {20479, 512, true, PictureSd, u"9.99", u"MB"},        {20480, 512, true, PictureSd, u"10.0", u"MB"},
        {204799, 512, true, PictureSd, u"99.9", u"MB"},       {204800, 512, true, PictureSd, u"100", u"MB"},
        {2097151, 512, true, PictureSd, u"1023", u"MB"},      {2097152, 512, true, PictureSd, u"1.00", u"GB"},
        {20971519, 512, true, PictureSdhc, u"9.99", u"GB"},   {20971520, 512, true, PictureSdhc, u"10.0", u"GB"},
        {209715199, 512, true, PictureSdxc, u"99.9", u"GB"},  {209715200, 512, true, PictureSdxc, u"100", u"GB"},
        {2147483647, 512, true, PictureSdxc, u"1023", u"GB"}, {2147483648u, 512, true, PictureSdxc, u"1.00", u"TB"},
        {4294967294u, 512, true, PictureSdxc, u"1.99", u"TB"},
        // The picture limits: 2 GiB and 32 GiB are still the smaller kind.
        {4194304, 512, true, PictureSd, u"2.00", u"GB"},      {4194305, 512, true, PictureSdhc, u"2.00", u"GB"},
        {67108864, 512, true, PictureSdhc, u"32.0", u"GB"},   {67108865, 512, true, PictureSdxc, u"32.0", u"GB"},
        // 2 TiB is the largest usable size; a 2048-byte card with no sectors is not usable.
        // The display counts 512-byte sectors in 32 bits, so exactly 2 TiB wraps to nothing.
        {1073741824, 2048, true, PictureSdxc, u"0", u"KB"}, {1073741825, 2048, false, PictureSdxc, u"", u""},
        {0, 2048, false, PictureSd, u"", u""},                 {0, 512, true, PictureSd, u"0", u"KB"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::Message() << r.sectors << " x " << r.bps);
        EXPECT_EQ(isUsableCard(r.sectors, r.bps), r.usable);
        if (!r.usable) continue;
        const uint64_t size = uint64_t{r.sectors} * r.bps;
        EXPECT_EQ(pictureForSize(size), r.picture);
        const CapacityText t = capacityText(size);
        EXPECT_FALSE(t.unknown);
        EXPECT_EQ(t.value, r.value);
        EXPECT_EQ(t.unit, r.unit);
    }
    // The reserved all-ones card: "unknown", three blanks, still an SDXC card that formats.
    const uint64_t allOnes = uint64_t{4294967295u} * 512;
    const CapacityText t = capacityText(allOnes);
    EXPECT_TRUE(t.unknown);
    EXPECT_EQ(t.unit, u"   ");
    EXPECT_EQ(pictureForSize(allOnes), PictureSdxc);
    EXPECT_TRUE(isUsableCard(4294967295u, 512));
}

std::array<uint8_t, 512> partitionTable(std::initializer_list<std::pair<uint32_t, uint32_t>> entries,
                                        bool signature = true) {
    std::array<uint8_t, 512> s{};
    int n = 0;
    for (const auto& [first, count] : entries) {
        put32(&s[446 + 16 * n + 8], first);
        put32(&s[446 + 16 * n + 12], count);
        ++n;
    }
    if (signature) {
        s[510] = 0x55;
        s[511] = 0xAA;
    }
    return s;
}

TEST(PartitionTable, EntryOneStandsForTheCardOnlyWhenTheTableIsSound) {
    const struct { const char* name; std::array<uint8_t, 512> sector; bool valid; } rows[] = {
        {"one entry", partitionTable({{8192, 1000000}}), true},
        {"no signature", partitionTable({{8192, 1000000}}, false), false},
        {"empty entry 1", partitionTable({{0, 0}}), false},
        {"all-ones entry 1", partitionTable({{0xFFFFFFFF, 0xFFFFFFFF}}), false},
        {"zero start, all-ones count", partitionTable({{0, 0xFFFFFFFF}}), false},
        {"count only", partitionTable({{0, 5000}}), true},
        {"past 2^32", partitionTable({{8192, 0xFFFFF000}}), false},
        {"up to 2^32", partitionTable({{4096, 0xFFFFF000}}), true},
        {"entry 2 overlaps entry 1", partitionTable({{8192, 1000}, {9000, 1000}}), false},
        {"entry 2 before entry 1, touching", partitionTable({{8192, 1000}, {7192, 1000}}), true},
        {"entry 2 after entry 1", partitionTable({{8192, 1000}, {9192, 1000}}), true},
        {"entry 3 overlaps entry 2", partitionTable({{8192, 1000}, {10000, 100}, {10050, 100}}), false},
        {"entry 4 overlaps entry 2", partitionTable({{8192, 1000}, {10000, 100}, {0, 0}, {10099, 1}}), false},
        {"a later empty entry is ignored", partitionTable({{8192, 1000}, {10000, 100}, {0, 0}, {0, 0}}), true},
        {"entry 2 without sectors is not compared", partitionTable({{8192, 1000}, {8500, 0}}), true},
    };
    for (const auto& r : rows) {
        uint32_t sectors = 77;
        EXPECT_EQ(partitionOneSectors(r.sector.data(), sectors), r.valid) << r.name;
        EXPECT_EQ(sectors, r.valid ? le32(&r.sector[446 + 12]) : 77u) << r.name;
    }
}

TEST(FormatOptionsText, SummaryAndEraseFallback) {
    const struct { FormatType type; uint32_t off, on; FormatType noErase; } rows[] = {
        {Quick, 232, 233, Quick},
        {FullOverwrite, 236, 237, FullOverwrite},
        {FullErase, 263, 264, Quick},
        {FullOverwriteErase, 234, 235, FullOverwrite},
        {static_cast<FormatType>(9), 234, 235, static_cast<FormatType>(9)},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(optionsSummaryId(r.type, false), r.off) << r.type;
        EXPECT_EQ(optionsSummaryId(r.type, true), r.on) << r.type;
        EXPECT_EQ(withoutErase(r.type), r.noErase) << r.type;
    }
}

// Two scripted libraries, one per route, each its own fake card, in drive E:.
struct ProbeRig {
    FakeOs os;
    test::FakeCard route1{15523840}, route2{15523840};
    DriverBinding driver{os};
    SystemState sys{os};
    ProbeContext ctx{driver, sys};
    const std::u16string root = u"E:\\";

    explicit ProbeRig(uint32_t bound = 2) {
        route1.addTo(os, driverFileName(1, false), 1);
        route2.addTo(os, driverFileName(2, false), 2);
        os.driveTypes[root] = DriveRemovable;
        EXPECT_EQ(bindDriver(driver, bound), BindResult::Bound);
    }
};

TEST(ProbeSdDrive, Route2AsksTheSystemForTheSize) {
    const struct { const char* name; bool floppy; std::optional<uint64_t> total; std::optional<uint32_t> infoError; int32_t want; } rows[] = {
        {"a card", false, uint64_t{8} << 30, std::nullopt, 1},
        {"2 TiB", false, uint64_t{1} << 41, std::nullopt, 1},
        {"over 2 TiB", false, (uint64_t{1} << 41) + 1, std::nullopt, 0},
        {"a floppy", true, uint64_t{1474560}, std::nullopt, 0},
        {"no size, a readable volume", false, std::nullopt, 0u, 0},
        {"no size, not ready", false, std::nullopt, kErrorNotReady, 0},
        {"no size, unformatted", false, std::nullopt, 1005u, 1},
        {"size 0, unformatted", false, uint64_t{0}, 1005u, 1},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        ProbeRig rig;
        if (r.floppy) rig.os.devicePaths[u'E'] = u"\\Device\\Floppy0";
        if (r.total) rig.os.freeSpaces[rig.root] = {0, *r.total};
        if (r.infoError && *r.infoError == 0) rig.os.volumes[rig.root] = VolumeInfo{};
        else if (r.infoError) rig.os.volumeInfoErrors[rig.root] = *r.infoError;
        EXPECT_EQ(probeSdDrive(rig.ctx, rig.root), r.want);
        EXPECT_EQ(isFormattableDrive(rig.ctx, rig.root), r.want == 1 ? 1u : 0u);
        rig.os.driveTypes[rig.root] = DriveFixed;
        EXPECT_EQ(isFormattableDrive(rig.ctx, rig.root), 0u) << "only removable drives";
        EXPECT_EQ(rig.driver.driverRoute, 2u);
    }
}

TEST(ProbeSdDrive, Route1AsksTheCardAndTriesTheOtherRouteOnce) {
    const struct { const char* name; uint32_t flags1; uint32_t fail1; uint32_t fail2; uint32_t flags2; int32_t want; } rows[] = {
        {"an SD card", SDHOST_CHK_QUALIFIES, 0, 0, 0, 1},
        {"not an SD card", 0, 0, 0, 0, 0},
        {"route 1 fails, route 2 answers", 0, 0x103, 0, SDHOST_CHK_QUALIFIES, 1},
        {"both fail", 0, 0x103, 0x103, 0, -1},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        ProbeRig rig(1);
        rig.route1.checkFlags = r.flags1;
        rig.route2.checkFlags = r.flags2;
        rig.route1.fail(test::Op::CheckCard, r.fail1);
        rig.route2.fail(test::Op::CheckCard, r.fail2);
        EXPECT_EQ(probeSdDrive(rig.ctx, rig.root), r.want);
        EXPECT_EQ(rig.driver.driverRoute, 1u) << "the route the probe found is bound again";
    }
}

TEST(ReadCardGeometry, IdentifiesAndUndoesItsSwitches) {
    const auto table = partitionTable({{8192, 15515648}});
    const struct { const char* name; uint32_t bound; bool tableOnCard; uint32_t init2Fails; uint32_t identifyFails; uint32_t want; uint32_t sectors; } rows[] = {
        {"route 2: the card's user area", 2, true, 0, 0, 1, 15523840},
        {"route 1: the partition's size", 1, true, 0, 0, 1, 15515648},
        {"route 1 without a table", 1, false, 0, 0, 1, 15523840},
        {"route 2 cannot open: route 1 reads it", 2, true, 0x103, 0, 1, 15515648},
        {"route 2 cannot open, route 1 cannot identify", 2, true, 0x103, 0x103, 0, 0},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        ProbeRig rig(r.bound);
        if (r.tableOnCard) rig.route1.put(0, table.data());
        rig.route2.fail(test::Op::Init, r.init2Fails);
        rig.route1.fail(test::Op::Identify, r.identifyFails);
        uint32_t sectors = 0;
        uint16_t bps = 0;
        EXPECT_EQ(readCardGeometry(rig.ctx, rig.root, sectors, bps), r.want);
        EXPECT_EQ(sectors, r.sectors);
        EXPECT_EQ(bps, r.want ? 512u : 0u);
        EXPECT_EQ(rig.driver.driverRoute, 2u) << "route 2 is bound again";
        for (test::FakeCard* card : {&rig.route1, &rig.route2}) {
            const auto b = card->balance();
            EXPECT_EQ(b.opened, b.closed) << "a card left open";
        }
        EXPECT_EQ(rig.os.calls.front().rfind("loadLibrary", 0), 0u);
        EXPECT_NE(std::find(rig.os.calls.begin(), rig.os.calls.end(), "wakeDrive E:\\test"), rig.os.calls.end());
    }
}

TEST(ProbeEraseSupport, OnlyACardThatAnswersOnRoute1) {
    for (const bool midFails : {false, true}) {
        ProbeRig rig;
        rig.route1.fail(test::Op::GetMid, midFails ? 0x103u : 0u);
        EXPECT_EQ(probeEraseSupport(rig.ctx, rig.root), midFails ? 0u : 1u);
        EXPECT_EQ(rig.driver.driverRoute, 2u);
        EXPECT_EQ(rig.route1.balance().opened, rig.route1.balance().closed);
    }
    ProbeRig rig;
    rig.route1.fail(test::Op::Init, 0x103);
    EXPECT_EQ(probeEraseSupport(rig.ctx, rig.root), 0u);
    EXPECT_EQ(rig.driver.driverRoute, 2u);
}

} // namespace
} // namespace brc
