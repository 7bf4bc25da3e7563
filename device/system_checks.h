// Which system this is, whether the user may format, and the volume service.
#pragma once

#include <cstdint>

namespace brc {

class OsServices;

// The operating-system generation, as queryOsKind finds it.
enum OsKind : int32_t {
    OsKindUnknown = -1,
    OsKind9x = 0,
    OsKindXp = 1, // XP and Server 2003
    OsKindVistaTo8 = 2,
    OsKind2000 = 3,
    OsKindNt4 = 4,
    OsKindPosix = 5, // Linux and its kin: no Windows generation at all
};

// How a system treats the card's volume, and the card around it. Each field is a step in which
// the kinds of system differ; the policy follows from osKind, which is found once.
struct VolumePolicy {
    // XP opens, locks and dismounts the system's volume around a format. Vista to 8 leave it
    // alone, and so does POSIX, whose command line vets and holds the block device itself:
    // there every volume operation succeeds without a call.
    bool touchesVolume;
    // Route 2 asks whether the volume is ready before the card counts as present. Only XP is
    // asked; later systems answer "not ready" for a card they have not mounted yet.
    bool asksVolumeReady;
    // Before the overwrite XP writes a preliminary file system, then reopens card and volume;
    // the others zero sector 0 and reopen only the card.
    bool preliminaryPassBeforeOverwrite;
    // A private erase instance can open the card only when the bound library has closed it
    // (Vista to 8 and POSIX); XP's libraries share the card.
    bool closeCardForPrivateErase;
};

// The policy of a kind. A kind not found yet is treated as XP, the one that guards the volume.
// `served`: the volume service takes the card's volumes for this process (a user who is no
// administrator, who may not open them), so the program leaves them alone on every system.
const VolumePolicy& volumePolicy(OsKind kind, bool served = false);

// The operating-system generation and the volume handle, shared by the checks and the volume
// operations of one process.
struct SystemState {
    OsServices& os;
    OsKind osKind = OsKindUnknown;
    void* volumeHandle = nullptr;
    bool volumesServed = false; // set by cardReachableWithoutAdmin on Windows
    explicit SystemState(OsServices& services) : os(services) {}
    const VolumePolicy& policy() const { return volumePolicy(osKind, volumesServed); }
};

// Sets osKind (cached after a first success); true for XP or later and for POSIX, false for
// older systems.
bool queryOsKind(SystemState& sys);
// Windows: the NT 5.1, 5.2, 6.0, 6.1 or 6.2 workstation editions. POSIX: always.
bool isSupportedWorkstation(SystemState& sys);

// Windows: membership of Administrators or Power Users as access checks count it (a deny-only
// membership does not). POSIX: root is the administrator; nobody is a Power User.
enum class AdminLevel { None, PowerUser, Administrator };
AdminLevel queryAdminLevel(SystemState& sys);

// True when "KVOSDFSVC" was started or already runs (Windows).
bool startVolumeService(SystemState& sys);
// True when "\\.\pipe\kvosdsvc" opens (Windows).
bool testVolumeServicePipe(SystemState& sys);
// Whether a user who is no administrator still reaches the card. Windows: the volume service
// is started (its answer not used: only the pipe tells whether it serves us) and its pipe must
// open; the card's volumes are then the service's (volumesServed). POSIX: the card must open for
// reading and writing.
bool cardReachableWithoutAdmin(SystemState& sys);

} // namespace brc
