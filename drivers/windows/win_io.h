// The Windows calls the disk path makes, wrapped so that every handle is closed on every path
// and every answer comes back as its bytes for drivers/windisk/disk_answers to decode.
//
// A card reader that hangs (a USB bridge that stops answering) would block the program for
// good, so every call on a card is bounded: handles are opened on a worker thread that the
// caller stops waiting for (platform/win32/bounded_call.h), and are overlapped, so that each
// control, read and write is waited for with a timeout and cancelled after it. A call that times
// out fails with kErrorNoAnswer. Every call on a handle of openPath must therefore pass an
// OVERLAPPED: use the calls below (and drivers/windows/overlapped_writer.h for writes several at
// once).
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/win32/bounded_call.h"

namespace brc::sdhost {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE;

// The last error of a call on a card that did not answer in time.
constexpr DWORD kErrorNoAnswer = ERROR_TIMEOUT;

// How long a reader may take before it counts as not answering; generous, as a slow answer is
// no hang. An open of a reader that is still starting up after insertion takes a few seconds.
constexpr DWORD kOpenWaitMs = 15000;
// Queries are answered from what the drivers already know.
constexpr DWORD kQueryWaitMs = 5000;
// A write request of 4 MiB takes a few seconds on the slowest card; 30 s leaves room for a
// card's own housekeeping, and for lock, dismount and trim, which write back or erase.
constexpr DWORD kTransferWaitMs = 30000;
// A cancelled request normally comes back at once; one that does not is left to the system.
constexpr DWORD kCancelWaitMs = 5000;

// One opening of a card asks a dozen things of its reader, each bounded on its own: a reader
// that hangs would cost their waits added up, minutes. For the scope of an opening (on the
// calling thread) the first call that does not answer in time spends the opening's budget: every
// later call fails at once with kErrorNoAnswer, and none waits past the opening's deadline.
class OpeningBudget {
public:
    explicit OpeningBudget(DWORD deadlineMs = kOpeningDeadlineMs);
    ~OpeningBudget();
    OpeningBudget(const OpeningBudget&) = delete;
    OpeningBudget& operator=(const OpeningBudget&) = delete;

    // `waitMs`, or what is left of the opening's time where less; 0 once spent.
    static DWORD clamp(DWORD waitMs);
    // A call ran out of time: the rest of the opening is not asked.
    static void spend();

    // Time enough for a lock waited out, a reader starting up after insertion, and the queries.
    static constexpr DWORD kOpeningDeadlineMs = 60000;

private:
    bool outer_;
};

// A handle closed on every path.
class Handle {
public:
    explicit Handle(HANDLE h = INVALID_HANDLE_VALUE) : h_(h) {}
    ~Handle() { reset(); }
    Handle(Handle&& other) noexcept : h_(other.h_) { other.h_ = INVALID_HANDLE_VALUE; }
    Handle& operator=(Handle&& other) noexcept {
        if (this != &other) {
            reset();
            h_ = other.h_;
            other.h_ = INVALID_HANDLE_VALUE;
        }
        return *this;
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    void reset() {
        if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
        h_ = INVALID_HANDLE_VALUE;
    }
    bool ok() const { return h_ != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return h_; }
    // The handle, now the caller's to close.
    HANDLE release() {
        const HANDLE h = h_;
        h_ = INVALID_HANDLE_VALUE;
        return h;
    }

private:
    HANDLE h_;
};

// A critical section held for a scope.
class Inside {
public:
    explicit Inside(CRITICAL_SECTION& section) : section_(section) {
        EnterCriticalSection(&section_);
    }
    ~Inside() { LeaveCriticalSection(&section_); }
    Inside(const Inside&) = delete;
    Inside& operator=(const Inside&) = delete;

private:
    CRITICAL_SECTION& section_;
};

// An existing device or file opened for overlapped calls (`flags` are added); GetLastError tells
// why not, kErrorNoAnswer when the open did not come back in time.
Handle openPath(const std::wstring& name, DWORD access, DWORD flags = 0, DWORD waitMs = kOpenWaitMs,
                DWORD share = kShareAll);

// openPath without sharing: nobody else may read or write it while the handle is open. Opened
// elsewhere already, it is tried again every `pollMs` for `retryMs` (another program's handle on
// a card that just arrived goes within moments); then it fails with ERROR_SHARING_VIOLATION.
Handle openAlone(const std::wstring& name, DWORD access, DWORD flags, DWORD retryMs,
                 DWORD pollMs = 250);

// The answer of a control that takes nothing in (or `in`), as its bytes; nullopt when refused
// (GetLastError says why).
std::optional<std::vector<uint8_t>> ask(HANDLE h, DWORD code, DWORD capacity,
                                        const void* in = nullptr, DWORD inLength = 0,
                                        DWORD waitMs = kQueryWaitMs);

template <class Decode>
auto decoded(const std::optional<std::vector<uint8_t>>& answer, Decode decode)
    -> decltype(decode(nullptr, 0)) {
    if (!answer) return std::nullopt;
    return decode(answer->data(), answer->size());
}

// A control that takes and gives nothing (lock, dismount, update, is-writable).
bool control(HANDLE h, DWORD code, DWORD waitMs = kTransferWaitMs);

// How a bounded request ended.
enum class Outcome {
    Done,
    Failed, // GetLastError says why: kErrorNoAnswer for one cancelled after its wait
    // Cancelled, but the system has not given the request back: its buffer may still be written
    // into, and must never be freed or used again.
    Held,
};
// A read or write of `length` bytes at byte `offset`; `done` bytes moved.
Outcome transferAt(HANDLE h, void* buffer, DWORD length, uint64_t offset, bool writing, DWORD& done,
                   DWORD waitMs = kTransferWaitMs);

// FlushFileBuffers, bounded: it cannot be overlapped, so it runs on a worker thread.
bool flush(HANDLE h, DWORD waitMs = kTransferWaitMs);

// ASCII of a system name, '?' for anything else; and the plain widening back.
std::string ascii(const wchar_t* text);
std::wstring widened(const std::string& text);

} // namespace brc::sdhost
