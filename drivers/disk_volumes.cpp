#include "drivers/disk_volumes.h"

#include <algorithm>
#include <map>
#include <utility>

#include "device/sdhost_abi.h"
#include "drivers/disk_answers.h"

namespace brc::windisk {
namespace {

// What a closing in the middle of a format left locked, by disk. One map per library module: a
// private instance loaded by file name is the same module, and sees what the bound one parked.
// Never destroyed, so that what is still parked can be let go while the module unloads.
std::map<uint32_t, std::vector<HeldVolume>>& parked() {
    static auto* volumes = new std::map<uint32_t, std::vector<HeldVolume>>;
    return *volumes;
}

bool lies(const std::vector<uint32_t>& disks, uint32_t disk) {
    return std::find(disks.begin(), disks.end(), disk) != disks.end();
}

// How the user knows the volume: its first letter or mount point, else its name.
std::string shownName(const std::string& name, const std::vector<std::string>& mountPoints) {
    return mountPoints.empty() ? name : mountPoints.front();
}

bool isDriveLetter(const std::string& mountPoint) {
    return mountPoint.size() == 3 && mountPoint[1] == ':' && mountPoint[2] == '\\';
}

// The old letters still unused go to the volumes that came without any mount point, in order.
void giveBackLetters(VolumeSystem& system, const std::vector<std::string>& names, std::vector<std::string> letters) {
    std::vector<std::string> bare;
    for (const std::string& name : names) {
        const std::vector<std::string> points = system.mountPoints(name);
        if (points.empty()) bare.push_back(name);
        for (const std::string& point : points) std::erase(letters, point);
    }
    for (size_t i = 0; i < bare.size() && i < letters.size(); ++i)
        system.setMountPoint(letters[i], bare[i]);
}

} // namespace

std::vector<std::string> volumesOnDisk(VolumeSystem& system, uint32_t disk) {
    std::vector<std::string> names;
    for (const std::string& name : system.volumeNames()) {
        const auto disks = system.extents(name);
        if (disks && lies(*disks, disk)) names.push_back(name);
    }
    return names;
}

DiskVolumes::DiskVolumes(VolumeSystem& system, uint32_t disk, bool adopt)
    : system_(system), disk_(disk) {
    auto found = parked().find(disk);
    if (!adopt || found == parked().end()) return;
    held_ = std::move(found->second);
    parked().erase(found);
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
    if (taken_) return SDHOST_OK;
    const std::vector<std::string> names = volumesOnDisk(system_, disk_);
    // A volume that also lies on another disk would be taken apart: none is touched.
    for (const std::string& name : names) {
        const auto disks = system_.extents(name);
        if (std::any_of(disks->begin(), disks->end(), [&](uint32_t d) { return d != disk_; })) {
            why = shownName(name, system_.mountPoints(name)) +
                  " also lies on another disk; a volume spanning the card and another disk is "
                  "not formatted";
            return SDHOST_ERR_CONFIG;
        }
    }
    for (const std::string& name : names) {
        if (const uint32_t rc = lockOne(name, writeProtectCode, why)) {
            releaseAll();
            return rc;
        }
    }
    taken_ = true;
    return SDHOST_OK;
}

uint32_t DiskVolumes::lockOne(const std::string& name, uint32_t writeProtectCode,
                              std::string& why) {
    HeldVolume volume{name, system_.mountPoints(name), 0};
    const std::string shown = shownName(name, volume.mountPoints);
    if (const uint32_t err = system_.open(name, volume.handle)) {
        switch (err) {
        case 5:  // ERROR_ACCESS_DENIED: locked by another handle (the program's own, on XP)
        case 32: // ERROR_SHARING_VIOLATION
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
    const uint64_t start = system_.milliseconds();
    uint32_t err = system_.lock(volume.handle);
    while (err != 0 && system_.milliseconds() - start < kVolumeWaitMs) {
        system_.sleep(kVolumePollMs);
        err = system_.lock(volume.handle);
    }
    if (err != 0) {
        system_.release(volume.handle);
        why = shown + " is in use and cannot be locked (error " + std::to_string(err) +
              "); close the programs using it";
        return SDHOST_ERR_BUSY;
    }
    system_.dismount(volume.handle);
    held_.push_back(std::move(volume));
    return SDHOST_OK;
}

bool DiskVolumes::finish(bool runGoing) {
    if (!taken_) return true;
    taken_ = false;
    if (runGoing) {
        // Nothing held (the volumes another handle holds) is not parked: the next opening
        // looks again.
        if (!held_.empty()) parked()[disk_] = std::move(held_);
        held_.clear();
        return true;
    }
    return letGoOf(system_, disk_, std::exchange(held_, {}));
}

bool letGoOf(VolumeSystem& system, uint32_t disk, std::vector<HeldVolume> held) {
    // A card that had no volume of ours (a blank one, or the program's own on XP) has nothing
    // to wait for here.
    if (held.empty()) return true;
    std::vector<std::string> letters;
    for (const HeldVolume& volume : held) {
        for (const std::string& point : volume.mountPoints)
            if (isDriveLetter(point)) letters.push_back(point);
        system.release(volume.handle);
    }
    const uint64_t start = system.milliseconds();
    for (;;) {
        const std::vector<std::string> names = volumesOnDisk(system, disk);
        if (!names.empty()) {
            giveBackLetters(system, names, letters);
            return true;
        }
        if (system.milliseconds() - start >= kVolumeWaitMs) return false;
        system.sleep(kVolumePollMs);
    }
}

bool letGoOfParked(VolumeSystem& system, uint32_t disk) {
    const auto found = parked().find(disk);
    if (found == parked().end()) return true;
    std::vector<HeldVolume> held = std::move(found->second);
    parked().erase(found);
    return letGoOf(system, disk, std::move(held));
}

void releaseParkedVolumes(VolumeSystem& system) {
    for (auto& [disk, volumes] : parked())
        for (const HeldVolume& volume : volumes) system.release(volume.handle);
    parked().clear();
}

} // namespace brc::windisk
