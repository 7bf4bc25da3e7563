// The check's parts share these: what a card holds as read (partition, boot sector figures,
// boot area, findings) and the text helpers of its sentences. Internal to check/.
#pragma once

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <set>

#include "check/card_check.h"
#include "check/problem_ids.h"
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

namespace brc::check_parts {

constexpr uint32_t kExFatRegions = 2 * kBootRegionSectors;

// Of each FAT the check reads this many sectors from its start: the format's heads and chains
// lie there, and a format cut short leaves the copies different there.
constexpr uint32_t kFatSectorsRead = 64;

// Past the FAT sectors read, a FAT32 root directory's chain is followed through at most this
// many more, one at a time.
constexpr uint32_t kChainSectorsRead = 64;

// A FAT directory holds at most 65,536 entries of 32 bytes, an exFAT one 256 MiB; no host grows
// one further.
constexpr uint64_t kFatDirectoryMaxBytes = 65536 * 32;
constexpr uint64_t kExFatDirectoryMaxBytes = uint64_t{256} * 1024 * 1024;

// Of the exFAT allocation bitmap the check reads at most this many sectors from its start.
constexpr uint32_t kBitmapSectorsRead = 64;

// FSInfo's counts when not known.
constexpr uint32_t kFsInfoUnknown = 0xFFFFFFFFu;

// The FAT32 and exFAT entries of a bad cluster.
constexpr uint32_t kFat32Bad = 0x0FFFFFF7u;
constexpr uint32_t kExFatBad = 0xFFFFFFF7u;

// The extended boot signature the format writes: the serial number, label and type follow.
constexpr uint8_t kFatExtendedBootSignature = 0x29;

// The exFAT revision the format writes, 1.00.
constexpr uint32_t kExFatRevision = 0x0100;

// The media bytes hosts take in a FAT boot sector: F0h, and F8h to FFh.
constexpr bool isMediaByte(uint8_t media) { return media == 0xF0 || media >= 0xF8; }

// An up-case table maps at most every UTF-16 unit.
constexpr uint64_t kUpcaseMaxBytes = 65536 * 2;

inline std::string hexByte(uint32_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", value & 0xFF);
    return text;
}

// "0x0FFFFFF8".
inline std::string hex32(uint32_t value) {
    char text[12];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

// "F8 FF FF 0F".
inline std::string hexBytes(const uint8_t* p, size_t n) {
    std::string out;
    for (size_t i = 0; i < n; ++i) out += hexByte(p[i]).substr(2) + (i + 1 < n ? " " : "");
    return out;
}

inline std::string chsText(const uint8_t* p) {
    char text[16];
    std::snprintf(text, sizeof text, "%02X %02X %02X", p[0], p[1], p[2]);
    return text;
}

// "4 MiB", "32 KiB" or "1,536 bytes" for a number of sectors.
inline std::string sizeText(uint64_t sectors) {
    const uint64_t bytes = sectors * kSectorBytes;
    if (bytes != 0 && bytes % (1024 * 1024) == 0) return grouped(bytes / (1024 * 1024)) + " MiB";
    if (bytes != 0 && bytes % 1024 == 0) return grouped(bytes / 1024) + " KiB";
    return grouped(bytes) + " bytes";
}

// "a 4 MiB", "an 8 KiB".
inline std::string withArticle(const std::string& text) {
    const bool an = text[0] == '8' || text.rfind("11", 0) == 0 || text.rfind("18", 0) == 0;
    return (an ? "an " : "a ") + text;
}

inline std::string sectorsText(uint64_t sectors) {
    return grouped(sectors) + (sectors == 1 ? " sector" : " sectors");
}

// Where the file system starts: the partition table's entry, or sector 0 without one.
struct Partition {
    bool present = false;
    unsigned entryIndex = 0; // which of the four entries describes the partition
    uint8_t entry[mbr::kEntryBytes] = {};
    uint32_t first = 0;
    uint64_t count = 0; // without a table: the card's user area
    unsigned otherEntries = 0;
};

// The boot sector's figures, each range-checked by the check's reader of the volume model.
using Volume = BootVolume;

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
inline Deviation unreadable(const char* field, std::string expected, uint64_t sector,
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
    int backupDiffers = -1; // first sector of the backup region that differs, or -1
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
    std::string label;    // UTF-8; empty when the card holds none
    std::string noVolume; // why no volume was recognised
    Reach boot;           // the boot sector's read, when a partition table points to it
};

const char kFatHeadWhy[] =
    "; the format starts each FAT with the media byte F8 and end-of-chain markers in entries 0 "
    "and 1, so this FAT was not written as the format writes it, and hosts that trust it may "
    "lose what is written to the card.";

// Of each FAT the check reads at most kFatSectorsRead sectors.
inline uint32_t fatSectorsRead(const Volume& v) { return std::min(v.fatSectors, kFatSectorsRead); }

// The first sectors of the first FAT, as read when `read`.
struct FatStart {
    uint64_t sector = 0; // the first FAT's first sector
    std::vector<uint8_t> bytes;
    bool read = false;
};

// The exFAT root directory's first sector: the entries the format writes there, the label, and
// a sentence for each that is missing or cannot be what the format writes.
struct ExFatRootEntries {
    const uint8_t* label = nullptr; // in use (83h) or, once the label was taken away, not (03h)
    const uint8_t* bitmap = nullptr;
    const uint8_t* upcase = nullptr;
    uint32_t bitmaps = 0; // allocation-bitmap entries in use, the first FAT's or not
    // The directory ends in this sector and holds no entry in use that may own clusters beside
    // the format's three: no file or folder, so the volume's only clusters in use are theirs.
    bool nothingElse = false;
};

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
    uint64_t rootCluster = 0;        // set when the root directory's first link is sound
    bool rootEnds = false;           // the root directory's chain ends in its first cluster
    std::vector<uint32_t> rootChain; // a grown root directory's clusters, when its chain is sound
};

inline uint64_t clusterSector(uint64_t start, const Volume& v, uint64_t cluster) {
    return start + v.systemSectors + (cluster - 2) * v.sectorsPerCluster;
}

// boot_sectors.cpp
bool parseBootSector(const uint8_t* b, Volume& v, std::string& why);
void checkBootFields(const uint8_t* boot, const Volume& v, Findings& out);
void readFat32Area(const Card& card, uint64_t start, const uint8_t* boot, const Volume& v,
                   BootArea& area);
void readExFatArea(const Card& card, uint64_t start, BootArea& area);
void compareVolumeExtent(const Found& f, Findings& out);
uint32_t rulesFats(const Volume& v);
void compareFileSystem(const Volume& v, const FormatParameters& e, Findings& out);
void compareAreas(const Volume& v, const FormatParameters& e, Findings& out);
void compareAlignment(const Found& f, const FormatParameters& e, Findings& out);
void compareFat32Area(const Volume& v, const BootArea& a, Findings& out);
void compareFsInfoCounts(const Volume& v, const BootArea& a, Findings& out);
void compareExFatArea(const BootArea& a, const FormatParameters& e, Findings& out);

// fat_structures.cpp
FatStart checkFatCopies(const Card& card, uint64_t start, const Volume& v, uint8_t media,
                        Findings& out);
void checkFatStructures(const Card& card, uint64_t start, const uint8_t* boot, const Volume& v,
                        const CodePage& oem, Found& f);

// directory_walk.cpp
bool endsChain(uint32_t entry);
std::optional<uint64_t> checkFat32Root(const Card& card, uint64_t start, const uint8_t* boot,
                                       const Volume& v, const FatStart& fat, Findings& out);
void checkFatRootEntry(const Card& card, uint64_t rootSector, const CodePage& oem, Found& f);
bool ownsNoClusters(uint8_t type);
void noteExtraBitmaps(uint32_t bitmaps, uint32_t numberOfFats, Findings& out);
ExFatRootEntries findRootEntries(const uint8_t* dir, uint32_t numberOfFats, Found& f);
void findExFatRoot(const Card& card, uint64_t start, const uint8_t* boot, const Volume& v, Found& f,
                   ExFatRuns& s);
std::vector<uint32_t> walkExFatRoot(const Card& card, const Volume& v, const FatStart& fat,
                                    uint32_t root, Findings& out);

// exfat_structures.cpp
void addExFatRuns(const Volume& v, ExFatRuns& s, Findings& out);
std::vector<HeapRun> chainedRuns(const std::vector<HeapRun>& runs, const Volume& v, Findings& out,
                                 uint64_t& lastChained);
FatStart checkExFatChains(const Card& card, uint64_t start, const Volume& v,
                          const std::vector<HeapRun>& chained, Findings& out);
void checkBitmapMarks(const Card& card, uint64_t start, const Volume& v, const ExFatRuns& s,
                      const std::vector<HeapRun>& chained, uint64_t lastChained, Findings& out);
void checkUpcaseChecksum(const Card& card, uint64_t start, const Volume& v, const ExFatRuns& s,
                         Findings& out);
void checkExFatStructures(const Card& card, uint64_t start, const uint8_t* boot, const Volume& v,
                          Found& f);

// partition_table.cpp
bool choosePartition(const PartitionTable& table, Partition& t);
bool findPartitionBootSector(const CardCapacity& capacity, const Card& card, const uint8_t* sector0,
                             const std::string& sector0Why, Found& f, Volume& v, uint8_t* boot);
void compareEntry(const Partition& t, const FormatPlan& plan, Findings& out);
void comparePartitionEnd(const Found& f, const FormatPlan& plan, Findings& out);
void compareChs(const Partition& t, const FormatParameters& e, const char* field, size_t offset,
                uint64_t sector, const char* what, Findings& out);
void comparePartition(const Found& f, const FormatPlan& plan, Findings& out);

} // namespace brc::check_parts
