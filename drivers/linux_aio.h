// Writes on a Linux device opened with O_DIRECT, sent through the kernel's asynchronous I/O
// (io_submit): several requests reach the device's queue at once, with no thread of ours and no
// library beyond the system calls. Runs of zeros go out as "write zeros".
#pragma once

#include <memory>

#include "drivers/write_queue.h"

namespace brc::vcard {

// A writer on `fd` (not owned) for up to 64 requests at once, through the kernel's asynchronous
// I/O from the first request of `streamBytes` on, written one by one before that and where the
// kernel has no context to spare. `failure` turns an errno into the driver's code.
std::unique_ptr<AsyncWriter> linuxWriter(int fd, size_t streamBytes,
                                         uint32_t (*failure)(int, const Host&), const Host& host);

} // namespace brc::vcard
