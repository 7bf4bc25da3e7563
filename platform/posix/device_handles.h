// Block devices this process reaches through a descriptor it was handed rather than through the
// device node: udisks2 opens a card for a user who may not open /dev/sdX, and every part of the
// run (the command's checks and lock, the driver library, the label) then works through copies
// of that one descriptor. BRINDLECARD_DEVICE_FD="FD:MAJOR:MINOR" names it, so that the driver
// libraries, loaded into the same process, find it too.
#pragma once

#include <string>

namespace brc {

// Names `fd` (open on a block device) as the way to that device for this process and the
// libraries it loads; false when `fd` is no block device.
bool handOverDevice(int fd);

// The descriptor handed over for the block device at `path`, or -1.
int handedDescriptor(const std::string& path);

// open(path, flags): for the handed-over device a copy of its descriptor instead, with O_DIRECT
// and O_NONBLOCK set as `flags` ask (those flags are shared by every copy, and the run uses one
// copy at a time); O_EXCL needs nothing more, as the descriptor was opened exclusively.
int openBlockDevice(const std::string& path, int flags);

} // namespace brc
