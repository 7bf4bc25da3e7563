// The OEM code pages FAT labels can be stored in on Linux, and the choice of one from the
// locale, as a Windows system of the locale's language would have it.
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "base/code_page.h"

namespace brc {

// The pages offered: US, Western European, Cyrillic, Japanese, Simplified and Traditional
// Chinese.
inline constexpr std::array<unsigned, 6> kOemCodePages = {437, 850, 866, 932, 936, 950};

// "437, 850, 866, 932, 936 and 950", for messages.
std::string oemCodePageList();

// The page of a locale name ("ru_RU.UTF-8", "zh_Hant_TW", "C"): 437 for C, POSIX, English and
// anything not known to use another.
unsigned oemCodePageForLocale(std::string_view locale);

// The page of this process's character-type locale: LC_ALL, then LC_CTYPE, then LANG.
unsigned localeOemCodePage();

// Page `page` (one of kOemCodePages), kept for the life of the process; nullptr when it is not
// offered or the system's iconv cannot convert it. 437 is the built-in table; the others
// convert through iconv.
const CodePage* oemCodePage(unsigned page);

} // namespace brc
