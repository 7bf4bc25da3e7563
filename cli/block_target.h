// Real cards on Linux: the words the command names a card's device with. The checks before the
// driver library opens it are takeBlockVolume's (platform/posix/block_volume.h).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/posix/block_devices.h"

#include "platform/posix/block_volume.h"

namespace brc::cli {

// "/dev/sdb, Generic STORAGE DEVICE (card reader, USB), 31,914,983,424 bytes (29.7 GiB)"
std::string describeCard(const blockdev::Device& d);

// Why list does not offer the disk, every view consulted as a format consults them; empty when
// it is offered.
std::string listRefusal(const std::vector<blockdev::SystemView>& views, const blockdev::Device& d,
                        bool allowLoop);
// A disk nobody would call one: an unused loop device or an empty zram device.
bool unlisted(const blockdev::Device& d);
// The cards list offers, in its order.
std::vector<blockdev::Device> offeredCards(bool allowLoop);

// The medium under the card or image at `path` (blockdev::mediumOf), nullopt when unknown.
std::optional<blockdev::Medium> cardMedium(const std::string& path);
// Why the card or image at `path` (`shown` names it) is in use through a loop device over the
// same medium, as one sentence: an image with any loop device attached, a device when another
// loop device over its medium is mounted or held. Empty when none is.
std::string loopUseRefusal(const std::string& path, const std::string& shown, bool blockDevice);

} // namespace brc::cli
