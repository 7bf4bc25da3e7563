// A real card on Linux: a whole-disk block device (an SD slot's mmcblk or a card reader's
// disk) served through the same operations as a virtual card.
#pragma once

#include <memory>
#include <string>

#include "drivers/virtual_card.h"

namespace brc::sdhost {

// Opens the block device at `path`, which must be the device the command vetted, for reading
// and writing, or read-only when the device is. The first write or erase takes it exclusively
// (the kernel refuses while a partition is mounted or another program holds it:
// SDHOST_ERR_BUSY), after checking again that it is the vetted device. `forReading` opens it
// read-only, for a probe. `error` holds one line for the user when there is something to say.
uint32_t openBlockCard(const std::string& path, const CardIdentity& vetted, const Host& host,
                       std::unique_ptr<Card>& card, std::string& error, bool forReading = false);

// DDChkSDCard's flags for the device at `path`, without taking it: SDHOST_CHK_QUALIFIES for an
// SD card in a slot or a card in a reader, SDHOST_CHK_REFUSED when it is read-only (the lock
// switch of a card in a slot).
uint32_t blockCardFlags(const std::string& path, const CardIdentity& vetted, uint32_t& flags,
                        std::string& error);

} // namespace brc::sdhost
