#include "device/volume_access.h"

#include <cstddef>

#include "device/driver_binding.h"
#include "os/os_services.h"

namespace brc {
namespace {

bool volumeLeftAlone(const SystemState& sys) { return sys.osKind == OsKindVistaTo8; }

char16_t letterOf(uint32_t driveNumber) { return static_cast<char16_t>(driveNumber + 64); }

// Shared by lock, unlock and dismount: open on demand, then one request.
uint32_t sendRequest(SystemState& sys, uint32_t driveNumber, VolumeRequest request) {
    if (volumeLeftAlone(sys)) return 0;
    if (!sys.volumeHandle && openVolume(sys, driveNumber) != 0) return 1;
    return sys.os.volumeRequest(sys.volumeHandle, request) ? 0 : 2;
}

char16_t asciiLower(char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c; }

} // namespace

uint32_t driveNumberOf(const std::u16string& rootPath) {
    if (rootPath.empty()) return 0;
    const char16_t c = rootPath[0];
    if (c >= u'A' && c <= u'Z') return static_cast<uint32_t>(c - u'A') + 1;
    if (c >= u'a' && c <= u'z') return static_cast<uint32_t>(c - u'a') + 1;
    return 0;
}

uint32_t openVolume(SystemState& sys, uint32_t driveNumber) {
    if (volumeLeftAlone(sys) || sys.volumeHandle) return 0;
    sys.volumeHandle = sys.os.openVolume(letterOf(driveNumber));
    return sys.volumeHandle ? 0 : 1;
}

uint32_t lockVolume(SystemState& sys, uint32_t driveNumber) {
    return sendRequest(sys, driveNumber, VolumeRequest::Lock);
}

uint32_t unlockVolume(SystemState& sys, uint32_t driveNumber) {
    return sendRequest(sys, driveNumber, VolumeRequest::Unlock);
}

uint32_t dismountVolume(SystemState& sys, uint32_t driveNumber) {
    return sendRequest(sys, driveNumber, VolumeRequest::Dismount);
}

uint32_t closeVolume(SystemState& sys) {
    // A null handle has nothing to close: closing it would be a misuse of the system call.
    if (!volumeLeftAlone(sys) && sys.volumeHandle) sys.os.closeVolume(sys.volumeHandle);
    sys.volumeHandle = nullptr;
    return 0;
}

uint32_t releaseVolume(SystemState& sys, uint32_t driveNumber) {
    unlockVolume(sys, driveNumber);
    if (sys.volumeHandle) closeVolume(sys);

    if (openVolume(sys, driveNumber) != 0) return 1;

    if (lockVolume(sys, driveNumber) == 2) {
        // Files open on the card: force them off and try once more. If the volume does not
        // reopen, only the final test below is left.
        dismountVolume(sys, driveNumber);
        closeVolume(sys);
        openVolume(sys, driveNumber);
        if (sys.volumeHandle) lockVolume(sys, driveNumber);
    }
    // Dismounting the locked volume makes the system mount the new file system.
    if (sys.volumeHandle) {
        dismountVolume(sys, driveNumber);
        unlockVolume(sys, driveNumber);
        closeVolume(sys);
    }

    // A final open tells whether the card is still there.
    const uint32_t test = openVolume(sys, driveNumber);
    if (sys.volumeHandle) closeVolume(sys);
    return test;
}

uint32_t isFloppyDrive(SystemState& sys, uint32_t driveNumber) {
    const auto target = sys.os.queryDosDevice(letterOf(driveNumber));
    if (!target) return 0;
    static const char16_t kFloppy[] = u"\\device\\floppy";
    constexpr size_t kLength = sizeof kFloppy / sizeof kFloppy[0] - 1;  // 14
    if (target->size() < kLength) return 0;
    for (size_t i = 0; i < kLength; ++i)
        if (asciiLower((*target)[i]) != kFloppy[i]) return 0;
    return 1;
}

uint32_t probeVolumeLock(SystemState& sys, uint32_t driveNumber) {
    OsServices& os = sys.os;
    void* lib = os.loadLibrary(driverFileName(1, false));
    if (!lib) return 0;

    auto sysInit = reinterpret_cast<DDSysInit_t>(os.libraryProc(lib, "DDSysInit"));
    auto init = reinterpret_cast<DDInit_t>(os.libraryProc(lib, "DDInit"));
    auto fini = reinterpret_cast<DDFini_t>(os.libraryProc(lib, "DDFini"));
    auto sysFini = reinterpret_cast<DDSysFini_t>(os.libraryProc(lib, "DDSysFini"));
    if (!sysInit || !init || !fini || !sysFini) {
        os.freeLibrary(lib);
        return 0;
    }
    if (sysInit() != 0) {
        os.freeLibrary(lib);
        return 0;
    }
    uint32_t handle = 0;
    if (init(&handle, driveNumber) != 0) {
        sysFini();
        os.freeLibrary(lib);
        return 0;
    }

    // The probe starts from a closed volume; a handle still open here is closed rather than
    // dropped, so it can neither leak nor keep the volume from locking.
    closeVolume(sys);
    uint32_t result = 0;
    if (openVolume(sys, driveNumber) == 0) {
        const uint32_t locked = lockVolume(sys, driveNumber);
        const uint32_t unlocked = unlockVolume(sys, driveNumber);
        result = locked == 0 && unlocked == 0 ? 1 : 0;
    }
    closeVolume(sys);

    fini(handle);
    sysFini();
    os.freeLibrary(lib);
    return result;
}

uint32_t checkCardReadable(DriverBinding& driver) {
    const DriverApi& api = driver.api;
    // Without a bound library there is no card to read: say so instead of calling through null.
    if (!api.DDIdentify || !api.DDReadPT) return SDHOST_ERR_NOT_READY;

    uint32_t userSectors = 0, cylinders = 0, totalSectors = 0, heads = 0, sectorsPerTrack = 0;
    uint32_t protectedSectors = 0, eraseBlockSectors = 0, reserved = 0;
    uint16_t bytesPerSector = 0;
    uint8_t cardType = 0, busWidth = 0;
    uint32_t r = api.DDIdentify(&userSectors, &cylinders, &totalSectors, &heads, &bytesPerSector,
                                &sectorsPerTrack, &cardType, &protectedSectors, &busWidth,
                                &eraseBlockSectors, &reserved, driver.driverHandle);
    if (r != 0) return r;
    // The last sector of an empty user area would wrap to sector 0xFFFFFFFF.
    if (userSectors == 0) return SDHOST_ERR_RANGE;

    unsigned char sector[512] = {};
    return api.DDReadPT(sector, 1, userSectors - 1, driver.driverHandle);
}

} // namespace brc
