#include "drivers/windows/overlapped_writer.h"

#include <new>

#include "drivers/windisk/disk_answers.h"

namespace brc::sdhost {

struct OverlappedWriter::Slot {
    OVERLAPPED overlapped{};
    WriteRequest* request = nullptr;
};

OverlappedWriter::OverlappedWriter(HANDLE h, uint32_t writeProtectCode, DWORD waitMs,
                                   DWORD cancelWaitMs)
    : h_(h), writeProtectCode_(writeProtectCode), waitMs_(waitMs), cancelWaitMs_(cancelWaitMs) {}

OverlappedWriter::~OverlappedWriter() {
    if (!onTheirWay_.empty()) giveUp();
    free_.insert(free_.end(), onTheirWay_.begin(), onTheirWay_.end());
    for (Slot* slot : free_) {
        CloseHandle(slot->overlapped.hEvent);
        delete slot;
    }
}

uint32_t OverlappedWriter::start(WriteRequest& request) {
    if (unanswered_) return SDHOST_ERR_NO_CARD;
    // More than one wait can watch: a queue made for more requests than that.
    if (onTheirWay_.size() >= kMostOverlappedWrites) return SDHOST_ERR_PARAM;
    Slot* slot = nullptr;
    if (!free_.empty()) {
        slot = free_.back();
        free_.pop_back();
    } else {
        slot = new (std::nothrow) Slot;
        if (!slot) return SDHOST_ERR_OUT_OF_MEMORY;
        slot->overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (!slot->overlapped.hEvent) {
            delete slot;
            return SDHOST_ERR_OUT_OF_MEMORY;
        }
    }
    const HANDLE event = slot->overlapped.hEvent;
    slot->overlapped = OVERLAPPED{};
    slot->overlapped.hEvent = event;
    slot->overlapped.Offset = static_cast<DWORD>(request.offset);
    slot->overlapped.OffsetHigh = static_cast<DWORD>(request.offset >> 32);
    slot->request = &request;
    ResetEvent(event);
    DWORD moved = 0;
    // Done at once or not, the event is set when the request is through.
    if (!WriteFile(h_, request.data, static_cast<DWORD>(request.length), &moved,
                   &slot->overlapped) &&
        GetLastError() != ERROR_IO_PENDING) {
        const DWORD err = GetLastError();
        free_.push_back(slot);
        return windisk::transferFailure(err, writeProtectCode_);
    }
    request.system = slot;
    onTheirWay_.push_back(slot);
    return SDHOST_OK;
}

uint32_t OverlappedWriter::wait(WriteRequest*& done) {
    done = nullptr;
    HANDLE events[MAXIMUM_WAIT_OBJECTS];
    const auto count = static_cast<DWORD>(onTheirWay_.size());
    for (DWORD i = 0; i < count; ++i) events[i] = onTheirWay_[i]->overlapped.hEvent;
    DWORD which = count ? WaitForMultipleObjects(count, events, FALSE, waitMs_) : WAIT_FAILED;
    if (which >= WAIT_OBJECT_0 + count) {
        // None came back in time (or nothing to wait for): what is out is cancelled.
        if (count) giveUp();
        if (onTheirWay_.empty()) return held_ || unanswered_ ? SDHOST_ERR_NO_CARD : SDHOST_ERR_IO;
        which = WAIT_OBJECT_0; // every one left has come back
    }
    Slot* slot = onTheirWay_[which - WAIT_OBJECT_0];
    onTheirWay_.erase(onTheirWay_.begin() + (which - WAIT_OBJECT_0));
    free_.push_back(slot);
    done = slot->request;
    done->system = nullptr;
    return result(*slot);
}

uint32_t OverlappedWriter::result(Slot& slot) const {
    // Once the reader let a wait run out it counts as gone, whatever became of the request.
    if (unanswered_) return SDHOST_ERR_NO_CARD;
    DWORD moved = 0;
    if (!GetOverlappedResult(h_, &slot.overlapped, &moved, FALSE))
        return windisk::transferFailure(GetLastError(), writeProtectCode_);
    // Short: the medium ended before the request did.
    return moved == slot.request->length ? SDHOST_OK : SDHOST_ERR_NO_CARD;
}

void OverlappedWriter::giveUp() {
    unanswered_ = true;
    CancelIo(h_);
    // Cancelled together, they come back together: one wait for them all.
    const DWORD began = GetTickCount();
    for (auto it = onTheirWay_.begin(); it != onTheirWay_.end();) {
        const DWORD spent = GetTickCount() - began;
        const DWORD left = spent < cancelWaitMs_ ? cancelWaitMs_ - spent : 0;
        if (WaitForSingleObject((*it)->overlapped.hEvent, left) == WAIT_OBJECT_0) {
            ++it;
            continue;
        }
        // Never given back: the system may still read its buffer (which the queue leaves alone)
        // and write its OVERLAPPED and event, so the slot is left to it, never freed or closed.
        held_ = true;
        it = onTheirWay_.erase(it);
    }
}

} // namespace brc::sdhost
