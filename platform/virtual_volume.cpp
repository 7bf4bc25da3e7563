// The label, serial and free space of a FAT or exFAT volume on a virtual card, read and written
// the way the operating system's own file-system drivers would. All on-card values are
// little-endian; every value taken from the card is range-checked before it steers a read or
// a write.
#include "platform/virtual_volume.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <iterator>
#include <map>
#include <vector>

#include "base/little_endian.h"
#include "base/on_card_fields.h"
#include "base/on_card_reader.h"
#include "volume/boot_sector.h"
#include "volume/volume_label.h"

namespace brc {

namespace {

// The bytes of one partition. Every access is checked against the partition's end, so no value
// read from a damaged card can lead a read or a write elsewhere on the card.
class PartitionBytes {
public:
    PartitionBytes(const CardSectors& card, uint64_t firstSector, uint64_t sectors)
        : card_(card), first_(firstSector), sectors_(sectors) {}

    uint64_t size() const { return sectors_ * kSectorBytes; }

    bool read(uint64_t offset, size_t length, uint8_t* out) const {
        if (!inside(offset, length)) return false;
        if (length == 0) return true;
        if (offset % kSectorBytes == 0 && length % kSectorBytes == 0)
            return readSectors(offset, length, out);
        std::vector<uint8_t> span;
        if (!readSpan(offset, length, span)) return false;
        std::memcpy(out, span.data() + offset % kSectorBytes, length);
        return true;
    }

    // Writes only the 512-byte card sectors that `length` bytes at `offset` touch, each read first
    // so that its other bytes keep their values.
    bool write(uint64_t offset, size_t length, const uint8_t* data) const {
        if (!inside(offset, length) || !card_.write) return false;
        if (length == 0) return true;
        std::vector<uint8_t> span;
        if (!readSpan(offset, length, span)) return false;
        std::memcpy(span.data() + offset % kSectorBytes, data, length);
        const uint64_t sector = offset / kSectorBytes;
        return card_.write(first_ + sector, static_cast<uint32_t>(span.size() / kSectorBytes),
                           span.data());
    }

private:
    // Reads are bounded by the callers to a few MiB; the limit keeps the sector count in range.
    static constexpr size_t kMaxTransfer = size_t{64} << 20;

    bool inside(uint64_t offset, size_t length) const {
        return length <= kMaxTransfer && offset <= size() && length <= size() - offset;
    }
    bool readSectors(uint64_t offset, size_t length, uint8_t* out) const {
        return card_.read && card_.read(first_ + offset / kSectorBytes,
                                        static_cast<uint32_t>(length / kSectorBytes), out);
    }
    // The whole card sectors that cover [offset, offset + length).
    bool readSpan(uint64_t offset, size_t length, std::vector<uint8_t>& span) const {
        const uint64_t begin = offset / kSectorBytes * kSectorBytes;
        const uint64_t end = (offset + length + kSectorBytes - 1) / kSectorBytes * kSectorBytes;
        span.assign(static_cast<size_t>(end - begin), 0);
        return readSectors(begin, span.size(), span.data());
    }

    const CardSectors& card_;
    uint64_t first_;
    uint64_t sectors_;
};

// A recognised volume, its positions in bytes from the partition's start.
struct Volume {
    VirtualVolumeLayout layout;
    uint64_t clusterBytes = 0;
    uint64_t firstFatOffset = 0; // the first of the FAT copies
    uint64_t fatOffset = 0;      // the FAT in use (the active one when mirroring is off)
    uint64_t fatBytes = 0;       // one FAT
    uint32_t fatCount = 0;
    uint64_t heapOffset = 0; // cluster 2
    uint64_t rootOffset = 0; // FAT12/FAT16: the fixed root directory
    uint32_t rootEntries = 0;
    uint32_t rootCluster = 0; // FAT32 and exFAT
    uint32_t serial = 0;
    uint32_t labelField = 0;       // FAT: offset of the boot sector's label; 0 when it has none
    uint32_t fsInfoSector = 0;     // FAT32; 0 when absent
    uint32_t backupBootSector = 0; // FAT32; 0 when absent

