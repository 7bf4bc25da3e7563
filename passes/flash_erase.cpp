#include "passes/flash_erase.h"

#include <string>

#include "device/driver_binding.h"
#include "device/system_checks.h"
#include "device/volume_access.h"
#include "progress/progress.h"
#include "os/os_services.h"

namespace brc {
namespace {

void drawCancel(Progress& progress) {
    reportStage(progress, {ProgressStage::Erase, StageState::Cancelled});
    progress.flags.orStatus(StatusEraseCancelled);
}

void drawCounts(Progress& progress, uint32_t done, uint32_t total) {
    uint64_t percent = total ? uint64_t{done} * 100 / total : 100;
    if (percent > 100) percent = 100;
    reportStage(progress, {ProgressStage::Erase, StageState::Running, done, total,
                           static_cast<uint32_t>(percent)});
}

// The chunk loop shared by both paths. Returns the last DDErase result (0 also on cancel) and
// the tick at which the loop started.
uint32_t eraseChunks(DDErase_t erase, uint32_t handle, bool privatePath, uint32_t firstSector,
                     uint32_t endSector, uint32_t& elapsedMs, uint32_t& startTick,
                     Progress& progress, OsServices& os) {
    RunFlags& flags = progress.flags;
    // An end before the start is an empty range: erasing would wrap past the card's end.
    const uint32_t count = endSector > firstSector ? endSector - firstSector : 0;
    const uint64_t chunks = (uint64_t{count} + kEraseChunkSectors - 1) / kEraseChunkSectors;
    const uint32_t lastChunk =
        count % kEraseChunkSectors ? count % kEraseChunkSectors : kEraseChunkSectors;
    uint32_t result = 0;

    startTick = os.milliseconds();
    for (uint64_t i = 0; i < chunks; ++i) {
        if (flags.powerAbort) flags.cancelRequested = 1;
        if (flags.cancelRequested == 1) {
            drawCancel(progress);
            break;
        }
        const uint32_t size = i + 1 == chunks ? lastChunk : kEraseChunkSectors;
        const uint32_t from = firstSector + static_cast<uint32_t>(i * kEraseChunkSectors);
        result = erase(from, from + size - 1, handle);
        if (result != 0) {
            // A first chunk that fails means the card or host cannot erase at all, unless the
            // card failed the transfer itself (an I/O error): that is a failed erase, as at a
            // later chunk, and the run says so.
            uint32_t bits = i == 0 ? uint32_t{StatusEraseNotStarted} : 0u;
            if (i != 0 || result == SDHOST_ERR_IO) bits |= StatusEraseFailedLater;
            flags.orStatus(bits);
            break;
        }
        const uint32_t done = static_cast<uint32_t>(i * kEraseChunkSectors) + size;
        drawCounts(progress, done, count);
    }

    if (privatePath && flags.powerAbort) flags.cancelRequested = 1;
    if (flags.cancelRequested == 1) drawCancel(progress);
    else if (result == 0) drawCounts(progress, count, count);
    if (result == 0) elapsedMs = os.milliseconds() - startTick;
    return result;
}

int32_t notStarted(RunFlags& flags, int32_t result) {
    flags.orStatus(StatusEraseNotStarted);
    return result;
}

// Leaves the volume open and locked for the file-system write that follows, dismounted first
// after a failed erase. False when it does not open.
bool relockForWrite(SystemState& sys, uint32_t driveNumber, bool eraseFailed) {
    if (!sys.volumeHandle) openVolume(sys, driveNumber);
    if (eraseFailed) dismountVolume(sys, driveNumber);
    if (!sys.volumeHandle) return false;
    lockVolume(sys, driveNumber);
    return true;
}

// Where the private instance comes from: the folder the program's own driver libraries lie in,
// the binding's when it names one. Not the system folder: nothing installs the library there,
// and one found there would be another program's, not the one beside the bound library.
std::string privateLibraryPath(const DriverBinding& driver, OsServices& os) {
    const std::string folder =
        driver.directory.empty() ? os.driverLibraryFolder() : driver.directory;
    return folder.empty() ? folder : driverPathIn(folder, 1, false);
}

int32_t erasePrivate(uint32_t driveNumber, uint32_t firstSector, uint32_t endSector,
                     uint32_t& elapsedMs, const DriverBinding& driver, Progress& progress,
                     bool volumeLockable, SystemState& sys) {
    OsServices& os = sys.os;
    RunFlags& flags = progress.flags;
    const bool touchesVolume = sys.policy().touchesVolume;

    const std::string path = privateLibraryPath(driver, os);
    if (path.empty()) return notStarted(flags, 1);
    writeConsoleLine(progress, " Load DLL Name : " + path + " \n");
    PrivateDriver instance(os, path, true);
    if (!instance.ready()) return notStarted(flags, 1);

    // The private instance can take the card only once the system lets go of the volume.
    unlockVolume(sys, driveNumber);
    if (sys.volumeHandle) closeVolume(sys);

    uint32_t result = instance.open(driveNumber, true);
    const bool opened = result == 0;
    if (!opened) flags.orStatus(StatusEraseNotStarted);
    const bool holdLock = opened && touchesVolume && volumeLockable;
    if (holdLock && openVolume(sys, driveNumber) != VolumeResult::Done) return -1;
    if (holdLock) lockVolume(sys, driveNumber);
    uint32_t startTick = 0;
    if (opened)
        result = eraseChunks(instance.erase(), instance.handle(), true, firstSector, endSector,
                             elapsedMs, startTick, progress, os);
    if (holdLock) unlockVolume(sys, driveNumber);
    instance.close();
    if (result == 0) elapsedMs = os.milliseconds() - startTick;
    if (touchesVolume && !relockForWrite(sys, driveNumber, result != 0)) return -1;
    return static_cast<int32_t>(result);
}

} // namespace

int32_t eraseFlash(EraseLibrary library, uint32_t driveNumber, uint32_t firstSector,
                   uint32_t endSector, uint32_t& elapsedMs, DriverBinding& driver,
                   Progress& progress, bool volumeLockable, SystemState& sys) {
    if (library != EraseBoundLibrary)
        return erasePrivate(driveNumber, firstSector, endSector, elapsedMs, driver, progress,
                            volumeLockable, sys);
    if (driver.api.DDErase == nullptr) return kEraseUnsupported;
    uint32_t startTick = 0;
    return static_cast<int32_t>(eraseChunks(driver.api.DDErase, driver.driverHandle, false,
                                            firstSector, endSector, elapsedMs, startTick, progress,
                                            sys.os));
}

} // namespace brc
