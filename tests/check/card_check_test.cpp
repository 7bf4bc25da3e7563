// The check in-process: cards we formatted, loaded into memory, with fields, chains, bitmaps and
// counts damaged on purpose and at random. Damaged fields are reported, never trusted, and a
// check reads no more than the system area's heads.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <fstream>
#include <functional>
#include <map>
#include <random>

#include "check/card_check.h"
#include "tests/check/check_cards.h"

namespace {

using brc::CardCapacity;
using brc::CardCheck;
using brc::CheckVerdict;

// The sectors a check may read, loaded from an image; every other sector reads as zero. Counts
// what is read, so a check that wanders shows.
struct MemoryCard {
    CardCapacity capacity;
    std::map<uint32_t, std::array<uint8_t, 512>> sectors;
    uint32_t partitionStart = 0;
    uint64_t sectorsRead = 0;

    brc::SectorReader reader() {
        return [this](uint32_t first, uint32_t count, uint8_t* out) {
            EXPECT_LE(uint64_t{first} + count, capacity.userSectors);
            sectorsRead += count;
            for (uint32_t i = 0; i < count; ++i) {
                auto it = sectors.find(first + i);
                if (it == sectors.end()) std::fill(out + 512 * i, out + 512 * (i + 1), 0);
                else std::copy(it->second.begin(), it->second.end(), out + 512 * i);
            }
            return true;
        };
    }
    CardCheck check() { return brc::checkCard(capacity, reader()); }
    uint8_t* at(uint32_t sector, size_t offset) { return sectors[sector].data() + offset; }
};

// Most sectors a check reads: the boot area, the first sectors of the FATs, a root directory
// sector and, on exFAT, the up-case table.
constexpr uint64_t kMostSectorsRead = 400;

// A formatted card's system area: the sectors that are not zero in its first 64 MiB.
MemoryCard formattedCard(const ScratchDir& dir, uint32_t userSectors) {
    const std::string img = card(dir, "mem.img", userSectors);
    EXPECT_EQ(runCli("format " + img + " --yes").status, 0);
    MemoryCard m;
    m.capacity.userSectors = userSectors;
    std::ifstream in(img, std::ios::binary);
    std::array<uint8_t, 512> sector;
    for (uint32_t s = 0; s < userSectors && s < 131072; ++s) {
        in.read(reinterpret_cast<char*>(sector.data()), 512);
        if (std::any_of(sector.begin(), sector.end(), [](uint8_t b) { return b != 0; }))
            m.sectors[s] = sector;
    }
    m.partitionStart = m.sectors[0][454] | m.sectors[0][455] << 8 | m.sectors[0][456] << 16;
    return m;
}

void put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

struct Damage {
    const char* name;
    uint32_t card;             // user sectors of the formatted card
    bool inPartition;          // sector counts from the partition start
    uint32_t sector;
    size_t offset;
    uint32_t value, bytes;     // little-endian value of 1 or 4 bytes
    CheckVerdict verdict;
    const char* expect;        // a deviation's field, or words of the problem
};

constexpr uint32_t kFat12 = 15360, kFat16 = 524288, kFat32 = 7744512, kExFat = 67108864;
const Damage kDamage[] = {
    {"exFAT serial changed in the main boot sector", kExFat, true, 0, 100, 0x1234, 4, CheckVerdict::Deviates, "bootChecksum"},
    {"exFAT backup boot sector changed", kExFat, true, 12, 100, 0x1234, 4, CheckVerdict::Deviates, "backupBootRegion"},
    {"exFAT flash-parameters record gone", kExFat, true, 9, 0, 0, 4, CheckVerdict::Deviates, "flashParameters"},
    {"exFAT FAT offset inside the boot regions", kExFat, true, 0, 80, 3, 4, CheckVerdict::NoFileSystem, "inside the boot regions"},
    {"exFAT cluster shift out of range", kExFat, true, 0, 109, 200, 1, CheckVerdict::NoFileSystem, "is too large"},
    {"exFAT cluster count past the volume", kExFat, true, 0, 92, 0xFFFFFFFF, 4, CheckVerdict::NoFileSystem, "run past the volume"},
    {"exFAT 4096-byte sectors", kExFat, true, 0, 108, 12, 1, CheckVerdict::NoFileSystem, "512-byte sectors"},
    {"FAT32 backup boot sector wiped", kFat32, true, 6, 0, 0, 4, CheckVerdict::Deviates, "backupBootSector"},
    {"FAT32 backup boot sector moved", kFat32, true, 0, 50, 0, 1, CheckVerdict::Deviates, "backupBootSector"},
    {"FAT32 FSInfo signature broken", kFat32, true, 1, 0, 0, 4, CheckVerdict::Deviates, "fsInfo"},
    {"FAT32 cluster size not a power of two", kFat32, true, 0, 13, 3, 1, CheckVerdict::NoFileSystem, "not a power of two"},
    {"FAT32 FAT of one sector", kFat32, true, 0, 36, 1, 4, CheckVerdict::NoFileSystem, "cannot hold"},
    {"FAT16 4096-byte sectors", kFat16, true, 0, 12, 0x10, 1, CheckVerdict::NoFileSystem, "512-byte sectors"},
    {"FAT16 no FAT copies", kFat16, true, 0, 16, 0, 1, CheckVerdict::NoFileSystem, "gives no FAT"},
    {"FAT16 volume past its partition", kFat16, true, 0, 32, kFat16, 4, CheckVerdict::Deviates, "volumeSectors"},
    {"FAT16 boot signature gone", kFat16, true, 0, 510, 0, 1, CheckVerdict::Deviates, "bootSignature"},
    {"partition past the card's end", kFat16, false, 0, 446 + 8, 0xFFFFFFF0, 4, CheckVerdict::NoFileSystem, "past the card's last sector"},
    {"partition longer than the card", kFat16, false, 0, 446 + 12, 0xFFFFFFFF, 4, CheckVerdict::Deviates, "partitionSectors"},
    {"partition at sector 0", kFat16, false, 0, 446 + 8, 0, 4, CheckVerdict::NoFileSystem, "over the partition table"},
    {"no partition table signature", kFat16, false, 0, 510, 0, 1, CheckVerdict::NoFileSystem, "neither a partition table"},
    {"second partition entry in use", kFat16, false, 0, 462 + 4, 0x83, 1, CheckVerdict::Deviates, "otherEntries"},
    {"partition marked bootable", kFat16, false, 0, 446, 0x80, 1, CheckVerdict::Deviates, "bootIndicator"},
    {"FAT32 partition type 0x0C", kFat32, false, 0, 446 + 4, 0x0C, 1, CheckVerdict::Deviates, "partitionType"},
    {"start CHS wrong", kFat16, false, 0, 446 + 1, 0xFE, 1, CheckVerdict::Deviates, "startChs"},
};

TEST(CardCheck, DamagedFieldsAreReportedNotTrusted) {
    ScratchDir dir("check-damage");
    std::map<uint32_t, MemoryCard> cards;
    for (const Damage& d : kDamage) {
        SCOPED_TRACE(d.name);
        if (!cards.count(d.card)) {
            cards[d.card] = formattedCard(dir, d.card);
            ASSERT_EQ(cards[d.card].check().verdict, CheckVerdict::Conforms);
        }
        MemoryCard m = cards[d.card];
        uint8_t* p = m.at((d.inPartition ? m.partitionStart : 0) + d.sector, d.offset);
        if (d.bytes == 4) put32(p, d.value);
        else *p = static_cast<uint8_t>(d.value);
        const CardCheck c = m.check();
        EXPECT_EQ(c.verdict, d.verdict) << c.problem;
        bool shown = c.problem.find(d.expect) != std::string::npos;
        for (const auto& dev : c.deviations) shown = shown || dev.field == d.expect;
        EXPECT_TRUE(shown) << c.problem;
        EXPECT_LE(m.sectorsRead, kMostSectorsRead);
    }
}

// Where a formatted card's structures lie, from its boot sector: absolute sectors.
struct Geometry {
    uint32_t start, fat, fatSectors, fats, heap, clusterSectors, clusters, root;
    uint32_t bitmap = 0; // exFAT: the allocation bitmap's first cluster
    uint32_t backup = 0; // the backup boot sector; 0 when the volume keeps none (FAT12, FAT16)
    bool exfat = false;
};

uint32_t le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t{p[3]} << 24; }

