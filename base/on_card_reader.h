// The one reader of the on-card structures: the MBR's partition entries, the FAT boot sector,
// FAT32's FSInfo sector and the exFAT boot sector, decoded from bytes already read. A reader
// takes a sector's bytes and gives nullopt when they are too few or are not the structure at
// all; every field it gives is read from within the span. Whether a structure is sound enough
// to use is each caller's rule: the check names what is wrong, a mount refuses it.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "base/on_card_fields.h"

namespace brc {

using SectorView = std::span<const uint8_t>;

struct PartitionEntry {
    const uint8_t* raw = nullptr; // the entry's kEntryBytes bytes
    uint8_t bootIndicator = 0;
    uint8_t type = 0;
    uint32_t firstSector = 0;
    uint32_t sectorCount = 0;
    bool used = false; // any byte set
};

struct PartitionTable {
    bool signature = false; // 55 AA; without it the entries are no partition table
    std::array<PartitionEntry, 4> entries;
};

std::optional<PartitionTable> readPartitionTable(SectorView sector);

// What follows the shared block: at offset 36 on FAT12/16, at 64 on FAT32.
struct FatExtendedFields {
    uint8_t signature = 0; // 29h: serial, label and type follow; 28h: the serial only
    uint32_t volumeId = 0;
    uint32_t labelOffset = 0;
};

struct FatBootSector {
    uint32_t bytesPerSector = 0;
    uint32_t sectorsPerCluster = 0;
    uint32_t reservedSectors = 0;
    uint32_t numberOfFats = 0;
    uint32_t rootEntries = 0;
    uint32_t totalSectors16 = 0;
    uint32_t media = 0;
    uint32_t fatSize16 = 0;
    uint32_t sectorsPerTrack = 0;
    uint32_t heads = 0;
    uint32_t hiddenSectors = 0;
    uint32_t fatSectors = 0;   // the 16-bit size, or FAT32's when that is 0
    uint64_t totalSectors = 0; // the 16-bit count, or the 32-bit one when that is 0
    // FAT32's fields, read whatever the type.
    uint32_t extFlags = 0;
    uint32_t rootCluster = 0;
    uint32_t fsInfoSector = 0;
    uint32_t backupBootSector = 0;
    FatExtendedFields fat16Fields, fat32Fields;
    bool signature = false; // 55 AA

    uint64_t rootDirectorySectors() const {
        return (uint64_t{rootEntries} * kDirEntryBytes + bytesPerSector - 1) / bytesPerSector;
    }
    // From the volume's start to cluster 2.
    uint64_t systemSectors() const {
        return reservedSectors + uint64_t{numberOfFats} * fatSectors + rootDirectorySectors();
    }
    // 0 when no whole cluster fits after the system area.
    uint64_t clusters() const {
        const uint64_t system = systemSectors();
        return sectorsPerCluster == 0 || system >= totalSectors
                   ? 0
                   : (totalSectors - system) / sectorsPerCluster;
    }
    // Whether one FAT of `bits`-bit entries has an entry for each of `clusters` clusters.
    bool fatHolds(uint64_t clusterCount, uint32_t bits) const {
        return uint64_t{fatSectors} * bytesPerSector * 8 >= (clusterCount + 2) * bits;
    }
};

// The FAT entry width that `clusters` clusters make: 12, 16 or 32.
constexpr uint32_t fatBitsForClusters(uint64_t clusters) {
    return clusters <= kFat12MaxClusters ? 12 : clusters <= kFat16MaxClusters ? 16 : 32;
}

// A FAT boot sector: a jump instruction (E9h, or EBh ?? 90h) and a power-of-two sector size of
// 512 to 4096 bytes.
std::optional<FatBootSector> readFatBootSector(SectorView sector);

struct FsInfo {
    uint32_t freeCount = 0;
    uint32_t nextFree = 0;
};

// An FSInfo sector: its lead, structure and trail signatures in place.
std::optional<FsInfo> readFsInfo(SectorView sector);

struct ExFatBootSector {
    bool mustBeZeroClear = false; // bytes 11 to 63, the BPB of FAT, all zero
    bool signature = false;       // 55 AA
    uint64_t partitionOffset = 0;
    uint64_t volumeLength = 0;
    uint32_t fatOffset = 0;
    uint32_t fatLength = 0;
    uint32_t clusterHeapOffset = 0;
    uint32_t clusterCount = 0;
    uint32_t rootCluster = 0;
    uint32_t volumeSerialNumber = 0;
    uint32_t fileSystemRevision = 0;
    uint32_t volumeFlags = 0;
    uint32_t bytesPerSectorShift = 0;
    uint32_t sectorsPerClusterShift = 0;
    uint32_t numberOfFats = 0;
};

// An exFAT boot sector: the file-system name "EXFAT   ".
std::optional<ExFatBootSector> readExFatBootSector(SectorView sector);

// The published exFAT boot checksum, continued over one sector of `sectorBytes`. For the boot
// sector the VolumeFlags and PercentInUse bytes (106, 107, 112) are left out.
uint32_t exFatBootChecksum(uint32_t checksum, const uint8_t* sector, bool bootSector,
                           size_t sectorBytes = kSectorBytes);
// The up-case table's checksum (the same sum over every byte), continued over `length` bytes.
uint32_t exFatTableChecksum(uint32_t checksum, const uint8_t* bytes, size_t length);

// GUID of the flash-parameters record, as stored.
extern const uint8_t kFlashParametersGuid[16];

bool isEmptyOemRecord(const uint8_t record[kOemRecordBytes]);
bool isFlashParametersRecord(const uint8_t record[kOemRecordBytes]);

struct OemParameterRecord {
    const uint8_t* bytes = nullptr; // kOemRecordBytes
    bool empty = false;             // GUID all zeros or all 0xFF
    bool flashParameters = false;
    uint32_t eraseBlockBytes = 0; // flash parameters only
};

// The records of an exFAT OEM parameters sector.
std::optional<std::array<OemParameterRecord, kOemMaxRecords>> readOemParameters(SectorView sector);

} // namespace brc
