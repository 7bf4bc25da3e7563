#include "drivers/windows/service_client.h"

#include <windows.h>

#include "device/sdhost_abi.h"
#include "drivers/volsvc/pipe_protocol.h"

namespace brc::sdhost {
namespace {

// The longest the service takes to answer: a lock waited for (windisk::kVolumeWaitMs), the
// disk asked, or a volume waited for at a release, with room to spare.
constexpr DWORD kAnswerMs = 30000;

// This module's connection, and the handings it has not given back, by drive.
HANDLE connection = INVALID_HANDLE_VALUE;
unsigned pending[windisk::kShelfDrives] = {};

std::wstring wide(const char* s) {
    const std::string n = s;
    return std::wstring(n.begin(), n.end());
}

// Whether the pipe's other end is the service's process. Anyone logged on may create further
// instances of the pipe; a handle value from one of them would name whatever this process has
// under that number. XP cannot tell a pipe's server, and is taken at its word.
bool servedByTheService(HANDLE pipe) {
    using ServerProcessId = BOOL(WINAPI*)(HANDLE, PULONG);
    const auto serverProcess = reinterpret_cast<ServerProcessId>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetNamedPipeServerProcessId")));
    if (!serverProcess) return true;
    ULONG server = 0;
    if (!serverProcess(pipe, &server)) return false;
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service =
        manager ? OpenServiceW(manager, wide(volsvc::kServiceName).c_str(), SERVICE_QUERY_STATUS)
                : nullptr;
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    const bool known =
        service && QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO,
                                        reinterpret_cast<BYTE*>(&status), sizeof status, &needed);
    if (service) CloseServiceHandle(service);
    if (manager) CloseServiceHandle(manager);
    return known && status.dwProcessId == server;
}

HANDLE openPipe(const std::wstring& name) {
    // At the identification level: the server may learn who this is, but not act as this user
    // (a process that squatted the pipe's name would otherwise take on the user's rights).
    // Messages read and written (and the read mode set), not GENERIC_WRITE: that includes
    // creating instances of the pipe, which the service allows no user.
    // Overlapped, so that no answer is waited for longer than kAnswerMs.
    return CreateFileW(name.c_str(), GENERIC_READ | FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES, 0,
                       nullptr, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION,
                       nullptr);
}

bool connected(std::string& why) {
    if (connection != INVALID_HANDLE_VALUE) return true;
    const std::wstring name = wide(volsvc::kPipeName);
    // A service busy with other clients frees an instance within moments.
    HANDLE pipe = openPipe(name);
    if (pipe == INVALID_HANDLE_VALUE && GetLastError() == ERROR_PIPE_BUSY &&
        WaitNamedPipeW(name.c_str(), 5000))
        pipe = openPipe(name);
    if (pipe == INVALID_HANDLE_VALUE) return false;
    DWORD mode = PIPE_READMODE_MESSAGE;
    if (!SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr) || !servedByTheService(pipe)) {
        why = "the card pipe is not the volume service's";
        CloseHandle(pipe);
        return false;
    }
    connection = pipe;
    return true;
}

bool nothingPending() {
    for (unsigned n : pending)
        if (n) return false;
    return true;
}

std::optional<volsvc::Answer> transact(const volsvc::Request& request) {
    std::vector<uint8_t> message = volsvc::encodeRequest(request);
    uint8_t answer[volsvc::kMaxAnswerBytes];
    DWORD length = 0;
    OVERLAPPED ov{};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    BOOL done = ov.hEvent &&
                TransactNamedPipe(connection, message.data(), static_cast<DWORD>(message.size()),
                                  answer, sizeof answer, &length, &ov);
    if (!done && ov.hEvent && GetLastError() == ERROR_IO_PENDING) {
        // A service that does not answer in time is given up: closing the connection gives
        // back whatever it holds for this module.
        if (WaitForSingleObject(ov.hEvent, kAnswerMs) != WAIT_OBJECT_0) CancelIo(connection);
        done = GetOverlappedResult(connection, &ov, &length, TRUE);
    }
    if (ov.hEvent) CloseHandle(ov.hEvent);
    if (!done) {
        // A broken connection gave every card back: nothing of it is pending any more.
        closeServiceConnection();
        return std::nullopt;
    }
    return volsvc::parseAnswer(answer, length);
}

} // namespace

Handle diskFromService(unsigned index, bool write,
                       const std::optional<windisk::DiskIdentity>& runDisk, uint32_t& code,
                       std::string& why, windisk::DiskIdentity* handed) {
    code = 0;
    if (index >= windisk::kShelfDrives || !connected(why)) return Handle();
    volsvc::Request q;
    q.drive = index;
    q.access = write ? volsvc::kRead | volsvc::kWrite : volsvc::kRead;
    q.process = GetCurrentProcessId();
    q.expected = runDisk;
    std::optional<volsvc::Answer> a = transact(q);
    // A connection may ask only so much; one holding nothing connects again for more.
    if (a && a->refusal == volsvc::Refusal::TooMany && nothingPending()) {
        closeServiceConnection();
        if (connected(why)) a = transact(q);
    }
    if (!a) {
        code = SDHOST_ERR_ACCESS;
        why = "the volume service did not answer";
        return Handle();
    }
    if (a->refusal != volsvc::Refusal::None) {
        code = volsvc::ruleOf(a->refusal).driverCode;
        why = "the volume service refused: " + a->message;
        return Handle();
    }
    ++pending[index];
    if (handed) *handed = a->disk;
    return Handle(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(a->handle)));
}

bool releaseServiceDisk(unsigned index, unsigned handings, std::optional<uint64_t> partition) {
    if (index >= windisk::kShelfDrives) return true;
    volsvc::Request q;
    q.kind = volsvc::Kind::ReleaseCard;
    q.drive = index;
    q.process = GetCurrentProcessId();
    bool back = true;
    for (; handings > 0 && pending[index] > 0 && connection != INVALID_HANDLE_VALUE; --handings) {
        --pending[index];
        // The last release lets the volumes go: the partition is what it waits for.
        if (pending[index] == 0) q.partition = partition;
        const std::optional<volsvc::Answer> a = transact(q);
        if (!a) break;
        if (a->refusal == volsvc::Refusal::VolumeNotBack) back = false;
    }
    return back;
}

void closeServiceConnection() {
    if (connection != INVALID_HANDLE_VALUE) CloseHandle(connection);
    connection = INVALID_HANDLE_VALUE;
    for (unsigned& n : pending) n = 0;
}

} // namespace brc::sdhost
