// What the whole-format tests share: the fake card in a format's context, a virtual card served
// by the real driver library, and a reader's view of where a freshly written volume keeps its
// root directory.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/system_os.h"
#include "base/environment.h"
#include "base/little_endian.h"
#include "device/driver_binding.h"
#include "engine/layout.h"
#include "format/write_sequence.h"
#include "exfat/exfat_writers.h"
#include "progress/progress.h"
#include "res/messages.h"
#include "tests/support/fake_card.h"

namespace brc::format_test {

using test::Op;
using test::Sector;
constexpr uint32_t kChunk = 64;

inline uint64_t roundUpToChunk(uint64_t sector) { return (sector + kChunk - 1) / kChunk * kChunk; }

// One format's worth of state over a fake card.
struct FakeRig {
    test::FakeCard card;
    DriverBinding driver{test::systemOs()};
    RunFlags flags;
    Progress progress{flags, nullptr};
    ExFatState exfat;
    ReportValues report;
    WriteContext ctx{driver, progress, exfat, report};

    FakeRig(uint32_t userSectors, uint32_t protectedSectors, uint32_t route = 2)
        : card(userSectors, protectedSectors) {
        card.install(driver, route);
    }
};

// ---- where the system area ends ---------------------------------------------------------------

// The root directory as a reader finds it: absolute first sector and length in sectors.
struct RootSpan {
    uint64_t first = 0, sectors = 0;
    uint64_t end() const { return first + sectors; }
};

// From the layout the pre-check hands back, by the published rules of each file system: FAT12
// and FAT16 keep 32 root sectors at the end of the system area; FAT32 has it in cluster 2;
// exFAT in the cluster after the allocation bitmap and the up-case table.
inline RootSpan rootFromLayout(const FormatParameters& p) {
    const uint64_t heap = uint64_t{p.partitionStart} + p.systemSectors;
    switch (p.fsType) {
    case Fat12:
    case Fat16: return {heap - 32, 32};
    case Fat32: return {heap, p.sectorsPerCluster};
    default: {
        const uint64_t clusterBytes = uint64_t{p.sectorsPerCluster} * 512;
        const uint64_t clusters = p.maxCluster - 1;
        const uint64_t bitmapClusters = ((clusters + 7) / 8 + clusterBytes - 1) / clusterBytes;
        const uint64_t upcaseClusters = (5836 + clusterBytes - 1) / clusterBytes;
        const uint64_t root = 2 + bitmapClusters + upcaseClusters;
        return {heap + (root - 2) * p.sectorsPerCluster, p.sectorsPerCluster};
    }
    }
}

// From the sectors on the card: the partition entry of the MBR and the volume's boot sector.
// `read` gives one absolute sector.
template <class Read> RootSpan rootFromCard(uint32_t fsType, Read read) {
    const Sector mbr = read(0);
    const uint64_t start = le32(mbr.data() + 454);
    const Sector boot = read(start);
    const uint8_t* b = boot.data();
    if (fsType == ExFat) {
        const uint64_t spc = uint64_t{1} << b[109];
        return {start + le32(b + 88) + (le32(b + 96) - 2) * spc, spc};
    }
    const uint64_t spc = b[13];
    const uint64_t fatArea = uint64_t{b[16]} * (le16(b + 22) ? le16(b + 22) : le32(b + 36));
    const uint64_t rootDir = start + le16(b + 14) + fatArea;
    if (fsType == Fat32) return {rootDir + (le32(b + 44) - 2) * spc, spc};
    return {rootDir, uint64_t{le16(b + 17)} * 32 / 512};
}

// ---- virtual cards served by the real driver library ------------------------------------------

// A sector no writer produces: a tag, the sector number, then a fixed non-zero body.
inline Sector patternSector(uint64_t s) {
    static const Sector body = [] {
        Sector b;
        for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<uint8_t>(0xA5 ^ (i * 31));
        std::memcpy(b.data(), "BRCPATRN", 8);
        return b;
    }();
    Sector v = body;
    std::memcpy(v.data() + 8, &s, sizeof s);
    return v;
}

// An image file opened for direct sector access by the test.
class ImageFile {
public:
    explicit ImageFile(const std::filesystem::path& path)
        : file_(path, std::ios::binary | std::ios::in | std::ios::out) {
        EXPECT_TRUE(file_.is_open()) << path;
    }

