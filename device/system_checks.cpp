#include "device/system_checks.h"

#include <algorithm>
#include <string>
#include <vector>

#include "os/os_services.h"

namespace brc {
namespace {

constexpr uint32_t kPlatformWindows = 1;  // VER_PLATFORM_WIN32_WINDOWS
constexpr uint32_t kPlatformNt = 2;       // VER_PLATFORM_WIN32_NT
constexpr uint32_t kNtWorkstation = 1;    // VER_NT_WORKSTATION

const char kAdministrators[] = "S-1-5-32-544";
const char kPowerUsers[] = "S-1-5-32-547";

// Only XP and later may run the format path; the older kinds are recognised to refuse them.
uint32_t answerFor(OsKind kind) {
    return kind == OsKind9x || kind == OsKind2000 || kind == OsKindNt4 ? 0 : 1;
}

} // namespace

uint32_t queryOsKind(SystemState& sys) {
    // A kind once found does not change within a process, so the system is asked only once.
    if (sys.osKind != OsKindUnknown) return answerFor(sys.osKind);
    OsVersion v;
    if (!sys.os.getVersion(v)) return 1;
    if (v.platformId == kPlatformWindows) {
        sys.osKind = OsKind9x;
    } else if (v.platformId == kPlatformNt) {
        if (v.major <= 4)
            sys.osKind = OsKindNt4;
        else if (v.major == 5 && v.minor == 0)
            sys.osKind = OsKind2000;
        else if (v.major == 5 && (v.minor == 1 || v.minor == 2))
            sys.osKind = OsKindXp;
        else if (v.major == 6)
            sys.osKind = OsKindVistaTo8;
    }
    return answerFor(sys.osKind);
}

uint32_t isSupportedWorkstation(SystemState& sys) {
    OsVersion v;
    if (!sys.os.getVersion(v)) return 0;
    if (v.platformId != kPlatformNt || v.productType != kNtWorkstation) return 0;
    const bool listed = (v.major == 5 && (v.minor == 1 || v.minor == 2)) ||
                        (v.major == 6 && v.minor <= 2);
    return listed ? 1 : 0;
}

uint32_t queryAdminLevel(SystemState& sys) {
    std::vector<std::string> sids;
    if (!sys.os.tokenGroups(sids)) return 0;
    // Attributes do not matter: a disabled or deny-only membership still counts.
    auto has = [&](const char* sid) { return std::find(sids.begin(), sids.end(), sid) != sids.end(); };
    if (has(kAdministrators)) return 2;
    if (has(kPowerUsers)) return 1;
    return 0;
}

uint32_t startVolumeService(SystemState& sys) {
    const uint32_t error = sys.os.startService(u"KVOSDFSVC");
    return error == 0 || error == kErrorServiceAlreadyRunning ? 1 : 0;
}

uint32_t testVolumeServicePipe(SystemState& sys) {
    return sys.os.pipeOpens(u"\\\\.\\pipe\\kvosdsvc") ? 1 : 0;
}

} // namespace brc
