// The machine's own OS services, for the tests that bind the real driver libraries: they load
// through it as the command does.
#pragma once

#include <memory>

#include "os/os_services.h"

namespace brc::test {

inline OsServices& systemOs() {
    static const std::unique_ptr<OsServices> os = makeSystemOsServices();
    return *os;
}

} // namespace brc::test
