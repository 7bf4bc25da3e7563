#include "cli/card_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/device_handles.h"

namespace brc::cli {

CardFileLock::CardFileLock(const std::string& path) {
    // Non-blocking, so a FIFO in the card's place cannot hold the run here.
    fd_ = openBlockDevice(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) return;
    struct stat st {};
    if (::fstat(fd_, &st) != 0 || !(S_ISREG(st.st_mode) || S_ISBLK(st.st_mode))) {
        ::close(fd_);
        fd_ = -1;
        return;
    }
    int rc;
    do rc = ::flock(fd_, LOCK_EX | LOCK_NB);
    while (rc != 0 && errno == EINTR);
    heldElsewhere_ = rc != 0 && errno == EWOULDBLOCK;
}

void CardFileLock::letGo() {
    if (fd_ >= 0) ::flock(fd_, LOCK_UN);
}

bool CardFileLock::takeAgain() {
    if (fd_ < 0) return true;
    // udev takes a shared lock for each event it handles, for a moment.
    for (int tries = 0; tries < 100; ++tries) {
        if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) return true;
        if (errno != EWOULDBLOCK && errno != EINTR) return false;
        ::usleep(50 * 1000);
    }
    return false;
}

CardFileLock::~CardFileLock() {
    if (fd_ >= 0) ::close(fd_); // closing drops the lock
}

} // namespace brc::cli
