#include "cli/card_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace brc::cli {

namespace {

const char* kindOf(mode_t mode) {
    if (S_ISLNK(mode)) return "a symbolic link";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISDIR(mode)) return "a directory";
    return "not a regular file";
}

} // namespace

bool CardFile::open(const std::string& path, bool replace, std::string& error) {
    path_ = path;
    // What is at the path itself, a link not followed; anything but a regular file is refused
    // before it is opened, as opening a device can act on it and opening a FIFO blocks.
    struct stat st {};
    const bool exists = ::lstat(path.c_str(), &st) == 0;
    if (!exists && errno != ENOENT) {
        error = "cannot create '" + path + "': " + std::strerror(errno);
        return false;
    }
    if (exists && !S_ISREG(st.st_mode)) {
        error = refusal(path, kindOf(st.st_mode));
        return false;
    }
    if (exists && !replace) {
        error = alreadyExists(path);
        return false;
    }
    // The path may change after lstat: O_NOFOLLOW refuses a link put there since, O_EXCL
    // anything put where nothing was, O_NONBLOCK keeps a FIFO from blocking the open, and
    // what was opened is checked again below.
    const int flags =
        O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | (exists ? 0 : O_CREAT | O_EXCL);
    const int fd = ::open(path.c_str(), flags, 0666);
    if (fd < 0) {
        error = errno == ELOOP    ? refusal(path, "a symbolic link")
                : errno == EEXIST ? alreadyExists(path)
                                  : "cannot create '" + path + "': " + std::strerror(errno);
        return false;
    }
    fd_ = fd;
    created_ = !exists;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        error = refusal(path, kindOf(st.st_mode));
        created_ = false;
        close();
        return false;
    }
    device_ = st.st_dev;
    inode_ = st.st_ino;
    return true;
}

bool CardFile::resize(uint64_t bytes) {
    if (::ftruncate(fd_, 0) != 0 || ::ftruncate(fd_, static_cast<off_t>(bytes)) != 0) {
        reason_ = std::strerror(errno);
        return false;
    }
    return true;
}

bool CardFile::write(const std::string& text) {
    if (!resize(0)) return false;
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n =
            ::pwrite(fd_, text.data() + done, text.size() - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            reason_ = n < 0 ? std::strerror(errno) : "nothing written";
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

bool CardFile::close() {
    if (fd_ < 0) return true;
    const bool ok = ::close(fd_) == 0;
    if (!ok) reason_ = std::strerror(errno);
    fd_ = -1;
    return ok;
}

void CardFile::discard() {
    close();
    struct stat st {};
    if (created_ && ::lstat(path_.c_str(), &st) == 0 && st.st_dev == device_ && st.st_ino == inode_)
        ::unlink(path_.c_str());
    created_ = false;
}

} // namespace brc::cli
