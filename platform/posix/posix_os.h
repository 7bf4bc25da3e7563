// The OS services on Linux. Drive letters come from BRINDLECARD_CARDS; the volume of a mapped
// card is served by our own reading and writing of its file system (platform/virtual_volume.h).
#pragma once

#include <memory>
#include <string>

#include "base/code_page.h"
#include "os/os_services.h"

namespace brc {

// `targetPath`: the image or block device this run formats, when known. The rights check
// (mayOpenCard) then asks whether this user may open it for reading and writing.
// `oem`: the code page of FAT labels; null for the locale's (platform/posix/oem_code_pages.h).
std::unique_ptr<OsServices> makePosixOsServices(std::string targetPath = {},
                                                const CodePage* oem = nullptr);

} // namespace brc
