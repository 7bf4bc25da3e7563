// A real card on Windows: the whole disk (\\.\PhysicalDriveN, the card with its MBR) behind a
// drive letter, served through the same operations as a virtual card.
#pragma once

#include <memory>
#include <string>

#include "drivers/virtual_card.h"

namespace brc::vcard {

// Opens the disk behind drive `index` (0 = A:) once the system's answers say it is a card
// (drivers/disk_answers.h): for reading and writing, or for reading only with `readOnly` (a
// probe). Writes and erases take every volume of the disk first (drivers/disk_volumes.h) and
// hold them until the card's last closing in a format run. `error` holds one line for the user
// when there is something to say.
uint32_t openDiskCard(unsigned index, bool readOnly, const Host& host, std::unique_ptr<Card>& card,
                      std::string& error);

// DDChkSDCard's flags for drive `index`, from the system's answers alone (none for a drive that
// is no card); nothing is opened for reading or writing.
uint32_t diskCardFlags(unsigned index, uint32_t& flags);

// Lets go of the volumes a closing in the middle of a format run left locked.
void releaseParkedDiskVolumes();

} // namespace brc::vcard
