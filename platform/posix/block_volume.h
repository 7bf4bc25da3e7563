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
    std::string refusal;               // one sentence without its full stop; empty: go ahead
    blockdev::Device device;           // as the system describes it
    std::vector<std::string> unmounted;  // mount points taken away on request
};

// Looks at the device at `path` in every system view: it must be a card (or with `allowLoop`
// a loop device) and nothing may be mounted from it. With `unmount`, the card's own mounted
// partitions are unmounted (umount2) instead of refused; a mount of anything stacked on the
// card is refused either way. Last, the kernel must grant an exclusive open.
BlockVolumeCheck takeBlockVolume(const std::string& path, bool allowLoop, bool unmount);

// Only the first of those checks, for a command that reads the card and never writes: it must
// be a card (or an allowed loop device); mounts and other holders do not matter.
BlockVolumeCheck describeBlockCard(const std::string& path, bool allowLoop);

// Asks the kernel to read the card's partition table again (BLKRRPART), so the new partition
// appears and the desktop may mount it. False with `error` when the kernel would not; a device
// that does not scan partitions (EINVAL) is not an error.
bool rereadPartitionTable(const std::string& path, std::string& error);

} // namespace brc
