#include "drivers/winsvc/pipe_server.h"

#include <windows.h>
#include <sddl.h>

#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "drivers/volsvc/pipe_protocol.h"

namespace brc::winsvc {
namespace {

// PIPE_REJECT_REMOTE_CLIENTS, which Vista introduced: XP refuses the flag as a bad parameter,
// and its pipe relies on the security descriptor alone to keep network logons out.
constexpr DWORD kRejectRemoteClients = 0x00000008;
// Clients served at once; one more waits for an instance.
constexpr DWORD kInstances = 16;
// Network logons, guests and remote desktop logons (S-1-5-14, who cannot put a card in this
// machine's reader) denied before anything is allowed; SYSTEM and administrators may do
// anything; users logged on at the machine may read and write messages and set the read mode
// (0x12018B: FILE_READ_DATA, FILE_WRITE_DATA, FILE_READ_EA, FILE_READ_ATTRIBUTES,
// FILE_WRITE_ATTRIBUTES, READ_CONTROL, SYNCHRONIZE), but not create instances of the pipe
// (FILE_CREATE_PIPE_INSTANCE, which GENERIC_WRITE holds): no user's server joins ours.
constexpr wchar_t kPipeSecurity[] =
    L"D:P(D;;GA;;;NU)(D;;GA;;;BG)(D;;GA;;;S-1-5-14)(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x12018b;;;IU)";
// A message longer than a request is read through to its end in pieces of this, then refused.
constexpr DWORD kDrainLimit = 64 * 1024;

bool systemRejectsRemote() { return LOBYTE(LOWORD(GetVersion())) >= 6; }

// GetNamedPipeClientProcessId, Vista on; null where the system has none.
using ClientProcessId = BOOL(WINAPI*)(HANDLE, PULONG);
ClientProcessId clientProcessId() {
    static const ClientProcessId f = reinterpret_cast<ClientProcessId>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetNamedPipeClientProcessId")));
    return f;
}

struct ClientStart {
    PipeServer* server;
    HANDLE pipe;
    uint64_t id;
};

DWORD WINAPI clientThread(void* p) {
    const ClientStart start = *static_cast<ClientStart*>(p);
    delete static_cast<ClientStart*>(p);
    start.server->serveClient(start.pipe, start.id);
    return 0;
}

enum class Io { Done, More, Failed };

// One overlapped call on the pipe waited for: done, done with more of the message to read, or
// failed (also when `waitMs` ran out, `stop` was set or `process` ended: the call is cancelled).
Io finishIo(HANDLE pipe, OVERLAPPED& ov, BOOL started, DWORD& done, DWORD waitMs, HANDLE stop,
            HANDLE process) {
    if (!started) {
        const DWORD err = GetLastError();
        if (err == ERROR_IO_PENDING) {
            HANDLE events[] = {ov.hEvent, stop, process};
            if (WaitForMultipleObjects(process ? 3 : 2, events, FALSE, waitMs) != WAIT_OBJECT_0) {
                CancelIo(pipe);
                GetOverlappedResult(pipe, &ov, &done, TRUE);
                return Io::Failed;
            }
        } else if (err != ERROR_MORE_DATA) {
            return Io::Failed;
        }
    }
    if (GetOverlappedResult(pipe, &ov, &done, FALSE)) return Io::Done;
    return GetLastError() == ERROR_MORE_DATA ? Io::More : Io::Failed;
}

// One message into `buffer`, its whole length in `total`: a longer one is read through to its end
// (within bounds) and `total` says how long it was.
Io readMessage(HANDLE pipe, OVERLAPPED& ov, uint8_t* buffer, DWORD size, DWORD waitMs, HANDLE stop,
               HANDLE process, size_t& total) {
    ResetEvent(ov.hEvent);
    DWORD length = 0;
    Io io = finishIo(pipe, ov, ReadFile(pipe, buffer, size, nullptr, &ov), length, waitMs, stop,
                     process);
    total = length;
    // Longer still: read through to the message's end (within bounds), then refused.
    while (io == Io::More && total <= kDrainLimit) {
        uint8_t rest[512];
        ResetEvent(ov.hEvent);
        io = finishIo(pipe, ov, ReadFile(pipe, rest, sizeof rest, nullptr, &ov), length,
                      volsvc::kRequestTimeLimitMs, stop, process);
        total += length;
    }
    return io;
}

} // namespace

SectionLocks::SectionLocks() {
    InitializeCriticalSection(&desk_);
    InitializeCriticalSection(&disksMade_);
}

SectionLocks::~SectionLocks() {
    for (auto& [number, section] : disks_) DeleteCriticalSection(&section);
    DeleteCriticalSection(&disksMade_);
    DeleteCriticalSection(&desk_);
}

void SectionLocks::enterDisk(uint32_t number) {
    EnterCriticalSection(&disksMade_);
    const auto [it, made] = disks_.try_emplace(number);
    if (made) InitializeCriticalSection(&it->second);
    LeaveCriticalSection(&disksMade_);
    // A map's entries stay where they are while others are added.
    EnterCriticalSection(&it->second);
}

void SectionLocks::leaveDisk(uint32_t number) {
    EnterCriticalSection(&disksMade_);
    CRITICAL_SECTION& section = disks_.at(number);
    LeaveCriticalSection(&disksMade_);
    LeaveCriticalSection(&section);
}

PipeServer::PipeServer(HANDLE stop, HANDLE eventLog, CardMap images, volsvc::ServicePolicy policy,
                       FILE* console, std::wstring lettersKey)
    : stop_(stop),
      eventLog_(eventLog),
      console_(console),
      host_(eventLog, std::move(images), std::move(policy), std::move(lettersKey)) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (ConvertStringSecurityDescriptorToSecurityDescriptorW(kPipeSecurity, SDDL_REVISION_1, &sd,
                                                             nullptr))
        security_ = sd;
}

