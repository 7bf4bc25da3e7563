// BrindlecardService.exe: the volume service. Runs as LocalSystem, started on demand (by the
// program's start-up for a user who is not an administrator), and serves the pipe until told to
// stop. `--console` serves it in the foreground instead, until Ctrl-C (for tests, as whoever
// runs it), telling each answer on standard output.
//
// Virtual cards: the administrator maps drive letters to image files in the service's key,
// value Parameters\Cards ("E=C:\cards\e.img;F=..."), or after `--console --cards`. The map is
// read once, at the start; no client names a path. Real cards: SD and MMC slots and the card
// readers the driver library knows are served, and the readers whose device ids an
// administrator lists in Parameters\Readers ("USB\VID_058F&PID_6366;...").
#include <windows.h>
#include <sddl.h>

#include <cstdio>
#include <memory>
#include <cwchar>
#include <string>
#include <utility>

#include "drivers/volsvc/image_cards.h"
#include "drivers/volsvc/pipe_protocol.h"
#include "drivers/volsvc/served_disks.h"
#include "drivers/winsvc/pipe_server.h"

namespace {

std::wstring serviceName() {
    const std::string n = brc::volsvc::kServiceName;
    return std::wstring(n.begin(), n.end());
}

HANDLE stopEvent = nullptr;
std::string servedCards;   // the virtual cards' map, as configured
std::string servedReaders; // the readers an administrator allowed, as configured

std::string utf8(const std::wstring& w) {
    if (w.empty()) return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0,
                                      nullptr, nullptr);
    std::string s(static_cast<size_t>(n > 0 ? n : 0), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr,
                        nullptr);
    return s;
}

std::wstring wide(const std::string& s) {
    std::wstring w(s.size(), L'\0');
    const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(),
                                      static_cast<int>(w.size()));
    w.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return w;
}

std::wstring parametersKey() {
    return L"SYSTEM\\CurrentControlSet\\Services\\" + serviceName() + L"\\Parameters";
}

// A text value under the service's Parameters key (Cards, Readers); empty when there is none.
std::string configured(const wchar_t* name) {
    const std::wstring key = parametersKey();
    wchar_t text[4096];
    DWORD bytes = sizeof text - sizeof(wchar_t);
    DWORD type = 0;
    HKEY h = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_QUERY_VALUE, &h) != ERROR_SUCCESS)
        return {};
    const LONG rc =
        RegQueryValueExW(h, name, nullptr, &type, reinterpret_cast<BYTE*>(text), &bytes);
    RegCloseKey(h);
    if (rc != ERROR_SUCCESS || type != REG_SZ) return {};
    text[bytes / sizeof(wchar_t)] = L'\0';
    return utf8(text);
}
SERVICE_STATUS_HANDLE statusHandle = nullptr;
SERVICE_STATUS status{};

void report(DWORD state, DWORD exitCode = NO_ERROR) {
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted =
        state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    status.dwWin32ExitCode = exitCode;
    status.dwWaitHint = state == SERVICE_RUNNING || state == SERVICE_STOPPED ? 0 : 30000;
    if (state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING) ++status.dwCheckPoint;
    else status.dwCheckPoint = 0;
    SetServiceStatus(statusHandle, &status);
}