    bool isFat() const { return layout.type != VirtualFsType::ExFat; }
    uint64_t clusterOffset(uint32_t cluster) const {
        return heapOffset + uint64_t{cluster - 2} * clusterBytes;
    }
    bool validCluster(uint64_t c) const { return c >= 2 && c - 2 < layout.clusterCount; }
};

VirtualFsType virtualType(FsType type) {
    return type == Fat12   ? VirtualFsType::Fat12
           : type == Fat16 ? VirtualFsType::Fat16
           : type == Fat32 ? VirtualFsType::Fat32
                           : VirtualFsType::ExFat;
}

// The boot sector as the system's own drivers take it (the FAT type by their rule, a volume
// within the partition); the exFAT boot checksum is verified separately.
bool parseBootSector(const uint8_t* b, uint64_t partitionBytes, Volume& v) {
    const BootRecognition r = recognizeBootSector(b, BootReader::System, partitionBytes);
    if (r.kind != BootKind::Volume) return false;
    const BootVolume& boot = r.volume;
    v = Volume{};
    v.layout.type = virtualType(boot.type);
    v.layout.bytesPerSector = boot.bytesPerSector;
    v.layout.sectorsPerCluster = boot.sectorsPerCluster;
    v.layout.clusterCount = static_cast<uint32_t>(boot.clusters);
    const uint64_t bps = boot.bytesPerSector;
    v.clusterBytes = bps * boot.sectorsPerCluster;
    v.firstFatOffset = uint64_t{boot.reservedSectors} * bps;
    v.fatBytes = uint64_t{boot.fatSectors} * bps;
    v.fatOffset = v.firstFatOffset + boot.activeFat * v.fatBytes;
    v.fatCount = boot.numberOfFats;
    v.rootOffset = (boot.reservedSectors + uint64_t{boot.numberOfFats} * boot.fatSectors) * bps;
    v.rootEntries = boot.rootEntries;
    v.heapOffset = boot.systemSectors * bps;
    v.rootCluster = boot.rootCluster;
    v.serial = boot.serial;
    v.labelField = boot.labelField;
    // FSInfo and the backup boot sector count only inside the reserved area.
    if (boot.type == Fat32) {
        if (boot.fsInfoSector != 0 && boot.fsInfoSector < boot.reservedSectors)
            v.fsInfoSector = boot.fsInfoSector;
        if (boot.backupBootSector != 0 && boot.backupBootSector < boot.reservedSectors)
            v.backupBootSector = boot.backupBootSector;
    }
    return true;
}

// The boot region's checksum must match, as the system demands before it mounts an exFAT volume.
bool exFatChecksumMatches(const PartitionBytes& part, const Volume& v) {
    const size_t bps = v.layout.bytesPerSector;
    std::vector<uint8_t> region(kBootRegionSectors * bps);
    return part.read(0, region.size(), region.data()) &&
           exFatBootChecksumMatches(region.data(), bps);
}

uint32_t locate(const CardSectors& card, Volume& v) {
    std::array<uint8_t, kSectorBytes> sector{};
    if (card.count == 0 || !card.read || !card.read(0, 1, sector.data()))
        return kErrorUnrecognizedVolume;
    uint64_t first = 0, count = card.count;
    if (!parseBootSector(sector.data(), count * kSectorBytes, v)) {
        const auto table = readPartitionTable(sector);
        if (!table || !table->signature) return kErrorUnrecognizedVolume;
        bool found = false;
        for (const PartitionEntry& e : table->entries) {
            // Empty and extended entries hold no volume.
            if (e.type == 0 || e.type == 0x05 || e.type == 0x0F || e.type == 0x85) continue;
            first = e.firstSector;
            count = e.sectorCount;
            found = first != 0 && count != 0;
            if (found) break;
        }
        // A partition that reaches past the card's end is not mounted.
        if (!found || first > card.count || count > card.count - first)
            return kErrorUnrecognizedVolume;
        if (!card.read(first, 1, sector.data()) ||
            !parseBootSector(sector.data(), count * kSectorBytes, v))
            return kErrorUnrecognizedVolume;
    }
    v.layout.firstSector = first;
    v.layout.partitionSectors = count;
    if (v.layout.type == VirtualFsType::ExFat &&
        !exFatChecksumMatches(PartitionBytes(card, first, count), v))
        return kErrorUnrecognizedVolume;
    return 0;
}

// The most a directory may hold: 65,536 entries on FAT, 256 MiB on exFAT. A root directory
// chain longer than that is damage, and no walk reads past it.
constexpr uint64_t kFatDirectoryMaxBytes = uint64_t{65536} * kDirEntryBytes;
constexpr uint64_t kExFatDirectoryMaxBytes = uint64_t{256} << 20;
// Directories are read a cluster at a time; clusters larger than this in pieces of this size.
constexpr size_t kDirectoryPiece = size_t{1} << 20;
// FAT entries are read in blocks of this size: the links of a chain laid out in order share one.
constexpr uint64_t kFatBlockBytes = 4096;

// Reads FAT entries (FAT32: their low 28 bits; exFAT: all 32), a block at a time.
class FatEntries {
public:
    FatEntries(const PartitionBytes& part, const Volume& v) : part_(part), v_(v) {}

