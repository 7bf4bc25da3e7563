// The language the command line speaks: the system's own (Russian) texts, or one of the
// translations, chosen from the locale as the C library's message catalogues choose theirs.
#pragma once

#include <optional>
#include <string>

#include "res/messages.h"

namespace brc::cli {

struct LocaleVariables {
    std::optional<std::string> language;   // LANGUAGE: a ':' list, consulted first
    std::optional<std::string> lcAll;      // LC_ALL
    std::optional<std::string> lcMessages; // LC_MESSAGES
    std::optional<std::string> lang;       // LANG
};

// "JPN", "CHS", "CHT" or "ENU"; empty for the system's own (Russian) texts. The locale is the
// first set and non-empty of LC_ALL, LC_MESSAGES and LANG; when it is C or POSIX (or none is
// set) the texts are English and LANGUAGE is not looked at, otherwise the first entry of
// LANGUAGE we have a table for wins, then the locale itself, then English.
std::string messageLanguage(const LocaleVariables& locale);

// The table for this process's environment, chosen once.
const MessageSource& commandLineMessages();

} // namespace brc::cli
