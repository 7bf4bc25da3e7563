// The label and free-space code on volumes whose chains are damaged: a root directory that loops,
// links outside the heap or runs past what a directory may hold, an exFAT allocation bitmap
// whose chain loops. Each call must end with a clear answer after a bounded amount of reading;
// every byte it reads goes through the card's read function, which counts them.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>

#include "base/little_endian.h"
#include "platform/virtual_volume.h"

using namespace brc;
namespace fs = std::filesystem;

namespace {

enum class Fs { Fat12, Fat16, Fat32, ExFat };

bool haveTool(const char* name) {
    return ::access((std::string("/usr/sbin/") + name).c_str(), X_OK) == 0 ||
           ::access((std::string("/sbin/") + name).c_str(), X_OK) == 0;
}

// A freshly made volume without a partition table, the same bytes for every case of a type.
const std::vector<uint8_t>& freshVolume(Fs type) {
    static std::map<Fs, std::vector<uint8_t>> made;
    std::vector<uint8_t>& bytes = made[type];
    if (!bytes.empty()) return bytes;
    const fs::path file = fs::temp_directory_path() / ("brc_walk_" + std::to_string(::getpid()));
    struct Recipe {
        const char* command;
        uint64_t megabytes;
    };
    // 512-byte clusters make long chains cheap to build; FAT12 cannot have that many clusters.
    const std::map<Fs, Recipe> recipes = {
        {Fs::Fat12, {"mkfs.fat -F 12 -s 8", 8}},
        {Fs::Fat16, {"mkfs.fat -F 16 -s 1", 16}},
        {Fs::Fat32, {"mkfs.fat -F 32 -s 1", 34}},
        {Fs::ExFat, {"mkfs.exfat -c 512", 40}},
    };
    const Recipe& r = recipes.at(type);
    std::ofstream(file).close();
    fs::resize_file(file, r.megabytes << 20);
    const std::string command = "PATH=/usr/sbin:/sbin:$PATH " + std::string(r.command) + " " +
                                file.string() + " >/dev/null 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    bytes.resize(r.megabytes << 20);
    std::ifstream(file, std::ios::binary)
        .read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    fs::remove(file);
    return bytes;
}

// A card in memory that counts the bytes read from it.
struct CountingCard {
    std::vector<uint8_t> bytes;
    uint64_t bytesRead = 0;

    CardSectors sectors() {
        CardSectors c;
        c.count = bytes.size() / 512;
        c.read = [this](uint64_t first, uint32_t n, uint8_t* data) {
            if (first + n > bytes.size() / 512) return false;
            bytesRead += uint64_t{n} * 512;
            std::copy_n(bytes.begin() + static_cast<long>(first * 512), n * 512ull, data);
            return true;
        };
        c.write = [this](uint64_t first, uint32_t n, const uint8_t* data) {
            if (first + n > bytes.size() / 512) return false;
            std::copy_n(data, n * 512ull, bytes.begin() + static_cast<long>(first * 512));
            return true;
        };
        return c;
    }
};

// Where the structures of a volume lie, read from its boot sector, and edits of them.
struct Volume {
    Fs type;
    std::vector<uint8_t>& b;
    uint64_t fatOffset = 0, fatBytes = 0, heapOffset = 0, clusterBytes = 0, rootOffset = 0;
    uint32_t fats = 0, rootCluster = 0, clusters = 0, rootBytes = 0;

