// The check and the virtual volume (what the drive probes and the label step read) over the same
// cards: ours, mkfs.fat's and mkfs.exfat's, labels stored with 05h for E5h, and damaged ones.
// Where both read a volume they agree on its type, label and serial; where only one reads it,
// that is each reader's own rule, named in the table.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <optional>

#include "base/little_endian.h"
#include "check/card_check.h"
#include "platform/virtual_volume.h"
#include "tests/check/check_cards.h"
#include "volume/boot_sector.h"

using namespace brc;

namespace {

enum class Readers { Both, Neither, OnlyCheck, OnlySystem };

struct Image {
    int fd = -1;
    uint64_t sectors = 0;
    explicit Image(const std::string& path) : fd(::open(path.c_str(), O_RDWR)) {
        if (fd >= 0) sectors = static_cast<uint64_t>(::lseek(fd, 0, SEEK_END)) / 512;
    }
    ~Image() {
        if (fd >= 0) ::close(fd);
    }
    bool read(uint64_t first, uint32_t n, uint8_t* out) const {
        const auto bytes = static_cast<ssize_t>(size_t{n} * 512);
        return ::pread(fd, out, static_cast<size_t>(bytes), static_cast<off_t>(first * 512)) == bytes;
    }
    void write(uint64_t byte, const void* data, size_t n) const {
        ASSERT_EQ(::pwrite(fd, data, n, static_cast<off_t>(byte)), static_cast<ssize_t>(n));
    }
    CardSectors card() const {
        CardSectors c;
        c.count = sectors;
        c.read = [this](uint64_t first, uint32_t n, uint8_t* out) { return read(first, n, out); };
        return c;
    }
    // The first sector of the volume: partition entry 1's start, or 0 without a table.
    uint64_t volumeStart() const {
        uint8_t s[512];
        if (!read(0, 1, s)) return 0;
        const BootRecognition whole = recognizeBootSector(s, BootReader::System, sectors * 512);
        return whole.kind == BootKind::Volume ? 0 : le32(s + 454);
    }
};

// Sets the first byte of the FAT root directory's label entry to 05h: the label now starts with
// E5h (sigma in code page 437).
void storeLabelWithE5(const Image& img) {
    const uint64_t start = img.volumeStart();
    uint8_t s[512];
    ASSERT_TRUE(img.read(start, 1, s));
    const BootRecognition r = recognizeBootSector(s, BootReader::System, img.sectors * 512);
    ASSERT_EQ(r.kind, BootKind::Volume);
    const BootVolume& v = r.volume;
    const uint64_t root =
        start + (v.type == Fat32 ? v.systemSectors + uint64_t{v.rootCluster - 2} * v.sectorsPerCluster
                                 : v.reservedSectors + uint64_t{v.numberOfFats} * v.fatSectors);
    ASSERT_TRUE(img.read(root, 1, s));
    for (size_t e = 0; e < 512; e += 32) {
        if (s[e + 11] == 0x08 && s[e] != 0 && s[e] != 0xE5) {
            const uint8_t lead = 0x05;
            img.write(root * 512 + e, &lead, 1);
            return;
        }
    }
    FAIL() << "no label entry";
}

struct AgreementCase {
    const char* name;
    uint32_t sectors, protectedSectors;
    const char* make;  // a command on $IMG (the card), "format ..." the built command's; empty: our
                       // own format with `label`
    const char* label;
    bool labelWithE5;
    uint64_t damageAt;  // bytes of the volume's first sector set to damageValue; 0: none
    uint8_t damageValue, damageBytes;
    Readers readers;
    const char* expectLabel;  // what both read; nullptr when not both read
};

const AgreementCase kCases[] = {
    {"ours FAT12", 15360, 0, "", "CARD12", false, 0, 0, 0, Readers::Both, "CARD12"},
    {"ours FAT16, label led by E5h", 1984000, 0, "", "EDGE", true, 0, 0, 0, Readers::Both, "σDGE"},
    {"ours FAT32", 7744600, 0, "", "data", false, 0, 0, 0, Readers::Both, "DATA"},
    {"ours FAT32, label led by E5h", 7744600, 0, "", "X32", true, 0, 0, 0, Readers::Both, "σ32"},
    // The label step writes Õ, E5h in code page 850, as 05h; read through code page 437 it is σ.
    {"ours FAT16, code page 850 label led by E5h", 1984000, 0,
     "format $IMG --yes -q --codepage 850 --label ÕKAY", "", false, 0, 0, 0, Readers::Both, "σKAY"},
    {"ours exFAT", 67108864, 0, "", "Grüße σ", false, 0, 0, 0, Readers::Both, "Grüße σ"},
    {"mkfs.fat FAT12", 15360, 0, "mkfs.fat -F 12 -n LBL12 $IMG", "", false, 0, 0, 0, Readers::Both,
     "LBL12"},
    {"mkfs.fat FAT16, label led by E5h", 524288, 0, "mkfs.fat -F 16 -n LBL16 $IMG", "", true, 0, 0, 0,
     Readers::Both, "σBL16"},
    {"mkfs.fat FAT32", 8388608, 0, "mkfs.fat -F 32 -n LBL32 $IMG", "", false, 0, 0, 0, Readers::Both,
     "LBL32"},
    {"mkfs.exfat", 131072, 0, "mkfs.exfat -L Peer $IMG", "", false, 0, 0, 0, Readers::Both, "Peer"},
    // The check tells FAT types apart by the cluster count, the systems' drivers by the 16-bit
    // FAT size: FAT32's fields over FAT16's cluster count are a FAT32 volume only to the latter.
    {"mkfs.fat FAT32 with few clusters", 262144, 0, "mkfs.fat -F 32 -s 8 -n FEW $IMG", "", false,
     0, 0, 0, Readers::OnlySystem, nullptr},
    // A wrong boot checksum is a deviation to the check; the system does not mount the volume.
    // All four bytes of the serial: mkfs.exfat's is random, and one byte may already be 5Ah.
    {"exFAT, serial changed under its checksum", 131072, 0, "mkfs.exfat -L Sum $IMG", "", false,
     100, 0x5A, 4, Readers::OnlyCheck, nullptr},
    {"FAT16 without its 16-bit FAT size", 524288, 0, "mkfs.fat -F 16 $IMG", "", false, 22, 0, 2,
     Readers::Neither, nullptr},
    {"FAT12 without a FAT", 15360, 0, "", "", false, 16, 0, 1, Readers::Neither, nullptr},
};

TEST(CheckAndVirtualVolume, AgreeOnTypeLabelAndSerial) {
    if (!havePeers()) GTEST_SKIP() << "mkfs.fat or mkfs.exfat is missing";
    ScratchDir dir("check-agreement");
    for (const AgreementCase& c : kCases) {
        SCOPED_TRACE(c.name);
        const std::string img = card(dir, "agree.img", c.sectors, c.protectedSectors);
        const std::string make = c.make;
        if (make.rfind("format ", 0) == 0) {
            ASSERT_EQ(runCli("format " + img + make.substr(make.find("$IMG") + 4)).status, 0);
        } else if (!make.empty()) {
            ASSERT_EQ(sh("IMG=" + img + "; " + make), 0) << make;
        } else {
            const std::string label = *c.label ? std::string(" --label '") + c.label + "'" : "";
            ASSERT_EQ(runCli("format " + img + " --yes -q" + label).status, 0);
        }
        const Image image(img);
        ASSERT_GE(image.fd, 0);
        if (c.labelWithE5) storeLabelWithE5(image);
        for (uint8_t i = 0; i < c.damageBytes; ++i)
            image.write(image.volumeStart() * 512 + c.damageAt + i, &c.damageValue, 1);

        const CardCheck check = checkCard(
            CardCapacity{c.sectors, c.protectedSectors},
            [&](uint32_t first, uint32_t n, uint8_t* out) { return image.read(first, n, out); });
        VirtualVolumeLayout layout;
        VolumeInfo info;
        const bool systemReads = locateVirtualVolume(image.card(), layout) == 0 &&
                                 virtualVolumeInformation(image.card(), cp437(), info) == 0;
        const bool checkReads = check.found.fsType.has_value();
        EXPECT_EQ(checkReads, c.readers == Readers::Both || c.readers == Readers::OnlyCheck)
            << check.problem;
        EXPECT_EQ(systemReads, c.readers == Readers::Both || c.readers == Readers::OnlySystem);
        if (!checkReads || !systemReads) continue;

        const uint32_t systemType = layout.type == VirtualFsType::Fat12   ? Fat12
                                    : layout.type == VirtualFsType::Fat16 ? Fat16
                                    : layout.type == VirtualFsType::Fat32 ? Fat32
                                                                          : ExFat;
        EXPECT_EQ(*check.found.fsType, systemType);
        EXPECT_EQ(check.label, utf16ToUtf8(info.label));
        EXPECT_EQ(check.label, c.expectLabel);
        EXPECT_EQ(check.serial, info.serial);
        EXPECT_NE(check.serial, 0u);
    }
}

} // namespace
