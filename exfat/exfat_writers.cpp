#include "exfat/exfat_writers.h"

#include <cstring>

#include "base/little_endian.h"
#include "base/on_card_fields.h"
#include "base/on_card_reader.h"
#include "device/driver_binding.h"
#include "base/upcase_table.h"

namespace brc {

namespace {

constexpr uint32_t kFatEntriesPerSector = kSectorBytes / 4;
constexpr uint32_t kUpcaseEntriesPerSector = kSectorBytes / 2;

uint64_t clusterSector64(const FormatParameters& params, uint32_t cluster) {
    return uint64_t{params.partitionStart} + params.systemSectors +
           uint64_t{cluster - 2} * params.sectorsPerCluster;
}

uint32_t clusterSector(const FormatParameters& params, uint32_t cluster) {
    return static_cast<uint32_t>(clusterSector64(params, cluster));
}

// The derived exFAT fields must describe bitmap, up-case table and root directory in that order
// inside the cluster heap, and the root cluster must lie within 32-bit sector numbers; anything
// else (fields never derived, a foreign layout) would scatter writes over the card.
bool heapFieldsValid(const FormatParameters& params) {
    if (params.sectorsPerCluster == 0 || params.bitmapFirstCluster < 2) return false;
    if (params.upcaseFirstCluster <= params.bitmapFirstCluster) return false;
    if (params.rootFirstCluster <= params.upcaseFirstCluster) return false;
    if (params.rootFirstCluster > params.maxCluster) return false;
    const uint64_t upcaseSectors =
        uint64_t{params.rootFirstCluster - params.upcaseFirstCluster} * params.sectorsPerCluster;
    if (upcaseSectors < kUpcaseSectors) return false;
    const uint64_t bitmapBytes = uint64_t{params.upcaseFirstCluster - params.bitmapFirstCluster} *
                                 params.sectorsPerCluster * kSectorBytes;
    if (bitmapBytes * 8 < uint64_t{params.rootFirstCluster} - 1) return false;
    return clusterSector64(params, params.rootFirstCluster) + params.sectorsPerCluster <=
           0xFFFFFFFFull;
}

// Brings sector s into the buffer: a sector in a later chunk flushes forward to it; one in a
// chunk already written cannot be placed.
uint32_t reachSector(ChunkStream& stream, uint32_t s, const FormatParameters& params) {
    const uint32_t chunk = s / kChunkSectors;
    if (chunk < stream.currentChunk()) return kExFatBadLayout;
    return flushToChunk(stream, chunk, params);
}

uint32_t makeVolumeSerial(const FormatClock& clock) {
    const auto b = drawSerialBytes(clock);
    return uint32_t{b[0]} << 24 | uint32_t{b[1]} << 16 | uint32_t{b[2]} << 8 | b[3];
}

uint8_t clusterShift(uint32_t sectorsPerCluster) {
    if (sectorsPerCluster == 0 || (sectorsPerCluster & (sectorsPerCluster - 1)) != 0) return 0;
    uint8_t shift = 0;
    while ((1u << shift) != sectorsPerCluster) ++shift;
    return shift;
}

void buildBootSector(uint8_t* p, const FormatParameters& params, uint32_t userSectors) {
    using namespace exfat_boot;
    static const uint8_t jump[3] = {0xEB, 0x76, 0x90};
    std::memcpy(p + kJumpBoot, jump, 3);
    std::memcpy(p + kFileSystemName, "EXFAT   ", 8);
    put64(p + kPartitionOffset, params.partitionStart);
    put64(p + kVolumeLength, userSectors - params.partitionStart);
    put32(p + kFatOffset, params.reservedSectors);
    put32(p + kFatLength, params.fatSectors);
    put32(p + kClusterHeapOffset, params.systemSectors);
    put32(p + kClusterCount, params.maxCluster - 1);
    put32(p + kFirstClusterOfRootDirectory, params.rootFirstCluster);
    put32(p + kVolumeSerialNumber, params.volumeSerial);
    put16(p + kFileSystemRevision, 0x0100);
    put16(p + kVolumeFlags, 0);
    p[kBytesPerSectorShift] = 9; // 512-byte sectors
    p[kSectorsPerClusterShift] = clusterShift(params.sectorsPerCluster);
    p[kNumberOfFats] = 1;
    p[kDriveSelect] = 0x80;
    // Clusters 2 up to the root directory's are in use.
    p[kPercentInUse] =
        static_cast<uint8_t>(uint64_t{params.rootFirstCluster - 1} * 100 / (params.maxCluster - 1));
    std::memset(p + kBootCode, 0xF4, kBootSignatureOffset - kBootCode);
    putBootSignature(p);
}

void buildOemParametersSector(uint8_t* p, const FormatParameters& params,
                              OemParameterTable& table) {
    ensureFlashParameters(table);
    for (uint32_t j = 0; j < table.count && j < kOemMaxRecords; ++j) {
        uint8_t* record = p + j * kOemRecordBytes;
        std::memcpy(record, table.records[j], kOemRecordBytes);
        if (isFlashParametersRecord(record)) {
            // Only the erase-block size is known for this card; the old figures described
            // another layout.
            std::memset(record + oem_record::kEraseBlockSize, 0,
                        kOemRecordBytes - oem_record::kEraseBlockSize);
            put32(record + oem_record::kEraseBlockSize, params.boundaryUnit * kSectorBytes);
        }
    }
}

// The whole system area from the partition start to the root directory must lie inside the
// partition, and the backup region's target must not lie behind it.
bool bootFieldsValid(const FormatParameters& params, uint32_t userSectors) {
    if (params.maxCluster < 2 || params.reservedSectors < 2 * kBootRegionSectors) return false;
    if (uint64_t{params.partitionStart} + params.systemSectors >= userSectors) return false;
    return params.fat1Chunk >= (params.partitionStart + 2 * kBootRegionSectors - 1) / kChunkSectors;
}

} // namespace

// ---- OEM parameter table ----

void clearOemParameters(OemParameterTable& table) {
    std::memset(table.records, 0, sizeof table.records);
    table.count = 0;
}

bool addOemParameter(OemParameterTable& table, const uint8_t record[kOemRecordBytes]) {
    if (table.count >= kOemMaxRecords) return false;
    std::memcpy(table.records[table.count], record, kOemRecordBytes);
    ++table.count;
    return true;
}

bool ensureFlashParameters(OemParameterTable& table) {
    for (uint32_t j = 0; j < table.count && j < kOemMaxRecords; ++j)
        if (isFlashParametersRecord(table.records[j])) return false;
    uint8_t record[kOemRecordBytes] = {};
    std::memcpy(record, kFlashParametersGuid, sizeof kFlashParametersGuid);
    return addOemParameter(table, record);
}

bool getOemParameter(const OemParameterTable& table, uint32_t index,
                     uint8_t record[kOemRecordBytes]) {
    if (index >= table.count || index >= kOemMaxRecords) return false;
    std::memcpy(record, table.records[index], kOemRecordBytes);
    return true;
}

bool readOldOemParameters(DriverBinding& driver, ExFatState& state) {
    OemParameterTable& table = state.oemParameterTable;
    clearOemParameters(table);
    if (driver.api.DDReadPT == nullptr) return false;
    uint8_t sector[kSectorBytes];
    const auto read = [&](uint32_t s) {
        return driver.api.DDReadPT(sector, 1, s, driver.driverHandle) == 0;
    };

    if (!read(0)) return false;
    const auto mbrTable = readPartitionTable(sector);
    if (!mbrTable || !mbrTable->signature) return false;
    // Only the first entry, and only an exFAT one; no 55 AA check on the boot sector.
    const PartitionEntry& entry = mbrTable->entries[0];
    if (entry.type != 0x07) return false;
    const uint32_t start = entry.firstSector;
    if (start == 0 || entry.sectorCount == 0) return false;
    // The OEM parameters sector must not wrap to the card's front.
    if (start > 0xFFFFFFFFu - exfat_boot::kOemParametersSector) return false;

    if (!read(start)) return false;
    const auto boot = readExFatBootSector(sector);
    if (!boot || !boot->mustBeZeroClear || boot->fileSystemRevision != 0x0100) return false;

    if (!read(start + exfat_boot::kOemParametersSector)) return false;
    const auto records = readOemParameters(sector);
    bool flashSeen = false, flashAdded = false;
    for (const OemParameterRecord& record : *records) {
        if (record.empty) continue;
        if (record.flashParameters) {
            if (flashSeen) continue;
            flashSeen = true;
            flashAdded = addOemParameter(table, record.bytes);
        } else {
            addOemParameter(table, record.bytes);
        }
    }
    if (!flashAdded) ensureFlashParameters(table);
    return true;
}

// ---- Boot region ----

uint32_t writeExFatBootRegion(ChunkStream& stream, FormatParameters& params, uint32_t userSectors,
                              uint32_t regionBase, ExFatState& state) {
    if (regionBase != 0 && regionBase != kBootRegionSectors) return kExFatBadLayout;
    if (!bootFieldsValid(params, userSectors) || !heapFieldsValid(params)) return kExFatBadLayout;
    const bool mainRegion = regionBase == 0;
    if (mainRegion)
        params.volumeSerial = makeVolumeSerial(state.clock ? *state.clock : systemFormatClock());

    for (uint32_t i = 0; i < kBootRegionSectors; ++i) {
        const uint32_t relative = regionBase + i;
        const uint32_t s = params.partitionStart + relative;
        if (uint32_t r = reachSector(stream, s, params)) return r;
        uint8_t* p = stream.sector(s);
        std::memset(p, 0, kSectorBytes);
        if (i == 0) {
            buildBootSector(p, params, userSectors);
        } else if (i <= 8) {
            putBootSignature(p); // extended boot signature AA550000h
        } else if (i == exfat_boot::kOemParametersSector) {
            buildOemParametersSector(p, params, state.oemParameterTable);
        } else if (i == exfat_boot::kChecksumSector) {
            for (uint32_t j = 0; j < kSectorBytes / 4; ++j) put32(p + 4 * j, params.bootChecksum);
        }
        // Sector 10 is reserved and stays zero.
        if (mainRegion && i < kBootRegionSectors - 1)
            params.bootChecksum = exFatBootChecksum(i == 0 ? 0 : params.bootChecksum, p, i == 0);

        const bool regionsEnd = relative == 2 * kBootRegionSectors - 1;
        const uint32_t target = regionsEnd ? params.fat1Chunk : (s + 1) / kChunkSectors;
        if (uint32_t r = flushToChunk(stream, target, params)) return r;
    }
    return 0;
}

// ---- FAT, bitmap, up-case table, root directory ----

uint32_t writeExFatFat(ChunkStream& stream, const FormatParameters& params) {
    if (!heapFieldsValid(params)) return kExFatBadLayout;
    const uint32_t fatStart = params.partitionStart + params.reservedSectors;
    const uint32_t lastEntry = params.rootFirstCluster;
    for (uint32_t first = 0; first <= lastEntry; first += kFatEntriesPerSector) {
        const uint32_t s = fatStart + first / kFatEntriesPerSector;
        if (uint32_t r = reachSector(stream, s, params)) return r;
        uint8_t* p = stream.sector(s);
        std::memset(p, 0, kSectorBytes);
        for (uint32_t n = first; n <= lastEntry && n < first + kFatEntriesPerSector; ++n) {
            uint32_t value;
            if (n == 0) value = kExFatMediaEntry;
            else if (n == 1 || n == lastEntry || n + 1 == params.upcaseFirstCluster ||
                     n + 1 == params.rootFirstCluster)
                value = kExFatEndOfChain; // entry 1, and the last cluster of each structure
            else if (n >= params.bitmapFirstCluster) value = n + 1;
            else value = 0;
            put32(p + 4 * (n - first), value);
        }
    }
    return flushToChunk(stream, clusterSector(params, params.bitmapFirstCluster) / kChunkSectors,
                        params);
}

uint32_t writeExFatBitmap(ChunkStream& stream, const FormatParameters& params) {
    if (!heapFieldsValid(params)) return kExFatBadLayout;
    const uint32_t used = params.rootFirstCluster - 1; // clusters 2 to the root's
    const uint32_t usedBytes = (used + 7) / 8;
    const uint32_t start = clusterSector(params, params.bitmapFirstCluster);
    for (uint32_t offset = 0; offset < usedBytes; offset += kSectorBytes) {
        const uint32_t s = start + offset / kSectorBytes;
        if (uint32_t r = reachSector(stream, s, params)) return r;
        uint8_t* p = stream.sector(s);
        std::memset(p, 0, kSectorBytes);
        for (uint32_t b = offset; b < usedBytes && b < offset + kSectorBytes; ++b) {
            const uint32_t bits = used - b * 8;
            p[b - offset] = bits >= 8 ? uint8_t{0xFF} : static_cast<uint8_t>((1u << bits) - 1);
        }
    }
    return flushToChunk(stream, clusterSector(params, params.upcaseFirstCluster) / kChunkSectors,
                        params);
}

uint32_t writeExFatUpcaseSector(ChunkStream& stream, const FormatParameters& params, uint32_t k,
                                bool last) {
    if (!heapFieldsValid(params) || k >= kUpcaseSectors) return kExFatBadLayout;
    const uint32_t s = clusterSector(params, params.upcaseFirstCluster) + k;
    if (uint32_t r = reachSector(stream, s, params)) return r;
    uint8_t* p = stream.sector(s);
    std::memset(p, 0, kSectorBytes);
    for (uint32_t i = 0; i < kUpcaseEntriesPerSector; ++i) {
        const uint32_t entry = k * kUpcaseEntriesPerSector + i;
        if (entry >= kUpcaseEntries) break;
        put16(p + 2 * i, kUpcaseTable[entry]);
    }
    const uint32_t target = last ? clusterSector(params, params.rootFirstCluster) / kChunkSectors
                                 : (s + 1) / kChunkSectors;
    return flushToChunk(stream, target, params);
}

uint32_t writeExFatRootDirectory(ChunkStream& stream, const FormatParameters& params,
                                 const char16_t* utf8ShortLabel) {
    if (!heapFieldsValid(params)) return kExFatBadLayout;
    const uint32_t s = clusterSector(params, params.rootFirstCluster);
    if (uint32_t r = reachSector(stream, s, params)) return r;
    const uint32_t p0 = s % kChunkSectors;
    // The rest of the chunk is root cluster: clear it all.
    uint8_t* p = stream.sector(s);
    std::memset(p, 0, (kChunkSectors - p0) * kSectorBytes);

    using namespace exfat_dirent;
    uint8_t* label = p;
    label[kEntryType] = kTypeVolumeLabel;
    uint32_t units = 0;
    if (utf8ShortLabel)
        while (units < kExFatLabelUnits && utf8ShortLabel[units] != 0) {
            put16(label + kVolumeLabel + 2 * units, utf8ShortLabel[units]);
            ++units;
        }
    label[kCharacterCount] = static_cast<uint8_t>(units);

    uint8_t* bitmap = p + kDirEntryBytes;
    bitmap[kEntryType] = kTypeAllocationBitmap;
    put32(bitmap + kFirstCluster, params.bitmapFirstCluster);
    put64(bitmap + kDataLength, params.bitmapBytes);

    uint8_t* upcase = p + 2 * kDirEntryBytes;
    upcase[kEntryType] = kTypeUpcaseTable;
    put32(upcase + kTableChecksum, kUpcaseTableChecksum);
    put32(upcase + kFirstCluster, params.upcaseFirstCluster);
    put64(upcase + kDataLength, params.upcaseBytes);

    const uint32_t chunks = (p0 + params.sectorsPerCluster + kChunkSectors - 1) / kChunkSectors;
    return writeFinalChunks(stream, chunks, params);
}

} // namespace brc
