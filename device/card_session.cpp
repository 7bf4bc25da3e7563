#include "device/card_session.h"

#include "base/format_types.h"
#include "device/card_map.h"
#include "os/os_services.h"

namespace brc {

RunVolumeHold::RunVolumeHold(DriverBinding& driver, uint32_t driveNumber)
    : driver_(driver), drive_(driveNumber) {
    follow();
}

void RunVolumeHold::follow() {
    // The library told before, if any, was unloaded with the switch, and let go as it went.
    if (held_ == driver_.api.holdVolumes) return;
    held_ = nullptr;
    if (driver_.api.holdVolumes && driver_.api.holdVolumes(drive_, 1) == 0)
        held_ = driver_.api.holdVolumes;
}

bool RunVolumeHold::end() {
    // Only the library that was told: a route switched in between never heard of the run.
    const DDHoldVolumes_t held = held_;
    held_ = nullptr;
    if (!held || held != driver_.api.holdVolumes) return true;
    return held(drive_, 0) != SDHOST_VOLUME_NOT_BACK;
}

CardSession::CardSession(DriverBinding& driver, SystemState& sys, uint32_t driveNumber,
                         const uint32_t* powerAbort)
    : driver_(driver), sys_(sys), drive_(driveNumber), powerAbort_(powerAbort) {}

CardSession::~CardSession() {
    if (volumeHeld_ && exit_ == VolumeExit::Release) releaseVolume();
    closeCard();
    if (sys_.volumeHandle) closeVolume();
}

int32_t CardSession::open() {
    driver_.driverHandle = 0;
    openFlags_ = driver_.driverRoute == 2 ? SDHOST_INIT_ROUTE2 : 0;
    const uint32_t opened = openCard(driver_, drive_);
    cardOpen_ = opened == 0;
    if (driver_.driverRoute == 1) openFlags_ = 0;
    return cardOpen_ ? Success : opened == SDHOST_ERR_ACCESS ? AccessDenied : Failed;
}

int32_t CardSession::check(const std::u16string& rootPath) {
    if (checkCardReadable(driver_) != 0) return CardIdentifyFailed;
    if (stopped()) return PowerInterrupted;
    uint32_t cardFlags = 0;
    if (driver_.api.DDChkSDCard(drive_, &cardFlags) != 0 || (cardFlags & SDHOST_CHK_REFUSED))
        return WriteProtectSwitch;
    if (stopped()) return PowerInterrupted;
    if (driver_.driverRoute == 1) {
        uint8_t mid[8] = {};
        if (driver_.api.DDGetMID(mid, 0, driver_.driverHandle) != 0) return CardNotReady;
    } else if (policy().asksVolumeReady) {
        VolumeInfo info;
        if (!sys_.os.volumeInfo(rootPath, info) && sys_.os.lastError() == kErrorNotReady)
            return CardNotReady;
    }
    return Success;
}

int32_t CardSession::takeVolume(bool dismount) {
    sys_.volumeHandle = nullptr;
    if (openVolume(sys_, drive_) != VolumeResult::Done) return Failed;
    if (stopped()) return PowerInterrupted;
    // Once open, a lock can only be done or refused.
    if (lockVolume(sys_, drive_) == VolumeResult::Refused) {
        dismountVolume(sys_, drive_);
        brc::closeVolume(sys_);
        if (openVolume(sys_, drive_) != VolumeResult::Done) return Failed;
        lockVolume(sys_, drive_);
    }
    if (stopped()) return PowerInterrupted;
    if (dismount) dismountVolume(sys_, drive_);
    volumeHeld_ = true;
    exit_ = VolumeExit::Release;
    return Success;
}

VolumeResult CardSession::releaseVolume() {
    volumeHeld_ = false;
    return brc::releaseVolume(sys_, drive_);
}

void CardSession::closeVolume() { brc::closeVolume(sys_); }

bool CardSession::reopenVolume() {
    if (openVolume(sys_, drive_) != VolumeResult::Done) return false;
    lockVolume(sys_, drive_);
    return true;
}

uint32_t CardSession::closeCard() {
    if (!cardOpen_) return 0;
    cardOpen_ = false;
    return driver_.api.DDFini(driver_.driverHandle);
}

uint32_t CardSession::reopenCard(uint32_t flags) {
    uint32_t handle = 0;
    const uint32_t r = driver_.api.DDInit(&handle, drive_ | flags);
    if (r == 0) {
        driver_.driverHandle = handle;
        cardOpen_ = true;
    }
    return r;
}

} // namespace brc
