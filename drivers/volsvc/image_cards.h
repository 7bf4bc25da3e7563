// Virtual cards the volume service serves: image files an administrator maps to drive letters
// in the service's own configuration (never a path a client sends). A client asking for such a
// letter is handed a handle to the image, as it is handed a card's disk; the image stands in
// the desk's books as a disk of its own number, so that busy, release and letting go hold alike.
#pragma once

#include <cstdint>
#include <string>

#include "device/card_map.h"
#include "drivers/windisk/disk_run.h"

namespace brc::volsvc {

// Image disks are numbered from here on, one per letter, far above any disk the system numbers.
constexpr uint32_t kImageDiskBase = 0x40000000;
constexpr bool isImageDisk(uint32_t number) {
    return number >= kImageDiskBase && number < kImageDiskBase + 26;
}

// The service's map ("E=C:\cards\e.img;F=..."), as the administrator set it. Device paths
// (\\.\PhysicalDrive0 and the like) are refused: the map names files only.
CardMap parseServedImages(const std::string& text);

// What the system says of the file behind a mapped letter.
struct ImageFacts {
    bool found = false;   // it opened
    bool regular = false; // a file on a disk, not a directory, device or pipe
    uint64_t bytes = 0;
    uint32_t volumeSerial = 0; // with fileIndex, the file itself whatever its path
    uint64_t fileIndex = 0;
};

// The letter's image as the desk vets a drive: a card of the image's size and file identity,
// or the refusal (no medium when the file is missing; not a card for anything but a regular
// file of whole 512-byte sectors).
windisk::Vetting vetImage(unsigned drive, const std::string& path, const ImageFacts& facts);

} // namespace brc::volsvc
