// The OS services on Linux. Drive letters come from BRINDLECARD_CARDS; the volume of a mapped
// card is served by our own reading and writing of its file system (platform/virtual_volume.h).
#pragma once

#include <memory>
#include <string>

#include "os/os_services.h"

namespace brc {

// `targetPath`: the image or block device this run formats, when known. The rights checks
// (tokenGroups, pipeOpens) then ask whether this user may open it for reading and writing.
std::unique_ptr<OsServices> makePosixOsServices(std::string targetPath = {});

} // namespace brc
