// The operating system's volume for the card: locked and dismounted around a format, never used
// for sector I/O. Under Vista to 8 (OsKindVistaTo8) the volume is left alone.
#pragma once

#include <cstdint>
#include <string>

#include "device/system_checks.h"

namespace brc {

struct DriverBinding;

// 1 for A: to 26 for Z: from a root path's first character; 0 for anything else.
uint32_t driveNumberOf(const std::u16string& rootPath);

uint32_t openVolume(SystemState& sys, uint32_t driveNumber);     // 0 or 1
uint32_t lockVolume(SystemState& sys, uint32_t driveNumber);     // 0, 1 cannot open, 2 refused
uint32_t unlockVolume(SystemState& sys, uint32_t driveNumber);
uint32_t dismountVolume(SystemState& sys, uint32_t driveNumber);
uint32_t closeVolume(SystemState& sys);                          // 0
uint32_t releaseVolume(SystemState& sys, uint32_t driveNumber);  // 0, or 1 cannot reopen
uint32_t isFloppyDrive(SystemState& sys, uint32_t driveNumber);
// 1 when a private "quillhost" instance opens the card and the volume opens, locks, unlocks.
uint32_t probeVolumeLock(SystemState& sys, uint32_t driveNumber);
// DDIdentify, then a read of the user area's last sector; 0 or the driver's error.
uint32_t checkCardReadable(DriverBinding& driver);

} // namespace brc