Geometry geometryOf(MemoryCard& m) {
    const uint8_t* b = m.at(m.partitionStart, 0);
    Geometry g{};
    g.start = m.partitionStart;
    if (std::equal(b + 3, b + 11, "EXFAT   ")) {
        g.fat = g.start + le32(b + 80);
        g.fatSectors = le32(b + 84);
        g.fats = b[110];
        g.heap = g.start + le32(b + 88);
        g.clusters = le32(b + 92);
        g.root = le32(b + 96);
        g.clusterSectors = 1u << b[109];
        g.backup = g.start + 12;
        g.exfat = true;
        const uint8_t* dir = m.at(g.heap + (g.root - 2) * g.clusterSectors, 0);
        for (int e = 0; e < 16; ++e)
            if (dir[32 * e] == 0x81) g.bitmap = le32(dir + 32 * e + 20);
    } else {
        g.fat = g.start + (b[14] | b[15] << 8);
        g.fatSectors = le32(b + 36);
        g.fats = b[16];
        g.heap = g.fat + g.fats * g.fatSectors;
        g.clusterSectors = b[13];
        g.clusters = (le32(b + 32) - (g.heap - g.start)) / g.clusterSectors;
        g.root = le32(b + 44);
        if ((b[22] | b[23]) == 0) g.backup = g.start + (b[50] | b[51] << 8); // FAT32
    }
    return g;
}

