#include "device/system_checks.h"

#include <string>

#include "os/os_services.h"

namespace brc {
namespace {

constexpr uint32_t kPlatformWindows = 1; // VER_PLATFORM_WIN32_WINDOWS
constexpr uint32_t kPlatformNt = 2;      // VER_PLATFORM_WIN32_NT
constexpr uint32_t kNtWorkstation = 1;   // VER_NT_WORKSTATION

const char kAdministrators[] = "S-1-5-32-544";
const char kPowerUsers[] = "S-1-5-32-547";

constexpr VolumePolicy kXp{true, true, true, false};
constexpr VolumePolicy kXpServed{false, true, true, false};
constexpr VolumePolicy kVistaTo8{false, false, false, true};
constexpr VolumePolicy kPosix{false, false, false, true};

// Only XP and later may run the format path; the older kinds are recognised to refuse them.
bool answerFor(OsKind kind) {
    return !(kind == OsKind9x || kind == OsKind2000 || kind == OsKindNt4);
}

bool isPosix(SystemState& sys) { return sys.os.systemFamily() == SystemFamily::Posix; }

} // namespace

const VolumePolicy& volumePolicy(OsKind kind, bool served) {
    if (kind == OsKindVistaTo8) return kVistaTo8;
    if (kind == OsKindPosix) return kPosix;
    return served ? kXpServed : kXp;
}

bool queryOsKind(SystemState& sys) {
    // A kind once found does not change within a process, so the system is asked only once.
    if (sys.osKind != OsKindUnknown) return answerFor(sys.osKind);
    if (isPosix(sys)) {
        sys.osKind = OsKindPosix;
        return true;
    }
    OsVersion v;
    if (!sys.os.systemVersion(v)) return true;
    if (v.platformId == kPlatformWindows) {
        sys.osKind = OsKind9x;
    } else if (v.platformId == kPlatformNt) {
        if (v.major <= 4) sys.osKind = OsKindNt4;
        else if (v.major == 5 && v.minor == 0) sys.osKind = OsKind2000;
        else if (v.major == 5 && (v.minor == 1 || v.minor == 2)) sys.osKind = OsKindXp;
        else if (v.major == 6) sys.osKind = OsKindVistaTo8;
    }
    return answerFor(sys.osKind);
}

bool isSupportedWorkstation(SystemState& sys) {
    if (isPosix(sys)) return true;
    OsVersion v;
    if (!sys.os.systemVersion(v)) return false;
    if (v.platformId != kPlatformNt || v.productType != kNtWorkstation) return false;
    return (v.major == 5 && (v.minor == 1 || v.minor == 2)) || (v.major == 6 && v.minor <= 2);
}

AdminLevel queryAdminLevel(SystemState& sys) {
    if (isPosix(sys)) return sys.os.isSuperuser() ? AdminLevel::Administrator : AdminLevel::None;
    // As the system's access checks count it: an administrator under UAC who was not elevated
    // holds Administrators for denying only, and would be refused the disk.
    auto has = [&](const char* sid) {
        bool member = false;
        return sys.os.isInGroup(sid, member) && member;
    };
    if (has(kAdministrators)) return AdminLevel::Administrator;
    if (has(kPowerUsers)) return AdminLevel::PowerUser;
    return AdminLevel::None;
}

bool startVolumeService(SystemState& sys) {
    const uint32_t error = sys.os.startService(u"KVOSDFSVC");
    return error == 0 || error == kErrorServiceAlreadyRunning;
}

bool testVolumeServicePipe(SystemState& sys) { return sys.os.pipeOpens(u"\\\\.\\pipe\\kvosdsvc"); }

bool cardReachableWithoutAdmin(SystemState& sys) {
    if (isPosix(sys)) return sys.os.mayOpenCard();
    startVolumeService(sys);
    sys.volumesServed = testVolumeServicePipe(sys);
    return sys.volumesServed;
}

} // namespace brc
