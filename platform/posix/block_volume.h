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
    std::string refusal;                 // one sentence without its full stop; empty: go ahead
    blockdev::Device device;             // as the system describes it
    std::vector<std::string> toUnmount;  // the card's own mount points, to go before a write
    std::vector<std::string> unmounted;  // those taken away
};

// Looks at the device at `path` in every system view, changing nothing: it must be a card (or
// with `allowLoop` a loop device) and nothing may be mounted from it. With `unmount`, the card's
// own mounted partitions are listed in toUnmount instead of refused; a mount of anything
// stacked on the card is refused either way. Last, unless something is to be unmounted, the
// kernel must grant an exclusive open.
BlockVolumeCheck vetBlockVolume(const std::string& path, bool allowLoop, bool unmount);

// Once the user has said yes: unmounts what vetBlockVolume listed (umount2) and asks the kernel
// for an exclusive open. One sentence when that fails, else empty.
std::string takeBlockVolume(const std::string& path, BlockVolumeCheck& check);

// Only the first of those checks, for a command that reads the card and never writes: it must
// be a card (or an allowed loop device); mounts and other holders do not matter.
BlockVolumeCheck describeBlockCard(const std::string& path, bool allowLoop);

// Asks the kernel to read the card's partition table again (BLKRRPART), so the new partition
// appears and the desktop may mount it. False with `error` when the kernel would not; a device
// that does not scan partitions (EINVAL) is not an error.
bool rereadPartitionTable(const std::string& path, std::string& error);

} // namespace brc
