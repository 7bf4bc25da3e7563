// Types shared by the whole format path: results, file-system codes, the computed layout of a
// card and the forms of a volume label.
#pragma once

#include <cstdint>

namespace brc {

enum FormatType : uint32_t { Quick = 0, FullOverwrite = 1, FullOverwriteErase = 2, FullErase = 3 };

// The result of the whole format path.
enum FormatResult : int32_t {
    Success = 0,
    PowerInterrupted = 1,
    CardNotReady = 2,
    SuccessReinsertCard = 3,
    WriteProtected = 4,
    InvalidLabel = 5,
    Failed = -1,
    OutOfMemory = 0x1004,
    SuccessReinsertCardOverwriteFailed = 0x1234,
    CardIdentifyFailed = 0x9995,
    // The system refused to open the card for this user (an administrator under UAC who was
    // not elevated): said as such, not as a card that cannot be formatted.
    AccessDenied = 0x9996,
    WriteProtectSwitch = 0x9999,
};

// What a card reports of its size: the user area and the protected area behind it, in sectors.
struct CardCapacity {
    uint32_t userSectors = 0;
    uint32_t protectedSectors = 0;

    bool operator==(const CardCapacity&) const = default;
};

enum FsType : uint32_t { Fat12 = 1, Fat16 = 2, Fat32 = 4, ExFat = 8 };

// The label in the forms the checks and writers use. Units are UTF-16.
struct VolumeLabelForms {
    uint8_t oemBytes[12];   // upper-cased, OEM code page, 11 bytes + zero
    char16_t oemShort[12];  // oemBytes decoded back, 11 units + zero
    char16_t utf8Short[12]; // case kept, through UTF-8 (63 bytes) and back, 11 units + zero
    char16_t oemLong[21];   // upper-cased, through the OEM code page (63 bytes) and back
    char16_t utf8Long[21];  // as utf8Short, 21 units
};

// The computed layout of one card for one pass; zero-filled before use.
struct FormatParameters {
    uint32_t clusterBytes;
    uint32_t sectorsPerTrack;
    uint32_t heads;
    uint32_t boundaryUnit;
    uint32_t volumeSerial;
    uint32_t fsType;
    uint32_t sectorsPerCluster;
    uint32_t maxCluster;
    uint32_t fatSectors;
    uint32_t systemSectors;
    uint32_t reservedSectors;
    uint32_t partitionStart;
    uint32_t bootChunk;
    uint32_t fsInfoChunk;
    uint32_t bootSector2Chunk;
    uint32_t backupBootChunk;
    uint32_t backupFsInfoChunk;
    uint32_t backupBootSector2Chunk;
    uint32_t fat1Chunk;
    uint32_t fat2Chunk;
    uint32_t dataChunk;
    uint32_t bootChecksum;
    uint32_t bitmapFirstCluster;
    uint32_t bitmapBytes;
    uint32_t upcaseFirstCluster;
    uint32_t upcaseBytes;
    uint32_t rootFirstCluster;
    uint32_t verifyOnly;
    uint64_t cardTotalSectors;
    VolumeLabelForms labelForms;
};

} // namespace brc
