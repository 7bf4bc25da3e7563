// What a medium must be for the layout rules to take it as a card, whichever system describes
// it: no more sectors than a card's 32-bit sector count holds (2 TiB less one sector), of 512
// bytes, and holding something at all.
#pragma once

#include <cstdint>
#include <string>

#include "base/on_card_fields.h"

namespace brc {

// The largest card the layout rules take: 4294967295 sectors. A medium of exactly 2 TiB would
// be identified with a sector count of 0.
constexpr uint64_t kMaxCardBytes = uint64_t{0xFFFFFFFF} * 512;

// Why the medium `name` of `bytes` in sectors of `sectorBytes` cannot be a card, as one sentence
// without its full stop; empty when it can.
inline std::string capacityRefusal(const std::string& name, uint64_t bytes, uint32_t sectorBytes) {
    if (bytes == 0) return name + " holds no medium: insert a card";
    if (bytes > kMaxCardBytes)
        return name + " holds " + std::to_string(bytes) +
               " bytes, more than the 2 TiB less one sector a card may have";
    if (sectorBytes != kSectorBytes)
        return name + " has " + std::to_string(sectorBytes) +
               "-byte sectors; only cards of 512-byte sectors are supported";
    return {};
}

} // namespace brc
