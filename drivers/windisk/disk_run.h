// A format run's disk on Windows. A format closes and reopens the card several times (the
// sector-0 write, the overwrite, the erase, the file system), and each opening finds the disk
// again through the drive letter. A letter can move in between (a card swapped, the disk
// enumerated anew), so the run fixes at its first opening which disk it formats, and an opening
// that reaches any other disk is refused before it writes. The decisions are portable and run on
// recorded answers.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>

#include "drivers/windisk/disk_answers.h"

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

// What every library module of the process knows of the format runs, in one block of fixed
// layout that the modules share (on Windows a named mapping of the process's own): the bound
// library and a private instance loaded beside it (the erase's) see the same run, the same disk
// and the same parked volume locks. Zero-filled is empty.
constexpr uint32_t kShelfVersion = 1;
constexpr unsigned kShelfDrives = 26, kShelfDisks = 8, kShelfVolumes = 16;

struct ShelvedVolume {
    uint64_t handle;
    char name[64];    // its GUID path, as the system lists it
    char letters[27]; // its drive letters, given back at the run's end
};
struct ParkedDisk {
    uint32_t used, disk, count;
    ShelvedVolume volumes[kShelfVolumes];
};
struct ShelfDrive {
    uint32_t going, written, known, open, silent;
    uint32_t number;
    uint64_t bytes;
    uint64_t partition; // where the partition last written to sector 0 begins, in bytes; 0: none
    char vendor[48], product[48], serial[64];
};
struct RunShelf {
    uint32_t version, size, modules;
    ShelfDrive drives[kShelfDrives];
    ParkedDisk parked[kShelfDisks];
};

// Text into a shelf's field, cut to fit; and text as such a field would keep it.
template <size_t N>
void copyText(char (&field)[N], const std::string& text) {
    const size_t n = std::min(text.size(), N - 1);
    std::memcpy(field, text.data(), n);
    field[n] = 0;
}
template <size_t N>
std::string asKept(const char (&)[N], const std::string& text) {
    return text.substr(0, std::min(text.size(), N - 1));
}

// The runs, by drive index (0 = A:): from the front end's hold on a drive (DDHoldVolumes on)
// until it lets go.
class DiskRuns {
public:
    explicit DiskRuns(RunShelf& shelf) : shelf_(shelf) {}

    // A run on the drive begins; what an earlier one left is forgotten.
    void begin(unsigned index);
    // The run's hold ends; its disk and whether it wrote stay known for the last closing.
    void end(unsigned index);
    // The run's last closing is done: nothing of it is kept.
    void forget(unsigned index);
    bool going(unsigned index) const { return index < kShelfDrives && shelf_.drives[index].going; }
    bool anyGoing() const;

    // An opening of the drive reached disk `reached`. Within a run the first opening fixes the
    // run's disk; a later one that reaches any other (another number, or the same number
    // answering as another disk) is refused as no card. Outside a run every disk is admitted.
    Verdict admit(unsigned index, const DiskIdentity& reached);
    // The run's disk, once an opening fixed it; and whether `reached` is that disk.
    std::optional<DiskIdentity> disk(unsigned index) const;
    bool isRunDisk(unsigned index, const DiskIdentity& reached) const;

    void noteWritten(unsigned index);
    // The run's reader once let a request run out of time: taken for gone, it is not asked
    // anything more at the run's end.
    void noteSilent(unsigned index);
    bool silent(unsigned index) const {
        return index < kShelfDrives && shelf_.drives[index].silent;
    }
    void notePartition(unsigned index, uint64_t offset);
    uint64_t partition(unsigned index) const {
        return index < kShelfDrives ? shelf_.drives[index].partition : 0;
    }
    // Whether any opening in the drive's last run wrote.
    bool written(unsigned index) const {
        return index < kShelfDrives && shelf_.drives[index].written;
    }

    // Cards of the drive open in the process now.
    void opened(unsigned index);
    void closed(unsigned index);
    unsigned openCards(unsigned index) const {
        return index < kShelfDrives ? shelf_.drives[index].open : 0;
    }

private:
    RunShelf& shelf_;
};

// Where the first partition of the master boot record `sector` (512 bytes written to sector 0)
// begins, in bytes; 0 for a sector that holds none (zeros, a boot sector of its own).
uint64_t firstPartitionOffset(const uint8_t* sector);

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
Vetting vetOpening(DiskSystem& system, unsigned index, DiskRuns runs);

} // namespace brc::windisk
