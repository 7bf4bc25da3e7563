// BrindlecardService.exe: the volume service. Runs as LocalSystem, started on demand (by the
// program's start-up for a user who is not an administrator), and serves the pipe until told to
// stop. `--console` serves it in the foreground instead, until Ctrl-C (for tests, as whoever
// runs it).
#include <windows.h>

#include <cwchar>
#include <string>

#include "drivers/volsvc/pipe_protocol.h"
#include "drivers/winsvc/pipe_server.h"

namespace {

std::wstring serviceName() {
    const std::string n = brc::volsvc::kServiceName;
    return std::wstring(n.begin(), n.end());
}

HANDLE stopEvent = nullptr;
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

DWORD serve() {
    const HANDLE eventLog = RegisterEventSourceW(nullptr, serviceName().c_str());
    DWORD rc = 0;
    {
        brc::winsvc::PipeServer server(stopEvent, eventLog);
        rc = server.run();
    }
    if (eventLog) DeregisterEventSource(eventLog);
    return rc;
}

void WINAPI serviceMain(DWORD, wchar_t**) {
    statusHandle = RegisterServiceCtrlHandlerExW(serviceName().c_str(), control, nullptr);
    if (!statusHandle) return;
    report(SERVICE_START_PENDING);
    report(SERVICE_RUNNING);
    const DWORD rc = serve();
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
        return static_cast<int>(serve());
    }
    std::wstring name = serviceName();
    SERVICE_TABLE_ENTRYW table[] = {{name.data(), serviceMain}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherW(table)) return static_cast<int>(GetLastError());
    return 0;
}
