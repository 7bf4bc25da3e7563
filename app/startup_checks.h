// The start-up checks every front end runs before it offers a format: a supported system, the
// rights or the volume service, and a bound driver library.
#pragma once

#include <cstdint>

namespace brc {

struct DriverBinding;
struct SystemState;

// 0 to go on, or the message of the refusal: 261 unsupported system, 219 no administrator
// rights and no volume service, 220 no driver library could be bound (route 2).
uint32_t runStartupChecks(SystemState& sys, DriverBinding& driver);

} // namespace brc
