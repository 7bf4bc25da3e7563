#include "drivers/linux/block_card.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "drivers/linux/linux_aio.h"
#include "drivers/write_queue.h"
#include "platform/posix/block_devices.h"
#include "platform/posix/device_handles.h"

namespace brc::sdhost {
namespace {

constexpr size_t kMaxTransferBytes = SDHOST_MAX_TRANSFER * kSectorSize; // 128 KiB
constexpr size_t kBufferAlignment = 4096; // enough for O_DIRECT on any logical block size

// Errors that mean the card is no longer there (pulled out, reader unplugged).
bool gone(int err) { return err == ENODEV || err == ENXIO || err == ENOMEDIUM; }

uint32_t failureOf(int err, const Host& host) {
    if (gone(err)) return SDHOST_ERR_NO_CARD;
    if (err == EROFS || err == EPERM) return host.writeProtectCode;
    return SDHOST_ERR_IO;
}

// A limit of the device's request queue, as sysfs gives it; 0 when unknown.
uint64_t queueLimit(int fd, const char* name) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return 0;
    std::ifstream in("/sys/dev/block/" + std::to_string(major(st.st_rdev)) + ":" +
                     std::to_string(minor(st.st_rdev)) + "/queue/" + name);
    uint64_t value = 0;
    return in >> value ? value : 0;
}

// What the kernel's EBUSY means when a card's device is opened exclusively.
std::string busyText(const std::string& path) {
    return path + " is busy: a partition of it is mounted or another program holds it";
}

// The device as every system view describes it; nullopt when a view does not know it.
std::vector<blockdev::Device> describeEverywhere(const std::string& path) {
    std::vector<blockdev::Device> out;
    for (const blockdev::SystemView& view : blockdev::systemViews()) {
        std::string error;
        const std::string name = blockdev::nameOfDevicePath(view.sysfs, path, error);
        auto d = name.empty() ? std::nullopt : blockdev::describe(view, name);
        if (!d) return {};
        out.push_back(*d);
    }
    return out;
}

bool allCards(const std::vector<blockdev::Device>& views) {
    if (views.empty()) return false;
    for (const auto& d : views)
        if (!blockdev::isCard(d)) return false;
    return true;
}

unsigned hexByte(const std::string& text, unsigned shift) {
    return static_cast<unsigned>(std::strtoul(text.c_str(), nullptr, 16) >> shift) & 0xFFu;
}

class BlockCard final : public Card {
public:
    BlockCard(int fd, std::string path, const CardIdentity& vetted, uint64_t bytes,
              uint32_t logical, bool readOnly, const Host& host, std::string manfid,
              std::string oemid, void* buffer)
        : fd_(fd),
          path_(std::move(path)),
          vetted_(vetted),
          bytes_(bytes),
          logical_(logical),
          readOnly_(readOnly),
          host_(host),
          manfid_(std::move(manfid)),
          oemid_(std::move(oemid)),
          buffer_(static_cast<uint8_t*>(buffer)) {}
    ~BlockCard() override {
        queue_.reset(); // every request back before the device is closed
        writer_.reset();
        ::close(fd_);
        std::free(buffer_);
    }
    BlockCard(const BlockCard&) = delete;
    BlockCard& operator=(const BlockCard&) = delete;

    uint16_t bytesPerSector() const override { return static_cast<uint16_t>(logical_); }

    // Only whole 512-byte sectors up to 4294967295 of them make a user area; any other card is
    // identified with none, which every caller refuses as not supported.
    uint32_t userSectors() const {
        const uint64_t sectors = bytes_ / kSectorSize;
        return logical_ == kSectorSize && sectors <= 0xFFFFFFFFu ? static_cast<uint32_t>(sectors)
                                                                 : 0;
    }

    uint32_t identify(CardGeometry& out) const override {
        out = geometryOf(userSectors(), 0);
        return SDHOST_OK;
    }

    // The kernel exposes no protected area of an SD card.
    uint32_t secureIdentify(uint32_t& protectedSectors) const override {
        protectedSectors = 0;
        return SDHOST_OK;
    }

    uint32_t read(void* buffer, uint32_t count, uint32_t first) override {
        if (uint32_t rc = checkTransfer(buffer, count, first, userSectors())) return rc;
        if (uint32_t rc = settle()) return rc;
        const size_t length = count * kSectorSize;
        if (uint32_t rc = withDeviceRetries(host_, [&] { return readOnce(length, first); }))
            return rc;
        std::memcpy(buffer, buffer_, length);
        return SDHOST_OK;
    }

    uint32_t write(const void* buffer, uint32_t count, uint32_t first) override {
        if (uint32_t rc = checkTransfer(buffer, count, first, userSectors())) return rc;
        if (readOnly_) return host_.writeProtectCode;
        if (uint32_t rc = claim()) return rc;
        if (uint32_t rc = sendErase()) return rc;
        return queue_->write(buffer, count, first);
    }

