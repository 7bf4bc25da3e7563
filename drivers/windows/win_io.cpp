#include "drivers/windows/win_io.h"

#include <memory>

namespace brc::sdhost {
namespace {

// One overlapped request and everything the system may write while it is out.
struct Request {
    OVERLAPPED overlapped{};
    std::vector<uint64_t> answer; // whole 64-bit words keep the structures' fields aligned
    std::vector<uint8_t> in;      // a copy: a driver may read its input late
    Request() { overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr); }
    ~Request() {
        const DWORD error = GetLastError();
        if (overlapped.hEvent) CloseHandle(overlapped.hEvent);
        SetLastError(error);
    }
    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;
};

// Waits for a request `start` issues on `h`. One that outlasts `waitMs` is cancelled (CancelIo:
// the calling thread's requests, which is XP's only way) and, unless it was answered meanwhile,
// fails with kErrorNoAnswer. One the system does not give back even then is Held, and the
// request is leaked on purpose: freeing it would let the system write into freed memory.
template <class Start>
Outcome issue(HANDLE h, std::unique_ptr<Request>& r, DWORD& done, DWORD waitMs, Start start) {
    done = 0;
    if (!r->overlapped.hEvent) return Outcome::Failed;
    waitMs = OpeningBudget::clamp(waitMs);
    if (waitMs == 0) {
        SetLastError(kErrorNoAnswer);
        return Outcome::Failed;
    }
    const BOOL answered = start(&r->overlapped);
    if (!answered && GetLastError() != ERROR_IO_PENDING) return Outcome::Failed;
    if (!answered && WaitForSingleObject(r->overlapped.hEvent, waitMs) != WAIT_OBJECT_0) {
        OpeningBudget::spend();
        CancelIo(h);
        if (WaitForSingleObject(r->overlapped.hEvent, kCancelWaitMs) != WAIT_OBJECT_0) {
            (void)r.release();
            SetLastError(kErrorNoAnswer);
            return Outcome::Held;
        }
        if (GetOverlappedResult(h, &r->overlapped, &done, FALSE)) return Outcome::Done;
        if (GetLastError() == ERROR_OPERATION_ABORTED) SetLastError(kErrorNoAnswer);
        return Outcome::Failed;
    }
    return GetOverlappedResult(h, &r->overlapped, &done, FALSE) ? Outcome::Done : Outcome::Failed;
}

class OpenErrand final : public Errand {
public:
    OpenErrand(const std::wstring& name, DWORD access, DWORD flags, DWORD share)
        : name_(name), access_(access), flags_(flags), share_(share) {}
    void run() override {
        handle =
            CreateFileW(name_.c_str(), access_, share_, nullptr, OPEN_EXISTING, flags_, nullptr);
        error = GetLastError();
    }
    void undo() override { Handle(handle).reset(); }

    HANDLE handle = INVALID_HANDLE_VALUE;
    DWORD error = 0;

private:
    std::wstring name_;
    DWORD access_, flags_, share_;
};

// The worker flushes a handle of its own, which it closes, so that the caller may close its
// handle while a flush it stopped waiting for is still out.
class FlushErrand final : public Errand {
public:
    explicit FlushErrand(HANDLE copy) : copy_(copy) {}
    void run() override {
        flushed = FlushFileBuffers(copy_) != 0;
        error = GetLastError();
        CloseHandle(copy_);
    }

    bool flushed = false;
    DWORD error = 0;

private:
    HANDLE copy_;
};

// The opening under way on this thread: none (0), or its deadline and whether a call of it
// already ran out of time.
thread_local DWORD budgetDeadline = 0;
thread_local bool budgetSpent = false;
thread_local bool budgetSet = false;

} // namespace

OpeningBudget::OpeningBudget(DWORD deadlineMs) : outer_(!budgetSet) {
    // An opening inside another keeps the outer one's budget.
    if (!outer_) return;
    budgetSet = true;
    budgetSpent = false;
    budgetDeadline =
        GetTickCount() + (deadlineMs < kOpeningDeadlineMs ? deadlineMs : kOpeningDeadlineMs);
}

OpeningBudget::~OpeningBudget() {
    if (outer_) budgetSet = budgetSpent = false;
}