DWORD WINAPI control(DWORD code, DWORD, void*, void*) {
    switch (code) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
        // Clients give their cards back as they end; that may take the volumes' wait.
        report(SERVICE_STOP_PENDING);
        SetEvent(stopEvent);
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE: return NO_ERROR;
    default: return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

HANDLE eventLog = nullptr;
// The server, made with the configuration and its pipe's first instance created before the
// service's process does anything else.
std::unique_ptr<brc::winsvc::PipeServer> server;

DWORD prepare(FILE* console) {
    eventLog = RegisterEventSourceW(nullptr, serviceName().c_str());
    brc::CardMap images = brc::volsvc::parseServedImages(servedCards);
    if (!images.error.empty()) {
        // A map that does not parse serves no virtual card, and says so.
        const std::wstring text = L"virtual cards not served: " + wide(images.error);
        const wchar_t* strings[] = {text.c_str()};
        if (eventLog)
            ReportEventW(eventLog, EVENTLOG_WARNING_TYPE, 0, 113, nullptr, 1, 0, strings, nullptr);
        if (console) std::fprintf(console, "%s\n", images.error.c_str());
    }
    std::string error;
    brc::volsvc::ServicePolicy policy = brc::volsvc::parsePolicy(servedReaders, error);
    if (!error.empty()) {
        // A list that does not parse allows no reader beyond those served anyway, and says so.
        const std::wstring text = L"Readers not read: " + wide(error);
        const wchar_t* strings[] = {text.c_str()};
        if (eventLog)
            ReportEventW(eventLog, EVENTLOG_WARNING_TYPE, 0, 113, nullptr, 1, 0, strings, nullptr);
        if (console) std::fprintf(console, "Readers not read: %s\n", error.c_str());
    }
    // The service writes down the letters it takes; the test console does not.
    server = std::make_unique<brc::winsvc::PipeServer>(stopEvent, eventLog, std::move(images),
                                                       std::move(policy), console,
                                                       console ? std::wstring() : parametersKey());
    return server->listen();
}

DWORD serve(void (*listening)()) {
    const DWORD rc = server->run(listening);
    server.reset();
    if (eventLog) DeregisterEventSource(eventLog);
    return rc;
}

// Who may do what to the service: as the system's default, and users logged on at the machine
// may also start it (start-up starts it for them).
constexpr const wchar_t* kServiceSecurity =
    L"D:(A;;CCLCSWRPWPDTLOCRRC;;;SY)(A;;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;BA)"
    L"(A;;CCLCSWRPLOCRRC;;;IU)(A;;CCLCSWLOCRRC;;;SU)";

// ChangeServiceConfig2's levels and structures of Vista on, which the XP headers lack.
constexpr DWORD kConfigServiceSidInfo = 5, kConfigRequiredPrivileges = 6;
constexpr DWORD kServiceSidTypeUnrestricted = 1;
struct ServiceSidInfo {
    DWORD serviceSidType;
};
struct RequiredPrivileges {
    wchar_t* privileges; // names, each ended by a zero, the list by another
};

// The service object set up as the service wants it: its rights (above), restarted when it
// fails, a SID of its own and no privilege but those it uses (impersonating a pipe's client at
// the identification level, and traversing folders; the system takes effect of both from the
// next start on, XP of neither). Done by the service itself, as LocalSystem, the first time it
// runs (the installer starts it): an administrator's own changes are kept afterwards. The
// service's key goes when it is uninstalled, so an install or upgrade sets it up again.
void configureOnce() {
    const std::wstring key = parametersKey();
    HKEY parameters = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0,
                        KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &parameters,
                        nullptr) != ERROR_SUCCESS)
        return;
    DWORD configured = 0, type = 0, bytes = sizeof configured;
    const bool done =
        RegQueryValueExW(parameters, L"Configured", nullptr, &type,
                         reinterpret_cast<BYTE*>(&configured), &bytes) == ERROR_SUCCESS &&
        type == REG_DWORD && configured == 1;
    SC_HANDLE manager = done ? nullptr : OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceW(manager, serviceName().c_str(),
                                               READ_CONTROL | WRITE_DAC | SERVICE_CHANGE_CONFIG)
                                : nullptr;
    if (service) {
        PSECURITY_DESCRIPTOR sd = nullptr;
        bool ok = ConvertStringSecurityDescriptorToSecurityDescriptorW(
                      kServiceSecurity, SDDL_REVISION_1, &sd, nullptr) &&
                  SetServiceObjectSecurity(service, DACL_SECURITY_INFORMATION, sd);
        if (sd) LocalFree(sd);
        SC_ACTION restart[] = {
            {SC_ACTION_RESTART, 5000}, {SC_ACTION_RESTART, 30000}, {SC_ACTION_NONE, 0}};
        SERVICE_FAILURE_ACTIONSW failure{};
        failure.dwResetPeriod = 24 * 60 * 60;
        failure.cActions = 3;
        failure.lpsaActions = restart;
        ok = ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure) && ok;
        // Vista on: refused on XP, which has neither.
        ServiceSidInfo sid{kServiceSidTypeUnrestricted};
        ChangeServiceConfig2W(service, kConfigServiceSidInfo, &sid);
        wchar_t names[] = L"SeChangeNotifyPrivilege\0SeImpersonatePrivilege\0";
        RequiredPrivileges privileges{names};
        ChangeServiceConfig2W(service, kConfigRequiredPrivileges, &privileges);
        configured = 1;
        if (ok)
            RegSetValueExW(parameters, L"Configured", 0, REG_DWORD,
                           reinterpret_cast<const BYTE*>(&configured), sizeof configured);
        CloseServiceHandle(service);
    }
    if (manager) CloseServiceHandle(manager);
    RegCloseKey(parameters);
}

// Who other than administrators and SYSTEM may change the service's program or a folder above
// it (an install folder chosen where users may write): they could put their own program, or a
// library it loads, in its place and run it as LocalSystem. Empty where nobody.
std::string programWriter() {
    wchar_t path[MAX_PATH + 1] = {};
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH + 1);
    if (n == 0 || n > MAX_PATH) return "a program path that cannot be told";
    return brc::volsvc::otherWriter(brc::winsvc::guardsOfPath(utf8(path)));
}

void WINAPI serviceMain(DWORD, wchar_t**) {
    statusHandle = RegisterServiceCtrlHandlerExW(serviceName().c_str(), control, nullptr);
    if (!statusHandle) return;
    report(SERVICE_START_PENDING);
    configureOnce();
    server->giveBackLeftLetters(configured(brc::winsvc::kTakenLettersValue));
    if (const std::string writer = programWriter(); !writer.empty()) {
        const std::wstring text = L"the service's program may be changed by " + wide(writer) +
                                  L", not by administrators and SYSTEM alone; it does not start";
        const wchar_t* strings[] = {text.c_str()};
        if (eventLog)
            ReportEventW(eventLog, EVENTLOG_ERROR_TYPE, 0, 100, nullptr, 1, 0, strings, nullptr);
        server.reset();
        report(SERVICE_STOPPED, ERROR_ACCESS_DENIED);
        return;
    }
    // Running once its pipe is there: start-up opens the pipe as soon as the start comes back.
    const DWORD rc = serve([] { report(SERVICE_RUNNING); });
    report(SERVICE_STOPPED, rc);
}

BOOL WINAPI consoleStop(DWORD) {
    SetEvent(stopEvent);
    return TRUE;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (argc > 1 && std::wcscmp(argv[1], L"--console") == 0) {
        SetConsoleCtrlHandler(consoleStop, TRUE);
        servedCards = argc > 3 && std::wcscmp(argv[2], L"--cards") == 0 ? utf8(argv[3])
                                                                        : configured(L"Cards");
        servedReaders = configured(L"Readers");
        prepare(stdout);
        return static_cast<int>(serve(nullptr));
    }
    // The pipe is the service's before the system is told the service runs at all; a name taken
    // already ends the start with its error (run() gives it).
    servedCards = configured(L"Cards");
    servedReaders = configured(L"Readers");
    prepare(nullptr);
    std::wstring name = serviceName();
    SERVICE_TABLE_ENTRYW table[] = {{name.data(), serviceMain}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherW(table)) return static_cast<int>(GetLastError());
    return 0;
}
