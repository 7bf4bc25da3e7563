// The operating system's volume for the card: locked and dismounted around a format, never used
// for sector I/O. Whether it is touched at all is the system's VolumePolicy (touchesVolume); where
// it is not, every operation succeeds without a call.
#pragma once

#include <cstdint>
#include <string>

#include "device/system_checks.h"

namespace brc {

struct DriverBinding;

// 1 for A: to 26 for Z: from a root path's first character; 0 for anything else.
uint32_t driveNumberOf(const std::u16string& rootPath);

// How a volume operation ended.
enum class VolumeResult {
    Done,       // done, or nothing to do
    CannotOpen, // the volume does not open
    Refused,    // the system refused the request
};

VolumeResult openVolume(SystemState& sys, uint32_t driveNumber); // Done or CannotOpen
VolumeResult lockVolume(SystemState& sys, uint32_t driveNumber);
VolumeResult unlockVolume(SystemState& sys, uint32_t driveNumber);
VolumeResult dismountVolume(SystemState& sys, uint32_t driveNumber);
void closeVolume(SystemState& sys);
// Done, or CannotOpen when the volume does not reopen afterwards (the card may be gone).
VolumeResult releaseVolume(SystemState& sys, uint32_t driveNumber);
bool isFloppyDrive(SystemState& sys, uint32_t driveNumber);
// True when a private "quillhost" instance opens the card and the volume opens, locks, unlocks.
bool probeVolumeLock(SystemState& sys, uint32_t driveNumber);
// DDIdentify, then a read of the user area's last sector; 0 or the driver's error.
uint32_t checkCardReadable(DriverBinding& driver);

} // namespace brc
