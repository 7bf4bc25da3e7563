// Writes on a Linux device opened with O_DIRECT, sent through the kernel's asynchronous I/O
// (io_submit): several requests reach the device's queue at once, with no thread of ours and no
// library beyond the system calls. Runs of zeros go out as "write zeros".
//
// Waits on the kernel last a fraction of a second at a time, between which the run is asked
// whether it was told to stop (Host::run). Once it was, a card that gives nothing back for
// kAnswerAfterStopMs is given up on: what can be cancelled is (io_cancel), everything still on
// its way is left to the kernel with its buffer (never freed, and this library never unloaded),
// and every later call fails with SDHOST_ERR_NO_CARD. The kernel itself may keep the process
// from ending until those requests are through: its exit waits for them.
#pragma once

#include <memory>

#include "drivers/write_queue.h"

namespace brc::sdhost {

// After a stop, how long a card may give nothing back before it is given up on.
constexpr unsigned kAnswerAfterStopMs = 5000;

class LinuxDeviceWriter : public AsyncWriter {
public:
    // The device's cache flushed (fsync): through the asynchronous context where the writer
    // has one, so that it is waited for as the writes are; else directly, as long as the
    // kernel takes. SDHOST_ERR_NO_CARD, asking nothing, once the card was given up on.
    virtual uint32_t flush() = 0;
};

// A writer on `fd` (not owned) for up to 64 requests at once, through the kernel's asynchronous
// I/O once several requests of `streamBytes` came, written one by one before that and where the
// kernel has no context to spare. `failure` turns an errno into the driver's code.
std::unique_ptr<LinuxDeviceWriter> linuxWriter(int fd, size_t streamBytes,
                                               uint32_t (*failure)(int, const Host&),
                                               const Host& host);

} // namespace brc::sdhost
