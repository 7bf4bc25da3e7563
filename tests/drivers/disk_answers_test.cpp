// The decoding of what Windows answers about a drive's disk, on answers laid out byte for byte as
// the storage and disk controls return them, and the rules that make a card of them.
#include "drivers/disk_answers.h"

#include <gtest/gtest.h>

#include <vector>

#include "device/sdhost_abi.h"

namespace brc::windisk {
namespace {

using Bytes = std::vector<uint8_t>;

void put32(Bytes& b, size_t at, uint64_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
void put64(Bytes& b, size_t at, uint64_t v) {
    put32(b, at, v);
    put32(b, at + 4, v >> 32);
}

// STORAGE_DEVICE_DESCRIPTOR with its vendor and product strings after the fixed part.
Bytes descriptor(uint32_t bus, bool removable, const std::string& vendor = "",
                 const std::string& product = "") {
    Bytes b(40, 0);
    put32(b, 0, 40);
    b[10] = removable ? 1 : 0;
    auto append = [&](const std::string& s, size_t field) {
        if (s.empty()) return;
        put32(b, field, b.size());
        b.insert(b.end(), s.begin(), s.end());
        b.push_back(0);
    };
    append(vendor, 12);
    append(product, 16);
    put32(b, 4, b.size());
    put32(b, 28, bus);
    return b;
}

Bytes geometry(uint64_t cylinders, uint32_t heads, uint32_t spt, uint32_t bps,
               std::optional<uint64_t> diskSize = std::nullopt) {
    Bytes b(diskSize ? 40 : 24, 0);
    put64(b, 0, cylinders);
    put32(b, 8, kMediaRemovable);
    put32(b, 12, heads);
    put32(b, 16, spt);
    put32(b, 20, bps);
    if (diskSize) put64(b, 24, *diskSize);
    return b;
}

Bytes deviceNumber(uint32_t type, uint32_t number, uint32_t partition) {
    Bytes b(12, 0);
    put32(b, 0, type);
    put32(b, 4, number);
    put32(b, 8, partition);
    return b;
}

TEST(DiskAnswers, StorageDescriptorGivesBusRemovableFlagAndNames) {
    const Bytes reader = descriptor(BusUsb, true, "Generic-", "SD/MMC          ");
    const auto d = decodeStorageDescriptor(reader.data(), reader.size());
    ASSERT_TRUE(d);
    EXPECT_EQ(d->busType, BusUsb);
    EXPECT_TRUE(d->removable);
    EXPECT_EQ(d->vendor, "Generic-");
    EXPECT_EQ(d->product, "SD/MMC");

    // The answer's own Size bounds the strings; an offset past it names nothing.
    Bytes cut = reader;
    put32(cut, 4, 40);
    EXPECT_EQ(decodeStorageDescriptor(cut.data(), cut.size())->vendor, "");
    Bytes wild = reader;
    put32(wild, 16, 5000);
    EXPECT_EQ(decodeStorageDescriptor(wild.data(), wild.size())->product, "");
    // Too short to hold the bus type.
    EXPECT_FALSE(decodeStorageDescriptor(reader.data(), 31));
    EXPECT_FALSE(decodeStorageDescriptor(nullptr, 0));
}

TEST(DiskAnswers, DeviceNumberNamesThePhysicalDriveOfADiskOnly) {
    const Bytes disk = deviceNumber(kFileDeviceDisk, 3, 1);
    const auto n = decodeDeviceNumber(disk.data(), disk.size());
    ASSERT_TRUE(n);
    EXPECT_EQ(n->partition, 1u);
    EXPECT_EQ(physicalDrivePath(*n), "\\\\.\\PhysicalDrive3");
    const Bytes cdrom = deviceNumber(2, 0, 0);
    EXPECT_EQ(physicalDrivePath(*decodeDeviceNumber(cdrom.data(), cdrom.size())), "");
    EXPECT_FALSE(decodeDeviceNumber(disk.data(), 11));
}

TEST(DiskAnswers, DiskExtentsListEveryDiskOfAVolume) {
    Bytes spanned(8 + 2 * 24, 0);
    put32(spanned, 0, 2);
    put32(spanned, 8, 0);
    put32(spanned, 32, 4);
    EXPECT_EQ(decodeDiskExtents(spanned.data(), spanned.size()), (std::vector<uint32_t>{0, 4}));
    // A count the answer does not hold, and no extent at all, tell nothing.
    EXPECT_FALSE(decodeDiskExtents(spanned.data(), spanned.size() - 1));
    put32(spanned, 0, 0);
    EXPECT_FALSE(decodeDiskExtents(spanned.data(), spanned.size()));
}

TEST(DiskAnswers, GeometryAndLength) {
    const Bytes plain = geometry(3880, 255, 63, 512);
    const auto g = decodeGeometry(plain.data(), plain.size());
    ASSERT_TRUE(g);
    EXPECT_EQ(g->cylinders, 3880u);
    EXPECT_EQ(g->bytesPerSector, 512u);
    EXPECT_EQ(g->mediaType, kMediaRemovable);
    EXPECT_FALSE(g->diskSize);
    const Bytes ex = geometry(3880, 255, 63, 512, 31914983424ull);
    EXPECT_EQ(decodeGeometry(ex.data(), ex.size())->diskSize, 31914983424ull);
    EXPECT_FALSE(decodeGeometry(plain.data(), 23));

    Bytes length(8, 0);
    put64(length, 0, 0x1FFFFFFFE00ull);
    EXPECT_EQ(decodeLength(length.data(), 8), 0x1FFFFFFFE00ull);
    EXPECT_FALSE(decodeLength(length.data(), 7));
}

TEST(DiskAnswers, IsWritableAnswersByItsErrorAlone) {
    EXPECT_EQ(decodeIsWritable(true, 0), Writability::Writable);
    EXPECT_EQ(decodeIsWritable(false, kErrorWriteProtect), Writability::Protected);
    EXPECT_EQ(decodeIsWritable(false, 21), Writability::Unknown);  // not ready
}

TEST(DiskAnswers, DriveOfTheWindowsDirectory) {
    const struct {
        const char* path;
        int index;
    } cases[] = {
        {"C:\\WINDOWS", 2}, {"d:\\win", 3}, {"\\\\?\\E:\\Windows", 4}, {"Z:", 25},
        {"\\\\server\\share\\Windows", -1}, {"1:\\Windows", -1}, {"C", -1}, {"", -1},
    };
    for (const auto& c : cases) EXPECT_EQ(driveIndexOfPath(c.path), c.index) << c.path;
}

TEST(DiskAnswers, SizeFromLengthElseExtendedGeometryElseItsProduct) {
    DiskFacts f;
    EXPECT_EQ(diskBytes(f), 0u);
    f.geometry = Geometry{1000, kMediaRemovable, 16, 32, 512, std::nullopt};
    EXPECT_EQ(diskBytes(f), 1000u * 16 * 32 * 512);
    f.geometry->diskSize = 300000000;
    EXPECT_EQ(diskBytes(f), 300000000u);
    f.length = 299999744;
    EXPECT_EQ(diskBytes(f), 299999744u);
    // A product past 64 bits is past 2 TiB, not wrapped round to a small card.
    DiskFacts huge;
    huge.geometry = Geometry{uint64_t{1} << 40, kMediaRemovable, 1u << 20, 1, 512, std::nullopt};
    EXPECT_EQ(diskBytes(huge), UINT64_MAX);
}

// A 32 GB card in a USB reader, PhysicalDrive2, Windows on PhysicalDrive0.
DiskFacts usbCard() {
    DiskFacts f;
    f.drive = "E:";
    f.number = DeviceNumber{kFileDeviceDisk, 2, 1};
    f.systemDisks = std::vector<uint32_t>{0};
    f.descriptor = StorageDescriptor{BusUsb, true, "Generic-", "SD/MMC"};
    f.geometry = Geometry{3880, kMediaRemovable, 255, 63, 512, 31914983424ull};
    f.length = 31914983424ull;
    f.writable = Writability::Writable;
    return f;
}

TEST(DiskAnswers, WhichDisksAreCards) {
    const struct {
        const char* what;
        void (*change)(DiskFacts&);
        uint32_t code;     // judge()
        uint32_t flags;    // checkFlags()
        const char* says;  // part of the message
    } cases[] = {
        {"USB reader", [](DiskFacts&) {}, SDHOST_OK, SDHOST_CHK_QUALIFIES, ""},
        {"SD slot", [](DiskFacts& f) { f.descriptor->busType = BusSd; }, SDHOST_OK,
         SDHOST_CHK_QUALIFIES, ""},
        {"MMC bus", [](DiskFacts& f) { f.descriptor->busType = BusMmc; }, SDHOST_OK,
         SDHOST_CHK_QUALIFIES, ""},
        {"lock switch", [](DiskFacts& f) { f.writable = Writability::Protected; }, SDHOST_OK,
         SDHOST_CHK_QUALIFIES | SDHOST_CHK_REFUSED, ""},
        {"writability unknown", [](DiskFacts& f) { f.writable = Writability::Unknown; }, SDHOST_OK,
         SDHOST_CHK_QUALIFIES, ""},
        {"USB hard disk", [](DiskFacts& f) { f.descriptor->removable = false; }, SDHOST_ERR_CONFIG,
         0, "is not removable (a fixed USB disk)"},
        {"soldered eMMC",
         [](DiskFacts& f) {
             f.descriptor->busType = BusMmc;
             f.descriptor->removable = false;
         },
         SDHOST_ERR_CONFIG, 0, "not removable"},
        {"removable SATA", [](DiskFacts& f) { f.descriptor->busType = BusSata; },
         SDHOST_ERR_CONFIG, 0, "removable SATA device"},
        {"Windows on it", [](DiskFacts& f) { f.systemDisks = std::vector<uint32_t>{2}; },
         SDHOST_ERR_CONFIG, 0, "PhysicalDrive2, the disk that holds Windows"},
        {"Windows spanned onto it", [](DiskFacts& f) { f.systemDisks = std::vector<uint32_t>{0, 2}; },
         SDHOST_ERR_CONFIG, 0, "holds Windows"},
        {"Windows disk unknown", [](DiskFacts& f) { f.systemDisks.reset(); }, SDHOST_ERR_CONFIG,
         0, "cannot tell which disk holds Windows"},
        {"no disk number", [](DiskFacts& f) { f.number.reset(); }, SDHOST_ERR_CONFIG, 0,
         "not on one disk"},
        {"optical drive", [](DiskFacts& f) { f.number->deviceType = 2; }, SDHOST_ERR_CONFIG, 0,
         "is not a disk"},
        {"no descriptor", [](DiskFacts& f) { f.descriptor.reset(); }, SDHOST_ERR_CONFIG, 0,
         "which bus"},
        {"over 2 TiB", [](DiskFacts& f) { f.length = (uint64_t{1} << 41) + 512; },
         SDHOST_ERR_CONFIG, 0, "more than the 2 TiB"},
        {"4Kn", [](DiskFacts& f) { f.geometry->bytesPerSector = 4096; }, SDHOST_ERR_CONFIG, 0,
         "4096-byte sectors"},
        {"empty reader", [](DiskFacts& f) {
             f.geometry.reset();
             f.length.reset();
         },
         SDHOST_ERR_NO_CARD, 0, "holds no medium"},
        {"medium of no size", [](DiskFacts& f) { f.length = 0; }, SDHOST_ERR_NO_CARD, 0,
         "holds no medium"},
    };
    for (const auto& c : cases) {
        DiskFacts f = usbCard();
        c.change(f);
        const Verdict v = judge(f);
        EXPECT_EQ(v.code, c.code) << c.what;
        EXPECT_EQ(checkFlags(f), c.flags) << c.what;
        if (c.code == SDHOST_OK) {
            EXPECT_EQ(v.message, "") << c.what;
        } else {
            EXPECT_NE(v.message.find(c.says), std::string::npos) << c.what << ": " << v.message;
        }
    }
}

TEST(DiskAnswers, UserAreaOfTheLargestCards) {
    DiskFacts f = usbCard();
    f.length = (uint64_t{1} << 41) - 512;  // 4294967295 sectors: the largest the ABI can name
    EXPECT_EQ(userSectors(f), 0xFFFFFFFFu);
    f.length = uint64_t{1} << 41;          // 2 TiB is taken, but its sectors do not fit 32 bits
    EXPECT_EQ(judge(f).code, SDHOST_OK);
    EXPECT_EQ(userSectors(f), 0u);
    f.length = 31914983424ull + 100;       // a tail short of a sector is not part of the card
    EXPECT_EQ(userSectors(f), 62333952u);
}

} // namespace
} // namespace brc::windisk
