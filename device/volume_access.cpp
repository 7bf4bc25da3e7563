#include "device/volume_access.h"

#include <cstddef>

#include "device/driver_binding.h"
#include "os/os_services.h"

namespace brc {
namespace {

bool volumeLeftAlone(const SystemState& sys) { return !sys.policy().touchesVolume; }

char16_t letterOf(uint32_t driveNumber) { return static_cast<char16_t>(driveNumber + 64); }

// Shared by lock, unlock and dismount: open on demand, then one request.
VolumeResult sendRequest(SystemState& sys, uint32_t driveNumber, VolumeRequest request) {
    if (volumeLeftAlone(sys)) return VolumeResult::Done;
    if (!sys.volumeHandle && openVolume(sys, driveNumber) != VolumeResult::Done)
        return VolumeResult::CannotOpen;
    return sys.os.volumeRequest(sys.volumeHandle, request) ? VolumeResult::Done
                                                           : VolumeResult::Refused;
}

char16_t asciiLower(char16_t c) {
    return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c;
}

} // namespace

uint32_t driveNumberOf(const std::u16string& rootPath) {
    if (rootPath.empty()) return 0;
    const char16_t c = rootPath[0];
    if (c >= u'A' && c <= u'Z') return static_cast<uint32_t>(c - u'A') + 1;
    if (c >= u'a' && c <= u'z') return static_cast<uint32_t>(c - u'a') + 1;
    return 0;
}

VolumeResult openVolume(SystemState& sys, uint32_t driveNumber) {
    if (volumeLeftAlone(sys) || sys.volumeHandle) return VolumeResult::Done;
    sys.volumeHandle = sys.os.openVolume(letterOf(driveNumber));
    return sys.volumeHandle ? VolumeResult::Done : VolumeResult::CannotOpen;
}

VolumeResult lockVolume(SystemState& sys, uint32_t driveNumber) {
    return sendRequest(sys, driveNumber, VolumeRequest::Lock);
}

VolumeResult unlockVolume(SystemState& sys, uint32_t driveNumber) {
    return sendRequest(sys, driveNumber, VolumeRequest::Unlock);
}

VolumeResult dismountVolume(SystemState& sys, uint32_t driveNumber) {
    return sendRequest(sys, driveNumber, VolumeRequest::Dismount);
}

void closeVolume(SystemState& sys) {
    // A null handle has nothing to close: closing it would be a misuse of the system call.
    if (!volumeLeftAlone(sys) && sys.volumeHandle) sys.os.closeVolume(sys.volumeHandle);
    sys.volumeHandle = nullptr;
}

VolumeResult releaseVolume(SystemState& sys, uint32_t driveNumber) {
    unlockVolume(sys, driveNumber);
    if (sys.volumeHandle) closeVolume(sys);

    if (openVolume(sys, driveNumber) != VolumeResult::Done) return VolumeResult::CannotOpen;

    if (lockVolume(sys, driveNumber) == VolumeResult::Refused) {
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
    const VolumeResult test = openVolume(sys, driveNumber);
    if (sys.volumeHandle) closeVolume(sys);
    return test;
}

bool isFloppyDrive(SystemState& sys, uint32_t driveNumber) {
    const auto target = sys.os.driveDevicePath(letterOf(driveNumber));
    if (!target) return false;
    static const char16_t kFloppy[] = u"\\device\\floppy";
    constexpr size_t kLength = sizeof kFloppy / sizeof kFloppy[0] - 1; // 14
    if (target->size() < kLength) return false;
    for (size_t i = 0; i < kLength; ++i)
        if (asciiLower((*target)[i]) != kFloppy[i]) return false;
    return true;
}

bool probeVolumeLock(SystemState& sys, uint32_t driveNumber) {
    PrivateDriver instance(sys.os, driverFileName(1, false), false);
    if (!instance.ready() || instance.open(driveNumber, false) != 0) return false;

    // The probe starts from a closed volume; a handle still open here is closed rather than
    // dropped, so it can neither leak nor keep the volume from locking.
    closeVolume(sys);
    bool lockable = false;
    if (openVolume(sys, driveNumber) == VolumeResult::Done) {
        const VolumeResult locked = lockVolume(sys, driveNumber);
        const VolumeResult unlocked = unlockVolume(sys, driveNumber);
        lockable = locked == VolumeResult::Done && unlocked == VolumeResult::Done;
    }
    closeVolume(sys);
    return lockable;
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
