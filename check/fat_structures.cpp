// What a FAT format writes after the boot sector: the FAT heads and copies.
#include "check/check_parts.h"

namespace brc::check_parts {

// The first FAT's head, its media byte the boot sector's `media`, and both FATs alike over their
// first sectors.
FatStart checkFatCopies(const Card& card, uint64_t start, const Volume& v, uint8_t media,
                        Findings& out) {
    const uint32_t n = fatSectorsRead(v);
    FatStart fat{start + v.reservedSectors, std::vector<uint8_t>(size_t{n} * kSectorBytes)};
    const std::vector<uint8_t>& first = fat.bytes;
    std::vector<uint8_t> second(first.size());
    const std::span<const uint8_t> head = fatReservedEntries(v.type);
    const std::string want = hexBytes(head.data(), head.size());
    fat.read = out.read(card, fat.sector, n, fat.bytes.data(), problem::kFatHead, want.c_str(),
                        "the first FAT's head");
    const bool headSound = fat.read && std::equal(head.begin(), head.end(), first.begin());
    if (fat.read && !headSound)
        out.add(problem::kFatHead, want, hexBytes(first.data(), head.size()),
                "The first FAT starts with " + hexBytes(first.data(), head.size()) + kFatHeadWhy);
    // A media byte hosts refuse is the boot sector's own deviation, and a head unlike the
    // format's the FAT's.
    if (headSound && isMediaByte(media) && media != first[0])
        out.add(problem::kMediaDescriptor, hexByte(first[0]), hexByte(media),
                "The boot sector's media byte " + hexBytes(&media, 1) + " differs from the " +
                    hexBytes(first.data(), 1) +
                    " that starts the first FAT; the format writes the same byte in both, and "
                    "hosts that compare them refuse the volume.");
    const uint64_t fat2 = fat.sector + v.fatSectors;
    if (fat.read && v.numberOfFats >= 2 &&
        out.read(card, fat2, n, second.data(), problem::kFatCopies, "same as the first FAT",
                 "the second FAT")) {
        const auto at = std::mismatch(first.begin(), first.end(), second.begin()).first;
        if (at != first.end()) {
            const uint64_t sector = fat2 + static_cast<uint64_t>(at - first.begin()) / kSectorBytes;
            out.add(problem::kFatCopies, "same as the first FAT",
                    "differs at sector " + grouped(sector),
                    "The format writes two equal FATs; on this card the second differs from the "
                    "first at sector " +
                        grouped(sector) +
                        ", so hosts that read the copy see other "
                        "files, and a repair from it restores other chains.");
        }
    }
    return fat;
}

// FAT12, FAT16, FAT32: the first FAT's head and media byte, both FATs alike over their first
// sectors, FAT32's root directory chain, and the root directory's first entry.
void checkFatStructures(const Card& card, uint64_t start, const uint8_t* boot, const Volume& v,
                        const CodePage& oem, Found& f) {
    const FatStart fat = checkFatCopies(card, start, v, boot[bpb::kMedia], f.structures);
    uint64_t rootSector = fat.sector + uint64_t{v.numberOfFats} * v.fatSectors; // FAT12/16
    if (v.type == Fat32) {
        const auto sector = checkFat32Root(card, start, boot, v, fat, f.structures);
        if (!sector) return;
        rootSector = *sector;
    }
    checkFatRootEntry(card, rootSector, oem, f);
}

} // namespace brc::check_parts
