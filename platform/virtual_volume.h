// The file system on a virtual card (an image file or a raw device), read and changed by our own
// code where the operating system would otherwise mount it: the volume label, the serial, the
// file-system name and the free space of FAT12, FAT16, FAT32 and exFAT volumes. Portable: the
// card is reached only through the two functions of CardSectors, so the posix and Windows layers
// both serve virtual cards through it.
//
// Everything read from the card is checked before it is used: a damaged image gives an error
// code, never a read or write outside the volume's partition. A cluster chain that loops, links
// outside the heap or runs past what its structure may hold is damage too
// (ERROR_UNRECOGNIZED_VOLUME), found without reading any cluster twice.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "base/code_page.h"
#include "base/format_clock.h"
#include "os/os_services.h"

namespace brc {

// The card as 512-byte sectors counted from its first sector.
struct CardSectors {
    uint64_t count = 0; // sectors on the card
    // Read or write `n` whole sectors starting at `first`; false on any failure.
    std::function<bool(uint64_t first, uint32_t n, uint8_t* data)> read;
    std::function<bool(uint64_t first, uint32_t n, const uint8_t* data)> write;
};

// Windows error codes these operations answer with (0 is success).
constexpr uint32_t kErrorWriteFault = 29;           // ERROR_WRITE_FAULT
constexpr uint32_t kErrorReadFault = 30;            // ERROR_READ_FAULT
constexpr uint32_t kErrorDiskFull = 112;            // ERROR_DISK_FULL
constexpr uint32_t kErrorInvalidName = 123;         // ERROR_INVALID_NAME
constexpr uint32_t kErrorUnrecognizedVolume = 1005; // ERROR_UNRECOGNIZED_VOLUME

enum class VirtualFsType { Fat12, Fat16, Fat32, ExFat };

// Where the volume lies and what it is. The volume is the first partition of the master boot
// record, or the whole card when sector 0 is itself a FAT or exFAT boot sector.
struct VirtualVolumeLayout {
    VirtualFsType type = VirtualFsType::Fat12;
    uint64_t firstSector = 0;      // card sector of the boot sector
    uint64_t partitionSectors = 0; // card sectors the volume may occupy
    uint32_t bytesPerSector = 0;   // the file system's own sector size
    uint32_t sectorsPerCluster = 0;
    uint32_t clusterCount = 0;
};

// Locates and recognises the volume: 0, or ERROR_UNRECOGNIZED_VOLUME when the card holds no
// FAT or exFAT file system that passes the checks (or sector 0 or the boot sector is unreadable).
uint32_t locateVirtualVolume(const CardSectors& card, VirtualVolumeLayout& out);

// GetVolumeInformationW for the card: label (from the root directory's label entry, FAT labels
// decoded through `oem`), serial, maximum component length, flags and file-system name
// ("FAT", "FAT32" or "exFAT").
uint32_t virtualVolumeInformation(const CardSectors& card, const CodePage& oem, VolumeInfo& out);

// GetDiskFreeSpaceW for the card: cluster geometry, clusters in the heap and the clusters that
// the FAT (or exFAT's allocation bitmap) records as free.
uint32_t virtualFreeSpace(const CardSectors& card, ClusterSpace& out);

// SetVolumeLabelW for the card. FAT: a-z upper-cased, encoded through `oem`; refused
// (ERROR_INVALID_NAME) when longer than 11 bytes, when it holds a control character or one of
// "*+,./:;<=>?[\]| or a character the code page lacks. exFAT: at most 11 UTF-16 units, none of
// "*/:<>?\| or a control character. An empty label removes the label entry. `now` stamps the
// FAT label entry. Only the label is written: FAT32's clean-shutdown bit and FSInfo keep what
// the card holds, so a card labelled here stays clean.
uint32_t setVirtualVolumeLabel(const CardSectors& card, const CodePage& oem,
                               const std::u16string& label, const LocalTime& now);

} // namespace brc
