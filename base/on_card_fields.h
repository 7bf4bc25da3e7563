// Byte offsets of the fields of the on-card structures that the writers build and the readers
// check: the MBR's partition table, the FAT boot sector, FAT32's FSInfo sector, the exFAT boot
// sector and the directory entries. Named as the FAT and exFAT specifications name them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace brc {

// The sector of SD cards, of the on-card structures and of every transfer.
constexpr uint32_t kSectorBytes = 512;

// The most clusters a FAT12 and a FAT16 volume hold; readers tell the FAT types apart by the
// cluster count alone.
constexpr uint64_t kFat12MaxClusters = 4084;
constexpr uint64_t kFat16MaxClusters = 65524;

// 55h AAh: the last two bytes of the MBR and of every boot, FSInfo and extended boot sector.
constexpr size_t kBootSignatureOffset = 510;

constexpr bool hasBootSignature(const uint8_t* sector) {
    return sector[kBootSignatureOffset] == 0x55 && sector[kBootSignatureOffset + 1] == 0xAA;
}

constexpr void putBootSignature(uint8_t* sector) {
    sector[kBootSignatureOffset] = 0x55;
    sector[kBootSignatureOffset + 1] = 0xAA;
}

// The master boot record: four partition entries.
namespace mbr {
constexpr size_t kPartitionTable = 446;
constexpr size_t kEntryBytes = 16;
// Within one entry.
constexpr size_t kBootIndicator = 0;
constexpr size_t kStartChs = 1;
constexpr size_t kPartitionType = 4;
constexpr size_t kEndChs = 5;
constexpr size_t kFirstSector = 8;
constexpr size_t kSectorCount = 12;
} // namespace mbr

// The BIOS parameter block shared by FAT12, FAT16 and FAT32 (offsets 0 to 35).
namespace bpb {
constexpr size_t kJumpBoot = 0;
constexpr size_t kOemName = 3;
constexpr size_t kBytesPerSector = 11;
constexpr size_t kSectorsPerCluster = 13;
constexpr size_t kReservedSectors = 14;
constexpr size_t kNumFats = 16;
constexpr size_t kRootEntries = 17;
constexpr size_t kTotalSectors16 = 19;
constexpr size_t kMedia = 21;
constexpr size_t kFatSize16 = 22;
constexpr size_t kSectorsPerTrack = 24;
constexpr size_t kNumHeads = 26;
constexpr size_t kHiddenSectors = 28;
constexpr size_t kTotalSectors32 = 32;
} // namespace bpb

// What follows the shared block on FAT12 and FAT16.
namespace bpb16 {
constexpr size_t kDriveNumber = 36;
constexpr size_t kBootSignature = 38; // 29h: the three fields after it are present
constexpr size_t kVolumeId = 39;
constexpr size_t kVolumeLabel = 43;
constexpr size_t kFileSystemType = 54;
} // namespace bpb16

// What follows the shared block on FAT32.
namespace bpb32 {
constexpr size_t kFatSize32 = 36;
constexpr size_t kExtFlags = 40;
constexpr size_t kRootCluster = 44;
constexpr size_t kFsInfoSector = 48;
constexpr size_t kBackupBootSector = 50;
constexpr size_t kDriveNumber = 64;
constexpr size_t kBootSignature = 66;
constexpr size_t kVolumeId = 67;
constexpr size_t kVolumeLabel = 71;
constexpr size_t kFileSystemType = 82;
} // namespace bpb32

// FAT32's FSInfo sector.
namespace fsinfo {
constexpr size_t kLeadSignature = 0;
constexpr size_t kStructSignature = 484;
constexpr size_t kFreeCount = 488;
constexpr size_t kNextFree = 492;
} // namespace fsinfo

