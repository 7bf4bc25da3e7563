#include "cli/elevated_run.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include <cstdio>
#include <random>
#include <vector>

#include "base/native_text.h"

namespace brc::cli {
namespace {

bool g_relayed = false;

// One argument as the runtime's command-line parsing gives it back: quoted, with the
// backslashes before a quote doubled.
std::wstring asArgument(const std::wstring& arg) {
    std::wstring out = L"\"";
    size_t slashes = 0;
    for (const wchar_t c : arg) {
        if (c == L'\\') {
            ++slashes;
            continue;
        }
        out.append(c == L'"' ? 2 * slashes + 1 : slashes, L'\\');
        slashes = 0;
        out += c;
    }
    out.append(2 * slashes, L'\\');
    return out + L"\"";
}

// The relay's names: the pipes under \\.\pipe\, the stop event in the session's namespace.
std::wstring pipeName(const std::wstring& base, const wchar_t* which) {
    return L"\\\\.\\pipe\\" + base + L"-" + which;
}
std::wstring stopName(const std::wstring& base) { return L"Local\\" + base + L"-stop"; }

// Reads or writes on a handle opened for overlapped calls, waited for.
bool transfer(HANDLE h, void* buffer, DWORD size, DWORD& done, bool write) {
    OVERLAPPED ov{};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!ov.hEvent) return false;
    const BOOL now =
        write ? WriteFile(h, buffer, size, nullptr, &ov) : ReadFile(h, buffer, size, nullptr, &ov);
    const bool ok =
        (now || GetLastError() == ERROR_IO_PENDING) && GetOverlappedResult(h, &ov, &done, TRUE);
    CloseHandle(ov.hEvent);
    return ok;
}

struct Pump {
    HANDLE from, to;
    bool fromPipe; // else the pipe is `to`
};

// Copies until either side ends: the elevated copy's output to this console, or this
// console's input to the copy.
DWORD WINAPI pump(void* p) {
    const Pump& q = *static_cast<Pump*>(p);
    char buffer[4096];
    for (;;) {
        DWORD got = 0, put = 0;
        const bool read = q.fromPipe ? transfer(q.from, buffer, sizeof buffer, got, false)
                                     : ReadFile(q.from, buffer, sizeof buffer, &got, nullptr);
        if (!read || got == 0) break;
        const bool wrote = q.fromPipe ? WriteFile(q.to, buffer, got, &put, nullptr)
                                      : transfer(q.to, buffer, got, put, true);
        if (!wrote) break;
    }
    return 0;
}

HANDLE g_stop = nullptr;

BOOL WINAPI passOnStop(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
    SetEvent(g_stop);
    return TRUE;
}

// In the elevated copy: the first copy's Ctrl+C, given to this console as if typed here.
DWORD WINAPI watchStop(void* event) {
    if (WaitForSingleObject(static_cast<HANDLE>(event), INFINITE) == WAIT_OBJECT_0)
        GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
    return 0;
}

// A pipe of the relay's, made by this copy alone (one instance, the first), its client waited
// for while the elevated copy runs.
HANDLE makePipe(const std::wstring& name, DWORD direction) {
    return CreateNamedPipeW(
        name.c_str(), direction | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr);
}

bool connected(HANDLE pipe, HANDLE process) {
    OVERLAPPED ov{};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!ov.hEvent) return false;
    bool ok = ConnectNamedPipe(pipe, &ov) || GetLastError() == ERROR_PIPE_CONNECTED;
    if (!ok && GetLastError() == ERROR_IO_PENDING) {
        HANDLE events[] = {ov.hEvent, process};
        DWORD ignored = 0;
        ok = WaitForMultipleObjects(2, events, FALSE, INFINITE) == WAIT_OBJECT_0 &&
             GetOverlappedResult(pipe, &ov, &ignored, FALSE);
        if (!ok) CancelIo(pipe);
    }
    CloseHandle(ov.hEvent);
    return ok;
}

struct Relay {
    std::wstring base;
    HANDLE out = INVALID_HANDLE_VALUE, err = INVALID_HANDLE_VALUE, in = INVALID_HANDLE_VALUE;
    HANDLE stop = nullptr;
    ~Relay() {
        for (HANDLE h : {out, err, in})
            if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
        if (stop) CloseHandle(stop);
    }
};

bool joinStream(const std::wstring& name, DWORD access, int fd, DWORD std, int mode) {
    const HANDLE h = CreateFileW(name.c_str(), access, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    const int opened = _open_osfhandle(reinterpret_cast<intptr_t>(h), mode | _O_TEXT);
    if (opened < 0) {
        CloseHandle(h);
        return false;
    }
    const bool ok = _dup2(opened, fd) == 0;
    _close(opened);
    if (ok) SetStdHandle(std, reinterpret_cast<HANDLE>(_get_osfhandle(fd)));
    return ok;
}

// The relay's pipes and stop event, under a name nobody can guess; false where one of them is not
// this copy's own.
bool makeRelay(Relay& relay, std::string& why) {
    std::random_device random;
    relay.base = L"brindlecard-relay-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                 std::to_wstring(random()) + std::to_wstring(random());
    relay.out = makePipe(pipeName(relay.base, L"out"), PIPE_ACCESS_INBOUND);
    relay.err = makePipe(pipeName(relay.base, L"err"), PIPE_ACCESS_INBOUND);
    relay.in = makePipe(pipeName(relay.base, L"in"), PIPE_ACCESS_OUTBOUND);
    relay.stop = CreateEventW(nullptr, TRUE, FALSE, stopName(relay.base).c_str());
    if (relay.out != INVALID_HANDLE_VALUE && relay.err != INVALID_HANDLE_VALUE &&
        relay.in != INVALID_HANDLE_VALUE && relay.stop && GetLastError() != ERROR_ALREADY_EXISTS)
        return true;
    why = "the relay to an elevated copy cannot be made (error " + std::to_string(GetLastError()) +
          ")";
    return false;
}

} // namespace

