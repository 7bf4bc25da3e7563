// The volumes of a card's disk, held while a format writes: every volume with an extent on the
// disk, with a drive letter, a folder mount point or none, locked and dismounted before the first
// write and let go once the format is over. Since Vista a write into a mounted volume's sectors
// fails, and a volume let go in the middle of a format is mounted again by the system (RAW or the
// preliminary file system), raising AutoPlay or "You need to format the disk". The decisions are
// portable and run on recorded answers; drivers/windows/windows_volumes gives the system's own.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "drivers/windisk/disk_run.h"

namespace brc::windisk {

// The system as the volume decisions ask it. Volume names are \\?\Volume{GUID}\ as
// FindFirstVolumeW gives them; handles are the system's, opaque here.
class VolumeSystem {
public:
    using VolumeHandle = uintptr_t;
    virtual ~VolumeSystem() = default;
    virtual std::vector<std::string> volumeNames() = 0;
    // The volume's extents; nullopt when the volume does not say, empty when there are more
    // than can be listed.
    virtual std::optional<std::vector<Extent>> extents(const std::string& name) = 0;
    // Its drive letters ("E:\") and folder mount points ("C:\mnt\card\").
    virtual std::vector<std::string> mountPoints(const std::string& name) = 0;
    // Opens the volume for reading and writing: 0 and the handle, or the system's error.
    virtual uint32_t open(const std::string& name, VolumeHandle& handle) = 0;
    // FSCTL_LOCK_VOLUME, waited for at most `waitMs`: 0 or the system's error (kNoAnswer when
    // the volume did not answer in time).
    virtual uint32_t lock(VolumeHandle handle, uint32_t waitMs) = 0;
    virtual bool dismount(VolumeHandle handle) = 0;
    // Unlocks and closes.
    virtual void release(VolumeHandle handle) = 0;
    virtual bool setMountPoint(const std::string& mountPoint, const std::string& name) = 0;
    virtual bool removeMountPoint(const std::string& mountPoint) = 0;
    virtual uint64_t milliseconds() = 0;
    virtual void sleep(uint32_t milliseconds) = 0;
    // What the process's modules share of the format runs (drivers/windisk/disk_run.h).
    virtual RunShelf& shelf() = 0;
    // Whether the program locks the card's volume itself (XP), so that a volume refusing to open
    // with error 5 or 32 is held by the program; elsewhere it is held by another program.
    virtual bool programLocksVolumes() = 0;
};

// How long a lock is tried (Explorer, an antivirus or the indexer hold a handle for a moment
// after a card arrives) and how long a volume is waited for after the last closing.
constexpr uint32_t kVolumeWaitMs = 10000;
constexpr uint32_t kVolumePollMs = 250;
// ERROR_TIMEOUT: the volume's device did not answer in time (its reader hangs or is gone).
constexpr uint32_t kNoAnswer = 1460;

// How the card's volume is waited for once its locks go: for `waitMs` at most (0: not at all, a
// reader that no longer answers), as a volume with an extent at `partitionOffset` bytes into the
// disk (where the partition just written begins; 0 when unknown: any volume on the disk).
struct ComingBack {
    uint32_t waitMs = kVolumeWaitMs;
    uint64_t partitionOffset = 0;
};

struct HeldVolume {
    std::string name;
    std::vector<std::string> mountPoints;
    VolumeSystem::VolumeHandle handle = 0;
};

// The volumes of one opened card's disk. The first write or erase takes them; a closing in the
// middle of a format parks them for the next opening of the same disk, the last one lets them go.
class DiskVolumes {
public:
    // With `adopt` (a card opened for writing), takes over what a closing of the same disk
    // parked, if anything.
    DiskVolumes(VolumeSystem& system, uint32_t disk, bool adopt);
    // Unlocks and closes what is still held, without waiting (the library shutting down).
    ~DiskVolumes();
    DiskVolumes(const DiskVolumes&) = delete;
    DiskVolumes& operator=(const DiskVolumes&) = delete;

    // Every volume on the disk locked and dismounted, and its drive letters taken away so that
    // nothing (Explorer's "You need to format the disk", AutoPlay) shows the card half-written;
    // they come back at the run's end. 0, or the refusal's code with one line
    // for the user in `why` (nothing is held then). A volume that cannot be opened because a
    // handle holds it locked counts as taken where that handle is the program's own (XP);
    // elsewhere it is another program's, tried again for kVolumeWaitMs, then refused as busy.
    // `writeProtectCode` is the answer to a volume the system calls write-protected.
    uint32_t take(uint32_t writeProtectCode, std::string& why);
    // The card closed. With `runGoing` the volumes are parked for the next opening; otherwise
    // they are let go and, where any was held, the disk's volume is waited for and given back
    // the drive letter the card had (see letGoOf). False when it did not come back.
    bool finish(bool runGoing, ComingBack back = {});
    // What is held now, with the mount points each volume had.
    const std::vector<HeldVolume>& held() const { return held_; }

private:
    uint32_t lockOne(const std::string& name, uint32_t writeProtectCode, std::string& why);
    uint32_t openHeld(const std::string& name, VolumeSystem::VolumeHandle& handle);
    void releaseAll();

    VolumeSystem& system_;
    uint32_t disk_;
    bool taken_ = false;
    bool swept_ = false; // this opening looked for every volume on the disk
    std::vector<HeldVolume> held_;
};

// The volumes of the disk as the system lists them now: those with an extent on it.
// With `at`, only those with an extent beginning `at` bytes into the disk (0: anywhere on it).
std::vector<std::string> volumesOnDisk(VolumeSystem& system, uint32_t disk, uint64_t at = 0);

// A drive letter taken from a volume for a run, as written down until it is given back.
struct TakenLetter {
    std::string mountPoint; // "E:\"
    std::string volume;     // the volume's name (\\?\Volume{GUID}\)
    bool operator==(const TakenLetter&) const = default;
};

// The letters `volumes` took away, for writing down while it holds them.
std::vector<TakenLetter> takenLetters(const DiskVolumes& volumes);
// As written down: "E:\=\\?\Volume{...}\;F:\=...". Reading drops what is not a drive
// letter and a volume's name.
std::string ledgerText(const std::vector<TakenLetter>& taken);
std::vector<TakenLetter> parseLedger(const std::string& text);

// Gives back what a process that did not live to give back its letters wrote down (the volume
// service killed, crashed or cut off by power mid-run): each letter to its volume where the
// volume is still there and the letter is free. What cannot go back is dropped: the system
// letters a card as it arrives.
void giveBackTaken(VolumeSystem& system, const std::vector<TakenLetter>& taken);

// Lets go of whatever a closing parked: a run that ended in another library instance.
void releaseParkedVolumes(VolumeSystem& system);

// Lets go of `held`, the volumes of disk `disk`, waits for the disk's new volume to come back and
// gives it back the drive letter the card had. False when it did not come back.
bool letGoOf(VolumeSystem& system, uint32_t disk, std::vector<HeldVolume> held,
             ComingBack back = {});
// The same for what closings in a run parked for disk `disk`: the run's end.
bool letGoOfParked(VolumeSystem& system, uint32_t disk, ComingBack back = {});

} // namespace brc::windisk
