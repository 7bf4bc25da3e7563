#include "drivers/linux_aio.h"

#include <linux/aio_abi.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace brc::vcard {
namespace {

class AioWriter final : public AsyncWriter {
public:
    AioWriter(int fd, aio_context_t context, uint32_t (*failure)(int, const Host&), const Host& host)
        : fd_(fd), context_(context), failure_(failure), host_(host) {}
    ~AioWriter() override { ::syscall(SYS_io_destroy, context_); }
    AioWriter(const AioWriter&) = delete;
    AioWriter& operator=(const AioWriter&) = delete;

    uint32_t start(WriteRequest& request) override {
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
        while (sent < 0 && (errno == EINTR || errno == EAGAIN));
        return sent == 1 ? SDHOST_OK : failure_(sent < 0 ? errno : EIO, host_);
    }

    uint32_t wait(WriteRequest*& done) override {
        io_event event{};
        long got;
        do got = ::syscall(SYS_io_getevents, context_, 1L, 1L, &event, nullptr);
        while (got < 0 && errno == EINTR);
        if (got != 1) {
            done = nullptr;
            return failure_(got < 0 ? errno : EIO, host_);
        }
        done = reinterpret_cast<WriteRequest*>(static_cast<uintptr_t>(event.data));
        if (event.res < 0) return failure_(static_cast<int>(-event.res), host_);
        // Short: the medium ended before the request did.
        return static_cast<size_t>(event.res) == done->length ? SDHOST_OK : failure_(ENXIO, host_);
    }

private:
    int fd_;
    aio_context_t context_;
    uint32_t (*failure_)(int, const Host&);
    Host host_;
};

// Where the kernel has no context to spare (fs.aio-max-nr reached): each request written when it
// is sent, still gathered into large ones.
class PlainWriter final : public AsyncWriter {
public:
    PlainWriter(int fd, uint32_t (*failure)(int, const Host&), const Host& host)
        : fd_(fd), failure_(failure), host_(host) {}

    uint32_t start(WriteRequest& request) override {
        const uint8_t* p = request.data;
        size_t left = request.length;
        auto offset = static_cast<off_t>(request.offset);
        result_ = SDHOST_OK;
        while (left > 0) {
            const ssize_t n = ::pwrite(fd_, p, left, offset);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                result_ = failure_(n < 0 ? errno : ENXIO, host_);
                break;
            }
            p += n;
            offset += n;
            left -= static_cast<size_t>(n);
        }
        done_ = &request;
        return SDHOST_OK;
    }

    uint32_t wait(WriteRequest*& done) override {
        done = done_;
        done_ = nullptr;
        return done ? result_ : failure_(EIO, host_);
    }

private:
    int fd_;
    uint32_t (*failure_)(int, const Host&);
    Host host_;
    WriteRequest* done_ = nullptr;
    uint32_t result_ = SDHOST_OK;
};

} // namespace

std::unique_ptr<AsyncWriter> linuxWriter(int fd, unsigned inFlight,
                                         uint32_t (*failure)(int, const Host&), const Host& host) {
    aio_context_t context = 0;
    if (::syscall(SYS_io_setup, inFlight, &context) != 0)
        return std::make_unique<PlainWriter>(fd, failure, host);
    return std::make_unique<AioWriter>(fd, context, failure, host);
}

} // namespace brc::vcard
