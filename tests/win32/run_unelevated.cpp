// Runs a program as an administrator's programs run under UAC before elevation: with this
// process's token, Administrators kept for denying only. Standard handles and the environment
// are handed on; the exit status is the program's.
//
//     run_unelevated.exe PROGRAM [ARGS...]
//
// Exits 2 on bad usage, 3 when the token or the process cannot be made (saying why).
#include <windows.h>
#include <sddl.h>

#include <cstdio>
#include <cwchar>
#include <initializer_list>

namespace {

// The command line after this program's own name, as the caller wrote it.
wchar_t* rest(wchar_t* line) {
    bool quoted = false;
    for (; *line && (quoted || (*line != L' ' && *line != L'\t')); ++line)
        if (*line == L'"') quoted = !quoted;
    while (*line == L' ' || *line == L'\t') ++line;
    return line;
}

int failed(const char* what) {
    std::fprintf(stderr, "run_unelevated: %s failed, error %lu\n", what,
                 static_cast<unsigned long>(GetLastError()));
    return 3;
}

} // namespace

int wmain() {
    wchar_t* command = rest(GetCommandLineW());
    if (!*command) {
        std::fprintf(stderr, "usage: run_unelevated.exe PROGRAM [ARGS...]\n");
        return 2;
    }
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &token))
        return failed("OpenProcessToken");
    PSID administrators = nullptr;
    if (!ConvertStringSidToSidW(L"S-1-5-32-544", &administrators))
        return failed("ConvertStringSidToSid");
    SID_AND_ATTRIBUTES denyOnly{administrators, 0};
    HANDLE limited = nullptr;
    if (!CreateRestrictedToken(token, 0, 1, &denyOnly, 0, nullptr, 0, nullptr, &limited))
        return failed("CreateRestrictedToken");

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    for (HANDLE h : {startup.hStdInput, startup.hStdOutput, startup.hStdError})
        if (h && h != INVALID_HANDLE_VALUE)
            SetHandleInformation(h, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    PROCESS_INFORMATION process{};
    if (!CreateProcessAsUserW(limited, nullptr, command, nullptr, nullptr, TRUE, 0, nullptr,
                              nullptr, &startup, &process))
        return failed("CreateProcessAsUser");
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD status = 3;
    GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    CloseHandle(limited);
    LocalFree(administrators);
    CloseHandle(token);
    return static_cast<int>(status);
}
