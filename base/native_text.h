// UTF-8 text, the form this code keeps paths in, in the system's own forms: std::filesystem
// paths everywhere and, on Windows, the UTF-16 strings of the W calls. A path built from a
// plain std::string would take its bytes in the ANSI code page on Windows, losing every
// character outside it; these conversions never throw and never depend on the locale.
#pragma once

#include <filesystem>
#include <string>

#include "base/code_page.h"

namespace brc {

#if defined(_WIN32)

// Windows' wchar_t is a UTF-16 unit. Malformed UTF-8 and lone surrogates become U+FFFD.
inline std::wstring wideFromUtf8(const std::string& text) {
    const std::u16string units = utf8ToUtf16(text);
    return std::wstring(units.begin(), units.end());
}

inline std::string utf8FromWide(const std::wstring& text) {
    return utf16ToUtf8(std::u16string(text.begin(), text.end()));
}

inline std::filesystem::path pathFromUtf8(const std::string& text) {
    return std::filesystem::path(wideFromUtf8(text));
}

inline std::string utf8FromPath(const std::filesystem::path& path) {
    return utf8FromWide(path.native());
}

#else

// Paths are bytes here, and the bytes are kept as they are.
inline std::filesystem::path pathFromUtf8(const std::string& text) {
    return std::filesystem::path(text);
}

inline std::string utf8FromPath(const std::filesystem::path& path) { return path.native(); }

#endif

} // namespace brc
