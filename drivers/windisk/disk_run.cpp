#include "drivers/windisk/disk_run.h"

#include "device/sdhost_abi.h"

namespace brc::windisk {
namespace {

std::string shown(const DiskIdentity& d) {
    std::string name = d.vendor + (d.vendor.empty() ? "" : " ") + d.product;
    if (name.empty()) name = "no name";
    return "PhysicalDrive" + std::to_string(d.number) + ", " + name + ", " +
           std::to_string(d.bytes) + " bytes";
}

} // namespace

std::optional<DiskIdentity> identityOf(const DiskFacts& facts) {
    if (!facts.number) return std::nullopt;
    DiskIdentity d;
    d.number = facts.number->number;
    if (facts.descriptor) {
        d.vendor = facts.descriptor->vendor;
        d.product = facts.descriptor->product;
        d.serial = facts.descriptor->serial;
    }
    d.bytes = diskBytes(facts);
    return d;
}

void DiskRuns::begin(unsigned index) {
    forget(index);
    if (index < kShelfDrives) shelf_.drives[index].going = 1;
}

void DiskRuns::forget(unsigned index) {
    if (index >= kShelfDrives) return;
    ShelfDrive& d = shelf_.drives[index];
    const uint32_t open = d.open;
    d = ShelfDrive{};
    d.open = open;
}

void DiskRuns::end(unsigned index) {
    if (index < kShelfDrives) shelf_.drives[index].going = 0;
}

bool DiskRuns::anyGoing() const {
    for (const ShelfDrive& d : shelf_.drives)
        if (d.going) return true;
    return false;
}

Verdict DiskRuns::admit(unsigned index, const DiskIdentity& reached) {
    if (!going(index)) return {};
    ShelfDrive& d = shelf_.drives[index];
    if (!d.known) {
        d.known = 1;
        d.number = reached.number;
        d.bytes = reached.bytes;
        copyText(d.vendor, reached.vendor);
        copyText(d.product, reached.product);
        copyText(d.serial, reached.serial);
        return {};
    }
    if (isRunDisk(index, reached)) return {};
    // Only the disk the run began on may be written; whatever now answers is not that card.
    return {SDHOST_ERR_NO_CARD, driveName(index) + " now leads to " + shown(reached) +
                                    ", not to the card this format began on (" +
                                    shown(*disk(index)) + "); nothing more is written to it"};
}

bool DiskRuns::isRunDisk(unsigned index, const DiskIdentity& reached) const {
    const std::optional<DiskIdentity> began = disk(index);
    if (!began) return false;
    // Compared as kept: a name too long for the shelf is cut alike on both sides.
    const ShelfDrive& d = shelf_.drives[index];
    DiskIdentity now = reached;
    now.vendor = asKept(d.vendor, now.vendor);
    now.product = asKept(d.product, now.product);
    now.serial = asKept(d.serial, now.serial);
    return now == *began;
}

std::optional<DiskIdentity> DiskRuns::disk(unsigned index) const {
    if (index >= kShelfDrives || !shelf_.drives[index].known) return std::nullopt;
    const ShelfDrive& d = shelf_.drives[index];
    return DiskIdentity{d.number, d.vendor, d.product, d.serial, d.bytes};
}

void DiskRuns::noteWritten(unsigned index) {
    if (going(index)) shelf_.drives[index].written = 1;
}

void DiskRuns::noteSilent(unsigned index) {
    if (going(index)) shelf_.drives[index].silent = 1;
}

void DiskRuns::notePartition(unsigned index, uint64_t offset) {
    if (going(index)) shelf_.drives[index].partition = offset;
}

uint64_t firstPartitionOffset(const uint8_t* sector) {
    if (sector[510] != 0x55 || sector[511] != 0xAA) return 0;
    const uint8_t* entry = sector + 446;
    if (entry[4] == 0) return 0; // no partition type: the entry is empty
    const uint32_t first = entry[8] | entry[9] << 8 | entry[10] << 16 | uint32_t{entry[11]} << 24;
    return uint64_t{first} * 512;
}

void DiskRuns::opened(unsigned index) {
    if (index < kShelfDrives) ++shelf_.drives[index].open;
}

void DiskRuns::closed(unsigned index) {
    if (index < kShelfDrives && shelf_.drives[index].open > 0) --shelf_.drives[index].open;
}

bool sendsUpdate(bool runGoing, bool writtenInRun) { return writtenInRun && !runGoing; }

Vetting vetOpening(DiskSystem& system, unsigned index, DiskRuns runs) {
    Vetting v;
    v.facts = factsOf(system, index);
    v.verdict = judge(v.facts);
    if (v.verdict.code != SDHOST_OK) return v;
    if (const auto reached = identityOf(v.facts)) v.verdict = runs.admit(index, *reached);
    return v;
}

} // namespace brc::windisk
