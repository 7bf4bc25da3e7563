// The sectors of a fake card kept in memory: only non-zero sectors are stored, absent sectors
// read as zero. The fake driver tables of the writer and format suites keep their card in one.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <map>

namespace brc::test {

using Sector = std::array<uint8_t, 512>;

struct SectorMap {
    std::map<uint32_t, Sector> sectors;  // absent sectors read as zero

    Sector get(uint32_t s) const {
        auto it = sectors.find(s);
        return it == sectors.end() ? Sector{} : it->second;
    }
    // Stores one sector from `data`; an all-zero sector is dropped from the map.
    void put(uint32_t s, const uint8_t* data) {
        Sector v;
        std::memcpy(v.data(), data, v.size());
        if (v == Sector{}) sectors.erase(s);
        else sectors[s] = v;
    }
};

} // namespace brc::test
