// One run per card: an advisory lock on the card's image or device.
#pragma once

#include <string>

namespace brc::cli {

// An exclusive advisory lock on the card's image or device for a whole run, so that two runs,
// or a run and any program that respects the lock, never write one card at once: flock on
// Linux, a byte-range lock (LockFileEx) on Windows. Paths that cannot be opened or are no image
// or device are left to the checks that follow.
class CardFileLock {
public:
    explicit CardFileLock(const std::string& path);
    ~CardFileLock();
    CardFileLock(const CardFileLock&) = delete;
    CardFileLock& operator=(const CardFileLock&) = delete;

    bool heldElsewhere() const { return heldElsewhere_; }

#if !defined(_WIN32)
    // udev holds off from a device while its lock is held, and udisks2 answers an unmount only
    // once udev has looked at the device again: the lock is let go while udisks2 unmounts the
    // card, and taken again after. False when another process took it meanwhile (udev's own
    // short holds are waited out).
    void letGo();
    bool takeAgain();
#endif

private:
#if defined(_WIN32)
    void* handle_ = nullptr;
#else
    int fd_ = -1;
#endif
    bool heldElsewhere_ = false;
};

} // namespace brc::cli
