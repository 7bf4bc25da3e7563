#include "drivers/windisk/disk_volumes.h"

#include <algorithm>
#include <utility>

#include "device/sdhost_abi.h"
#include "drivers/windisk/disk_answers.h"

namespace brc::windisk {
namespace {

bool isDriveLetter(const std::string& mountPoint) {
    return mountPoint.size() == 3 && mountPoint[1] == ':' && mountPoint[2] == '\\';
}

// What a closing in the middle of a format left locked, by disk, is kept on the process's shelf,
// where every module of ours finds it: the private erase instance's opening adopts what the
// bound library parked.
ParkedDisk* parkedFor(RunShelf& shelf, uint32_t disk) {
    for (ParkedDisk& p : shelf.parked)
        if (p.used && p.disk == disk) return &p;
    return nullptr;
}

// Takes what is parked for the disk off the shelf.
std::vector<HeldVolume> unpark(RunShelf& shelf, uint32_t disk) {
    std::vector<HeldVolume> held;
    ParkedDisk* p = parkedFor(shelf, disk);
    if (!p) return held;
    for (uint32_t i = 0; i < p->count && i < kShelfVolumes; ++i) {
        const ShelvedVolume& v = p->volumes[i];
        HeldVolume volume{v.name, {}, static_cast<VolumeSystem::VolumeHandle>(v.handle)};
        for (const char* letter = v.letters; *letter; ++letter)
            volume.mountPoints.push_back(std::string(1, *letter) + ":\\");
        held.push_back(std::move(volume));
    }
    *p = ParkedDisk{};
    return held;
}

// Puts the disk's held volumes on the shelf; one that finds no room there (more disks or volumes
// than it keeps, a name too long) is let go at once rather than lost.
void park(VolumeSystem& system, uint32_t disk, std::vector<HeldVolume> held) {
    RunShelf& shelf = system.shelf();
    ParkedDisk* p = parkedFor(shelf, disk);
    for (ParkedDisk& slot : shelf.parked)
        if (!p && !slot.used) p = &slot;
    for (const HeldVolume& volume : held) {
        if (!p || p->count == kShelfVolumes || volume.name.size() >= sizeof p->volumes[0].name) {
            system.release(volume.handle);
            continue;
        }
        p->used = 1;
        p->disk = disk;
        ShelvedVolume& v = p->volumes[p->count++];
        v.handle = volume.handle;
        copyText(v.name, volume.name);
        std::string letters;
        for (const std::string& point : volume.mountPoints)
            if (isDriveLetter(point)) letters += point[0];
        copyText(v.letters, letters);
    }
}

// How the user knows the volume: its first letter or mount point, else its name.
std::string shownName(const std::string& name, const std::vector<std::string>& mountPoints) {
    return mountPoints.empty() ? name : mountPoints.front();
}

// The card's old letters go back to the volumes that came back, in order: to one that came
// without a letter, and to one the system gave another letter on its arrival (the old one was
// taken away for the run), which then gives that one up. A volume that has its old letter keeps
// it, and folder mount points are left alone.
void giveBackLetters(VolumeSystem& system, const std::vector<std::string>& names,
                     std::vector<std::string> letters) {
    std::vector<std::string> waiting;
    for (const std::string& name : names) {
        bool kept = false;
        for (const std::string& point : system.mountPoints(name))
            if (std::erase(letters, point)) kept = true;
        if (!kept) waiting.push_back(name);
    }
    for (size_t i = 0; i < waiting.size() && i < letters.size(); ++i) {
        for (const std::string& point : system.mountPoints(waiting[i]))
            if (isDriveLetter(point)) system.removeMountPoint(point);
        system.setMountPoint(letters[i], waiting[i]);
    }
}

} // namespace

std::vector<std::string> volumesOnDisk(VolumeSystem& system, uint32_t disk, uint64_t at) {
    const auto lies = [&](const Extent& e) {
        return e.disk == disk && (at == 0 || e.offset == at);
    };
    std::vector<std::string> names;
    for (const std::string& name : system.volumeNames()) {
        const auto extents = system.extents(name);
        if (extents && std::any_of(extents->begin(), extents->end(), lies)) names.push_back(name);
    }
    return names;
}

DiskVolumes::DiskVolumes(VolumeSystem& system, uint32_t disk, bool adopt)
    : system_(system), disk_(disk) {
    if (!adopt) return;
    held_ = unpark(system_.shelf(), disk);
    if (held_.empty()) return;
    // The disk number may have passed to another card since (a reader swapped): the locks are
    // adopted only while every volume is still on the disk, else they go and the card is taken
    // anew.
    const std::vector<std::string> now = volumesOnDisk(system_, disk_);
    const bool same = std::all_of(held_.begin(), held_.end(), [&](const HeldVolume& v) {
        return std::find(now.begin(), now.end(), v.name) != now.end();
    });
    if (same) taken_ = true;
    else releaseAll();
}

DiskVolumes::~DiskVolumes() { releaseAll(); }

void DiskVolumes::releaseAll() {
    for (const HeldVolume& volume : held_) system_.release(volume.handle);
    held_.clear();
}

uint32_t DiskVolumes::take(uint32_t writeProtectCode, std::string& why) {
    // Once per opening, adopted locks or not: a volume that appeared since they were parked is
    // locked with them.
    if (taken_ && swept_) return SDHOST_OK;
    const std::vector<std::string> names = volumesOnDisk(system_, disk_);
    // A volume that also lies on another disk would be taken apart: none is touched.
    for (const std::string& name : names) {
        // Asked again: a volume gone since it was listed has nothing to take.
        const auto extents = system_.extents(name);
        if (extents && std::any_of(extents->begin(), extents->end(),
                                   [&](const Extent& e) { return e.disk != disk_; })) {
            why = shownName(name, system_.mountPoints(name)) +
                  " also lies on another disk; a volume spanning the card and another disk is "
                  "not formatted";
            return SDHOST_ERR_CONFIG;
        }
    }
    for (const std::string& name : names) {
        const bool held = std::any_of(held_.begin(), held_.end(),
                                      [&](const HeldVolume& v) { return v.name == name; });
        if (held) continue;
        if (const uint32_t rc = lockOne(name, writeProtectCode, why)) {
            releaseAll();
            taken_ = false;
            return rc;
        }
    }
    taken_ = swept_ = true;
    return SDHOST_OK;
}

uint32_t DiskVolumes::lockOne(const std::string& name, uint32_t writeProtectCode,
                              std::string& why) {
    HeldVolume volume{name, system_.mountPoints(name), 0};
    const std::string shown = shownName(name, volume.mountPoints);
    if (const uint32_t err = openHeld(name, volume.handle)) {
        switch (err) {
        case 5:  // ERROR_ACCESS_DENIED: locked by another handle
        case 32: // ERROR_SHARING_VIOLATION
            // On XP that handle is the program's own; elsewhere another program's, and writing
            // under its lock would go behind its back.
            if (system_.programLocksVolumes()) return SDHOST_OK;
            why = shown + " is in use by another program (error " + std::to_string(err) +
                  "); close the programs using the card";
            return SDHOST_ERR_BUSY;
        case 2:  // ERROR_FILE_NOT_FOUND: gone since it was listed
        case 3:  // ERROR_PATH_NOT_FOUND
        case 21: // ERROR_NOT_READY
            return SDHOST_OK;
        case kErrorWriteProtect: return writeProtectCode;
        default:
            why = shown + " cannot be opened (error " + std::to_string(err) + ")";
            return SDHOST_ERR_BUSY;
        }
    }
    // Every try within what is left of the wait: a lock that hangs does not stretch it.
    const uint64_t start = system_.milliseconds();
    const auto left = [&] {
        const uint64_t spent = system_.milliseconds() - start;
        return static_cast<uint32_t>(spent >= kVolumeWaitMs ? kVolumePollMs
                                                            : kVolumeWaitMs - spent);
    };
    uint32_t err = system_.lock(volume.handle, left());
    while (err != 0 && err != kNoAnswer && system_.milliseconds() - start < kVolumeWaitMs) {
        system_.sleep(kVolumePollMs);
        err = system_.lock(volume.handle, left());
    }
    if (err != 0) {
        system_.release(volume.handle);
        why = err == kNoAnswer
                  ? shown + " does not answer; unplug the card reader and plug it in again"
                  : shown + " is in use and cannot be locked (error " + std::to_string(err) +
                        "); close the programs using it";
        return err == kNoAnswer ? SDHOST_ERR_NO_CARD : SDHOST_ERR_BUSY;
    }
    system_.dismount(volume.handle);
    for (const std::string& point : volume.mountPoints)
        if (isDriveLetter(point)) system_.removeMountPoint(point);
    held_.push_back(std::move(volume));
    return SDHOST_OK;
}

uint32_t DiskVolumes::openHeld(const std::string& name, VolumeSystem::VolumeHandle& handle) {
    // Another program's handle on a card that just arrived (Explorer, an antivirus, the indexer)
    // goes within moments: tried again as a refused lock is.
    const uint64_t start = system_.milliseconds();
    for (;;) {
        const uint32_t err = system_.open(name, handle);
        const bool held = err == 5 || err == 32;
        if (!held || system_.programLocksVolumes() ||
            system_.milliseconds() - start >= kVolumeWaitMs)
            return err;
        system_.sleep(kVolumePollMs);
    }
}

bool DiskVolumes::finish(bool runGoing, ComingBack back) {
    if (!taken_) return true;
    taken_ = false;
    if (runGoing) {
        // Nothing held (the volumes another handle holds) is not parked: the next opening
        // looks again.
        park(system_, disk_, std::exchange(held_, {}));
        return true;
    }
    return letGoOf(system_, disk_, std::exchange(held_, {}), back);
}

bool letGoOf(VolumeSystem& system, uint32_t disk, std::vector<HeldVolume> held, ComingBack back) {
    // A card that had no volume of ours (a blank one, or the program's own on XP) has nothing
    // to wait for here.
    if (held.empty()) return true;
    std::vector<std::string> letters;
    for (const HeldVolume& volume : held) {
        for (const std::string& point : volume.mountPoints)
            if (isDriveLetter(point)) letters.push_back(point);
        system.release(volume.handle);
    }
    if (back.waitMs == 0) return false;
    // The old volume may still be listed for a moment: only one where the new partition begins
    // is the card come back.
    const uint64_t start = system.milliseconds();
    for (;;) {
        const std::vector<std::string> names = volumesOnDisk(system, disk, back.partitionOffset);
        if (!names.empty()) {
            giveBackLetters(system, names, letters);
            return true;
        }
        if (system.milliseconds() - start >= back.waitMs) return false;
        system.sleep(kVolumePollMs);
    }
}

bool letGoOfParked(VolumeSystem& system, uint32_t disk, ComingBack back) {
    return letGoOf(system, disk, unpark(system.shelf(), disk), back);
}

std::vector<TakenLetter> takenLetters(const DiskVolumes& volumes) {
    std::vector<TakenLetter> taken;
    for (const HeldVolume& volume : volumes.held())
        for (const std::string& point : volume.mountPoints)
            if (isDriveLetter(point)) taken.push_back({point, volume.name});
    return taken;
}

std::string ledgerText(const std::vector<TakenLetter>& taken) {
    std::string text;
    for (const TakenLetter& t : taken)
        text += (text.empty() ? "" : ";") + t.mountPoint + "=" + t.volume;
    return text;
}

std::vector<TakenLetter> parseLedger(const std::string& text) {
    static const std::string kPrefix = "\\\\?\\Volume{", kEnd = "}\\";
    std::vector<TakenLetter> taken;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find(';', at);
        if (end == std::string::npos) end = text.size();
        const std::string entry = text.substr(at, end - at);
        at = end + 1;
        const size_t eq = entry.find('=');
        if (eq == std::string::npos) continue;
        TakenLetter t{entry.substr(0, eq), entry.substr(eq + 1)};
        const bool volume = t.volume.size() > kPrefix.size() + kEnd.size() &&
                            t.volume.compare(0, kPrefix.size(), kPrefix) == 0 &&
                            t.volume.compare(t.volume.size() - kEnd.size(), kEnd.size(), kEnd) == 0;
        const bool letter =
            isDriveLetter(t.mountPoint) && t.mountPoint[0] >= 'A' && t.mountPoint[0] <= 'Z';
        if (letter && volume) taken.push_back(std::move(t));
    }
    return taken;
}

