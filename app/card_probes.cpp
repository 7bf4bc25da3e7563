#include "app/card_probes.h"

#include "base/format_types.h"
#include "device/driver_binding.h"
#include "device/system_checks.h"
#include "device/volume_access.h"
#include "engine/fat_writers.h"
#include "engine/layout.h"
#include "os/os_services.h"

namespace brc {

int32_t rebindDriverLibrary(ProbeContext& ctx, const std::u16string& rootPath) {
    DriverBinding& driver = ctx.driver;
    if (driver.driverRoute == 0) return -1;
    // XP and later; from Vista on the volume is left alone, which counts as opened.
    const uint32_t drive = driveNumberOf(rootPath);
    if (queryOsKind(ctx.sys) != 0 && ctx.sys.osKind != OsKindVistaTo8 && drive != 0) {
        // A local handle: the format's own volume handle is not touched by a probe.
        void* volume = ctx.sys.os.openVolume(static_cast<char16_t>(u'A' + drive - 1));
        if (!volume && driver.driverRoute == 2) switchDriverRoute(driver);
        if (volume) ctx.sys.os.closeVolume(volume);
    }
    if (driver.driverRoute == 1) switchDriverRoute(driver);
    return 0;
}

int32_t runLabelOperation(ProbeContext& ctx, LabelOperation operation,
                          const std::u16string& rootPath, const std::u16string& label,
                          bool sizeAdjustment) {
    DriverBinding& driver = ctx.driver;
    SystemState& sys = ctx.sys;
    if (driver.driverRoute == 0) return Failed;
    const uint32_t drive = driveNumberOf(rootPath);
    if (drive == 0) return Failed;

    driver.driverHandle = 0;
    if (openCard(driver, drive) != 0) return Failed;
    const auto closeCard = [&](int32_t result) {
        driver.api.DDFini(driver.driverHandle);
        return result;
    };

    if (checkCardReadable(driver) != 0) return closeCard(CardIdentifyFailed);
    uint32_t cardFlags = 0;
    if (driver.api.DDChkSDCard(drive, &cardFlags) != 0 || (cardFlags & SDHOST_CHK_REFUSED))
        return closeCard(WriteProtectSwitch);
    if (driver.driverRoute == 1) {
        uint8_t mid[8] = {};
        if (driver.api.DDGetMID(mid, 0, driver.driverHandle) != 0) return closeCard(CardNotReady);
    } else if (sys.osKind != OsKindVistaTo8) {
        VolumeInformation info;
        if (!sys.os.volumeInformation(rootPath, info) && sys.os.lastError() == kErrorNotReady)
            return closeCard(CardNotReady);
    }

    sys.volumeHandle = nullptr;
    if (openVolume(sys, drive) != 0) return closeCard(Failed);
    if (lockVolume(sys, drive) != 0) {
        dismountVolume(sys, drive);
        closeVolume(sys);
        if (openVolume(sys, drive) != 0) return closeCard(Failed);
        lockVolume(sys, drive);
    }

    int32_t result = Success;
    if (operation == LabelPreCheck)
        result = checkFormatPlan(label, sizeAdjustment, driver, nullptr, ctx.oem);
    else if (operation == Fat32Repair)
        result = repairFat32AfterLabel(label, sizeAdjustment, driver, ctx.oem);

    releaseVolume(sys, drive);
    return closeCard(result);
}

} // namespace brc
