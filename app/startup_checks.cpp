#include "app/startup_checks.h"

#include "device/driver_binding.h"
#include "device/system_checks.h"
#include "os/os_services.h"
#include "res/message_ids.h"

namespace brc {

InstanceGuard::InstanceGuard(OsServices& os) : os_(os) {
    bool alreadyExisted = false;
    mutex_ = os_.createNamedMutex(kInstanceMutexName, alreadyExisted);
    if (alreadyExisted) refusal_ = msg::CardInUseMutexExisted;
}

InstanceGuard::~InstanceGuard() {
    if (mutex_) os_.releaseNamedMutex(mutex_);
}

uint32_t runStartupChecks(SystemState& sys, DriverBinding& driver) {
    if (!isSupportedWorkstation(sys)) return msg::UnsupportedSystem;
    if (queryOsKind(sys) && queryAdminLevel(sys) != AdminLevel::Administrator &&
        !cardReachableWithoutAdmin(sys))
        return msg::AdministratorRequired;
    if (bindDriver(driver, 2) != BindResult::Bound) return msg::DriverLibraryMissing;
    return 0;
}

} // namespace brc
