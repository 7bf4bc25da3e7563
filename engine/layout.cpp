// Layout of a card: capacity, geometry, cluster size, boundary unit, file-system type and the
// placement of the system area; the volume label's forms and checks.
//
// Sector arithmetic is 32-bit by the rules of the on-card formats, but the layout loops work in
// 64-bit: computeLayout accepts any user area up to 2^32 - 1 sectors and any cluster size, and
// sums such as partition start + system area + user area or (maxCluster + 1) x 16 must not wrap
// there. Every value stored back into FormatParameters fits 32 bits.
#include "engine/layout.h"

#include <cstring>

#include "base/on_card_fields.h"
#include "base/upcase_table.h"
#include "device/driver_binding.h"
#include "engine/fat_writers.h"

namespace brc {

namespace {

constexpr uint32_t kMaxIterations = 10000;
constexpr uint32_t kExFatBootRegions = 24; // main and backup boot regions

uint64_t ceilDiv(uint64_t a, uint64_t b) { return (a + b - 1) / b; }
uint64_t roundUp(uint64_t a, uint64_t unit) { return ceilDiv(a, unit) * unit; }

struct Layout {
    uint64_t partitionStart = 0;
    uint64_t reservedSectors = 0;
    uint64_t fatSectors = 0;
    uint64_t systemSectors = 0;
    uint64_t maxCluster = 0;
};

uint64_t fatSmallSectors(uint64_t maxCluster, uint64_t bits) {
    return ((maxCluster + 1) * bits + 4095) / 4096;
}

// FAT12/16: one reserved sector, two FATs and the root directory; the partition start is chosen
// so that partition start + system area ends on a boundary unit.
bool layoutFatSmall(uint64_t totalSectors, uint64_t sectorsPerCluster, uint64_t boundaryUnit,
                    uint64_t bits, Layout& out) {
    out.reservedSectors = 1;
    out.maxCluster = totalSectors / sectorsPerCluster + 1;
    uint64_t fatSectors = fatSmallSectors(out.maxCluster, bits);
    uint64_t next = 0;
    for (;;) {
        const uint64_t r = (2 * fatSectors + kFatRootDirSectors) % boundaryUnit;
        out.partitionStart = 2 * boundaryUnit - 1 - r;
        out.systemSectors = 2 * fatSectors + kFatRootDirSectors + 1;
        if (totalSectors < out.partitionStart + out.systemSectors) {
            return false;
        }
        out.maxCluster =
            (totalSectors - out.partitionStart - out.systemSectors) / sectorsPerCluster + 1;
        next = fatSmallSectors(out.maxCluster, bits);
        if (next == fatSectors) {
            out.fatSectors = fatSectors;
            return true;
        }
        if (next > fatSectors) {
            break;
        }
        if (--fatSectors == 0) {
            return false;
        }
    }
    // The FAT is one sector short: give up one boundary unit of clusters instead.
    out.partitionStart += boundaryUnit;
    if (totalSectors < out.partitionStart + out.systemSectors) {
        return false;
    }
    out.maxCluster =
        (totalSectors - out.partitionStart - out.systemSectors) / sectorsPerCluster + 1;
    if (fatSmallSectors(out.maxCluster, bits) != fatSectors) {
        return false;
    }
    out.fatSectors = fatSectors;
    return true;
}

// FAT32: the partition starts at one boundary unit; the reserved area pads the system area to a
// multiple of it.
bool layoutFat32(uint64_t totalSectors, uint64_t sectorsPerCluster, uint64_t boundaryUnit,
                 Layout& out) {
    out.partitionStart = boundaryUnit;
    uint64_t fatSectors = (totalSectors / sectorsPerCluster + 127) / 128;
    bool widened = false;
    for (uint32_t i = 0; i < kMaxIterations; ++i) {
        if (!widened) {
            out.reservedSectors = boundaryUnit - (2 * fatSectors) % boundaryUnit;
            if (out.reservedSectors < 9) {
                out.reservedSectors += boundaryUnit;
            }
            out.systemSectors = out.reservedSectors + 2 * fatSectors;
        }
        widened = false;
        if (totalSectors < boundaryUnit + out.systemSectors) {
            return false;
        }
        out.maxCluster = (totalSectors - boundaryUnit - out.systemSectors) / sectorsPerCluster + 1;
        if (out.maxCluster < 2) {
            return false;
        }
        const uint64_t next = (out.maxCluster + 128) / 128;
        if (next == fatSectors) {
            out.fatSectors = fatSectors;
            return true;
        }
        if (next > fatSectors) {
            out.reservedSectors += boundaryUnit;
            out.systemSectors += boundaryUnit;
            widened = true;
        } else {
            --fatSectors;
        }
    }
    return false;
}

// exFAT: FAT length in multiples of half a boundary unit, cluster heap on a boundary unit.
bool layoutExFat(uint64_t totalSectors, uint64_t sectorsPerCluster, uint64_t boundaryUnit,
                 Layout& out) {
    const uint64_t c = boundaryUnit / 2 != 0 ? boundaryUnit / 2 : 1;
    out.partitionStart = boundaryUnit;
    uint64_t fatLength = roundUp((totalSectors / sectorsPerCluster + 127) / 128, c);
    bool widened = false;
    for (uint32_t i = 0; i < kMaxIterations; ++i) {
        if (!widened) {
            out.systemSectors =
                ((boundaryUnit + fatLength + kExFatBootRegions - 1) / boundaryUnit) * boundaryUnit;
            out.reservedSectors = (out.systemSectors - fatLength) % boundaryUnit;
            if (out.reservedSectors < kExFatBootRegions) {
                out.reservedSectors += boundaryUnit;
                out.systemSectors += boundaryUnit;
            }
        }
        widened = false;
        if (totalSectors < boundaryUnit + out.systemSectors) {
            return false;
        }
        out.maxCluster = (totalSectors - boundaryUnit - out.systemSectors) / sectorsPerCluster + 1;
        if (out.maxCluster < 4) {
            return false;
        }
        const uint64_t next = roundUp((out.maxCluster + 128) / 128, c);
        if (next == fatLength) {
            out.fatSectors = fatLength;
            return true;
        }
        if (next > fatLength) {
            out.reservedSectors += boundaryUnit;
            out.systemSectors += boundaryUnit;
            widened = true;
        } else {
            fatLength -= c;
        }
    }
    return false;
}

// One of the FAT12/16 limits: the aligned end of the smallest system area for `fatSectors`
// plus the data area of the largest (or smallest) cluster count.
uint64_t fatSmallLimit(uint32_t fatSectors, FsType type, uint64_t dataSectors,
                       const FormatParameters& params) {
    const uint64_t withLead = alignedSystemEnd(1, 1, fatSectors, type, params);
    const uint64_t withoutLead = alignedSystemEnd(0, 1, fatSectors, type, params);
    return withLead + dataSectors + (withLead == withoutLead ? params.boundaryUnit : 0);
}

// The file-system type for a user area of `totalSectors`, by the four limits. Between FAT12 and
// FAT16, and between FAT16 and FAT32, the lower type is kept and the user area cut to its limit.
FsType chooseFsType(uint64_t& totalSectors, const FormatParameters& params) {
    const uint64_t fat12Limit = fatSmallLimit(12, Fat12, kFat12MaxClusters * 32, params);
    const uint64_t fat16Start = fatSmallLimit(16, Fat16, (kFat12MaxClusters + 1) * 32, params);
    const uint64_t fat16Limit = fatSmallLimit(256, Fat16, kFat16MaxClusters * 64, params);
    const uint64_t fat32Start =
        uint64_t{alignedSystemEnd(params.boundaryUnit, 9, 512, Fat32, params)} +
        (kFat16MaxClusters + 1) * 64;

    if (totalSectors <= fat12Limit) {
        return Fat12;
    }
    if (totalSectors < fat16Start) {
        // Too many clusters for FAT12, too few for FAT16: the rest is left unused.
        totalSectors = fat12Limit;
        return Fat12;
    }
    if (totalSectors <= fat16Limit) {
        return Fat16;
    }
    if (totalSectors < fat32Start) {
        totalSectors = fat16Limit;
        return Fat16;
    }
    return totalSectors < kExFatThreshold ? Fat32 : ExFat;
}

bool layoutFor(FsType type, uint64_t totalSectors, const FormatParameters& params, Layout& out) {
    const uint64_t sectorsPerCluster = params.sectorsPerCluster;
    const uint64_t boundaryUnit = params.boundaryUnit;
    switch (type) {
    case Fat12: return layoutFatSmall(totalSectors, sectorsPerCluster, boundaryUnit, 12, out);
    case Fat16: return layoutFatSmall(totalSectors, sectorsPerCluster, boundaryUnit, 16, out);
    case Fat32: return layoutFat32(totalSectors, sectorsPerCluster, boundaryUnit, out);
    case ExFat: return layoutExFat(totalSectors, sectorsPerCluster, boundaryUnit, out);
    }
    return false;
}

// Whether every reader will take the layout for the type it was made as.
bool readersAgree(FsType type, const Layout& out, const FormatParameters& params) {
    // Readers tell FAT12, FAT16 and FAT32 apart by the cluster count. The cluster size follows
    // the whole card but the type the user area, so a protected area many times the user area
    // could give e.g. a FAT16 of 2,042 clusters, which every reader takes for FAT12. Such a
    // layout is not valid.
    // A card too small for a single data cluster would get a volume no reader can mount.
    if (out.maxCluster < 2) {
        return false;
    }
    const uint64_t clusters = out.maxCluster - 1;
    const bool countFits = type == Fat12 ? clusters <= kFat12MaxClusters
                           : type == Fat16
                               ? clusters > kFat12MaxClusters && clusters <= kFat16MaxClusters
                           : type == Fat32 ? clusters > kFat16MaxClusters
                                           : true;
    // FAT boot sectors hold the cluster size in one byte (at most 128 sectors). A protected area
    // that lifts the card total past 32 GiB while the user area stays FAT32 would choose 256.
    return countFits && (type == ExFat || params.sectorsPerCluster <= 128);
}

template <size_t N>
void copyUnits(char16_t (&dst)[N], const std::u16string& src, size_t units) {
    std::memset(dst, 0, sizeof dst);
    for (size_t i = 0; i < units && i < src.size(); ++i) {
        dst[i] = src[i];
    }
}

uint32_t checkLabel(const char16_t (&shortForm)[12], const char16_t (&longForm)[21],
                    const char16_t* forbidden) {
    uint32_t bits = 0;
    for (size_t i = 0; i < 12; ++i) {
        const char16_t u = shortForm[i];
        if (u == 0) {
            if (longForm[i] != 0) {
                bits |= kLabelTooLong;
            }
            break;
        }
        if (u < 0x20) {
            bits |= kLabelControlChar;
            break;
        }
        for (const char16_t* f = forbidden; *f != 0; ++f) {
            if (u == *f) {
                bits |= kLabelForbiddenChar;
                break;
            }
        }
    }
    return bits;
}

} // namespace

uint32_t readCardCapacity(DriverBinding& driver, CardCapacity& capacity) {
    if (driver.api.DDIdentify == nullptr || driver.api.DDSecureIdentify == nullptr) {
        return kNoDriverBound; // there is no capacity to work from
    }
    uint32_t user = 0, cylinders = 0, total = 0, heads = 0, spt = 0, prot8 = 0, eraseBlock = 0,
             reserved = 0;
    uint16_t bytesPerSector = 0;
    uint8_t cardType = 0, busWidth = 0;
    uint32_t rc =
        driver.api.DDIdentify(&user, &cylinders, &total, &heads, &bytesPerSector, &spt, &cardType,
                              &prot8, &busWidth, &eraseBlock, &reserved, driver.driverHandle);
    if (rc != 0) {
        return rc;
    }
    uint32_t prot = 0;
    rc = driver.api.DDSecureIdentify(&prot, driver.driverHandle);
    if (rc != 0) {
        return rc;
    }
    capacity.userSectors = user;
    capacity.protectedSectors = prot;
    return 0;
}

CapacityResult computeCapacity(const CardCapacity& capacity, uint32_t& userSectors,
                               FormatParameters& params, bool sizeAdjustment) {
    const uint32_t user = capacity.userSectors;
    if (user >= kRefusedBandFirst && user <= kRefusedBandLast) {
        return CapacityRefused;
    }
    userSectors = user;
    params.cardTotalSectors = uint64_t{user} + capacity.protectedSectors;
    chooseGeometry(params.cardTotalSectors, params);
    if (sizeAdjustment) {
        const uint32_t cylinder = params.heads * params.sectorsPerTrack;
        const uint32_t cut = userSectors % cylinder;
        userSectors -= cut;
        params.cardTotalSectors -= cut;
    }
    return CapacityAccepted;
}

void chooseGeometry(uint64_t cardTotalSectors, FormatParameters& params) {
    struct Row {
        uint64_t atMost;
        uint32_t heads;
        uint32_t sectorsPerTrack;
    };
    static constexpr Row kRows[] = {
        {4096, 2, 16},     {32768, 2, 32},    {65536, 4, 32},
        {262144, 8, 32},   {524288, 16, 32},  {1032192, 16, 63},
        {2064384, 32, 63}, {4128768, 64, 63}, {8257536, 128, 63},
    };
    params.heads = 255;
    params.sectorsPerTrack = 63;
    for (const Row& row : kRows) {
        if (cardTotalSectors <= row.atMost) {
            params.heads = row.heads;
            params.sectorsPerTrack = row.sectorsPerTrack;
            break;
        }
    }
}

void chooseClusterAndBoundary(uint64_t cardTotalSectors, FormatParameters& params) {
    struct Row {
        uint64_t atMost;
        uint32_t value;
    };
    static constexpr Row kCluster[] = {
        {16384, 16}, {2097152, 32}, {67108864, 64}, {268435456, 256}, {1073741824, 512},
    };
    static constexpr Row kBoundary[] = {
        {16384, 16},      {131072, 32},       {524288, 64},        {4194304, 128},
        {67108864, 8192}, {268435456, 32768}, {1073741824, 65536},
    };
    params.sectorsPerCluster = 1024;
    for (const Row& row : kCluster) {
        if (cardTotalSectors <= row.atMost) {
            params.sectorsPerCluster = row.value;
            break;
        }
    }
    params.boundaryUnit = 131072;
    for (const Row& row : kBoundary) {
        if (cardTotalSectors <= row.atMost) {
            params.boundaryUnit = row.value;
            break;
        }
    }
    params.clusterBytes = params.sectorsPerCluster * kSectorBytes;
}

uint32_t alignedSystemEnd(uint32_t lead, uint32_t reserved, uint32_t fatSectors, FsType type,
                          const FormatParameters& params) {
    uint64_t end = uint64_t{lead} + reserved + 2 * uint64_t{fatSectors};
    if (type != Fat32) {
        end += kFatRootDirSectors;
    }
    if (params.boundaryUnit != 0) {
        end = roundUp(end, params.boundaryUnit);
    }
    return end > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(end);
}

LayoutResult computeLayout(uint32_t& userSectors, FormatParameters& params) {
    if (params.boundaryUnit == 0 || params.sectorsPerCluster == 0) {
        return NoValidLayout;
    }
    uint64_t totalSectors = userSectors;
    const FsType type = chooseFsType(totalSectors, params);
    Layout out;
    if (!layoutFor(type, totalSectors, params, out) || !readersAgree(type, out, params)) {
        return NoValidLayout;
    }
    params.fsType = type;
    params.partitionStart = static_cast<uint32_t>(out.partitionStart);
    params.reservedSectors = static_cast<uint32_t>(out.reservedSectors);
    params.fatSectors = static_cast<uint32_t>(out.fatSectors);
    params.systemSectors = static_cast<uint32_t>(out.systemSectors);
    params.maxCluster = static_cast<uint32_t>(out.maxCluster);
    userSectors = static_cast<uint32_t>(totalSectors);
    return LayoutDone;
}

void fillChunkFields(FormatParameters& params) {
    const uint64_t start = params.partitionStart;
    const auto chunk = [](uint64_t sector) { return static_cast<uint32_t>(sector / 64); };
    params.bootChunk = chunk(start);
    if (params.fsType == Fat32) {
        params.fsInfoChunk = chunk(start + 1);
        params.bootSector2Chunk = chunk(start + 2);
        params.backupBootChunk = chunk(start + 6);
        params.backupFsInfoChunk = chunk(start + 7);
        params.backupBootSector2Chunk = chunk(start + 8);
    } else {
        params.fsInfoChunk = params.bootChunk;
        params.bootSector2Chunk = params.bootChunk;
        params.backupBootChunk = params.bootChunk;
        params.backupFsInfoChunk = params.bootChunk;
        params.backupBootSector2Chunk = params.bootChunk;
    }
    const uint64_t fat1 = start + params.reservedSectors;
    params.fat1Chunk = chunk(fat1);
    params.fat2Chunk = chunk(fat1 + params.fatSectors);
    params.dataChunk = chunk(fat1 + 2 * uint64_t{params.fatSectors});
}

void fillExFatFields(FormatParameters& params) {
    uint64_t clusterBytes = params.clusterBytes;
    if (clusterBytes == 0) {
        clusterBytes = uint64_t{params.sectorsPerCluster != 0 ? params.sectorsPerCluster : 1} * 512;
    }
    params.bitmapFirstCluster = 2;
    params.bitmapBytes = static_cast<uint32_t>((uint64_t{params.maxCluster} + 6) / 8);
    params.upcaseFirstCluster = static_cast<uint32_t>(params.bitmapFirstCluster +
                                                      ceilDiv(params.bitmapBytes, clusterBytes));
    params.upcaseBytes = kUpcaseTableBytes;
    params.rootFirstCluster =
        static_cast<uint32_t>(params.upcaseFirstCluster + ceilDiv(kUpcaseTableBytes, clusterBytes));
}

VolumeLabelForms makeLabelForms(const std::u16string& label, const CodePage& oem) {
    VolumeLabelForms forms{};

    const std::u16string text = label.substr(0, 63);
    // Upper-cased unit by unit as the system does it, before the code page sees the text.
    std::u16string upper = text;
    for (char16_t& u : upper) u = upcaseUnit(u);

    const std::string bytes = oem.encode(upper, 11);
    std::memcpy(forms.oemBytes, bytes.data(), bytes.size() < 11 ? bytes.size() : 11);
    copyUnits(forms.oemShort, oem.decode(bytes.substr(0, 11)), 11);
    copyUnits(forms.oemLong, oem.decode(oem.encode(upper, 63)), 21);

    const std::u16string utf8 = utf8ToUtf16(utf16ToUtf8(text, 63));
    copyUnits(forms.utf8Short, utf8, 11);
    copyUnits(forms.utf8Long, utf8, 21);
    return forms;
}

void clearLabelForms(VolumeLabelForms& forms) {
    std::memset(forms.oemBytes, 0, sizeof forms.oemBytes);
    std::memset(forms.oemShort, 0, sizeof forms.oemShort);
    std::memset(forms.utf8Short, 0, sizeof forms.utf8Short);
}

uint32_t checkFatLabel(const VolumeLabelForms& forms) {
    static constexpr char16_t kForbidden[] = u"\"*+,./:;<=>?[\\]|";
    return checkLabel(forms.oemShort, forms.oemLong, kForbidden);
}

uint32_t checkExFatLabel(const VolumeLabelForms& forms) {
    static constexpr char16_t kForbidden[] = u"\"*/:<>?\\|";
    return checkLabel(forms.utf8Short, forms.utf8Long, kForbidden);
}

PlanResult planFormat(const CardCapacity& capacity, const std::u16string& label,
                      bool sizeAdjustment, FormatPlan* plan, const CodePage& oem) {
    FormatPlan local;
    FormatPlan& p = plan != nullptr ? *plan : local;
    p = FormatPlan{};
    p.capacity = capacity;
    p.sizeAdjustment = sizeAdjustment;
    p.params.labelForms = makeLabelForms(label, oem);

    if (computeCapacity(capacity, p.userSectors, p.params, sizeAdjustment) != CapacityAccepted) {
        return NoLayout;
    }
    p.capacityKnown = true;

    chooseClusterAndBoundary(p.params.cardTotalSectors, p.params);
    p.tablesChosen = true;
    if (p.userSectors == 0) {
        return NoLayout;
    }

    if (computeLayout(p.userSectors, p.params) != LayoutDone) {
        return NoLayout;
    }
    p.labelBits = p.params.fsType == ExFat ? checkExFatLabel(p.params.labelForms)
                                           : checkFatLabel(p.params.labelForms);
    p.layoutDone = true;
    return p.labelBits != 0 ? LabelRejected : Planned;
}

uint32_t planFormat(DriverBinding& driver, const std::u16string& label, bool sizeAdjustment,
                    FormatPlan* plan, const CodePage& oem) {
    if (plan != nullptr) *plan = FormatPlan{};
    CardCapacity capacity;
    if (const uint32_t rc = readCardCapacity(driver, capacity)) return rc;
    return planFormat(capacity, label, sizeAdjustment, plan, oem);
}

FormatResult checkFormatPlan(const std::u16string& label, bool sizeAdjustment,
                             DriverBinding& driver, FormatPlan* plan, const CodePage& oem) {
    if (plan != nullptr) *plan = FormatPlan{};
    CardCapacity capacity;
    if (const uint32_t rc = readCardCapacity(driver, capacity)) {
        // The identify calls' results are mapped by number, so a driver code equal to
        // InvalidLabel reads as that result too.
        return rc == static_cast<uint32_t>(InvalidLabel) ? InvalidLabel
                                                         : failedStepResult(driver, rc);
    }
    switch (planFormat(capacity, label, sizeAdjustment, plan, oem)) {
    case Planned: return Success;
    case LabelRejected: return InvalidLabel;
    case NoLayout: break;
    }
    return Failed;
}

FormatResult failedStepResult(const DriverBinding& driver, uint32_t code) {
    if (driver.driverRoute == 2 && code == SDHOST_ERR_OUT_OF_MEMORY) return OutOfMemory;
    if (code == static_cast<uint32_t>(WriteProtected)) return WriteProtected;
    if (code == static_cast<uint32_t>(OutOfMemory)) return OutOfMemory;
    return Failed;
}

} // namespace brc
