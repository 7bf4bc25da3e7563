// The real Windows services behind OsServices, and the system's OEM code page.
#pragma once

#include <memory>

#include "base/code_page.h"
#include "os/os_services.h"

namespace brc {

// The Windows implementation; makeSystemOsServices() returns it in the Windows build.
std::unique_ptr<OsServices> makeWin32OsServices();

// The system's OEM code page (GetOEMCP), converted with WideCharToMultiByte and
// MultiByteToWideChar; unencodable characters become the page's default character.
const CodePage& win32OemCodePage();

} // namespace brc
