// A client of the volume service's pipe, for the suite under Wine. Prints what the service
// answers; exits 0 when the answers are those the command expects.
//
//   volume_service_client squat SECONDS     creates the pipe first and holds it; says whether
//                                           the system refuses a second first instance
//   volume_service_client junk              a malformed request and one too large: refused,
//                                           each connection then ended
//   volume_service_client ask E: read|write [HOLD_SECONDS]
//                                           asks for E:'s card; handed, reads sector 0 through
//                                           the handle; holds the connection (and the card),
//                                           then exits without giving it back
//   volume_service_client busy E:           a second client finds E: busy until the first goes
//   volume_service_client library E:        the driver library's way to the service: exits 0
//                                           when the service itself answered (handed or refused)
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "device/sdhost_abi.h"
#include "drivers/volsvc/pipe_protocol.h"
#include "drivers/windows/service_client.h"

namespace {

using namespace brc::volsvc;

std::wstring pipeName() {
    const std::string n = kPipeName;
    return std::wstring(n.begin(), n.end());
}

HANDLE connect() {
    for (int i = 0; i < 100; ++i) {
        const HANDLE h = CreateFileW(pipeName().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                     OPEN_EXISTING, 0, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            DWORD mode = PIPE_READMODE_MESSAGE;
            SetNamedPipeHandleState(h, &mode, nullptr, nullptr);
            return h;
        }
        Sleep(100);
    }
    std::printf("no pipe (error %lu)\n", GetLastError());
    return INVALID_HANDLE_VALUE;
}

// One message sent and its answer read: nullopt when the pipe failed or the answer did not parse.
std::optional<Answer> transact(HANDLE pipe, const std::vector<uint8_t>& message) {
    uint8_t out[kMaxAnswerBytes];
    DWORD length = 0;
    if (!TransactNamedPipe(pipe, const_cast<uint8_t*>(message.data()),
                           static_cast<DWORD>(message.size()), out, sizeof out, &length, nullptr)) {
        std::printf("pipe failed (error %lu)\n", GetLastError());
        return std::nullopt;
    }
    return parseAnswer(out, length);
}

std::optional<Answer> ask(HANDLE pipe, const char* drive, uint32_t access) {
    Request q;
    q.drive = static_cast<uint32_t>((drive[0] | 0x20) - 'a');
    q.access = access;
    q.process = GetCurrentProcessId();
    const auto a = transact(pipe, encodeRequest(q));
    if (!a) return a;
    if (a->refusal == Refusal::None)
        std::printf("handed: disk %u, %llu bytes\n", a->disk.number,
                    static_cast<unsigned long long>(a->disk.bytes));
    else std::printf("refused %u: %s\n", static_cast<unsigned>(a->refusal), a->message.c_str());
    return a;
}

// Sector 0 read through the handed handle, which is overlapped like the library's own.
bool readSectorZero(uint64_t value) {
    const HANDLE disk = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(value));
    void* buffer = VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    OVERLAPPED ov{};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD done = 0;
    BOOL ok = ReadFile(disk, buffer, 512, nullptr, &ov);
    if (ok || GetLastError() == ERROR_IO_PENDING) ok = GetOverlappedResult(disk, &ov, &done, TRUE);
    std::printf("read through the handle: %s, %lu bytes\n", ok ? "ok" : "failed", done);
    CloseHandle(ov.hEvent);
    VirtualFree(buffer, 0, MEM_RELEASE);
    return ok && done == 512;
}

HANDLE firstInstance() {
    return CreateNamedPipeW(pipeName().c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE,
                            PIPE_TYPE_MESSAGE, 4, 512, 512, 0, nullptr);
}

