#include "format/format_card.h"

#include <cstring>

#include "device/driver_binding.h"
#include "device/system_checks.h"
#include "device/volume_access.h"
#include "engine/layout.h"
#include "exfat/exfat_writers.h"
#include "passes/flash_erase.h"
#include "passes/overwrite.h"
#include "progress/progress.h"
#include "os/os_services.h"

namespace brc {
namespace {

// One run's state: what is open, so that every way out closes exactly what it opened.
class FormatRun {
public:
    FormatRun(FormatServices& svc, const std::u16string& rootPath, std::u16string& label,
              bool sizeAdjustment, FormatType type, FormatFigures& figures)
        : svc_(svc), driver_(svc.driver), sys_(svc.sys), flags_(svc.progress.flags),
          rootPath_(rootPath), label_(label), sizeAdjustment_(sizeAdjustment), type_(type),
          figures_(figures) {}

    int32_t run();

private:
    bool powerAbort() const { return flags_.powerAbort != 0; }
    uint32_t handle() const { return driver_.driverHandle; }
    WriteContext writeContext() {
        return WriteContext{driver_, svc_.progress, svc_.exfat, svc_.report, svc_.oem, svc_.clock};
    }

    void openWindow();
    void closeWindow();
    uint32_t closeCard();
    // DDInit with the given drive argument; the card counts as open again on success.
    uint32_t reopenCard(uint32_t drive);
    // Close up: the card, the volume and the progress window, whichever are open.
    int32_t closeUp(int32_t result);
    // Release the volume and close the card and the window.
    int32_t releaseAndClose(int32_t result);

    int32_t runFullFormatStage();
    uint32_t eraseCard();

    FormatServices& svc_;
    DriverBinding& driver_;
    SystemState& sys_;
    RunFlags& flags_;
    const std::u16string& rootPath_;
    std::u16string& label_;
    bool sizeAdjustment_;
    FormatType type_;
    FormatFigures& figures_;

