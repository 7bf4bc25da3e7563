// A 64-bit mixer (splitmix64's step): every bit of the input moves every bit of the output, so
// the bytes a probe or a check derives from a sector number and a run's tag differ for each.
#pragma once

#include <cstdint>

namespace brc {

constexpr uint64_t mix64(uint64_t x) {
    x += 0x9E3779B97F4A7C15u;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9u;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBu;
    return x ^ (x >> 31);
}

} // namespace brc