int squat(int seconds) {
    const HANDLE h = firstInstance();
    if (h == INVALID_HANDLE_VALUE) {
        std::printf("squat: cannot create the pipe (error %lu)\n", GetLastError());
        return 1;
    }
    // Whether this system refuses a second first instance at all (Wine may not).
    const HANDLE again = firstInstance();
    std::printf("squatting; a second first instance %s\n",
                again == INVALID_HANDLE_VALUE ? "is refused" : "is NOT refused");
    if (again != INVALID_HANDLE_VALUE) CloseHandle(again);
    std::fflush(stdout);
    Sleep(static_cast<DWORD>(seconds) * 1000);
    CloseHandle(h);
    return 0;
}

int junk() {
    // A refused malformed request is logged, and the connection that sent it ends: one
    // connection writes to the event log once.
    HANDLE pipe = connect();
    if (pipe == INVALID_HANDLE_VALUE) return 1;
    const auto bad = transact(pipe, {1, 2, 3});
    const auto dropped = transact(pipe, {1, 2, 3});
    CloseHandle(pipe);
    pipe = connect();
    if (pipe == INVALID_HANDLE_VALUE) return 1;
    const auto large = transact(pipe, std::vector<uint8_t>(1000, 0x42));
    CloseHandle(pipe);
    // A new connection is served.
    pipe = connect();
    if (pipe == INVALID_HANDLE_VALUE) return 1;
    const auto after = ask(pipe, "Q:", kRead);
    CloseHandle(pipe);
    const bool ok = bad && bad->refusal == Refusal::Malformed && !dropped && large &&
                    large->refusal == Refusal::TooLarge && after;
    std::printf("junk: %s\n", ok ? "refused as malformed and too large, each connection then ended"
                                 : "unexpected answers");
    return ok ? 0 : 1;
}

int askFor(const char* drive, bool write, int holdSeconds) {
    const HANDLE pipe = connect();
    if (pipe == INVALID_HANDLE_VALUE) return 1;
    const auto a = ask(pipe, drive, write ? kRead | kWrite : kRead);
    if (!a || a->refusal != Refusal::None) return 2;
    if (!readSectorZero(a->handle)) return 1;
    std::fflush(stdout);
    Sleep(static_cast<DWORD>(holdSeconds) * 1000);
    // Ends without giving the card back: the service must.
    ExitProcess(0);
}

int busy(const char* drive) {
    const HANDLE first = connect(), second = connect();
    if (first == INVALID_HANDLE_VALUE || second == INVALID_HANDLE_VALUE) return 1;
    const auto a = ask(first, drive, kRead);
    const auto b = ask(second, drive, kRead);
    CloseHandle(first);
    Sleep(500); // the service sees the first go
    const auto c = ask(second, drive, kRead);
    CloseHandle(second);
    const bool ok = a && a->refusal == Refusal::None && b && b->refusal == Refusal::Busy && c &&
                    c->refusal == Refusal::None;
    std::printf("busy: %s\n", ok ? "the second client waited for the first" : "unexpected answers");
    return ok ? 0 : 1;
}

int library(const char* drive) {
    uint32_t code = 0;
    std::string why;
    brc::sdhost::Handle h = brc::sdhost::diskFromService(
        static_cast<unsigned>((drive[0] | 0x20) - 'a'), true, std::nullopt, code, why);
    std::printf("library: %s (code 0x%x) %s\n", h.ok() ? "handed" : "not handed", code,
                why.c_str());
    brc::sdhost::closeServiceConnection();
    return h.ok() || why.find("the volume service refused") == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "squat" && argc == 3) return squat(std::atoi(argv[2]));
    if (command == "junk") return junk();
    if (command == "ask" && argc >= 4)
        return askFor(argv[2], std::strcmp(argv[3], "write") == 0,
                      argc > 4 ? std::atoi(argv[4]) : 0);
    if (command == "busy" && argc == 3) return busy(argv[2]);
    if (command == "library" && argc == 3) return library(argv[2]);
    std::fprintf(stderr, "usage: volume_service_client squat|junk|ask|busy|library ...\n");
    return 2;
}
