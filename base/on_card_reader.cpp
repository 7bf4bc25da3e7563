#include "base/on_card_reader.h"

#include <bit>
#include <cstring>

#include "base/little_endian.h"

namespace brc {

namespace {

FatExtendedFields extendedFields(const uint8_t* b, size_t signature, size_t volumeId,
                                 size_t label) {
    return {b[signature], le32(b + volumeId), static_cast<uint32_t>(label)};
}

} // namespace

std::optional<PartitionTable> readPartitionTable(SectorView sector) {
    if (sector.size() < kSectorBytes) return std::nullopt;
    const uint8_t* b = sector.data();
    PartitionTable t;
    t.signature = hasBootSignature(b);
    for (size_t i = 0; i < t.entries.size(); ++i) {
        const uint8_t* e = b + mbr::kPartitionTable + i * mbr::kEntryBytes;
        PartitionEntry& out = t.entries[i];
        out.raw = e;
        out.bootIndicator = e[mbr::kBootIndicator];
        out.type = e[mbr::kPartitionType];
        out.firstSector = le32(e + mbr::kFirstSector);
        out.sectorCount = le32(e + mbr::kSectorCount);
        for (size_t k = 0; k < mbr::kEntryBytes; ++k) out.used = out.used || e[k] != 0;
    }
    return t;
}

std::optional<FatBootSector> readFatBootSector(SectorView sector) {
    if (sector.size() < kSectorBytes) return std::nullopt;
    const uint8_t* b = sector.data();
    const bool jump =
        b[bpb::kJumpBoot] == 0xE9 || (b[bpb::kJumpBoot] == 0xEB && b[bpb::kJumpBoot + 2] == 0x90);
    FatBootSector f;
    f.bytesPerSector = le16(b + bpb::kBytesPerSector);
    if (!jump || !std::has_single_bit(f.bytesPerSector) || f.bytesPerSector < 512 ||
        f.bytesPerSector > 4096)
        return std::nullopt;
    f.sectorsPerCluster = b[bpb::kSectorsPerCluster];
    f.reservedSectors = le16(b + bpb::kReservedSectors);
    f.numberOfFats = b[bpb::kNumFats];
    f.rootEntries = le16(b + bpb::kRootEntries);
    f.totalSectors16 = le16(b + bpb::kTotalSectors16);
    f.media = b[bpb::kMedia];
    f.fatSize16 = le16(b + bpb::kFatSize16);
    f.sectorsPerTrack = le16(b + bpb::kSectorsPerTrack);
    f.heads = le16(b + bpb::kNumHeads);
    f.hiddenSectors = le32(b + bpb::kHiddenSectors);
    f.fatSectors = f.fatSize16 != 0 ? f.fatSize16 : le32(b + bpb32::kFatSize32);
    f.totalSectors = f.totalSectors16 != 0 ? f.totalSectors16 : le32(b + bpb::kTotalSectors32);
    f.extFlags = le16(b + bpb32::kExtFlags);
    f.rootCluster = le32(b + bpb32::kRootCluster);
    f.fsInfoSector = le16(b + bpb32::kFsInfoSector);
    f.backupBootSector = le16(b + bpb32::kBackupBootSector);
    f.fat16Fields = extendedFields(b, bpb16::kBootSignature, bpb16::kVolumeId, bpb16::kVolumeLabel);
    f.fat32Fields = extendedFields(b, bpb32::kBootSignature, bpb32::kVolumeId, bpb32::kVolumeLabel);
    f.signature = hasBootSignature(b);
    return f;
}

std::optional<FsInfo> readFsInfo(SectorView sector) {
    if (sector.size() < kSectorBytes) return std::nullopt;
    const uint8_t* b = sector.data();
    if (std::memcmp(b + fsinfo::kLeadSignature, "RRaA", 4) != 0 ||
        std::memcmp(b + fsinfo::kStructSignature, "rrAa", 4) != 0 || !hasBootSignature(b))
        return std::nullopt;
    return FsInfo{le32(b + fsinfo::kFreeCount), le32(b + fsinfo::kNextFree)};
}

std::optional<ExFatBootSector> readExFatBootSector(SectorView sector) {
    using namespace exfat_boot;
    if (sector.size() < kSectorBytes) return std::nullopt;
    const uint8_t* b = sector.data();
    if (std::memcmp(b + kFileSystemName, "EXFAT   ", 8) != 0) return std::nullopt;
    ExFatBootSector x;
    x.mustBeZeroClear = true;
    for (size_t i = kMustBeZero; i < kPartitionOffset; ++i)
        x.mustBeZeroClear = x.mustBeZeroClear && b[i] == 0;
    x.signature = hasBootSignature(b);
    x.partitionOffset = le64(b + kPartitionOffset);
    x.volumeLength = le64(b + kVolumeLength);
    x.fatOffset = le32(b + kFatOffset);
    x.fatLength = le32(b + kFatLength);
    x.clusterHeapOffset = le32(b + kClusterHeapOffset);
    x.clusterCount = le32(b + kClusterCount);
    x.rootCluster = le32(b + kFirstClusterOfRootDirectory);
    x.volumeSerialNumber = le32(b + kVolumeSerialNumber);
    x.fileSystemRevision = le16(b + kFileSystemRevision);
    x.volumeFlags = le16(b + kVolumeFlags);
    x.bytesPerSectorShift = b[kBytesPerSectorShift];
    x.sectorsPerClusterShift = b[kSectorsPerClusterShift];
    x.numberOfFats = b[kNumberOfFats];
    return x;
}

uint32_t exFatBootChecksum(uint32_t checksum, const uint8_t* sector, bool bootSector,
                           size_t sectorBytes) {
    for (size_t i = 0; i < sectorBytes; ++i) {
        if (bootSector && exfat_boot::outsideChecksum(i)) continue;
        checksum = exFatTableChecksum(checksum, sector + i, 1);
    }
    return checksum;
}

uint32_t exFatTableChecksum(uint32_t checksum, const uint8_t* bytes, size_t length) {
    for (size_t i = 0; i < length; ++i) checksum = ((checksum >> 1) | (checksum << 31)) + bytes[i];
    return checksum;
}

const uint8_t kFlashParametersGuid[16] = {0x46, 0x7E, 0x0C, 0x0A, 0x99, 0x33, 0x21, 0x40,
                                          0x90, 0xC8, 0xFA, 0x6D, 0x38, 0x9C, 0x4B, 0xA2};

// A GUID of all zeros or of all 0xFF holds nothing: other formatters fill the unused sector with
// 0xFF, and carrying such records would crowd out the flash-parameters record for good.
bool isEmptyOemRecord(const uint8_t record[kOemRecordBytes]) {
    const uint8_t* guid = record + oem_record::kGuid;
    const auto all = [&](uint8_t v) {
        for (uint32_t i = 0; i < sizeof kFlashParametersGuid; ++i)
            if (guid[i] != v) return false;
        return true;
    };
    return all(0x00) || all(0xFF);
}

bool isFlashParametersRecord(const uint8_t record[kOemRecordBytes]) {
    return std::memcmp(record + oem_record::kGuid, kFlashParametersGuid,
                       sizeof kFlashParametersGuid) == 0;
}

std::optional<std::array<OemParameterRecord, kOemMaxRecords>> readOemParameters(SectorView sector) {
    if (sector.size() < kSectorBytes) return std::nullopt;
    std::array<OemParameterRecord, kOemMaxRecords> records;
    for (uint32_t r = 0; r < kOemMaxRecords; ++r) {
        OemParameterRecord& out = records[r];
        out.bytes = sector.data() + size_t{r} * kOemRecordBytes;
        out.empty = isEmptyOemRecord(out.bytes);
        out.flashParameters = isFlashParametersRecord(out.bytes);
        if (out.flashParameters)
            out.eraseBlockBytes = le32(out.bytes + oem_record::kEraseBlockSize);
    }
    return records;
}

} // namespace brc
