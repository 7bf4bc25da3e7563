// The volume service as the driver library's way to a disk it may not open itself (a user who
// is not an administrator, or one under UAC without elevation): the service opens the card's
// disk, takes its volumes and hands this process a duplicate of its handle, which the library
// then uses as its own. One connection per library module; closing it gives every card back.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>

#include "drivers/windisk/disk_run.h"
#include "drivers/windows/win_io.h"

namespace brc::sdhost {

// Drive `index`'s disk from the service, for writing or reading only, and within a run only as
// `runDisk`. An invalid handle when the service is not there or refuses: then `code` is the
// driver code of the refusal (0: no service at all) and `why` says why in a few words. With
// `handed`, what the service says it handed (a disk, or one of its virtual cards' images).
Handle diskFromService(unsigned index, bool write,
                       const std::optional<windisk::DiskIdentity>& runDisk, uint32_t& code,
                       std::string& why, windisk::DiskIdentity* handed = nullptr);

// Gives drive `index`'s card back to the service (its volumes unlocked once nothing of it is
// held any more), once per handing: at most `handings` of them, every one by default. With
// `partition` (the run's end: where the partition it wrote begins), the service waits for the
// card's new volume there; false when it says the volume did not come back.
bool releaseServiceDisk(unsigned index, unsigned handings = ~0u,
                        std::optional<uint64_t> partition = std::nullopt);

// Closes the connection: the service gives back whatever this module still holds.
void closeServiceConnection();

} // namespace brc::sdhost
