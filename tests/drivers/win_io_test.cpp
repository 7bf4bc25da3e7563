// The bounded calls of the Windows disk path on real system objects: a named pipe whose other end
// never answers stands in for a card reader that hangs, a scratch file for a card's disk.
#include "drivers/windows/win_io.h"

#include <gtest/gtest.h>

#include <winioctl.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "drivers/windows/overlapped_writer.h"
#include "drivers/write_queue.h"

namespace brc::sdhost {
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

// A reader that hangs answers none of an opening's calls: the first that runs out of time ends
// the opening's asking, so that the calls' waits do not add up.
TEST(WinIo, WithinAnOpeningACallThatRanOutOfTimeLeavesTheRestUnasked) {
    const Handle server(CreateNamedPipeW(L"\\\\.\\pipe\\brindlecard-win-io-budget",
                                         PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED, PIPE_TYPE_BYTE,
                                         1, 4096, 4096, 0, nullptr));
    ASSERT_TRUE(server.ok()) << GetLastError();
    {
        const OpeningBudget budget;
        EXPECT_FALSE(control(server.get(), kPipeListen, kShortWaitMs));
        const DWORD start = GetTickCount();
        for (int i = 0; i < 10; ++i) {
            EXPECT_FALSE(control(server.get(), kPipeListen, kShortWaitMs));
            EXPECT_EQ(GetLastError(), kErrorNoAnswer);
        }
        EXPECT_FALSE(openPath(L"\\\\.\\pipe\\brindlecard-win-io-budget", GENERIC_READ).ok());
        EXPECT_EQ(GetLastError(), kErrorNoAnswer);
        EXPECT_LT(GetTickCount() - start, kShortWaitMs);
    }
    {
        // No call waits past the opening's deadline.
        const OpeningBudget budget(kShortWaitMs / 2);
        const DWORD start = GetTickCount();
        EXPECT_FALSE(control(server.get(), kPipeListen, kShortWaitMs * 10));
        EXPECT_LT(GetTickCount() - start, kShortWaitMs * 10);
    }
    // The next opening asks again.
    const DWORD start = GetTickCount();
    EXPECT_FALSE(control(server.get(), kPipeListen, kShortWaitMs));
    EXPECT_GE(GetTickCount() - start, kShortWaitMs - 20);
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

DWORD WINAPI closeSoon(void* handle) {
    Sleep(300);
    static_cast<Handle*>(handle)->reset();
    return 0;
}

// A disk opened for writing is opened alone: another program's handle is waited out for a while,
// then the open fails as shared, and nobody may open it while it is held.
TEST(WinIo, AnOpenAloneWaitsOutAnotherHandleThenRefusesToShare) {
    wchar_t folder[MAX_PATH + 1] = {};
    ASSERT_NE(GetTempPathW(MAX_PATH + 1, folder), 0u);
    const std::wstring path = std::wstring(folder) + L"brindlecard-open-alone.bin";
    Handle other(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, kShareAll, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(other.ok());

    // Held beyond the wait: refused, after about the wait.
    DWORD start = GetTickCount();
    Handle refused = openAlone(path, GENERIC_READ | GENERIC_WRITE, 0, 600, 100);
    EXPECT_FALSE(refused.ok());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_GE(GetTickCount() - start, 500u);

    // Let go during the wait: had.
    HANDLE closer = CreateThread(nullptr, 0, &closeSoon, &other, 0, nullptr);
    ASSERT_NE(closer, nullptr);
    start = GetTickCount();
    Handle alone = openAlone(path, GENERIC_READ | GENERIC_WRITE, 0, 5000, 50);
    EXPECT_TRUE(alone.ok()) << GetLastError();
    EXPECT_LT(GetTickCount() - start, 4000u);
    WaitForSingleObject(closer, INFINITE);
    CloseHandle(closer);

    // While it is held nobody else reads or writes it.
    const HANDLE second = CreateFileW(path.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(second, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    if (second != INVALID_HANDLE_VALUE) CloseHandle(second);
    alone.reset();
    DeleteFileW(path.c_str());
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

constexpr Host kNoRetries{"test", SDHOST_ERR_WRITE_PROTECT_R1, 0};
constexpr DWORD kDiskFlags = FILE_FLAG_NO_BUFFERING | FILE_FLAG_WRITE_THROUGH; // as the disk's

// A file in the temporary folder, deleted at the end.
struct ScratchFile {
    std::wstring path;
    explicit ScratchFile(const wchar_t* name) {
        wchar_t dir[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, dir);
        path = std::wstring(dir) + L"brindlecard-win-io-" + name;
        Handle(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr));
    }
    ~ScratchFile() { DeleteFileW(path.c_str()); }
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;

    // `length` bytes at `offset`, zeros past the end of the file.
    std::vector<uint8_t> read(uint64_t offset, size_t length) const {
        std::vector<uint8_t> out(length, 0);
        const Handle h(CreateFileW(path.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
        LARGE_INTEGER at;
        at.QuadPart = static_cast<LONGLONG>(offset);
        DWORD done = 0;
        if (h.ok() && SetFilePointerEx(h.get(), at, nullptr, FILE_BEGIN))
            ReadFile(h.get(), out.data(), static_cast<DWORD>(length), &done, nullptr);
        return out;
    }
};

// The card as the writes should leave it, region by region.
struct Region {
    uint32_t first, count; // sectors
    std::vector<uint8_t> bytes;
};

TEST(WinIo, OverlappedWritesSeveralAtOnceLandInPlace) {
    ScratchFile file(L"land");
    const Handle h = openPath(file.path, GENERIC_READ | GENERIC_WRITE, kDiskFlags);
    ASSERT_TRUE(h.ok()) << GetLastError();
    // A run from an odd sector, and one across 4 GiB, where the offset's high half begins.
    std::vector<Region> regions = {{8, 8192, {}}, {0x7FFFC0, 256, {}}};
    for (Region& r : regions) r.bytes.assign(r.count * kSectorSize, 0);
    std::mt19937 random(11u);
    {
        OverlappedWriter writer(h.get(), kNoRetries.writeProtectCode);
        WriteQueue queue(writer, kNoRetries, 65536, kMostOverlappedWrites);
        ASSERT_TRUE(queue.ok());
        auto write = [&](Region& r, uint32_t at, uint32_t count) {
            std::vector<uint8_t> data(count * kSectorSize);
            for (uint8_t& b : data) b = static_cast<uint8_t>(random());
            std::memcpy(r.bytes.data() + at * kSectorSize, data.data(), data.size());
            return queue.write(data.data(), count, r.first + at);
        };
        for (Region& r : regions)
            for (uint32_t at = 0; at < r.count; at += 256) ASSERT_EQ(write(r, at, 256), SDHOST_OK);
        // Rewrites of what may still be on its way.
        for (int i = 0; i < 40; ++i) {
            const auto count = static_cast<uint32_t>(1 + random() % 64);
            ASSERT_EQ(write(regions[0], static_cast<uint32_t>(random() % (8192 - count)), count),
                      SDHOST_OK);
        }
        ASSERT_EQ(queue.settle(), SDHOST_OK);
        EXPECT_FALSE(writer.unanswered());
    }
    for (const Region& r : regions)
        EXPECT_TRUE(file.read(r.first * kSectorSize, r.bytes.size()) == r.bytes)
            << "sectors from " << r.first;
    // Nothing before the first write.
    EXPECT_EQ(file.read(0, 4096), std::vector<uint8_t>(4096, 0));
}

TEST(WinIo, RequestsOnTheirWayTogetherComeBackEachOnceAndInOrderOnTheMedium) {
    Pipe pipe(L"together");
    ASSERT_TRUE(pipe.server.ok() && pipe.client.ok()) << GetLastError();
    constexpr size_t kRequests = 12, kBytes = 8192; // each larger than the pipe holds
    std::vector<std::vector<uint8_t>> buffers(kRequests, std::vector<uint8_t>(kBytes));
    std::vector<WriteRequest> requests(kRequests);
    OverlappedWriter writer(pipe.client.get(), kNoRetries.writeProtectCode, 5000);
    for (size_t i = 0; i < kRequests; ++i) {
        std::fill(buffers[i].begin(), buffers[i].end(), static_cast<uint8_t>('a' + i));
        requests[i].data = buffers[i].data();
        requests[i].length = kBytes;
        ASSERT_EQ(writer.start(requests[i]), SDHOST_OK);
    }
    WriteRequest* done = nullptr;
    std::vector<uint8_t> received(kRequests * kBytes);
    DWORD got = 0;
    for (size_t at = 0; at < received.size(); at += got) {
        OVERLAPPED o{};
        got = 0;
        BOOL ok = ReadFile(pipe.server.get(), received.data() + at,
                           static_cast<DWORD>(received.size() - at), &got, &o);
        if (!ok && GetLastError() == ERROR_IO_PENDING)
            ok = GetOverlappedResult(pipe.server.get(), &o, &got, TRUE);
        ASSERT_TRUE(ok && got > 0) << GetLastError();
    }
    std::vector<WriteRequest*> back;
    for (size_t i = 0; i < kRequests; ++i) {
        ASSERT_EQ(writer.wait(done), SDHOST_OK);
        ASSERT_NE(done, nullptr);
        EXPECT_EQ(done->system, nullptr);
        back.push_back(done);
    }
    std::sort(back.begin(), back.end());
    EXPECT_EQ(std::unique(back.begin(), back.end()), back.end()) << "one came back twice";
    for (size_t i = 0; i < kRequests; ++i)
        EXPECT_TRUE(std::equal(buffers[i].begin(), buffers[i].end(), received.begin() + i * kBytes))
            << "request " << i;
    // Nothing left on its way: no wait, and the reader still answers.
    EXPECT_EQ(writer.wait(done), SDHOST_ERR_IO);
    EXPECT_EQ(done, nullptr);
    EXPECT_FALSE(writer.unanswered());
}

TEST(WinIo, TheFirstWriteErrorIsReturnedAndStays) {
    ScratchFile file(L"refused");
    const Handle h = openPath(file.path, GENERIC_READ, kDiskFlags);
    ASSERT_TRUE(h.ok()) << GetLastError();
    OverlappedWriter writer(h.get(), kNoRetries.writeProtectCode);
    WriteQueue queue(writer, kNoRetries, 65536, 4);
    const std::vector<uint8_t> data(65536, 0x5A);
    // Half a request is only gathered; the whole goes out, and the handle refuses it (error 5,
    // taken as busy).
    EXPECT_EQ(queue.write(data.data(), 64, 0), SDHOST_OK);
    const uint32_t first = queue.write(data.data(), 64, 64);
    EXPECT_EQ(first, SDHOST_ERR_BUSY);
    EXPECT_EQ(queue.write(data.data(), 1, 512), first);
    EXPECT_EQ(queue.settle(), first);
    EXPECT_EQ(queue.failure(), first);
    EXPECT_FALSE(writer.unanswered());
    EXPECT_EQ(file.read(0, 4096), std::vector<uint8_t>(4096, 0));

    // An error that comes back late (the other end gone while the write waits) is mapped alike.
    Pipe pipe(L"broken");
    ASSERT_TRUE(pipe.server.ok() && pipe.client.ok()) << GetLastError();
    OverlappedWriter late(pipe.client.get(), kNoRetries.writeProtectCode, 5000);
    WriteQueue lateQueue(late, kNoRetries, 65536, 4);
    EXPECT_EQ(lateQueue.write(data.data(), 128, 0), SDHOST_OK);
    pipe.server.reset();
    EXPECT_EQ(lateQueue.settle(), SDHOST_ERR_IO);
    EXPECT_EQ(lateQueue.write(data.data(), 128, 128), SDHOST_ERR_IO);
    EXPECT_FALSE(late.unanswered());
}

TEST(WinIo, AWriteNobodyTakesIsCancelledAfterItsWaitAndTheReaderCountsAsGone) {
    Pipe pipe(L"write");
    ASSERT_TRUE(pipe.server.ok() && pipe.client.ok()) << GetLastError();
    OverlappedWriter writer(pipe.client.get(), kNoRetries.writeProtectCode, kShortWaitMs);
    {
        WriteQueue queue(writer, kNoRetries, 65536, 4);
        const std::vector<uint8_t> data(3 * 65536, 0x33);
        const DWORD start = GetTickCount();
        EXPECT_EQ(queue.write(data.data(), 384, 0), SDHOST_OK); // three requests on their way
        EXPECT_EQ(queue.settle(), SDHOST_ERR_NO_CARD);
        const DWORD took = GetTickCount() - start;
        EXPECT_GE(took, kShortWaitMs - 20);
        EXPECT_LT(took, kShortWaitMs + kCancelWaitMs);
        EXPECT_TRUE(writer.unanswered());
        EXPECT_FALSE(writer.holdsRequests()) << "a cancelled request comes back";
        // Nothing more goes out, and nothing waits again.
        const DWORD again = GetTickCount();
        EXPECT_EQ(queue.write(data.data(), 128, 384), SDHOST_ERR_NO_CARD);
        EXPECT_EQ(queue.settle(), SDHOST_ERR_NO_CARD);
        EXPECT_LT(GetTickCount() - again, kShortWaitMs);
    }
    WriteRequest request;
    uint8_t byte = 0;
    request.data = &byte;
    request.length = 1;
    EXPECT_EQ(writer.start(request), SDHOST_ERR_NO_CARD);
}

// A request that cancelling does not bring back: CancelIo reaches the requests of the calling
// thread only, so one started on another thread stands for a driver that keeps its request.
TEST(WinIo, AWriteTheSystemNeverGivesBackIsHeldAndTheQueueDoesNotHang) {
    Pipe pipe(L"held");
    ASSERT_TRUE(pipe.server.ok() && pipe.client.ok()) << GetLastError();
    OverlappedWriter writer(pipe.client.get(), kNoRetries.writeProtectCode, kShortWaitMs,
                            kShortWaitMs);
    auto* queue = new WriteQueue(writer, kNoRetries, 65536, 4);
    struct Starter {
        WriteQueue* queue;
        Handle sent{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
        Handle finish{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
        uint32_t rc = 0xFFFF;
        static DWORD WINAPI run(void* self) {
            auto& s = *static_cast<Starter*>(self);
            const std::vector<uint8_t> data(65536, 0x44);
            s.rc = s.queue->write(data.data(), 128, 0);
            SetEvent(s.sent.get());
            // The thread stays, as its end would cancel what it started.
            WaitForSingleObject(s.finish.get(), INFINITE);
            return 0;
        }
    } starter{queue};
    const Handle thread(CreateThread(nullptr, 0, &Starter::run, &starter, 0, nullptr));
    ASSERT_TRUE(thread.ok());
    ASSERT_EQ(WaitForSingleObject(starter.sent.get(), 5000), WAIT_OBJECT_0);
    EXPECT_EQ(starter.rc, SDHOST_OK);
    const DWORD start = GetTickCount();
    EXPECT_EQ(queue->settle(), SDHOST_ERR_NO_CARD);
    EXPECT_LT(GetTickCount() - start, 4 * kShortWaitMs);
    EXPECT_TRUE(writer.holdsRequests());
    EXPECT_TRUE(writer.unanswered());
    delete queue; // leaves the held request's buffer to the system
    SetEvent(starter.finish.get());
    WaitForSingleObject(thread.get(), 5000);
}

} // namespace
} // namespace brc::sdhost
