// Environment variables as UTF-8 text. On Windows they are read and written through the C
// runtime's UTF-16 calls: the narrow ones convert through the ANSI code page and lose every
// character outside it (a Cyrillic image path on a Western system).
#pragma once

#include <optional>
#include <string>

namespace brc {

// The variable's value; nullopt when it is not set.
std::optional<std::string> environmentVariable(const char* name);
// Sets the variable for this process and the libraries it loads. On Windows an empty value
// removes the variable, which every reader here takes as the same thing.
void setEnvironmentVariable(const char* name, const std::string& value);
void unsetEnvironmentVariable(const char* name);

} // namespace brc
