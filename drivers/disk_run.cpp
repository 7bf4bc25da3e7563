#include "drivers/disk_run.h"

#include "device/sdhost_abi.h"

namespace brc::windisk {
namespace {

std::string shown(const DiskIdentity& d) {
    std::string name = d.vendor + (d.vendor.empty() ? "" : " ") + d.product;
    if (name.empty()) name = "no name";
    return "PhysicalDrive" + std::to_string(d.number) + ", " + name + ", " + std::to_string(d.bytes) + " bytes";
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
    if (index < kDrives) runs_[index].going = true;
}

void DiskRuns::forget(unsigned index) {
    if (index >= kDrives) return;
    const unsigned open = runs_[index].open;
    runs_[index] = Run{};
    runs_[index].open = open;
}

void DiskRuns::end(unsigned index) {
    if (index < kDrives) runs_[index].going = false;
}

bool DiskRuns::anyGoing() const {
    for (const Run& r : runs_)
        if (r.going) return true;
    return false;
}

Verdict DiskRuns::admit(unsigned index, const DiskIdentity& reached) {
    if (!going(index)) return {};
    Run& run = runs_[index];
    if (!run.disk) {
        run.disk = reached;
        return {};
    }
    if (*run.disk == reached) return {};
    // Only the disk the run began on may be written; whatever now answers is not that card.
    return {SDHOST_ERR_NO_CARD, driveName(index) + " now leads to " + shown(reached) +
                                    ", not to the card this format began on (" + shown(*run.disk) +
                                    "); nothing more is written to it"};
}

std::optional<DiskIdentity> DiskRuns::disk(unsigned index) const {
    return index < kDrives ? runs_[index].disk : std::nullopt;
}

void DiskRuns::noteWritten(unsigned index) {
    if (going(index)) runs_[index].written = true;
}

void DiskRuns::opened(unsigned index) {
    if (index < kDrives) ++runs_[index].open;
}

void DiskRuns::closed(unsigned index) {
    if (index < kDrives && runs_[index].open > 0) --runs_[index].open;
}

bool sendsUpdate(bool runGoing, bool writtenInRun) { return writtenInRun && !runGoing; }

Vetting vetOpening(DiskSystem& system, unsigned index, DiskRuns& runs) {
    Vetting v;
    v.facts = factsOf(system, index);
    v.verdict = judge(v.facts);
    if (v.verdict.code != SDHOST_OK) return v;
    if (const auto reached = identityOf(v.facts)) v.verdict = runs.admit(index, *reached);
    return v;
}

} // namespace brc::windisk