    // Discard becomes the card's own erase in the SD driver; where the queue takes none there
    // is nothing to fall back on, and the caller reports the erase as not supported.
    // Consecutive ranges of one size are sent as one discard, as large as the device takes: the
    // card's first erase, a range shorter than the one before (a pass's last) and one that
    // reaches the card's end go out at once, so that an erase the card cannot do is known at
    // once and a pass is timed with its last range on the card. An error of a gathered range
    // is the next call's.
    uint32_t erase(uint32_t first, uint32_t last) override {
        if (last < first || last >= userSectors()) return SDHOST_ERR_RANGE;
        if (readOnly_) return host_.writeProtectCode;
        if (uint32_t rc = claim()) return rc;
        if (uint32_t rc = queue_->settle()) return rc; // writes before it land before it
        const uint64_t length = uint64_t{last} - first + 1;
        const bool joins = pendingLength_ != 0 && first == pendingFirst_ + pendingLength_ &&
                           length == lastLength_ &&
                           (pendingLength_ + length) * kSectorSize <= discardLimit_;
        if (joins) {
            pendingLength_ += length;
        } else {
            if (uint32_t rc = sendErase()) return rc;
            pendingFirst_ = first;
            pendingLength_ = length;
        }
        const bool atOnce = lastLength_ == 0 || length < lastLength_ || last + 1 == userSectors();
        lastLength_ = length;
        return atOnce ? sendErase() : SDHOST_OK;
    }

    uint32_t getMid(uint8_t mid[8]) const override {
        if (manfid_.empty()) return SDHOST_ERR_NO_CARD; // only an SD slot reads the card's CID
        std::memset(mid, 0, 8);
        mid[0] = static_cast<uint8_t>(hexByte(manfid_, 0));
        if (!oemid_.empty()) {
            mid[1] = static_cast<uint8_t>(hexByte(oemid_, 8));
            mid[2] = static_cast<uint8_t>(hexByte(oemid_, 0));
        }
        return SDHOST_OK;
    }

    // The report must never come before the data is on the card. Nothing written, nothing to
    // flush; a card given up on is not waited for again.
    uint32_t finish() override {
        const uint32_t rc = settle();
        if (!claimed_ || writer_->holdsRequests()) return rc;
        const uint32_t flushed = writer_->flush();
        return rc ? rc : flushed;
    }

private:
    // The device is taken exclusively at the first write, not at the open: the checks before
    // the questions read a card that may still be mounted, and only once the user has said yes
    // is it unmounted and written. What is taken must be the device the command vetted.
    uint32_t claim() {
        if (claimed_) return SDHOST_OK;
        const int fd = openBlockDevice(path_, O_RDWR | O_EXCL | O_DIRECT | O_CLOEXEC);
        std::string error;
        if (fd < 0) {
            const int err = errno;
            if (err == EBUSY) error = busyText(path_);
            else if (!gone(err)) error = path_ + ": cannot open for writing: " + std::strerror(err);
            if (!error.empty()) std::fprintf(stderr, "%s: %s\n", host_.name, error.c_str());
            return err == EBUSY ? SDHOST_ERR_BUSY : failure(err);
        }
        if (!isVettedObject(fd, path_, vetted_, error)) {
            std::fprintf(stderr, "%s: %s\n", host_.name, error.c_str());
            ::close(fd);
            return SDHOST_ERR_CONFIG;
        }
        const size_t request = requestBytesFor(queueLimit(fd, "max_sectors_kb") * 1024, logical_);
        const auto inFlight = static_cast<unsigned>(std::min<size_t>(kWindowBytes / request, 64));
        auto writer = linuxWriter(fd, request, failureOf, host_);
        auto queue = std::make_unique<WriteQueue>(*writer, host_, request, inFlight);
        if (!queue->ok()) {
            queue.reset();
            ::close(fd);
            return SDHOST_ERR_OUT_OF_MEMORY;
        }
        ::close(fd_);
        fd_ = fd;
        writer_ = std::move(writer);
        queue_ = std::move(queue);
        discardLimit_ = queueLimit(fd, "discard_max_bytes");
        if (discardLimit_ == 0) discardLimit_ = UINT64_MAX; // unknown: the kernel splits it
        claimed_ = true;
        return SDHOST_OK;
    }

    uint32_t failure(int err) const { return failureOf(err, host_); }

    // Everything accepted is on the device: the writes on their way, then a gathered erase.
    uint32_t settle() {
        if (!queue_) return SDHOST_OK;
        const uint32_t rc = queue_->settle();
        return rc ? rc : sendErase();
    }

