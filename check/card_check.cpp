// Reading: sector 0, at most 24 sectors of the partition's boot area (the FAT32 backup sector
// and FSInfo copies one by one), then what the format writes after it: the first sectors of each
// FAT, the root directory's first sector and, on exFAT, the allocation bitmap's first sectors and
// the up-case table. A few hundred sectors at most: the one chain followed, a grown FAT32 root
// directory's, ends where a directory's largest size does and reads at most 64 FAT sectors past
// those read, so a hostile card costs little more than a sound one. Every count and offset from
// the card is checked in 64-bit arithmetic before a read or a division uses it.
#include "check/card_check.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>
#include <optional>
#include <set>

#include "base/number_text.h"
#include "base/little_endian.h"
#include "base/on_card_fields.h"
#include "base/on_card_reader.h"
#include "base/upcase_table.h"
#include "device/driver_binding.h"
#include "engine/fat_writers.h"
#include "exfat/exfat_writers.h"
#include "os/os_services.h"
#include "volume/boot_sector.h"
#include "volume/volume_label.h"

namespace brc {
namespace {

constexpr uint32_t kExFatRegions = 2 * kBootRegionSectors;
// Of each FAT the check reads this many sectors from its start: the format's heads and chains
// lie there, and a format cut short leaves the copies different there.
constexpr uint32_t kFatSectorsRead = 64;
// Past the FAT sectors read, a FAT32 root directory's chain is followed through at most this
// many more, one at a time.
constexpr uint32_t kChainSectorsRead = 64;
// A FAT directory holds at most 65,536 entries of 32 bytes; no host grows one further.
constexpr uint64_t kFatDirectoryMaxBytes = 65536 * 32;
// FSInfo's counts when not known.
constexpr uint32_t kFsInfoUnknown = 0xFFFFFFFFu;
// The FAT32 entry of a bad cluster.
constexpr uint32_t kFat32Bad = 0x0FFFFFF7u;
// An up-case table maps at most every UTF-16 unit.
constexpr uint64_t kUpcaseMaxBytes = 65536 * 2;

std::string hexByte(uint32_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", value & 0xFF);
    return text;
}

// "0x0FFFFFF8".
std::string hex32(uint32_t value) {
    char text[12];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

// "F8 FF FF 0F".
std::string hexBytes(const uint8_t* p, size_t n) {
    std::string out;
    for (size_t i = 0; i < n; ++i) out += hexByte(p[i]).substr(2) + (i + 1 < n ? " " : "");
    return out;
}

std::string chsText(const uint8_t* p) {
    char text[16];
    std::snprintf(text, sizeof text, "%02X %02X %02X", p[0], p[1], p[2]);
    return text;
}

// "4 MiB", "32 KiB" or "1,536 bytes" for a number of sectors.
std::string sizeText(uint64_t sectors) {
    const uint64_t bytes = sectors * kSectorBytes;
    if (bytes != 0 && bytes % (1024 * 1024) == 0) return grouped(bytes / (1024 * 1024)) + " MiB";
    if (bytes != 0 && bytes % 1024 == 0) return grouped(bytes / 1024) + " KiB";
    return grouped(bytes) + " bytes";
}

// "a 4 MiB", "an 8 KiB".
std::string withArticle(const std::string& text) {
    const bool an = text[0] == '8' || text.rfind("11", 0) == 0 || text.rfind("18", 0) == 0;
    return (an ? "an " : "a ") + text;
}

std::string sectorsText(uint64_t sectors) {
    return grouped(sectors) + (sectors == 1 ? " sector" : " sectors");
}


// Where the file system starts: the partition table's entry, or sector 0 without one.
struct Partition {
    bool present = false;
    unsigned entryIndex = 0;  // which of the four entries describes the partition
    uint8_t entry[mbr::kEntryBytes] = {};
    uint32_t first = 0;
    uint64_t count = 0;  // without a table: the card's user area
    unsigned otherEntries = 0;
};

// The boot sector's figures, each already range-checked.
struct Volume {
    FsType type = Fat12;
    uint64_t volumeSectors = 0;
    uint32_t sectorsPerCluster = 0;
    uint32_t reservedSectors = 0;  // exFAT: the FAT offset
    uint32_t fatSectors = 0;
    uint32_t numberOfFats = 0;
    uint32_t rootEntries = 0;
    uint64_t systemSectors = 0;  // partition start to cluster 2
    uint64_t clusters = 0;
    uint64_t partitionOffset = 0;  // FAT: hidden sectors; exFAT: PartitionOffset
    uint32_t heads = 0, sectorsPerTrack = 0;  // FAT only
    bool signature = false;
    uint32_t fsInfoSector = 0, backupBootSector = 0;  // FAT32 only
    uint32_t serial = 0;  // 0 when the boot sector holds none
};

// What came of one read: none made (the structure is not where it could be read), the data, none
// made as the structure lies past the card's end, or a failure. What lies past the end is judged
// no further: the partition's or the volume's own deviation already says that it runs past it.
enum class Got { None, Data, Outside, Failed };

// One structure's read: its first sector and what came of it; its findings count only when it
// was read.
struct Reach {
    Got got = Got::None;
    uint64_t sector = 0;
    bool read() const { return got == Got::Data; }
};

// Reads within the user area only.
struct Card {
    uint32_t userSectors;
    const SectorReader& reader;
    Reach read(uint64_t first, uint32_t count, uint8_t* out) const {
        if (count == 0 || first + count > userSectors) return {Got::Outside, first};
        return {reader(static_cast<uint32_t>(first), count, out) ? Got::Data : Got::Failed, first};
    }
};

// A read the card refused, in the words of a read and never of the content it would have shown.
Deviation unreadable(const char* field, std::string expected, uint64_t sector,
                     const std::string& what) {
    return {field, std::move(expected), "could not read sector " + grouped(sector),
            "Could not read sector " + grouped(sector) + ", which holds " + what +
                ", so the check cannot compare it with the rules, and hosts may not read it "
                "either."};
}

// The deviations that do not depend on which of the rules' layouts the card is held against:
// the structures the format writes after the boot sector.
struct Findings {
    std::vector<Deviation> list;
    void add(const char* field, std::string expected, std::string found, std::string why) {
        list.push_back({field, std::move(expected), std::move(found), std::move(why)});
    }
    // A read for one structure; a failed read is noted as such under the structure's field.
    bool read(const Card& card, uint64_t first, uint32_t count, uint8_t* out, const char* field,
              const char* expected, const char* what) {
        const Reach r = card.read(first, count, out);
        if (r.got == Got::Failed) list.push_back(unreadable(field, expected, first, what));
        return r.read();
    }
};

// What the boot area around the boot sector holds (read once, compared with either plan).
struct BootArea {
    // FAT32: the backup boot sector equals the boot sector; both FSInfo copies are sound.
    Reach backup, fsInfo, backupFsInfo;
    bool backupMatches = false;
    bool fsInfoSound = false;
    bool backupFsInfoSound = false;
    FsInfo fsInfoCounts, backupFsInfoCounts; // of the sound copies
    // exFAT
    Reach main, backupRegion;
    bool checksumMatches = false;
    int backupDiffers = -1;  // first sector of the backup region that differs, or -1
    bool flashRecord = false;
    uint32_t eraseBlockBytes = 0;
};

struct Found {
    uint32_t cardSectors = 0;
    Partition table;
    bool volumeKnown = false;
    Volume volume;
    BootArea area;
    Findings structures;
    std::string label;     // UTF-8; empty when the card holds none
    std::string noVolume;  // why no volume was recognised
    Reach boot;            // the boot sector's read, when a partition table points to it
};

// The boot sector as the check reads it: false with an empty `why` when it is none, with `why`
// set when it is one but cannot be trusted.
bool parseBootSector(const uint8_t* b, Volume& v, std::string& why) {
    const BootRecognition r = recognizeBootSector(b, BootReader::Check);
    why = r.why;
    if (r.kind != BootKind::Volume) return false;
    const BootVolume& boot = r.volume;
    v.type = boot.type;
    v.volumeSectors = boot.volumeSectors;
    v.sectorsPerCluster = boot.sectorsPerCluster;
    v.reservedSectors = boot.reservedSectors;
    v.fatSectors = boot.fatSectors;
    v.numberOfFats = boot.numberOfFats;
    v.rootEntries = boot.rootEntries;
    v.systemSectors = boot.systemSectors;
    v.clusters = boot.clusters;
    v.partitionOffset = boot.partitionOffset;
    v.heads = boot.heads;
    v.sectorsPerTrack = boot.sectorsPerTrack;
    v.signature = boot.signature;
    v.fsInfoSector = boot.fsInfoSector;
    v.backupBootSector = boot.backupBootSector;
    v.serial = boot.serial;
    return true;
}

void readFat32Area(const Card& card, uint64_t start, const uint8_t* boot, const Volume& v,
                   BootArea& area) {
    uint8_t sector[kSectorBytes];
    // Sector `relative` of the reserved area, read when it lies there.
    const auto reach = [&](uint64_t relative) {
        return relative != 0 && relative < v.reservedSectors ? card.read(start + relative, 1, sector)
                                                             : Reach{};
    };
    const auto sound = [&](uint64_t relative, Reach& r, FsInfo& counts) {
        r = reach(relative);
        const auto info = r.read() ? readFsInfo(sector) : std::nullopt;
        if (info) counts = *info;
        return info.has_value();
    };
    area.fsInfoSound = sound(v.fsInfoSector, area.fsInfo, area.fsInfoCounts);
    // The backup FSInfo sits where the FSInfo sits, relative to the backup boot sector.
    area.backupFsInfoSound =
        v.backupBootSector != 0 && sound(uint64_t{v.backupBootSector} + v.fsInfoSector,
                                         area.backupFsInfo, area.backupFsInfoCounts);
    area.backup = reach(v.backupBootSector);
    area.backupMatches = area.backup.read() && std::memcmp(sector, boot, kSectorBytes) == 0;
}

void readExFatArea(const Card& card, uint64_t start, BootArea& area) {
    std::vector<uint8_t> regions(size_t{kExFatRegions} * kSectorBytes);
    area.main = card.read(start, kBootRegionSectors, regions.data());
    if (!area.main.read()) return;
    const uint8_t* main = regions.data();
    area.checksumMatches = exFatBootChecksumMatches(main);

    const uint8_t* oem = main + size_t{exfat_boot::kOemParametersSector} * kSectorBytes;
    const auto records = readOemParameters({oem, kSectorBytes});
    for (const OemParameterRecord& record : *records) {
        if (record.flashParameters) {
            area.flashRecord = true;
            area.eraseBlockBytes = record.eraseBlockBytes;
            break;
        }
    }

    uint8_t* backup = regions.data() + size_t{kBootRegionSectors} * kSectorBytes;
    area.backupRegion = card.read(start + kBootRegionSectors, kBootRegionSectors, backup);
    if (!area.backupRegion.read()) return;
    for (uint32_t s = 0; s < kBootRegionSectors && area.backupDiffers < 0; ++s) {
        const uint8_t* a = main + size_t{s} * kSectorBytes;
        const uint8_t* b = backup + size_t{s} * kSectorBytes;
        for (size_t i = 0; i < kSectorBytes; ++i) {
            // Volume flags and percent in use change while the volume is mounted; the backup
            // keeps the values of the format.
            if (a[i] != b[i] && !(s == 0 && exfat_boot::outsideChecksum(i))) {
                area.backupDiffers = static_cast<int>(s);
                break;
            }
        }
    }
}

// ---- what the format writes after the boot sector --------------------------------------------

const char kFatHeadWhy[] =
    "; the format starts each FAT with the media byte F8 and end-of-chain markers in entries 0 "
    "and 1, so this FAT was not written as the format writes it, and hosts that trust it may "
    "lose what is written to the card.";

// Of each FAT the check reads at most kFatSectorsRead sectors.
uint32_t fatSectorsRead(const Volume& v) { return std::min(v.fatSectors, kFatSectorsRead); }

// The first sectors of the first FAT, as read when `read`.
struct FatStart {
    uint64_t sector = 0; // the first FAT's first sector
    std::vector<uint8_t> bytes;
    bool read = false;
};

// The first FAT's head, and both FATs alike over their first sectors.
FatStart checkFatCopies(const Card& card, uint64_t start, const Volume& v, Findings& out) {
    const uint32_t n = fatSectorsRead(v);
    FatStart fat{start + v.reservedSectors, std::vector<uint8_t>(size_t{n} * kSectorBytes)};
    const std::vector<uint8_t>& first = fat.bytes;
    std::vector<uint8_t> second(first.size());
    const std::span<const uint8_t> head = fatReservedEntries(v.type);
    const std::string want = hexBytes(head.data(), head.size());
    fat.read = out.read(card, fat.sector, n, fat.bytes.data(), "fatHead", want.c_str(),
                        "the first FAT's head");
    if (fat.read && !std::equal(head.begin(), head.end(), first.begin()))
        out.add("fatHead", want, hexBytes(first.data(), head.size()),
                "The first FAT starts with " + hexBytes(first.data(), head.size()) + kFatHeadWhy);
    const uint64_t fat2 = fat.sector + v.fatSectors;
    if (fat.read && v.numberOfFats >= 2 &&
        out.read(card, fat2, n, second.data(), "fatCopies", "same as the first FAT",
                 "the second FAT")) {
        const auto at = std::mismatch(first.begin(), first.end(), second.begin()).first;
        if (at != first.end()) {
            const uint64_t sector = fat2 + static_cast<uint64_t>(at - first.begin()) / kSectorBytes;
            out.add("fatCopies", "same as the first FAT", "differs at sector " + grouped(sector),
                    "The format writes two equal FATs; on this card the second differs from the "
                    "first at sector " + grouped(sector) + ", so hosts that read the copy see other "
                    "files, and a repair from it restores other chains.");
        }
    }
    return fat;
}

// FAT32 entries of the first FAT: from the sectors already read, or past them one sector at a
// time, at most kChainSectorsRead of those, so a long or scattered chain costs no more.
class Fat32Entries {
public:
    Fat32Entries(const Card& card, const Volume& v, const FatStart& fat)
        : card_(card), fat_(fat), inRead_(fatSectorsRead(v)) {}
    // The entry of `cluster` (a cluster of the data area); null when the read failed (noted in
    // `out` under `field`), lies past the card or past the reads allowed.
    const uint8_t* find(uint64_t cluster, Findings& out, const char* field, const char* expected,
                        const char* what) {
        const uint64_t at = cluster * 4 / kSectorBytes;
        if (at < inRead_) return fat_.read ? fat_.bytes.data() + cluster * 4 : nullptr;
        if (at != cached_) {
            if (readsLeft_ == 0) return nullptr;
            --readsLeft_;
            cached_ = UINT64_MAX;
            if (!out.read(card_, fat_.sector + at, 1, sector_, field, expected, what))
                return nullptr;
            cached_ = at;
        }
        return sector_ + cluster * 4 % kSectorBytes;
    }

private:
    const Card& card_;
    const FatStart& fat_;
    const uint32_t inRead_;
    uint32_t readsLeft_ = kChainSectorsRead;
    uint64_t cached_ = UINT64_MAX;
    uint8_t sector_[kSectorBytes] = {};
};

// The end of a FAT32 chain: 0FFFFFF8h to 0FFFFFFFh, as peers write 0FFFFFF8h; the top four bits
// are not the entry's.
bool endsChain(uint32_t entry) { return (entry & kFat32EndOfChain) >= (kFat32EndOfChain & ~7u); }

// The first words of each sentence on a grown FAT32 root directory's chain.
const char kGrownRootWhy[] =
    "The format writes the root directory as one cluster whose FAT entry ends its chain, and a "
    "host that grows it chains on through free clusters to a new end; on this card the chain ";

// A FAT32 root directory a host has grown, from its second cluster `next` on: each link a
// cluster of the data area not met before, until an end of chain no further than the largest
// directory reaches. The walk stops unjudged where the FAT cannot be read.
void walkFat32Root(Fat32Entries& fat, const Volume& v, uint32_t root, uint32_t next,
                   Findings& out) {
    const uint64_t lastCluster = v.clusters + 1;
    const uint64_t clusterBytes = uint64_t{v.sectorsPerCluster} * kSectorBytes;
    const uint64_t longest = (kFatDirectoryMaxBytes + clusterBytes - 1) / clusterBytes;
    std::set<uint32_t> seen{root};
    std::string found, what;
    for (uint32_t c = next;;) {
        if (!seen.insert(c).second) {
            found = "returns to cluster " + std::to_string(c);
            what = "comes back to cluster " + grouped(c) + " after " + grouped(seen.size()) +
                   " clusters and never ends, so hosts that list the root directory go round "
                   "in it or refuse the volume";
            break;
        }
        if (seen.size() > longest) {
            found = "longer than " + std::to_string(longest) + " clusters";
            what = "runs on past " + grouped(longest) +
                   " clusters, more than the 2 MiB (65,536 entries) a directory may hold, so it "
                   "is no chain a host grew and hosts that follow it read other clusters as the "
                   "root directory";
            break;
        }
        const uint8_t* entry =
            fat.find(c, out, "rootCluster", "end of chain", "the root directory's FAT chain");
        if (!entry) return;
        const uint32_t link = le32(entry) & kFat32EndOfChain;
        if (endsChain(link)) return;
        if (link >= 2 && link <= lastCluster) {
            c = link;
            continue;
        }
        found = "FAT entry " + std::to_string(c) + " holds " + hexBytes(entry, 4);
        what = "reaches cluster " + grouped(c);
        if (link == 0) what += ", which the FAT gives as free, so hosts may write a file over it";
        else if (link == kFat32Bad)
            what += ", which the FAT marks bad, so hosts stop reading the root directory there";
        else
            what += ", whose FAT entry holds " + hexBytes(entry, 4) +
                    ", neither a cluster of the data area (2 to " + grouped(lastCluster) +
                    ") nor an end of chain, so hosts cannot follow the root directory past it";
        break;
    }
    out.add("rootCluster", "end of chain", found, kGrownRootWhy + what + ".");
}

// FAT32: the root directory's cluster and its chain: one cluster ending it, as the format writes
// it, or grown since into sound links. The root directory's first sector, or none when the boot
// sector gives no cluster of the data area.
std::optional<uint64_t> checkFat32Root(const Card& card, uint64_t start, const uint8_t* boot,
                                       const Volume& v, const FatStart& fat, Findings& out) {
    const uint32_t root = le32(boot + bpb32::kRootCluster);
    if (root < 2 || root > v.clusters + 1) {
        out.add("rootCluster", std::to_string(kFat32RootCluster), std::to_string(root),
                "The format puts the root directory in cluster " +
                    std::to_string(kFat32RootCluster) + "; this card's boot sector gives cluster " +
                    grouped(root) + ", outside its data area, so hosts find no root directory.");
        return std::nullopt;
    }
    Fat32Entries entries(card, v, fat);
    const uint8_t* entry =
        entries.find(root, out, "rootCluster", "end of chain", "the root directory's FAT entry");
    // A root directory that has grown since goes on into a cluster of the data area, which is
    // no fault of the layout.
    const uint32_t next = entry ? le32(entry) & kFat32EndOfChain : 0;
    const bool grown = next >= 2 && next <= v.clusters + 1 && next != root;
    if (entry && !endsChain(next) && !grown)
        out.add("rootCluster", "end of chain", hexBytes(entry, 4),
                "The format writes the root directory as one cluster whose FAT entry ends its "
                "chain; on this card that entry holds " +
                    hexBytes(entry, 4) +
                    ", so hosts read the root directory on into clusters the format never "
                    "gave it.");
    if (grown) walkFat32Root(entries, v, root, next, out);
    return start + v.systemSectors + uint64_t{root - 2} * v.sectorsPerCluster;
}

// The root directory's first entry: empty, the volume label, or an entry a host wrote since (a
// card in use).
void checkFatRootEntry(const Card& card, uint64_t rootSector, const CodePage& oem, Found& f) {
    uint8_t dir[kSectorBytes];
    if (!f.structures.read(card, rootSector, 1, dir, "rootDirectory", "empty or the volume label",
                           "the root directory"))
        return;
    // A free slot (00h, or E5h for a deleted entry) or the label, as the format or a later
    // change of the label leaves it.
    if (fat_dirent::isVolumeLabel(dir)) {
        f.label = utf16ToUtf8(decodeFatLabel(dir + fat_dirent::kName, oem, FatLabelEnd::Blanks));
    } else if (dir[0] != 0x00 && dir[0] != 0xE5 && !fat_dirent::isPlausibleEntry(dir)) {
        f.structures.add(
            "rootDirectory", "empty or the volume label", "other entries",
            "The format leaves the root directory empty or starts it with the volume label; "
            "this card's first entry is neither, nor any entry a host writes, so it holds "
            "what neither wrote, which hosts list as files or take for damage.");
    }
}

// FAT12, FAT16, FAT32: the first FAT's head, both FATs alike over their first sectors, FAT32's
// root directory chain, and the root directory's first entry.
void checkFatStructures(const Card& card, uint64_t start, const uint8_t* boot, const Volume& v,
                        const CodePage& oem, Found& f) {
    const FatStart fat = checkFatCopies(card, start, v, f.structures);
    uint64_t rootSector = fat.sector + uint64_t{v.numberOfFats} * v.fatSectors; // FAT12/16
    if (v.type == Fat32) {
        const auto sector = checkFat32Root(card, start, boot, v, fat, f.structures);
        if (!sector) return;
        rootSector = *sector;
    }
    checkFatRootEntry(card, rootSector, oem, f);
}

// The exFAT root directory's first sector: the entries the format writes there, the label, and
// a sentence for each that is missing or cannot be what the format writes.
struct ExFatRootEntries {
    const uint8_t* label = nullptr;  // in use (83h) or, once the label was taken away, not (03h)
    const uint8_t* bitmap = nullptr;
    const uint8_t* upcase = nullptr;
    uint32_t bitmaps = 0; // allocation-bitmap entries in use, the first FAT's or not
    // The directory ends in this sector and holds no entry in use that may own clusters beside
    // the format's three: no file or folder, so the volume's only clusters in use are theirs.
    bool nothingElse = false;
};

// An entry in use that owns no clusters of its own: the format's three, whose clusters are the
// structures', a volume GUID and padding.
bool ownsNoClusters(uint8_t type) {
    using namespace exfat_dirent;
    return type == kTypeAllocationBitmap || type == kTypeUpcaseTable || type == kTypeVolumeLabel ||
           type == kTypeVolumeGuid || type == kTypeTexFatPadding;
}

// More allocation-bitmap entries than FATs, one bitmap going with each.
void noteExtraBitmaps(uint32_t bitmaps, uint32_t numberOfFats, Findings& out) {
    const std::string fats = std::to_string(numberOfFats) + (numberOfFats == 1 ? " FAT" : " FATs");
    out.add("rootDirectory", "one allocation-bitmap entry for each FAT",
            std::to_string(bitmaps) + " allocation-bitmap entries",
            "The format writes one allocation-bitmap entry for each FAT; this card's root "
            "directory holds " +
                std::to_string(bitmaps) + " allocation-bitmap entries for its " + fats +
                ", so hosts may keep the free space by another bitmap than the one in use, or "
                "refuse the volume.");
}

// The entries of the root directory's first sector, each missing or unsound one noted.
ExFatRootEntries findRootEntries(const uint8_t* dir, uint32_t numberOfFats, Found& f) {
    using namespace exfat_dirent;
    ExFatRootEntries r;
    bool others = false;
    size_t at = 0;
    for (; at < kSectorBytes && dir[at] != 0x00; at += kDirEntryBytes) {
        const uint8_t* e = dir + at;
        if (!r.label && (e[kEntryType] | 0x80) == kTypeVolumeLabel) r.label = e;
        if (!r.bitmap && e[kEntryType] == kTypeAllocationBitmap && (e[kBitmapFlags] & 1) == 0)
            r.bitmap = e;
        if (!r.upcase && e[kEntryType] == kTypeUpcaseTable) r.upcase = e;
        r.bitmaps += e[kEntryType] == kTypeAllocationBitmap;
        others = others || ((e[kEntryType] & 0x80) != 0 && !ownsNoClusters(e[kEntryType]));
    }
    r.nothingElse = at < kSectorBytes && !others;
    if (r.bitmaps > numberOfFats) noteExtraBitmaps(r.bitmaps, numberOfFats, f.structures);
    std::vector<std::string> missing;
    if (!r.label) missing.push_back("volume-label");
    if (!r.bitmap) missing.push_back("allocation-bitmap");
    if (!r.upcase) missing.push_back("up-case-table");
    if (!missing.empty()) {
        std::string names = missing[0];
        for (size_t i = 1; i < missing.size(); ++i)
            names += (i + 1 == missing.size() ? " and " : ", ") + missing[i];
        f.structures.add(
            "rootDirectory", "label, bitmap and up-case entries", "no " + names + " entry",
            "The format starts the root directory with a volume-label, an allocation-bitmap and an "
            "up-case-table entry; this card's lacks the " + names +
                (missing.size() == 1 ? " entry" : " entries") +
                (r.bitmap && r.upcase ? ", so it is not the directory the format writes and hosts "
                                        "show no label."
                                      : ", so hosts cannot mount the volume."));
    }
    if (r.label && r.label[kEntryType] == kTypeVolumeLabel) {
        const uint32_t units = r.label[kCharacterCount];
        if (units > kExFatLabelUnits) {
            f.structures.add("volumeLabel", "at most 11 characters", std::to_string(units),
                             "The format's label entry holds at most 11 characters; this card's "
                             "counts " + std::to_string(units) +
                                 ", so hosts show a garbled label or refuse the volume.");
        } else {
            f.label = utf16ToUtf8(decodeExFatLabel(r.label));
        }
    }
    return r;
}

// One of the three structures as the format lays them out in the cluster heap: a run of
// clusters chained one to the next, its last entry ending the chain. `sound` learns the first
// cluster of a run whose chain is.
struct HeapRun {
    const char* field;
    const char* name;
    uint64_t first, clusters;
    uint64_t* sound;
    bool mayGrow = false; // the root directory of a card in use chains on into more clusters
    bool* ends = nullptr; // learns whether the chain, when sound, ends in the run's last cluster
};

// The root directory's first sector, the entries found in it (which point into it) and the runs
// they give (whose chains, when sound, set bitmapCluster and upcaseCluster).
struct ExFatRuns {
    uint8_t dir[kSectorBytes];
    ExFatRootEntries entries;
    std::vector<HeapRun> runs;
    uint64_t bitmapCluster = 0, upcaseCluster = 0, upcaseBytes = 0;
    bool rootEnds = false; // the root directory's chain ends in its first cluster
};

uint64_t clusterSector(uint64_t start, const Volume& v, uint64_t cluster) {
    return start + v.systemSectors + (cluster - 2) * v.sectorsPerCluster;
}

// The root directory's run and, from its first sector, its entries.
void findExFatRoot(const Card& card, uint64_t start, const uint8_t* boot, const Volume& v, Found& f,
                   ExFatRuns& s) {
    const uint64_t lastCluster = v.clusters + 1;
    const uint32_t root = le32(boot + exfat_boot::kFirstClusterOfRootDirectory);
    if (root < 2 || root > lastCluster) {
        f.structures.add("rootDirectory", "a cluster of the heap", std::to_string(root),
                         "The boot sector gives the root directory cluster " + grouped(root) +
                             ", outside the cluster heap's clusters 2 to " + grouped(lastCluster) +
                             ", so hosts find no root directory.");
        return;
    }
    s.runs.push_back({"rootDirectory", "root directory", root, 1, nullptr, true, &s.rootEnds});
    if (f.structures.read(card, clusterSector(start, v, root), 1, s.dir, "rootDirectory",
                          "label, bitmap and up-case entries", "the root directory"))
        s.entries = findRootEntries(s.dir, v.numberOfFats, f);
}

// The allocation bitmap's and the up-case table's runs, from their entries' sizes.
void addExFatRuns(const Volume& v, ExFatRuns& s, Findings& out) {
    using namespace exfat_dirent;
    const uint64_t clusterBytes = uint64_t{v.sectorsPerCluster} * kSectorBytes;
    if (s.entries.bitmap) {
        const uint64_t want = (v.clusters + 7) / 8;
        const uint64_t length = le64(s.entries.bitmap + kDataLength);
        if (length != want)
            out.add("allocationBitmap", std::to_string(want), std::to_string(length),
                    "The format sizes the allocation bitmap at one bit for each of the " +
                        grouped(v.clusters) + " clusters, " + grouped(want) +
                        " bytes; this card's entry gives " + grouped(length) +
                        ", so hosts misjudge which clusters are free.");
        else
            s.runs.push_back({"allocationBitmap", "allocation bitmap",
                              le32(s.entries.bitmap + kFirstCluster),
                              (length + clusterBytes - 1) / clusterBytes, &s.bitmapCluster});
    }
    if (s.entries.upcase) {
        s.upcaseBytes = le64(s.entries.upcase + kDataLength);
        if (s.upcaseBytes == 0 || s.upcaseBytes > kUpcaseMaxBytes)
            out.add("upcaseTable", std::to_string(kUpcaseTableBytes), std::to_string(s.upcaseBytes),
                    "The format writes an up-case table of " + grouped(kUpcaseTableBytes) +
                        " bytes; this card's entry gives " + grouped(s.upcaseBytes) +
                        ", which no up-case table has, so hosts cannot compare file names.");
        else
            s.runs.push_back({"upcaseTable", "up-case table",
                              le32(s.entries.upcase + kFirstCluster),
                              (s.upcaseBytes + clusterBytes - 1) / clusterBytes, &s.upcaseCluster});
    }
}

// The runs whose chains the FAT's first sectors hold: the format's structures lie at the heap's
// start, and a structure that reaches further is no layout the format makes. `lastChained`
// learns the last cluster of those runs.
std::vector<HeapRun> chainedRuns(const std::vector<HeapRun>& runs, const Volume& v, Findings& out,
                                 uint64_t& lastChained) {
    const uint64_t lastCluster = v.clusters + 1;
    const uint64_t entriesRead = uint64_t{fatSectorsRead(v)} * kSectorBytes / 4;
    std::vector<HeapRun> chained;
    lastChained = 2;
    for (const HeapRun& r : runs) {
        const uint64_t last = r.first + r.clusters - 1;
        const std::string clusters = "clusters " + grouped(r.first) + " to " + grouped(last);
        if (r.first < 2 || last > lastCluster) {
            out.add(r.field, "clusters of the heap", clusters,
                    "The " + std::string(r.name) + " lies in " + clusters +
                        ", outside the cluster heap's clusters 2 to " + grouped(lastCluster) +
                        ", so hosts cannot read it.");
        } else if (last >= entriesRead) {
            out.add(r.field, "the heap's first clusters", clusters,
                    "The format puts the " + std::string(r.name) + " in the first clusters of the "
                    "heap; this card's reaches cluster " + grouped(last) + ", past the " +
                        grouped(entriesRead) + " clusters whose chains the check reads, so the "
                        "check cannot vouch for it.");
        } else {
            chained.push_back(r);
            lastChained = std::max(lastChained, last);
        }
    }
    return chained;
}

// FAT entries 0 and 1, and each run's chain; false when the FAT could not be read.
bool checkExFatChains(const Card& card, uint64_t start, const Volume& v,
                      const std::vector<HeapRun>& chained, Findings& out) {
    const uint64_t lastCluster = v.clusters + 1;
    const uint32_t n = fatSectorsRead(v);
    uint8_t head[8];
    put32(head, kExFatMediaEntry);
    put32(head + 4, kExFatEndOfChain);
    const std::string want = hexBytes(head, sizeof head);
    std::vector<uint8_t> fat(size_t{n} * kSectorBytes);
    if (!out.read(card, start + v.reservedSectors, n, fat.data(), "fatHead", want.c_str(), "the FAT's head"))
        return false;
    const auto entry = [&](uint64_t c) { return le32(fat.data() + c * 4); };
    if (std::memcmp(fat.data(), head, sizeof head) != 0)
        out.add("fatHead", want, hexBytes(fat.data(), sizeof head),
                "The FAT starts with " + hexBytes(fat.data(), sizeof head) + kFatHeadWhy);
    for (const HeapRun& r : chained) {
        const uint64_t last = r.first + r.clusters - 1;
        uint64_t c = r.first;
        while (c < last && entry(c) == c + 1) ++c;
        const uint64_t next = entry(last);
        if (c == last && (next == kExFatEndOfChain || (r.mayGrow && next >= 2 && next <= lastCluster && next != last))) {
            if (r.sound) *r.sound = r.first;
            if (r.ends) *r.ends = next == kExFatEndOfChain;
            continue;
        }
        const std::string held = hexBytes(fat.data() + c * 4, 4);
        out.add(r.field, "clusters " + std::to_string(r.first) + " to " + std::to_string(last),
                "FAT entry " + std::to_string(c) + " holds " + held,
                (r.clusters == 1 ? "The format gives the " + std::string(r.name) + " one cluster, " +
                                       grouped(r.first) + ", and ends its chain there"
                                 : "The format chains the " + std::string(r.name) + "'s clusters " +
                                       grouped(r.first) + " to " + grouped(last) +
                                       " one to the next and ends the chain there") +
                    "; on this card FAT entry " + grouped(c) + " holds " + held +
                    ", so hosts read the " + r.name + " from other clusters.");
    }
    return true;
}

// The bitmap's first sectors as read; bit k stands for cluster k + 2.
struct BitmapStart {
    std::vector<uint8_t> bits;
    bool inUse(uint64_t c) const {
        return (bits[static_cast<size_t>((c - 2) / 8)] >> ((c - 2) % 8) & 1) != 0;
    }
};

// On a volume that holds nothing but the format's structures, every other cluster the bitmap's
// first sectors cover is free, as the format leaves it.
void checkBitmapFree(const BitmapStart& b, const Volume& v, const std::vector<HeapRun>& chained,
                     Findings& out) {
    const uint64_t covered = std::min<uint64_t>(v.clusters, uint64_t{b.bits.size()} * 8);
    const auto structure = [&](uint64_t c) {
        return std::any_of(chained.begin(), chained.end(), [c](const HeapRun& r) {
            return c >= r.first && c < r.first + r.clusters;
        });
    };
    uint64_t first = 0, marked = 0;
    for (uint64_t c = 2; c < covered + 2; ++c) {
        if (!b.inUse(c) || structure(c)) continue;
        if (first == 0) first = c;
        ++marked;
    }
    if (marked == 0) return;
    out.add("allocationBitmap", "other clusters free",
            "cluster " + std::to_string(first) + " in use",
            "The format marks in use only the clusters of the allocation bitmap, the up-case "
            "table and the root directory; this card's bitmap also marks cluster " +
                grouped(first) + " in use" +
                (marked == 1 ? std::string()
                             : ", " + grouped(marked) + " clusters of the first " +
                                   grouped(covered) + " in all,") +
                " though the root directory holds no file or folder, so hosts count that space "
                "as taken and it is lost to files.");
}

// The bitmap marks the structures' clusters in use and, where the volume holds nothing else,
// no other cluster of its first sectors.
void checkBitmapMarks(const Card& card, uint64_t start, const Volume& v, const ExFatRuns& s,
                      const std::vector<HeapRun>& chained, uint64_t lastChained, Findings& out) {
    const uint32_t bitmapSectors = static_cast<uint32_t>((lastChained - 2) / 8 / kSectorBytes + 1);
    BitmapStart b{std::vector<uint8_t>(size_t{bitmapSectors} * kSectorBytes)};
    if (s.bitmapCluster == 0 ||
        !out.read(card, clusterSector(start, v, s.bitmapCluster), bitmapSectors, b.bits.data(),
                  "allocationBitmap", "the structures' clusters in use", "the allocation bitmap"))
        return;
    for (const HeapRun& r : chained) {
        uint64_t c = r.first;
        while (c < r.first + r.clusters && b.inUse(c)) ++c;
        if (c < r.first + r.clusters) {
            out.add("allocationBitmap", "clusters in use", "cluster " + std::to_string(c) + " free",
                    "The format marks the clusters of the allocation bitmap, the up-case table "
                    "and the root directory in use; this card's bitmap gives cluster " +
                        grouped(c) + " of the " + r.name +
                        " as free, so hosts may write files "
                        "over it.");
            break;
        }
    }
    // A root directory that has grown, or holds more than its first sector shows, may own
    // clusters of files the check does not follow.
    if (s.entries.nothingElse && s.rootEnds) checkBitmapFree(b, v, chained, out);
}

// The up-case table against the checksum its entry records.
void checkUpcaseChecksum(const Card& card, uint64_t start, const Volume& v, const ExFatRuns& s,
                         Findings& out) {
    const auto upcaseSectors =
        static_cast<uint32_t>((s.upcaseBytes + kSectorBytes - 1) / kSectorBytes);
    std::vector<uint8_t> table(size_t{upcaseSectors} * kSectorBytes);
    if (!out.read(card, clusterSector(start, v, s.upcaseCluster), upcaseSectors, table.data(),
                  "upcaseTable", "the checksum its entry records", "the up-case table"))
        return;
    const uint32_t sum = exFatTableChecksum(0, table.data(), static_cast<size_t>(s.upcaseBytes));
    const uint32_t recorded = le32(s.entries.upcase + exfat_dirent::kTableChecksum);
    if (sum != recorded) {
        char text[64];
        std::snprintf(text, sizeof text, "checksum %08X where the entry records %08X", sum,
                      recorded);
        out.add("upcaseTable", "checksum as recorded", text,
                std::string("The format records the up-case table's checksum in its directory "
                            "entry; on this card the table has ") +
                    text + ", so hosts that verify it refuse to mount the volume.");
    }
}

// exFAT: the root directory's label, allocation-bitmap and up-case-table entries, one bitmap
// entry for each FAT; FAT entries 0 and 1 and the chains of those three structures; their
// clusters marked in the bitmap, and on a volume holding nothing else no other cluster; the
// up-case table's checksum.
void checkExFatStructures(const Card& card, uint64_t start, const uint8_t* boot, const Volume& v,
                          Found& f) {
    Findings& out = f.structures;
    ExFatRuns s;
    findExFatRoot(card, start, boot, v, f, s);
    addExFatRuns(v, s, out);
    uint64_t lastChained = 2;
    const std::vector<HeapRun> chained = chainedRuns(s.runs, v, out, lastChained);
    if (!checkExFatChains(card, start, v, chained, out)) return;
    checkBitmapMarks(card, start, v, s, chained, lastChained, out);
    if (s.upcaseCluster != 0) checkUpcaseChecksum(card, start, v, s, out);
}

// The partition the table describes: the first entry that gives a type and sectors; the other
// entries in use are counted. False when no entry gives one.
bool choosePartition(const PartitionTable& table, Partition& t) {
    t.present = true;
    bool chosen = false;
    for (unsigned i = 0; i < 4; ++i) {
        const PartitionEntry& e = table.entries[i];
        if (e.type != 0 && e.sectorCount != 0 && !chosen) {
            chosen = true;
            t.entryIndex = i;
            std::memcpy(t.entry, e.raw, mbr::kEntryBytes);
            t.first = e.firstSector;
            t.count = e.sectorCount;
        } else if (e.used) {
            ++t.otherEntries;
        }
    }
    return chosen;
}

// The boot sector that sector 0's partition table points to, read into `boot` and parsed into
// `v`; false with `f.noVolume` set when there is none. `sector0Why` says why sector 0 is no
// sound boot sector, when it looks like one.
bool findPartitionBootSector(const CardCapacity& capacity, const Card& card, const uint8_t* sector0,
                             const std::string& sector0Why, Found& f, Volume& v, uint8_t* boot) {
    const auto table = readPartitionTable({sector0, kSectorBytes});
    if (!table || !table->signature) {
        f.noVolume = "sector 0 holds neither a partition table nor a boot sector";
        return false;
    }
    Partition& t = f.table;
    if (!choosePartition(*table, t)) {
        f.noVolume = sector0Why.empty() ? "its partition table holds no partition" : sector0Why;
        return false;
    }
    if (t.first == 0) {
        f.noVolume = "its partition entry starts at sector 0, over the partition table itself";
        return false;
    }
    if (t.first >= capacity.userSectors) {
        f.noVolume = "its partition starts at sector " + grouped(t.first) +
                     ", past the card's last sector (" + grouped(capacity.userSectors - 1) + ")";
        return false;
    }
    f.boot = card.read(t.first, 1, boot);
    if (!f.boot.read()) {
        f.noVolume = "could not read sector " + grouped(t.first);
        return false;
    }
    std::string why;
    if (!parseBootSector(boot, v, why)) {
        f.noVolume = why.empty() ? "its partition at sector " + grouped(t.first) +
                                       " holds no FAT or exFAT boot sector"
                                 : "at sector " + grouped(t.first) + ", " + why;
        return false;
    }
    return true;
}

Found inspect(const CardCapacity& capacity, const Card& card, const uint8_t* sector0,
              const CodePage& oem) {
    Found f;
    f.cardSectors = capacity.userSectors;
    std::string why;
    Volume v;
    uint8_t boot[kSectorBytes];
    // A file system straight at sector 0, without a partition table.
    if (parseBootSector(sector0, v, why)) {
        f.table.count = capacity.userSectors;
        std::memcpy(boot, sector0, kSectorBytes);
    } else {
        // A boot sector that is damaged also ends in 55 AA; its partition table is boot code.
        const std::string sector0Why = why.empty() ? "" : "at sector 0, " + why;
        if (!findPartitionBootSector(capacity, card, sector0, sector0Why, f, v, boot)) return f;
    }
    f.volumeKnown = true;
    f.volume = v;
    const uint64_t start = f.table.first;
    if (v.type == Fat32) readFat32Area(card, start, boot, v, f.area);
    if (v.type == ExFat) {
        readExFatArea(card, start, f.area);
        checkExFatStructures(card, start, boot, v, f);
    } else {
        checkFatStructures(card, start, boot, v, oem, f);
    }
    return f;
}

LayoutFigures figuresFound(const Found& f) {
    LayoutFigures out;
    if (f.table.present || f.volumeKnown) out.partitionStart = f.table.first;
    if (f.table.present) out.userSectors = f.table.first + f.table.count;
    if (!f.volumeKnown) return out;
    const Volume& v = f.volume;
    if (!f.table.present) out.userSectors = v.volumeSectors;
    out.fsType = v.type;
    out.sectorsPerCluster = v.sectorsPerCluster;
    if (v.type != ExFat) {
        out.heads = v.heads;
        out.sectorsPerTrack = v.sectorsPerTrack;
    } else if (f.area.flashRecord && f.area.eraseBlockBytes % kSectorBytes == 0) {
        out.boundaryUnit = f.area.eraseBlockBytes / kSectorBytes;
    }
    out.reservedSectors = v.reservedSectors;
    out.fatSectors = v.fatSectors;
    out.systemSectors = v.systemSectors;
    out.maxCluster = v.clusters + 1;
    return out;
}

// ---- the card against one of the rules' layouts ----------------------------------------------

// The partition entry's own fields: where it sits in the table, its boot indicator, type byte
// and first sector.
void compareEntry(const Partition& t, const FormatPlan& plan, Findings& out) {
    const FormatParameters& e = plan.params;
    if (t.entryIndex != 0)
        out.add("partitionEntry", "1", std::to_string(t.entryIndex + 1),
                "The rules describe the partition in the first entry of the partition table; on "
                "this card it is entry " +
                    std::to_string(t.entryIndex + 1) +
                    ", which hosts that read only the first entry do not find.");
    if (t.otherEntries != 0)
        out.add("otherEntries", "0", std::to_string(t.otherEntries),
                "The rules leave the other three partition entries empty; this card has " +
                    std::to_string(t.otherEntries) +
                    " more in use, which hosts that expect a "
                    "single partition may ignore or refuse.");
    if (t.entry[mbr::kBootIndicator] != 0)
        out.add("bootIndicator", hexByte(0), hexByte(t.entry[mbr::kBootIndicator]),
                "The rules write boot indicator 0x00; this card's partition is marked " +
                    hexByte(t.entry[mbr::kBootIndicator]) +
                    " (bootable), which does not matter for storing files but is not what the "
                    "rules write.");
    const uint8_t type = partitionTypeByte(e, plan.userSectors);
    if (t.entry[mbr::kPartitionType] != type)
        out.add("partitionType", hexByte(type), hexByte(t.entry[mbr::kPartitionType]),
                "The rules mark the partition with type " + hexByte(type) + " (" +
                    fsTypeName(e.fsType) + "); this card's partition has type " +
                    hexByte(t.entry[mbr::kPartitionType]) +
                    ", so hosts that go by the type byte may not recognise its file system.");
    if (t.first != e.partitionStart)
        out.add("partitionStart", std::to_string(e.partitionStart), std::to_string(t.first),
                "The rules start the partition at sector " + grouped(e.partitionStart) +
                    "; on this card it starts at sector " + grouped(t.first) +
                    ", so the file system's areas lie elsewhere than the rules place them.");
}

// The partition's end: a start that differs shows in compareEntry, and moves the size with it.
void comparePartitionEnd(const Found& f, const FormatPlan& plan, Findings& out) {
    const Partition& t = f.table;
    const uint64_t end = t.first + t.count;
    if (end == plan.userSectors) return;
    std::string consequence;
    if (end > f.cardSectors)
        consequence = "it runs " + sectorsText(end - f.cardSectors) +
                      " past the end of the card, and writes there fail";
    else if (end < plan.userSectors)
        consequence = sectorsText(plan.userSectors - end) + " at the card's end stay unused";
    else
        consequence = "it takes in " + sectorsText(end - plan.userSectors) +
                      " at the card's end that the rules leave outside it";
    const uint32_t partitionSectors = plan.userSectors - plan.params.partitionStart;
    out.add("partitionSectors", std::to_string(partitionSectors), std::to_string(t.count),
            "The rules end the partition at sector " + grouped(plan.userSectors - 1) +
                "; on this card it ends at sector " + grouped(end - 1) + ", so " + consequence +
                ".");
}

// One of the entry's CHS fields, held against the card's own start or end under the rules'
// geometry, so a moved partition shows once, in compareEntry, and not again here.
void compareChs(const Partition& t, const FormatParameters& e, const char* field, size_t offset,
                uint64_t sector, const char* what, Findings& out) {
    uint8_t want[3];
    putChsAddress(want, static_cast<uint32_t>(sector < UINT32_MAX ? sector : UINT32_MAX), e);
    if (std::memcmp(want, t.entry + offset, 3) != 0)
        out.add(field, chsText(want), chsText(t.entry + offset),
                std::string("The rules give the partition's ") + what + " sector " +
                    grouped(sector) + " the CHS address " + chsText(want) + " (" +
                    std::to_string(e.heads) + " heads, " + std::to_string(e.sectorsPerTrack) +
                    " sectors per track); this card has " + chsText(t.entry + offset) +
                    ", so hosts that still address the card by cylinder, head and sector "
                    "look for the partition elsewhere.");
}

void comparePartition(const Found& f, const FormatPlan& plan, Findings& out) {
    const Partition& t = f.table;
    if (!t.present) {
        // Without a volume either, the file-system deviation says what sector 0 holds.
        if (f.volumeKnown)
            out.add(
                "partitionTable",
                "partition at sector " + std::to_string(plan.params.partitionStart),
                "file system at sector 0",
                "The rules put a partition table in sector 0 and start the partition at sector " +
                    grouped(plan.params.partitionStart) +
                    "; this card has no partition table and its file system starts at sector 0, "
                    "so cameras and other hosts that look for a partition may not accept it.");
        return;
    }
    compareEntry(t, plan, out);
    comparePartitionEnd(f, plan, out);
    compareChs(t, plan.params, "startChs", mbr::kStartChs, t.first, "first", out);
    compareChs(t, plan.params, "endChs", mbr::kEndChs, t.first + t.count - 1, "last", out);
}

// The volume against its partition: its size, the partition offset it records, its signature.
void compareVolumeExtent(const Found& f, Findings& out) {
    const Partition& t = f.table;
    const Volume& v = f.volume;
    if (v.volumeSectors != t.count) {
        const std::string where = t.present ? "its partition holds" : "the card holds";
        out.add("volumeSectors", std::to_string(t.count), std::to_string(v.volumeSectors),
                "The file system should fill its partition; it covers " +
                    sectorsText(v.volumeSectors) + " where " + where + " " + grouped(t.count) +
                    (v.volumeSectors > t.count
                         ? ", so writes near its end land outside the partition."
                         : ", so " + sectorsText(t.count - v.volumeSectors) + " stay unused."));
    }
    if (v.partitionOffset != t.first)
        out.add(
            "hiddenSectors", std::to_string(t.first), std::to_string(v.partitionOffset),
            "The rules record the partition's first sector in the boot sector; this card's boot "
            "sector gives " +
                grouped(v.partitionOffset) + " where the partition starts at " + grouped(t.first) +
                (v.type == ExFat && v.partitionOffset == 0
                     ? " (0: not known), so hosts that place the volume by that field cannot."
                     : ", which misleads hosts that place the volume by that field."));
    if (!v.signature)
        out.add("bootSignature", "55 AA", "missing",
                "The rules end the boot sector with the signature 55 AA; this card's boot sector "
                "lacks it, so many hosts do not mount the volume.");
}

// How many FATs the rules give a volume of this type.
uint32_t rulesFats(const Volume& v) { return v.type == ExFat ? 1 : 2; }

// The file system's type and the figures the rules fix for it: cluster size, number of FATs,
// root directory entries.
void compareFileSystem(const Volume& v, const FormatParameters& e, Findings& out) {
    const std::string typeName = fsTypeName(e.fsType);
    const std::string foundName = fsTypeName(v.type);
    if (v.type != e.fsType)
        out.add("fsType", typeName, foundName,
                "The rules format a card of this capacity as " + typeName + "; this card holds " +
                    foundName +
                    ", so hosts made for cards of this capacity may refuse it, and its "
                    "layout cannot be the rules' layout.");
    if (v.sectorsPerCluster != e.sectorsPerCluster)
        out.add(
            "sectorsPerCluster", std::to_string(e.sectorsPerCluster),
            std::to_string(v.sectorsPerCluster),
            "The rules use " + sizeText(e.sectorsPerCluster) +
                " clusters on a card of this "
                "capacity; this card has " +
                sizeText(v.sectorsPerCluster) + " clusters, so " +
                (v.sectorsPerCluster < e.sectorsPerCluster
                     ? "files are written in smaller pieces than the card handles well, which is "
                       "slower and wears the flash faster."
                     : "small files take more space than the rules' clusters give them."));
    const uint32_t fats = rulesFats(v);
    if (v.numberOfFats != fats)
        out.add("numberOfFats", std::to_string(fats), std::to_string(v.numberOfFats),
                "The rules give " + foundName + " " + std::to_string(fats) +
                    (fats == 1 ? " FAT" : " FATs") + "; this card has " +
                    std::to_string(v.numberOfFats) + ", so " +
                    (v.numberOfFats < fats ? "a damaged FAT has no copy to be repaired from."
                                           : "the FATs take more room and not every host "
                                             "supports the extra copy."));
    if ((v.type == Fat12 || v.type == Fat16) && v.rootEntries != kFatRootEntries)
        out.add("rootEntries", std::to_string(kFatRootEntries), std::to_string(v.rootEntries),
                "The rules give the root directory 512 entries; this card's has " +
                    grouped(v.rootEntries) + ", so " +
                    (v.rootEntries < kFatRootEntries ? "fewer files fit in the card's top folder."
                                                     : "it takes room from the data area."));
}

// The areas of a volume of the rules' type: where its FAT starts, the FAT's size and where the
// data area starts, this last only when nothing above explains it.
void compareAreas(const Volume& v, const FormatParameters& e, Findings& out) {
    const bool exfat = v.type == ExFat;
    const std::string fatStart = exfat ? "the FAT at sector " : "the first FAT at sector ";
    bool explained = v.numberOfFats != rulesFats(v) || (!exfat && v.rootEntries != kFatRootEntries);
    if (v.reservedSectors != e.reservedSectors) {
        explained = true;
        out.add(
            "reservedSectors", std::to_string(e.reservedSectors), std::to_string(v.reservedSectors),
            "The rules start " + fatStart + grouped(e.reservedSectors) +
                " of the partition; this card starts it at sector " + grouped(v.reservedSectors) +
                ", so the FAT does not sit where the rules align it.");
    }
    if (v.fatSectors != e.fatSectors) {
        explained = true;
        out.add("fatSectors", std::to_string(e.fatSectors), std::to_string(v.fatSectors),
                "The rules give " + std::string(exfat ? "the FAT " : "each FAT ") +
                    sectorsText(e.fatSectors) + "; this card's " + (exfat ? "has " : "have ") +
                    grouped(v.fatSectors) +
                    ", so the data area and cluster count differ from the "
                    "rules' layout.");
    }
    if (v.systemSectors != e.systemSectors && !explained) {
        const bool later = v.systemSectors > e.systemSectors;
        out.add("systemSectors", std::to_string(e.systemSectors), std::to_string(v.systemSectors),
                "The rules start the data area " + sectorsText(e.systemSectors) +
                    " into the partition; on this card it starts " + grouped(v.systemSectors) +
                    " sectors in, " +
                    sectorsText(later ? v.systemSectors - e.systemSectors
                                      : e.systemSectors - v.systemSectors) +
                    (later ? " later" : " earlier") + ", so the card has " +
                    (later ? "fewer" : "more") + " clusters than the rules' layout gives it.");
    }
}

// The one that matters most: clusters that start on an erase-block edge; and the FAT boot
// sector's geometry.
void compareAlignment(const Found& f, const FormatParameters& e, Findings& out) {
    const Volume& v = f.volume;
    const uint64_t dataStart = f.table.first + v.systemSectors;
    const uint64_t offset = dataStart % e.boundaryUnit;
    if (offset != 0)
        out.add(
            "dataAlignment", "0", std::to_string(offset),
            "The rules start the data area on " + withArticle(sizeText(e.boundaryUnit)) +
                " erase-block edge; on this card it starts " + sectorsText(offset) +
                " after one, so " +
                (offset % v.sectorsPerCluster != 0
                     ? "clusters straddle erase-block edges and most cluster writes touch two "
                       "erase blocks."
                     : "every erase block's worth of clusters straddles two erase blocks, and the "
                       "card copies more on each write."));
    if (v.type != ExFat && (v.heads != e.heads || v.sectorsPerTrack != e.sectorsPerTrack))
        out.add("geometry", std::to_string(e.heads) + "/" + std::to_string(e.sectorsPerTrack),
                std::to_string(v.heads) + "/" + std::to_string(v.sectorsPerTrack),
                "The rules give the boot sector " + std::to_string(e.heads) + " heads and " +
                    std::to_string(e.sectorsPerTrack) + " sectors per track; this card's gives " +
                    std::to_string(v.heads) + " and " + std::to_string(v.sectorsPerTrack) +
                    ", which matters only to hosts that address the card by cylinder, head and "
                    "sector.");
}

// FAT32: the backup boot sector at sector 6, a copy of the boot sector; the FSInfo sector at
// sector 1 and its copy, both sound.
void compareFat32Area(const Volume& v, const BootArea& a, Findings& out) {
    if (v.backupBootSector != 6)
        out.add(
            "backupBootSector", "6", std::to_string(v.backupBootSector),
            "The rules keep a copy of the boot sector at sector 6 of the partition; this card " +
                (v.backupBootSector == 0
                     ? std::string("keeps none, so a damaged boot sector cannot be repaired.")
                     : "keeps it at sector " + grouped(v.backupBootSector) +
                           ", so tools that repair from sector 6 find no copy there."));
    else if (a.backup.got == Got::Failed)
        out.list.push_back(unreadable("backupBootSector", "copy of the boot sector",
                                      a.backup.sector, "the copy of the boot sector"));
    else if (a.backup.got != Got::Outside && !a.backupMatches)
        out.add(
            "backupBootSector", "copy of the boot sector", "differs",
            "The rules keep a copy of the boot sector at sector 6 of the partition; this card's "
            "copy differs from the boot sector, so a repair from it restores other values.");
    std::string fsInfoFound, what;
    if (v.fsInfoSector != 1) {
        fsInfoFound = std::to_string(v.fsInfoSector);
        what = "the boot sector points to sector " + grouped(v.fsInfoSector);
    } else if (a.fsInfo.got == Got::Failed || a.backupFsInfo.got == Got::Failed) {
        const Reach& r = a.fsInfo.got == Got::Failed ? a.fsInfo : a.backupFsInfo;
        out.list.push_back(
            unreadable("fsInfo", "1", r.sector,
                       &r == &a.fsInfo ? "the FSInfo sector" : "the FSInfo sector's copy"));
    } else if ((a.fsInfo.got != Got::Outside && !a.fsInfoSound) ||
               (a.backupFsInfo.got != Got::Outside && !a.backupFsInfoSound)) {
        fsInfoFound = a.fsInfoSound ? "copy damaged" : "damaged";
        what = a.fsInfoSound ? "the copy lacks its signatures"
                             : "the FSInfo sector lacks its signatures";
    }
    if (!what.empty())
        out.add("fsInfo", "1", fsInfoFound,
                "The rules keep an FSInfo sector at sector 1 of the partition and its copy at "
                "sector 7; on this card " +
                    what +
                    ", so hosts ignore it and count the free space by reading the whole FAT.");
}

// FAT32: the counts of each sound FSInfo copy (hosts ignore the others), which the format leaves
// unknown for hosts to fill in: a free count of at most the cluster count, a next-free hint that
// is a cluster of the data area.
void compareFsInfoCounts(const Volume& v, const BootArea& a, Findings& out) {
    const uint64_t lastCluster = v.clusters + 1;
    const struct {
        bool sound;
        const FsInfo& counts;
        const char* name;
    } copies[] = {{a.fsInfoSound, a.fsInfoCounts, "the FSInfo sector"},
                  {a.backupFsInfoSound, a.backupFsInfoCounts, "the FSInfo sector's copy"}};
    bool freeShown = false, nextShown = false;
    for (const auto& c : copies) {
        const uint32_t count = c.counts.freeCount, next = c.counts.nextFree;
        if (c.sound && !freeShown && count != kFsInfoUnknown && count > v.clusters) {
            freeShown = true;
            out.add("fsInfoFreeCount", "0xFFFFFFFF or at most " + std::to_string(v.clusters),
                    hex32(count),
                    "The format leaves the FSInfo sector's free-cluster count unknown "
                    "(0xFFFFFFFF) for hosts to count, and no count exceeds the volume's " +
                        grouped(v.clusters) + " clusters; on this card " + c.name + " gives " +
                        grouped(count) +
                        " free clusters, so hosts that trust it show free space the card does "
                        "not have and start writes that fail.");
        }
        if (c.sound && !nextShown && next != kFsInfoUnknown && (next < 2 || next > lastCluster)) {
            nextShown = true;
            out.add(
                "fsInfoNextFree", "0xFFFFFFFF or 2 to " + std::to_string(lastCluster), hex32(next),
                "The format leaves the FSInfo sector's next-free hint unknown (0xFFFFFFFF), "
                "and a hint names a cluster of the data area (2 to " +
                    grouped(lastCluster) + "); on this card " + c.name + " gives " + grouped(next) +
                    ", outside the data area, so hosts that trust it look for free clusters "
                    "at FAT entries that stand for none.");
        }
    }
}

// exFAT: the boot region and its checksum, the backup region a copy of it, and the
// flash-parameters record giving the erase block.
void compareExFatArea(const BootArea& a, const FormatParameters& e, Findings& out) {
    if (a.main.got == Got::Failed)
        out.list.push_back(
            unreadable("bootRegion", "12 sectors", a.main.sector, "the boot region"));
    else if (!a.main.read())
        out.add(
            "bootRegion", "12 sectors", "unreadable",
            "The rules write a boot region of 12 sectors at the partition's start; on this card "
            "it cannot be read whole, so hosts cannot mount the volume.");
    else if (!a.checksumMatches)
        out.add("bootChecksum", "match", "mismatch",
                "The rules end the boot region with the checksum of its sectors; on this card the "
                "checksum does not match, so hosts that verify it refuse to mount the card.");
    if (!a.main.read()) return;
    if (a.backupRegion.got == Got::Failed)
        out.list.push_back(unreadable("backupBootRegion", "same as the main region",
                                      a.backupRegion.sector, "the backup boot region"));
    else if (!a.backupRegion.read() || a.backupDiffers >= 0)
        out.add("backupBootRegion", "same as the main region",
                a.backupRegion.read()
                    ? "sector " + std::to_string(kBootRegionSectors + a.backupDiffers) + " differs"
                    : "unreadable",
                a.backupRegion.read()
                    ? "The rules write the backup boot region (sectors 12 to 23) as a copy of the "
                      "main one; on this card sector " +
                          std::to_string(kBootRegionSectors + a.backupDiffers) +
                          " differs, so a repair from the backup restores other values."
                    : std::string("The rules write a backup boot region in sectors 12 to 23; on "
                                  "this card it cannot be read, so a damaged boot region cannot be "
                                  "repaired."));
    const uint64_t eraseBlock = uint64_t{e.boundaryUnit} * kSectorBytes;
    if (!a.flashRecord || a.eraseBlockBytes != eraseBlock)
        out.add(
            "flashParameters", std::to_string(eraseBlock),
            a.flashRecord ? std::to_string(a.eraseBlockBytes) : "none",
            "The rules record the card's " + sizeText(e.boundaryUnit) +
                " erase block in a flash-parameters record; " +
                (a.flashRecord ? "this card's record gives " + grouped(a.eraseBlockBytes) +
                                     " bytes, so hosts that use it align writes to the wrong size."
                               : std::string("this card has none, so hosts cannot learn the "
                                             "erase-block size from the file system.")));
}

// The deviations of the card from one of the rules' layouts.
std::vector<Deviation> compare(const Found& f, const FormatPlan& plan) {
    Findings out;
    comparePartition(f, plan, out);
    const FormatParameters& e = plan.params;
    const std::string typeName = fsTypeName(e.fsType);
    if (!f.volumeKnown && f.boot.got == Got::Failed) {
        out.list.push_back(
            unreadable("fsType", typeName, f.boot.sector, "the partition's boot sector"));
        return std::move(out.list);
    }
    if (!f.volumeKnown) {
        out.add("fsType", typeName, "none",
                "The rules format a card of this capacity as " + typeName + "; " + f.noVolume +
                    ", so hosts see no file system on it.");
        return std::move(out.list);
    }
    const Volume& v = f.volume;
    compareVolumeExtent(f, out);
    compareFileSystem(v, e, out);
    if (v.type == e.fsType) compareAreas(v, e, out);
    compareAlignment(f, e, out);
    if (v.type == Fat32) {
        compareFat32Area(v, f.area, out);
        compareFsInfoCounts(v, f.area, out);
    }
    if (v.type == ExFat) compareExFatArea(f.area, e, out);
    out.list.insert(out.list.end(), f.structures.list.begin(), f.structures.list.end());
    return std::move(out.list);
}

bool samePlan(const FormatPlan& a, const FormatPlan& b) {
    const FormatParameters& p = a.params;
    const FormatParameters& q = b.params;
    return a.userSectors == b.userSectors && p.fsType == q.fsType &&
           p.sectorsPerCluster == q.sectorsPerCluster && p.boundaryUnit == q.boundaryUnit &&
           p.partitionStart == q.partitionStart && p.reservedSectors == q.reservedSectors &&
           p.fatSectors == q.fatSectors && p.systemSectors == q.systemSectors &&
           p.heads == q.heads && p.sectorsPerTrack == q.sectorsPerTrack;
}

} // namespace

const char* fsTypeName(uint32_t fsType) {
    switch (fsType) {
    case Fat12: return "FAT12";
    case Fat16: return "FAT16";
    case Fat32: return "FAT32";
    case ExFat: return "exFAT";
    default: return "?";
    }
}

LayoutFigures figuresOf(const FormatPlan& plan) {
    LayoutFigures out;
    const FormatParameters& p = plan.params;
    if (plan.layoutDone) out.fsType = p.fsType;
    if (plan.capacityKnown) {
        out.userSectors = plan.userSectors;
        out.cardTotalSectors = p.cardTotalSectors;
        out.heads = p.heads;
        out.sectorsPerTrack = p.sectorsPerTrack;
    }
    if (plan.tablesChosen) {
        out.sectorsPerCluster = p.sectorsPerCluster;
        out.boundaryUnit = p.boundaryUnit;
    }
    if (plan.layoutDone) {
        out.partitionStart = p.partitionStart;
        out.reservedSectors = p.reservedSectors;
        out.fatSectors = p.fatSectors;
        out.systemSectors = p.systemSectors;
        out.maxCluster = p.maxCluster;
    }
    return out;
}

CardCheck checkCard(const CardCapacity& capacity, const SectorReader& read, const CodePage& oem) {
    CardCheck result;
    const Card card{capacity.userSectors, read};
    uint8_t sector0[kSectorBytes];
    if (!card.read(0, 1, sector0).read()) {
        result.problem = "could not read sector 0";
        return result;
    }
    const Found found = inspect(capacity, card, sector0, oem);
    result.found = figuresFound(found);
    result.label = found.label;
    if (found.volumeKnown) result.serial = found.volume.serial;

    FormatPlan plain, adjusted;
    const bool plainDone = planFormat(capacity, u"", false, &plain) == 0;
    const bool adjustedDone = planFormat(capacity, u"", true, &adjusted) == 0;
    if (plainDone || adjustedDone) {
        result.planKnown = true;
        std::vector<Deviation> off, on;
        if (plainDone) off = compare(found, plain);
        if (adjustedDone) on = compare(found, adjusted);
        // The card follows the layout it differs from least; a tie goes to the default.
        const bool useAdjusted = !plainDone || (adjustedDone && on.size() < off.size());
        result.plan = useAdjusted ? adjusted : plain;
        result.deviations = useAdjusted ? std::move(on) : std::move(off);
        result.sizeAdjustment = plainDone && adjustedDone && samePlan(plain, adjusted)
                                    ? SizeAdjustmentMatch::NoDifference
                                : useAdjusted ? SizeAdjustmentMatch::On
                                              : SizeAdjustmentMatch::Off;
    }

    if (!found.volumeKnown) {
        result.verdict = found.boot.got == Got::Failed ? CheckVerdict::Unreadable
                                                       : CheckVerdict::NoFileSystem;
        result.problem = found.noVolume;
    } else if (!result.planKnown) {
        result.verdict = CheckVerdict::NoLayout;
        const uint32_t user = capacity.userSectors;
        result.problem = user >= kRefusedBandFirst && user <= kRefusedBandLast
                             ? "the layout rules do not format a user area of " + grouped(user) +
                                   " sectors (the band from " + grouped(kRefusedBandFirst) +
                                   " to " + grouped(kRefusedBandLast) + ")"
                             : "the layout rules give no layout for a user area of " +
                                   grouped(user) + " sectors and a protected area of " +
                                   grouped(capacity.protectedSectors);
    } else {
        result.verdict = result.deviations.empty() ? CheckVerdict::Conforms : CheckVerdict::Deviates;
    }
    return result;
}

CardCheck checkCard(DriverBinding& driver) {
    CardCapacity capacity;
    if (const uint32_t rc = readCardCapacity(driver, capacity)) {
        CardCheck result;
        char code[16];
        std::snprintf(code, sizeof code, "0x%X", rc);
        result.problem = std::string("the card did not report its capacity (driver code ") + code + ")";
        return result;
    }
    if (driver.api.DDReadPT == nullptr) {
        CardCheck result;
        result.problem = "the driver library cannot read the card";
        return result;
    }
    const SectorReader read = [&driver](uint32_t first, uint32_t count, uint8_t* out) {
        for (uint32_t done = 0; done < count;) {
            const uint32_t n = count - done < SDHOST_MAX_TRANSFER ? count - done : SDHOST_MAX_TRANSFER;
            if (driver.api.DDReadPT(out + size_t{done} * kSectorBytes, n, first + done,
                                    driver.driverHandle) != 0)
                return false;
            done += n;
        }
        return true;
    };
    return checkCard(capacity, read, driver.os ? driver.os->oemCodePage() : cp437());
}

} // namespace brc
