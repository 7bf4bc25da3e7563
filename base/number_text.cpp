#include "base/number_text.h"

namespace brc {

std::string grouped(uint64_t value) {
    const std::string digits = std::to_string(value);
    std::string out;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i != 0 && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return out;
}

std::string counted(uint64_t value, const std::string& unit) {
    return grouped(value) + " " + unit + (value == 1 ? "" : "s");
}

} // namespace brc
