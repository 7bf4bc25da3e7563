// The exFAT boot regions: boot sector fields, serial, checksum and OEM parameters.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "exfat_test_support.h"

using namespace brc;
using namespace brc::exfat_test;

namespace {

// Partition at 64 with the FAT in the regions' chunk; clusters 2 to 4 of 100 in use.
constexpr LayoutRow kSmall{1728, 16, 32, 64, 32, 8, 64, 101};

struct BootCase {
    const char* name;
    LayoutRow row;
    uint64_t volumeLength;
    uint32_t clusterCount, rootCluster;
    uint8_t clusterShift, percentInUse;
};

const BootCase kBootCases[] = {
    {"Card32GiB", k32GiB, 67100672, 1048064, 7, 6, 0},
    {"Card64GiB", k64GiB, 124702720, 486992, 4, 8, 0},
    {"Card1e9", k1e9, 999934464, 1952869, 4, 9, 0},
    {"SmallCardWithUsedShare", kSmall, 1664, 100, 4, 4, 3},
};

class BootRegion : public ::testing::TestWithParam<BootCase> {};

TEST_P(BootRegion, FieldsChecksumAndBackupAreExact) {
    const BootCase& c = GetParam();
    Rig rig;
    FixedClock clock;
    ExFatState state;
    state.clock = &clock.clock;
    FormatParameters p = exFatParams(c.row);
    ASSERT_EQ(writeSystemArea(rig, p, c.row.userSectors, state, u""), 0u);

    const uint32_t ps = c.row.partitionStart;
    const Sector boot = rig.card.get(ps);
    const uint8_t* b = boot.data();
    const uint8_t head[11] = {0xEB, 0x76, 0x90, 'E', 'X', 'F', 'A', 'T', ' ', ' ', ' '};
    EXPECT_EQ(std::memcmp(b, head, 11), 0);
    for (int i = 11; i < 64; ++i) EXPECT_EQ(b[i], 0) << "MustBeZero byte " << i;
    EXPECT_EQ(le64(b + 64), ps);
    EXPECT_EQ(le64(b + 72), c.volumeLength);
    EXPECT_EQ(le32(b + 80), c.row.fatOffset);
    EXPECT_EQ(le32(b + 84), c.row.fatLength);
    EXPECT_EQ(le32(b + 88), c.row.clusterHeapOffset);
    EXPECT_EQ(le32(b + 92), c.clusterCount);
    EXPECT_EQ(le32(b + 96), c.rootCluster);
    EXPECT_EQ(le32(b + 100), 0xA1B2C3D4u);  // low bytes of the four draws, first draw highest
    EXPECT_EQ(le16(b + 104), 0x0100);
    EXPECT_EQ(le16(b + 106), 0);
    const uint8_t shiftsAndCounts[5] = {9, c.clusterShift, 1, 0x80, c.percentInUse};
    EXPECT_EQ(std::memcmp(b + 108, shiftsAndCounts, 5), 0);
    for (int i = 113; i < 120; ++i) EXPECT_EQ(b[i], 0) << "reserved byte " << i;
    for (int i = 120; i < 510; ++i) ASSERT_EQ(b[i], 0xF4) << "boot code byte " << i;
    EXPECT_EQ(le16(b + 510), 0xAA55);

    // One serial per format, from a generator seeded with the time; the backup reuses it.
    EXPECT_EQ(clock.seeds, std::vector<uint32_t>{clock.seconds});
    EXPECT_EQ(clock.drawn, 4u);
    EXPECT_EQ(p.volumeSerial, 0xA1B2C3D4u);

    for (uint32_t i = 1; i <= 8; ++i) {
        Sector extended{};
        extended[510] = 0x55;
        extended[511] = 0xAA;
        EXPECT_TRUE(rig.card.get(ps + i) == extended) << "extended boot sector " << i;
    }
    EXPECT_TRUE(rig.card.get(ps + 10) == Sector{}) << "reserved sector";

    uint32_t sum = rotateAddChecksum(0, b, 512, true);
    for (uint32_t i = 1; i <= 10; ++i) sum = rotateAddChecksum(sum, rig.card.get(ps + i).data(), 512);
    const Sector checksum = rig.card.get(ps + 11);
    for (uint32_t j = 0; j < 128; ++j) ASSERT_EQ(le32(checksum.data() + 4 * j), sum) << j;

    for (uint32_t i = 0; i < 12; ++i)
        EXPECT_TRUE(rig.card.get(ps + i) == rig.card.get(ps + 12 + i)) << "backup sector " << i;
}

INSTANTIATE_TEST_SUITE_P(Layouts, BootRegion, ::testing::ValuesIn(kBootCases),
                         [](const auto& param) { return std::string(param.param.name); });

TEST(ExFatBootChecksum, SkipsOnlyVolumeFlagsAndPercentInUseOfTheBootSector) {
    Rig rig;
    ExFatState state;
    FormatParameters p = exFatParams(kSmall);
    ASSERT_EQ(writeSystemArea(rig, p, kSmall.userSectors, state, u""), 0u);
    const Sector boot = rig.card.get(kSmall.partitionStart);
    const uint32_t base = exFatBootChecksum(0, boot.data(), true);
    for (int offset : {106, 107, 112, 0, 100, 105, 108, 111, 113, 511}) {
        Sector changed = boot;
        changed[offset] ^= 0x5A;
        const bool skipped = offset == 106 || offset == 107 || offset == 112;
        EXPECT_EQ(exFatBootChecksum(0, changed.data(), true) == base, skipped) << offset;
        EXPECT_NE(exFatBootChecksum(3, changed.data(), false), exFatBootChecksum(3, boot.data(), false));
    }
}

// ---- OEM parameters ----

using Record = std::array<uint8_t, 48>;

Record flashRecord(uint32_t eraseBlockBytes, uint8_t pageSizeHigh, uint8_t reserved) {
    Record r{};
    std::memcpy(r.data(), kFlashParametersGuid, 16);
    for (int i = 0; i < 4; ++i) r[16 + i] = static_cast<uint8_t>(eraseBlockBytes >> (8 * i));
    r[21] = pageSizeHigh;
    r[44] = reserved;
    return r;
}

Record vendorRecord(uint8_t tag) {
    Record r{};
    for (int i = 0; i < 48; ++i) r[i] = static_cast<uint8_t>(tag + i * 7);
    return r;
}

const Record kZeroFlash = flashRecord(0, 0, 0), kFlashA = flashRecord(0x400000, 0x02, 0x77),
             kFlashB = flashRecord(0x800000, 0x10, 0x55);
// What the 64 GiB layout writes: EraseBlockSize 32768 * 512 = 01000000h, all else zero.
const Record kRebuilt = flashRecord(0x01000000, 0, 0);

constexpr uint32_t kOldStart = 2048;

// An earlier exFAT volume at sector 2048 whose main OEM parameters sector holds `slots`.
void putOldVolume(test::FakeCard& card, const std::vector<std::pair<int, Record>>& slots) {
    Sector mbr{}, boot{}, oem{};
    mbr[450] = 0x07;
    mbr[455] = kOldStart >> 8;  // start sector 2048
    mbr[460] = 0x0F;            // 983,040 sectors
    mbr[510] = boot[510] = 0x55;
    mbr[511] = boot[511] = 0xAA;
    std::memcpy(boot.data(), "\xEB\x76\x90" "EXFAT   ", 11);
    boot[105] = 0x01;
    for (const auto& [slot, record] : slots) std::memcpy(oem.data() + 48 * slot, record.data(), 48);
    card.put(0, mbr.data());
    card.put(kOldStart, boot.data());
    card.put(kOldStart + 9, oem.data());
}

struct OemCase {
    const char* name;
    bool oldVolume;
    std::vector<std::pair<int, Record>> oldSlots;
    bool carried;                // an old OEM parameters sector was read
    std::vector<Record> table;   // held after reading the card
    std::vector<Record> sector;  // records of the new OEM parameters sectors
};

std::vector<OemCase> oemCases() {
    const Record v1 = vendorRecord(1), v2 = vendorRecord(2);
    std::vector<Record> ten, nine;
    std::vector<std::pair<int, Record>> tenSlots;
    for (int i = 0; i < 10; ++i) {
        ten.push_back(vendorRecord(static_cast<uint8_t>(0x10 + i)));
        tenSlots.emplace_back(i, ten.back());
    }
    nine.assign(ten.begin(), ten.begin() + 9);
    auto nineThenFlash = tenSlots;
    nineThenFlash[9].second = kFlashA;
    auto nineTable = nine, nineSector = nine;
    nineTable.push_back(kFlashA);
    nineSector.push_back(kRebuilt);
    return {
        {"FreshCard", false, {}, false, {}, {kRebuilt}},
        {"FlashAndVendorCarriedOver", true, {{0, kFlashA}, {3, v1}}, true, {kFlashA, v1}, {kRebuilt, v1}},
        {"OnlyTheFirstOfTwoFlashRecords", true, {{0, v1}, {2, kFlashA}, {4, kFlashB}, {7, v2}}, true,
         {v1, kFlashA, v2}, {v1, kRebuilt, v2}},
        {"VendorOnlyGetsAFlashRecord", true, {{5, v1}}, true, {v1, kZeroFlash}, {v1, kRebuilt}},
        {"TenVendorRecordsLeaveNoRoom", true, tenSlots, true, ten, ten},
        {"FlashInTheLastSlot", true, nineThenFlash, true, nineTable, nineSector},
    };
}

class OemParameters : public ::testing::TestWithParam<OemCase> {};

TEST_P(OemParameters, OldRecordsReachBothRegions) {
    const OemCase& c = GetParam();
    Rig rig;
    if (c.oldVolume) putOldVolume(rig.card, c.oldSlots);
    ExFatState state;
    addOemParameter(state.oemParameterTable, vendorRecord(0x99).data());  // an earlier format's

    EXPECT_EQ(readOldOemParameters(rig.driver, state), c.carried);
    std::vector<Record> table;
    for (Record r; getOemParameter(state.oemParameterTable, static_cast<uint32_t>(table.size()), r.data());)
        table.push_back(r);
    EXPECT_EQ(table, c.table);

    FormatParameters p = exFatParams(k64GiB);
    ASSERT_EQ(writeSystemArea(rig, p, k64GiB.userSectors, state, u""), 0u);
    for (uint32_t base : {0u, 12u}) {
        const Sector oem = rig.card.get(k64GiB.partitionStart + base + 9);
        for (size_t i = 0; i < 10; ++i) {
            Record got;
            std::memcpy(got.data(), oem.data() + 48 * i, 48);
            EXPECT_TRUE(got == (i < c.sector.size() ? c.sector[i] : Record{}))
                << "region " << base << " slot " << i;
        }
        for (int i = 480; i < 512; ++i) EXPECT_EQ(oem[i], 0) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Cards, OemParameters, ::testing::ValuesIn(oemCases()),
                         [](const auto& param) { return std::string(param.param.name); });

TEST(ReadOldOemParameters, AnythingButAReadableExFatVolumeLeavesAnEmptyTable) {
    const auto patch = [](test::FakeCard& card, uint32_t sector, uint32_t offset, uint8_t value) {
        Sector s = card.get(sector);
        s[offset] = value;
        card.put(sector, s.data());
    };
    struct Case {
        const char* what;
        std::function<void(test::FakeCard&)> spoil;
    };
    const Case cases[] = {
        {"no boot signature", [&](test::FakeCard& c) { patch(c, 0, 511, 0); }},
        {"partition type 0Ch", [&](test::FakeCard& c) { patch(c, 0, 450, 0x0C); }},
        {"start sector 0", [&](test::FakeCard& c) { patch(c, 0, 455, 0); }},
        {"sector count 0", [&](test::FakeCard& c) { patch(c, 0, 460, 0); }},
        {"another file system", [&](test::FakeCard& c) { patch(c, kOldStart, 3, 'F'); }},
        {"nonzero MustBeZero", [&](test::FakeCard& c) { patch(c, kOldStart, 63, 1); }},
        {"revision 1.1", [&](test::FakeCard& c) { patch(c, kOldStart, 104, 1); }},
        {"sector 0 unreadable", [](test::FakeCard& c) { c.failSector(Op::Read, 0, SDHOST_ERR_IO); }},
        {"boot sector unreadable", [](test::FakeCard& c) { c.failSector(Op::Read, kOldStart, SDHOST_ERR_IO); }},
        {"OEM sector unreadable", [](test::FakeCard& c) { c.failSector(Op::Read, kOldStart + 9, SDHOST_ERR_IO); }},
        {"OEM sector past the last sector number",
         [&](test::FakeCard& c) {
             // A volume at FFFFFFFAh: its sector 9 does not exist and must not wrap to sector 3.
             const Sector boot = c.get(kOldStart), oem = c.get(kOldStart + 9);
             c.put(0xFFFFFFFAu, boot.data());
             c.put(3, oem.data());
             for (uint32_t i : {454u, 455u, 456u, 457u}) patch(c, 0, i, i == 454 ? 0xFA : 0xFF);
         }},
    };
    for (const Case& c : cases) {
        Rig rig;
        putOldVolume(rig.card, {{0, vendorRecord(5)}});
        c.spoil(rig.card);
        ExFatState state;
        addOemParameter(state.oemParameterTable, vendorRecord(0x99).data());
        EXPECT_FALSE(readOldOemParameters(rig.driver, state)) << c.what;
        EXPECT_EQ(state.oemParameterTable.count, 0u) << c.what;
    }
}

} // namespace