PipeServer::~PipeServer() {
    if (first_ != INVALID_HANDLE_VALUE) CloseHandle(first_);
    if (security_) LocalFree(security_);
}

HANDLE PipeServer::createInstance(bool first, DWORD& error) {
    SECURITY_ATTRIBUTES sa{sizeof sa, security_, FALSE};
    DWORD mode = PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT;
    if (systemRejectsRemote()) mode |= kRejectRemoteClients;
    // The first instance must be ours: a pipe of that name created before by anyone else is
    // refused here rather than joined.
    const DWORD open =
        PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
    const std::wstring name(volsvc::kPipeName,
                            volsvc::kPipeName + std::char_traits<char>::length(volsvc::kPipeName));
    const HANDLE pipe = CreateNamedPipeW(name.c_str(), open, mode, kInstances,
                                         volsvc::kMaxAnswerBytes, volsvc::kMaxRequestBytes, 0, &sa);
    error = pipe == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    return pipe;
}

DWORD PipeServer::listen() {
    if (first_ != INVALID_HANDLE_VALUE || listenError_) return listenError_;
    if (!security_)
        return listenError_ = GetLastError() ? GetLastError() : ERROR_INVALID_SECURITY_DESCR;
    first_ = createInstance(true, listenError_);
    if (first_ == INVALID_HANDLE_VALUE)
        host_.log({100, volsvc::Refusal::None,
                   "the pipe's name is taken by another process (error " +
                       std::to_string(listenError_) + "); the service does not start"});
    return listenError_;
}

DWORD PipeServer::run(void (*listening)()) {
    if (const DWORD error = listen()) return error;
    HANDLE pipe = first_;
    first_ = INVALID_HANDLE_VALUE;
    DWORD error = 0;
    if (listening) listening();
    std::vector<HANDLE> threads;
    OVERLAPPED ov{};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    uint64_t next = 1;
    while (pipe != INVALID_HANDLE_VALUE) {
        ResetEvent(ov.hEvent);
        const BOOL now = ConnectNamedPipe(pipe, &ov);
        bool connected = now || GetLastError() == ERROR_PIPE_CONNECTED;
        if (!now && GetLastError() == ERROR_IO_PENDING) {
            HANDLE events[] = {ov.hEvent, stop_};
            if (WaitForMultipleObjects(2, events, FALSE, INFINITE) != WAIT_OBJECT_0) {
                CancelIo(pipe);
                CloseHandle(pipe);
                break;
            }
            DWORD ignored = 0;
            connected = GetOverlappedResult(pipe, &ov, &ignored, FALSE) != FALSE;
        }
        // The next instance listens before this one is served, so that the name goes without
        // one only while all instances serve.
        HANDLE following = createInstance(false, error);
        if (connected) {
            auto* start = new ClientStart{this, pipe, next++};
            const HANDLE t = CreateThread(nullptr, 0, clientThread, start, 0, nullptr);
            if (t) {
                threads.push_back(t);
            } else {
                delete start;
                CloseHandle(pipe);
            }
        } else {
            CloseHandle(pipe);
        }
        // Threads that are done are forgotten; at most kInstances are serving at once.
        for (auto it = threads.begin(); it != threads.end();)
            it = WaitForSingleObject(*it, 0) == WAIT_OBJECT_0
                     ? (CloseHandle(*it), threads.erase(it))
                     : it + 1;
        pipe = following;
        while (pipe == INVALID_HANDLE_VALUE && error == ERROR_PIPE_BUSY &&
               WaitForSingleObject(stop_, 250) == WAIT_TIMEOUT)
            pipe = createInstance(false, error);
    }
    // The clients see the stop, give their cards back and end.
    for (HANDLE t : threads) {
        WaitForSingleObject(t, INFINITE);
        CloseHandle(t);
    }
    CloseHandle(ov.hEvent);
    return 0;
}

