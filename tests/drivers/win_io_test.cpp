// The bounded calls of the Windows disk path on real system objects: a named pipe whose other end
// never answers stands in for a card reader that hangs.
#include "drivers/win_io.h"

#include <gtest/gtest.h>

#include <winioctl.h>

#include <string>

namespace brc::vcard {
namespace {

// The named pipes' controls (the driver kit's ntifs.h).
constexpr DWORD kPipeListen = CTL_CODE(FILE_DEVICE_NAMED_PIPE, 2, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr DWORD kPipePeek = CTL_CODE(FILE_DEVICE_NAMED_PIPE, 3, METHOD_BUFFERED, FILE_READ_DATA);

constexpr DWORD kShortWaitMs = 200;

// A pipe server and a client opened through openPath.
struct Pipe {
    Handle server, client;
    explicit Pipe(const wchar_t* name) {
        const std::wstring path = std::wstring(L"\\\\.\\pipe\\brindlecard-win-io-") + name;
        server = Handle(CreateNamedPipeW(path.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                         PIPE_TYPE_BYTE, 1, 4096, 4096, 0, nullptr));
        client = openPath(path, GENERIC_READ | GENERIC_WRITE);
    }
};

bool writeAll(HANDLE h, const char* text) {
    OVERLAPPED at{};
    DWORD done = 0;
    const DWORD length = static_cast<DWORD>(std::char_traits<char>::length(text));
    BOOL ok = WriteFile(h, text, length, &done, &at);
    if (!ok && GetLastError() == ERROR_IO_PENDING) ok = GetOverlappedResult(h, &at, &done, TRUE);
    return ok && done == length;
}

TEST(WinIo, AReadNobodyAnswersIsCancelledAfterItsWait) {
    Pipe pipe(L"read");
    ASSERT_TRUE(pipe.server.ok() && pipe.client.ok()) << GetLastError();
    char buffer[16] = {};
    DWORD done = 0;
    const DWORD start = GetTickCount();
    EXPECT_EQ(transferAt(pipe.client.get(), buffer, sizeof buffer, 0, false, done, kShortWaitMs),
              Outcome::Failed);
    EXPECT_EQ(GetLastError(), kErrorNoAnswer);
    EXPECT_GE(GetTickCount() - start, kShortWaitMs - 20);
    // The cancelled read took nothing: what comes afterwards goes to the next read.
    ASSERT_TRUE(writeAll(pipe.server.get(), "late"));
    EXPECT_EQ(transferAt(pipe.client.get(), buffer, sizeof buffer, 0, false, done, kShortWaitMs),
              Outcome::Done);
    EXPECT_EQ(std::string(buffer, done), "late");
}

TEST(WinIo, AControlNobodyAnswersFailsAfterItsWait) {
    // A server waiting for a client that never comes.
    const Handle server(CreateNamedPipeW(L"\\\\.\\pipe\\brindlecard-win-io-listen",
                                         PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED, PIPE_TYPE_BYTE,
                                         1, 4096, 4096, 0, nullptr));
    ASSERT_TRUE(server.ok()) << GetLastError();
    const DWORD start = GetTickCount();
    EXPECT_FALSE(control(server.get(), kPipeListen, kShortWaitMs));
    EXPECT_EQ(GetLastError(), kErrorNoAnswer);
    const DWORD took = GetTickCount() - start;
    EXPECT_GE(took, kShortWaitMs - 20);
    EXPECT_LT(took, kShortWaitMs + kCancelWaitMs);
}

TEST(WinIo, AQueryAnswersWithItsBytes) {
    Pipe pipe(L"peek");
    ASSERT_TRUE(pipe.server.ok() && pipe.client.ok()) << GetLastError();
    ASSERT_TRUE(writeAll(pipe.server.get(), "peek"));
    const auto answer = ask(pipe.client.get(), kPipePeek, 64, nullptr, 0, kShortWaitMs);
    ASSERT_TRUE(answer) << GetLastError();
    // FILE_PIPE_PEEK_BUFFER: state, bytes available, bytes in this message, messages; the data.
    ASSERT_EQ(answer->size(), 16u + 4u);
    EXPECT_EQ(std::string(answer->begin() + 16, answer->end()), "peek");
}

// A flush of a pipe waits until the other end has read everything.
TEST(WinIo, AFlushNobodyAnswersFailsAfterItsWait) {
    Pipe pipe(L"flush");
    ASSERT_TRUE(pipe.server.ok() && pipe.client.ok()) << GetLastError();
    ASSERT_TRUE(writeAll(pipe.server.get(), "unread"));
    EXPECT_FALSE(flush(pipe.server.get(), kShortWaitMs));
    EXPECT_EQ(GetLastError(), kErrorNoAnswer);
}

TEST(WinIo, AFailedOpenTellsWhy) {
    const Handle h = openPath(L"\\\\.\\pipe\\brindlecard-win-io-nobody", GENERIC_READ);
    EXPECT_FALSE(h.ok());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

// An errand that blocks until it is let go, and tells what became of it.
class HeldErrand final : public Errand {
public:
    HeldErrand(HANDLE go, HANDLE undone, LONG& deleted)
        : go_(go), undone_(undone), deleted_(deleted) {}
    void run() override {
        WaitForSingleObject(go_, INFINITE);
        result = 42;
    }
    void undo() override { SetEvent(undone_); }
    int result = 0;

private:
    ~HeldErrand() override { InterlockedIncrement(&deleted_); }
    HANDLE go_, undone_;
    LONG& deleted_;
};

TEST(WinIo, AnErrandTheCallerStoppedWaitingForIsUndoneAndFreedByItsWorker) {
    const Handle go(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    const Handle undone(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    LONG deleted = 0;
    auto* late = new HeldErrand(go.get(), undone.get(), deleted);
    EXPECT_FALSE(runBounded(*late, kShortWaitMs));
    late->release();
    EXPECT_EQ(deleted, 0) << "the worker still holds it";
    SetEvent(go.get());
    ASSERT_EQ(WaitForSingleObject(undone.get(), 5000), WAIT_OBJECT_0);
    for (int i = 0; i < 100 && InterlockedCompareExchange(&deleted, 0, 0) == 0; ++i) Sleep(10);
    EXPECT_EQ(deleted, 1);

    // In time: the caller reads the result; nothing is undone.
    ResetEvent(undone.get());
    auto* prompt = new HeldErrand(go.get(), undone.get(), deleted);
    ASSERT_TRUE(runBounded(*prompt, 5000));
    EXPECT_EQ(prompt->result, 42);
    prompt->release();
    for (int i = 0; i < 100 && InterlockedCompareExchange(&deleted, 1, 1) == 1; ++i) Sleep(10);
    EXPECT_EQ(deleted, 2);
    EXPECT_EQ(WaitForSingleObject(undone.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

} // namespace
} // namespace brc::vcard
