#include "passes/flash_erase.h"

#include <optional>
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

    startTick = os.tickCount();
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
            // A first chunk that fails means the card or host cannot erase at all.
            flags.orStatus(i == 0 ? StatusEraseNotStarted : StatusEraseFailedLater);
            break;
        }
        const uint32_t done = static_cast<uint32_t>(i * kEraseChunkSectors) + size;
        drawCounts(progress, done, count);
    }

    if (privatePath && flags.powerAbort) flags.cancelRequested = 1;
    if (flags.cancelRequested == 1)
        drawCancel(progress);
    else if (result == 0)
        drawCounts(progress, count, count);
    if (result == 0) elapsedMs = os.tickCount() - startTick;
    return result;
}

struct PrivateDriver {
    DDInit_t init = nullptr;
    DDFini_t fini = nullptr;
    DDSysInit_t sysInit = nullptr;
    DDSysFini_t sysFini = nullptr;
    DDErase_t erase = nullptr;
};

template <typename Fn>
bool lookUp(OsServices& os, void* library, const char* name, Fn& out) {
    out = reinterpret_cast<Fn>(os.libraryProc(library, name));
    return out != nullptr;
}

int32_t erasePrivate(uint32_t driveNumber, uint32_t firstSector, uint32_t endSector,
                     uint32_t& elapsedMs, Progress& progress, uint32_t volumeLockFlag,
                     SystemState& sys) {
    OsServices& os = sys.os;
    RunFlags& flags = progress.flags;

    const std::optional<std::u16string> root = os.systemRoot();
    if (!root) {
        flags.orStatus(StatusEraseNotStarted);
        return 1;
    }
    const std::string path = os.privateDriverPath(*root);
    writeConsoleLine(progress, " Load DLL Name : " + path + " \n");

    void* library = os.loadLibrary(path);
    if (!library) {
        flags.orStatus(StatusEraseNotStarted);
        return 1;
    }
    PrivateDriver dd;
    if (!lookUp(os, library, "DDInit", dd.init) || !lookUp(os, library, "DDFini", dd.fini) ||
        !lookUp(os, library, "DDSysInit", dd.sysInit) ||
        !lookUp(os, library, "DDSysFini", dd.sysFini) ||
        !lookUp(os, library, "DDErase", dd.erase)) {
        os.freeLibrary(library);
        flags.orStatus(StatusEraseNotStarted);
        return 1;
    }

    // The private instance can take the card only once the system lets go of the volume.
    unlockVolume(sys, driveNumber);
    if (sys.volumeHandle) closeVolume(sys);

    const bool holdLock = sys.osKind != OsKindVistaTo8 && volumeLockFlag != 0;
    uint32_t result = dd.sysInit();
    if (result != 0) {
        flags.orStatus(StatusEraseNotStarted);
        dd.sysFini();
        os.freeLibrary(library);
    } else {
        uint32_t handle = 0;
        result = dd.init(&handle, driveNumber);
        if (result != 0) {
            flags.orStatus(StatusEraseNotStarted);
            dd.sysFini();
            os.freeLibrary(library);
        } else {
            if (holdLock) {
                if (!sys.volumeHandle) openVolume(sys, driveNumber);
                if (!sys.volumeHandle) {
                    dd.fini(handle);
                    dd.sysFini();
                    os.freeLibrary(library);
                    return -1;
                }
                lockVolume(sys, driveNumber);
            }
            uint32_t startTick = 0;
            result = eraseChunks(dd.erase, handle, true, firstSector, endSector, elapsedMs,
                                 startTick, progress, os);
            if (holdLock) unlockVolume(sys, driveNumber);
            dd.fini(handle);
            dd.sysFini();
            os.freeLibrary(library);
            if (result == 0) elapsedMs = os.tickCount() - startTick;
        }
    }

    // Leave the volume open and locked for the file-system write that follows.
    if (sys.osKind != OsKindVistaTo8) {
        if (result != 0) {
            if (!sys.volumeHandle) openVolume(sys, driveNumber);
            dismountVolume(sys, driveNumber);
            if (!sys.volumeHandle) return -1;
            lockVolume(sys, driveNumber);
        } else {
            if (!sys.volumeHandle) openVolume(sys, driveNumber);
            if (!sys.volumeHandle) return -1;
            lockVolume(sys, driveNumber);
        }
    }
    return static_cast<int32_t>(result);
}

} // namespace

int32_t eraseFlash(EraseLibrary library, uint32_t driveNumber, uint32_t firstSector,
                   uint32_t endSector, uint32_t& elapsedMs, DriverBinding& driver,
                   Progress& progress, uint32_t volumeLockFlag, SystemState& sys) {
    if (library != EraseBoundLibrary)
        return erasePrivate(driveNumber, firstSector, endSector, elapsedMs, progress,
                            volumeLockFlag, sys);
    if (driver.api.DDErase == nullptr) return kEraseUnsupported;
    uint32_t startTick = 0;
    return static_cast<int32_t>(eraseChunks(driver.api.DDErase, driver.driverHandle, false,
                                            firstSector, endSector, elapsedMs, startTick,
                                            progress, sys.os));
}

} // namespace brc