    bool get(uint32_t cluster, uint32_t& value) {
        const uint64_t at = v_.fatOffset + uint64_t{cluster} * 4;
        if (at < blockAt_ || at + 4 > blockAt_ + blockBytes_) {
            // Whole card sectors, clipped to the partition.
            const uint64_t start = at / kFatBlockBytes * kFatBlockBytes;
            if (start >= part_.size()) return false;
            blockBytes_ = std::min<uint64_t>(kFatBlockBytes, part_.size() - start);
            if (!part_.read(start, static_cast<size_t>(blockBytes_), block_.data())) {
                blockBytes_ = 0;
                return false;
            }
            blockAt_ = start;
        }
        if (at + 4 > blockAt_ + blockBytes_) return false; // past the partition's end
        value = le32(&block_[static_cast<size_t>(at - blockAt_)]);
        if (v_.layout.type == VirtualFsType::Fat32) value &= 0x0FFFFFFF;
        return true;
    }

private:
    const PartitionBytes& part_;
    const Volume& v_;
    std::array<uint8_t, kFatBlockBytes> block_{};
    uint64_t blockAt_ = 0, blockBytes_ = 0;
};

// The end-of-chain marks: FAT32 0FFFFFF8h and above; exFAT FFFFFFFFh, and, as the system's
// own driver reads them, the values above the bad-cluster mark FFFFFFF7h.
bool endOfChain(const Volume& v, uint32_t next) {
    return v.layout.type == VirtualFsType::Fat32 ? next >= 0x0FFFFFF8 : next > 0xFFFFFFF7;
}

// The clusters a walk has passed, as runs of consecutive numbers: a chain laid out in order
// (the usual case) costs one entry however long it is.
class ClusterRuns {
public:
    // False when `cluster` was added before.
    bool add(uint32_t cluster) {
        auto next = runs_.upper_bound(cluster); // the first run that starts after it
        if (next != runs_.begin()) {
            const auto prev = std::prev(next);
            if (cluster <= prev->second) return false;
            if (cluster == prev->second + 1) {
                prev->second = cluster;
                if (next != runs_.end() && next->first == cluster + 1) {
                    prev->second = next->second;
                    runs_.erase(next);
                }
                return true;
            }
        }
        if (next != runs_.end() && next->first == cluster + 1) {
            const uint32_t last = next->second;
            runs_.erase(next);
            runs_.emplace(cluster, last);
            return true;
        }
        runs_.emplace(cluster, cluster);
        return true;
    }

private:
    std::map<uint32_t, uint32_t> runs_; // first cluster -> last cluster
};

// Done: the chain ended; Stopped: the visitor stopped it; Failed: a read failed; Damaged: the
// chain is not one the file system could have written.
enum class Walk { Done, Stopped, Failed, Damaged };

// Calls visit(cluster) along the chain from `first` until visit returns false or the chain ends.
// A chain that loops (names a cluster twice), links outside the heap or to a free or bad
// cluster, or holds more than `maxClusters` clusters is damaged: the walk stops there, having
// read each cluster at most once. `contiguousWhenFree`: a free entry inside the chain means the
// next cluster, for structures written without a chain.
template <typename Visit>
Walk walkChain(const PartitionBytes& part, const Volume& v, uint32_t first, uint64_t maxClusters,
               Visit visit, bool contiguousWhenFree = false) {
    FatEntries fat(part, v);
    ClusterRuns seen;
    uint32_t cluster = first;
    for (uint64_t count = 0;; ++count) {
        if (!v.validCluster(cluster) || count == maxClusters || !seen.add(cluster))
            return Walk::Damaged;
        if (!visit(cluster)) return Walk::Stopped;
        uint32_t next = 0;
        if (!fat.get(cluster, next)) return Walk::Failed;
        if (next == 0 && contiguousWhenFree) next = cluster + 1;
        if (endOfChain(v, next)) return Walk::Done;
        cluster = next;
    }
}

// Visits the root directory's 32-byte entries in order: visit(offset, entry) returns false to
// stop. Failed when a directory sector cannot be read, Damaged when the root's chain is.
template <typename Visit>
Walk scanRoot(const PartitionBytes& part, const Volume& v, Visit visit) {
    std::vector<uint8_t> piece;
    bool stopped = false, failed = false;
    auto scanSpan = [&](uint64_t offset, uint64_t bytes) {
        for (uint64_t at = 0; at < bytes && !stopped && !failed;) {
            const size_t n = static_cast<size_t>(std::min<uint64_t>(bytes - at, kDirectoryPiece));
            piece.resize(n);
            if (!part.read(offset + at, n, piece.data())) {
                failed = true;
                break;
            }
            for (size_t e = 0; e + kDirEntryBytes <= n && !stopped; e += kDirEntryBytes)
                stopped = !visit(offset + at + e, &piece[e]);
            at += n;
        }
        return !stopped && !failed;
    };
    if (v.rootCluster == 0) {
        scanSpan(v.rootOffset, uint64_t{v.rootEntries} * kDirEntryBytes);
    } else {
        const uint64_t limit = v.isFat() ? kFatDirectoryMaxBytes : kExFatDirectoryMaxBytes;
        const Walk walk = walkChain(
            part, v, v.rootCluster, (limit + v.clusterBytes - 1) / v.clusterBytes,
            [&](uint32_t cluster) { return scanSpan(v.clusterOffset(cluster), v.clusterBytes); });
        if (walk == Walk::Damaged) return Walk::Damaged;
        failed = failed || walk == Walk::Failed;
    }
    return failed ? Walk::Failed : stopped ? Walk::Stopped : Walk::Done;
}

// What a walk that did not finish means to the caller: 0 when it finished.
uint32_t walkError(Walk walk) {
    return walk == Walk::Failed    ? kErrorReadFault
           : walk == Walk::Damaged ? kErrorUnrecognizedVolume
                                   : 0;
}

// Where the root directory's label entry is, and the first slot a new one could take.
struct LabelSlots {
    uint64_t label = 0, free = 0;
    bool hasLabel = false, hasFree = false;
};

Walk findLabelSlots(const PartitionBytes& part, const Volume& v, LabelSlots& slots,
                    std::array<uint8_t, kDirEntryBytes>& labelEntry) {
    return scanRoot(part, v, [&](uint64_t offset, const uint8_t* e) {
        const bool end = e[0] == 0x00;
        const bool unused = v.isFat() ? end || e[0] == 0xE5 : (e[0] & 0x80) == 0;
        const bool label =
            v.isFat() ? fat_dirent::isVolumeLabel(e) : e[0] == exfat_dirent::kTypeVolumeLabel;
        if (label && !slots.hasLabel) {
            slots = LabelSlots{offset, slots.free, true, slots.hasFree};
            std::memcpy(labelEntry.data(), e, kDirEntryBytes);
        }
        if (unused && !slots.hasFree) {
            slots.free = offset;
            slots.hasFree = true;
        }
        return !end;
    });
}

// Reads of the FAT and the bitmap are made in pieces of at most this many bytes.
constexpr size_t kCountPiece = size_t{64} << 10;

// The root directory's first allocation-bitmap entry (exFAT).
uint32_t findBitmapEntry(const PartitionBytes& part, const Volume& v,
                         std::array<uint8_t, kDirEntryBytes>& bitmapEntry) {
    bool found = false;
    const Walk root = scanRoot(part, v, [&](uint64_t, const uint8_t* e) {
        const bool firstBitmap =
            e[exfat_dirent::kEntryType] == exfat_dirent::kTypeAllocationBitmap &&
            (e[exfat_dirent::kBitmapFlags] & 1) == 0;
        if (firstBitmap) {
            std::memcpy(bitmapEntry.data(), e, kDirEntryBytes);
            found = true;
        }
        return !found && e[0] != 0x00;
    });
    if (uint32_t rc = walkError(root)) return rc;
    return found ? 0 : kErrorUnrecognizedVolume;
}

// Clusters in use, from the allocation bitmap (bit k stands for cluster k + 2).
uint32_t countUsedInBitmap(const PartitionBytes& part, const Volume& v, uint32_t& used) {
    const uint32_t clusters = v.layout.clusterCount;
    std::array<uint8_t, kDirEntryBytes> bitmapEntry{};
    if (uint32_t rc = findBitmapEntry(part, v, bitmapEntry)) return rc;
    const uint64_t needed = (uint64_t{clusters} + 7) / 8;
    if (le64(&bitmapEntry[exfat_dirent::kDataLength]) < needed) return kErrorUnrecognizedVolume;
    std::vector<uint8_t> piece(
        static_cast<size_t>(std::min<uint64_t>(v.clusterBytes, kCountPiece)));
    uint64_t bit = 0;
    bool readFailed = false;
    const Walk walk = walkChain(
        part, v, le32(&bitmapEntry[exfat_dirent::kFirstCluster]),
        (needed + v.clusterBytes - 1) / v.clusterBytes,
        [&](uint32_t cluster) {
            for (uint64_t at = 0; at < v.clusterBytes && bit < clusters; at += piece.size()) {
                if (!part.read(v.clusterOffset(cluster) + at, piece.size(), piece.data())) {
                    readFailed = true;
                    return false;
                }
                for (size_t i = 0; i < piece.size() && bit < clusters; ++i)
                    for (int k = 0; k < 8 && bit < clusters; ++k, ++bit)
                        if (piece[i] >> k & 1) ++used;
            }
            return bit < clusters;
        },
        true);
    if (readFailed) return kErrorReadFault;
    if (uint32_t rc = walkError(walk)) return rc;
    return bit < clusters ? kErrorUnrecognizedVolume : 0;
}

// Clusters in use, from the FAT: entries 2 onwards that are not 0.
uint32_t countUsedInFat(const PartitionBytes& part, const Volume& v, uint32_t& used) {
    const uint64_t last = uint64_t{v.layout.clusterCount} + 2; // entries 0 .. last - 1
    if (v.layout.type == VirtualFsType::Fat12) {
        std::vector<uint8_t> fat(static_cast<size_t>(last * 3 / 2 + 1));
        if (!part.read(v.fatOffset, fat.size(), fat.data())) return kErrorReadFault;
        for (uint64_t n = 2; n < last; ++n) {
            const uint16_t pair = le16(&fat[static_cast<size_t>(n + n / 2)]);
            if (((n & 1) ? pair >> 4 : pair & 0xFFFu) != 0) ++used;
        }
        return 0;
    }
    const uint32_t width = v.layout.type == VirtualFsType::Fat16 ? 2 : 4;
    std::vector<uint8_t> piece(kCountPiece);
    for (uint64_t n = 0; n < last;) {
        const uint64_t count = std::min<uint64_t>(kCountPiece / width, last - n);
        if (!part.read(v.fatOffset + n * width, static_cast<size_t>(count * width), piece.data()))
            return kErrorReadFault;
        for (uint64_t i = 0; i < count; ++i, ++n) {
            if (n < 2) continue;
            const uint32_t value = width == 2
                                       ? le16(&piece[static_cast<size_t>(i * 2)])
                                       : le32(&piece[static_cast<size_t>(i * 4)]) & 0x0FFFFFFFu;
            if (value != 0) ++used;
        }
    }
    return 0;
}

// Clusters in use, from the FAT (FAT12/16/32) or the allocation bitmap.
uint32_t countUsed(const PartitionBytes& part, const Volume& v, uint32_t& used) {
    used = 0;
    return v.layout.type == VirtualFsType::ExFat ? countUsedInBitmap(part, v, used)
                                                 : countUsedInFat(part, v, used);
}

uint32_t setFatLabel(const PartitionBytes& part, const Volume& v, const CodePage& oem,
                     const std::u16string& label, const LocalTime& now) {
    std::string name;
    if (!encodeFatLabel(label, oem, name)) return kErrorInvalidName;
    const bool remove = name == std::string(11, ' ');

    LabelSlots slots;
    std::array<uint8_t, kDirEntryBytes> old{};
    if (uint32_t rc = walkError(findLabelSlots(part, v, slots, old))) return rc;
    if (remove) {
        const uint8_t deleted = 0xE5;
        if (slots.hasLabel && !part.write(slots.label, 1, &deleted)) return kErrorWriteFault;
    } else {
        if (!slots.hasLabel && !slots.hasFree) return kErrorDiskFull;
        std::array<uint8_t, kDirEntryBytes> entry{};
        std::memcpy(&entry[fat_dirent::kName], name.data(), 11);
        storeFatNameLead(&entry[fat_dirent::kName]);
        entry[fat_dirent::kAttributes] = fat_dirent::kVolumeLabelAttribute;
        putDosTimestamp(&entry[fat_dirent::kWriteTime], &entry[fat_dirent::kWriteDate], now);
        if (!part.write(slots.hasLabel ? slots.label : slots.free, entry.size(), entry.data()))
            return kErrorWriteFault;
    }

    if (v.labelField != 0) {
        const std::string field = remove ? "NO NAME    " : name;
        const auto* bytes = reinterpret_cast<const uint8_t*>(field.data());
        if (!part.write(v.labelField, 11, bytes)) return kErrorWriteFault;
        // FAT32's backup boot sector, when it is one.
        const uint64_t backup = uint64_t{v.backupBootSector} * v.layout.bytesPerSector;
        std::array<uint8_t, kSectorBytes> copy{};
        if (v.backupBootSector != 0 && part.read(backup, copy.size(), copy.data()) &&
            copy[bpb32::kBootSignature] == 0x29 && !part.write(backup + v.labelField, 11, bytes))
            return kErrorWriteFault;
    }
    return 0;
}

uint32_t setExFatLabel(const PartitionBytes& part, const Volume& v, const std::u16string& label) {
    if (!isValidExFatLabel(label)) return kErrorInvalidName;
    LabelSlots slots;
    std::array<uint8_t, kDirEntryBytes> old{};
    if (uint32_t rc = walkError(findLabelSlots(part, v, slots, old))) return rc;
    std::array<uint8_t, kDirEntryBytes> entry{};
    if (label.empty()) {
        // The label entry becomes unused (type 03h): no label.
        if (!slots.hasLabel) return 0;
        entry[exfat_dirent::kEntryType] = 0x03;
    } else {
        if (!slots.hasLabel && !slots.hasFree) return kErrorDiskFull;
        entry[exfat_dirent::kEntryType] = exfat_dirent::kTypeVolumeLabel;
        entry[exfat_dirent::kCharacterCount] = static_cast<uint8_t>(label.size());
        for (size_t i = 0; i < label.size(); ++i)
            put16(&entry[exfat_dirent::kVolumeLabel + 2 * i], label[i]);
    }
    if (!part.write(slots.hasLabel ? slots.label : slots.free, entry.size(), entry.data()))
        return kErrorWriteFault;
    return 0;
}

} // namespace

uint32_t locateVirtualVolume(const CardSectors& card, VirtualVolumeLayout& out) {
    Volume v;
    if (uint32_t rc = locate(card, v)) return rc;
    out = v.layout;
    return 0;
}

uint32_t virtualVolumeInformation(const CardSectors& card, const CodePage& oem, VolumeInfo& out) {
    Volume v;
    if (uint32_t rc = locate(card, v)) return rc;
    const PartitionBytes part(card, v.layout.firstSector, v.layout.partitionSectors);
    LabelSlots slots;
    std::array<uint8_t, kDirEntryBytes> entry{};
    if (uint32_t rc = walkError(findLabelSlots(part, v, slots, entry))) return rc;

    VolumeInfo info;
    if (slots.hasLabel && v.isFat()) {
        info.label = decodeFatLabel(&entry[fat_dirent::kName], oem, FatLabelEnd::NulOrBlanks);
    } else if (slots.hasLabel) {
        info.label = decodeExFatLabel(entry.data());
    }
    info.serial = v.serial;
    info.maxComponentLength = 255;
    info.flags = 0x6; // FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK
    info.fileSystem = v.layout.type == VirtualFsType::ExFat   ? u"exFAT"
                      : v.layout.type == VirtualFsType::Fat32 ? u"FAT32"
                                                              : u"FAT";
    out = info;
    return 0;
}

uint32_t virtualFreeSpace(const CardSectors& card, ClusterSpace& out) {
    Volume v;
    if (uint32_t rc = locate(card, v)) return rc;
    const PartitionBytes part(card, v.layout.firstSector, v.layout.partitionSectors);
    uint32_t used = 0;
    if (uint32_t rc = countUsed(part, v, used)) return rc;
    out.sectorsPerCluster = v.layout.sectorsPerCluster;
    out.bytesPerSector = v.layout.bytesPerSector;
    out.totalClusters = v.layout.clusterCount;
    out.freeClusters = v.layout.clusterCount - used;
    return 0;
}

uint32_t setVirtualVolumeLabel(const CardSectors& card, const CodePage& oem,
                               const std::u16string& label, const LocalTime& now) {
    Volume v;
    if (uint32_t rc = locate(card, v)) return rc;
    const PartitionBytes part(card, v.layout.firstSector, v.layout.partitionSectors);
    return v.isFat() ? setFatLabel(part, v, oem, label, now) : setExFatLabel(part, v, label);
}

} // namespace brc
