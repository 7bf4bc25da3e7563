// The real cards the volume service serves, and on what terms. The service opens disks as
// LocalSystem for users who may not open them, so it serves fewer disks than an administrator's
// own run formats: an SD or MMC slot, a card reader the library's rules know by its ids, or a
// reader an administrator allowed by its ids; never a USB stick or disk that merely calls its
// medium removable. The decisions are portable and run on recorded answers; the service's
// Windows side gives them the system's answers and opens the disk.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "drivers/windisk/disk_run.h"

namespace brc::volsvc {

struct ServicePolicy {
    // Device-id prefixes of the readers an administrator allowed ("USB\VID_058F&PID_6366"),
    // matched as the library matches the readers it knows, against any of a disk's ids.
    std::vector<std::string> readers;
};

// The service's Readers value: ids separated by ';', blanks around each ignored. An entry that
// is no device id (no enumerator before a backslash, or a character ids never hold) leaves the
// whole list unread, with `error` saying which: a typo must not widen or narrow it unseen.
ServicePolicy parsePolicy(const std::string& readers, std::string& error);

// Empty where the service serves the disk `facts` describes (a card by the library's rules);
// else why not, completing "E: ...".
std::string notServed(const windisk::DiskFacts& facts, const ServicePolicy& policy);

// What the system's removable-storage policies say, the machine's or one user's
// (Software\Policies\Microsoft\Windows\RemovableStorageDevices under HKLM, or the user's own hive).
struct StoragePolicy {
    bool denyAll = false;   // Deny_All: every removable storage class
    bool denyRead = false;  // the removable disks' class {53f5630d-...}: Deny_Read
    bool denyWrite = false; // and Deny_Write
};

// Who the machine lets format and eject removable media ("Devices: Allowed to format and eject
// removable media", Winlogon's AllocateDASD): 0 administrators, 1 and power users, 2 and
// interactive users; nullopt where the policy is not defined.
struct FormatPolicy {
    std::optional<int> allocateDasd;
};

// The client as the policies ask: its groups, with the Administrators group enabled (an
// administrator under UAC before elevation has it for denying only).
struct ClientRights {
    bool administrator = false;
    bool powerUser = false;
};

// Empty where the policies let the client have `access` (kRead, kWrite) to a card; else why
// not. The service opens the card as LocalSystem: what the system would refuse the user
// itself, the service refuses too.
std::string policyRefusal(const StoragePolicy& machine, const StoragePolicy& user,
                          const FormatPolicy& format, const ClientRights& client, uint32_t access);

// Drive `drive` vetted for a client, outside any run: the library's rules, then the service's.
windisk::Vetting vetServed(windisk::DiskSystem& system, unsigned drive,
                           const ServicePolicy& policy);

// Opens the disk at `path` (\\.\PhysicalDriveN) for its data, fills in what the opened handle
// answers of itself, and keeps the handle; false with `why` where it did not open.
using DiskOpener =
    std::function<bool(const std::string& path, windisk::DiskFacts& answered, std::string& why)>;

// The disk vetted as `vetted` opened for a client and judged again on what opened: the same
// rules, the same disk. A refusal keeps nothing open (the opener's handle is the caller's to
// drop).
windisk::Verdict openServed(const windisk::DiskFacts& vetted, const ServicePolicy& policy,
                            const DiskOpener& open);

} // namespace brc::volsvc
