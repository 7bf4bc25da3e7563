// A real card on Windows: the whole disk (\\.\PhysicalDriveN, the card with its MBR) behind a
// drive letter, served through the same operations as a virtual card.
#pragma once

#include <memory>
#include <string>

#include "drivers/virtual_card.h"

namespace brc::sdhost {

// Opens the disk behind drive `index` (0 = A:) once the system's answers say it is a card
// (drivers/windisk/disk_answers.h): for reading and writing, or for reading only with `readOnly` (a
// probe). Writes and erases take every volume of the disk first (drivers/windisk/disk_volumes.h)
// and hold them until the card's last closing in a format run. `error` holds one line for the user
// when there is something to say.
uint32_t openDiskCard(unsigned index, bool readOnly, const Host& host, std::unique_ptr<Card>& card,
                      std::string& error);

// DDChkSDCard's flags for drive `index`, from the system's answers alone (none for a drive that
// is no card); nothing is opened for reading or writing.
uint32_t diskCardFlags(unsigned index, uint32_t& flags);

// Lets go of the volumes a closing in the middle of a format run left locked, unless a run is
// still going (in another module of ours).
void releaseParkedDiskVolumes();

// The library unloads, after its cards are closed: the last module of ours to go lets go of
// whatever is still parked, so a card is never left locked and dismounted.
void unloadDiskCards();

// A format run's hold on drive `index`: on, the run begins and its first opening fixes its disk;
// off, the run ends. Where no card of the drive is open then, the run's last closing is done
// here: the system is told of the new partition table and the parked volumes are let go.
// SDHOST_OK, or SDHOST_VOLUME_NOT_BACK when the card's volume did not come back.
uint32_t holdDiskRun(unsigned index, bool on);

} // namespace brc::sdhost
