// A format run's disk on Windows. A format closes and reopens the card several times (the
// sector-0 write, the overwrite, the erase, the file system), and each opening finds the disk
// again through the drive letter. A letter can move in between (a card swapped, the disk
// enumerated anew), so the run fixes at its first opening which disk it formats, and an opening
// that reaches any other disk is refused before it writes. The decisions are portable and run on
// recorded answers.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "drivers/disk_answers.h"

namespace brc::windisk {

// What tells one disk from another: its number and what the disk itself answers.
struct DiskIdentity {
    uint32_t number = 0;
    std::string vendor, product, serial;
    uint64_t bytes = 0;
    bool operator==(const DiskIdentity&) const = default;
};
// Of a disk whose number is known; nullopt otherwise.
std::optional<DiskIdentity> identityOf(const DiskFacts& facts);

// The runs of one library module, by drive index (0 = A:): from the front end's hold on a drive
// (DDHoldVolumes on) until it lets go.
class DiskRuns {
public:
    // A run on the drive begins; what an earlier one left is forgotten.
    void begin(unsigned index);
    // The run's hold ends; its disk and whether it wrote stay known for the last closing.
    void end(unsigned index);
    // The run's last closing is done: nothing of it is kept.
    void forget(unsigned index);
    bool going(unsigned index) const { return index < kDrives && runs_[index].going; }
    bool anyGoing() const;

    // An opening of the drive reached disk `reached`. Within a run the first opening fixes the
    // run's disk; a later one that reaches any other (another number, or the same number
    // answering as another disk) is refused as no card. Outside a run every disk is admitted.
    Verdict admit(unsigned index, const DiskIdentity& reached);
    // The run's disk, once an opening fixed it.
    std::optional<DiskIdentity> disk(unsigned index) const;

    void noteWritten(unsigned index);
    // Whether any opening in the drive's last run wrote.
    bool written(unsigned index) const { return index < kDrives && runs_[index].written; }

    // Cards of the drive open in this module now.
    void opened(unsigned index);
    void closed(unsigned index);
    unsigned openCards(unsigned index) const { return index < kDrives ? runs_[index].open : 0; }

private:
    static constexpr unsigned kDrives = 26;
    struct Run {
        bool going = false;
        std::optional<DiskIdentity> disk;
        bool written = false;
        unsigned open = 0;
    };
    std::array<Run, kDrives> runs_{};
};

// Whether a closing sends IOCTL_DISK_UPDATE_PROPERTIES, which has the system drop its cached
// partition table and enumerate the disk again (volumes vanish and come back unlocked, letters
// move): only at the run's last closing, and only once something was written.
bool sendsUpdate(bool runGoing, bool writtenInRun);

// What an opening of drive `index` learns before any disk is opened for its data: the system's
// answers about the drive, and whether it may be opened (a card, and within a run the run's disk).
struct Vetting {
    DiskFacts facts;
    Verdict verdict;
};
Vetting vetOpening(DiskSystem& system, unsigned index, DiskRuns& runs);

} // namespace brc::windisk
