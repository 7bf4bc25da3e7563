// Why a volume label is refused, in words a user can act on.
#pragma once

#include <string>

#include "base/code_page.h"
#include "base/format_types.h"

namespace brc::cli {

// Why `label` cannot go on a volume of `fsType` (an FsType), as one sentence without its full stop
// (the reasons joined by "; "), or empty when it passes. `page` is the OEM code page a FAT label is
// stored in and `pageNumber` its number, 0 where it is not known.
std::string labelProblem(const std::u16string& label, uint32_t fsType, const CodePage& page,
                         unsigned pageNumber);

// The label check bits in words: "too long, forbidden character"; empty for none.
std::string labelBitWords(uint32_t bits);

} // namespace brc::cli
