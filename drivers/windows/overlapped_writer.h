// Writes on a Windows disk handle opened overlapped (openPath): each request a WriteFile of its
// own with its own event, several on their way at once, waited for together and bounded in time
// as every call on a card is. Only calls that XP has.
#pragma once

#include <windows.h>

#include <vector>

#include "drivers/windows/win_io.h"
#include "drivers/write_queue.h"

namespace brc::sdhost {

// WaitForMultipleObjects takes at most MAXIMUM_WAIT_OBJECTS handles; one is kept spare.
constexpr size_t kMostOverlappedWrites = MAXIMUM_WAIT_OBJECTS - 1;

// A writer on `h` (not owned, opened with FILE_FLAG_OVERLAPPED) for up to kMostOverlappedWrites
// requests at once. When none of the requests on their way comes back within `waitMs`, the
// reader counts as not answering: they are cancelled and come back as SDHOST_ERR_NO_CARD, and
// nothing more is sent. CancelIo cancels the calling thread's requests only (XP has no other
// way), so start() and wait() are called on one thread, as the driver's calls are.
class OverlappedWriter final : public AsyncWriter {
public:
    OverlappedWriter(HANDLE h, uint32_t writeProtectCode, DWORD waitMs = kTransferWaitMs,
                     DWORD cancelWaitMs = kCancelWaitMs);
    // A request still out is cancelled first; one the system never gives back keeps its
    // OVERLAPPED and event, which the system may still write into.
    ~OverlappedWriter() override;
    OverlappedWriter(const OverlappedWriter&) = delete;
    OverlappedWriter& operator=(const OverlappedWriter&) = delete;

    uint32_t start(WriteRequest& request) override;
    uint32_t wait(WriteRequest*& done) override;
    bool holdsRequests() const override { return held_; }
    // The reader let a wait run out: it counts as gone from then on.
    bool unanswered() const { return unanswered_; }

private:
    struct Slot;   // one request's OVERLAPPED and event
    void giveUp(); // cancels everything on its way; what does not come back is held
    uint32_t result(Slot& slot) const;

    HANDLE h_;
    uint32_t writeProtectCode_;
    DWORD waitMs_, cancelWaitMs_;
    std::vector<Slot*> free_;
    std::vector<Slot*> onTheirWay_;
    bool unanswered_ = false;
    bool held_ = false;
};

} // namespace brc::sdhost