// The exFAT main and backup boot sectors.
namespace exfat_boot {
constexpr size_t kJumpBoot = 0;
constexpr size_t kFileSystemName = 3;
constexpr size_t kMustBeZero = 11; // up to kPartitionOffset
constexpr size_t kPartitionOffset = 64;
constexpr size_t kVolumeLength = 72;
constexpr size_t kFatOffset = 80;
constexpr size_t kFatLength = 84;
constexpr size_t kClusterHeapOffset = 88;
constexpr size_t kClusterCount = 92;
constexpr size_t kFirstClusterOfRootDirectory = 96;
constexpr size_t kVolumeSerialNumber = 100;
constexpr size_t kFileSystemRevision = 104;
constexpr size_t kVolumeFlags = 106; // two bytes
constexpr size_t kBytesPerSectorShift = 108;
constexpr size_t kSectorsPerClusterShift = 109;
constexpr size_t kNumberOfFats = 110;
constexpr size_t kDriveSelect = 111;
constexpr size_t kPercentInUse = 112;
constexpr size_t kBootCode = 120; // up to kBootSignatureOffset

// Sectors of a boot region after the boot sector's eight extended ones.
constexpr uint32_t kOemParametersSector = 9;
constexpr uint32_t kChecksumSector = 11;

// VolumeFlags and PercentInUse change while the volume is in use, so the boot checksum leaves
// them out.
constexpr bool outsideChecksum(size_t offset) {
    return offset == kVolumeFlags || offset == kVolumeFlags + 1 || offset == kPercentInUse;
}
} // namespace exfat_boot

// The OEM parameters sector: records of a 16-byte GUID and 32 bytes of parameters.
constexpr uint32_t kOemRecordBytes = 48;
constexpr uint32_t kOemMaxRecords = 10;
namespace oem_record {
constexpr size_t kGuid = 0;
constexpr size_t kEraseBlockSize = 16; // flash parameters
} // namespace oem_record

// FAT and exFAT directory entries are 32 bytes.
constexpr size_t kDirEntryBytes = 32;

// A FAT directory entry.
namespace fat_dirent {
constexpr size_t kName = 0;
constexpr size_t kAttributes = 11;
constexpr size_t kWriteTime = 22;
constexpr size_t kWriteDate = 24;

constexpr uint8_t kVolumeLabelAttribute = 0x08;

// The volume label: the label attribute without the directory one, neither deleted (E5h) nor a
// long-name piece (attributes 0Fh).
constexpr bool isVolumeLabel(const uint8_t* e) {
    const uint8_t attributes = e[kAttributes];
    return e[kName] != 0x00 && e[kName] != 0xE5 && attributes != 0x0F &&
           (attributes & 0x18) == kVolumeLabelAttribute;
}

// An entry in use that a host could have written: a long-name piece, or a short name of
// characters short names may hold and no reserved attribute bits. Random bytes seldom are.
constexpr bool isPlausibleEntry(const uint8_t* e) {
    const uint8_t attributes = e[kAttributes];
    if (attributes == 0x0F) return true;
    if ((attributes & 0xC0) != 0 || e[kName] == ' ') return false;
    constexpr char kRefused[] = "\"*+,./:;<=>?[\\]|";
    for (size_t i = 0; i < 11; ++i) {
        const uint8_t c = e[kName + i];
        if ((c < 0x20 && !(i == 0 && c == 0x05)) || c == 0x7F) return false;
        for (char r : kRefused)
            if (r != 0 && c == static_cast<uint8_t>(r)) return false;
    }
    return true;
}
} // namespace fat_dirent

// exFAT directory entries: the volume label, allocation bitmap and up-case table entries.
namespace exfat_dirent {
constexpr size_t kEntryType = 0;
constexpr size_t kCharacterCount = 1; // label
constexpr size_t kBitmapFlags = 1;    // bitmap: bit 0 set for the second FAT's bitmap
constexpr size_t kVolumeLabel = 2;    // label
constexpr size_t kTableChecksum = 4;  // up-case table
constexpr size_t kFirstCluster = 20;  // bitmap, up-case table
constexpr size_t kDataLength = 24;    // bitmap, up-case table

// Entry types (in use: bit 7 set).
constexpr uint8_t kTypeAllocationBitmap = 0x81;
constexpr uint8_t kTypeUpcaseTable = 0x82;
constexpr uint8_t kTypeVolumeLabel = 0x83;
constexpr uint8_t kTypeVolumeGuid = 0xA0;
constexpr uint8_t kTypeTexFatPadding = 0xA1;
} // namespace exfat_dirent

} // namespace brc
