// What Windows' label call (SetVolumeLabelW) leaves on a FAT32 card: it mounts the volume to
// write the label, so FAT entry 1 loses its clean-shutdown bit in every FAT copy, and both FSInfo
// copies receive the free count and next-free hint the mounted driver keeps. Our own label write
// leaves the card clean; the format's FAT32 repair is tested against this state instead.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>

#include "base/little_endian.h"
#include "base/on_card_fields.h"
#include "tests/support/fake_card.h"

namespace brc::test {

constexpr uint32_t kFat32CleanShutdown = 0x08000000;

// One card's sectors, counted from sector 0.
struct SectorAccess {
    std::function<Sector(uint64_t)> read;
    std::function<void(uint64_t, const Sector&)> write;
};

inline SectorAccess sectorsOf(SectorMap& card) {
    return {[&card](uint64_t s) { return card.get(static_cast<uint32_t>(s)); },
            [&card](uint64_t s, const Sector& v) { card.put(static_cast<uint32_t>(s), v.data()); }};
}

inline SectorAccess sectorsOf(const std::filesystem::path& image) {
    auto file = std::make_shared<std::fstream>(image, std::ios::binary | std::ios::in | std::ios::out);
    return {[file](uint64_t s) {
                Sector v{};
                file->seekg(static_cast<std::streamoff>(s * v.size()));
                file->read(reinterpret_cast<char*>(v.data()), static_cast<std::streamsize>(v.size()));
                return v;
            },
            [file](uint64_t s, const Sector& v) {
                file->seekp(static_cast<std::streamoff>(s * v.size()));
                file->write(reinterpret_cast<const char*>(v.data()), static_cast<std::streamsize>(v.size()));
                file->flush();
            }};
}

// Leaves the FAT32 volume of the card's first partition as a mounted driver does. False, with
// nothing written, when that partition holds no FAT32 volume of 512-byte sectors.
inline bool markFat32Mounted(const SectorAccess& card) {
    const uint64_t start = le32(card.read(0).data() + mbr::kPartitionTable + mbr::kFirstSector);
    const Sector boot = card.read(start);
    const uint8_t* b = boot.data();
    if (le16(b + bpb::kBytesPerSector) != 512 || le16(b + bpb::kFatSize16) != 0 ||
        b[bpb::kSectorsPerCluster] == 0)
        return false;
    const uint64_t reserved = le16(b + bpb::kReservedSectors), fats = b[bpb::kNumFats];
    const uint64_t fatSectors = le32(b + bpb32::kFatSize32);
    const uint64_t system = reserved + fats * fatSectors, total = le32(b + bpb::kTotalSectors32);
    if (fats == 0 || total <= system) return false;
    const uint64_t clusters = (total - system) / b[bpb::kSectorsPerCluster];

    // The driver's counts, from the first FAT: free clusters and the first free one.
    uint32_t freeCount = 0, nextFree = 0xFFFFFFFF;
    Sector fat{};
    for (uint64_t n = 2; n < clusters + 2; ++n) {
        if (n == 2 || n % 128 == 0) fat = card.read(start + reserved + n / 128);
        if ((le32(fat.data() + n % 128 * 4) & 0x0FFFFFFF) != 0) continue;
        ++freeCount;
        if (nextFree == 0xFFFFFFFF) nextFree = static_cast<uint32_t>(n);
    }
    const uint64_t info = le16(b + bpb32::kFsInfoSector), backup = le16(b + bpb32::kBackupBootSector);
    if (info == 0 || backup == 0 || backup + info >= reserved) return false;
    for (uint64_t s : {info, backup + info}) {
        Sector v = card.read(start + s);
        put32(v.data() + fsinfo::kFreeCount, freeCount);
        put32(v.data() + fsinfo::kNextFree, nextFree);
        card.write(start + s, v);
    }
    for (uint64_t copy = 0; copy < fats; ++copy) {
        const uint64_t s = start + reserved + copy * fatSectors;
        Sector v = card.read(s);
        put32(v.data() + 4, le32(v.data() + 4) & ~kFat32CleanShutdown);
        card.write(s, v);
    }
    return true;
}

} // namespace brc::test
