// The message table: string-table ids 101 to 272. The texts live once, in res/strings.rc; the
// build generates the built-in table from it, and the ids by name (brc::msg) in
// "res/message_ids.h". A missing id gives an empty text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace brc {

class MessageSource {
public:
    virtual ~MessageSource() = default;
    virtual std::u16string text(uint32_t id) const = 0;
};

// The program's own table, as compiled from res/strings.rc.
const MessageSource& builtinMessages();

// A translated table from res/lang by its tag ("JPN", "CHS", "CHT", "ENU"); null for any other.
const MessageSource* translatedMessages(std::string_view tag);

} // namespace brc
