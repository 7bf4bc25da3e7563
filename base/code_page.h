// The OEM code page through which FAT labels are stored. Portable: the engine never asks the
// operating system; on Windows the platform layer supplies the system's own page.
#pragma once

#include <cstddef>
#include <string>

namespace brc {

class CodePage {
public:
    virtual ~CodePage() = default;
    // Encodes UTF-16 into at most maxBytes bytes; a unit the page cannot hold becomes the page's
    // default character. Never splits a character.
    virtual std::string encode(const std::u16string& text, size_t maxBytes) const = 0;
    // Decodes bytes (stopping at a zero byte) into UTF-16.
    virtual std::u16string decode(const std::string& bytes) const = 0;
};

// Code page 437, the OEM page of US systems; default character '?'.
const CodePage& cp437();

// UTF-16 to UTF-8 and back; encoding stops before a character that would pass maxBytes.
std::string utf16ToUtf8(const std::u16string& text, size_t maxBytes = std::string::npos);
std::u16string utf8ToUtf16(const std::string& text);
// True when `text` is well-formed UTF-8 (no stray, overlong or surrogate sequences).
bool isValidUtf8(const std::string& text);
// Text as it may be printed on one line: control characters (a newline in a file name) are
// shown escaped, "\n" or "\x1b".
std::string shownText(const std::string& text);

} // namespace brc
