// A card's device for a user who may not open it: udisks2, the system's storage service, opens
// it on the user's behalf once polkit allows (as GNOME Disks and udisksctl have it do), and
// passes the descriptor over the system bus. It also unmounts the card's file systems and has
// the kernel read the new partition table, which need root as well. The calls go through sd-bus
// (libsystemd); a build without it answers every call with `unavailable`.
#pragma once

#include <string>
#include <string_view>

namespace brc {

struct UdisksRequest {
    // polkit may ask the user (through the session's authentication agent) rather than refuse
    // what needs a password: a person is at the terminal.
    bool interactive = false;
    // OpenDevice: for reading and writing, exclusively (a format); else for reading alongside
    // whoever else holds the device (plan, check).
    bool write = true;
};

struct UdisksAnswer {
    int fd = -1;              // OpenDevice: the device, the caller's to keep or close
    bool unavailable = false; // no system bus, or no udisks2 on it
    bool denied = false;      // polkit did not allow it (or the user dismissed its question)
    std::string error;        // why not, in words without a full stop; empty when done
    bool done() const { return error.empty(); }
};

// How a failed call reads, from the name of the D-Bus error it came back with.
enum class UdisksFailure { Unavailable, Denied, Failed };
UdisksFailure classifyUdisksError(std::string_view errorName);

// Block.OpenDevice on the udisks2 object of `devicePath`. The descriptor is verified to be
// open on that very device, and numbered 10 or above (clear of what a card's run is given).
UdisksAnswer udisksOpenDevice(const std::string& devicePath, const UdisksRequest& request);

// Filesystem.Unmount of the file system on `filesystem` (a device path): one of its mounts.
UdisksAnswer udisksUnmount(const std::string& filesystem, const UdisksRequest& request);

// Block.Rescan of `devicePath`: the kernel reads its partition table again.
UdisksAnswer udisksRescan(const std::string& devicePath, const UdisksRequest& request);

// Whether udisks2 answers on the system bus (starting it if the bus starts services).
bool udisksAnswers();

// What polkit would answer, asked without interaction, if this process had udisks2 open the
// device at `devicePath` for writing: the action udisks2 checks is chosen as it chooses it (the
// `-system` one for a device it hints is the system's).
enum class UdisksPermission {
    Allowed,      // udisks2 would open it
    WithPassword, // polkit would ask for a password first (through the session's agent)
    Refused,      // polkit says no, or udisks2 or polkit is not there to ask
};
UdisksPermission udisksMayOpen(const std::string& devicePath);

} // namespace brc