    Sector read(uint64_t s) {
        Sector v{};
        EXPECT_TRUE(readAt(v.data(), v.size(), s)) << s;
        return v;
    }
    void fillPattern(uint64_t first, uint64_t count) {
        std::vector<uint8_t> run;
        for (uint64_t s = first; s < first + count; s += kRun) {
            const uint64_t n = std::min<uint64_t>(kRun, first + count - s);
            run.resize(n * 512);
            for (uint64_t i = 0; i < n; ++i)
                std::memcpy(run.data() + i * 512, patternSector(s + i).data(), 512);
            file_.seekp(static_cast<std::streamoff>(s * 512));
            file_.write(reinterpret_cast<const char*>(run.data()), static_cast<std::streamsize>(run.size()));
            file_.flush();
            ASSERT_TRUE(file_.good()) << s;
        }
    }
    // The first sector of [first, first + count) that does (or, with want false, does not)
    // still hold the pattern; `first + count` when there is none.
    uint64_t findPattern(uint64_t first, uint64_t count, bool want) {
        std::vector<uint8_t> run;
        for (uint64_t s = first; s < first + count; s += kRun) {
            const uint64_t n = std::min<uint64_t>(kRun, first + count - s);
            run.resize(n * 512);
            EXPECT_TRUE(readAt(run.data(), run.size(), s)) << s;
            for (uint64_t i = 0; i < n; ++i) {
                const bool held = std::memcmp(run.data() + i * 512, patternSector(s + i).data(), 512) == 0;
                if (held == want) return s + i;
            }
        }
        return first + count;
    }

private:
    // Reads afresh from the file: what the library wrote since is seen.
    bool readAt(uint8_t* data, size_t length, uint64_t sector) {
        file_.clear();
        file_.sync();
        file_.seekg(static_cast<std::streamoff>(sector * 512));
        file_.read(reinterpret_cast<char*>(data), static_cast<std::streamsize>(length));
        return file_.gcount() == static_cast<std::streamsize>(length);
    }

    static constexpr uint64_t kRun = 2048;
    std::fstream file_;
};

// A sparse image of `sectors` sectors with its sidecar.
inline void createCard(const std::filesystem::path& image, uint64_t sectors,
                       const std::string& sidecar = "") {
    { std::ofstream create(image, std::ios::binary | std::ios::trunc); }
    std::filesystem::resize_file(image, sectors * 512);
    std::ofstream card(image.string() + ".card", std::ios::trunc);
    card << sidecar;
}

// BRINDLECARD_CARDS pointing drive Z: at one image while the object lives.
class CardsVariable {
public:
    explicit CardsVariable(const std::filesystem::path& image) {
        if (auto old = environmentVariable("BRINDLECARD_CARDS")) old_ = *old, hadOld_ = true;
        setEnvironmentVariable("BRINDLECARD_CARDS", "Z=" + std::filesystem::absolute(image).string());
    }
    ~CardsVariable() {
        if (hadOld_) setEnvironmentVariable("BRINDLECARD_CARDS", old_);
        else unsetEnvironmentVariable("BRINDLECARD_CARDS");
    }
    CardsVariable(const CardsVariable&) = delete;
    CardsVariable& operator=(const CardsVariable&) = delete;

private:
    std::string old_;
    bool hadOld_ = false;
};

constexpr uint32_t kDriveZ = 26;

// The real driver library of a route serving one image as drive Z:, opened as a format opens it.
struct LibraryRig {
    CardsVariable cards;
    DriverBinding driver{test::systemOs()};
    RunFlags flags;
    Progress progress{flags, nullptr};
    ExFatState exfat;
    ReportValues report;
    WriteContext ctx{driver, progress, exfat, report};
    bool open = false;

    LibraryRig(const std::filesystem::path& image, uint32_t route) : cards(image) {
        const std::string library = route == 1 ? BRC_QUILLHOST_PATH : BRC_QHOST32_PATH;
        if (bindDriverFile(driver, route, library) != BindResult::Bound) {
            ADD_FAILURE() << driver.lastError;
            return;
        }
        uint32_t handle = 0;
        const uint32_t drive = kDriveZ | (route == 2 ? SDHOST_INIT_ROUTE2 : 0u);
        const uint32_t r = driver.api.DDInit(&handle, drive);
        EXPECT_EQ(r, 0u) << "DDInit of " << image;
        driver.driverHandle = handle;
        open = r == 0;
    }
    ~LibraryRig() {
        if (open) driver.api.DDFini(driver.driverHandle);
    }
    LibraryRig(const LibraryRig&) = delete;
    LibraryRig& operator=(const LibraryRig&) = delete;

    FormatPlan plan(bool sizeAdjustment = false) {
        FormatPlan p;
        EXPECT_EQ(planFormat(driver, u"", sizeAdjustment, &p), 0u);
        return p;
    }
};

} // namespace brc::format_test
