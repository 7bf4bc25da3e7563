#include "app/card_probes.h"

#include "base/format_types.h"
#include "device/card_session.h"
#include "engine/fat_writers.h"
#include "engine/layout.h"
#include "os/os_services.h"

namespace brc {

int32_t rebindDriverLibrary(ProbeContext& ctx, const std::u16string& rootPath) {
    DriverBinding& driver = ctx.driver;
    if (driver.driverRoute == 0) return -1;
    // Only where the system's volume is touched at all; elsewhere it counts as opened.
    const uint32_t drive = driveNumberOf(rootPath);
    if (queryOsKind(ctx.sys) && ctx.sys.policy().touchesVolume && drive != 0) {
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
                          bool sizeAdjustment, FormatPlan* plan) {
    DriverBinding& driver = ctx.driver;
    if (driver.driverRoute == 0) return Failed;
    const uint32_t drive = driveNumberOf(rootPath);
    if (drive == 0) return Failed;

    // No power word: a suspend does not stop the label operations.
    CardSession session(driver, ctx.sys, drive);
    if (const int32_t opened = session.open()) return opened;
    if (const int32_t refused = session.check(rootPath)) return refused;
    if (const int32_t notTaken = session.takeVolume(false)) return notTaken;

    if (operation == LabelPreCheck)
        return checkFormatPlan(label, sizeAdjustment, driver, plan, ctx.oem);
    if (operation == Fat32Repair)
        return repairFat32AfterLabel(label, sizeAdjustment, driver, ctx.oem);
    return Success;
}

} // namespace brc
