// Block devices this process reaches through a descriptor it was handed rather than through the
// device node: udisks2 opens a card for a user who may not open /dev/sdX, and every part of the
// run (the command's checks and lock, the driver library, the label) then works through copies
// of that one descriptor. The driver context names them, one entry per device
// ("FD:MAJOR:MINOR[,FD:MAJOR:MINOR...]"), so that the driver libraries loaded into the same
// process find them too; a run started for one card of several inherits its card's alone, named
// by BRINDLECARD_DEVICE_FD as a user who hands the command a descriptor names it.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brc {

inline constexpr const char* kHandedDevicesVariable = "BRINDLECARD_DEVICE_FD";

// One entry: a descriptor and the device it must still be open on.
struct HandedEntry {
    int fd = -1;
    unsigned major = 0, minor = 0;
    bool operator==(const HandedEntry&) const = default;
};

// The entries of the list's text; nullopt when any of it is malformed (then none is taken).
std::optional<std::vector<HandedEntry>> parseHandedEntries(std::string_view text);
std::string formatHandedEntries(const std::vector<HandedEntry>& entries);

// Names `fd` (open on a block device) as the way to that device for this process and the
// libraries it loads, in place of an entry for the same device; false when `fd` is no block
// device. The process keeps `fd` from then on.
bool handOverDevice(int fd);

// The entry handed over for the block device at `path`, while its descriptor is still open on it.
std::optional<HandedEntry> handedEntry(const std::string& path);
// Its descriptor, or -1.
int handedDescriptor(const std::string& path);

// The descriptors still open on the devices their entries name.
std::vector<HandedEntry> handedDevices();

// Closes the descriptor handed over for the device at `path` and drops its entry: udisks2 opened
// it exclusively, and the kernel reads the card's partition table only once nobody holds it so.
void releaseHandedDevice(const std::string& path);
// The same for every handed device.
void releaseHandedDevices();

// open(path, flags): for the handed-over device a copy of its descriptor instead, with O_DIRECT
// and O_NONBLOCK set as `flags` ask (those flags are shared by every copy, and the run uses one
// copy at a time). With O_EXCL the device is opened again through the descriptor where this
// process may, so that another program's exclusive claim refuses it; where it may not, the
// copy is given, the descriptor having been opened exclusively by udisks2.
int openBlockDevice(const std::string& path, int flags);

} // namespace brc
