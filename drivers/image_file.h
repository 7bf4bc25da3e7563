// The image file behind a virtual card, as each system opens it: image_file_posix.cpp and
// image_file_win32.cpp, one of which is built.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "drivers/virtual_card.h"

namespace brc::sdhost {

// Joins strings, string views and literals (one message line).
template <class... Parts>
std::string cat(const Parts&... parts) {
    std::string text;
    (text.append(parts), ...);
    return text;
}

// Writes zeros over a range through a bounded buffer.
bool writeZeros(BackingFile& file, uint64_t offset, uint64_t length);

// Opens the image at `path` for `use` and gives its size in bytes. `readOnly` out: the image
// cannot be written. With `vetted`, what opens must be that file (POSIX only). On
// SDHOST_ERR_CONFIG and SDHOST_ERR_BUSY `error` holds one line; a missing or unopenable image is
// SDHOST_ERR_NO_CARD.
uint32_t openImage(const std::string& path, OpenFor use, std::unique_ptr<BackingFile>& file,
                   uint64_t& size, bool& readOnly, std::string& error, const CardIdentity* vetted);

// Reads at most kMaxSidecarBytes + 1 bytes of the sidecar into `text`. A missing sidecar is no
// error (`missing` set, true returned); anything but a regular file is refused before a byte is
// read.
bool readSidecarText(const std::string& path, bool& missing, std::string& text, std::string& error);

#if defined(_WIN32)
// For a process that is not an administrator (Administrators not enabled in its token): the
// image the volume service serves for drive `index` (0 = A:), written through the handle it
// hands over and given back when the card closes. SDHOST_OK with `card` still empty where the
// service is not there or serves no image for the letter: the image at `path` is then opened
// as usual. An image of the service's that is another file than `path` names is refused.
uint32_t openServedImage(unsigned index, const std::string& path, const Host& host,
                         std::unique_ptr<VirtualCard>& card, std::string& error);
#endif

} // namespace brc::sdhost
