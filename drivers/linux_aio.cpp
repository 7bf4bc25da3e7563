#include "drivers/linux_aio.h"

#include <fcntl.h>
#include <linux/aio_abi.h>
#include <linux/falloc.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <new>

namespace brc::vcard {
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
class DeviceWriter : public AsyncWriter {
public:
    DeviceWriter(int fd, Failure failure, const Host& host) : fd_(fd), failure_(failure), host_(host) {}
    ~DeviceWriter() override { ::operator delete(zeros_, std::align_val_t{kRequestAlignment}); }
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
            zeros_ = static_cast<uint8_t*>(::operator new(kLargestRequestBytes,
                                                          std::align_val_t{kRequestAlignment}));
            std::fill(zeros_, zeros_ + kLargestRequestBytes, uint8_t{0});
        }
        for (uint64_t done = 0; done < length;) {
            const size_t n = static_cast<size_t>(std::min<uint64_t>(length - done, kLargestRequestBytes));
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
    static bool unsupported(int err) { return err == EOPNOTSUPP || err == EINVAL || err == ENOTTY || err == ENODEV; }

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

// Requests go through the kernel's asynchronous I/O from the first whole-size one on (a stream,
// as an overwrite writes); until then, and where the kernel has no context to spare
// (fs.aio-max-nr reached), each is written when it is sent: a quick format's few small requests
// cost no context.
class LinuxWriter final : public DeviceWriter {
public:
    LinuxWriter(int fd, size_t streamBytes, Failure failure, const Host& host)
        : DeviceWriter(fd, failure, host), streamBytes_(streamBytes) {}
    ~LinuxWriter() override {
        if (!context_) return;
        if (outstanding_ == 0) spareContexts().push_back(context_);
        else ::syscall(SYS_io_destroy, context_); // cancels what is still on its way
    }

    uint32_t start(WriteRequest& request) override {
        if (!context_ && request.length >= streamBytes_) openContext();
        if (!context_) {
            finished_.push_back(
                {&request, writeAll(fd_, request.data, request.length, request.offset, failure_, host_)});
            return SDHOST_OK;
        }
        iocb cb{};
        cb.aio_data = reinterpret_cast<uintptr_t>(&request);
        cb.aio_lio_opcode = IOCB_CMD_PWRITE;
        cb.aio_fildes = static_cast<uint32_t>(fd_);
        cb.aio_buf = reinterpret_cast<uintptr_t>(request.data);
        cb.aio_nbytes = request.length;
        cb.aio_offset = static_cast<int64_t>(request.offset);
        iocb* list[1] = {&cb};
        long sent;
        do sent = ::syscall(SYS_io_submit, context_, 1L, list);
        while (sent < 0 && errno == EINTR);
        if (sent != 1) return failure_(sent < 0 ? errno : EIO, host_);
        ++outstanding_;
        return SDHOST_OK;
    }

    uint32_t wait(WriteRequest*& done) override {
        if (!finished_.empty()) {
            const auto [request, rc] = finished_.back();
            finished_.pop_back();
            done = request;
            return rc;
        }
        done = nullptr;
        if (outstanding_ == 0) return failure_(EIO, host_); // nothing was on its way
        io_event event{};
        long got;
        do got = ::syscall(SYS_io_getevents, context_, 1L, 1L, &event, nullptr);
        while (got < 0 && errno == EINTR);
        if (got != 1) return failure_(got < 0 ? errno : EIO, host_);
        done = reinterpret_cast<WriteRequest*>(static_cast<uintptr_t>(event.data));
        --outstanding_;
        if (event.res < 0) return failure_(static_cast<int>(-event.res), host_);
        // Short: the medium ended before the request did.
        return static_cast<size_t>(event.res) == done->length ? SDHOST_OK : failure_(ENXIO, host_);
    }

private:
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
    aio_context_t context_ = 0;
    unsigned outstanding_ = 0;
    std::vector<std::pair<WriteRequest*, uint32_t>> finished_; // written when they were sent
};

} // namespace

std::unique_ptr<AsyncWriter> linuxWriter(int fd, size_t streamBytes, Failure failure,
                                         const Host& host) {
    return std::make_unique<LinuxWriter>(fd, streamBytes, failure, host);
}

} // namespace brc::vcard
