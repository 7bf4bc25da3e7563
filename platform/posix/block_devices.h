// Which block devices of a Linux system are memory cards that may be formatted, read from sysfs,
// the mount table and the swap list. Every file is read under a root path, so that tests can
// stand a fake tree in for /sys and fake files for /proc/self/mountinfo and /proc/swaps.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/card_limits.h"

namespace brc::blockdev {

// Where the system's own descriptions are read.
struct SystemView {
    std::string sysfs = "/sys";
    std::string mountinfo = "/proc/self/mountinfo";
    std::string swaps = "/proc/swaps";
};

// The real system, and a second view when BRINDLECARD_TEST_SYSFS, BRINDLECARD_TEST_MOUNTINFO
// or BRINDLECARD_TEST_SWAPS name replacements. A device must pass in every view, so a test
// view can only add refusals: it never makes a disk formattable that the system says is not.
std::vector<SystemView> systemViews();

struct Mount {
    uint32_t major = 0, minor = 0;
    std::string mountPoint, fsType, source;
    std::string device; // describe(): which of the disk's devices it is the mount of
};

// Lines of /proc/self/mountinfo; the octal escapes of paths (\040 for a blank) are decoded.
std::vector<Mount> parseMountInfo(const std::string& text);
// Device names (sda2, zram0) of the swap areas in /proc/swaps; swap files are left out, as the
// file system holding them is mounted and found through the mount table.
std::vector<std::string> parseSwaps(const std::string& text);

enum class Kind {
    SdSlot,     // mmcblk whose card says it is an SD card
    CardReader, // a removable SCSI disk: a USB or built-in card reader
    Emmc,       // mmcblk of soldered MMC storage
    Internal,   // a fixed SATA, SCSI or virtio disk
    Nvme,
    Loop,
    Optical,
    Virtual, // zram, device mapper, RAID and the like
};

const char* kindName(Kind kind);

struct Device {
    std::string name; // sdb, mmcblk0, loop3
    std::string path; // /dev/sdb
    Kind kind = Kind::Internal;
    bool partition = false;
    std::string disk; // the whole disk of a partition
    std::string bus;  // "USB", "SCSI", "MMC", ... as the device path shows
    std::string vendor, model;
    uint64_t bytes = 0;
    uint32_t logicalBlockSize = 512;
    bool removable = false;
    bool readOnly = false;
    bool discard = false;      // the queue takes discard requests
    std::string manfid, oemid; // an SD card's CID fields, where the kernel gives them
    std::vector<std::string> partitions;
    // Mounts of the disk and its partitions, and of devices stacked on them (holders).
    std::vector<Mount> mounts;
    // Set when the disk holds the running system: "/", "/boot" or "swap", and where.
    std::string systemUse, systemUseOn;
};

// The device named `name` in /sys/class/block, or nullopt when the view has none.
std::optional<Device> describe(const SystemView& view, const std::string& name);
// Every whole disk the view lists, by name.
std::vector<Device> listDisks(const SystemView& view);

// Why `device` may not be formatted, as one sentence without its full stop; empty when it is a
// card that may. Mounts are not looked at here: a mounted card is listed and refused only
// when a format would write to it.
std::string refusal(const Device& device, bool allowLoop);
// True when the device is an SD card in a slot or a card in a reader.
inline bool isCard(const Device& d) { return d.kind == Kind::SdSlot || d.kind == Kind::CardReader; }

// The name sysfs gives the block device at `devicePath` (its number looked up under
// <sysfs>/dev/block), or empty with `error` saying why.
std::string nameOfDevicePath(const std::string& sysfs, const std::string& devicePath,
                             std::string& error);

// What a card's sectors are finally stored in: a regular file (its file system's device and
// inode) or a block device no loop device stands in for (its number). Two names of one medium
// (a loop device and its own image, two loop devices over one file, loops stacked on loops)
// have the same one.
struct Medium {
    bool file = false;
    uint64_t device = 0, inode = 0; // a file's; a device's number is in `device`
    bool operator==(const Medium&) const = default;
};

// The medium under the image or block device at `path`, followed down through the loop
// devices <sysfs>/dev/block says it stands on; nullopt when `path` cannot be looked at.
std::optional<Medium> mediumOf(const std::string& sysfs, const std::string& path);

// The loop devices (as /dev paths) that write to the medium under `path`, other than `path`
// itself and the loop devices it stands on: with any of them attached, a format of `path`
// would write under whatever uses that loop device.
std::vector<std::string> loopsOnMedium(const std::string& sysfs, const std::string& path);

} // namespace brc::blockdev
