// Every field is checked, in 64-bit arithmetic, before a figure is handed on: a damaged or
// hostile boot sector gives a reason, never a volume that leads a read astray.
#include "volume/boot_sector.h"

#include <bit>

#include "base/little_endian.h"
#include "base/on_card_fields.h"
#include "base/number_text.h"

namespace brc {
namespace {

constexpr uint32_t kExFatRegions = 2 * kBootRegionSectors;

std::string sectorsText(uint64_t sectors) {
    return grouped(sectors) + (sectors == 1 ? " sector" : " sectors");
}

const char* fatName(FsType type) {
    return type == Fat12 ? "FAT12" : type == Fat16 ? "FAT16" : "FAT32";
}

FsType typeForBits(uint32_t bits) { return bits == 12 ? Fat12 : bits == 16 ? Fat16 : Fat32; }

// The figures every reader takes from a FAT boot sector.
BootVolume fatFigures(const FatBootSector& boot) {
    BootVolume v;
    v.bytesPerSector = boot.bytesPerSector;
    v.sectorsPerCluster = boot.sectorsPerCluster;
    v.reservedSectors = boot.reservedSectors;
    v.numberOfFats = boot.numberOfFats;
    v.rootEntries = boot.rootEntries;
    v.fatSectors = boot.fatSectors;
    v.volumeSectors = boot.totalSectors;
    v.partitionOffset = boot.hiddenSectors;
    v.heads = boot.heads;
    v.sectorsPerTrack = boot.sectorsPerTrack;
    v.signature = boot.signature;
    v.systemSectors = boot.systemSectors();
    v.clusters = boot.clusters();
    return v;
}

// The serial and label field of the extended fields that go with the FAT type.
void fatExtendedFigures(const FatBootSector& boot, BootVolume& v) {
    const FatExtendedFields& ext = v.type == Fat32 ? boot.fat32Fields : boot.fat16Fields;
    if (ext.signature == 0x29 || ext.signature == 0x28) v.serial = ext.volumeId;
    if (ext.signature == 0x29) v.labelField = ext.labelOffset;
    if (v.type == Fat32) {
        v.rootCluster = boot.rootCluster;
        v.fsInfoSector = boot.fsInfoSector;
        v.backupBootSector = boot.backupBootSector;
        // Bit 7: FAT mirroring off, bits 0-3: the active FAT.
        if ((boot.extFlags & 0x80) != 0 && (boot.extFlags & 0xF) < v.numberOfFats)
            v.activeFat = boot.extFlags & 0xF;
    }
}

BootRecognition damaged(const char* system, const std::string& text) {
    return {
        BootKind::Damaged, std::string("its ") + system + " boot sector is damaged: " + text, {}};
}

BootRecognition fatForCheck(const FatBootSector& boot) {
    const auto bad = [](const std::string& text) { return damaged("FAT", text); };
    if (boot.bytesPerSector != kSectorBytes)
        return bad("it gives " + grouped(boot.bytesPerSector) +
                   "-byte sectors, where SD cards have 512-byte sectors");
    BootVolume v = fatFigures(boot);
    if (!std::has_single_bit(v.sectorsPerCluster))
        return bad("sectors per cluster " + grouped(v.sectorsPerCluster) +
                   " is not a power of two");
    if (v.reservedSectors == 0) return bad("it reserves no sector for itself");
    if (v.numberOfFats == 0) return bad("it gives no FAT");
    if (v.fatSectors == 0) return bad("its FATs have no sectors");
    if (v.volumeSectors == 0) return bad("its volume has no sectors");
    if (v.systemSectors >= v.volumeSectors)
        return bad("its FATs and root directory (" + sectorsText(v.systemSectors) +
                   ") leave no room for data in its " + sectorsText(v.volumeSectors));
    if (v.clusters == 0) return bad("its data area holds no whole cluster");
    const FatTypeReading reading = fatTypeOf(boot);
    v.type = reading.byClusters;
    if (v.type == Fat32 && (!reading.agree() || v.rootEntries != 0 || boot.totalSectors16 != 0))
        return bad("it has FAT32's cluster count but FAT16's fields");
    if (!reading.agree())
        return bad(std::string("it has ") + fatName(v.type) +
                   "'s cluster count but no 16-bit FAT size");
    if (!boot.fatHolds(v.clusters, fatBits(v.type)))
        return bad("its FATs of " + sectorsText(v.fatSectors) + " cannot hold " +
                   grouped(v.clusters) + " clusters");
    fatExtendedFigures(boot, v);
    return {BootKind::Volume, "", v};
}

BootRecognition fatForSystem(const FatBootSector& boot, uint64_t partitionBytes) {
    const auto bad = [](const std::string& text) { return damaged("FAT", text); };
    BootVolume v = fatFigures(boot);
    if (!std::has_single_bit(v.sectorsPerCluster)) return bad("a cluster size no power of two");
    if (v.reservedSectors == 0 || v.numberOfFats == 0 || v.numberOfFats > 4)
        return bad("no reserved sector, or no FAT or more than four");
    if (boot.media != 0xF0 && boot.media < 0xF8) return bad("no media byte");
    if (v.fatSectors == 0 || v.volumeSectors == 0) return bad("no FAT or volume size");
    const FatTypeReading reading = fatTypeOf(boot);
    v.type = reading.bySystem;
    if ((v.type == Fat32) != (v.rootEntries == 0)) return bad("a root directory of the other type");
    if (v.systemSectors >= v.volumeSectors || v.volumeSectors * v.bytesPerSector > partitionBytes)
        return bad("no data area, or a volume past its partition");
    if (v.clusters == 0) return bad("no whole cluster");
    // The FAT must hold an entry for every cluster, and the entries must be able to name them.
    const uint64_t maxClusters = v.type == Fat32 ? 0x0FFFFFF5 : v.type == Fat16 ? 0xFFF4 : 0xFF4;
    if (!boot.fatHolds(v.clusters, fatBits(v.type)) || v.clusters > maxClusters)
        return bad("more clusters than its FATs hold");
    fatExtendedFigures(boot, v);
    if (v.type == Fat32 && (v.rootCluster < 2 || v.rootCluster - 2 >= v.clusters))
        return bad("a root cluster outside the heap");
    return {BootKind::Volume, "", v};
}

// The figures every reader takes from an exFAT boot sector.
BootVolume exFatFigures(const ExFatBootSector& boot) {
    BootVolume v;
    v.type = ExFat;
    v.bytesPerSector = 1u << boot.bytesPerSectorShift;
    v.sectorsPerCluster = 1u << boot.sectorsPerClusterShift;
    v.partitionOffset = boot.partitionOffset;
    v.volumeSectors = boot.volumeLength;
    v.reservedSectors = boot.fatOffset;
    v.fatSectors = boot.fatLength;
    v.systemSectors = boot.clusterHeapOffset;
    v.clusters = boot.clusterCount;
    v.numberOfFats = boot.numberOfFats;
    v.signature = boot.signature;
    v.rootCluster = boot.rootCluster;
    v.serial = boot.volumeSerialNumber;
    // Bit 0 of VolumeFlags: the second FAT is the active one.
    v.activeFat = v.numberOfFats == 2 && (boot.volumeFlags & 1) != 0 ? 1 : 0;
    return v;
}

BootRecognition exFatForCheck(const ExFatBootSector& boot) {
    const auto bad = [](const std::string& text) { return damaged("exFAT", text); };
    const uint32_t sectorShift = boot.bytesPerSectorShift;
    const uint32_t clusterShift = boot.sectorsPerClusterShift;
    if (sectorShift != 9)
        return bad("it gives sectors of 2^" + std::to_string(sectorShift) +
                   " bytes, where SD cards have 512-byte sectors");
    // Clusters of at most 32 MiB.
    if (clusterShift > 16)
        return bad("sectors per cluster 2^" + std::to_string(clusterShift) + " is too large");
    const BootVolume v = exFatFigures(boot);
    if (v.numberOfFats != 1 && v.numberOfFats != 2)
        return bad("it gives " + grouped(v.numberOfFats) + " FATs");
    if (v.reservedSectors < kExFatRegions)
        return bad("its FAT starts at sector " + grouped(v.reservedSectors) +
                   ", inside the boot regions");
    if (v.fatSectors == 0) return bad("its FAT has no sectors");
    if (v.systemSectors < v.reservedSectors + uint64_t{v.numberOfFats} * v.fatSectors)
        return bad("its cluster heap at sector " + grouped(v.systemSectors) + " overlaps the FAT");
    if (v.clusters == 0) return bad("its cluster heap holds no cluster");
    if (v.systemSectors + (v.clusters << clusterShift) > v.volumeSectors)
        return bad("its " + grouped(v.clusters) + " clusters run past the volume's " +
                   sectorsText(v.volumeSectors));
    if (uint64_t{v.fatSectors} * kSectorBytes / 4 < v.clusters + 2)
        return bad("its FAT of " + sectorsText(v.fatSectors) + " cannot hold " +
                   grouped(v.clusters) + " clusters");
    return {BootKind::Volume, "", v};
}

BootRecognition exFatForSystem(const ExFatBootSector& boot, uint64_t partitionBytes) {
    const auto bad = [](const std::string& text) { return damaged("exFAT", text); };
    if (!boot.mustBeZeroClear || !boot.signature) return bad("no signature, or a FAT BPB");
    const uint32_t bpsShift = boot.bytesPerSectorShift, spcShift = boot.sectorsPerClusterShift;
    if (bpsShift < 9 || bpsShift > 12 || spcShift > 25 - bpsShift)
        return bad("a sector or cluster size out of range");
    if (boot.numberOfFats != 1 && boot.numberOfFats != 2) return bad("neither one nor two FATs");
    const BootVolume v = exFatFigures(boot);
    const uint64_t bps = v.bytesPerSector, spc = v.sectorsPerCluster;
    if (v.volumeSectors == 0 || v.volumeSectors > partitionBytes / bps)
        return bad("a volume past its partition");
    if (v.reservedSectors < 24 || v.fatSectors == 0 ||
        v.reservedSectors + uint64_t{v.fatSectors} * v.numberOfFats > v.systemSectors)
        return bad("a FAT in the boot regions or the heap");
    if (v.clusters == 0 || v.clusters > 0xFFFFFFF5 ||
        v.systemSectors + v.clusters * spc > v.volumeSectors)
        return bad("a heap past the volume");
    if (uint64_t{v.fatSectors} * bps < (v.clusters + 2) * 4) return bad("a FAT too small");
    if (v.rootCluster < 2 || v.rootCluster - 2 >= v.clusters)
        return bad("a root cluster outside the heap");
    return {BootKind::Volume, "", v};
}

} // namespace

FatTypeReading fatTypeOf(const FatBootSector& boot) {
    FatTypeReading r;
    r.byClusters = typeForBits(fatBitsForClusters(boot.clusters()));
    r.bySystem = boot.fatSize16 == 0 ? Fat32 : r.byClusters == Fat12 ? Fat12 : Fat16;
    return r;
}

uint32_t fatBits(FsType type) { return type == Fat12 ? 12 : type == Fat16 ? 16 : 32; }

BootRecognition recognizeBootSector(const uint8_t* sector, BootReader reader,
                                    uint64_t partitionBytes) {
    const SectorView view{sector, kSectorBytes};
    if (const auto exfat = readExFatBootSector(view)) {
        BootRecognition r = reader == BootReader::Check ? exFatForCheck(*exfat)
                                                        : exFatForSystem(*exfat, partitionBytes);
        // The check stops at an exFAT boot sector it cannot trust; the system's drivers go on
        // to try it as a FAT one.
        if (r.kind == BootKind::Volume || reader == BootReader::Check) return r;
    }
    const auto fat = readFatBootSector(view);
    if (!fat) return {};
    return reader == BootReader::Check ? fatForCheck(*fat) : fatForSystem(*fat, partitionBytes);
}

bool exFatBootChecksumMatches(const uint8_t* region, size_t sectorBytes) {
    uint32_t sum = 0;
    for (uint32_t s = 0; s < exfat_boot::kChecksumSector; ++s)
        sum = exFatBootChecksum(sum, region + s * sectorBytes, s == 0, sectorBytes);
    const uint8_t* stored = region + exfat_boot::kChecksumSector * sectorBytes;
    for (size_t i = 0; i < sectorBytes; i += 4)
        if (le32(stored + i) != sum) return false;
    return true;
}

} // namespace brc
