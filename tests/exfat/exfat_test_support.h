// The fake card under a chunk stream for the exFAT writers, and exFAT layouts with their derived
// fields.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "tests/support/system_os.h"
#include "base/little_endian.h"
#include "device/driver_binding.h"
#include "engine/chunk_stream.h"
#include "exfat/exfat_writers.h"
#include "progress/progress.h"
#include "tests/support/fake_card.h"

namespace brc::exfat_test {

using test::Op;
using test::Sector;
constexpr uint32_t kNever = 0xFFFFFFFFu;

// One pass's chunk stream over a fake card.
struct Rig {
    test::FakeCard card{0xFFFFFFFFu};  // as large as sector numbers go: the writers never ask
    DriverBinding driver{test::systemOs()};
    RunFlags flags;
    Progress progress{flags, nullptr};
    std::vector<uint8_t> buffer = std::vector<uint8_t>(kChunkBytes, 0);
    ChunkStream stream{driver, progress, buffer.data(), 0};

    explicit Rig(uint32_t route = 2) { card.install(driver, route); }
};

struct LayoutRow {
    uint32_t userSectors, sectorsPerCluster, boundaryUnit, partitionStart, fatOffset, fatLength,
        clusterHeapOffset, maxCluster;
};

// The worked exFAT layouts.
constexpr LayoutRow k32GiB{67108864, 64, 8192, 8192, 8192, 8192, 24576, 1048065};
constexpr LayoutRow k64GiB{124735488, 256, 32768, 32768, 16384, 16384, 32768, 486993};
constexpr LayoutRow k1e9{1000000000, 512, 65536, 65536, 32768, 32768, 65536, 1952870};

// FormatParameters as the write pass hands them over: chunk fields and exFAT fields derived
// here by their published formulas, independently of the layout code.
inline FormatParameters exFatParams(const LayoutRow& row) {
    const auto ceilDiv = [](uint32_t a, uint32_t b) { return (a + b - 1) / b; };
    FormatParameters p{};
    p.fsType = ExFat;
    p.sectorsPerCluster = row.sectorsPerCluster;
    p.clusterBytes = row.sectorsPerCluster * 512;
    p.boundaryUnit = row.boundaryUnit;
    p.partitionStart = row.partitionStart;
    p.reservedSectors = row.fatOffset;
    p.fatSectors = row.fatLength;
    p.systemSectors = row.clusterHeapOffset;
    p.maxCluster = row.maxCluster;
    p.bootChunk = p.fsInfoChunk = p.bootSector2Chunk = p.backupBootChunk = p.backupFsInfoChunk =
        p.backupBootSector2Chunk = row.partitionStart / 64;
    p.fat1Chunk = (row.partitionStart + row.fatOffset) / 64;
    p.fat2Chunk = (row.partitionStart + row.fatOffset + row.fatLength) / 64;
    p.dataChunk = (row.partitionStart + row.fatOffset + 2 * row.fatLength) / 64;
    p.bitmapFirstCluster = 2;
    p.bitmapBytes = (row.maxCluster + 6) / 8;
    p.upcaseFirstCluster = 2 + ceilDiv(p.bitmapBytes, p.clusterBytes);
    p.upcaseBytes = 5836;
    p.rootFirstCluster = p.upcaseFirstCluster + ceilDiv(5836, p.clusterBytes);
    return p;
}

inline uint32_t clusterSector(const FormatParameters& p, uint32_t cluster) {
    return p.partitionStart + p.systemSectors + (cluster - 2) * p.sectorsPerCluster;
}

// Rotate right by one and add each byte, as exFAT readers check boot regions and up-case tables.
inline uint32_t rotateAddChecksum(uint32_t sum, const uint8_t* bytes, size_t n,
                                  bool skipVolatile = false) {
    for (size_t i = 0; i < n; ++i)
        if (!skipVolatile || (i != 106 && i != 107 && i != 112))
            sum = ((sum & 1u) ? 0x80000000u : 0u) + (sum >> 1) + bytes[i];
    return sum;
}

// A clock with a fixed time and fixed draws that records how it was used.
struct FixedClock {
    uint32_t seconds = 0x5F3759DFu;
    std::vector<uint32_t> draws{0x1A1, 0x2B2, 0x3C3, 0x4D4}, seeds;
    size_t drawn = 0;
    FormatClock clock{[] { return LocalTime{}; }, [this] { return seconds; },
                      [this](uint32_t s) { seeds.push_back(s); },
                      [this] { return draws[drawn++ % draws.size()]; }};
    FixedClock() = default;
    FixedClock(const FixedClock&) = delete;
};

// Both boot regions, FAT, bitmap, up-case table and root directory in the write pass's order,
// from the partition's chunk on (where the partition-table writer leaves the stream).
inline uint32_t writeSystemArea(Rig& rig, FormatParameters& p, uint32_t userSectors,
                                ExFatState& state, const char16_t* label) {
    rig.stream.writePosition = p.bootChunk * 64;
    uint32_t r = writeExFatBootRegion(rig.stream, p, userSectors, 0, state);
    if (!r) r = writeExFatBootRegion(rig.stream, p, userSectors, 12, state);
    if (!r) r = writeExFatFat(rig.stream, p);
    if (!r) r = writeExFatBitmap(rig.stream, p);
    for (uint32_t k = 0; k < 12 && !r; ++k) r = writeExFatUpcaseSector(rig.stream, p, k, k == 11);
    return r ? r : writeExFatRootDirectory(rig.stream, p, label);
}

} // namespace brc::exfat_test
