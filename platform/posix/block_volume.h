// Taking a card's block device before a format and handing it back afterwards. The sectors are
// written by the driver library, which holds the device open exclusively; this side makes sure
// there is nothing of the system's on the card first, and lets the kernel see the new
// partition afterwards.
#pragma once

#include <string>
#include <vector>

#include "platform/posix/block_devices.h"

namespace brc {

struct BlockVolumeCheck {
    std::string refusal;                    // one sentence without its full stop; empty: go ahead
    blockdev::Device device;                // as the system describes it
    std::vector<blockdev::Mount> toUnmount; // the card's own mounts, to go before a write
    std::vector<std::string> unmounted;     // the mount points taken away
};

// What the command may do for a user the card's device node refuses, or who is not root where
// root is needed (to unmount, to have the partition table read again): ask udisks2, which does
// it on the user's behalf where polkit allows. The descriptor udisks2 opens is handed over
// (platform/posix/device_handles.h), so every later opening of the card uses it.
struct DeviceAccess {
    bool udisks = false;      // ask udisks2 where this user may not do it directly
    bool interactive = false; // polkit may ask the user (a person is at the terminal)
};

// The command's own: udisks2 asked where needed, polkit's question allowed when standard input
// is a terminal.
DeviceAccess commandDeviceAccess();

// Whether udisks2 unmounts and rescans for this user rather than the command itself: `access`
// lets it, and the user is not root.
bool udisksActsForUser(const DeviceAccess& access);

// Looks at the device at `path` in every system view, changing nothing: it must be a card (or
// with `allowLoop` a loop device) and nothing may be mounted from it. With `unmount`, the card's
// own mounted partitions are listed in toUnmount instead of refused; a mount of anything
// stacked on the card is refused either way. Last, unless something is to be unmounted, the
// kernel must grant an exclusive open (through udisks2 where `access` says so and the node
// refuses this user).
BlockVolumeCheck vetBlockVolume(const std::string& path, bool allowLoop, bool unmount,
                                const DeviceAccess& access = {});

// Once the user has said yes: unmounts what vetBlockVolume listed (umount2, or udisks2 for a
// user who is not root where `access` says so) and asks the kernel for an exclusive open. One
// sentence when that fails, else empty.
std::string takeBlockVolume(const std::string& path, BlockVolumeCheck& check,
                            const DeviceAccess& access = {});

// Only the first of those checks, for a command that reads the card and never writes: it must
// be a card (or an allowed loop device); mounts and other holders do not matter.
BlockVolumeCheck describeBlockCard(const std::string& path, bool allowLoop);

// Whether the kernel grants an exclusive open of the device at `path` now (let go at once): 0,
// else the errno, EBUSY when another program, a mount or a stacked device holds it.
int exclusiveOpenError(const std::string& path);

// For a command that only reads: where the node refuses this user and `access` says so, udisks2
// opens the device for reading (alongside any other holder). One sentence when that fails;
// empty when the device is open to this user now, or when something else keeps it closed (the
// driver library then says what).
std::string reachForReading(const std::string& path, const DeviceAccess& access);

// Asks the kernel to read the card's partition table again (BLKRRPART), so the new partition
// appears and the desktop may mount it. False with `error` when the kernel would not; a device
// that does not scan partitions (EINVAL) is not an error.
// `error` stays empty where the device is gone: there is nothing to tell the kernel then.
bool rereadPartitionTable(const std::string& path, std::string& error);

// The same for a user who is not root, through udisks2 (Block.Rescan), once the run holds the
// card no more: the descriptor udisks2 handed over is closed here first, as the kernel reads
// the table only of a device nobody holds exclusively. Root asks the kernel itself.
bool rescanPartitionTable(const std::string& path, const DeviceAccess& access, std::string& error);

} // namespace brc
