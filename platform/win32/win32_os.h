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

// What each Windows program of this system does first: the system is told never to raise its own
// error boxes for a drive ("There is no disk in the drive" on XP, when the drive list or the
// card poll touches an empty slot); the failing call returns its error to us instead. Bits the
// process already has (inherited from its parent) are kept.
void prepareWin32Process();

} // namespace brc
