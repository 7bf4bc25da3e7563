#include "app/drive_probes.h"

#include <cmath>
#include <cstdio>

#include "base/on_card_reader.h"
#include "device/driver_binding.h"
#include "device/system_checks.h"
#include "device/volume_access.h"
#include "os/os_services.h"
#include "progress/progress.h"
#include "res/message_ids.h"

namespace brc {

namespace {

constexpr uint64_t kTwoTiB = uint64_t{1} << 41;
constexpr uint64_t kAllOnesSize = 0x1FFFFFFFE00ull; // 4294967295 sectors of 512 bytes
constexpr uint32_t kProbeOpen = 0x8000;             // DDInit: a probe, not a format

bool libraryLoaded(const DriverBinding& driver) {
    return driver.driverRoute != 0 && driver.api.DDInit != nullptr;
}

// Undoes a switch to route 1 that a probe made: route 2 is bound again.
void backToRoute2(DriverBinding& driver) {
    if (driver.driverRoute == 1) switchDriverRoute(driver);
}

} // namespace

int32_t probeSdDrive(ProbeContext& ctx, const std::u16string& rootPath) {
    DriverBinding& driver = ctx.driver;
    const uint32_t drive = driveNumberOf(rootPath);
    if (driver.driverRoute == 1) {
        if (!libraryLoaded(driver)) return -1;
        uint32_t flags = 0;
        if (driver.api.DDChkSDCard(drive, &flags) != 0) {
            if (switchDriverRoute(driver) == 0) return -1;
            flags = 0;
            const uint32_t again = driver.api.DDChkSDCard(drive, &flags);
            switchDriverRoute(driver);
            if (again != 0) return -1;
        }
        return (flags & SDHOST_CHK_QUALIFIES) ? 1 : 0;
    }
    if (driver.driverRoute == 2) {
        if (!libraryLoaded(driver)) return -1;
        if (isFloppyDrive(ctx.sys, drive)) return 0;
        uint64_t freeBytes = 0, totalBytes = 0;
        if (ctx.sys.os.freeSpace(rootPath, freeBytes, totalBytes) && totalBytes != 0)
            return totalBytes <= kTwoTiB ? 1 : 0;
        VolumeInfo info;
        if (ctx.sys.os.volumeInfo(rootPath, info)) return 0;
        // Not ready is an empty slot; any other failure may be a card without a file system.
        return ctx.sys.os.lastError() == kErrorNotReady ? 0 : 1;
    }
    return 0;
}

uint32_t isFormattableDrive(ProbeContext& ctx, const std::u16string& rootPath) {
    return ctx.sys.os.driveType(rootPath) == DriveRemovable && probeSdDrive(ctx, rootPath) == 1 ? 1
                                                                                                : 0;
}

bool partitionOneSectors(const uint8_t* sector, uint32_t& sectors) {
    const auto table = readPartitionTable({sector, kSectorBytes});
    if (!table || !table->signature) return false;
    const auto& e = table->entries;
    auto unset = [](uint32_t v) { return v == 0 || v == 0xFFFFFFFFu; };
    if (unset(e[0].firstSector) && unset(e[0].sectorCount)) return false;
    if (uint64_t{e[0].firstSector} + e[0].sectorCount > (uint64_t{1} << 32)) return false;
    // Entry 1's end is taken in 32 bits; the others are compared in 64 so that none wraps.
    auto overlaps = [](const PartitionEntry& a, uint64_t first, uint64_t end) {
        return a.firstSector < end && uint64_t{a.firstSector} + a.sectorCount > first;
    };
    const uint32_t end1 = e[0].firstSector + e[0].sectorCount;
    for (size_t n = 1; n < 4; ++n) {
        if (e[n].sectorCount == 0) continue;
        if (overlaps(e[n], e[0].firstSector, end1)) return false;
        for (size_t m = n + 1; m < 4; ++m) {
            if (e[m].firstSector == 0 && e[m].sectorCount == 0) continue;
            const uint64_t end = uint64_t{e[n].firstSector} + e[n].sectorCount;
            if (overlaps(e[m], e[n].firstSector, end)) return false;
        }
    }
    sectors = e[0].sectorCount;
    return true;
}

uint32_t readCardGeometry(ProbeContext& ctx, const std::u16string& rootPath, uint32_t& userSectors,
                          uint16_t& bytesPerSector) {
    DriverBinding& driver = ctx.driver;
    if (!libraryLoaded(driver)) return 0;
    const uint32_t drive = driveNumberOf(rootPath);
    // Opening a file on the drive makes the system look at the medium again; what it finds
    // does not matter here.
    ctx.sys.os.wakeDrive(rootPath.substr(0, 2) + u"\\test");

    if (driver.api.DDInit(&driver.driverHandle, drive | kProbeOpen) != 0) {
        if (switchDriverRoute(driver) == 0) return 0;
        if (driver.api.DDInit(&driver.driverHandle, drive) != 0) {
            switchDriverRoute(driver);
            return 0;
        }
    }
    uint32_t user = 0, cylinders = 0, total = 0, heads = 0, spt = 0, prot8 = 0, eraseBlock = 0,
             reserved = 0;
    uint16_t bps = 0;
    uint8_t cardType = 0, busWidth = 0;
    if (driver.api.DDIdentify(&user, &cylinders, &total, &heads, &bps, &spt, &cardType, &prot8,
                              &busWidth, &eraseBlock, &reserved, driver.driverHandle) != 0) {
        driver.api.DDFini(driver.driverHandle);
        backToRoute2(driver);
        return 0;
    }
    uint32_t prot = 0;
    if (driver.api.DDSecureIdentify(&prot, driver.driverHandle) != 0) {
        driver.api.DDFini(driver.driverHandle);
        driver.driverHandle = 0;
        backToRoute2(driver);
        return 0;
    }
    if (driver.driverRoute == 1) {
        uint8_t sector[kSectorBytes] = {};
        uint32_t partition = 0;
        if (driver.api.DDReadPT(sector, 1, 0, driver.driverHandle) == 0 &&
            partitionOneSectors(sector, partition))
            user = partition;
    }
    const uint32_t closed = driver.api.DDFini(driver.driverHandle);
    backToRoute2(driver);
    if (closed != 0) return 0;
    userSectors = user;
    bytesPerSector = bps;
    return 1;
}

uint32_t probeEraseSupport(ProbeContext& ctx, const std::u16string& rootPath) {
    DriverBinding& driver = ctx.driver;
    bool switched = false;
    if (driver.driverRoute == 2) {
        if (switchDriverRoute(driver) == 0) return 0;
        switched = true;
    }
    uint32_t answer = 0;
    if (driver.driverRoute == 1 && libraryLoaded(driver)) {
        uint32_t handle = 0;
        if (driver.api.DDInit(&handle, driveNumberOf(rootPath)) == 0) {
            uint8_t mid[8] = {};
            answer = driver.api.DDGetMID(mid, 0, handle) == 0 ? 1 : 0;
            driver.api.DDFini(handle);
        }
    }
    if (switched) switchDriverRoute(driver);
    return answer;
}

CapacityText capacityText(uint64_t sizeBytes) {
    CapacityText out;
    if (sizeBytes == kAllOnesSize) {
        out.unknown = true;
        out.unit = u"   ";
        return out;
    }
    const uint32_t s = static_cast<uint32_t>(sizeBytes / kSectorBytes);
    // From the largest unit down: the first row whose lower limit the size reaches. Decimals
    // are cut, never rounded, and kept in single precision as users have always been shown it.
    struct Row {
        uint32_t atLeast;
        uint32_t shift; // sectors per unit, as a power of two
        int decimals;   // 0: a whole number
        const char* unit;
    };
    static constexpr Row kRows[] = {
        {2147483648u, 31, 2, "TB"}, {209715200u, 21, 0, "GB"}, {20971520u, 21, 1, "GB"},
        {2097152u, 21, 2, "GB"},    {204800u, 11, 0, "MB"},    {20480u, 11, 1, "MB"},
        {2048u, 11, 2, "MB"},       {0u, 1, 0, "KB"},
    };
    const Row* row = kRows;
    while (s < row->atLeast) ++row;
    char text[32];
    if (row->decimals == 0) {
        std::snprintf(text, sizeof text, "%d", static_cast<int>(s >> row->shift));
    } else {
        const double digits = row->decimals == 1 ? 10.0 : 100.0;
        const double quotient =
            static_cast<double>(s) / static_cast<double>(uint64_t{1} << row->shift);
        const float value = static_cast<float>(std::trunc(quotient * digits) / digits);
        std::snprintf(text, sizeof text, "%.*f", row->decimals, static_cast<double>(value));
    }
    const char* unit = row->unit;
    out.value = asciiToUtf16(text);
    out.unit = asciiToUtf16(unit);
    return out;
}

bool isUsableCard(uint32_t userSectors, uint16_t bytesPerSector) {
    if (userSectors == 0 && bytesPerSector == 2048) return false;
    return uint64_t{bytesPerSector} * userSectors <= kTwoTiB;
}

CardPicture pictureForSize(uint64_t sizeBytes) {
    if (sizeBytes <= (uint64_t{1} << 31)) return PictureSd;
    if (sizeBytes <= (uint64_t{1} << 35)) return PictureSdhc;
    return PictureSdxc;
}

uint32_t optionsSummaryId(FormatType type, bool sizeAdjustment) {
    switch (type) {
    case Quick: return sizeAdjustment ? msg::SummaryQuickAdjustOn : msg::SummaryQuickAdjustOff;
    case FullOverwrite:
        return sizeAdjustment ? msg::SummaryOverwriteAdjustOn : msg::SummaryOverwriteAdjustOff;
    case FullErase: return sizeAdjustment ? msg::SummaryEraseAdjustOn : msg::SummaryEraseAdjustOff;
    default:
        return sizeAdjustment ? msg::SummaryOverwriteEraseAdjustOn
                              : msg::SummaryOverwriteEraseAdjustOff;
    }
}

FormatType withoutErase(FormatType type) {
    if (type == FullOverwriteErase) return FullOverwrite;
    if (type == FullErase) return Quick;
    return type;
}

} // namespace brc
