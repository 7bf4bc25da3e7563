// The image file on POSIX systems: regular files only, opened without blocking.
#include "drivers/image_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace brc::sdhost {
namespace {

class ImageFile final : public BackingFile {
public:
    explicit ImageFile(int fd) : fd_(fd) {}
    ~ImageFile() override { ::close(fd_); }
    ImageFile(const ImageFile&) = delete;
    ImageFile& operator=(const ImageFile&) = delete;

    bool read(void* buffer, size_t length, uint64_t offset) override {
        auto* p = static_cast<char*>(buffer);
        while (length > 0) {
            ssize_t n = ::pread(fd_, p, length, static_cast<off_t>(offset));
            if (n <= 0) return false;
            p += n;
            length -= static_cast<size_t>(n);
            offset += static_cast<uint64_t>(n);
        }
        return true;
    }
    bool write(const void* buffer, size_t length, uint64_t offset) override {
        auto* p = static_cast<const char*>(buffer);
        while (length > 0) {
            ssize_t n = ::pwrite(fd_, p, length, static_cast<off_t>(offset));
            if (n <= 0) {
                full_ = n < 0 && (errno == ENOSPC || errno == EDQUOT);
                return false;
            }
            p += n;
            length -= static_cast<size_t>(n);
            offset += static_cast<uint64_t>(n);
        }
        return true;
    }
    bool zero(uint64_t offset, uint64_t length) override {
        return punch(offset, length) || writeZeros(*this, offset, length);
    }
    bool punch(uint64_t offset, uint64_t length) override {
#ifdef FALLOC_FL_PUNCH_HOLE
        return ::fallocate(fd_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE,
                           static_cast<off_t>(offset), static_cast<off_t>(length)) == 0;
#else
        (void)offset;
        (void)length;
        return false;
#endif
    }

    bool full() const override { return full_; }

private:
    int fd_;
    bool full_ = false;
};

} // namespace

bool isVettedObject(int fd, const std::string& path, const CardIdentity& vetted,
                    std::string& error) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        error = cat(path, ": cannot be looked at: ", std::strerror(errno));
        return false;
    }
    const bool same = S_ISBLK(st.st_mode) == vetted.blockDevice &&
                      static_cast<uint64_t>(st.st_dev) == vetted.device &&
                      static_cast<uint64_t>(st.st_ino) == vetted.inode &&
                      (!vetted.blockDevice || static_cast<uint64_t>(st.st_rdev) == vetted.rdev);
    if (!same)
        error = cat(
            path, " is no longer the ", vetted.blockDevice ? "device" : "file",
            " that was checked (it was replaced or moved meanwhile); nothing was written to it");
    return same;
}

namespace {

// Opens without blocking (a FIFO would wait for a writer), and only what stat says is a regular
// file: opening a device can act on it. What was opened is checked again, as the path may have
// changed in between.
int openRegular(const std::string& path, int flags, std::string& error) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return -1;
    if (S_ISREG(st.st_mode)) {
        const int fd = ::open(path.c_str(), flags | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) return -1;
        if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) return fd;
        ::close(fd);
    }
    error = "not a regular file";
    errno = EINVAL;
    return -1;
}

} // namespace

// A regular file only, checked against `vetted` when given.
uint32_t openImage(const std::string& path, OpenFor use, std::unique_ptr<BackingFile>& file,
                   uint64_t& size, bool& readOnly, std::string& error, const CardIdentity* vetted) {
    std::string problem;
    readOnly = use == OpenFor::Probe;
    int fd = readOnly ? -1 : openRegular(path, O_RDWR, problem);
    if (fd < 0 && problem.empty()) {
        readOnly = true;
        fd = openRegular(path, O_RDONLY, problem);
    }
    if (!problem.empty()) {
        error = cat(path, ": ", problem);
        return SDHOST_ERR_CONFIG;
    }
    if (fd < 0) return SDHOST_ERR_NO_CARD;
    file = std::make_unique<ImageFile>(fd);
    if (vetted && !isVettedObject(fd, path, *vetted, error)) return SDHOST_ERR_CONFIG;
    struct stat st;
    // Transfers wait for the disk as usual.
    const int flags = ::fcntl(fd, F_GETFL);
    if (::fstat(fd, &st) != 0 || flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        error = cat(path, ": cannot read");
        return SDHOST_ERR_CONFIG;
    }
    size = static_cast<uint64_t>(st.st_size);
    return SDHOST_OK;
}

bool readSidecarText(const std::string& path, bool& missing, std::string& text,
                     std::string& error) {
    std::string problem;
    // A link in the sidecar's place is not followed, as the image's own is not: it could lead
    // to any file of the system, whose first line a parse error would quote.
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        missing = false;
        error = cat(path, ": cannot read: a symbolic link, not a regular file");
        return false;
    }
    const int fd = openRegular(path, O_RDONLY | O_NOFOLLOW, problem);
    missing = fd < 0 && problem.empty() && errno == ENOENT;
    if (fd < 0) {
        if (!missing)
            error = cat(path, ": cannot read: ", problem.empty() ? std::strerror(errno) : problem);
        return missing;
    }
    char buffer[kMaxSidecarBytes + 1];
    size_t got = 0;
    while (got < sizeof buffer) {
        const ssize_t n = ::read(fd, buffer + got, sizeof buffer - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = cat(path, ": cannot read: ", std::strerror(errno));
            ::close(fd);
            return false;
        }
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    ::close(fd);
    text.assign(buffer, got);
    return true;
}

} // namespace brc::sdhost
