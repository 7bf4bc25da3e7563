#include "app/startup_checks.h"

#include "device/driver_binding.h"
#include "device/system_checks.h"

namespace brc {

uint32_t runStartupChecks(SystemState& sys, DriverBinding& driver) {
    if (!isSupportedWorkstation(sys)) return 261;
    if (queryOsKind(sys) != 0 && queryAdminLevel(sys) != 2) {
        startVolumeService(sys);  // only the pipe tells whether the service serves us
        if (!testVolumeServicePipe(sys)) return 219;
    }
    if (bindDriver(driver, 2) != 0) return 220;
    return 0;
}

} // namespace brc
