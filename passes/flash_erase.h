// The flash erase: DDErase over a range of card sectors, either through the bound library or
// through a private instance of the route-1 library loaded for the occasion.
#pragma once

#include <cstdint>

namespace brc {

struct DriverBinding;
struct Progress;
struct SystemState;

constexpr uint32_t kEraseChunkSectors = 8192; // one DDErase call, 4 MiB
constexpr int32_t kEraseUnsupported = 0x1001; // the bound library has no DDErase

// Whose DDErase runs the erase.
enum EraseLibrary : uint32_t {
    EraseBoundLibrary = 0,   // the bound library's, on driver.driverHandle
    ErasePrivateLibrary = 1, // a private "quillhost" opened on driveNumber, loaded from the
                             // binding's directory, else the program's driver folder
};

// Erases sectors [firstSector, endSector) in chunks, reporting its stage after each and polling
// cancelRequested / powerAbort before each (never resetting cancelRequested). ORs 0x20 (erase did
// not start), 0x10 (a later chunk failed) or 0x40 (cancelled) into the status word.
// Through a private library the volume is unlocked around the erase and locked again afterwards
// (where the system's volume policy touches the volume), and held locked during the erase when
// volumeLockable (probeVolumeLock's answer).
// Returns 0 (done or cancelled; elapsedMs set), kEraseUnsupported, 1 (private library missing or
// incomplete), the failing DDSysInit / DDInit / DDErase result, or -1 (volume cannot be reopened).
int32_t eraseFlash(EraseLibrary library, uint32_t driveNumber, uint32_t firstSector,
                   uint32_t endSector, uint32_t& elapsedMs, DriverBinding& driver,
                   Progress& progress, bool volumeLockable, SystemState& sys);

} // namespace brc
