// Names outside every Western ANSI code page, for the tests of UTF-8 paths: on Windows a path
// that passes through the ANSI code page anywhere comes out with '?' in their place.
#pragma once

namespace brc::test {

inline constexpr const char* kCyrillicFolder = "\xD0\xBA\xD0\xB0\xD1\x80\xD1\x82\xD1\x8B";  // "карты"
inline constexpr const char* kCyrillicImage = "\xD0\xBA.img";                                 // "к.img"

} // namespace brc::test
