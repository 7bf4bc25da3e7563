// Which system this is, whether the user may format, and the volume service.
#pragma once

#include <cstdint>

namespace brc {

class OsServices;

// The operating-system generation, as queryOsKind finds it.
enum OsKind : int32_t {
    OsKindUnknown = -1,
    OsKind9x = 0,
    OsKindXp = 1,  // XP and Server 2003
    OsKindVistaTo8 = 2,
    OsKind2000 = 3,
    OsKindNt4 = 4,
};

// The operating-system generation and the volume handle, shared by the checks and the volume
// operations of one process.
struct SystemState {
    OsServices& os;
    OsKind osKind = OsKindUnknown;
    void* volumeHandle = nullptr;
    explicit SystemState(OsServices& services) : os(services) {}
};

// Sets osKind (cached after a first success); 1 for XP or later, 0 for older systems.
uint32_t queryOsKind(SystemState& sys);
// 1 for NT 5.1, 5.2, 6.0, 6.1 or 6.2 workstation editions.
uint32_t isSupportedWorkstation(SystemState& sys);
// 2 Administrators, 1 Power Users, 0 neither (or the token cannot be read).
uint32_t queryAdminLevel(SystemState& sys);
// 1 when "KVOSDFSVC" was started or already runs.
uint32_t startVolumeService(SystemState& sys);
// 1 when "\\.\pipe\kvosdsvc" opens.
uint32_t testVolumeServicePipe(SystemState& sys);

} // namespace brc
