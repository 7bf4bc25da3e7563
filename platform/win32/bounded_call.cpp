#include "platform/win32/bounded_call.h"

namespace brc {
namespace {

enum : LONG { kRunning, kFinished, kAbandoned };

} // namespace

Errand::~Errand() {
    if (finished_) CloseHandle(finished_);
}

void Errand::release() {
    if (InterlockedDecrement(&holders_) == 0) delete this;
}

DWORD WINAPI Errand::work(void* errand) {
    // The worker may outlive the caller's interest, and the caller may unload the module it is
    // in (a driver library) meanwhile: the worker holds that module until it has returned.
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                       reinterpret_cast<LPCWSTR>(&Errand::work), &self);
    Errand& e = *static_cast<Errand*>(errand);
    e.run();
    if (InterlockedExchange(&e.state_, kFinished) == kAbandoned) e.undo();
    else SetEvent(e.finished_);
    e.release();
    if (self) FreeLibraryAndExitThread(self, 0);
    return 0;
}

bool runBounded(Errand& errand, DWORD waitMs) {
    errand.finished_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    // CreateFileW, FlushFileBuffers and the volume queries need little.
    constexpr SIZE_T kStack = 64 * 1024;
    const HANDLE thread = errand.finished_
                              ? CreateThread(nullptr, kStack, &Errand::work, &errand,
                                             STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr)
                              : nullptr;
    if (!thread) {
        // No worker to be had: the call is made here, unbounded, rather than not at all.
        errand.run();
        errand.release();
        return true;
    }
    CloseHandle(thread);
    if (WaitForSingleObject(errand.finished_, waitMs) == WAIT_OBJECT_0) return true;
    // Finished between the wait and now: the result is the caller's after all.
    return InterlockedExchange(&errand.state_, kAbandoned) == kFinished;
}

} // namespace brc
