// The program's message table, counting how often each message is loaded: passes that redraw a
// line per chunk must not load its caption per chunk.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "res/messages.h"

namespace brc::test {

class CountingMessages final : public MessageSource {
public:
    std::u16string text(uint32_t id) const override {
        ++loads[id];
        return builtinMessages().text(id);
    }
    mutable std::map<uint32_t, int> loads;
};

} // namespace brc::test
