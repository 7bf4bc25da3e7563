// Counts as the command line, the report and the card check show them.
#pragma once

#include <cstdint>
#include <string>

namespace brc {

// A count with thousands separators ("2,097,152").
std::string grouped(uint64_t value);
// A grouped count with its unit, singular for one: "1 sector", "2,048 sectors".
std::string counted(uint64_t value, const std::string& unit);

} // namespace brc