bool elevationMayHelp() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    DWORD bytes = 0;
    GetTokenInformation(token, TokenGroups, nullptr, 0, &bytes);
    std::vector<unsigned char> buffer(bytes);
    const bool read =
        bytes != 0 && GetTokenInformation(token, TokenGroups, buffer.data(), bytes, &bytes);
    CloseHandle(token);
    if (!read) return false;
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID administrators = nullptr;
    if (!AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0,
                                  0, 0, 0, 0, 0, &administrators))
        return false;
    const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(buffer.data());
    bool denyOnly = false;
    for (DWORD i = 0; i < groups->GroupCount; ++i)
        if (EqualSid(groups->Groups[i].Sid, administrators))
            denyOnly = (groups->Groups[i].Attributes & SE_GROUP_USE_FOR_DENY_ONLY) != 0;
    FreeSid(administrators);
    return denyOnly;
}

std::optional<int> runElevated(const std::vector<std::string>& args, std::string& why) {
    Relay relay;
    if (!makeRelay(relay, why)) return std::nullopt;
    std::wstring line = wideFromUtf8(kRelayOption) + L" " + asArgument(relay.base);
    for (const std::string& arg : args) line += L" " + asArgument(wideFromUtf8(arg));
    wchar_t self[MAX_PATH + 1] = {};
    const DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH + 1);
    if (n == 0 || n > MAX_PATH) {
        why = "this program's path cannot be told";
        return std::nullopt;
    }
    SHELLEXECUTEINFOW run{};
    run.cbSize = sizeof run;
    run.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
    run.lpVerb = L"runas";
    run.lpFile = self;
    run.lpParameters = line.c_str();
    run.nShow = SW_HIDE;
    if (!ShellExecuteExW(&run) || !run.hProcess) {
        const DWORD err = GetLastError();
        why = err == ERROR_CANCELLED
                  ? "the elevation was declined"
                  : "Windows did not start it elevated (error " + std::to_string(err) + ")";
        return std::nullopt;
    }
    g_stop = relay.stop;
    SetConsoleCtrlHandler(passOnStop, TRUE);
    Pump out{relay.out, GetStdHandle(STD_OUTPUT_HANDLE), true};
    Pump err{relay.err, GetStdHandle(STD_ERROR_HANDLE), true};
    HANDLE pumps[2] = {};
    if (connected(relay.out, run.hProcess) && connected(relay.err, run.hProcess) &&
        connected(relay.in, run.hProcess)) {
        pumps[0] = CreateThread(nullptr, 0, pump, &out, 0, nullptr);
        pumps[1] = CreateThread(nullptr, 0, pump, &err, 0, nullptr);
        // The input's pump waits on this console until the process ends: it is never joined,
        // and what it uses stays until then.
        auto* in = new Pump{GetStdHandle(STD_INPUT_HANDLE), relay.in, false};
        if (const HANDLE t = CreateThread(nullptr, 0, pump, in, 0, nullptr)) CloseHandle(t);
        else delete in;
    }
    WaitForSingleObject(run.hProcess, INFINITE);
    // The copy's output is all out once its ends of the pipes are closed.
    for (HANDLE t : pumps) {
        if (!t) continue;
        WaitForSingleObject(t, INFINITE);
        CloseHandle(t);
    }
    SetConsoleCtrlHandler(passOnStop, FALSE);
    DWORD code = 1;
    GetExitCodeProcess(run.hProcess, &code);
    CloseHandle(run.hProcess);
    relay.in = INVALID_HANDLE_VALUE; // the input's pump's, as above
    return static_cast<int>(code);
}

bool joinRelay(const std::string& name) {
    const std::wstring base = wideFromUtf8(name);
    if (base.rfind(L"brindlecard-relay-", 0) != 0 || base.find(L'\\') != std::wstring::npos)
        return false;
    if (!joinStream(pipeName(base, L"out"), GENERIC_WRITE, 1, STD_OUTPUT_HANDLE, _O_WRONLY) ||
        !joinStream(pipeName(base, L"err"), GENERIC_WRITE, 2, STD_ERROR_HANDLE, _O_WRONLY) ||
        !joinStream(pipeName(base, L"in"), GENERIC_READ, 0, STD_INPUT_HANDLE, _O_RDONLY))
        return false;
    // Unbuffered: what goes to either stream arrives in the order it was said.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    if (const HANDLE stop = OpenEventW(SYNCHRONIZE, FALSE, stopName(base).c_str()))
        if (const HANDLE t = CreateThread(nullptr, 0, watchStop, stop, 0, nullptr)) CloseHandle(t);
    g_relayed = true;
    return true;
}

bool relayed() { return g_relayed; }

} // namespace brc::cli
