#include "res/messages.h"

#include <vector>

namespace brc {

struct BuiltinMessage {
    uint32_t id;
    const char16_t* text;
};
struct TranslatedTable {
    const char* tag;
    const BuiltinMessage* messages;
    unsigned count;
};
extern const BuiltinMessage kBuiltinMessages[];
extern const unsigned kBuiltinMessageCount;
extern const TranslatedTable kTranslatedTables[];
extern const unsigned kTranslatedTableCount;

namespace {

class TableMessages final : public MessageSource {
public:
    TableMessages(const BuiltinMessage* messages, unsigned count)
        : messages_(messages), count_(count) {}
    std::u16string text(uint32_t id) const override {
        for (unsigned i = 0; i < count_; ++i)
            if (messages_[i].id == id) return messages_[i].text;
        return {};
    }

private:
    const BuiltinMessage* messages_;
    unsigned count_;
};

} // namespace

const MessageSource& builtinMessages() {
    static const TableMessages table(kBuiltinMessages, kBuiltinMessageCount);
    return table;
}

const MessageSource* translatedMessages(std::string_view tag) {
    static const std::vector<TableMessages> sources = [] {
        std::vector<TableMessages> made;
        for (unsigned i = 0; i < kTranslatedTableCount; ++i)
            made.emplace_back(kTranslatedTables[i].messages, kTranslatedTables[i].count);
        return made;
    }();
    for (unsigned i = 0; i < kTranslatedTableCount; ++i)
        if (tag == kTranslatedTables[i].tag) return &sources[i];
    return nullptr;
}

} // namespace brc
