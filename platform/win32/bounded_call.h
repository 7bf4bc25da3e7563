// A blocking Windows call made on a worker thread and waited for only so long. A card reader
// that hangs (a USB bridge that stops answering) blocks whoever calls into it for good: the
// driver libraries' opens and flushes and the program's volume queries go through here, so that
// the caller gives up after its wait while the worker finishes alone and frees what it owns.
#pragma once

#include <windows.h>

#include <utility>

namespace brc {

// A blocking call run on a worker thread, made with new. Caller and worker each hold it and
// release() it; the last to let go deletes it. When the caller stops waiting, the worker
// finishes alone and undo()es what the call gave (closes a handle opened too late).
class Errand {
public:
    virtual void run() = 0;
    virtual void undo() {}
    void release();

protected:
    virtual ~Errand();

private:
    friend bool runBounded(Errand& errand, DWORD waitMs);
    static DWORD WINAPI work(void* errand);
    volatile LONG holders_ = 2;
    volatile LONG state_ = 0; // running, finished or abandoned
    HANDLE finished_ = nullptr;
};
// True when run() finished within `waitMs`: its results may be read until release(). Else the
// errand is abandoned: the worker undoes it once the call returns.
bool runBounded(Errand& errand, DWORD waitMs);

// `call(answer)` as an errand: the answer lives in the errand, so a call given up on writes only
// into memory its worker frees. `outstanding`, when given, counts the calls given up on whose
// workers have not come back yet (the caller adds one when it gives up, the worker takes it off).
template <class Answer, class Call>
class CallErrand final : public Errand {
public:
    CallErrand(Call call, volatile LONG* outstanding)
        : call_(std::move(call)), outstanding_(outstanding) {}
    void run() override {
        succeeded = call_(answer);
        error = GetLastError();
    }
    void undo() override {
        if (outstanding_) InterlockedDecrement(outstanding_);
    }

    Answer answer{};
    bool succeeded = false;
    DWORD error = 0;

private:
    Call call_;
    volatile LONG* outstanding_;
};

// Runs `call(answer)` (true on success, GetLastError telling why not) on a worker and waits at
// most `waitMs`. True with `out` set when it came back and succeeded; else false with the call's
// own error as the last error, or ERROR_TIMEOUT when it was given up on. `call` must own
// everything it uses (capture by value): given up on, it goes on after the caller has returned.
template <class Answer, class Call>
bool callBounded(DWORD waitMs, Answer& out, Call call, volatile LONG* outstanding = nullptr) {
    auto* errand = new CallErrand<Answer, Call>(std::move(call), outstanding);
    bool succeeded = false;
    DWORD error = ERROR_TIMEOUT;
    if (runBounded(*errand, waitMs)) {
        succeeded = errand->succeeded;
        error = errand->error;
        if (succeeded) out = std::move(errand->answer);
    } else if (outstanding) {
        InterlockedIncrement(outstanding);
    }
    errand->release();
    SetLastError(error);
    return succeeded;
}

} // namespace brc