    uint32_t driveNumber_ = 0;
    uint32_t formatDriveNumber_ = 0;
    uint32_t openFlags_ = 0;
    uint32_t volumeLockChoice_ = 0;
    int32_t overwriteResult_ = 0;
    bool windowOpen_ = false;
    bool cardOpen_ = false;
};

void FormatRun::openWindow() {
    Progress& p = svc_.progress;
    p.view = svc_.window.createProgressWindow();
    windowOpen_ = true;
    const bool overwrites = type_ == FullOverwrite || type_ == FullOverwriteErase;
    const bool erases = type_ == FullOverwriteErase || type_ == FullErase;
    const auto waitingIf = [](bool part) { return part ? StageState::Waiting : StageState::Off; };
    reportStage(p, {ProgressStage::Overwrite, waitingIf(overwrites)});
    reportStage(p, {ProgressStage::Erase, waitingIf(erases)});
    reportStage(p, {ProgressStage::Format, StageState::Waiting});
}

void FormatRun::closeWindow() {
    if (!windowOpen_) return;
    svc_.progress.view = nullptr;
    svc_.window.destroyProgressWindow();
    windowOpen_ = false;
}

uint32_t FormatRun::closeCard() {
    if (!cardOpen_) return 0;
    cardOpen_ = false;
    return driver_.api.DDFini(handle());
}

uint32_t FormatRun::reopenCard(uint32_t drive) {
    uint32_t h = 0;
    const uint32_t r = driver_.api.DDInit(&h, drive);
    if (r == 0) {
        driver_.driverHandle = h;
        cardOpen_ = true;
    }
    return r;
}

int32_t FormatRun::closeUp(int32_t result) {
    closeCard();
    if (sys_.volumeHandle) closeVolume(sys_);
    closeWindow();
    return result;
}

int32_t FormatRun::releaseAndClose(int32_t result) {
    releaseVolume(sys_, driveNumber_);
    closeCard();
    closeWindow();
    return result;
}

int32_t FormatRun::run() {
    if (driver_.driverRoute == 0) return Failed;
    driveNumber_ = driveNumberOf(rootPath_);
    volumeLockChoice_ = (type_ == FullOverwriteErase || type_ == FullErase)
                            ? probeVolumeLock(sys_, driveNumber_)
                            : 0;
    if (figures_.overwriteTime == 0) openWindow();

    // Open the card, falling back to the other route.
    driver_.driverHandle = 0;
    openFlags_ = driver_.driverRoute == 2 ? SDHOST_INIT_ROUTE2 : 0;
    if (openCard(driver_, driveNumber_) != 0) {
        closeWindow();
        return Failed;
    }
    cardOpen_ = true;
    formatDriveNumber_ = driveNumber_;
    if (driver_.driverRoute == 1) openFlags_ = 0;

    if (checkCardReadable(driver_) != 0) return closeUp(CardIdentifyFailed);
    if (powerAbort()) return closeUp(PowerInterrupted);
    uint32_t cardFlags = 0;
    if (driver_.api.DDChkSDCard(driveNumber_, &cardFlags) != 0 || (cardFlags & SDHOST_CHK_REFUSED))
        return closeUp(WriteProtectSwitch);
    if (powerAbort()) return closeUp(PowerInterrupted);
    if (driver_.driverRoute == 1) {
        uint8_t mid[8] = {};
        if (driver_.api.DDGetMID(mid, 0, handle()) != 0) return closeUp(CardNotReady);
    } else if (sys_.osKind == OsKindXp) {
        VolumeInformation info;
        if (!sys_.os.volumeInformation(rootPath_, info) && sys_.os.lastError() == kErrorNotReady)
            return closeUp(CardNotReady);
    }

    // Take the volume.
    sys_.volumeHandle = nullptr;
    if (openVolume(sys_, driveNumber_) != 0) return closeUp(Failed);
    if (powerAbort()) return closeUp(PowerInterrupted);
    if (lockVolume(sys_, driveNumber_) == 2) {
        dismountVolume(sys_, driveNumber_);
        closeVolume(sys_);
        if (openVolume(sys_, driveNumber_) != 0) return closeUp(Failed);
        lockVolume(sys_, driveNumber_);
    }
    if (powerAbort()) return closeUp(PowerInterrupted);
    dismountVolume(sys_, driveNumber_);

    if (const int32_t check = checkFormatPlan(label_, sizeAdjustment_, driver_, nullptr, svc_.oem))
        return releaseAndClose(check);
    if (powerAbort()) return releaseAndClose(PowerInterrupted);
    readOldOemParameters(driver_, svc_.exfat);
    if (powerAbort()) return releaseAndClose(PowerInterrupted);

    if (type_ == Quick) {
        figures_.overwriteResult = -1;
        figures_.eraseResult = -1;
    } else if (const int32_t stage = runFullFormatStage()) {
        return stage;
    }

    flags_.formatProgressEnabled = 1;
    WriteContext ctx = writeContext();
    int32_t result = formatVolume(ctx, label_, sizeAdjustment_);
    figures_.totalSectors = svc_.report.reportDataSectors;
    figures_.partitionSectors = svc_.report.reportPartitionSectors;
    figures_.clusterBytes = svc_.report.reportClusterBytes;
    figures_.fileSystemKind = svc_.report.reportFsType;

    const uint32_t released = releaseVolume(sys_, driveNumber_);
    if (closeCard() != 0) {
        closeWindow();
        return Failed;
    }
    closeWindow();
    if (result == SuccessReinsertCard && overwriteResult_ != 0) return SuccessReinsertCardOverwriteFailed;
    if (result == Success && released != 0) return SuccessReinsertCard;
    return result;
}

int32_t FormatRun::runFullFormatStage() {
    overwriteResult_ = 0;
    flags_.cancelRequested = 0;
    uint8_t kept[512] = {};
    WriteContext ctx = writeContext();

    if (type_ == FullOverwrite || type_ == FullOverwriteErase) {
        driver_.api.DDReadPT(kept, 1, 0, handle());
        if (sys_.osKind == OsKindXp) {
            flags_.formatProgressEnabled = 0;
            std::u16string preliminary = label_;
            const int32_t r = formatVolume(ctx, preliminary, sizeAdjustment_);
            if (powerAbort()) return closeUp(PowerInterrupted);
            if (r != Success && r != SuccessReinsertCard) return closeUp(Failed);
            closeCard();
            closeVolume(sys_);
            if (reopenCard(driveNumber_ | openFlags_) != 0) return closeUp(Failed);
            if (powerAbort()) return closeUp(PowerInterrupted);
            if (openVolume(sys_, driveNumber_) != 0) return closeUp(Failed);
            lockVolume(sys_, driveNumber_);
        } else {
            const uint8_t zero[512] = {};
            if (driver_.api.DDWritePT(zero, 1, 0, handle()) != 0) return closeUp(Failed);
            closeCard();
            if (powerAbort()) return closeUp(PowerInterrupted);
            if (reopenCard(driveNumber_ | openFlags_) != 0) return closeUp(Failed);
        }
        overwriteResult_ = overwriteCard(driver_, figures_.overwriteTime, svc_.progress, sys_.os);
        figures_.overwriteResult = overwriteResult_;
    } else {
        driver_.api.DDReadPT(kept, 1, 0, handle());
        figures_.overwriteResult = -1;
    }

    if ((type_ == FullOverwriteErase || type_ == FullErase) && overwriteResult_ == 0) {
        if (powerAbort()) return releaseAndClose(PowerInterrupted);
        driver_.api.DDWritePT(kept, 1, 0, handle());
        flags_.formatProgressEnabled = 0;
        std::u16string preliminary = label_;
        formatVolume(ctx, preliminary, sizeAdjustment_);
        const uint32_t erased = eraseCard();
        figures_.eraseResult = static_cast<int32_t>(erased);
        if (erased != 0) reportStage(svc_.progress, {ProgressStage::Erase, StageState::Unsupported});
    } else {
        figures_.eraseResult = -1;
    }
    driver_.api.DDWritePT(kept, 1, 0, handle());
    return 0;
}

uint32_t FormatRun::eraseCard() {
    CardCapacity capacity;
    if (uint32_t r = readCardCapacity(driver_, capacity)) return r;
    FormatParameters params{};
    uint32_t userSectors = 0;
    if (uint32_t r = computeCapacity(capacity, userSectors, params, false)) return r;
    if (driver_.driverRoute == 1) {
        return static_cast<uint32_t>(eraseFlash(EraseBoundLibrary, driveNumber_, 0, userSectors,
                                                figures_.eraseTime, driver_, svc_.progress,
                                                volumeLockChoice_, sys_));
    }
    if (sys_.osKind == OsKindVistaTo8) closeCard();
    const int32_t erased = eraseFlash(ErasePrivateLibrary, driveNumber_, 0, userSectors,
                                      figures_.eraseTime, driver_, svc_.progress,
                                      volumeLockChoice_, sys_);
    if (sys_.osKind != OsKindVistaTo8) return static_cast<uint32_t>(erased);
    const uint32_t reopened = reopenCard(formatDriveNumber_ | SDHOST_INIT_ROUTE2);
    return erased != 0 ? static_cast<uint32_t>(erased) : reopened;
}

} // namespace

int32_t formatCard(FormatServices& svc, const std::u16string& rootPath, std::u16string& label,
                   bool sizeAdjustment, FormatType formatType, FormatFigures& figures) {
    FormatRun run(svc, rootPath, label, sizeAdjustment, formatType, figures);
    return run.run();
}

} // namespace brc
