// Reading: sector 0, at most 24 sectors of the partition's boot area (the FAT32 backup sector
// and FSInfo copies one by one), then what the format writes after it: the first sectors of each
// FAT, the root directory's first sector and, on exFAT, the allocation bitmap's first sectors and
// the up-case table. A few hundred sectors at most: the one chain followed, a grown FAT32 or
// exFAT root directory's, ends where a directory's largest size does and reads at most 64 FAT
// sectors past those read, and of the bitmap no more than its first 64 sectors are read for it,
// so a hostile card costs little more than a sound one. Every count and offset from the card is
// checked in 64-bit arithmetic before a read or a division uses it.
#include "check/card_check.h"

#include "check/check_parts.h"

namespace brc {
namespace check_parts {

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
    checkBootFields(boot, v, f.structures);
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

// The deviations of the card from one of the rules' layouts.
std::vector<Deviation> compare(const Found& f, const FormatPlan& plan) {
    Findings out;
    comparePartition(f, plan, out);
    const FormatParameters& e = plan.params;
    const std::string typeName = fsTypeName(e.fsType);
    if (!f.volumeKnown && f.boot.got == Got::Failed) {
        out.list.push_back(
            unreadable(problem::kFsType, typeName, f.boot.sector, "the partition's boot sector"));
        return std::move(out.list);
    }
    if (!f.volumeKnown) {
        out.add(problem::kFsType, typeName, "none",
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

} // namespace check_parts

using namespace check_parts;

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
        result.verdict =
            found.boot.got == Got::Failed ? CheckVerdict::Unreadable : CheckVerdict::NoFileSystem;
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
        result.verdict =
            result.deviations.empty() ? CheckVerdict::Conforms : CheckVerdict::Deviates;
    }
    return result;
}

CardCheck checkCard(DriverBinding& driver) {
    CardCapacity capacity;
    if (const uint32_t rc = readCardCapacity(driver, capacity)) {
        CardCheck result;
        char code[16];
        std::snprintf(code, sizeof code, "0x%X", rc);
        result.problem =
            std::string("the card did not report its capacity (driver code ") + code + ")";
        return result;
    }
    if (driver.api.DDReadPT == nullptr) {
        CardCheck result;
        result.problem = "the driver library cannot read the card";
        return result;
    }
    const SectorReader read = [&driver](uint32_t first, uint32_t count, uint8_t* out) {
        for (uint32_t done = 0; done < count;) {
            const uint32_t n =
                count - done < SDHOST_MAX_TRANSFER ? count - done : SDHOST_MAX_TRANSFER;
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
