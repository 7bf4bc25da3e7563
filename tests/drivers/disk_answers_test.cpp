// The decoding of what Windows answers about a drive's disk, on answers laid out byte for byte as
// the storage and disk controls return them, and the rules that make a card of them.
#include "drivers/windisk/disk_answers.h"

#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "device/sdhost_abi.h"
#include "drivers/windisk/disk_run.h"
#include "drivers/write_queue.h"

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
                 const std::string& product = "", const std::string& serial = "") {
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
    append(serial, 24);
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
    const Bytes reader = descriptor(BusUsb, true, "Generic-", "SD/MMC          ", " 058F63666485 ");
    const auto d = decodeStorageDescriptor(reader.data(), reader.size());
    ASSERT_TRUE(d);
    EXPECT_EQ(d->busType, BusUsb);
    EXPECT_TRUE(d->removable);
    EXPECT_EQ(d->vendor, "Generic-");
    EXPECT_EQ(d->product, "SD/MMC");
    EXPECT_EQ(d->serial, "058F63666485");

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
    put32(spanned, 16, 0x100000); // the first extent begins 1 MiB into disk 0
    put32(spanned, 44, 1);        // the second 4 GiB into disk 4
    put32(spanned, 48, 0x200);
    EXPECT_EQ(decodeDiskExtents(spanned.data(), spanned.size()), (std::vector<uint32_t>{0, 4}));
    EXPECT_EQ(decodeExtents(spanned.data(), spanned.size()),
              (std::vector<Extent>{{0, 0x100000, 0}, {4, uint64_t{1} << 32, 0x200}}));
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

TEST(DiskAnswers, ATransferErrorNamesTheCardGoneProtectedBusyOrFailed) {
    const struct {
        uint32_t error;
        uint32_t code;
    } cases[] = {
        {21, SDHOST_ERR_NO_CARD},   {1112, SDHOST_ERR_NO_CARD}, {1110, SDHOST_ERR_NO_CARD},
        {1167, SDHOST_ERR_NO_CARD}, {55, SDHOST_ERR_NO_CARD},   {1006, SDHOST_ERR_NO_CARD},
        {433, SDHOST_ERR_NO_CARD},  {1617, SDHOST_ERR_NO_CARD}, {kErrorWriteProtect, 0x0607u},
        {5, SDHOST_ERR_BUSY},       {32, SDHOST_ERR_BUSY},      {23, SDHOST_ERR_IO},
        {1117, SDHOST_ERR_IO},
        // A reader that did not answer in time: a retry would only wait as long again.
        {1460, SDHOST_ERR_NO_CARD},
    };
    for (const auto& c : cases) EXPECT_EQ(transferFailure(c.error, 0x0607u), c.code) << c.error;
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
    f.descriptor = StorageDescriptor{BusUsb, true, "Generic-", "SD/MMC", ""};
    f.geometry = Geometry{3880, kMediaRemovable, 255, 63, 512, 31914983424ull};
    f.length = 31914983424ull;
    f.writable = Writability::Writable;
    f.asDrive = DeviceIdentity{f.descriptor, f.geometry};
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
        {"removable SATA", [](DiskFacts& f) { f.descriptor->busType = BusSata; }, SDHOST_ERR_CONFIG,
         0, "removable SATA device"},
        {"Windows on it", [](DiskFacts& f) { f.systemDisks = std::vector<uint32_t>{2}; },
         SDHOST_ERR_CONFIG, 0, "PhysicalDrive2, the disk that holds Windows"},
        {"Windows spanned onto it",
         [](DiskFacts& f) {
             f.systemDisks = std::vector<uint32_t>{0, 2};
         },
         SDHOST_ERR_CONFIG, 0, "holds Windows"},
        {"Windows disk unknown", [](DiskFacts& f) { f.systemDisks.reset(); }, SDHOST_ERR_CONFIG, 0,
         "cannot tell which disk holds Windows"},
        {"no disk number", [](DiskFacts& f) { f.number.reset(); }, SDHOST_ERR_CONFIG, 0,
         "not on one disk"},
        {"optical drive", [](DiskFacts& f) { f.number->deviceType = 2; }, SDHOST_ERR_CONFIG, 0,
         "is not a disk"},
        {"no descriptor",
         [](DiskFacts& f) {
             f.descriptor.reset();
             f.asDrive->descriptor.reset();
         },
         SDHOST_ERR_CONFIG, 0, "which bus"},
        {"volume not placed",
         [](DiskFacts& f) { f.unplaced = "is \\Device\\Floppy0, not a volume of disk 2"; },
         SDHOST_ERR_CONFIG, 0, "E: is \\Device\\Floppy0"},
        {"drive's device unknown", [](DiskFacts& f) { f.asDrive.reset(); }, SDHOST_ERR_CONFIG, 0,
         "cannot tell which device E: is on"},
        {"another product", [](DiskFacts& f) { f.descriptor->product = "Flash Disk"; },
         SDHOST_ERR_CONFIG, 0, "but PhysicalDrive2 as Generic- Flash Disk"},
        {"another size", [](DiskFacts& f) { f.geometry->cylinders = 1940; }, SDHOST_ERR_CONFIG, 0,
         "the disk number leads elsewhere"},
        {"no name where the drive gave one", [](DiskFacts& f) { f.descriptor.reset(); },
         SDHOST_ERR_CONFIG, 0, "as no name"},
        {"over 2 TiB", [](DiskFacts& f) { f.length = (uint64_t{1} << 41) + 512; },
         SDHOST_ERR_CONFIG, 0, "more than the 2 TiB"},
        {"4Kn",
         [](DiskFacts& f) {
             f.geometry->bytesPerSector = 4096;
             f.asDrive->geometry = f.geometry;
         },
         SDHOST_ERR_CONFIG, 0, "4096-byte sectors"},
        {"empty reader",
         [](DiskFacts& f) {
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

// A disk opened for its data answers only of itself: what it says is laid over the facts the
// drive was vetted on, and the same rules judge the whole. Judged on its own answers, every card
// was refused ("cannot tell which disk holds Windows").
TEST(DiskAnswers, AnOpenedDiskIsJudgedOnTheVettedFactsWithItsOwnAnswers) {
    const struct {
        const char* what;
        void (*vetted)(DiskFacts&);
        void (*answered)(DiskFacts&);
        uint32_t code;
        const char* says;
    } cases[] = {
        {"the vetted card", [](DiskFacts&) {}, [](DiskFacts&) {}, SDHOST_OK, ""},
        {"vetted without its length", [](DiskFacts& f) { f.length.reset(); }, [](DiskFacts&) {},
         SDHOST_OK, ""},
        {"now write-protected", [](DiskFacts&) {},
         [](DiskFacts& a) { a.writable = Writability::Protected; }, SDHOST_OK, ""},
        {"another card behind the same number", [](DiskFacts&) {},
         [](DiskFacts& a) { a.descriptor->serial = "9999"; }, SDHOST_ERR_NO_CARD,
         "another disk took its number"},
        {"another card of another size", [](DiskFacts&) {},
         [](DiskFacts& a) { a.length = 15957491712ull; }, SDHOST_ERR_NO_CARD,
         "another disk took its number"},
        {"another device behind the same number", [](DiskFacts&) {},
         [](DiskFacts& a) { a.descriptor->product = "Flash Disk"; }, SDHOST_ERR_CONFIG,
         "the disk number leads elsewhere"},
        {"a fixed disk", [](DiskFacts&) {}, [](DiskFacts& a) { a.descriptor->removable = false; },
         SDHOST_ERR_CONFIG, "is not removable"},
        {"the system disk", [](DiskFacts& f) { f.systemDisks = std::vector<uint32_t>{2}; },
         [](DiskFacts&) {}, SDHOST_ERR_CONFIG, "holds Windows"},
        {"the card pulled", [](DiskFacts&) {},
         [](DiskFacts& a) {
             a.geometry.reset();
             a.length.reset();
         },
         SDHOST_ERR_NO_CARD, "holds no medium"},
    };
    for (const auto& c : cases) {
        DiskFacts vetted = usbCard();
        vetted.deviceIds = {"USB\\VID_0BDA&PID_0129"};
        c.vetted(vetted);
        // What askDisk on an opened handle fills, and nothing else.
        const DiskFacts card = usbCard();
        DiskFacts answered;
        answered.descriptor = card.descriptor;
        answered.geometry = card.geometry;
        answered.length = card.length;
        answered.writable = card.writable;
        answered.maxTransfer = 65536;
        c.answered(answered);
        const OpenedDisk o = judgeOpened(vetted, answered);
        EXPECT_EQ(o.verdict.code, c.code) << c.what << ": " << o.verdict.message;
        EXPECT_NE(o.verdict.message.find(c.says), std::string::npos)
            << c.what << ": " << o.verdict.message;
        // The opened handle's answers count; the vetted facts keep what only they know.
        EXPECT_EQ(o.facts.writable, answered.writable) << c.what;
        EXPECT_EQ(o.facts.maxTransfer, 65536u) << c.what;
        EXPECT_EQ(o.facts.deviceIds, vetted.deviceIds) << c.what;
    }
}

TEST(DiskAnswers, UserAreaOfTheLargestCards) {
    DiskFacts f = usbCard();
    f.length = (uint64_t{1} << 41) - 512;  // 4294967295 sectors: the largest the ABI can name
    EXPECT_EQ(userSectors(f), 0xFFFFFFFFu);
    EXPECT_EQ(judge(f).code, SDHOST_OK);
    f.length = uint64_t{1} << 41; // 2 TiB: its sectors do not fit 32 bits, so it is no card
    EXPECT_EQ(judge(f).code, SDHOST_ERR_CONFIG);
    EXPECT_NE(judge(f).message.find("more than the 2 TiB less one sector"), std::string::npos);
    EXPECT_EQ(userSectors(f), 0u);
    f.length = 31914983424ull + 100;       // a tail short of a sector is not part of the card
    EXPECT_EQ(userSectors(f), 62333952u);
}

TEST(DiskAnswers, AVolumeIsPlacedOnADiskOnlyAsAPartitionOfIt) {
    const DeviceNumber card{kFileDeviceDisk, 1, 1};
    const struct {
        const char* what;
        VolumeAnswers volume;
        std::optional<uint32_t> disk;
        const char* says;
    } cases[] = {
        {"Vista on", {"\\Device\\HarddiskVolume12", card, std::vector<uint32_t>{1}, {}}, 1, ""},
        {"name in other case", {"\\device\\harddiskvolume3", card, std::nullopt, {}}, 1, ""},
        {"XP", {"\\Device\\Harddisk1\\DP(1)0-0+7", card, std::nullopt, {}}, 1, ""},
        {"XP name of another disk",
         {"\\Device\\Harddisk2\\DP(1)0-0+7", card, std::nullopt, {}},
         std::nullopt,
         "not a volume of disk 1"},
        {"XP disk without a partition",
         {"\\Device\\Harddisk1", card, std::nullopt, {}},
         std::nullopt,
         "not a volume"},
        {"volume name without a number",
         {"\\Device\\HarddiskVolume", card, std::nullopt, {}},
         std::nullopt,
         "not a volume"},
        {"virtual disk",
         {"\\Device\\VirtualDisk1",
          DeviceNumber{kFileDeviceDisk, 1, kNoPartition},
          std::nullopt,
          {}},
         std::nullopt,
         "without partitions"},
        {"floppy",
         {"\\Device\\Floppy0", DeviceNumber{kFileDeviceDisk, 1, 0}, std::nullopt, {}},
         std::nullopt,
         "is \\Device\\Floppy0, not a volume of disk 1"},
        {"spanned",
         {"\\Device\\HarddiskVolume9", card, std::vector<uint32_t>{1, 3}, {}},
         std::nullopt,
         "lies on disks 1, 3"},
        {"extent elsewhere",
         {"\\Device\\HarddiskVolume9", card, std::vector<uint32_t>{4}, {}},
         std::nullopt,
         "lies on disks 4"},
        {"more extents than listed",
         {"\\Device\\HarddiskVolume9", card, std::vector<uint32_t>{}, {}},
         std::nullopt,
         "too many to list"},
        {"no device name",
         {std::nullopt, card, std::vector<uint32_t>{1}, {}},
         std::nullopt,
         "no device name"},
        {"no number",
         {"\\Device\\HarddiskVolume12", std::nullopt, std::vector<uint32_t>{1}, {}},
         std::nullopt,
         "names no disk"},
    };
    for (const auto& c : cases) {
        const Placement p = placeVolume(c.volume);
        EXPECT_EQ(p.disk, c.disk) << c.what;
        EXPECT_NE(p.why.find(c.says), std::string::npos) << c.what << ": " << p.why;
    }
}

// A system as recorded: the answers of each drive letter's volume and of each disk.
class RecordedDisks final : public DiskSystem {
public:
    std::map<unsigned, VolumeAnswers> volumes;
    std::map<uint32_t, DiskFacts> disks;
    std::vector<uint32_t> asked; // disks askDisk was called for

    VolumeAnswers volume(unsigned index) override {
        const auto it = volumes.find(index);
        return it == volumes.end() ? VolumeAnswers{} : it->second;
    }
    std::optional<unsigned> windowsDrive() override { return 2; }
    void askDisk(uint32_t number, DiskFacts& facts) override {
        asked.push_back(number);
        const auto it = disks.find(number);
        if (it == disks.end()) return;
        facts.descriptor = it->second.descriptor;
        facts.geometry = it->second.geometry;
        facts.length = it->second.length;
        facts.writable = it->second.writable;
        facts.hotplugRemovable = it->second.hotplugRemovable;
        facts.adapterBus = it->second.adapterBus;
        facts.deviceIds = it->second.deviceIds;
        facts.trim = it->second.trim;
    }
};

constexpr unsigned kA = 0, kC = 2, kE = 4, kV = 21, kX = 23;
constexpr uint32_t kNone = 0xFFFFFFFF; // a control the system refused

// Windows on disk 0 (C:), a 32 GB card in a USB reader on disk 1 (E:), and a RAM disk whose
// driver numbers its device 1 too (V:).
RecordedDisks withCardReader() {
    RecordedDisks s;
    DiskFacts system;
    system.descriptor = StorageDescriptor{BusSata, false, "ATA", "SSD 860", ""};
    system.geometry = Geometry{60801, 0x0C, 255, 63, 512, std::nullopt};
    s.disks[0] = system;
    s.volumes[kC] = {"\\Device\\HarddiskVolume2",
                     DeviceNumber{kFileDeviceDisk, 0, 2},
                     std::vector<uint32_t>{0},
                     {system.descriptor, system.geometry}};
    const DiskFacts card = usbCard();
    s.disks[1] = card;
    s.volumes[kE] = {"\\Device\\HarddiskVolume7", DeviceNumber{kFileDeviceDisk, 1, 1},
                     std::vector<uint32_t>{1}, *card.asDrive};
    s.volumes[kV] = {"\\Device\\RamDisk0",
                     DeviceNumber{kFileDeviceDisk, 1, kNoPartition},
                     std::nullopt,
                     {StorageDescriptor{BusVirtual, false, "Msft", "Virtual Disk", ""},
                      Geometry{130, 0x0C, 255, 63, 512, std::nullopt}}};
    return s;
}

// Which drive leads to which disk, and which volumes a write to the card's disk takes. Taken on
// its device number alone, every drive below led to PhysicalDrive1 (and the RAM disk's and the
// other devices' volumes were taken with the card's); a disk that answers otherwise than the
// drive's volume did was formatted all the same.
TEST(DiskAnswers, DrivesLeadOnlyToTheirOwnDisk) {
    const struct {
        const char* what;
        void (*add)(RecordedDisks&);
        unsigned drive;
        uint32_t code;
        const char* says;
    } cases[] = {
        {"card reader", [](RecordedDisks&) {}, kE, SDHOST_OK, ""},
        {"virtual disk colliding on number 1",
         [](RecordedDisks&) {},
         kV,
         SDHOST_ERR_CONFIG,
         "without partitions"},
        {"USB floppy",
         [](RecordedDisks& s) {
             s.volumes[kA] = {
                 "\\Device\\Floppy0", DeviceNumber{kFileDeviceDisk, 1, 0}, std::nullopt, {}};
         },
         kA,
         SDHOST_ERR_CONFIG,
         "is \\Device\\Floppy0"},
        {"volume spanning disks 1 and 3",
         [](RecordedDisks& s) {
             s.volumes[kX] = {"\\Device\\HarddiskVolume9",
                              DeviceNumber{kFileDeviceDisk, 1, 1},
                              std::vector<uint32_t>{1, 3},
                              {}};
         },
         kX,
         SDHOST_ERR_CONFIG,
         "lies on disks 1, 3"},
        {"XP card",
         [](RecordedDisks& s) {
             s.volumes[kE].dosDevice = "\\Device\\Harddisk1\\DP(1)0-0+7";
             s.volumes[kE].extents.reset();
         },
         kE,
         SDHOST_OK,
         ""},
        {"XP name of disk 2 with number 1",
         [](RecordedDisks& s) {
             s.volumes[kX] = {"\\Device\\Harddisk2\\DP(1)0-0+8",
                              DeviceNumber{kFileDeviceDisk, 1, 1},
                              std::nullopt,
                              {}};
         },
         kX,
         SDHOST_ERR_CONFIG,
         "not a volume of disk 1"},
        {"PhysicalDrive1 is another device",
         [](RecordedDisks& s) {
             s.disks[1].descriptor = StorageDescriptor{BusUsb, true, "SanDisk", "Cruzer", ""};
         },
         kE,
         SDHOST_ERR_CONFIG,
         "but PhysicalDrive1 as SanDisk Cruzer"},
    };
    for (const auto& c : cases) {
        RecordedDisks s = withCardReader();
        c.add(s);
        RunShelf shelf{};
        const Vetting vetted = vetOpening(s, c.drive, DiskRuns(shelf));
        const DiskFacts& facts = vetted.facts;
        const Verdict& v = vetted.verdict;
        EXPECT_EQ(v.code, c.code) << c.what << ": " << v.message;
        EXPECT_NE(v.message.find(c.says), std::string::npos) << c.what << ": " << v.message;
        if (c.code != SDHOST_OK) {
            EXPECT_EQ(checkFlags(facts), 0u) << c.what;
        }
        // The colliding devices are never asked as PhysicalDrive1.
        if (c.drive != kE) {
            EXPECT_TRUE(s.asked.empty()) << c.what;
        }
    }
    // Windows's own drive is refused as such.
    RecordedDisks s = withCardReader();
    EXPECT_NE(judge(factsOf(s, kC)).message.find("holds Windows"), std::string::npos);
}

TEST(DiskAnswers, HotplugAdapterAndTrimAnswers) {
    const struct {
        Bytes answer;
        std::optional<bool> hotplug;
        std::optional<uint32_t> adapter;
        std::optional<bool> trim;
    } cases[] = {
        // STORAGE_HOTPLUG_INFO: Size 8, MediaRemovable 1.
        {{8, 0, 0, 0, 1, 0, 1, 0}, true, std::nullopt, std::nullopt},
        {{8, 0, 0, 0, 0, 0, 1, 0}, false, std::nullopt, std::nullopt},
        // DEVICE_TRIM_DESCRIPTOR: Version 12, Size 12, TrimEnabled.
        {{12, 0, 0, 0, 12, 0, 0, 0, 1, 0, 0, 0}, true, std::nullopt, true},
        {{12, 0, 0, 0, 12, 0, 0, 0, 0, 0, 0, 0}, true, std::nullopt, false},
        // A trim descriptor whose Size stops short of TrimEnabled tells nothing.
        {{12, 0, 0, 0, 8, 0, 0, 0, 1, 0, 0, 0}, true, std::nullopt, std::nullopt},
        {{8, 0, 0, 0}, std::nullopt, std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(decodeHotplugMediaRemovable(c.answer.data(), c.answer.size()), c.hotplug);
        EXPECT_EQ(decodeTrimEnabled(c.answer.data(), c.answer.size()), c.trim);
    }
    // STORAGE_ADAPTER_DESCRIPTOR: BusType is the one byte at 24, not a 32-bit field.
    Bytes adapter(32, 0xAA);
    put32(adapter, 0, 32);
    put32(adapter, 4, 32);
    adapter[24] = BusSd;
    EXPECT_EQ(decodeAdapterBus(adapter.data(), adapter.size()), uint32_t{BusSd});
    EXPECT_FALSE(decodeAdapterBus(adapter.data(), 24));
    put32(adapter, 4, 24);
    EXPECT_FALSE(decodeAdapterBus(adapter.data(), adapter.size()));
}

TEST(DiskAnswers, AdapterMaximumTransferSizesTheWriteRequests) {
    const struct {
        const char* name;
        uint32_t size, maxTransfer;
        size_t length;
        std::optional<uint32_t> decoded;
        size_t request; // what the disk path sends at once
    } cases[] = {
        {"a USB reader's 128 KiB", 32, 0x20000, 32, 0x20000, 0x20000},
        {"an odd limit rounds down to a power of two", 32, 0x1FE00, 32, 0x1FE00, 0x10000},
        {"a large one is held to the largest request", 32, 0x1000000, 32, 0x1000000, 4u << 20},
        {"none given", 32, 0, 32, std::nullopt, 4u << 20},
        {"an answer that stops before the field", 32, 0x20000, 11, std::nullopt, 4u << 20},
        {"a Size that stops before the field", 8, 0x20000, 32, std::nullopt, 4u << 20},
    };
    for (const auto& c : cases) {
        Bytes adapter(32, 0);
        put32(adapter, 0, 32);
        put32(adapter, 4, c.size);
        put32(adapter, 8, c.maxTransfer);
        put32(adapter, 12, 0x11); // MaximumPhysicalPages, next to it
        const auto decoded = decodeAdapterMaxTransfer(adapter.data(), c.length);
        EXPECT_EQ(decoded, c.decoded) << c.name;
        EXPECT_EQ(sdhost::requestBytesFor(decoded.value_or(0), sdhost::kSectorSize), c.request)
            << c.name;
    }
}

TEST(DiskAnswers, CardReaderDriversByTheirIds) {
    const struct {
        std::vector<std::string> ids;
        bool reader;
    } cases[] = {
        {{"SD\\", "SD\\VID_03&OID_5344&PID_SD16G&REV_8.0"}, true}, // in-box SD stack
        {{"sd\\vid_1b&oid_534d&pid_00000"}, true},
        {{"SCSI\\", "SCSI\\DiskGeneric_SD/MMC", "PCI\\VEN_10EC&DEV_5229&SUBSYS_05341028"}, true},
        {{"USBSTOR\\", "USB\\VID_0BDA&PID_0129&REV_3960"}, true},
        {{"PCI\\VEN_ABCD&DEV_0001", "PCI\\CC_080500"}, true}, // any SD host controller
        // A Realtek network adapter, a SATA controller, a USB stick.
        {{"PCI\\VEN_10EC&DEV_8168"}, false},
        {{"PCI\\VEN_8086&DEV_A102", "PCI\\CC_010601"}, false},
        {{"USBSTOR\\", "USBSTOR\\DiskSanDisk_Cruzer", "USB\\VID_0781&PID_5567"}, false},
        {{"SDX\\VID_03"}, false},
        {{}, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(knownReader(c.ids) != nullptr, c.reader) << (c.ids.empty() ? "" : c.ids.back());
}

// Readers that say other buses than SD, MMC and USB: built-in slots behind a vendor's SCSI
// miniport or on the ATA bus, and the in-box SD stack that answers neither the storage property
// nor the length. Each passes only with a removable medium on a known reader's controller.
TEST(DiskAnswers, BuiltInReadersAreCardsOnlyOnAKnownReader) {
    const std::vector<std::string> realtek = {"SCSI\\", "SCSI\\DiskRealtek",
                                              "PCI\\VEN_10EC&DEV_5227&SUBSYS_05341028"};
    const std::vector<std::string> sdStack = {"SD\\", "SD\\VID_03&OID_5344&PID_SD32G"};
    const struct {
        const char* what;
        uint32_t bus; // the descriptor's; kNone: the property is refused
        bool removable;
        std::optional<bool> hotplug;
        std::vector<std::string> ids;
        std::optional<uint32_t> adapter;
        bool lengthAnswered;
        uint32_t code;
        const char* says;
    } cases[] = {
        {"SCSI reader, Realtek controller", BusScsi, true, true, realtek, BusScsi, true, SDHOST_OK,
         ""},
        {"Unknown bus, no known reader",
         BusUnknown,
         true,
         true,
         {"SCSI\\", "PCI\\VEN_1234&DEV_5678"},
         std::nullopt,
         true,
         SDHOST_ERR_CONFIG,
         "E: (PhysicalDrive1: Generic- SD/MMC, 31914983424 bytes) is a removable unknown device on "
         "no known card reader"},
        {"ATA built-in slot on the SD stack", BusAta, true, true, sdStack, std::nullopt, true,
         SDHOST_OK, ""},
        {"SCSI removable, hotplug says fixed medium", BusScsi, true, false, realtek, std::nullopt,
         true, SDHOST_ERR_CONFIG, "the system does not call removable"},
        {"SCSI removable, hotplug refused", BusScsi, true, std::nullopt, realtek, std::nullopt,
         true, SDHOST_ERR_CONFIG, "the system does not call removable"},
        {"SCSI behind an SD adapter", BusScsi, true, true, {}, BusSd, true, SDHOST_OK, ""},
        {"USB stick", BusUsb, true, std::nullopt, {}, std::nullopt, true, SDHOST_OK, ""},
        {"sffdisk slot without property or length", kNone, true, std::nullopt, sdStack,
         std::nullopt, false, SDHOST_OK, ""},
        {"no property, unknown controller",
         kNone,
         true,
         true,
         {"SCSI\\"},
         std::nullopt,
         false,
         SDHOST_ERR_CONFIG,
         "does not say which bus it is on and is on no known card reader"},
        {"fixed SATA disk",
         BusSata,
         false,
         false,
         {},
         BusSata,
         true,
         SDHOST_ERR_CONFIG,
         "(PhysicalDrive1: Generic- SD/MMC, 31914983424 bytes) is not removable (a fixed SATA "
         "disk)"},
        {"removable SATA on a known reader", BusSata, true, true, realtek, std::nullopt, true,
         SDHOST_ERR_CONFIG, "removable SATA device, not an SD slot"},
    };
    for (const auto& c : cases) {
        RecordedDisks s = withCardReader();
        DiskFacts& disk = s.disks[1];
        if (c.bus == kNone) {
            disk.descriptor.reset();
            disk.geometry->diskSize.reset(); // the plain geometry answers
        } else {
            disk.descriptor->busType = c.bus;
            disk.descriptor->removable = c.removable;
        }
        if (!c.lengthAnswered) disk.length.reset();
        disk.hotplugRemovable = c.hotplug;
        disk.deviceIds = c.ids;
        disk.adapterBus = c.adapter;
        s.volumes[kE].identity = {disk.descriptor, disk.geometry};
        const DiskFacts facts = factsOf(s, kE);
        const Verdict v = judge(facts);
        EXPECT_EQ(v.code, c.code) << c.what << ": " << v.message;
        EXPECT_NE(v.message.find(c.says), std::string::npos) << c.what << ": " << v.message;
        EXPECT_EQ(checkFlags(facts) != 0, c.code == SDHOST_OK) << c.what;
        if (c.code == SDHOST_OK) {
            EXPECT_EQ(uint64_t{userSectors(facts)} * 512, diskBytes(facts)) << c.what;
            EXPECT_GT(userSectors(facts), 60000000u) << c.what;
        }
    }
}

TEST(DiskAnswers, EraseOnlyWhereTheDeviceTakesATrim) {
    const struct {
        std::optional<bool> trim; // nullopt: the query refused (XP, Vista, a reader's driver)
        bool erase;
    } cases[] = {{true, true}, {false, false}, {std::nullopt, false}};
    for (const auto& c : cases) {
        DiskFacts f = usbCard();
        f.trim = c.trim;
        EXPECT_EQ(eraseSupported(f), c.erase);
    }
}

// A format run opens the card several times, each time through the drive letter. The run's first
// opening fixes its disk; a later one that reaches another disk (the letter moved to another
// card, or the disk number passed to another device) is refused as no card before it writes,
// and one that reaches the same disk goes on.
TEST(DiskRuns, AReopeningReachesOnlyTheDiskTheRunBeganOn) {
    // A second USB card reader on disk 3 with its own card.
    const auto withSecondReader = [](RecordedDisks& s) {
        DiskFacts other = usbCard();
        other.descriptor = StorageDescriptor{BusUsb, true, "Generic-", "SD/MMC", "000000009876"};
        other.length = other.geometry->diskSize = 15931539456ull;
        s.disks[3] = other;
    };
    const struct {
        const char* what;
        void (*between)(RecordedDisks&); // what changed between the first opening and the next
        bool inRun;
        uint32_t code; // of the next opening
        const char* says;
    } cases[] = {
        {"same disk", [](RecordedDisks&) {}, true, SDHOST_OK, ""},
        {"letter moved to another reader's card",
         [](RecordedDisks& s) {
             s.volumes[kE] = {"\\Device\\HarddiskVolume9", DeviceNumber{kFileDeviceDisk, 3, 1},
                              std::vector<uint32_t>{3}, *usbCard().asDrive};
         },
         true, SDHOST_ERR_NO_CARD, "now leads to PhysicalDrive3"},
        {"same number, another card in the reader (another size)",
         [](RecordedDisks& s) { s.disks[1].length = s.disks[1].geometry->diskSize = 7948206080ull; },
         true, SDHOST_ERR_NO_CARD, "not to the card this format began on (PhysicalDrive1"},
        {"same number, another device (another serial)",
         [](RecordedDisks& s) { s.disks[1].descriptor->serial = "AA00000000017"; },
         true, SDHOST_ERR_NO_CARD, "now leads to PhysicalDrive1, Generic- SD/MMC"},
        {"letter moved, outside a run", [](RecordedDisks& s) {
             s.volumes[kE] = {"\\Device\\HarddiskVolume9", DeviceNumber{kFileDeviceDisk, 3, 1},
                              std::vector<uint32_t>{3}, *usbCard().asDrive};
         },
         false, SDHOST_OK, ""},
    };
    for (const auto& c : cases) {
        RecordedDisks s = withCardReader();
        withSecondReader(s);
        RunShelf shelf{};
        DiskRuns runs(shelf);
        if (c.inRun) runs.begin(kE);
        ASSERT_EQ(vetOpening(s, kE, runs).verdict.code, SDHOST_OK) << c.what;
        c.between(s);
        const Verdict v = vetOpening(s, kE, runs).verdict;
        EXPECT_EQ(v.code, c.code) << c.what << ": " << v.message;
        EXPECT_NE(v.message.find(c.says), std::string::npos) << c.what << ": " << v.message;
        if (c.inRun) {
            // Refused or not, the run keeps the disk it began on.
            ASSERT_TRUE(runs.disk(kE)) << c.what;
            EXPECT_EQ(runs.disk(kE)->number, 1u) << c.what;
        }
    }

    // A new run forgets the old one's disk: the card now behind the letter is the new run's.
    RecordedDisks s = withCardReader();
    withSecondReader(s);
    RunShelf shelf{};
    DiskRuns runs(shelf);
    runs.begin(kE);
    ASSERT_EQ(vetOpening(s, kE, runs).verdict.code, SDHOST_OK);
    runs.end(kE);
    s.volumes[kE] = {"\\Device\\HarddiskVolume9", DeviceNumber{kFileDeviceDisk, 3, 1},
                     std::vector<uint32_t>{3}, *usbCard().asDrive};
    runs.begin(kE);
    EXPECT_EQ(vetOpening(s, kE, runs).verdict.code, SDHOST_OK);
    EXPECT_EQ(runs.disk(kE)->number, 3u);
    // Another module of ours in the process (the erase's private instance) sees the same run:
    // its opening of the moved letter is refused as well.
    RunShelf shared{};
    RecordedDisks moved = withCardReader();
    withSecondReader(moved);
    DiskRuns bound(shared), priv(shared);
    bound.begin(kE);
    ASSERT_EQ(vetOpening(moved, kE, bound).verdict.code, SDHOST_OK);
    moved.volumes[kE] = {"\\Device\\HarddiskVolume9", DeviceNumber{kFileDeviceDisk, 3, 1},
                         std::vector<uint32_t>{3}, *usbCard().asDrive};
    EXPECT_EQ(vetOpening(moved, kE, priv).verdict.code, SDHOST_ERR_NO_CARD);
    // Runs on two drives are apart.
    runs.begin(kC);
    EXPECT_TRUE(runs.going(kE) && runs.going(kC));
    runs.end(kE);
    EXPECT_TRUE(runs.anyGoing());
    runs.end(kC);
    EXPECT_FALSE(runs.anyGoing());
}

// The system is told of the new partition table (and enumerates the disk again) only at the
// run's last closing, and only after a write: never while the run still needs its volumes
// locked and its letter in place.
TEST(DiskRuns, OnlyTheLastClosingAfterAWriteUpdatesTheDisk) {
    const struct {
        bool going, written, update;
    } cases[] = {{true, false, false}, {true, true, false}, {false, false, false}, {false, true, true}};
    for (const auto& c : cases) EXPECT_EQ(sendsUpdate(c.going, c.written), c.update) << c.going << c.written;

    // A write in any opening of the run counts at its last closing; the next run starts clean.
    RunShelf shelf{};
    DiskRuns runs(shelf);
    runs.begin(kE);
    runs.noteWritten(kE);
    runs.end(kE);
    EXPECT_TRUE(sendsUpdate(runs.going(kE), runs.written(kE)));
    runs.begin(kE);
    EXPECT_FALSE(runs.written(kE));
    // Outside a run a write is the card's own closing's business.
    runs.forget(kE);
    runs.end(kE);
    runs.noteWritten(kE);
    EXPECT_FALSE(runs.written(kE));
}

// Where the card's new volume is to come back: the first partition of the last master boot
// record written to sector 0; none for the zeros a full format writes first.
TEST(DiskRuns, ThePartitionWrittenToSectorZero) {
    const auto mbr = [](uint8_t type, uint32_t first, bool signed_) {
        Bytes sector(512, 0);
        sector[446 + 4] = type;
        put32(sector, 446 + 8, first);
        if (signed_) sector[510] = 0x55, sector[511] = 0xAA;
        return sector;
    };
    EXPECT_EQ(firstPartitionOffset(mbr(0x0C, 8192, true).data()), 8192u * 512);
    EXPECT_EQ(firstPartitionOffset(mbr(0x07, 0x80000000u, true).data()), uint64_t{0x80000000u} * 512);
    EXPECT_EQ(firstPartitionOffset(mbr(0x0C, 8192, false).data()), 0u);
    EXPECT_EQ(firstPartitionOffset(mbr(0, 8192, true).data()), 0u);
    EXPECT_EQ(firstPartitionOffset(Bytes(512, 0).data()), 0u);
}

} // namespace
} // namespace brc::windisk