    Volume(Fs t, std::vector<uint8_t>& bytes) : type(t), b(bytes) {
        if (type == Fs::ExFat) {
            const uint64_t sector = uint64_t{1} << b[108];
            clusterBytes = sector << b[109];
            fatOffset = le32(&b[80]) * sector;
            fatBytes = le32(&b[84]) * sector;
            fats = b[110];
            heapOffset = le32(&b[88]) * sector;
            clusters = le32(&b[92]);
            rootCluster = le32(&b[96]);
            return;
        }
        const uint64_t sector = le16(&b[11]);
        clusterBytes = sector * b[13];
        fatOffset = le16(&b[14]) * sector;
        fats = b[16];
        const uint32_t fatSectors = le16(&b[22]) != 0 ? le16(&b[22]) : le32(&b[36]);
        fatBytes = uint64_t{fatSectors} * sector;
        rootOffset = fatOffset + fats * fatBytes;
        rootBytes = le16(&b[17]) * 32u;
        heapOffset = rootOffset + (rootBytes + sector - 1) / sector * sector;
        const uint32_t total = le16(&b[19]) != 0 ? le16(&b[19]) : le32(&b[32]);
        clusters = static_cast<uint32_t>((total * sector - heapOffset) / clusterBytes);
        if (type == Fs::Fat32) rootCluster = le32(&b[44]);
    }

    uint64_t cluster(uint32_t n) const { return heapOffset + (n - 2ull) * clusterBytes; }

