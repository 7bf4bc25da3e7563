// What a disk holds, as libblkid (the probing util-linux and udev use) finds it: any file system
// Linux knows, not only the ones we write.
#pragma once

#include <string>

namespace brc::cli {

struct ProbedVolume {
    bool opened = false; // false: this user may not read the disk, or it is gone
    std::string type;    // "vfat", "exfat", "ext4", "ntfs", ...; empty when none was found
    std::string label;
};

// The file system on the whole disk, else in its first partition (found from the partition
// table itself, so no partition device is needed). Empty where built without libblkid.
ProbedVolume probeVolume(const std::string& devicePath);

// Whether this build probes with libblkid.
bool canProbeVolumes();

} // namespace brc::cli
