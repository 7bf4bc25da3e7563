// The start-up checks every front end runs before it offers a format: a supported system, the
// rights or the volume service, and a bound driver library.
#pragma once

#include <cstdint>

namespace brc {

struct DriverBinding;
struct SystemState;
class OsServices;

// The named mutex every copy of the program takes, whatever its front end.
inline constexpr char16_t kInstanceMutexName[] = u"VELLUMGATE";

// The one guard between processes: while a copy of the program (any front end) holds the
// named mutex, no other copy formats. Held from construction to destruction.
class InstanceGuard {
public:
    explicit InstanceGuard(OsServices& os);
    ~InstanceGuard();
    InstanceGuard(const InstanceGuard&) = delete;
    InstanceGuard& operator=(const InstanceGuard&) = delete;

    // 0, or the refusal: 216 when another copy holds the mutex.
    uint32_t refusal() const { return refusal_; }

private:
    OsServices& os_;
    void* mutex_ = nullptr;
    uint32_t refusal_ = 0;
};

// 0 to go on, or the message of the refusal: 261 unsupported system, 219 no administrator
// rights and no volume service, 220 no driver library could be bound (route 2).
uint32_t runStartupChecks(SystemState& sys, DriverBinding& driver);

} // namespace brc
