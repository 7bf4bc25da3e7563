// Little-endian fields of on-card structures, read from and written into byte buffers. Writes
// keep the low bytes of the value.
#pragma once

#include <cstdint>

namespace brc {

constexpr uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
constexpr uint32_t le32(const uint8_t* p) { return le16(p) | uint32_t{le16(p + 2)} << 16; }
constexpr uint64_t le64(const uint8_t* p) { return le32(p) | uint64_t{le32(p + 4)} << 32; }

constexpr void put16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
constexpr void put32(uint8_t* p, uint32_t v) {
    put16(p, v);
    put16(p + 2, v >> 16);
}
constexpr void put64(uint8_t* p, uint64_t v) {
    put32(p, static_cast<uint32_t>(v));
    put32(p + 4, static_cast<uint32_t>(v >> 32));
}

} // namespace brc
