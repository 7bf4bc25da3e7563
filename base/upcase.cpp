#include <memory>

#include "base/upcase_table.h"

namespace brc {

char16_t upcaseUnit(char16_t unit) {
    // The table expanded once: a run FFFFh, n stands for n units that map to themselves.
    static const auto expanded = [] {
        auto map = std::make_unique<char16_t[]>(0x10000);
        uint32_t next = 0;
        for (uint32_t i = 0; i < kUpcaseEntries && next < 0x10000; ++i) {
            if (kUpcaseTable[i] == 0xFFFF && i + 1 < kUpcaseEntries) {
                for (uint32_t n = kUpcaseTable[++i]; n > 0 && next < 0x10000; --n, ++next)
                    map[next] = static_cast<char16_t>(next);
            } else {
                map[next] = static_cast<char16_t>(kUpcaseTable[i]);
                ++next;
            }
        }
        for (; next < 0x10000; ++next) map[next] = static_cast<char16_t>(next);
        return map;
    }();
    return expanded[unit];
}

} // namespace brc
