#include "engine/fat_writers.h"

#include <cstring>

#include "base/little_endian.h"
#include "base/on_card_fields.h"
#include "device/driver_binding.h"
#include "engine/layout.h"
#include "volume/volume_label.h"

namespace brc {
namespace {

constexpr uint32_t kChsLimit = 1024u * 255u * 63u; // 16,450,560: beyond it CHS saturates
constexpr uint32_t kFsInfoNoValue = 0xFFFFFFFFu;
constexpr uint8_t kMedia = 0xF8; // fixed disk
constexpr char kNoName[] = "NO NAME    ";
constexpr char kBlankOemName[] = "        ";

void putText(uint8_t* p, const char* text, size_t length) { std::memcpy(p, text, length); }

// A fresh sector in the buffer. The buffer is clean after every flush, but clearing makes each
// structure independent of what its neighbours did.
uint8_t* beginSector(ChunkStream& stream, uint32_t s) {
    uint8_t* sector = stream.sector(s);
    std::memset(sector, 0, kSectorBytes);
    return sector;
}

// The fields shared by the FAT12/16 and FAT32 boot sectors, offsets 0 to 35.
void putCommonBootFields(uint8_t* b, const FormatParameters& params) {
    b[bpb::kJumpBoot] = 0xEB;
    b[bpb::kJumpBoot + 1] = 0x00;
    b[bpb::kJumpBoot + 2] = 0x90;
    putText(b + bpb::kOemName, kBlankOemName, 8);
    put16(b + bpb::kBytesPerSector, kSectorBytes);
    b[bpb::kSectorsPerCluster] = static_cast<uint8_t>(params.sectorsPerCluster);
    put16(b + bpb::kReservedSectors, params.reservedSectors);
    b[bpb::kNumFats] = 2;
    b[bpb::kMedia] = kMedia;
    put16(b + bpb::kSectorsPerTrack, params.sectorsPerTrack);
    put16(b + bpb::kNumHeads, params.heads);
    put32(b + bpb::kHiddenSectors, params.partitionStart);
}

uint32_t rootDirectoryStart(const FormatParameters& params) {
    return params.partitionStart + params.reservedSectors + 2 * params.fatSectors;
}

} // namespace

std::span<const uint8_t> fatReservedEntries(uint32_t fsType) {
    static constexpr uint8_t kFat12[] = {kMedia, 0xFF, 0xFF};
    static constexpr uint8_t kFat16[] = {kMedia, 0xFF, 0xFF, 0xFF};
    static constexpr uint8_t kFat32[] = {kMedia, 0xFF, 0xFF, 0x0F, 0xFF, 0xFF, 0xFF, 0x0F};
    switch (fsType) {
    case Fat12: return kFat12;
    case Fat32: return kFat32;
    default: return kFat16;
    }
}

void putChsAddress(uint8_t* p, uint32_t x, const FormatParameters& params) {
    const uint32_t cylinderSectors = params.heads * params.sectorsPerTrack;
    if (x >= kChsLimit || cylinderSectors == 0) {
        p[0] = 0xFE;
        p[1] = 0xFF;
        p[2] = 0xFF;
        return;
    }
    const uint32_t c = x / cylinderSectors;
    const uint32_t h = (x % cylinderSectors) / params.sectorsPerTrack;
    const uint32_t s = x % params.sectorsPerTrack + 1;
    p[0] = static_cast<uint8_t>(h);
    p[1] = static_cast<uint8_t>((s & 0x3F) | ((c >> 2) & 0xC0));
    p[2] = static_cast<uint8_t>(c);
}

uint8_t partitionTypeByte(const FormatParameters& params, uint32_t userSectors) {
    switch (params.fsType) {
    case Fat12: return 0x01;
    case Fat16: return userSectors - params.partitionStart < 65536 ? 0x04 : 0x06;
    case Fat32: return userSectors <= kChsLimit ? 0x0B : 0x0C;
    case ExFat: return 0x07;
    default: return 0x00;
    }
}

uint32_t writePartitionTable(ChunkStream& stream, const FormatParameters& params,
                             uint32_t userSectors) {
    uint8_t* sector = beginSector(stream, 0);
    uint8_t* entry = sector + mbr::kPartitionTable;
    entry[mbr::kBootIndicator] = 0x00;
    putChsAddress(entry + mbr::kStartChs, params.partitionStart, params);
    entry[mbr::kPartitionType] = partitionTypeByte(params, userSectors);
    putChsAddress(entry + mbr::kEndChs, userSectors - 1, params);
    put32(entry + mbr::kFirstSector, params.partitionStart);
    put32(entry + mbr::kSectorCount, userSectors - params.partitionStart);
    putBootSignature(sector);

    if (params.verifyOnly != 0) {
        uint8_t card[kSectorBytes] = {};
        const uint32_t r = stream.driver.api.DDReadPT(card, 1, 0, stream.driver.driverHandle);
        if (r != 0) return r;
        // The whole first entry, then the three other entries, which must be empty. Boot code
        // and signature are not the partition table's business.
        if (std::memcmp(card + mbr::kPartitionTable, entry, mbr::kEntryBytes) != 0) {
            return kPartitionEntryDiffers;
        }
        for (size_t i = mbr::kPartitionTable + mbr::kEntryBytes; i < kBootSignatureOffset; ++i) {
            if (card[i] != 0) return kPartitionEntryDiffers;
        }
        return 0;
    }
    return flushToChunk(stream, params.bootChunk, params);
}

uint32_t writeFatBootSector(ChunkStream& stream, const FormatParameters& params,
                            uint32_t userSectors, const FormatClock& clock) {
    uint8_t* b = beginSector(stream, params.partitionStart);
    putCommonBootFields(b, params);
    const uint32_t partitionSectors = userSectors - params.partitionStart;
    put16(b + bpb::kRootEntries, kFatRootEntries);
    put16(b + bpb::kTotalSectors16, partitionSectors < 65536 ? partitionSectors : 0);
    put16(b + bpb::kFatSize16, params.fatSectors);
    put32(b + bpb::kTotalSectors32, partitionSectors < 65536 ? 0 : partitionSectors);
    b[bpb16::kDriveNumber] = 0x80;
    b[bpb16::kBootSignature] = 0x29;
    const std::array<uint8_t, 4> serial = drawSerialBytes(clock);
    std::memcpy(b + bpb16::kVolumeId, serial.data(), serial.size());
    putText(b + bpb16::kVolumeLabel, kNoName, 11);
    putText(b + bpb16::kFileSystemType, params.fsType == Fat12 ? "FAT12   " : "FAT16   ", 8);
    putBootSignature(b);
    return flushToChunk(stream, params.fat1Chunk, params);
}

uint32_t writeFat32BootSector(ChunkStream& stream, FormatParameters& params, uint32_t userSectors,
                              uint32_t copy, const FormatClock& clock) {
    if (copy != 1 && copy != 2) return 1;
    uint8_t* b = beginSector(stream, params.partitionStart + (copy == 1 ? 0 : 6));
    putCommonBootFields(b, params);
    put32(b + bpb::kTotalSectors32, userSectors - params.partitionStart);
    put32(b + bpb32::kFatSize32, params.fatSectors);
    put32(b + bpb32::kRootCluster, kFat32RootCluster);
    put16(b + bpb32::kFsInfoSector, 1);
    put16(b + bpb32::kBackupBootSector, 6);
    b[bpb32::kDriveNumber] = 0x80;
    b[bpb32::kBootSignature] = 0x29;
    if (copy == 1) {
        const std::array<uint8_t, 4> r = drawSerialBytes(clock);
        params.volumeSerial =
            uint32_t{r[0]} << 24 | uint32_t{r[1]} << 16 | uint32_t{r[2]} << 8 | uint32_t{r[3]};
    }
    put32(b + bpb32::kVolumeId, params.volumeSerial);
    putText(b + bpb32::kVolumeLabel, kNoName, 11);
    putText(b + bpb32::kFileSystemType, "FAT32   ", 8);
    putBootSignature(b);
    return flushToChunk(stream, copy == 1 ? params.fsInfoChunk : params.backupFsInfoChunk, params);
}

uint32_t writeFat32FsInfo(ChunkStream& stream, const FormatParameters& params, uint32_t copy) {
    if (copy != 1 && copy != 2) return 1;
    uint8_t* f = beginSector(stream, params.partitionStart + (copy == 1 ? 1 : 7));
    putText(f + fsinfo::kLeadSignature, "RRaA", 4);
    putText(f + fsinfo::kStructSignature, "rrAa", 4);
    put32(f + fsinfo::kFreeCount, kFsInfoNoValue);
    put32(f + fsinfo::kNextFree, kFsInfoNoValue);
    putBootSignature(f);
    return flushToChunk(stream, copy == 1 ? params.bootSector2Chunk : params.backupBootSector2Chunk,
                        params);
}

uint32_t writeFat32ThirdSector(ChunkStream& stream, const FormatParameters& params, uint32_t copy) {
    if (copy != 1 && copy != 2) return 1;
    putBootSignature(beginSector(stream, params.partitionStart + (copy == 1 ? 2 : 8)));
    return flushToChunk(stream, copy == 1 ? params.backupBootChunk : params.fat1Chunk, params);
}

uint32_t writeFats(ChunkStream& stream, const FormatParameters& params) {
    const std::span<const uint8_t> reserved = fatReservedEntries(params.fsType);
    const auto putHead = [&](uint32_t s) {
        uint8_t* fat = beginSector(stream, s);
        std::memcpy(fat, reserved.data(), reserved.size());
        if (params.fsType == Fat32) put32(fat + 4 * kFat32RootCluster, kFat32EndOfChain);
    };
    const uint32_t fat1 = params.partitionStart + params.reservedSectors;
    putHead(fat1);
    if (uint32_t r = flushToChunk(stream, params.fat2Chunk, params)) return r;
    putHead(fat1 + params.fatSectors);
    return flushToChunk(stream, params.dataChunk, params);
}

uint32_t writeRootDirectory(ChunkStream& stream, const FormatParameters& params,
                            const VolumeLabelForms& labelForms, const FormatClock& clock) {
    const uint32_t first = rootDirectoryStart(params);
    uint8_t* e = beginSector(stream, first);
    if (labelForms.oemBytes[0] != 0) {
        std::memset(e + fat_dirent::kName, ' ', 11);
        for (size_t i = 0; i < 11 && labelForms.oemBytes[i] != 0; ++i)
            e[fat_dirent::kName + i] = labelForms.oemBytes[i];
        storeFatNameLead(e + fat_dirent::kName);
        e[fat_dirent::kAttributes] = fat_dirent::kVolumeLabelAttribute;
        putDosTimestamp(e + fat_dirent::kWriteTime, e + fat_dirent::kWriteDate, clock.localTime());
    }
    const uint32_t sectors = params.fsType == Fat32 ? params.sectorsPerCluster : kFatRootDirSectors;
    const uint32_t span = sectors + first % kChunkSectors;
    return writeFinalChunks(stream, (span + kChunkSectors - 1) / kChunkSectors, params);
}

namespace {

// One sector of the repair: read it, and when the 32-bit value at each offset is not `wanted`,
// set them all and write the sector back. Unreadable sectors are left alone; a write that fails
// changes nothing worse than before, so its answer is not needed.
void restoreSector(DriverBinding& driver, uint32_t s, const size_t* offsets, size_t count,
                   uint32_t wanted) {
    uint8_t sector[kSectorBytes] = {};
    if (driver.api.DDReadPT(sector, 1, s, driver.driverHandle) != 0) return;
    bool stale = false;
    for (size_t i = 0; i < count; ++i) stale = stale || le32(sector + offsets[i]) != wanted;
    if (!stale) return;
    for (size_t i = 0; i < count; ++i) put32(sector + offsets[i], wanted);
    driver.api.DDWritePT(sector, 1, s, driver.driverHandle);
}

void repairFat32Sectors(DriverBinding& driver) {
    if (!driver.api.DDReadPT || !driver.api.DDWritePT) return;
    uint8_t sector[kSectorBytes] = {};
    if (driver.api.DDReadPT(sector, 1, 0, driver.driverHandle) != 0) return;
    if (!hasBootSignature(sector)) return;
    const uint8_t* entry = sector + mbr::kPartitionTable;
    const uint32_t g = le32(entry + mbr::kFirstSector);
    if (g == 0 || le32(entry + mbr::kSectorCount) == 0) return;

    // A failed read would leave the MBR in the buffer; treat it as no FAT32 volume.
    if (driver.api.DDReadPT(sector, 1, g, driver.driverHandle) != 0) return;
    if (std::memcmp(sector + bpb32::kFileSystemType, "FAT32   ", 8) != 0 ||
        le16(sector + bpb32::kBackupBootSector) != 6 || le16(sector + bpb32::kFsInfoSector) != 1)
        return;
    const uint32_t reserved = le16(sector + bpb::kReservedSectors);
    const uint32_t fatSectors = le32(sector + bpb32::kFatSize32);
    // FAT entry 1 is restored by writing a whole sector: it must lie behind the boot sectors and
    // FSInfo copies (0 to 7) and inside the 32-bit sector range, or the repair would damage them
    // or another sector on a card whose boot sector is inconsistent.
    if (reserved < 8 || uint64_t{g} + reserved + fatSectors > UINT32_MAX) return;

    static constexpr size_t kFsInfoCounts[] = {fsinfo::kFreeCount, fsinfo::kNextFree};
    static constexpr size_t kFatEntry1[] = {4};
    restoreSector(driver, g + 1, kFsInfoCounts, 2, kFsInfoNoValue);
    restoreSector(driver, g + 7, kFsInfoCounts, 2, kFsInfoNoValue);
    restoreSector(driver, g + reserved, kFatEntry1, 1, kFat32EndOfChain);
    restoreSector(driver, g + reserved + fatSectors, kFatEntry1, 1, kFat32EndOfChain);
}

} // namespace

FormatResult repairFat32AfterLabel(const std::u16string& label, bool sizeAdjustment,
                                   DriverBinding& driver, const CodePage& oem) {
    FormatPlan plan;
    const FormatResult planned = checkFormatPlan(label, sizeAdjustment, driver, &plan, oem);
    // A label that fails its check does not stop the repair; anything before it does.
    if (!plan.layoutDone) return planned;
    repairFat32Sectors(driver);
    return plan.labelBits != 0 ? InvalidLabel : Success;
}

} // namespace brc
