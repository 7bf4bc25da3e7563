// What an exFAT format writes in the cluster heap: the chains of the bitmap, the up-case table
// and the root directory, the bitmap's marks and the up-case table's checksum.
#include "check/check_parts.h"

namespace brc::check_parts {

// The allocation bitmap's and the up-case table's runs, from their entries' sizes.
void addExFatRuns(const Volume& v, ExFatRuns& s, Findings& out) {
    using namespace exfat_dirent;
    const uint64_t clusterBytes = uint64_t{v.sectorsPerCluster} * kSectorBytes;
    if (s.entries.bitmap) {
        const uint64_t want = (v.clusters + 7) / 8;
        const uint64_t length = le64(s.entries.bitmap + kDataLength);
        if (length != want)
            out.add(problem::kAllocationBitmap, std::to_string(want), std::to_string(length),
                    "The format sizes the allocation bitmap at one bit for each of the " +
                        grouped(v.clusters) + " clusters, " + grouped(want) +
                        " bytes; this card's entry gives " + grouped(length) +
                        ", so hosts misjudge which clusters are free.");
        else
            s.runs.push_back({problem::kAllocationBitmap, "allocation bitmap",
                              le32(s.entries.bitmap + kFirstCluster),
                              (length + clusterBytes - 1) / clusterBytes, &s.bitmapCluster});
    }
    if (s.entries.upcase) {
        s.upcaseBytes = le64(s.entries.upcase + kDataLength);
        if (s.upcaseBytes == 0 || s.upcaseBytes > kUpcaseMaxBytes)
            out.add(problem::kUpcaseTable, std::to_string(kUpcaseTableBytes),
                    std::to_string(s.upcaseBytes),
                    "The format writes an up-case table of " + grouped(kUpcaseTableBytes) +
                        " bytes; this card's entry gives " + grouped(s.upcaseBytes) +
                        ", which no up-case table has, so hosts cannot compare file names.");
        else
            s.runs.push_back({problem::kUpcaseTable, "up-case table",
                              le32(s.entries.upcase + kFirstCluster),
                              (s.upcaseBytes + clusterBytes - 1) / clusterBytes, &s.upcaseCluster});
    }
}

// The runs whose chains the FAT's first sectors hold: the format's structures lie at the heap's
// start, and a structure that reaches further is no layout the format makes. `lastChained`
// learns the last cluster of those runs.
std::vector<HeapRun> chainedRuns(const std::vector<HeapRun>& runs, const Volume& v, Findings& out,
                                 uint64_t& lastChained) {
    const uint64_t lastCluster = v.clusters + 1;
    const uint64_t entriesRead = uint64_t{fatSectorsRead(v)} * kSectorBytes / 4;
    std::vector<HeapRun> chained;
    lastChained = 2;
    for (const HeapRun& r : runs) {
        const uint64_t last = r.first + r.clusters - 1;
        const std::string clusters = "clusters " + grouped(r.first) + " to " + grouped(last);
        if (r.first < 2 || last > lastCluster) {
            out.add(r.field, "clusters of the heap", clusters,
                    "The " + std::string(r.name) + " lies in " + clusters +
                        ", outside the cluster heap's clusters 2 to " + grouped(lastCluster) +
                        ", so hosts cannot read it.");
        } else if (last >= entriesRead) {
            out.add(r.field, "the heap's first clusters", clusters,
                    "The format puts the " + std::string(r.name) +
                        " in the first clusters of the "
                        "heap; this card's reaches cluster " +
                        grouped(last) + ", past the " + grouped(entriesRead) +
                        " clusters whose chains the check reads, so the "
                        "check cannot vouch for it.");
        } else {
            chained.push_back(r);
            lastChained = std::max(lastChained, last);
        }
    }
    return chained;
}

// FAT entries 0 and 1, and each run's chain; the FAT's first sectors, not read when the FAT
// could not be.
FatStart checkExFatChains(const Card& card, uint64_t start, const Volume& v,
                          const std::vector<HeapRun>& chained, Findings& out) {
    const uint64_t lastCluster = v.clusters + 1;
    const uint32_t n = fatSectorsRead(v);
    uint8_t head[8];
    put32(head, kExFatMediaEntry);
    put32(head + 4, kExFatEndOfChain);
    const std::string want = hexBytes(head, sizeof head);
    FatStart f{start + v.reservedSectors, std::vector<uint8_t>(size_t{n} * kSectorBytes)};
    f.read = out.read(card, f.sector, n, f.bytes.data(), problem::kFatHead, want.c_str(),
                      "the FAT's head");
    if (!f.read) return f;
    const uint8_t* fat = f.bytes.data();
    const auto entry = [&](uint64_t c) { return le32(fat + c * 4); };
    if (std::memcmp(fat, head, sizeof head) != 0)
        out.add(problem::kFatHead, want, hexBytes(fat, sizeof head),
                "The FAT starts with " + hexBytes(fat, sizeof head) + kFatHeadWhy);
    for (const HeapRun& r : chained) {
        const uint64_t last = r.first + r.clusters - 1;
        uint64_t c = r.first;
        while (c < last && entry(c) == c + 1) ++c;
        const uint64_t next = entry(last);
        if (c == last && (next == kExFatEndOfChain ||
                          (r.mayGrow && next >= 2 && next <= lastCluster && next != last))) {
            if (r.sound) *r.sound = r.first;
            if (r.ends) *r.ends = next == kExFatEndOfChain;
            continue;
        }
        const std::string held = hexBytes(fat + c * 4, 4);
        out.add(
            r.field, "clusters " + std::to_string(r.first) + " to " + std::to_string(last),
            "FAT entry " + std::to_string(c) + " holds " + held,
            (r.clusters == 1 ? "The format gives the " + std::string(r.name) + " one cluster, " +
                                   grouped(r.first) + ", and ends its chain there"
                             : "The format chains the " + std::string(r.name) + "'s clusters " +
                                   grouped(r.first) + " to " + grouped(last) +
                                   " one to the next and ends the chain there") +
                "; on this card FAT entry " + grouped(c) + " holds " + held +
                ", so hosts read the " + r.name + " from other clusters.");
    }
    return f;
}

// The bitmap's first sectors as read; bit k stands for cluster k + 2.
struct BitmapStart {
    std::vector<uint8_t> bits;
    bool inUse(uint64_t c) const {
        return (bits[static_cast<size_t>((c - 2) / 8)] >> ((c - 2) % 8) & 1) != 0;
    }
};

// On a volume that holds nothing but the format's structures, every other cluster the bitmap's
// first sectors cover is free, as the format leaves it.
void checkBitmapFree(const BitmapStart& b, const Volume& v, const std::vector<HeapRun>& chained,
                     Findings& out) {
    const uint64_t covered = std::min<uint64_t>(v.clusters, uint64_t{b.bits.size()} * 8);
    const auto structure = [&](uint64_t c) {
        return std::any_of(chained.begin(), chained.end(), [c](const HeapRun& r) {
            return c >= r.first && c < r.first + r.clusters;
        });
    };
    uint64_t first = 0, marked = 0;
    for (uint64_t c = 2; c < covered + 2; ++c) {
        if (!b.inUse(c) || structure(c)) continue;
        if (first == 0) first = c;
        ++marked;
    }
    if (marked == 0) return;
    out.add(problem::kAllocationBitmap, "other clusters free",
            "cluster " + std::to_string(first) + " in use",
            "The format marks in use only the clusters of the allocation bitmap, the up-case "
            "table and the root directory; this card's bitmap also marks cluster " +
                grouped(first) + " in use" +
                (marked == 1 ? std::string()
                             : ", " + grouped(marked) + " clusters of the first " +
                                   grouped(covered) + " in all,") +
                " though the root directory holds no file or folder, so hosts count that space "
                "as taken and it is lost to files.");
}

// A grown root directory's clusters past its first, as far as the bitmap's sectors read cover
// them, marked in use: a host allocates from the bitmap, so it may give a free one to a file.
void checkRootChainMarks(const BitmapStart& b, const ExFatRuns& s, Findings& out) {
    const uint64_t covered = uint64_t{b.bits.size()} * 8 + 1;
    for (size_t i = 1; i < s.rootChain.size(); ++i) {
        const uint32_t c = s.rootChain[i];
        if (c > covered || b.inUse(c)) continue;
        out.add(problem::kAllocationBitmap, "clusters in use",
                "cluster " + std::to_string(c) + " free",
                "A host that grows the root directory marks each cluster it chains on in use; this "
                "card's bitmap gives cluster " +
                    grouped(c) +
                    " of the root directory's chain as free, so hosts may write files over it.");
        return;
    }
}

// The last cluster the bitmap is read for: that of the structures' runs, or of a grown root
// directory's chain where it lies within the bitmap's first kBitmapSectorsRead sectors.
uint64_t lastMarked(const ExFatRuns& s, uint64_t lastChained) {
    const uint64_t reach = 1 + uint64_t{kBitmapSectorsRead} * kSectorBytes * 8;
    uint64_t last = lastChained;
    for (const uint32_t c : s.rootChain)
        if (c <= reach) last = std::max<uint64_t>(last, c);
    return last;
}

// The bitmap marks the structures' clusters in use, and those of a grown root directory, and
// where the volume holds nothing else, no other cluster of its first sectors.
void checkBitmapMarks(const Card& card, uint64_t start, const Volume& v, const ExFatRuns& s,
                      const std::vector<HeapRun>& chained, uint64_t lastChained, Findings& out) {
    const uint64_t last = lastMarked(s, lastChained);
    const uint32_t bitmapSectors = static_cast<uint32_t>((last - 2) / 8 / kSectorBytes + 1);
    BitmapStart b{std::vector<uint8_t>(size_t{bitmapSectors} * kSectorBytes)};
    if (s.bitmapCluster == 0 ||
        !out.read(card, clusterSector(start, v, s.bitmapCluster), bitmapSectors, b.bits.data(),
                  problem::kAllocationBitmap, "the structures' clusters in use",
                  "the allocation bitmap"))
        return;
    for (const HeapRun& r : chained) {
        uint64_t c = r.first;
        while (c < r.first + r.clusters && b.inUse(c)) ++c;
        if (c < r.first + r.clusters) {
            out.add(problem::kAllocationBitmap, "clusters in use",
                    "cluster " + std::to_string(c) + " free",
                    "The format marks the clusters of the allocation bitmap, the up-case table "
                    "and the root directory in use; this card's bitmap gives cluster " +
                        grouped(c) + " of the " + r.name +
                        " as free, so hosts may write files "
                        "over it.");
            break;
        }
    }
    checkRootChainMarks(b, s, out);
    // A root directory that has grown, or holds more than its first sector shows, may own
    // clusters of files the check does not follow.
    if (s.entries.nothingElse && s.rootEnds) checkBitmapFree(b, v, chained, out);
}

// The up-case table against the checksum its entry records.
void checkUpcaseChecksum(const Card& card, uint64_t start, const Volume& v, const ExFatRuns& s,
                         Findings& out) {
    const auto upcaseSectors =
        static_cast<uint32_t>((s.upcaseBytes + kSectorBytes - 1) / kSectorBytes);
    std::vector<uint8_t> table(size_t{upcaseSectors} * kSectorBytes);
    if (!out.read(card, clusterSector(start, v, s.upcaseCluster), upcaseSectors, table.data(),
                  problem::kUpcaseTable, "the checksum its entry records", "the up-case table"))
        return;
    const uint32_t sum = exFatTableChecksum(0, table.data(), static_cast<size_t>(s.upcaseBytes));
    const uint32_t recorded = le32(s.entries.upcase + exfat_dirent::kTableChecksum);
    if (sum != recorded) {
        char text[64];
        std::snprintf(text, sizeof text, "checksum %08X where the entry records %08X", sum,
                      recorded);
        out.add(problem::kUpcaseTable, "checksum as recorded", text,
                std::string("The format records the up-case table's checksum in its directory "
                            "entry; on this card the table has ") +
                    text + ", so hosts that verify it refuse to mount the volume.");
    }
}

// exFAT: the root directory's label, allocation-bitmap and up-case-table entries, one bitmap
// entry for each FAT; FAT entries 0 and 1 and the chains of those three structures, a grown root
// directory's followed to its end; their clusters marked in the bitmap, and on a volume holding
// nothing else no other cluster; the up-case table's checksum.
void checkExFatStructures(const Card& card, uint64_t start, const uint8_t* boot, const Volume& v,
                          Found& f) {
    Findings& out = f.structures;
    ExFatRuns s;
    findExFatRoot(card, start, boot, v, f, s);
    addExFatRuns(v, s, out);
    uint64_t lastChained = 2;
    const std::vector<HeapRun> chained = chainedRuns(s.runs, v, out, lastChained);
    const FatStart fat = checkExFatChains(card, start, v, chained, out);
    if (!fat.read) return;
    if (s.rootCluster != 0 && !s.rootEnds)
        s.rootChain = walkExFatRoot(card, v, fat, static_cast<uint32_t>(s.rootCluster), out);
    checkBitmapMarks(card, start, v, s, chained, lastChained, out);
    if (s.upcaseCluster != 0) checkUpcaseChecksum(card, start, v, s, out);
}

} // namespace brc::check_parts
