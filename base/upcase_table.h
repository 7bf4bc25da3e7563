// The up-case table every exFAT volume carries: the recommended table in its compressed form.
// It is also the system's own upper-casing of UTF-16 units, which FAT labels go through.
#pragma once

#include <cstdint>

namespace brc {

constexpr uint32_t kUpcaseEntries = 2918;
constexpr uint32_t kUpcaseTableBytes = kUpcaseEntries * 2; // 5836
constexpr uint32_t kUpcaseTableChecksum = 0xE619D30Du;
constexpr uint32_t kUpcaseSectors = (kUpcaseTableBytes + 511) / 512; // 12

// 16-bit entries as they are stored (little-endian on the card).
extern const uint16_t kUpcaseTable[kUpcaseEntries];

// The upper case of one UTF-16 unit, as the table maps it (surrogates map to themselves).
char16_t upcaseUnit(char16_t unit);

} // namespace brc
