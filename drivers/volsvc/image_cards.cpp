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

namespace {

bool trusted(const std::string& sid) {
    return sid == "S-1-5-18" ||     // LocalSystem
           sid == "S-1-5-32-544" || // Administrators
           sid ==
               "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"; // TrustedInstaller
}

// Rights that change a file, or a folder's place on the path: DELETE, WRITE_DAC, WRITE_OWNER,
// GENERIC_ALL, and for a file also write, append, GENERIC_WRITE; for a folder, deleting its
// entries (FILE_DELETE_CHILD). Adding entries to a folder replaces none of the path's.
constexpr uint32_t kChangesAnything = 0x00010000 | 0x00040000 | 0x00080000 | 0x10000000;
constexpr uint32_t kChangesFile = 0x2 | 0x4 | 0x40000000;
constexpr uint32_t kChangesFolder = 0x40;

} // namespace

std::string otherWriter(const std::vector<Guard>& guards) {
    for (const Guard& g : guards) {
        if (!trusted(g.owner))
            return (g.owner.empty() ? std::string("an owner that cannot be read") : g.owner) +
                   " (its owner) on " + g.path;
        if (!g.dacl) return "everyone (no access list) on " + g.path;
        const uint32_t rights = kChangesAnything | (g.folder ? kChangesFolder : kChangesFile);
        for (const AccessEntry& e : *g.dacl)
            if (e.allows && !e.inheritOnly && (e.mask & rights) && !trusted(e.sid))
                return e.sid + " on " + g.path;
    }
    return {};
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
    // The service opens the image as LocalSystem for a user: only the very file the
    // administrator named, which no one else may change or put something else in place of.
    std::string why;
    if (facts.throughLink)
        why = path + " is reached through a symbolic link, junction or mount point";
    else if (!facts.finalPath.empty() &&
             (facts.finalPath.size() != path.size() ||
              !windisk::startsWithNoCase(facts.finalPath, path.c_str())))
        why = path + " opens as " + facts.finalPath + ": only a file under the path configured";
    else if (facts.links != 1)
        why = path + " has " + std::to_string(facts.links) + " names (hard links)";
    else if (const std::string writer = otherWriter(facts.guards); !writer.empty())
        why = path + " may be changed by " + writer + ", not by administrators and SYSTEM alone";
    if (!why.empty()) {
        v.verdict = {SDHOST_ERR_CONFIG, why + "; the volume service does not serve it"};
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
