// The root directories: a FAT32 or exFAT root chain a host grew, the first FAT root entry, and
// the entries of the exFAT root directory's first sector.
#include "check/check_parts.h"

namespace brc::check_parts {

// The 32-bit entries (FAT32's or exFAT's) of the first FAT: from the sectors already read, or
// past them one sector at a time, at most kChainSectorsRead of those, so a long or scattered
// chain costs no more.
class FatEntries {
public:
    FatEntries(const Card& card, const Volume& v, const FatStart& fat)
        : card_(card), fat_(fat), inRead_(fatSectorsRead(v)) {}
    // The entry of `cluster` (a cluster of the data area); null when the read failed (noted in
    // `out` under `field`), lies past the card or past the reads allowed.
    const uint8_t* find(uint64_t cluster, Findings& out, const char* field, const char* expected,
                        const char* what) {
        const uint64_t at = cluster * 4 / kSectorBytes;
        if (at < inRead_) return fat_.read ? fat_.bytes.data() + cluster * 4 : nullptr;
        if (at != cached_) {
            if (readsLeft_ == 0) return nullptr;
            --readsLeft_;
            cached_ = UINT64_MAX;
            if (!out.read(card_, fat_.sector + at, 1, sector_, field, expected, what))
                return nullptr;
            cached_ = at;
        }
        return sector_ + cluster * 4 % kSectorBytes;
    }

private:
    const Card& card_;
    const FatStart& fat_;
    const uint32_t inRead_;
    uint32_t readsLeft_ = kChainSectorsRead;
    uint64_t cached_ = UINT64_MAX;
    uint8_t sector_[kSectorBytes] = {};
};

// The end of a FAT32 chain: 0FFFFFF8h to 0FFFFFFFh, as peers write 0FFFFFF8h; the top four bits
// are not the entry's.
bool endsChain(uint32_t entry) { return (entry & kFat32EndOfChain) >= (kFat32EndOfChain & ~7u); }

// The first words of each sentence on a grown root directory's chain.
const char kGrownRootWhy[] =
    "The format writes the root directory as one cluster whose FAT entry ends its chain, and a "
    "host that grows it chains on through free clusters to a new end; on this card the chain ";

// How a FAT32 and an exFAT FAT link clusters. FAT32's top four bits are not the entry's; on
// exFAT only FFFFFFFFh ends a chain, and hosts take the other values past the heap for a broken
// one.
struct ChainRules {
    uint32_t mask, bad;
    bool exfat;
    explicit ChainRules(const Volume& v)
        : mask(v.type == ExFat ? 0xFFFFFFFFu : kFat32EndOfChain),
          bad(v.type == ExFat ? kExFatBad : kFat32Bad),
          exfat(v.type == ExFat) {}
    bool ends(uint32_t link) const { return exfat ? link == kExFatEndOfChain : endsChain(link); }
    const char* field() const { return exfat ? problem::kRootDirectory : problem::kRootCluster; }
    // The most clusters a directory may take.
    uint64_t longest(const Volume& v) const {
        const uint64_t clusterBytes = uint64_t{v.sectorsPerCluster} * kSectorBytes;
        return ((exfat ? kExFatDirectoryMaxBytes : kFatDirectoryMaxBytes) + clusterBytes - 1) /
               clusterBytes;
    }
};

// What the link `entry` holds, from cluster `c`, says of the chain; empty when it goes on.
std::string badLink(const ChainRules& rules, const Volume& v, uint64_t c, const uint8_t* entry) {
    const uint32_t link = le32(entry) & rules.mask;
    if (link >= 2 && link <= v.clusters + 1) return "";
    const std::string what = "reaches cluster " + grouped(c);
    if (link == 0) return what + ", which the FAT gives as free, so hosts may write a file over it";
    if (link == rules.bad)
        return what + ", which the FAT marks bad, so hosts stop reading the root directory there";
    return what + ", whose FAT entry holds " + hexBytes(entry, 4) + ", neither a cluster of " +
           (rules.exfat ? "the cluster heap" : "the data area") + " (2 to " +
           grouped(v.clusters + 1) +
           ") nor an end of chain, so hosts cannot follow the root directory past it";
}

// A root directory a host has grown, from its second cluster `next` on: each link a cluster of
// the data area not met before, until an end of chain no further than the largest directory
// reaches. The clusters of a chain found sound, in order; none when it is not, or when the walk
// stops unjudged where the FAT cannot be read.
std::vector<uint32_t> walkGrownRoot(FatEntries& fat, const Volume& v, uint32_t root, uint32_t next,
                                    Findings& out) {
    const ChainRules rules(v);
    const uint64_t longest = rules.longest(v);
    std::vector<uint32_t> chain{root};
    std::set<uint32_t> seen{root};
    std::string found, what;
    for (uint32_t c = next;;) {
        if (!seen.insert(c).second) {
            found = "returns to cluster " + std::to_string(c);
            what = "comes back to cluster " + grouped(c) + " after " + grouped(seen.size()) +
                   " clusters and never ends, so hosts that list the root directory go round "
                   "in it or refuse the volume";
            break;
        }
        chain.push_back(c);
        if (seen.size() > longest) {
            const uint64_t most = rules.exfat ? kExFatDirectoryMaxBytes : kFatDirectoryMaxBytes;
            found = "longer than " + std::to_string(longest) + " clusters";
            what = "runs on past " + grouped(longest) + " clusters, more than the " +
                   sizeText(most / kSectorBytes) + " (" + grouped(most / kDirEntryBytes) +
                   " entries) a directory may hold, so it is no chain a host grew and hosts that "
                   "follow it read other clusters as the root directory";
            break;
        }
        const uint8_t* entry =
            fat.find(c, out, rules.field(), "end of chain", "the root directory's FAT chain");
        if (!entry) return {};
        const uint32_t link = le32(entry) & rules.mask;
        if (rules.ends(link)) return chain;
        what = badLink(rules, v, c, entry);
        if (!what.empty()) {
            found = "FAT entry " + std::to_string(c) + " holds " + hexBytes(entry, 4);
            break;
        }
        c = link;
    }
    out.add(rules.field(), "end of chain", found, kGrownRootWhy + what + ".");
    return {};
}

// FAT32: the root directory's cluster and its chain: one cluster ending it, as the format writes
// it, or grown since into sound links. The root directory's first sector, or none when the boot
// sector gives no cluster of the data area.
std::optional<uint64_t> checkFat32Root(const Card& card, uint64_t start, const uint8_t* boot,
                                       const Volume& v, const FatStart& fat, Findings& out) {
    const uint32_t root = le32(boot + bpb32::kRootCluster);
    if (root < 2 || root > v.clusters + 1) {
        out.add(problem::kRootCluster, std::to_string(kFat32RootCluster), std::to_string(root),
                "The format puts the root directory in cluster " +
                    std::to_string(kFat32RootCluster) + "; this card's boot sector gives cluster " +
                    grouped(root) + ", outside its data area, so hosts find no root directory.");
        return std::nullopt;
    }
    FatEntries entries(card, v, fat);
    const uint8_t* entry = entries.find(root, out, problem::kRootCluster, "end of chain",
                                        "the root directory's FAT entry");
    // A root directory that has grown since goes on into a cluster of the data area, which is
    // no fault of the layout.
    const uint32_t next = entry ? le32(entry) & kFat32EndOfChain : 0;
    const bool grown = next >= 2 && next <= v.clusters + 1 && next != root;
    if (entry && !endsChain(next) && !grown)
        out.add(problem::kRootCluster, "end of chain", hexBytes(entry, 4),
                "The format writes the root directory as one cluster whose FAT entry ends its "
                "chain; on this card that entry holds " +
                    hexBytes(entry, 4) +
                    ", so hosts read the root directory on into clusters the format never "
                    "gave it.");
    if (grown) walkGrownRoot(entries, v, root, next, out);
    return start + v.systemSectors + uint64_t{root - 2} * v.sectorsPerCluster;
}

// The root directory's first entry: empty, the volume label, or an entry a host wrote since (a
// card in use).
void checkFatRootEntry(const Card& card, uint64_t rootSector, const CodePage& oem, Found& f) {
    uint8_t dir[kSectorBytes];
    if (!f.structures.read(card, rootSector, 1, dir, problem::kRootDirectory,
                           "empty or the volume label", "the root directory"))
        return;
    // A free slot (00h, or E5h for a deleted entry) or the label, as the format or a later
    // change of the label leaves it.
    if (fat_dirent::isVolumeLabel(dir)) {
        f.label = utf16ToUtf8(decodeFatLabel(dir + fat_dirent::kName, oem, FatLabelEnd::Blanks));
    } else if (dir[0] != 0x00 && dir[0] != 0xE5 && !fat_dirent::isPlausibleEntry(dir)) {
        f.structures.add(
            problem::kRootDirectory, "empty or the volume label", "other entries",
            "The format leaves the root directory empty or starts it with the volume label; "
            "this card's first entry is neither, nor any entry a host writes, so it holds "
            "what neither wrote, which hosts list as files or take for damage.");
    }
}

// An entry in use that owns no clusters of its own: the format's three, whose clusters are the
// structures', a volume GUID and padding.
bool ownsNoClusters(uint8_t type) {
    using namespace exfat_dirent;
    return type == kTypeAllocationBitmap || type == kTypeUpcaseTable || type == kTypeVolumeLabel ||
           type == kTypeVolumeGuid || type == kTypeTexFatPadding;
}

// More allocation-bitmap entries than FATs, one bitmap going with each.
void noteExtraBitmaps(uint32_t bitmaps, uint32_t numberOfFats, Findings& out) {
    const std::string fats = std::to_string(numberOfFats) + (numberOfFats == 1 ? " FAT" : " FATs");
    out.add(problem::kRootDirectory, "one allocation-bitmap entry for each FAT",
            std::to_string(bitmaps) + " allocation-bitmap entries",
            "The format writes one allocation-bitmap entry for each FAT; this card's root "
            "directory holds " +
                std::to_string(bitmaps) + " allocation-bitmap entries for its " + fats +
                ", so hosts may keep the free space by another bitmap than the one in use, or "
                "refuse the volume.");
}

// The entries of the root directory's first sector, each missing or unsound one noted.
ExFatRootEntries findRootEntries(const uint8_t* dir, uint32_t numberOfFats, Found& f) {
    using namespace exfat_dirent;
    ExFatRootEntries r;
    bool others = false;
    size_t at = 0;
    for (; at < kSectorBytes && dir[at] != 0x00; at += kDirEntryBytes) {
        const uint8_t* e = dir + at;
        if (!r.label && (e[kEntryType] | 0x80) == kTypeVolumeLabel) r.label = e;
        if (!r.bitmap && e[kEntryType] == kTypeAllocationBitmap && (e[kBitmapFlags] & 1) == 0)
            r.bitmap = e;
        if (!r.upcase && e[kEntryType] == kTypeUpcaseTable) r.upcase = e;
        r.bitmaps += e[kEntryType] == kTypeAllocationBitmap;
        others = others || ((e[kEntryType] & 0x80) != 0 && !ownsNoClusters(e[kEntryType]));
    }
    r.nothingElse = at < kSectorBytes && !others;
    if (r.bitmaps > numberOfFats) noteExtraBitmaps(r.bitmaps, numberOfFats, f.structures);
    std::vector<std::string> missing;
    if (!r.label) missing.push_back("volume-label");
    if (!r.bitmap) missing.push_back("allocation-bitmap");
    if (!r.upcase) missing.push_back("up-case-table");
    if (!missing.empty()) {
        std::string names = missing[0];
        for (size_t i = 1; i < missing.size(); ++i)
            names += (i + 1 == missing.size() ? " and " : ", ") + missing[i];
        f.structures.add(
            problem::kRootDirectory, "label, bitmap and up-case entries", "no " + names + " entry",
            "The format starts the root directory with a volume-label, an allocation-bitmap and an "
            "up-case-table entry; this card's lacks the " +
                names + (missing.size() == 1 ? " entry" : " entries") +
                (r.bitmap && r.upcase ? ", so it is not the directory the format writes and hosts "
                                        "show no label."
                                      : ", so hosts cannot mount the volume."));
    }
    if (r.label && r.label[kEntryType] == kTypeVolumeLabel) {
        const uint32_t units = r.label[kCharacterCount];
        if (units > kExFatLabelUnits) {
            f.structures.add(problem::kVolumeLabel, "at most 11 characters", std::to_string(units),
                             "The format's label entry holds at most 11 characters; this card's "
                             "counts " +
                                 std::to_string(units) +
                                 ", so hosts show a garbled label or refuse the volume.");
        } else {
            f.label = utf16ToUtf8(decodeExFatLabel(r.label));
        }
    }
    return r;
}

// exFAT: the chain of a root directory grown past its first cluster `root`, whose FAT entry lies
// in the FAT sectors read. Its clusters in order when it is sound.
std::vector<uint32_t> walkExFatRoot(const Card& card, const Volume& v, const FatStart& fat,
                                    uint32_t root, Findings& out) {
    FatEntries entries(card, v, fat);
    const uint8_t* entry = entries.find(root, out, problem::kRootDirectory, "end of chain",
                                        "the root directory's FAT entry");
    if (!entry) return {};
    return walkGrownRoot(entries, v, root, le32(entry), out);
}

// The root directory's run and, from its first sector, its entries.
void findExFatRoot(const Card& card, uint64_t start, const uint8_t* boot, const Volume& v, Found& f,
                   ExFatRuns& s) {
    const uint64_t lastCluster = v.clusters + 1;
    const uint32_t root = le32(boot + exfat_boot::kFirstClusterOfRootDirectory);
    if (root < 2 || root > lastCluster) {
        f.structures.add(problem::kRootDirectory, "a cluster of the heap", std::to_string(root),
                         "The boot sector gives the root directory cluster " + grouped(root) +
                             ", outside the cluster heap's clusters 2 to " + grouped(lastCluster) +
                             ", so hosts find no root directory.");
        return;
    }
    s.runs.push_back(
        {problem::kRootDirectory, "root directory", root, 1, &s.rootCluster, true, &s.rootEnds});
    if (f.structures.read(card, clusterSector(start, v, root), 1, s.dir, problem::kRootDirectory,
                          "label, bitmap and up-case entries", "the root directory"))
        s.entries = findRootEntries(s.dir, v.numberOfFats, f);
}

} // namespace brc::check_parts
