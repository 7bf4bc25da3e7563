#include "device/written_sectors.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "base/on_card_fields.h"
#include "device/driver_binding.h"

namespace brc {
namespace {

// FNV-1a: cheap, and a sector read back otherwise than written is all but certain to differ.
uint64_t digestOf(const uint8_t* sector) {
    uint64_t h = 0xCBF29CE484222325u;
    for (size_t i = 0; i < kSectorBytes; ++i) h = (h ^ sector[i]) * 0x100000001B3u;
    return h;
}

bool uniform(const uint8_t* sector) {
    return std::memcmp(sector, sector + 1, kSectorBytes - 1) == 0;
}

} // namespace

void WrittenSectors::cut(uint64_t at) {
    auto it = runs_.upper_bound(at);
    if (it == runs_.begin()) return;
    --it;
    if (it->first == at || it->second.end <= at) return;
    // Only a run of one byte spans more than one sector.
    runs_.emplace(at, it->second);
    it->second.end = at;
}

void WrittenSectors::note(const uint8_t* data, uint32_t count, uint32_t first) {
    const uint64_t end = uint64_t{first} + count;
    cut(first);
    cut(end);
    runs_.erase(runs_.lower_bound(first), runs_.lower_bound(end));
    Run* open = nullptr; // the run of one byte the next sector may join
    if (auto after = runs_.lower_bound(first); after != runs_.begin()) {
        Run& before = std::prev(after)->second;
        if (before.end == first && before.uniform) open = &before;
    }
    for (uint64_t s = first; s < end; ++s) {
        const uint8_t* sector = data + (s - first) * kSectorBytes;
        if (!uniform(sector)) {
            runs_.emplace(s, Run{s + 1, false, 0, digestOf(sector)});
            open = nullptr;
        } else if (open && open->fill == sector[0]) {
            open->end = s + 1;
        } else {
            open = &runs_.emplace(s, Run{s + 1, true, sector[0], 0}).first->second;
        }
    }
}

uint64_t WrittenSectors::sectors() const {
    uint64_t n = 0;
    for (const auto& [first, run] : runs_) n += run.end - first;
    return n;
}

bool WrittenSectors::matches(const Run& run, const uint8_t* sector) const {
    if (run.uniform) return sector[0] == run.fill && uniform(sector);
    return digestOf(sector) == run.digest;
}

WrittenSectors::ReadBack WrittenSectors::readBack(DriverBinding& driver) const {
    std::vector<uint8_t> buffer(SDHOST_MAX_TRANSFER * kSectorBytes);
    const auto read = [&](uint64_t s, uint32_t n, uint64_t from) {
        uint8_t* into = buffer.data() + (s - from) * kSectorBytes;
        return driver.api.DDReadPT(into, n, static_cast<uint32_t>(s), driver.driverHandle) == 0;
    };
    for (auto it = runs_.begin(); it != runs_.end();) {
        // Runs that follow on one another are read in transfers as large as the card takes.
        uint64_t spanEnd = it->second.end;
        auto next = std::next(it);
        for (; next != runs_.end() && next->first == spanEnd; ++next) spanEnd = next->second.end;
        for (uint64_t s = it->first; s < spanEnd;) {
            const auto n =
                static_cast<uint32_t>(std::min<uint64_t>(SDHOST_MAX_TRANSFER, spanEnd - s));
            // A failed transfer is read again one sector at a time, to name the sector.
            if (!read(s, n, s))
                for (uint64_t t = s; t < s + n; ++t)
                    if (!read(t, 1, s)) return {false, true, static_cast<uint32_t>(t)};
            for (uint32_t k = 0; k < n; ++k, ++s) {
                while (it->second.end <= s) ++it;
                if (!matches(it->second, buffer.data() + k * kSectorBytes))
                    return {false, false, static_cast<uint32_t>(s)};
            }
        }
        it = next;
    }
    return {};
}

uint32_t writeSectors(DriverBinding& driver, const void* data, uint32_t count, uint32_t first) {
    const uint32_t rc = driver.api.DDWritePT(data, count, first, driver.driverHandle);
    if (rc == 0 && driver.written && data)
        driver.written->note(static_cast<const uint8_t*>(data), count, first);
    return rc;
}

} // namespace brc