// A FAT entry, in every FAT, so the copies stay alike.
void setEntry(MemoryCard& m, const Geometry& g, uint32_t cluster, uint32_t value) {
    for (uint32_t k = 0; k < g.fats; ++k)
        put32(m.at(g.fat + k * g.fatSectors + cluster / 128, cluster % 128 * 4), value);
}

// Byte `offset` of `cluster`.
uint8_t* inCluster(MemoryCard& m, const Geometry& g, uint32_t cluster, size_t offset) {
    return m.at(static_cast<uint32_t>(g.heap + (cluster - 2) * g.clusterSectors + offset / 512),
                offset % 512);
}

// The root directory's `slot`th entry, given the bitmap entry's 32 bytes with its flags byte.
void copyBitmapEntry(MemoryCard& m, const Geometry& g, int slot, uint8_t flags) {
    uint8_t* dir = inCluster(m, g, g.root, 0);
    for (int e = 0; e < 16; ++e)
        if (dir[32 * e] == 0x81) std::copy(dir + 32 * e, dir + 32 * e + 32, dir + 32 * slot);
    dir[32 * slot + 1] = flags;
}

// The bitmap's bit for `cluster`.
void markCluster(MemoryCard& m, const Geometry& g, uint32_t cluster, bool inUse) {
    uint8_t* byte = inCluster(m, g, g.bitmap, (cluster - 2) / 8);
    const uint8_t bit = static_cast<uint8_t>(1u << (cluster - 2) % 8);
    *byte = static_cast<uint8_t>(inUse ? *byte | bit : *byte & ~bit);
}

// The exFAT boot checksum of the boot region at `first`, VolumeFlags and PercentInUse left out.
uint32_t bootRegionSum(MemoryCard& m, uint32_t first) {
    uint32_t sum = 0;
    for (uint32_t s = 0; s < 11; ++s)
        for (size_t i = 0; i < 512; ++i)
            if (s != 0 || (i != 106 && i != 107 && i != 112))
                sum = ((sum & 1) ? 0x80000000u : 0) + (sum >> 1) + *m.at(first + s, i);
    return sum;
}

// A boot-sector byte as a formatter that chose it would write it: in the backup boot sector too
// and, on exFAT, under both boot regions' checksums, so that the field alone differs.
void setBootByte(MemoryCard& m, const Geometry& g, size_t offset, uint8_t value) {
    *m.at(g.start, offset) = value;
    if (g.backup != 0) *m.at(g.backup, offset) = value;
    if (!g.exfat) return;
    for (uint32_t region : {g.start, g.start + 12}) {
        const uint32_t sum = bootRegionSum(m, region);
        for (size_t i = 0; i < 512; i += 4) put32(m.at(region + 11, i), sum);
    }
}

