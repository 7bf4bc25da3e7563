#include "drivers/volsvc/image_cards.h"

#include <cstdio>

#include "device/sdhost_abi.h"

namespace brc::volsvc {

CardMap parseServedImages(const std::string& text) {
    // The drive map's own rules already refuse device paths: only absolute file paths pass.
    CardMap map = parseCardMap(text);
    // A map that does not parse serves nothing, not the letters before the fault.
    if (!map.error.empty()) map.paths = {};
    return map;
}

windisk::Vetting vetImage(unsigned drive, const std::string& path, const ImageFacts& facts) {
    windisk::Vetting v;
    if (!facts.found) {
        v.verdict = {SDHOST_ERR_NO_CARD, path + " cannot be opened"};
        return v;
    }
    if (!facts.regular || facts.bytes == 0 || facts.bytes % 512 != 0 ||
        facts.bytes / 512 > 0xFFFFFFFFu) {
        v.verdict = {SDHOST_ERR_CONFIG, path + " is not an image file of whole 512-byte sectors"};
        return v;
    }
    char serial[40];
    std::snprintf(serial, sizeof serial, "%08X-%016llX", facts.volumeSerial,
                  static_cast<unsigned long long>(facts.fileIndex));
    v.facts.number = windisk::DeviceNumber{windisk::kFileDeviceDisk, kImageDiskBase + drive, 0};
    v.facts.descriptor = windisk::StorageDescriptor{windisk::BusVirtual, true, "Brindlecard",
                                                    "virtual card", serial};
    v.facts.length = facts.bytes;
    v.verdict = {SDHOST_OK, ""};
    return v;
}

} // namespace brc::volsvc
