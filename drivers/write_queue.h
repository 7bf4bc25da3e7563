// The write path of a card's device: consecutive writes gathered into large aligned requests,
// several of them on their way to the medium at once, behind the driver's synchronous calls.
//
// A write the queue has accepted returns 0; reads and DDFini first settle() (everything accepted
// is on the device, or its error is returned). The first error a request comes back with is
// returned by the next call, and from then on nothing more is accepted or sent: at most the
// window (the requests already on their way when it failed) went out after the failing one.
// Portable: the system's own asynchronous writes come in through AsyncWriter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "drivers/virtual_card.h"

namespace brc::sdhost {

// The most one request carries, and what the queue's buffers are aligned to.
constexpr size_t kLargestRequestBytes = size_t{4} << 20;
constexpr size_t kRequestAlignment = 4096;
// The most that may be on its way to the card at once.
constexpr size_t kWindowBytes = size_t{32} << 20;

// One request to the medium: `length` bytes from `data` at byte `offset`.
struct WriteRequest {
    uint8_t* buffer = nullptr; // the queue's, aligned; `data` lies in it
    uint8_t* data = nullptr;
    size_t length = 0;
    uint64_t offset = 0;
    unsigned attempts = 0;
    void* system = nullptr; // the writer's own state of the request, while it is on its way
};

// The system's asynchronous writes on one open device.
class AsyncWriter {
public:
    virtual ~AsyncWriter() = default;
    // Sends the request; its buffer is the system's until wait() gives it back. A driver code
    // when it could not be sent at all (the request is then not on its way).
    virtual uint32_t start(WriteRequest& request) = 0;
    // Waits for one request on its way to come back; `done` is it, and the result its driver
    // code. A code with `done` null: none came back (the writer gave up waiting).
    virtual uint32_t wait(WriteRequest*& done) = 0;
    // Whether some request was never given back: its buffer may still be written from, and must
    // not be freed.
    virtual bool holdsRequests() const { return false; }
    // Whether zero() is worth more than writing the zeros: the queue then gathers zeros at the
    // ends of requests and whole requests of zeros, however long the run, into one zero().
    virtual bool zeroes() const { return false; }
    // Makes `length` bytes at `offset` read as zeros before it returns; its driver code.
    virtual uint32_t zero(uint64_t /*offset*/, uint64_t /*length*/) { return SDHOST_ERR_PARAM; }
};

// The request size for a device that takes at most `deviceMaxBytes` per command (0: unknown):
// the largest power of two up to that and kLargestRequestBytes, at least one `sectorBytes`.
size_t requestBytesFor(uint64_t deviceMaxBytes, size_t sectorBytes);

class WriteQueue {
public:
    // Requests of at most `requestBytes` (a power of two, a multiple of kRequestAlignment) that
    // never cross a multiple of it on the card, at most `inFlight` of them on their way at once;
    // a request that fails with SDHOST_ERR_IO is sent again as `host` allows.
    WriteQueue(AsyncWriter& writer, const Host& host, size_t requestBytes, size_t inFlight);
    ~WriteQueue();
    WriteQueue(const WriteQueue&) = delete;
    WriteQueue& operator=(const WriteQueue&) = delete;

    // Accepts `count` sectors at `first`; 0, or the first error of an earlier request. False
    // ok() (no memory for the buffers) accepts nothing.
    uint32_t write(const void* data, uint32_t count, uint32_t first);
    // Every accepted write is on the device: 0, or the first error.
    uint32_t settle();
    bool ok() const { return !buffers_.empty(); }
    uint32_t failure() const { return failed_; }
    size_t requestBytes() const { return requestBytes_; }

private:
    void send();                                     // the gathered request, on its way
    void sendZeros();                                // the gathered run of zeros, on the device
    void addZeros(uint64_t offset, uint64_t length); // to the run, or the run sent and a new one
    bool overlapsInFlight(uint64_t begin, uint64_t end) const;
    void reapOne();              // one request back; its error kept
    void begin(uint64_t offset); // a new gathered request at `offset`

    AsyncWriter& writer_;
    Host host_;
    size_t requestBytes_;
    std::vector<WriteRequest> requests_; // a fixed set, so that pointers to them stay valid
    std::vector<uint8_t*> buffers_;      // owned, one per request; none when out of memory
    std::vector<WriteRequest*> free_;
    std::vector<WriteRequest*> inFlight_;
    WriteRequest* gathering_ = nullptr;
    uint64_t zeroFirst_ = 0, zeroLength_ = 0; // bytes: the run of zeros not yet sent
    std::pair<uint64_t, uint64_t> tail_{};    // the zeros after a request's data, for the run
    uint32_t failed_ = SDHOST_OK;
    bool stuck_ = false; // the writer gave up waiting: nothing comes back any more
};

} // namespace brc::sdhost
