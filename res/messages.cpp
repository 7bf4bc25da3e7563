#include "res/messages.h"

namespace brc {

struct BuiltinMessage {
    uint32_t id;
    const char16_t* text;
};
extern const BuiltinMessage kBuiltinMessages[];
extern const unsigned kBuiltinMessageCount;

namespace {

class BuiltinMessages final : public MessageSource {
public:
    std::u16string text(uint32_t id) const override {
        for (unsigned i = 0; i < kBuiltinMessageCount; ++i)
            if (kBuiltinMessages[i].id == id) return kBuiltinMessages[i].text;
        return {};
    }
};

} // namespace

const MessageSource& builtinMessages() {
    static const BuiltinMessages table;
    return table;
}

} // namespace brc