DWORD OpeningBudget::clamp(DWORD waitMs) {
    if (!budgetSet) return waitMs;
    if (budgetSpent) return 0;
    const DWORD left = budgetDeadline - GetTickCount();
    // Past the deadline, the difference wraps round to far more than any wait.
    if (left == 0 || left > kOpeningDeadlineMs) return 0;
    return waitMs < left ? waitMs : left;
}

void OpeningBudget::spend() {
    if (budgetSet) budgetSpent = true;
}

Handle openPath(const std::wstring& name, DWORD access, DWORD flags, DWORD waitMs, DWORD share) {
    Handle h;
    waitMs = OpeningBudget::clamp(waitMs);
    if (waitMs == 0) {
        SetLastError(kErrorNoAnswer);
        return h;
    }
    auto* errand = new OpenErrand(name, access, flags | FILE_FLAG_OVERLAPPED, share);
    DWORD error = kErrorNoAnswer;
    if (runBounded(*errand, waitMs)) {
        h = Handle(errand->handle);
        error = errand->error;
    } else {
        OpeningBudget::spend();
    }
    errand->release();
    SetLastError(error);
    return h;
}

Handle openAlone(const std::wstring& name, DWORD access, DWORD flags, DWORD retryMs, DWORD pollMs) {
    const DWORD start = GetTickCount();
    for (;;) {
        Handle h = openPath(name, access, flags, kOpenWaitMs, 0);
        if (h.ok() || GetLastError() != ERROR_SHARING_VIOLATION ||
            GetTickCount() - start >= retryMs)
            return h;
        Sleep(pollMs);
    }
}

bool flush(HANDLE h, DWORD waitMs) {
    waitMs = OpeningBudget::clamp(waitMs);
    if (waitMs == 0) {
        SetLastError(kErrorNoAnswer);
        return false;
    }
    HANDLE copy = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), h, GetCurrentProcess(), &copy, 0, FALSE,
                         DUPLICATE_SAME_ACCESS))
        return false;
    auto* errand = new FlushErrand(copy);
    bool flushed = false;
    DWORD error = kErrorNoAnswer;
    if (runBounded(*errand, waitMs)) {
        flushed = errand->flushed;
        error = errand->error;
    } else {
        OpeningBudget::spend();
    }
    errand->release();
    SetLastError(error);
    return flushed;
}

std::optional<std::vector<uint8_t>> ask(HANDLE h, DWORD code, DWORD capacity, const void* in,
                                        DWORD inLength, DWORD waitMs) {
    auto r = std::make_unique<Request>();
    r->answer.resize((capacity + 7) / 8);
    const auto* from = static_cast<const uint8_t*>(in);
    r->in.assign(from, from + (in ? inLength : 0));
    DWORD done = 0;
    const Outcome outcome = issue(h, r, done, waitMs, [&](OVERLAPPED* at) {
        DWORD returned = 0;
        return DeviceIoControl(
            h, code, r->in.empty() ? nullptr : r->in.data(), static_cast<DWORD>(r->in.size()),
            r->answer.empty() ? nullptr : r->answer.data(), capacity, &returned, at);
    });
    if (outcome != Outcome::Done) return std::nullopt;
    const auto* bytes = reinterpret_cast<const uint8_t*>(r->answer.data());
    return std::vector<uint8_t>(bytes, bytes + done);
}

bool control(HANDLE h, DWORD code, DWORD waitMs) {
    auto r = std::make_unique<Request>();
    DWORD done = 0;
    return issue(h, r, done, waitMs, [&](OVERLAPPED* at) {
               DWORD returned = 0;
               return DeviceIoControl(h, code, nullptr, 0, nullptr, 0, &returned, at);
           }) == Outcome::Done;
}

Outcome transferAt(HANDLE h, void* buffer, DWORD length, uint64_t offset, bool writing, DWORD& done,
                   DWORD waitMs) {
    auto r = std::make_unique<Request>();
    r->overlapped.Offset = static_cast<DWORD>(offset);
    r->overlapped.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return issue(h, r, done, waitMs, [&](OVERLAPPED* at) {
        DWORD moved = 0;
        return writing ? WriteFile(h, buffer, length, &moved, at)
                       : ReadFile(h, buffer, length, &moved, at);
    });
}

std::string ascii(const wchar_t* text) {
    std::string out;
    for (; *text; ++text) out += *text < 0x80 ? static_cast<char>(*text) : '?';
    return out;
}

std::wstring widened(const std::string& text) { return std::wstring(text.begin(), text.end()); }

} // namespace brc::sdhost
