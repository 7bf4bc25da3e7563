// The partition table: which entry holds the volume, and that entry against the rules' layout.
#include "check/check_parts.h"

namespace brc::check_parts {

// The partition the table describes: the first entry that gives a type and sectors; the other
// entries in use are counted. False when no entry gives one.
bool choosePartition(const PartitionTable& table, Partition& t) {
    t.present = true;
    bool chosen = false;
    for (unsigned i = 0; i < 4; ++i) {
        const PartitionEntry& e = table.entries[i];
        if (e.type != 0 && e.sectorCount != 0 && !chosen) {
            chosen = true;
            t.entryIndex = i;
            std::memcpy(t.entry, e.raw, mbr::kEntryBytes);
            t.first = e.firstSector;
            t.count = e.sectorCount;
        } else if (e.used) {
            ++t.otherEntries;
        }
    }
    return chosen;
}

// The boot sector that sector 0's partition table points to, read into `boot` and parsed into
// `v`; false with `f.noVolume` set when there is none. `sector0Why` says why sector 0 is no
// sound boot sector, when it looks like one.
bool findPartitionBootSector(const CardCapacity& capacity, const Card& card, const uint8_t* sector0,
                             const std::string& sector0Why, Found& f, Volume& v, uint8_t* boot) {
    const auto table = readPartitionTable({sector0, kSectorBytes});
    if (!table || !table->signature) {
        f.noVolume = "sector 0 holds neither a partition table nor a boot sector";
        return false;
    }
    Partition& t = f.table;
    if (!choosePartition(*table, t)) {
        f.noVolume = sector0Why.empty() ? "its partition table holds no partition" : sector0Why;
        return false;
    }
    if (t.first == 0) {
        f.noVolume = "its partition entry starts at sector 0, over the partition table itself";
        return false;
    }
    if (t.first >= capacity.userSectors) {
        f.noVolume = "its partition starts at sector " + grouped(t.first) +
                     ", past the card's last sector (" + grouped(capacity.userSectors - 1) + ")";
        return false;
    }
    f.boot = card.read(t.first, 1, boot);
    if (!f.boot.read()) {
        f.noVolume = "could not read sector " + grouped(t.first);
        return false;
    }
    std::string why;
    if (!parseBootSector(boot, v, why)) {
        f.noVolume = why.empty() ? "its partition at sector " + grouped(t.first) +
                                       " holds no FAT or exFAT boot sector"
                                 : "at sector " + grouped(t.first) + ", " + why;
        return false;
    }
    return true;
}

// The partition entry's own fields: where it sits in the table, its boot indicator, type byte
// and first sector.
void compareEntry(const Partition& t, const FormatPlan& plan, Findings& out) {
    const FormatParameters& e = plan.params;
    if (t.entryIndex != 0)
        out.add(problem::kPartitionEntry, "1", std::to_string(t.entryIndex + 1),
                "The rules describe the partition in the first entry of the partition table; on "
                "this card it is entry " +
                    std::to_string(t.entryIndex + 1) +
                    ", which hosts that read only the first entry do not find.");
    if (t.otherEntries != 0)
        out.add(problem::kOtherEntries, "0", std::to_string(t.otherEntries),
                "The rules leave the other three partition entries empty; this card has " +
                    std::to_string(t.otherEntries) +
                    " more in use, which hosts that expect a "
                    "single partition may ignore or refuse.");
    if (t.entry[mbr::kBootIndicator] != 0)
        out.add(problem::kBootIndicator, hexByte(0), hexByte(t.entry[mbr::kBootIndicator]),
                "The rules write boot indicator 0x00; this card's partition is marked " +
                    hexByte(t.entry[mbr::kBootIndicator]) +
                    " (bootable), which does not matter for storing files but is not what the "
                    "rules write.");
    const uint8_t type = partitionTypeByte(e, plan.userSectors);
    if (t.entry[mbr::kPartitionType] != type)
        out.add(problem::kPartitionType, hexByte(type), hexByte(t.entry[mbr::kPartitionType]),
                "The rules mark the partition with type " + hexByte(type) + " (" +
                    fsTypeName(e.fsType) + "); this card's partition has type " +
                    hexByte(t.entry[mbr::kPartitionType]) +
                    ", so hosts that go by the type byte may not recognise its file system.");
    if (t.first != e.partitionStart)
        out.add(problem::kPartitionStart, std::to_string(e.partitionStart), std::to_string(t.first),
                "The rules start the partition at sector " + grouped(e.partitionStart) +
                    "; on this card it starts at sector " + grouped(t.first) +
                    ", so the file system's areas lie elsewhere than the rules place them.");
}

// The partition's end: a start that differs shows in compareEntry, and moves the size with it.
void comparePartitionEnd(const Found& f, const FormatPlan& plan, Findings& out) {
    const Partition& t = f.table;
    const uint64_t end = t.first + t.count;
    if (end == plan.userSectors) return;
    std::string consequence;
    if (end > f.cardSectors)
        consequence = "it runs " + sectorsText(end - f.cardSectors) +
                      " past the end of the card, and writes there fail";
    else if (end < plan.userSectors)
        consequence = sectorsText(plan.userSectors - end) + " at the card's end stay unused";
    else
        consequence = "it takes in " + sectorsText(end - plan.userSectors) +
                      " at the card's end that the rules leave outside it";
    const uint32_t partitionSectors = plan.userSectors - plan.params.partitionStart;
    out.add(problem::kPartitionSectors, std::to_string(partitionSectors), std::to_string(t.count),
            "The rules end the partition at sector " + grouped(plan.userSectors - 1) +
                "; on this card it ends at sector " + grouped(end - 1) + ", so " + consequence +
                ".");
}

// One of the entry's CHS fields, held against the card's own start or end under the rules'
// geometry, so a moved partition shows once, in compareEntry, and not again here.
void compareChs(const Partition& t, const FormatParameters& e, const char* field, size_t offset,
                uint64_t sector, const char* what, Findings& out) {
    uint8_t want[3];
    putChsAddress(want, static_cast<uint32_t>(sector < UINT32_MAX ? sector : UINT32_MAX), e);
    if (std::memcmp(want, t.entry + offset, 3) != 0)
        out.add(field, chsText(want), chsText(t.entry + offset),
                std::string("The rules give the partition's ") + what + " sector " +
                    grouped(sector) + " the CHS address " + chsText(want) + " (" +
                    std::to_string(e.heads) + " heads, " + std::to_string(e.sectorsPerTrack) +
                    " sectors per track); this card has " + chsText(t.entry + offset) +
                    ", so hosts that still address the card by cylinder, head and sector "
                    "look for the partition elsewhere.");
}

void comparePartition(const Found& f, const FormatPlan& plan, Findings& out) {
    const Partition& t = f.table;
    if (!t.present) {
        // Without a volume either, the file-system deviation says what sector 0 holds.
        if (f.volumeKnown)
            out.add(
                problem::kPartitionTable,
                "partition at sector " + std::to_string(plan.params.partitionStart),
                "file system at sector 0",
                "The rules put a partition table in sector 0 and start the partition at sector " +
                    grouped(plan.params.partitionStart) +
                    "; this card has no partition table and its file system starts at sector 0, "
                    "so cameras and other hosts that look for a partition may not accept it.");
        return;
    }
    compareEntry(t, plan, out);
    comparePartitionEnd(f, plan, out);
    compareChs(t, plan.params, problem::kStartChs, mbr::kStartChs, t.first, "first", out);
    compareChs(t, plan.params, problem::kEndChs, mbr::kEndChs, t.first + t.count - 1, "last", out);
}

} // namespace brc::check_parts
