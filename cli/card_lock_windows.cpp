#include "cli/card_lock.h"

#include <windows.h>

#include "base/native_text.h"

namespace brc::cli {

namespace {

// The lock covers one byte far past the end of any card: between processes it works as flock
// does, and the library's own transfers, through other handles, never meet it.
OVERLAPPED lockedByte() {
    OVERLAPPED at{};
    at.Offset = 0xFFFFFFFEu;
    at.OffsetHigh = 0x7FFFFFFFu;
    return at;
}

} // namespace

CardFileLock::CardFileLock(const std::string& path) {
    HANDLE h = CreateFileW(wideFromUtf8(path).c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return;
    OVERLAPPED at = lockedByte();
    if (GetFileType(h) == FILE_TYPE_DISK &&
        LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
        handle_ = h;
        return;
    }
    heldElsewhere_ = GetLastError() == ERROR_LOCK_VIOLATION;
    CloseHandle(h);
}

CardFileLock::~CardFileLock() {
    if (!handle_) return;
    OVERLAPPED at = lockedByte();
    UnlockFileEx(handle_, 0, 1, 0, &at);
    CloseHandle(handle_);
}

} // namespace brc::cli
