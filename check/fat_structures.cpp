// What a FAT format writes after the boot sector: the FAT heads and copies.
#include "check/check_parts.h"

namespace brc::check_parts {

// The first FAT's head, and both FATs alike over their first sectors.
FatStart checkFatCopies(const Card& card, uint64_t start, const Volume& v, Findings& out) {
    const uint32_t n = fatSectorsRead(v);
    FatStart fat{start + v.reservedSectors, std::vector<uint8_t>(size_t{n} * kSectorBytes)};
    const std::vector<uint8_t>& first = fat.bytes;
    std::vector<uint8_t> second(first.size());
    const std::span<const uint8_t> head = fatReservedEntries(v.type);
    const std::string want = hexBytes(head.data(), head.size());
    fat.read = out.read(card, fat.sector, n, fat.bytes.data(), problem::kFatHead, want.c_str(),
                        "the first FAT's head");
    if (fat.read && !std::equal(head.begin(), head.end(), first.begin()))
        out.add(problem::kFatHead, want, hexBytes(first.data(), head.size()),
                "The first FAT starts with " + hexBytes(first.data(), head.size()) + kFatHeadWhy);
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

// FAT12, FAT16, FAT32: the first FAT's head, both FATs alike over their first sectors, FAT32's
// root directory chain, and the root directory's first entry.
void checkFatStructures(const Card& card, uint64_t start, const uint8_t* boot, const Volume& v,
                        const CodePage& oem, Found& f) {
    const FatStart fat = checkFatCopies(card, start, v, f.structures);
    uint64_t rootSector = fat.sector + uint64_t{v.numberOfFats} * v.fatSectors; // FAT12/16
    if (v.type == Fat32) {
        const auto sector = checkFat32Root(card, start, boot, v, fat, f.structures);
        if (!sector) return;
        rootSector = *sector;
    }
    checkFatRootEntry(card, rootSector, oem, f);
}

} // namespace brc::check_parts