std::optional<volsvc::Client> PipeServer::identify(HANDLE pipe, uint64_t id) {
    volsvc::Client client;
    client.id = id;
    ULONG pid = 0;
    HANDLE process = nullptr;
    if (clientProcessId() && clientProcessId()(pipe, &pid)) {
        client.process = pid;
        process = OpenProcess(PROCESS_DUP_HANDLE | SYNCHRONIZE, FALSE, pid);
        // A process the system names but the service cannot open (gone, or protected) is no
        // client: the one the request names is believed only where the system names none.
        if (!process) return std::nullopt;
    }
    host_.connected(id, pipe, process);
    return client;
}

std::vector<uint8_t> PipeServer::answer(const volsvc::Client& client, const uint8_t* data,
                                        size_t length) {
    std::vector<uint8_t> out = desk_.serve(client, data, length);
    if (console_) tell(client, data, length, out);
    return out;
}

void PipeServer::tell(const volsvc::Client& client, const uint8_t* data, size_t length,
                      const std::vector<uint8_t>& out) {
    const volsvc::ParsedRequest q = volsvc::parseRequest(data, length);
    const std::optional<volsvc::Answer> a = volsvc::parseAnswer(out.data(), out.size());
    if (!a) return;
    if (a->refusal != volsvc::Refusal::None || !q.request) {
        std::fprintf(console_, "refused: %s\n", a->message.c_str());
    } else {
        const volsvc::Request& r = *q.request;
        const char* what = r.kind == volsvc::Kind::ReleaseCard ? "given back by"
                           : (r.access & volsvc::kWrite)       ? "handed for writing to"
                                                               : "handed for reading to";
        std::fprintf(console_, "%s %s process %lu\n", windisk::driveName(r.drive).c_str(), what,
                     static_cast<unsigned long>(client.process));
    }
    std::fflush(console_);
}

void PipeServer::letGo(const volsvc::Client& client) {
    desk_.letGo(client);
    host_.disconnected(client.id);
}

void PipeServer::serveClient(HANDLE pipe, uint64_t id) {
    std::optional<volsvc::Client> identified = identify(pipe, id);
    if (!identified) {
        // The system names a process the service cannot open: the connection ends unserved.
        host_.disconnected(id);
        DisconnectNamedPipe(pipe);
        CloseHandle(pipe);
        return;
    }
    // Waited on beside the pipe: a client whose process ends is let go even where another
    // process inherited its end of the pipe. On XP the process is known once the client named
    // it and the host opened it as the client.
    volsvc::Client& client = *identified;
    bool admitted = false;
    HANDLE process = client.process ? OpenProcess(SYNCHRONIZE, FALSE, client.process) : nullptr;
    OVERLAPPED ov{};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    // One byte more than any request: a message that fills it is too long.
    uint8_t buffer[volsvc::kMaxRequestBytes + 1];
    for (;;) {
        if (!process) process = host_.watchedProcess(client.id);
        const std::optional<uint32_t> idle = desk_.idleLimitMs(client, process != nullptr);
        size_t total = 0;
        if (readMessage(pipe, ov, buffer, sizeof buffer, idle.value_or(INFINITE), stop_, process,
                        total) != Io::Done)
            break;
        if (!admitted) {
            // Who the client is can be read once it has written to the pipe; a user with all
            // the connections one user may have gets no answer on this one.
            client.user = clientUser(pipe);
            admitted = desk_.connect(client);
            if (!admitted) break;
        }
        const std::vector<uint8_t> out = answer(client, buffer, std::min(total, sizeof buffer));
        ResetEvent(ov.hEvent);
        DWORD written = 0;
        const Io io = finishIo(
            pipe, ov, WriteFile(pipe, out.data(), static_cast<DWORD>(out.size()), nullptr, &ov),
            written, volsvc::kRequestTimeLimitMs, stop_, process);
        if (io != Io::Done || written != out.size()) break;
        // A logged refusal ends the connection: one connection writes to the event log once.
        if (desk_.dropping(client)) break;
    }
    letGo(client);
    DisconnectNamedPipe(pipe);
    CloseHandle(pipe);
    CloseHandle(ov.hEvent);
    if (process) CloseHandle(process);
}

} // namespace brc::winsvc
