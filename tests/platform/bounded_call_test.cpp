// A blocking call on a worker thread, waited for only so long: what the caller gets back when
// the call answers, fails or never comes back in time, and what becomes of a call given up on.
#include "platform/win32/bounded_call.h"

#include <gtest/gtest.h>

namespace brc {
namespace {

constexpr DWORD kShortWaitMs = 200;

// What a call leaves behind; counts its own end, so a test sees its worker free it.
struct Answer {
    int value = 0;
    volatile LONG* ended = nullptr;
    Answer() = default;
    Answer& operator=(Answer&& other) noexcept {
        value = other.value;
        return *this;
    }
    ~Answer() {
        if (ended) InterlockedIncrement(ended);
    }
};

LONG read(volatile LONG& value) { return InterlockedCompareExchange(&value, 0, 0); }

bool waitFor(volatile LONG& value, LONG wanted) {
    for (int i = 0; i < 500; ++i) {
        if (read(value) == wanted) return true;
        Sleep(10);
    }
    return false;
}

TEST(BoundedCall, ACallThatComesBackGivesItsAnswerOrItsOwnError) {
    const struct {
        const char* name;
        bool succeeds;
        DWORD error;
        int value;
    } rows[] = {
        {"answers", true, 0, 7},
        {"fails", false, ERROR_NOT_READY, 0},
    };
    for (const auto& r : rows) {
        volatile LONG outstanding = 0;
        Answer out;
        const bool got = callBounded(
            5000, out,
            [r](Answer& a) {
                a.value = 7;
                SetLastError(r.error);
                return r.succeeds;
            },
            &outstanding);
        EXPECT_EQ(got, r.succeeds) << r.name;
        EXPECT_EQ(GetLastError(), r.error) << r.name;
        EXPECT_EQ(out.value, r.value) << r.name << ": a failed call's answer is not taken";
        EXPECT_EQ(read(outstanding), 0) << r.name;
    }
}

// The caller returns after its wait with ERROR_TIMEOUT; the worker goes on alone, and once the
// call comes back it frees the answer and takes itself off the count of calls still out.
TEST(BoundedCall, ACallThatHangsIsGivenUpAfterItsWait) {
    const HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(go, nullptr);
    volatile LONG outstanding = 0, ended = 0;
    Answer out;
    const DWORD start = GetTickCount();
    const bool got = callBounded(
        kShortWaitMs, out,
        [go, &ended](Answer& a) {
            a.ended = &ended;
            WaitForSingleObject(go, INFINITE);
            a.value = 42;
            return true;
        },
        &outstanding);
    const DWORD took = GetTickCount() - start;
    EXPECT_FALSE(got);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_TIMEOUT));
    EXPECT_GE(took, kShortWaitMs - 20);
    EXPECT_LT(took, kShortWaitMs + 1000);
    EXPECT_EQ(out.value, 0) << "nothing of the call reaches the caller";
    EXPECT_EQ(read(outstanding), 1);
    EXPECT_EQ(read(ended), 0) << "the worker still holds the answer";

    SetEvent(go);
    EXPECT_TRUE(waitFor(outstanding, 0)) << "the worker came back but stayed counted";
    EXPECT_TRUE(waitFor(ended, 1)) << "the worker did not free what the call owned";
    CloseHandle(go);
}

} // namespace
} // namespace brc