    // Sets cluster n's FAT entry in every copy.
    void link(uint32_t n, uint32_t next) {
        for (uint32_t copy = 0; copy < (type == Fs::ExFat ? 1 : fats); ++copy) {
            uint8_t* fat = &b[fatOffset + copy * fatBytes];
            if (type == Fs::Fat12) {
                uint8_t* p = fat + n + n / 2;
                const uint16_t pair = le16(p);
                put16(p, static_cast<uint16_t>(n & 1 ? (pair & 0x000F) | next << 4
                                                     : (pair & 0xF000) | (next & 0xFFF)));
            } else if (type == Fs::Fat16) {
                put16(fat + n * 2, static_cast<uint16_t>(next));
            } else {
                put32(fat + n * 4, next);
            }
        }
    }
    // The chain first, first + 1, ..., last, then `after`, each cluster filled with `fill`.
    void chain(uint32_t first, uint32_t last, uint32_t after, uint8_t fill) {
        for (uint32_t n = first; n <= last; ++n) {
            link(n, n == last ? after : n + 1);
            std::fill_n(b.begin() + static_cast<long>(cluster(n)), clusterBytes, fill);
        }
    }
    // Turns the end of the root directory into entries of `fill` (deleted ones for 0xE5 on
    // FAT, 0x05 on exFAT), so that no entry ends the directory inside its first cluster.
    void fillRoot(uint8_t fill) {
        const uint64_t at = rootCluster ? cluster(rootCluster) : rootOffset;
        const uint64_t bytes = rootCluster ? clusterBytes : rootBytes;
        for (uint64_t e = at; e < at + bytes; e += 32)
            if (b[e] == 0) std::fill_n(b.begin() + static_cast<long>(e), 32, fill);
    }
    uint32_t bitmapCluster() const {
        for (uint64_t e = cluster(rootCluster); b[e] != 0; e += 32)
            if (b[e] == 0x81) return le32(&b[e + 20]);
        return 0;
    }
};

constexpr uint32_t kDamaged = kErrorUnrecognizedVolume;
constexpr uint32_t kFat32End = 0x0FFFFFFF;
const LocalTime kNow{2024, 5, 17, 13, 45, 58, 0};

TEST(VolumeWalk, DamagedChainsEndInABoundedRead) {
    if (!haveTool("mkfs.fat") || !haveTool("mkfs.exfat"))
        GTEST_SKIP() << "dosfstools or exfatprogs missing";
    struct Case {
        const char* name;
        Fs type;
        std::function<void(Volume&)> damage;
        uint32_t info, space, label;  // results of the three calls
        uint64_t maxBytesRead;        // by all three together
    };
    const Case cases[] = {
        // FAT12 and FAT16 keep the root directory outside the heap: a looping chain elsewhere
        // is never followed, and the fixed root is read once.
        {"FAT12 root all deleted, a chain loops", Fs::Fat12,
         [](Volume& v) { v.fillRoot(0xE5); v.chain(2, 3, 2, 0xE5); }, 0, 0, 0, 256 << 10},
        {"FAT16 root all deleted, a chain loops", Fs::Fat16,
         [](Volume& v) { v.fillRoot(0xE5); v.chain(2, 3, 2, 0xE5); }, 0, 0, 0, 512 << 10},
        {"FAT32 root loops onto itself", Fs::Fat32,
         [](Volume& v) { v.chain(v.rootCluster, v.rootCluster, v.rootCluster, 0xE5); },
         kDamaged, 0, kDamaged, 1 << 20},
        {"FAT32 root loops back after three clusters", Fs::Fat32,
         [](Volume& v) { v.chain(v.rootCluster, v.rootCluster + 2, v.rootCluster, 0xE5); },
         kDamaged, 0, kDamaged, 1 << 20},
        {"FAT32 root links past the heap", Fs::Fat32,
         [](Volume& v) { v.chain(v.rootCluster, v.rootCluster, v.clusters + 2, 0xE5); },
         kDamaged, 0, kDamaged, 1 << 20},
        {"FAT32 root links to a bad cluster", Fs::Fat32,
         [](Volume& v) { v.chain(v.rootCluster, v.rootCluster, 0x0FFFFFF7, 0xE5); },
         kDamaged, 0, kDamaged, 1 << 20},
        {"FAT32 root links to a free cluster", Fs::Fat32,
         [](Volume& v) { v.chain(v.rootCluster, v.rootCluster, 0, 0xE5); },
         kDamaged, 0, kDamaged, 1 << 20},
        // 5000 clusters of 512 bytes: more than the 65,536 entries a directory may hold.
        {"FAT32 root longer than a directory", Fs::Fat32,
         [](Volume& v) { v.chain(v.rootCluster, v.rootCluster + 4999, kFat32End, 0xE5); },
         kDamaged, 0, kDamaged, 5 << 20},
        // Exactly 65,536 entries, all in use: the largest directory there may be, and full.
        {"FAT32 root of 65,536 entries", Fs::Fat32,
         [](Volume& v) { v.chain(v.rootCluster, v.rootCluster + 4095, kFat32End, 'A'); },
         0, 0, kErrorDiskFull, 5 << 20},
        {"exFAT root loops onto itself", Fs::ExFat,
         [](Volume& v) { v.fillRoot(0x05); v.link(v.rootCluster, v.rootCluster); },
         kDamaged, 0, kDamaged, 256 << 10},
        {"exFAT root loops back after 2,000 clusters", Fs::ExFat,
         [](Volume& v) {
             v.fillRoot(0x05);
             v.link(v.rootCluster, v.rootCluster + 1);
             v.chain(v.rootCluster + 1, v.rootCluster + 2000, v.rootCluster, 0x05);
         },
         kDamaged, 0, kDamaged, 4 << 20},
        {"exFAT root links past the heap", Fs::ExFat,
         [](Volume& v) { v.fillRoot(0x05); v.link(v.rootCluster, v.clusters + 2); },
         kDamaged, 0, kDamaged, 256 << 10},
        {"exFAT bitmap chain loops", Fs::ExFat,
         [](Volume& v) { v.link(v.bitmapCluster(), v.bitmapCluster()); }, 0, kDamaged, 0,
         256 << 10},
    };
    for (const Case& t : cases) {
        SCOPED_TRACE(t.name);
        CountingCard card{freshVolume(t.type)};
        Volume v(t.type, card.bytes);
        t.damage(v);
        VolumeInfo info;
        ClusterSpace space;
        const uint32_t infoResult = virtualVolumeInformation(card.sectors(), cp437(), info);
        EXPECT_EQ(infoResult, t.info);
        if (infoResult == 0) {
            EXPECT_EQ(info.label, u"") << "a label came from nowhere";
        }
        EXPECT_EQ(virtualFreeSpace(card.sectors(), space), t.space);
        EXPECT_EQ(setVirtualVolumeLabel(card.sectors(), cp437(), u"LABEL", kNow), t.label);
        EXPECT_LE(card.bytesRead, t.maxBytesRead);
    }
}

} // namespace
