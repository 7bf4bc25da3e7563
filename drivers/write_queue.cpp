#include "drivers/write_queue.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace brc::sdhost {

size_t requestBytesFor(uint64_t deviceMaxBytes, size_t sectorBytes) {
    const uint64_t limit = deviceMaxBytes ? std::min<uint64_t>(deviceMaxBytes, kLargestRequestBytes)
                                          : kLargestRequestBytes;
    size_t bytes = 1;
    while (bytes * 2 <= limit) bytes *= 2;
    return std::max(bytes, sectorBytes);
}

WriteQueue::WriteQueue(AsyncWriter& writer, const Host& host, size_t requestBytes, size_t inFlight)
    : writer_(writer),
      host_(host),
      requestBytes_(requestBytes),
      requests_(std::max<size_t>(inFlight, 1)) {
    for (WriteRequest& r : requests_) {
        r.buffer = static_cast<uint8_t*>(
            ::operator new (requestBytes_, std::align_val_t{kRequestAlignment}, std::nothrow));
        if (!r.buffer) break;
        buffers_.push_back(r.buffer);
        free_.push_back(&r);
    }
    if (buffers_.size() == requests_.size()) return;
    for (uint8_t* b : buffers_) ::operator delete (b, std::align_val_t{kRequestAlignment});
    buffers_.clear();
    free_.clear();
}

namespace {

// Buffers of requests the system never gave back: it may still read them, so they are never
// freed, and kept in reach for the rest of the process (a leak checker sees them held).
std::vector<uint8_t*>& heldBuffers() {
    static auto* held = new std::vector<uint8_t*>;
    return *held;
}

} // namespace

WriteQueue::~WriteQueue() {
    settle();
    // A request the system never gave back may still be read from: its buffer is left to it.
    for (WriteRequest* r : inFlight_) {
        heldBuffers().push_back(r->buffer);
        std::replace(buffers_.begin(), buffers_.end(), r->buffer, static_cast<uint8_t*>(nullptr));
    }
    for (uint8_t* b : buffers_)
        if (b) ::operator delete (b, std::align_val_t{kRequestAlignment});
}

uint32_t WriteQueue::write(const void* data, uint32_t count, uint32_t first) {
    if (failed_) return failed_;
    if (!ok()) return SDHOST_ERR_OUT_OF_MEMORY;
    const uint8_t* from = static_cast<const uint8_t*>(data);
    uint64_t offset = first * kSectorSize;
    size_t length = static_cast<size_t>(count * kSectorSize);
    while (length > 0 && !failed_) {
        if (gathering_ && gathering_->offset + gathering_->length != offset) send();
        if (!gathering_) begin(offset);
        if (!gathering_) break; // failed while waiting for a buffer
        // A request ends at the next multiple of its size on the card, so that requests line
        // up with the card's erase blocks.
        const size_t room = requestBytes_ -
                            static_cast<size_t>(gathering_->offset % requestBytes_) -
                            gathering_->length;
        const size_t n = std::min(room, length);
        std::memcpy(gathering_->data + gathering_->length, from, n);
        gathering_->length += n;
        from += n;
        offset += n;
        length -= n;
        if (n == room) send();
    }
    return failed_;
}

uint32_t WriteQueue::settle() {
    if (gathering_) send();
    sendZeros();
    while (!inFlight_.empty() && !stuck_) reapOne();
    return failed_;
}

void WriteQueue::begin(uint64_t offset) {
    while (free_.empty() && !failed_) reapOne();
    if (failed_) return;
    gathering_ = free_.back();
    free_.pop_back();
    gathering_->data = gathering_->buffer;
    gathering_->offset = offset;
    gathering_->length = 0;
    gathering_->attempts = 0;
}

bool WriteQueue::overlapsInFlight(uint64_t begin, uint64_t end) const {
    return std::any_of(inFlight_.begin(), inFlight_.end(), [&](const WriteRequest* r) {
        return r->offset < end && begin < r->offset + r->length;
    });
}

namespace {

constexpr size_t kZeroUnit = kRequestAlignment;

// Each byte equal to the one after it, and the first zero: the library's own comparison, many
// times faster than a loop over the bytes.
bool zeroUnit(const uint8_t* p, size_t length) {
    return length == 0 || (p[0] == 0 && std::memcmp(p, p + 1, length - 1) == 0);
}

} // namespace

void WriteQueue::addZeros(uint64_t offset, uint64_t length) {
    if (length == 0) return;
    if (zeroLength_ == 0 || zeroFirst_ + zeroLength_ != offset) {
        sendZeros();
        zeroFirst_ = offset;
    }
    zeroLength_ += length;
}

void WriteQueue::send() {
    WriteRequest* request = gathering_;
    gathering_ = nullptr;
    if (!failed_ && writer_.zeroes()) {
        // Whole units of zeros at either end join the run of zeros; the data between is sent.
        size_t head = 0, end = request->length;
        while (head < end && zeroUnit(request->data + head, std::min(kZeroUnit, end - head)))
            head += std::min(kZeroUnit, end - head);
        while (end > head) {
            const size_t unit = (end - head) % kZeroUnit ? (end - head) % kZeroUnit : kZeroUnit;
            if (!zeroUnit(request->data + end - unit, unit)) break;
            end -= unit;
        }
        addZeros(request->offset, head);
        if (head == end) {
            free_.push_back(request);
            return;
        }
        tail_ = {request->offset + end, request->length - end};
        request->data += head;
        request->offset += head;
        request->length = end - head;
    }
    sendZeros(); // what was asked before lands before
    // Two requests on the same sectors at once could land in either order: the later waits.
    while (!failed_ && overlapsInFlight(request->offset, request->offset + request->length))
        reapOne();
    const uint32_t rc = failed_ ? failed_ : writer_.start(*request);
    if (rc == SDHOST_OK) inFlight_.push_back(request);
    else free_.push_back(request);
    if (!failed_) failed_ = rc;
    addZeros(tail_.first, tail_.second);
    tail_ = {};
}

void WriteQueue::sendZeros() {
    const uint64_t first = zeroFirst_, length = zeroLength_;
    zeroLength_ = 0;
    if (length == 0) return;
    while (!failed_ && overlapsInFlight(first, first + length)) reapOne();
    const uint32_t rc = failed_ ? failed_ : writer_.zero(first, length);
    if (!failed_) failed_ = rc;
}

void WriteQueue::reapOne() {
    WriteRequest* done = nullptr;
    uint32_t rc = writer_.wait(done);
    if (!done) {
        // The system gives nothing back any more: what is on its way stays its own.
        stuck_ = true;
        if (!failed_) failed_ = rc ? rc : SDHOST_ERR_IO;
        return;
    }
    inFlight_.erase(std::find(inFlight_.begin(), inFlight_.end(), done));
    if (rc == SDHOST_ERR_IO && !failed_ && done->attempts < host_.retries) {
        ++done->attempts;
        rc = writer_.start(*done);
        if (rc == SDHOST_OK) {
            inFlight_.push_back(done);
            return;
        }
    }
    if (rc && !failed_) failed_ = rc;
    free_.push_back(done);
}

} // namespace brc::sdhost
