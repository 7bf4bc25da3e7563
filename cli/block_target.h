// Real cards on Linux: the words the command names a card's device with. The checks before the
// driver library opens it are takeBlockVolume's (platform/posix/block_volume.h).
#pragma once

#include <string>

#include "platform/posix/block_volume.h"

namespace brc::cli {

// "/dev/sdb, Generic STORAGE DEVICE (card reader, USB), 31,914,983,424 bytes (29.7 GiB)"
std::string describeCard(const blockdev::Device& d);

} // namespace brc::cli
