// Real cards on Linux: the checks the command makes on a block device before the driver library
// opens it, the words it names a card with, and `brindlecard list`.
#pragma once

#include <string>
#include <vector>

#include "cli/cli_common.h"
#include "platform/posix/block_volume.h"

namespace brc::cli {

// The device behind a block target must be a card (a loop device with `allowLoop`) with nothing
// mounted from it (with `unmount` its own partitions are unmounted) that the kernel lets us take.
BlockVolumeCheck checkBlockTarget(const Target& target, bool allowLoop, bool unmount);

// What keeps a block target from being formatted now, or empty; unmounts nothing. The target
// passed checkBlockTarget before, so a loop device is taken as allowed.
std::string blockTargetProblem(const Target& target);

// "/dev/sdb, Generic STORAGE DEVICE (card reader, USB), 31,914,983,424 bytes (29.7 GiB)"
std::string describeCard(const blockdev::Device& d);

} // namespace brc::cli
