// Which disks count as cards, against fake sysfs trees laid out as the kernel lays out /sys, with
// fake mount tables and swap lists beside them.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "platform/posix/block_devices.h"
#include "tests/support/scratch_dir.h"

namespace brc::blockdev {
namespace {

namespace fs = std::filesystem;
using brc::test::ScratchDir;

void put(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text << "\n";
}

// A sysfs tree of a few disks under one scratch directory.
class FakeSystem {
public:
    explicit FakeSystem(const std::string& name) : dir_("block-devices-" + name) {
        view.sysfs = (dir_.path / "sys").string();
        view.mountinfo = (dir_.path / "mountinfo").string();
        view.swaps = (dir_.path / "swaps").string();
        put(view.swaps, "Filename\tType\tSize\tUsed\tPriority");
    }

    // A disk at devices/<devicePath>/block/<name>; `device` holds the attributes of its device
    // directory (the parent of block/), `attributes` those of the disk itself.
    fs::path disk(const std::string& name, const std::string& devicePath, const std::string& dev,
                  uint64_t sectors, std::map<std::string, std::string> attributes = {},
                  const std::map<std::string, std::string>& device = {}) {
        const fs::path sys = view.sysfs;
        const fs::path dir = sys / "devices" / devicePath / "block" / name;
        attributes.emplace("removable", "0");
        attributes.emplace("ro", "0");
        attributes.emplace("queue/logical_block_size", "512");
        attributes.emplace("queue/discard_max_bytes", "0");
        attributes["size"] = std::to_string(sectors);
        attributes["dev"] = dev;
        for (const auto& [key, value] : attributes) put(dir / key, value);
        for (const auto& [key, value] : device) put(sys / "devices" / devicePath / key, value);
        fs::create_directories(sys / "devices" / devicePath);
        fs::create_directory_symlink("../..", dir / "device");
        link(name, dir);
        return dir;
    }

    void partition(const fs::path& diskDir, const std::string& name, const std::string& dev) {
        const fs::path dir = diskDir / name;
        put(dir / "partition", "1");
        put(dir / "dev", dev);
        put(dir / "size", "2048");
        put(dir / "ro", "0");
        link(name, dir);
    }

    // `holder` (a device-mapper device) stacked on `name`.
    void holder(const fs::path& under, const std::string& holder, const std::string& dev) {
        const fs::path dir = fs::path(view.sysfs) / "devices" / "virtual" / "block" / holder;
        put(dir / "dev", dev);
        put(dir / "size", "2048");
        link(holder, dir);
        fs::create_directories(under / "holders");
        fs::create_directory_symlink(dir, under / "holders" / holder);
    }

    void mounts(const std::string& text) { put(view.mountinfo, text); }
    void swaps(const std::string& text) { put(view.swaps, "Filename\tType\tSize\tUsed\tPriority\n" + text); }

    SystemView view;

private:
    void link(const std::string& name, const fs::path& dir) {
        const fs::path classDir = fs::path(view.sysfs) / "class" / "block";
        fs::create_directories(classDir);
        fs::create_directory_symlink(dir, classDir / name);
    }

