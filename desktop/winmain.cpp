// Brindlecard.exe: the desktop program. A GUI-subsystem entry that hands the command line to the
// application object over real windows and the system's own services.
#include <windows.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "app/application.h"
#include "os/os_services.h"
#include "platform/win32/win32_os.h"
#include "ui/win32/win32_system.h"

namespace {

// The arguments after the program's name, as UTF-16.
std::vector<std::u16string> arguments() {
    std::vector<std::u16string> out;
    int count = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!argv) return out;
    for (int i = 1; i < count; ++i) {
        const wchar_t* arg = argv[i];
        out.emplace_back(arg, arg + wcslen(arg));
    }
    LocalFree(argv);
    return out;
}

} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
    brc::prepareWin32Process();
    const std::unique_ptr<brc::OsServices> os = brc::makeSystemOsServices();
    brc::ui::Win32System windows(instance);
    const brc::ResourceMessages messages(windows);
    brc::CBrindlecardApp app(windows, *os, messages);
    return app.Run(arguments());
}