constexpr uint32_t kEnd = 0x0FFFFFFF;
constexpr uint32_t kExFatEnd = 0xFFFFFFFF;

struct Fault {
    const char* name;
    uint32_t card;
    std::function<void(MemoryCard&, const Geometry&)> damage;
    const char* field; // the deviation; nullptr: the card still conforms
    const char* words; // of its sentence
};

// Chains, bitmaps, counts and boot-sector fields a check must not take for sound, beside what a
// card in use holds that it must still take for sound.
const Fault kFaults[] = {
    {"FAT32 root chain 2 -> 3 -> 2", kFat32,
     [](MemoryCard& m, const Geometry& g) {
         setEntry(m, g, 2, 3);
         setEntry(m, g, 3, 2);
     },
     "rootCluster", "comes back to cluster 2 after 2 clusters"},
    {"FAT32 root chain 2 -> 3 -> 4 -> 3", kFat32,
     [](MemoryCard& m, const Geometry& g) {
         setEntry(m, g, 2, 3);
         setEntry(m, g, 3, 4);
         setEntry(m, g, 4, 3);
     },
     "rootCluster", "comes back to cluster 3"},
    {"FAT32 root chain looping through a FAT sector past those read", kFat32,
     [](MemoryCard& m, const Geometry& g) {
         setEntry(m, g, 2, 100000);
         setEntry(m, g, 100000, 2);
     },
     "rootCluster", "comes back to cluster 2"},
    {"FAT32 root chain into a free cluster", kFat32,
     [](MemoryCard& m, const Geometry& g) { setEntry(m, g, 2, 3); }, "rootCluster",
     "which the FAT gives as free"},
    {"FAT32 root chain into a bad cluster", kFat32,
     [](MemoryCard& m, const Geometry& g) {
         setEntry(m, g, 2, 3);
         setEntry(m, g, 3, 0x0FFFFFF7);
     },
     "rootCluster", "which the FAT marks bad"},
    {"FAT32 root chain past the last cluster", kFat32,
     [](MemoryCard& m, const Geometry& g) {
         setEntry(m, g, 2, 3);
         setEntry(m, g, 3, g.clusters + 2);
     },
     "rootCluster", "neither a cluster of the data area"},
    {"FAT32 root chain longer than a directory may be", kFat32,
     [](MemoryCard& m, const Geometry& g) {
         const uint32_t clusters = 2 * 1024 * 1024 / (g.clusterSectors * 512) + 1;
         for (uint32_t c = 2; c < clusters + 1; ++c) setEntry(m, g, c, c + 1);
         setEntry(m, g, clusters + 1, kEnd);
     },
     "rootCluster", "more than the 2 MiB"},
    {"FAT32 root grown by a cluster", kFat32,
     [](MemoryCard& m, const Geometry& g) {
         setEntry(m, g, 2, 3);
         setEntry(m, g, 3, 0x0FFFFFF8);
     },
     nullptr, nullptr},
    {"FAT32 root grown into a FAT sector past those read", kFat32,
     [](MemoryCard& m, const Geometry& g) {
         setEntry(m, g, 2, 100000);
         setEntry(m, g, 100000, kEnd);
     },
     nullptr, nullptr},
    {"FAT32 root grown to a directory's largest size", kFat32,
     [](MemoryCard& m, const Geometry& g) {
         const uint32_t clusters = 2 * 1024 * 1024 / (g.clusterSectors * 512);
         for (uint32_t c = 2; c < clusters + 1; ++c) setEntry(m, g, c, c + 1);
         setEntry(m, g, clusters + 1, kEnd);
     },
     nullptr, nullptr},
    {"FSInfo free count 0xFFFFFFF0", kFat32,
     [](MemoryCard& m, const Geometry& g) { put32(m.at(g.start + 1, 488), 0xFFFFFFF0); },
     "fsInfoFreeCount", "4,294,967,280 free clusters"},
    {"FSInfo copy's free count one past the cluster count", kFat32,
     [](MemoryCard& m, const Geometry& g) { put32(m.at(g.start + 7, 488), g.clusters + 1); },
     "fsInfoFreeCount", "FSInfo sector's copy"},
    {"FSInfo next-free hint past the last cluster", kFat32,
     [](MemoryCard& m, const Geometry& g) { put32(m.at(g.start + 1, 492), g.clusters + 2); },
     "fsInfoNextFree", "outside the data area"},
    {"FSInfo next-free hint 0", kFat32,
     [](MemoryCard& m, const Geometry& g) { put32(m.at(g.start + 1, 492), 0); }, "fsInfoNextFree",
     "outside the data area"},
    {"FSInfo counts as mkfs.fat writes them", kFat32,
     [](MemoryCard& m, const Geometry& g) {
         for (uint32_t s : {1u, 7u}) {
             put32(m.at(g.start + s, 488), g.clusters - 1);
             put32(m.at(g.start + s, 492), 2);
         }
     },
     nullptr, nullptr},
    {"FSInfo counts at their limits", kFat32,
     [](MemoryCard& m, const Geometry& g) {
         for (uint32_t s : {1u, 7u}) {
             put32(m.at(g.start + s, 488), g.clusters);
             put32(m.at(g.start + s, 492), g.clusters + 1);
         }
     },
     nullptr, nullptr},
    {"exFAT bitmap's first sector all in use", kExFat,
     [](MemoryCard& m, const Geometry& g) { std::fill_n(inCluster(m, g, g.bitmap, 0), 512, 0xFF); },
     "allocationBitmap", "also marks cluster 8 in use"},
    {"exFAT bitmap marks the cluster after the root directory", kExFat,
     [](MemoryCard& m, const Geometry& g) { markCluster(m, g, g.root + 1, true); },
     "allocationBitmap", "also marks cluster 8 in use"},
    {"exFAT bitmap marks a cluster at its first sector's end", kExFat,
     [](MemoryCard& m, const Geometry& g) { markCluster(m, g, 2 + 4095, true); },
     "allocationBitmap", "also marks cluster 4,097 in use"},
    {"exFAT bitmap gives the root directory free", kExFat,
     [](MemoryCard& m, const Geometry& g) { markCluster(m, g, g.root, false); }, "allocationBitmap",
     "as free"},
    {"exFAT second allocation-bitmap entry", kExFat,
     [](MemoryCard& m, const Geometry& g) { copyBitmapEntry(m, g, 3, 0); }, "rootDirectory",
     "holds 2 allocation-bitmap entries"},
    {"exFAT second FAT's allocation-bitmap entry on a card of one FAT", kExFat,
     [](MemoryCard& m, const Geometry& g) { copyBitmapEntry(m, g, 3, 1); }, "rootDirectory",
     "holds 2 allocation-bitmap entries"},
    {"exFAT file in the root, its cluster in use", kExFat,
     [](MemoryCard& m, const Geometry& g) {
         // A file entry, its stream extension (first cluster, contiguous) and its name.
         uint8_t* dir = inCluster(m, g, g.root, 0);
         dir[96] = 0x85; // two secondary entries
         dir[97] = 2;
         dir[128] = 0xC0; // allocation possible, no FAT chain; a name of one character
         dir[129] = 3;
         dir[131] = 1;
         put32(dir + 128 + 20, g.root + 1);
         dir[128 + 8] = 100; // valid data length and data length
         dir[128 + 24] = 100;
         dir[160] = 0xC1;
         dir[162] = 'a';
         markCluster(m, g, g.root + 1, true);
     },
     nullptr, nullptr},
    {"exFAT root grown by a cluster", kExFat,
     [](MemoryCard& m, const Geometry& g) {
         setEntry(m, g, g.root, g.root + 1);
         setEntry(m, g, g.root + 1, kExFatEnd);
         markCluster(m, g, g.root + 1, true);
     },
     nullptr, nullptr},
    {"exFAT root grown to a directory's largest size", kExFat,
     [](MemoryCard& m, const Geometry& g) {
         const uint32_t clusters = 256 * 1024 * 1024 / (g.clusterSectors * 512);
         for (uint32_t c = g.root; c < g.root + clusters - 1; ++c) setEntry(m, g, c, c + 1);
         setEntry(m, g, g.root + clusters - 1, kExFatEnd);
         for (uint32_t c = g.root; c < g.root + clusters; ++c) markCluster(m, g, c, true);
     },
     nullptr, nullptr},
    {"exFAT root chain longer than a directory may be", kExFat,
     [](MemoryCard& m, const Geometry& g) {
         const uint32_t clusters = 256 * 1024 * 1024 / (g.clusterSectors * 512) + 1;
         for (uint32_t c = g.root; c < g.root + clusters - 1; ++c) setEntry(m, g, c, c + 1);
         setEntry(m, g, g.root + clusters - 1, kExFatEnd);
         for (uint32_t c = g.root; c < g.root + clusters; ++c) markCluster(m, g, c, true);
     },
     "rootDirectory", "more than the 256 MiB"},
    {"exFAT root chain 7 -> 8 -> 7", kExFat,
     [](MemoryCard& m, const Geometry& g) {
         setEntry(m, g, g.root, g.root + 1);
         setEntry(m, g, g.root + 1, g.root);
         markCluster(m, g, g.root + 1, true);
     },
     "rootDirectory", "comes back to cluster 7 after 2 clusters"},
    {"exFAT root chain looping through a FAT sector past those read", kExFat,
     [](MemoryCard& m, const Geometry& g) {
         setEntry(m, g, g.root, 100000);
         setEntry(m, g, 100000, g.root);
         markCluster(m, g, 100000, true);
     },
     "rootDirectory", "comes back to cluster 7"},
    {"exFAT root chain into a free cluster", kExFat,
     [](MemoryCard& m, const Geometry& g) {
         setEntry(m, g, g.root, g.root + 1);
         markCluster(m, g, g.root + 1, true);
     },
     "rootDirectory", "which the FAT gives as free"},
    {"exFAT root chain into a bad cluster", kExFat,
     [](MemoryCard& m, const Geometry& g) {
         setEntry(m, g, g.root, g.root + 1);
         setEntry(m, g, g.root + 1, 0xFFFFFFF7);
         markCluster(m, g, g.root + 1, true);
     },
     "rootDirectory", "which the FAT marks bad"},
    {"exFAT root chain past the last cluster", kExFat,
     [](MemoryCard& m, const Geometry& g) {
         setEntry(m, g, g.root, g.root + 1);
         setEntry(m, g, g.root + 1, g.clusters + 2);
         markCluster(m, g, g.root + 1, true);
     },
     "rootDirectory", "neither a cluster of the cluster heap"},
    // On exFAT only FFFFFFFFh ends a chain; hosts take FFFFFFF8h for a broken one.
    {"exFAT root chain ended by FFFFFFF8h", kExFat,
     [](MemoryCard& m, const Geometry& g) {
         setEntry(m, g, g.root, g.root + 1);
         setEntry(m, g, g.root + 1, 0xFFFFFFF8);
         markCluster(m, g, g.root + 1, true);
     },
     "rootDirectory", "nor an end of chain"},
    {"exFAT root grown into a cluster the bitmap gives as free", kExFat,
     [](MemoryCard& m, const Geometry& g) {
         setEntry(m, g, g.root, g.root + 1);
         setEntry(m, g, g.root + 1, kExFatEnd);
     },
     "allocationBitmap", "cluster 8 of the root directory's chain as free"},
    {"FAT16 media byte 00", kFat16,
     [](MemoryCard& m, const Geometry& g) { setBootByte(m, g, 21, 0x00); }, "mediaDescriptor",
     "gives 00, which is no media byte"},
    {"FAT32 media byte 00", kFat32,
     [](MemoryCard& m, const Geometry& g) { setBootByte(m, g, 21, 0x00); }, "mediaDescriptor",
     "gives 00, which is no media byte"},
    {"FAT12 media byte F0 over FATs that start with F8", kFat12,
     [](MemoryCard& m, const Geometry& g) { setBootByte(m, g, 21, 0xF0); }, "mediaDescriptor",
     "media byte F0 differs from the F8 that starts the first FAT"},
    {"FAT16 extended boot signature 00", kFat16,
     [](MemoryCard& m, const Geometry& g) { setBootByte(m, g, 38, 0x00); },
     "extendedBootSignature", "gives 00"},
    {"FAT32 extended boot signature 28h", kFat32,
     [](MemoryCard& m, const Geometry& g) { setBootByte(m, g, 66, 0x28); },
     "extendedBootSignature", "gives 28"},
    {"exFAT MustBeZero byte 11 set", kExFat,
     [](MemoryCard& m, const Geometry& g) { setBootByte(m, g, 11, 0x01); }, "mustBeZero",
     "byte 11 holds 01"},
    {"exFAT MustBeZero byte 63 set", kExFat,
     [](MemoryCard& m, const Geometry& g) { setBootByte(m, g, 63, 0x20); }, "mustBeZero",
     "byte 63 holds 20"},
    {"exFAT revision 2.00", kExFat,
     [](MemoryCard& m, const Geometry& g) { setBootByte(m, g, 105, 0x02); }, "fileSystemRevision",
     "gives revision 2.00"},
    {"exFAT revision 1.01", kExFat,
     [](MemoryCard& m, const Geometry& g) { setBootByte(m, g, 104, 0x01); }, "fileSystemRevision",
     "gives revision 1.01"},
    {"exFAT jump E9 76 90", kExFat,
     [](MemoryCard& m, const Geometry& g) { setBootByte(m, g, 0, 0xE9); }, "jumpBoot",
     "starts with E9 76 90"},
};

