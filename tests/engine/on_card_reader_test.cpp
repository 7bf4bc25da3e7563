// The shared reader of on-card structures at the edges where a parser goes wrong: spans too
// short, sizes at and past their limits, counts that would divide by zero or wrap, the cluster
// counts where the FAT type changes, and the boot sectors mkfs.fat and mkfs.exfat write.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "base/little_endian.h"
#include "base/on_card_reader.h"

namespace brc {
namespace {

using Sector = std::array<uint8_t, kSectorBytes>;

// A FAT16 boot sector of 512-byte sectors: 4 per cluster, 1 reserved, 2 FATs of 32 sectors,
// 512 root entries, 20480 sectors: (20480 - 97) / 4 = 5095 clusters.
Sector fat16Boot() {
    Sector b{};
    b[0] = 0xEB, b[1] = 0x3C, b[2] = 0x90;
    put16(&b[bpb::kBytesPerSector], 512);
    b[bpb::kSectorsPerCluster] = 4;
    put16(&b[bpb::kReservedSectors], 1);
    b[bpb::kNumFats] = 2;
    put16(&b[bpb::kRootEntries], 512);
    put16(&b[bpb::kTotalSectors16], 20480);
    b[bpb::kMedia] = 0xF8;
    put16(&b[bpb::kFatSize16], 32);
    putBootSignature(b.data());
    return b;
}

TEST(OnCardReader, TooShortASpanIsNoStructure) {
    const Sector full = fat16Boot();
    const SectorView shorter(full.data(), kSectorBytes - 1);
    EXPECT_FALSE(readPartitionTable(shorter));
    EXPECT_FALSE(readFatBootSector(shorter));
    EXPECT_FALSE(readFsInfo(shorter));
    EXPECT_FALSE(readExFatBootSector(shorter));
    EXPECT_FALSE(readOemParameters(shorter));
    EXPECT_TRUE(readFatBootSector(full));
}

TEST(OnCardReader, FatBootSectorFields) {
    struct Row {
        const char* what;
        size_t offset;
        uint32_t value;
        bool wide;          // a 16-bit field
        bool recognised;
        uint64_t clusters;  // when recognised
    };
    const Row rows[] = {
        {"as built", bpb::kMedia, 0xF8, false, true, 5095},
        {"no jump", bpb::kJumpBoot, 0x00, false, false, 0},
        {"short jump without NOP", bpb::kJumpBoot + 2, 0x00, false, false, 0},
        {"256-byte sectors", bpb::kBytesPerSector, 256, true, false, 0},
        {"768-byte sectors", bpb::kBytesPerSector, 768, true, false, 0},
        {"4096-byte sectors", bpb::kBytesPerSector, 4096, true, true, (20480 - 69) / 4},
        {"8192-byte sectors", bpb::kBytesPerSector, 8192, true, false, 0},
        {"no sectors per cluster", bpb::kSectorsPerCluster, 0, false, true, 0},
        {"system area fills the volume", bpb::kTotalSectors16, 97, true, true, 0},
        {"one sector past the system area", bpb::kTotalSectors16, 98, true, true, 0},
        {"one cluster past the system area", bpb::kTotalSectors16, 101, true, true, 1},
        {"largest root directory", bpb::kRootEntries, 0xFFFF, true, true, (20480 - 65 - 4096) / 4},
        {"largest FATs", bpb::kFatSize16, 0xFFFF, true, true, 0},
    };
    for (const Row& r : rows) {
        Sector b = fat16Boot();
        if (r.wide) put16(&b[r.offset], r.value);
        else b[r.offset] = static_cast<uint8_t>(r.value);
        const auto boot = readFatBootSector(b);
        ASSERT_EQ(boot.has_value(), r.recognised) << r.what;
        if (boot) {
            EXPECT_EQ(boot->clusters(), r.clusters) << r.what;
        }
    }
}

TEST(OnCardReader, LargeCountsDoNotWrap) {
    Sector b = fat16Boot();
    put16(&b[bpb::kTotalSectors16], 0);
    put32(&b[bpb::kTotalSectors32], 0xFFFFFFFF);
    put16(&b[bpb::kFatSize16], 0);
    put32(&b[bpb32::kFatSize32], 0xFFFFFFFF);
    b[bpb::kNumFats] = 0xFF;
    const auto boot = readFatBootSector(b);
    ASSERT_TRUE(boot);
    EXPECT_EQ(boot->systemSectors(), 1 + 0xFFull * 0xFFFFFFFF + 32);
    EXPECT_EQ(boot->clusters(), 0u);
    EXPECT_TRUE(boot->fatHolds(0xFFFFFFFFull, 32));
}

TEST(OnCardReader, TheFatTypeChangesWhereTheCountsSayIt) {
    EXPECT_EQ(fatBitsForClusters(1), 12u);
    EXPECT_EQ(fatBitsForClusters(4084), 12u);
    EXPECT_EQ(fatBitsForClusters(4085), 16u);
    EXPECT_EQ(fatBitsForClusters(65524), 16u);
    EXPECT_EQ(fatBitsForClusters(65525), 32u);
    // A FAT12 entry is a byte and a half: 2 sectors hold 682 entries, so 680 clusters.
    Sector b = fat16Boot();
    put16(&b[bpb::kFatSize16], 2);
    const auto boot = readFatBootSector(b);
    ASSERT_TRUE(boot);
    EXPECT_TRUE(boot->fatHolds(680, 12));
    EXPECT_FALSE(boot->fatHolds(681, 12));
    EXPECT_TRUE(boot->fatHolds(510, 16));
    EXPECT_FALSE(boot->fatHolds(511, 16));
}

TEST(OnCardReader, PartitionTable) {
    Sector s{};
    uint8_t* e1 = &s[mbr::kPartitionTable + mbr::kEntryBytes];
    e1[mbr::kPartitionType] = 0x0C;
    put32(e1 + mbr::kFirstSector, 8192);
    put32(e1 + mbr::kSectorCount, 0xFFFFFFFF);
    s[mbr::kPartitionTable + 3 * mbr::kEntryBytes + mbr::kEndChs] = 1;
    auto t = readPartitionTable(s);
    ASSERT_TRUE(t);
    EXPECT_FALSE(t->signature);
    EXPECT_FALSE(t->entries[0].used);
    EXPECT_TRUE(t->entries[1].used);
    EXPECT_EQ(t->entries[1].type, 0x0C);
    EXPECT_EQ(t->entries[1].firstSector, 8192u);
    EXPECT_EQ(t->entries[1].sectorCount, 0xFFFFFFFFu);
    EXPECT_FALSE(t->entries[2].used);
    EXPECT_TRUE(t->entries[3].used);  // any byte counts
    putBootSignature(s.data());
    EXPECT_TRUE(readPartitionTable(s)->signature);
}

TEST(OnCardReader, FsInfoNeedsAllThreeSignatures) {
    Sector s{};
    std::memcpy(&s[fsinfo::kLeadSignature], "RRaA", 4);
    std::memcpy(&s[fsinfo::kStructSignature], "rrAa", 4);
    put32(&s[fsinfo::kFreeCount], 1234);
    put32(&s[fsinfo::kNextFree], 3);
    EXPECT_FALSE(readFsInfo(s));
    putBootSignature(s.data());
    ASSERT_TRUE(readFsInfo(s));
    EXPECT_EQ(readFsInfo(s)->freeCount, 1234u);
    s[fsinfo::kStructSignature] = 'R';
    EXPECT_FALSE(readFsInfo(s));
}

TEST(OnCardReader, OemParameterRecords) {
    Sector s{};
    uint8_t* flash = &s[3 * kOemRecordBytes];
    std::memcpy(flash, kFlashParametersGuid, sizeof kFlashParametersGuid);
    put32(flash + oem_record::kEraseBlockSize, 4 << 20);
    s[9 * kOemRecordBytes + 15] = 1;  // the last record, one GUID byte set
    std::fill_n(&s[5 * kOemRecordBytes], 16, 0xFF);  // a GUID all 0xFF, as other tools leave it
    s[6 * kOemRecordBytes + 15] = 0xFF;              // only its last GUID byte 0xFF
    const auto records = readOemParameters(s);
    ASSERT_TRUE(records);
    EXPECT_TRUE((*records)[0].empty);
    EXPECT_TRUE((*records)[3].flashParameters);
    EXPECT_EQ((*records)[3].eraseBlockBytes, 4u << 20);
    EXPECT_FALSE((*records)[9].empty);
    EXPECT_FALSE((*records)[9].flashParameters);
    EXPECT_TRUE((*records)[5].empty);
    EXPECT_FALSE((*records)[6].empty);
}

#ifndef _WIN32
// The first sectors of a volume that a peer makes, or empty when it is missing.
std::vector<uint8_t> peerVolume(const std::string& mkfs, const std::string& name) {
    const auto image = std::filesystem::path(::testing::TempDir()) / name;
    std::filesystem::remove(image);
    { std::ofstream(image).close(); }
    std::filesystem::resize_file(image, uint64_t{64} << 20);
    if (std::system((mkfs + " " + image.string() + " >/dev/null 2>&1").c_str()) != 0) return {};
    std::vector<uint8_t> bytes(12 * kSectorBytes);
    std::ifstream(image, std::ios::binary).read(reinterpret_cast<char*>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
    std::filesystem::remove(image);
    return bytes;
}

TEST(OnCardReader, BootSectorsOfMkfsFat) {
    for (uint32_t bits : {12u, 16u, 32u}) {
        // Small clusters for FAT16, so that 64 MiB holds more than FAT12's count.
        const std::string options = bits == 12 ? "-s 64" : bits == 16 ? "-s 4" : "-s 1";
        const auto v = peerVolume("/usr/sbin/mkfs.fat -F " + std::to_string(bits) + " " + options,
                                  "fat" + std::to_string(bits) + ".img");
        if (v.empty()) GTEST_SKIP() << "mkfs.fat missing";
        const auto boot = readFatBootSector({v.data(), kSectorBytes});
        ASSERT_TRUE(boot) << bits;
        EXPECT_EQ(boot->bytesPerSector, 512u);
        EXPECT_EQ(boot->totalSectors, 131072u);
        EXPECT_EQ(fatBitsForClusters(boot->clusters()), bits);
        EXPECT_TRUE(boot->fatHolds(boot->clusters(), bits));
        EXPECT_FALSE(readExFatBootSector({v.data(), kSectorBytes}));
        if (bits == 32) {
            EXPECT_EQ(boot->fatSize16, 0u);
            EXPECT_EQ(boot->fat32Fields.signature, 0x29);
            EXPECT_EQ(boot->rootCluster, 2u);
            const auto info = readFsInfo({v.data() + boot->fsInfoSector * kSectorBytes, kSectorBytes});
            ASSERT_TRUE(info);
            EXPECT_LE(info->freeCount, boot->clusters());
        } else {
            EXPECT_EQ(boot->fat16Fields.signature, 0x29);
        }
    }
}

TEST(OnCardReader, BootSectorOfMkfsExfat) {
    const auto v = peerVolume("/usr/sbin/mkfs.exfat", "exfat.img");
    if (v.empty()) GTEST_SKIP() << "mkfs.exfat missing";
    const auto boot = readExFatBootSector({v.data(), kSectorBytes});
    ASSERT_TRUE(boot);
    EXPECT_FALSE(readFatBootSector({v.data(), kSectorBytes}));
    EXPECT_TRUE(boot->mustBeZeroClear);
    EXPECT_TRUE(boot->signature);
    EXPECT_EQ(boot->bytesPerSectorShift, 9u);
    EXPECT_EQ(boot->volumeLength, 131072u);
    EXPECT_EQ(boot->fileSystemRevision, 0x0100u);
    EXPECT_GE(boot->fatOffset, 24u);
    EXPECT_GE(boot->clusterHeapOffset, boot->fatOffset + boot->fatLength * boot->numberOfFats);
    EXPECT_LE(boot->clusterHeapOffset + (uint64_t{boot->clusterCount} << boot->sectorsPerClusterShift),
              boot->volumeLength);
    const auto oem = readOemParameters({v.data() + exfat_boot::kOemParametersSector * kSectorBytes,
                                        kSectorBytes});
    ASSERT_TRUE(oem);
    for (const OemParameterRecord& record : *oem) EXPECT_TRUE(record.empty);
    Sector mustBeZero{};
    std::copy_n(v.begin(), kSectorBytes, mustBeZero.begin());
    mustBeZero[exfat_boot::kPartitionOffset - 1] = 1;
    EXPECT_FALSE(readExFatBootSector(mustBeZero)->mustBeZeroClear);
}
#endif

} // namespace
} // namespace brc
