// Virtual cards the volume service serves: image files an administrator maps to drive letters
// in the service's own configuration (never a path a client sends). A client asking for such a
// letter is handed a handle to the image, as it is handed a card's disk; the image stands in
// the desk's books as a disk of its own number, so that busy, release and letting go hold alike.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

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

// One entry of an access list, as the system gives it.
struct AccessEntry {
    std::string sid; // "S-1-5-32-545"
    uint32_t mask = 0;
    bool allows = true;
    bool inheritOnly = false; // for what is created inside, not for the object itself
};
// The owner and access list of the image or of one of the folders above it. No list at all (a
// null DACL) lets anyone do anything.
struct Guard {
    std::string path;
    std::string owner; // empty where it could not be read
    std::optional<std::vector<AccessEntry>> dacl;
    bool folder = false;
};

// Who other than SYSTEM, Administrators and TrustedInstaller may change what the guards keep:
// write the image, change its or a folder's access or owner, delete or rename it or a folder on
// its path. "SID on PATH" of the first such, empty where there is none. The service writes the
// image as LocalSystem: whoever may change it or its path may turn that write at any file.
std::string otherWriter(const std::vector<Guard>& guards);

// What the system says of the file behind a mapped letter.
struct ImageFacts {
    bool found = false;   // it opened
    bool regular = false; // a file on a disk, not a directory, device or pipe
    uint64_t bytes = 0;
    uint32_t volumeSerial = 0; // with fileIndex, the file itself whatever its path
    uint64_t fileIndex = 0;
    uint32_t links = 1;        // the names the file has (hard links)
    bool throughLink = false;  // the file or a folder on its path is a reparse point (a
                               // symbolic link, junction or mount point)
    std::string finalPath;     // the path of the file opened, as the system tells it; empty where
                               // it cannot (XP)
    std::vector<Guard> guards; // the file's and its folders'; none where the system keeps no
                               // file security of its own (Wine's are made up of Unix modes)
};

// The letter's image as the desk vets a drive: a card of the image's size and file identity,
// or the refusal (no medium when the file is missing; not a card for anything but a regular
// file of whole 512-byte sectors, under the very path configured, through no link, of one name,
// that only administrators may change).
windisk::Vetting vetImage(unsigned drive, const std::string& path, const ImageFacts& facts);

} // namespace brc::volsvc