void giveBackTaken(VolumeSystem& system, const std::vector<TakenLetter>& taken) {
    if (taken.empty()) return;
    const std::vector<std::string> names = system.volumeNames();
    std::vector<std::string> inUse;
    for (const std::string& name : names)
        for (const std::string& point : system.mountPoints(name)) inUse.push_back(point);
    for (const TakenLetter& t : taken) {
        const bool there = std::find(names.begin(), names.end(), t.volume) != names.end();
        const bool free = std::find(inUse.begin(), inUse.end(), t.mountPoint) == inUse.end();
        // One letter per volume: a volume the system lettered again since keeps its letter.
        const bool lettered =
            there && std::ranges::any_of(system.mountPoints(t.volume), isDriveLetter);
        if (there && free && !lettered && system.setMountPoint(t.mountPoint, t.volume))
            inUse.push_back(t.mountPoint);
    }
}

void releaseParkedVolumes(VolumeSystem& system) {
    for (ParkedDisk& p : system.shelf().parked) {
        if (!p.used) continue;
        for (uint32_t i = 0; i < p.count && i < kShelfVolumes; ++i)
            system.release(static_cast<VolumeSystem::VolumeHandle>(p.volumes[i].handle));
        p = ParkedDisk{};
    }
}

} // namespace brc::windisk