    // The gathered erase, sent; its error is returned once.
    uint32_t sendErase() {
        if (pendingLength_ == 0) return SDHOST_OK;
        uint64_t range[2] = {pendingFirst_ * kSectorSize, pendingLength_ * kSectorSize};
        pendingLength_ = 0;
        if (::ioctl(fd_, BLKDISCARD, range) == 0) return SDHOST_OK;
        if (errno == EOPNOTSUPP || errno == EINVAL) return SDHOST_ERR_NO_ERASE;
        return failure(errno);
    }

    // One attempt at the whole read into the aligned buffer.
    uint32_t readOnce(size_t length, uint32_t first) {
        uint8_t* p = buffer_;
        off_t offset = static_cast<off_t>(first * kSectorSize);
        while (length > 0) {
            const ssize_t n = ::pread(fd_, p, length, offset);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return failure(n < 0 ? errno : ENXIO); // 0: the medium shrank
            p += n;
            offset += n;
            length -= static_cast<size_t>(n);
        }
        return SDHOST_OK;
    }

    int fd_;
    std::string path_;
    CardIdentity vetted_;
    bool claimed_ = false;
    uint64_t bytes_;
    uint32_t logical_;
    bool readOnly_;
    Host host_;
    std::string manfid_, oemid_;
    uint8_t* buffer_;                           // reads
    std::unique_ptr<LinuxDeviceWriter> writer_; // from the first write on
    std::unique_ptr<WriteQueue> queue_;
    uint64_t discardLimit_ = 0;
    uint64_t pendingFirst_ = 0, pendingLength_ = 0; // the gathered erase, in sectors
    uint64_t lastLength_ = 0;                       // of the last erase asked for
};

} // namespace

uint32_t openBlockCard(const std::string& path, const CardIdentity& vetted, const Host& host,
                       std::unique_ptr<Card>& card, std::string& error, bool forReading) {
    bool readOnly = forReading;
    int fd = openBlockDevice(path, (forReading ? O_RDONLY : O_RDWR) | O_DIRECT | O_CLOEXEC);
    if (fd < 0 && !forReading && (errno == EROFS || errno == EACCES || errno == EBUSY)) {
        // EBUSY: a kernel that keeps writers off mounted devices; the write claims it later.
        readOnly = errno != EBUSY;
        fd = openBlockDevice(path, O_RDONLY | O_DIRECT | O_CLOEXEC);
    }
    if (fd < 0) {
        const int err = errno;
        if (err == EBUSY) {
            error = busyText(path);
            return SDHOST_ERR_BUSY;
        }
        if (err == ENOMEDIUM || err == ENOENT || gone(err)) return SDHOST_ERR_NO_CARD;
        error = path + ": cannot open: " + std::strerror(err);
        return SDHOST_ERR_CONFIG;
    }
    if (!isVettedObject(fd, path, vetted, error)) {
        ::close(fd);
        return SDHOST_ERR_CONFIG;
    }
    struct stat st {};
    uint64_t bytes = 0;
    int logical = 0, ro = 0;
    if (::fstat(fd, &st) != 0 || !S_ISBLK(st.st_mode) || ::ioctl(fd, BLKGETSIZE64, &bytes) != 0 ||
        ::ioctl(fd, BLKSSZGET, &logical) != 0 || ::ioctl(fd, BLKROGET, &ro) != 0 || logical <= 0) {
        error = path + ": not a block device that reports its size";
        ::close(fd);
        return SDHOST_ERR_CONFIG;
    }
    void* buffer = nullptr;
    if (::posix_memalign(&buffer, kBufferAlignment, kMaxTransferBytes) != 0) {
        ::close(fd);
        return SDHOST_ERR_OUT_OF_MEMORY;
    }
    const auto views = describeEverywhere(path);
    const std::string manfid = views.empty() ? "" : views.front().manfid;
    const std::string oemid = views.empty() ? "" : views.front().oemid;
    card = std::make_unique<BlockCard>(fd, path, vetted, bytes, static_cast<uint32_t>(logical),
                                       readOnly || ro != 0, host, manfid, oemid, buffer);
    return SDHOST_OK;
}

uint32_t blockCardFlags(const std::string& path, const CardIdentity& vetted, uint32_t& flags,
                        std::string& error) {
    flags = 0;
    const int fd = openBlockDevice(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return SDHOST_ERR_NO_CARD;
    if (!isVettedObject(fd, path, vetted, error)) {
        ::close(fd);
        return SDHOST_ERR_CONFIG;
    }
    int ro = 0;
    const bool asked = ::ioctl(fd, BLKROGET, &ro) == 0;
    ::close(fd);
    if (!asked) return SDHOST_ERR_IO;
    flags = (allCards(describeEverywhere(path)) ? SDHOST_CHK_QUALIFIES : 0u) |
            (ro != 0 ? SDHOST_CHK_REFUSED : 0u);
    return SDHOST_OK;
}

} // namespace brc::sdhost