TEST(CardCheck, DamagedChainsBitmapsAndCountsAreReported) {
    ScratchDir dir("check-faults");
    std::map<uint32_t, MemoryCard> cards;
    for (const Fault& f : kFaults) {
        SCOPED_TRACE(f.name);
        if (!cards.count(f.card)) {
            cards[f.card] = formattedCard(dir, f.card);
            ASSERT_EQ(cards[f.card].check().verdict, CheckVerdict::Conforms);
        }
        MemoryCard m = cards[f.card];
        f.damage(m, geometryOf(m));
        const CardCheck c = m.check();
        EXPECT_LE(m.sectorsRead, kMostSectorsRead);
        if (!f.field) {
            EXPECT_EQ(c.verdict, CheckVerdict::Conforms)
                << (c.deviations.empty() ? c.problem : c.deviations[0].why);
            continue;
        }
        EXPECT_EQ(c.verdict, CheckVerdict::Deviates) << c.problem;
        bool shown = false;
        for (const auto& d : c.deviations)
            shown = shown || (d.field == f.field && d.why.find(f.words) != std::string::npos);
        EXPECT_TRUE(shown) << (c.deviations.empty() ? c.problem : c.deviations[0].why);
    }
}

// Bytes changed at random in every sector a check reads, and user areas cut at random: any
// verdict will do, but it must be a coherent one, reached without a crash (the sanitizers
// watch), without a read past the card and without reading more than the system area's heads.
TEST(CardCheck, RandomDamageGivesCoherentVerdicts) {
    ScratchDir dir("check-fuzz");
    std::mt19937 random(2024);  // 32-bit draws
    for (uint32_t size : {kFat12, kFat16, kFat32, kExFat}) {
        const MemoryCard pristine = formattedCard(dir, size);
        std::vector<uint32_t> where;
        for (const auto& [sector, bytes] : pristine.sectors) where.push_back(sector);
        for (int round = 0; round < 3000; ++round) {
            MemoryCard m = pristine;
            const int changes = 1 + static_cast<int>(random() % 12);
            for (int i = 0; i < changes; ++i)
                *m.at(where[random() % where.size()], random() % 512) = static_cast<uint8_t>(random());
            if (round % 10 == 0) m.capacity.userSectors = static_cast<uint32_t>(1 + random() % size);
            if (round % 25 == 0) m.capacity.protectedSectors = static_cast<uint32_t>(random());
            const CardCheck c = m.check();
            ASSERT_EQ(c.verdict == CheckVerdict::Conforms, c.planKnown && c.deviations.empty() && c.problem.empty());
            if (c.verdict != CheckVerdict::Conforms && c.verdict != CheckVerdict::Deviates) {
                ASSERT_FALSE(c.problem.empty());
            }
            for (const auto& dev : c.deviations)
                ASSERT_TRUE(!dev.field.empty() && dev.why.size() > 20 && dev.why.back() == '.') << dev.why;
            ASSERT_LE(m.sectorsRead, kMostSectorsRead);
        }
    }
}

} // namespace
