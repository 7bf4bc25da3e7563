// A FAT12, FAT16, FAT32 or exFAT boot sector, recognised once for every reader of a card: the
// check, the virtual volume and the probes. A sector that is a boot sector but cannot be trusted
// is refused with the reason, in words the check shows the user.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>

#include "base/format_types.h"
#include "base/on_card_reader.h"

namespace brc {

// An exFAT boot region: boot sector, extended boot sectors, OEM parameters, reserved, checksum.
constexpr uint32_t kBootRegionSectors = 12;

// The FAT type of a FAT boot sector, read two ways. Readers that follow the published rules tell
// the types apart by the cluster count alone; the systems' own drivers take a 16-bit FAT size of
// 0 for FAT32 and tell FAT12 from FAT16 by the cluster count. A sound boot sector gives both the
// same type; one with FAT32's fields and FAT16's cluster count (mkfs.fat -F 32 on a small card)
// does not, and each reader keeps its own reading of it.
struct FatTypeReading {
    FsType byClusters = Fat12;
    FsType bySystem = Fat12;
    bool agree() const { return byClusters == bySystem; }
};
FatTypeReading fatTypeOf(const FatBootSector& boot);

// The entry width of a FAT type: 12, 16 or 32.
uint32_t fatBits(FsType type);

// Who reads the boot sector, and so what it must hold.
enum class BootReader {
    // The check: 512-byte sectors as SD cards have, the FAT type by the cluster count with fields
    // that agree, exFAT fields sound whatever its signature (the check reports that apart).
    Check,
    // The system's drivers: sector sizes of 512 to 4096 bytes, a media byte, at most four FATs,
    // the FAT type as they read it, exFAT only with its signature and a cleared FAT BPB, and a
    // volume within its partition.
    System,
};

// The boot sector's figures, each range-checked for the reader that asked.
struct BootVolume {
    FsType type = Fat12;
    uint32_t bytesPerSector = 0;
    uint32_t sectorsPerCluster = 0;
    uint32_t reservedSectors = 0; // exFAT: the FAT offset
    uint32_t numberOfFats = 0;
    uint32_t rootEntries = 0;
    uint32_t fatSectors = 0; // one FAT
    uint64_t volumeSectors = 0;
    uint64_t systemSectors = 0; // volume start to cluster 2
    uint64_t clusters = 0;
    uint64_t partitionOffset = 0;            // FAT: hidden sectors; exFAT: PartitionOffset
    uint32_t heads = 0, sectorsPerTrack = 0; // FAT only
    bool signature = false;
    uint32_t fsInfoSector = 0, backupBootSector = 0; // FAT32 only, as the boot sector gives them
    uint32_t rootCluster = 0;                        // FAT32 and exFAT
    uint32_t activeFat = 0;                          // the FAT in use when mirroring is off, else 0
    uint32_t serial = 0;                             // 0 when the boot sector holds none
    uint32_t labelField = 0; // FAT: the boot sector's label offset; 0 when it has none
};

enum class BootKind {
    None,    // neither a FAT nor an exFAT boot sector
    Damaged, // one, but it cannot be trusted: `why` says why
    Volume,  // one, and `volume` holds its figures
};

struct BootRecognition {
    BootKind kind = BootKind::None;
    std::string why; // "its FAT boot sector is damaged: ..." for the check's reader
    BootVolume volume;
};

// Recognises the 512 bytes at `sector` for `reader`; `partitionBytes` bounds the volume for the
// system's reader.
BootRecognition recognizeBootSector(const uint8_t* sector, BootReader reader,
                                    uint64_t partitionBytes = std::numeric_limits<uint64_t>::max());

// Whether the exFAT boot region at `region` (12 sectors of `sectorBytes`) holds in its sector 11
// the checksum of sectors 0 to 10, VolumeFlags and PercentInUse left out.
bool exFatBootChecksumMatches(const uint8_t* region, size_t sectorBytes = kSectorBytes);

} // namespace brc
