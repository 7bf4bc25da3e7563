#include "drivers/linux/linux_aio.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <linux/aio_abi.h>
#include <linux/falloc.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <new>
#include <optional>
#include <vector>

namespace brc::sdhost {
namespace {

using Failure = uint32_t (*)(int, const Host&);

// One synchronous write of the whole range; its driver code.
uint32_t writeAll(int fd, const uint8_t* p, size_t length, uint64_t offset, Failure failure,
                  const Host& host) {
    auto at = static_cast<off_t>(offset);
    while (length > 0) {
        const ssize_t n = ::pwrite(fd, p, length, at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return failure(n < 0 ? errno : ENXIO, host); // 0: the medium shrank
        p += n;
        at += n;
        length -= static_cast<size_t>(n);
    }
    return SDHOST_OK;
}

// What both writers share: the device, and zeros handed to it as "write zeros" (BLKZEROOUT). A
// device that has the command zeroes the range without the bytes crossing the bus, and the
// kernel writes zero pages itself to one that has not; the card reads the same either way.
class DeviceWriter : public LinuxDeviceWriter {
public:
    DeviceWriter(int fd, Failure failure, const Host& host)
        : fd_(fd), failure_(failure), host_(host) {}
    ~DeviceWriter() override { ::operator delete (zeros_, std::align_val_t{kRequestAlignment}); }
    DeviceWriter(const DeviceWriter&) = delete;
    DeviceWriter& operator=(const DeviceWriter&) = delete;

    bool zeroes() const override { return true; }

    uint32_t zero(uint64_t offset, uint64_t length) override {
        // First the device's own command, where it may unmap (a file-backed device then frees
        // the range); else the kernel's, which writes zero pages where the device has none.
        if (unmaps_) {
            if (::fallocate(fd_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE,
                            static_cast<off_t>(offset), static_cast<off_t>(length)) == 0)
                return SDHOST_OK;
            if (!unsupported(errno)) return failure_(errno, host_);
            unmaps_ = false;
        }
        uint64_t range[2] = {offset, length};
        if (usable_ && ::ioctl(fd_, BLKZEROOUT, range) == 0) return SDHOST_OK;
        if (usable_ && !unsupported(errno)) return failure_(errno, host_);
        usable_ = false; // a kernel without the command: the zeros are written as data
        if (!zeros_) {
            zeros_ = static_cast<uint8_t*>(
                ::operator new (kLargestRequestBytes, std::align_val_t{kRequestAlignment}));
            std::fill(zeros_, zeros_ + kLargestRequestBytes, uint8_t{0});
        }
        for (uint64_t done = 0; done < length;) {
            const size_t n =
                static_cast<size_t>(std::min<uint64_t>(length - done, kLargestRequestBytes));
            if (uint32_t rc = writeAll(fd_, zeros_, n, offset + done, failure_, host_)) return rc;
            done += n;
        }
        return SDHOST_OK;
    }

protected:
    int fd_;
    Failure failure_;
    Host host_;

private:
    static bool unsupported(int err) {
        return err == EOPNOTSUPP || err == EINVAL || err == ENOTTY || err == ENODEV;
    }

    bool unmaps_ = true;
    bool usable_ = true;
    uint8_t* zeros_ = nullptr;
};

// Contexts of writers that are gone, all their requests back, for the next: tearing one down
// waits for the kernel's grace period (some 20 ms, at the process's exit too). What is left at
// the end goes with the process.
std::vector<aio_context_t>& spareContexts() {
    static std::vector<aio_context_t> spare;
    return spare;
}

constexpr unsigned kContextCapacity = 64;
// One wait on the kernel, before the run is asked again whether it was told to stop.
constexpr long kWaitSliceNs = 200L * 1000 * 1000;
// How long requests that were cancelled are given to come back.
constexpr auto kCancelWait = std::chrono::milliseconds(1000);

using Clock = std::chrono::steady_clock;

// Keeps this library loaded for the rest of the process: the kernel holds requests whose
// buffers only it keeps in reach.
void pinThisLibrary() {
    static const char anchor = 0;
    Dl_info info{};
    if (::dladdr(&anchor, &info) != 0 && info.dli_fname)
        ::dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
}

// Requests go through the kernel's asynchronous I/O once a stream has begun, from the
// kSyncStreamRequests'th whole-size request on (as an overwrite writes); until then, and where
// the kernel has no context to spare (fs.aio-max-nr reached), each is written when it is sent:
// a quick format's few small requests, or a probe's few whole ones, cost no context, whose
// teardown at the process's exit waits tens of milliseconds for the kernel.
constexpr unsigned kSyncStreamRequests = 8;

class LinuxWriter final : public DeviceWriter {
public:
    LinuxWriter(int fd, size_t streamBytes, Failure failure, const Host& host)
        : DeviceWriter(fd, failure, host), streamBytes_(streamBytes) {}
    ~LinuxWriter() override {
        if (!context_) return;
        // Tearing a context down waits, uninterruptibly, for what is still on its way: the
        // context of a card given up on is left to the process's exit.
        if (outstanding_ == 0) spareContexts().push_back(context_);
        else if (!unanswered_) ::syscall(SYS_io_destroy, context_);
    }

    uint32_t start(WriteRequest& request) override {
        if (unanswered_) return SDHOST_ERR_NO_CARD;
        if (!context_ && request.length >= streamBytes_ && ++streamed_ >= kSyncStreamRequests)
            openContext();
        if (!context_) {
            finished_.push_back({&request, writeAll(fd_, request.data, request.length,
                                                    request.offset, failure_, host_)});
            return SDHOST_OK;
        }
        Slot& slot = freeSlot();
        slot.request = &request;
        slot.cb.aio_lio_opcode = IOCB_CMD_PWRITE;
        slot.cb.aio_buf = reinterpret_cast<uintptr_t>(request.data);
        slot.cb.aio_nbytes = request.length;
        slot.cb.aio_offset = static_cast<int64_t>(request.offset);
        return submit(slot) ? SDHOST_OK : failure_(errno, host_);
    }

    uint32_t wait(WriteRequest*& done) override {
        if (!finished_.empty()) {
            const auto [request, rc] = finished_.back();
            finished_.pop_back();
            done = request;
            return rc;
        }
        done = nullptr;
        if (!returned_.empty()) {
            done = returned_.back();
            returned_.pop_back();
            return SDHOST_ERR_NO_CARD;
        }
        if (unanswered_) return SDHOST_ERR_NO_CARD;         // the rest stays the kernel's
        if (outstanding_ == 0) return failure_(EIO, host_); // nothing was on its way
        io_event event{};
        const int waited = await(event);
        if (waited == kUnanswered) {
            giveUp();
            return wait(done); // what came back in the meantime first
        }
        if (waited != 0) return failure_(waited, host_);
        Slot& slot = slotOf(event);
        done = slot.request;
        release(slot);
        if (!done) return failure_(EIO, host_); // not a write's: nothing else is sent meanwhile
        if (event.res < 0) return failure_(static_cast<int>(-event.res), host_);
        // Short: the medium ended before the request did.
        return static_cast<size_t>(event.res) == done->length ? SDHOST_OK : failure_(ENXIO, host_);
    }

    bool holdsRequests() const override { return unanswered_ && outstanding_ > 0; }

    uint32_t flush() override {
        if (unanswered_) return SDHOST_ERR_NO_CARD;
        if (context_ && outstanding_ == 0) {
            Slot& slot = freeSlot();
            slot.cb.aio_lio_opcode = IOCB_CMD_FSYNC;
            if (submit(slot)) {
                io_event event{};
                const int waited = await(event);
                if (waited == kUnanswered) {
                    giveUp();
                    return SDHOST_ERR_NO_CARD;
                }
                if (waited != 0) return failure_(waited, host_);
                release(slotOf(event));
                return event.res < 0 ? failure_(static_cast<int>(-event.res), host_) : SDHOST_OK;
            }
            // A kernel without asynchronous fsync (before 4.18): the flush waits here.
        }
        return ::fsync(fd_) == 0 ? SDHOST_OK : failure_(errno, host_);
    }

private:
    // One request's control block while it is on its way; `request` is null for a flush.
    struct Slot {
        iocb cb{};
        WriteRequest* request = nullptr;
        bool busy = false;
    };
    static constexpr int kUnanswered = -1;

    Slot& freeSlot() {
        // The queue keeps at most kContextCapacity writes on their way, and a flush none.
        Slot* slot =
            std::find_if(slots_.begin(), slots_.end(), [](const Slot& s) { return !s.busy; });
        *slot = Slot{};
        slot->busy = true;
        slot->cb.aio_data = static_cast<uint64_t>(slot - slots_.data());
        slot->cb.aio_fildes = static_cast<uint32_t>(fd_);
        return *slot;
    }
    Slot& slotOf(const io_event& event) { return slots_[static_cast<size_t>(event.data)]; }
    void release(Slot& slot) {
        slot.busy = false;
        --outstanding_;
    }

    // Sends the slot's request; false (errno set, the slot free again) when it was not taken.
    bool submit(Slot& slot) {
        iocb* list[1] = {&slot.cb};
        long sent;
        do sent = ::syscall(SYS_io_submit, context_, 1L, list);
        while (sent < 0 && errno == EINTR);
        ++outstanding_;
        if (sent == 1) return true;
        if (sent >= 0) errno = EIO;
        const int err = errno;
        release(slot);
        errno = err;
        return false;
    }

    // One request back into `event`: 0, an errno, or kUnanswered when the run was told to stop
    // and nothing came back for kAnswerAfterStopMs after that.
    int await(io_event& event) {
        std::optional<Clock::time_point> stopSeen;
        for (;;) {
            timespec slice{0, kWaitSliceNs};
            const long got = ::syscall(SYS_io_getevents, context_, 1L, 1L, &event, &slice);
            if (got == 1) return 0;
            if (got < 0 && errno != EINTR) return errno;
            if (!stopSeen && host_.run && host_.run->stopRequested()) stopSeen = Clock::now();
            if (stopSeen &&
                Clock::now() - *stopSeen >= std::chrono::milliseconds(kAnswerAfterStopMs))
                return kUnanswered;
        }
    }

    // The card does not answer: from now on it counts as gone. What can be cancelled is, and
    // what comes back within kCancelWait is handed back; the rest, with its buffer, is left to
    // the kernel, which may still read it.
    void giveUp() {
        unanswered_ = true;
        pinThisLibrary();
        if (host_.run) host_.run->cardAbandoned();
        for (Slot& slot : slots_) {
            io_event ignored{};
            if (slot.busy) ::syscall(SYS_io_cancel, context_, &slot.cb, &ignored);
        }
        const auto until = Clock::now() + kCancelWait;
        while (outstanding_ > 0) {
            const auto left =
                std::chrono::duration_cast<std::chrono::nanoseconds>(until - Clock::now());
            if (left.count() <= 0) break;
            timespec time{static_cast<time_t>(left.count() / 1000000000),
                          static_cast<long>(left.count() % 1000000000)};
            io_event event{};
            const long got = ::syscall(SYS_io_getevents, context_, 1L, 1L, &event, &time);
            if (got < 0 && errno == EINTR) continue;
            if (got != 1) break;
            Slot& slot = slotOf(event);
            if (slot.request) returned_.push_back(slot.request);
            release(slot);
        }
    }

    void openContext() {
        auto& spare = spareContexts();
        if (!spare.empty()) {
            context_ = spare.back();
            spare.pop_back();
        } else if (::syscall(SYS_io_setup, kContextCapacity, &context_) != 0) {
            context_ = 0;
            streamBytes_ = SIZE_MAX; // not asked again
        }
    }

    size_t streamBytes_;
    unsigned streamed_ = 0; // whole-size requests so far
    aio_context_t context_ = 0;
    unsigned outstanding_ = 0;
    std::array<Slot, kContextCapacity + 1> slots_{};           // the writes, and a flush
    std::vector<std::pair<WriteRequest*, uint32_t>> finished_; // written when they were sent
    std::vector<WriteRequest*> returned_; // came back after the card was given up on
    bool unanswered_ = false;
};

} // namespace

std::unique_ptr<LinuxDeviceWriter> linuxWriter(int fd, size_t streamBytes, Failure failure,
                                               const Host& host) {
    return std::make_unique<LinuxWriter>(fd, streamBytes, failure, host);
}

} // namespace brc::sdhost