    ScratchDir dir_;
};

const char kUsbHost[] = "pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host3/target3:0:0/3:0:0:0";
const char kSataHost[] = "pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0";
// An SD host controller on PCI, as sdhci-pci places it (a platform controller sits under platform/).
const char kSdHost[] = "pci0000:00/0000:00:10.0/mmc_host/mmc0/mmc0:4567";
constexpr uint64_t k32G = 62333952;

TEST(BlockDevices, KindsOfDisksAndWhyTheyAreRefused) {
    FakeSystem sys("kinds");
    sys.disk("mmcblk0", kSdHost, "179:0", k32G, {},
             {{"type", "SD"}, {"name", "SD32G"}, {"manfid", "0x000003"}, {"oemid", "0x5344"}});
    sys.disk("mmcblk1", "platform/emmc/mmc_host/mmc1/mmc1:0001", "179:8", k32G, {}, {{"type", "MMC"}});
    sys.disk("sdb", kUsbHost, "8:16", k32G, {{"removable", "1"}},
             {{"type", "0"}, {"vendor", "Generic"}, {"model", "STORAGE DEVICE"}});
    sys.disk("sdc", std::string(kUsbHost) + "/../3:0:0:1", "8:32", 0, {{"removable", "1"}}, {{"type", "0"}});
    // Exactly 2 TiB: one sector more than a card's 32-bit sector count holds.
    sys.disk("sdd", std::string(kUsbHost) + "/../3:0:0:2", "8:48", (uint64_t{1} << 41) / 512,
             {{"removable", "1"}}, {{"type", "0"}});
    sys.disk("sde", std::string(kUsbHost) + "/../3:0:0:3", "8:64", k32G,
             {{"removable", "1"}, {"queue/logical_block_size", "4096"}}, {{"type", "0"}});
    sys.disk("sda", kSataHost, "8:0", k32G, {}, {{"type", "0"}, {"vendor", "ATA"}});
    sys.disk("sdf", std::string(kUsbHost) + "/../3:0:0:4", "8:80", k32G, {},
             {{"type", "0"}, {"vendor", "WD"}, {"model", "Elements 25A2"}});
    sys.disk("vda", "pci0000:00/0000:00:04.0/virtio1", "254:0", k32G, {}, {{"vendor", "0x1af4"}});
    sys.disk("nvme0n1", "pci0000:00/0000:00:1d.0/0000:3d:00.0/nvme/nvme0", "259:0", k32G);
    sys.disk("loop3", "virtual", "7:3", 2048, {{"loop/backing_file", "/tmp/card.img"}});
    sys.disk("zram0", "virtual", "253:0", 2048);
    sys.disk("sr0", "pci0000:00/0000:00:17.0/ata2/host1/target1:0:0/1:0:0:0", "11:0", 2048,
             {{"removable", "1"}}, {{"type", "5"}});

    struct Case {
        const char* name;
        bool allowLoop;
        Kind kind;
        const char* refusal;  // a part of the sentence; empty when the disk qualifies
    };
    const Case cases[] = {
        {"mmcblk0", false, Kind::SdSlot, ""},
        {"mmcblk1", false, Kind::Emmc, "is built-in eMMC storage"},
        {"sdb", false, Kind::CardReader, ""},
        {"sdc", false, Kind::CardReader, "holds no medium"},
        {"sdd", false, Kind::CardReader, "more than the 2 TiB less one sector"},
        {"sde", false, Kind::CardReader, "has 4096-byte sectors"},
        {"sda", false, Kind::Internal, "is not removable (a fixed SATA disk)"},
        {"sdf", false, Kind::Internal, "is not removable (a fixed USB disk)"},
        {"vda", false, Kind::Internal, "is not removable (a fixed virtio disk)"},
        {"nvme0n1", false, Kind::Nvme, "is an NVMe drive"},
        {"loop3", false, Kind::Loop, "is a loop device, not a card"},
        {"loop3", true, Kind::Loop, ""},
        {"zram0", false, Kind::Virtual, "is a virtual device"},
        {"sr0", false, Kind::Optical, "is an optical drive"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto d = describe(sys.view, c.name);
        ASSERT_TRUE(d);
        EXPECT_EQ(d->kind, c.kind);
        const std::string why = refusal(*d, c.allowLoop);
        if (*c.refusal == 0) {
            EXPECT_EQ(why, "");
        } else {
            EXPECT_NE(why.find(c.refusal), std::string::npos) << why;
            EXPECT_EQ(why.rfind("/dev/" + std::string(c.name), 0), 0u) << why;
            EXPECT_EQ(why.find('.'), std::string::npos) << "one sentence without its stop: " << why;
        }
    }

    // A virtio disk's PCI vendor number is no name to show.
    EXPECT_EQ(describe(sys.view, "vda")->vendor, "");
    EXPECT_EQ(describe(sys.view, "sdf")->vendor, "WD");

    // What a card says about itself and its reader.
    const auto sd = describe(sys.view, "mmcblk0");
    EXPECT_EQ(sd->manfid, "0x000003");
    EXPECT_EQ(sd->model, "SD32G");
    const auto reader = describe(sys.view, "sdb");
    EXPECT_EQ(reader->bus, "USB");
    EXPECT_EQ(reader->vendor + " " + reader->model, "Generic STORAGE DEVICE");
    EXPECT_EQ(reader->bytes, k32G * 512);
    EXPECT_TRUE(isCard(*reader));
    EXPECT_FALSE(describe(sys.view, "sdz"));
    EXPECT_FALSE(describe(sys.view, "../sdb"));

    std::vector<std::string> names;
    for (const Device& d : listDisks(sys.view)) names.push_back(d.name);
    EXPECT_EQ(names, (std::vector<std::string>{"loop3", "mmcblk0", "mmcblk1", "nvme0n1", "sda", "sdb", "sdc",
                                               "sdd", "sde", "sdf", "sr0", "vda", "zram0"}));
}

TEST(BlockDevices, SystemDisksPartitionsAndMounts) {
    FakeSystem sys("system");
    // Card readers all: what refuses them is what the system keeps on them.
    const fs::path root = sys.disk("sdb", kUsbHost, "8:16", k32G, {{"removable", "1"}}, {{"type", "0"}});
    sys.partition(root, "sdb1", "8:17");
    const fs::path boot = sys.disk("sdc", std::string(kUsbHost) + "/../3:0:0:1", "8:32", k32G,
                                   {{"removable", "1"}}, {{"type", "0"}});
    sys.partition(boot, "sdc1", "8:33");
    const fs::path swap = sys.disk("sdd", std::string(kUsbHost) + "/../3:0:0:2", "8:48", k32G,
                                   {{"removable", "1"}}, {{"type", "0"}});
    sys.partition(swap, "sdd2", "8:50");
    sys.holder(swap / "sdd2", "dm-0", "252:0");
    const fs::path media = sys.disk("sde", std::string(kUsbHost) + "/../3:0:0:3", "8:64", k32G,
                                    {{"removable", "1"}}, {{"type", "0"}});
    sys.partition(media, "sde1", "8:65");
    sys.mounts("22 1 8:17 / / rw,relatime - ext4 /dev/sdb1 rw\n"
               "23 22 8:33 / /boot/efi rw - vfat /dev/sdc1 rw\n"
               "24 22 8:65 / /media/My\\040Card rw,nosuid shared:5 - vfat /dev/sde1 rw\n"
               "25 22 0:21 / /proc rw - proc proc rw\n");
    sys.swaps("/dev/dm-0\tpartition\t1024\t0\t-2\n/swapfile\tfile\t1024\t0\t-3");

    struct Case {
        const char* name;
        const char* refusal;
    };
    const Case cases[] = {
        {"sdb", "holds the running system (/ is mounted from sdb1)"},
        {"sdc", "holds the running system (/boot/efi is mounted from sdc1)"},
        {"sdd", "holds the system's active swap (on dm-0)"},
        {"sdb1", "is a partition; a card is formatted whole, so name its disk /dev/sdb"},
        {"sde", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto d = describe(sys.view, c.name);
        ASSERT_TRUE(d);
        const std::string why = refusal(*d, false);
        if (*c.refusal == 0) EXPECT_EQ(why, "");
        else EXPECT_NE(why.find(c.refusal), std::string::npos) << why;
    }

    // A card mounted by the desktop qualifies; a format finds the mount and its partition.
    const auto card = describe(sys.view, "sde");
    ASSERT_EQ(card->mounts.size(), 1u);
    EXPECT_EQ(card->mounts[0].mountPoint, "/media/My Card");
    EXPECT_EQ(card->mounts[0].device, "sde1");
    EXPECT_EQ(card->partitions, std::vector<std::string>{"sde1"});
}

// The recorded sysfs of a QEMU guest (tests/platform/block_devices_qemu_sysfs.txt, written by the
// vm suite): "[key] device-path/block/NAME" heads each disk, then "attribute = value" lines, those
// of its device directory as "device/attribute". Gives the disks' names by key.
std::map<std::string, std::string> loadRecorded(FakeSystem& sys) {
    std::ifstream in(BRC_RECORDED_SYSFS);
    EXPECT_TRUE(in) << BRC_RECORDED_SYSFS;
    struct Disk {
        std::string name, devicePath;
        std::map<std::string, std::string> attributes, device;
    };
    std::vector<Disk> disks;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        if (line[0] == '[') {
            const size_t close = line.find("] ");
            const std::string path = line.substr(close + 2);
            const size_t block = path.rfind("/block/");
            disks.push_back({path.substr(block + 7), path.substr(0, block), {}, {}});
            disks.back().attributes["key"] = line.substr(1, close - 1);
            continue;
        }
        const size_t eq = line.find(" = ");
        if (disks.empty() || eq == std::string::npos) continue;
        const std::string key = line.substr(0, eq), value = line.substr(eq + 3);
        if (key.rfind("device/", 0) == 0) disks.back().device[key.substr(7)] = value;
        else disks.back().attributes[key] = value;
    }
    std::map<std::string, std::string> names;
    for (Disk& d : disks) {
        names[d.attributes["key"]] = d.name;
        d.attributes.erase("key");
        const uint64_t sectors = std::stoull(d.attributes["size"]);
        const std::string dev = d.attributes["dev"];
        sys.disk(d.name, d.devicePath, dev, sectors, d.attributes, d.device);
    }
    return names;
}

TEST(BlockDevices, TheKindsAQemuGuestsDriversShow) {
    FakeSystem sys("recorded");
    const auto names = loadRecorded(sys);
    struct Case {
        const char* key;
        Kind kind;
        const char* bus;
        bool discard;
        const char* refusal;  // a part of the sentence; empty when the disk qualifies
    };
    const Case cases[] = {
        {"sd", Kind::SdSlot, "MMC", true, ""},
        {"usb", Kind::CardReader, "USB", false, ""},
        {"usbro", Kind::CardReader, "USB", false, ""},
        // A reader speaking UAS passes SCSI UNMAP through, as bulk-only usb-storage does not.
        {"uas", Kind::CardReader, "USB", true, ""},
        {"usbfix", Kind::Internal, "USB", false, "is not removable (a fixed USB disk)"},
        {"sata", Kind::Internal, "SATA", true, "is not removable (a fixed SATA disk)"},
        {"virt", Kind::Internal, "virtio", true, "is not removable (a fixed virtio disk)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.key);
        ASSERT_EQ(names.count(c.key), 1u);
        const auto d = describe(sys.view, names.at(c.key));
        ASSERT_TRUE(d);
        EXPECT_EQ(d->kind, c.kind);
        if (*c.bus) {
            EXPECT_EQ(d->bus, c.bus);
        }
        EXPECT_EQ(d->discard, c.discard);
        EXPECT_EQ(d->bytes, uint64_t{32} << 20);
        const std::string why = refusal(*d, false);
        if (*c.refusal == 0) {
            EXPECT_EQ(why, "");
        } else {
            EXPECT_NE(why.find(c.refusal), std::string::npos) << why;
        }
    }
    const auto sd = describe(sys.view, names.at("sd"));
    EXPECT_EQ(sd->model, "QEMU!");
    EXPECT_EQ(sd->manfid, "0x0000aa");
    EXPECT_EQ(sd->oemid, "0x5859");
    // The SCSI inquiry pads its fields with blanks; the names come without them.
    const auto reader = describe(sys.view, names.at("usb"));
    EXPECT_EQ(reader->vendor + "|" + reader->model, "QEMU|QEMU HARDDISK");
    EXPECT_TRUE(describe(sys.view, names.at("usbro"))->readOnly);
}

// A disk behind an AHCI controller is a SATA disk, not "SCSI", and a virtio disk's maker is not
// the raw PCI vendor number the kernel gives in its vendor attribute.
TEST(BlockDevices, SataBusAndNoPciNumberForAMaker) {
    FakeSystem sys("recorded-names");
    const auto names = loadRecorded(sys);
    const auto sata = describe(sys.view, names.at("sata"));
    EXPECT_EQ(sata->bus, "SATA");
    EXPECT_NE(refusal(*sata, false).find("(a fixed SATA disk)"), std::string::npos) << refusal(*sata, false);
    const auto virt = describe(sys.view, names.at("virt"));
    EXPECT_NE(virt->vendor.rfind("0x", 0), 0u) << virt->vendor;
}

TEST(BlockDevices, MountTableAndSwapListLines) {
    const auto mounts = parseMountInfo(
        "36 35 98:0 /mnt1 /mnt/a\\134b\\011c rw,noatime master:1 - ext3 /dev/root rw,errors=continue\n"
        "garbage line\n"
        "37 35 8:1 / /x rw - \n"
        "38 35 179:1 / /media/card rw shared:1 shared:2 - exfat /dev/mmcblk0p1 rw\n");
    ASSERT_EQ(mounts.size(), 2u);
    EXPECT_EQ(mounts[0].major, 98u);
    EXPECT_EQ(mounts[0].mountPoint, "/mnt/a\\b\tc");
    EXPECT_EQ(mounts[0].fsType, "ext3");
    EXPECT_EQ(mounts[1].source, "/dev/mmcblk0p1");
    EXPECT_EQ(mounts[1].minor, 1u);

    EXPECT_EQ(parseSwaps("Filename Type Size Used Priority\n/dev/zram-none partition 8 0 100\n"
                         "/var/swap file 8 0 -2\n"),
              std::vector<std::string>{"zram-none"});
}

} // namespace
} // namespace brc::blockdev
