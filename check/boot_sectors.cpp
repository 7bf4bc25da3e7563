// The boot sector and the boot area around it: FAT32's backup boot sector and FSInfo copies,
// exFAT's boot regions, checksum and flash parameters; read once and held against a layout.
#include "check/check_parts.h"

namespace brc::check_parts {

// The boot sector as the check reads it: false with an empty `why` when it is none, with `why`
// set when it is one but cannot be trusted.
bool parseBootSector(const uint8_t* b, Volume& v, std::string& why) {
    const BootRecognition r = recognizeBootSector(b, BootReader::Check);
    why = r.why;
    if (r.kind != BootKind::Volume) return false;
    v = r.volume;
    return true;
}

// FAT: the media byte, one hosts take, and the extended boot signature the format writes.
void checkFatBootFields(const uint8_t* boot, const Volume& v, Findings& out) {
    const uint8_t media = boot[bpb::kMedia];
    const uint8_t want = fatReservedEntries(v.type)[0];
    if (!isMediaByte(media))
        out.add(problem::kMediaDescriptor, hexByte(want), hexByte(media),
                "The format writes the media byte " + hexBytes(&want, 1) +
                    " in the boot sector; this card's gives " + hexBytes(&media, 1) +
                    ", which is no media byte (F0, or F8 to FF), so hosts do not mount the "
                    "volume.");
    const uint8_t ext = boot[v.type == Fat32 ? bpb32::kBootSignature : bpb16::kBootSignature];
    if (ext != kFatExtendedBootSignature)
        out.add(problem::kExtendedBootSignature, hexByte(kFatExtendedBootSignature), hexByte(ext),
                "The format writes the extended boot signature 29 in the boot sector, which tells "
                "hosts that the serial number, label and file-system type follow; this card's "
                "gives " +
                    hexBytes(&ext, 1) +
                    (ext == 0x28 ? ", which promises the serial number alone, so hosts do not "
                                   "read the label there."
                                 : ", so hosts read neither the serial number nor the label "
                                   "there."));
}

// exFAT: the jump, the bytes where a FAT boot sector has its BPB left zero, and the revision the
// format writes, which hosts rely on to take the volume for exFAT and to read it.
void checkExFatBootFields(const uint8_t* boot, Findings& out) {
    using namespace exfat_boot;
    static constexpr uint8_t kJump[] = {0xEB, 0x76, 0x90};
    if (!std::equal(kJump, kJump + sizeof kJump, boot + kJumpBoot))
        out.add(problem::kJumpBoot, hexBytes(kJump, sizeof kJump), hexBytes(boot, sizeof kJump),
                "The format starts the exFAT boot sector with the jump EB 76 90; this card's "
                "starts with " +
                    hexBytes(boot, sizeof kJump) +
                    ", so hosts that verify it refuse to mount the volume.");
    const uint8_t* set =
        std::find_if(boot + kMustBeZero, boot + kPartitionOffset, [](uint8_t b) { return b != 0; });
    if (set != boot + kPartitionOffset) {
        const std::string at = "byte " + std::to_string(set - boot) + " holds " + hexBytes(set, 1);
        out.add(problem::kMustBeZero, "all zero", at,
                "The format leaves bytes 11 to 63 of the exFAT boot sector, where a FAT boot "
                "sector keeps its BPB, zero; on this card " +
                    at + ", so hosts refuse to mount the volume.");
    }
    const uint32_t revision = le16(boot + kFileSystemRevision);
    if (revision != kExFatRevision) {
        char text[16];
        std::snprintf(text, sizeof text, "%u.%02u", revision >> 8, revision & 0xFF);
        out.add(problem::kFileSystemRevision, "1.00", text,
                std::string("The format writes exFAT revision 1.00; this card's boot sector gives "
                            "revision ") +
                    text + ", which hosts and repair tools made for 1.00 refuse.");
    }
}

// The boot sector's fields that no layout figure shows, as the format writes them.
void checkBootFields(const uint8_t* boot, const Volume& v, Findings& out) {
    if (v.type == ExFat) checkExFatBootFields(boot, out);
    else checkFatBootFields(boot, v, out);
}

void readFat32Area(const Card& card, uint64_t start, const uint8_t* boot, const Volume& v,
                   BootArea& area) {
    uint8_t sector[kSectorBytes];
    // Sector `relative` of the reserved area, read when it lies there.
    const auto reach = [&](uint64_t relative) {
        return relative != 0 && relative < v.reservedSectors
                   ? card.read(start + relative, 1, sector)
                   : Reach{};
    };
    const auto sound = [&](uint64_t relative, Reach& r, FsInfo& counts) {
        r = reach(relative);
        const auto info = r.read() ? readFsInfo(sector) : std::nullopt;
        if (info) counts = *info;
        return info.has_value();
    };
    area.fsInfoSound = sound(v.fsInfoSector, area.fsInfo, area.fsInfoCounts);
    // The backup FSInfo sits where the FSInfo sits, relative to the backup boot sector.
    area.backupFsInfoSound =
        v.backupBootSector != 0 && sound(uint64_t{v.backupBootSector} + v.fsInfoSector,
                                         area.backupFsInfo, area.backupFsInfoCounts);
    area.backup = reach(v.backupBootSector);
    area.backupMatches = area.backup.read() && std::memcmp(sector, boot, kSectorBytes) == 0;
}

void readExFatArea(const Card& card, uint64_t start, BootArea& area) {
    std::vector<uint8_t> regions(size_t{kExFatRegions} * kSectorBytes);
    area.main = card.read(start, kBootRegionSectors, regions.data());
    if (!area.main.read()) return;
    const uint8_t* main = regions.data();
    area.checksumMatches = exFatBootChecksumMatches(main);

    const uint8_t* oem = main + size_t{exfat_boot::kOemParametersSector} * kSectorBytes;
    const auto records = readOemParameters({oem, kSectorBytes});
    for (const OemParameterRecord& record : *records) {
        if (record.flashParameters) {
            area.flashRecord = true;
            area.eraseBlockBytes = record.eraseBlockBytes;
            break;
        }
    }

    uint8_t* backup = regions.data() + size_t{kBootRegionSectors} * kSectorBytes;
    area.backupRegion = card.read(start + kBootRegionSectors, kBootRegionSectors, backup);
    if (!area.backupRegion.read()) return;
    for (uint32_t s = 0; s < kBootRegionSectors && area.backupDiffers < 0; ++s) {
        const uint8_t* a = main + size_t{s} * kSectorBytes;
        const uint8_t* b = backup + size_t{s} * kSectorBytes;
        for (size_t i = 0; i < kSectorBytes; ++i) {
            // Volume flags and percent in use change while the volume is mounted; the backup
            // keeps the values of the format.
            if (a[i] != b[i] && !(s == 0 && exfat_boot::outsideChecksum(i))) {
                area.backupDiffers = static_cast<int>(s);
                break;
            }
        }
    }
}

// The volume against its partition: its size, the partition offset it records, its signature.
void compareVolumeExtent(const Found& f, Findings& out) {
    const Partition& t = f.table;
    const Volume& v = f.volume;
    if (v.volumeSectors != t.count) {
        const std::string where = t.present ? "its partition holds" : "the card holds";
        out.add(problem::kVolumeSectors, std::to_string(t.count), std::to_string(v.volumeSectors),
                "The file system should fill its partition; it covers " +
                    sectorsText(v.volumeSectors) + " where " + where + " " + grouped(t.count) +
                    (v.volumeSectors > t.count
                         ? ", so writes near its end land outside the partition."
                         : ", so " + sectorsText(t.count - v.volumeSectors) + " stay unused."));
    }
    if (v.partitionOffset != t.first)
        out.add(
            problem::kHiddenSectors, std::to_string(t.first), std::to_string(v.partitionOffset),
            "The rules record the partition's first sector in the boot sector; this card's boot "
            "sector gives " +
                grouped(v.partitionOffset) + " where the partition starts at " + grouped(t.first) +
                (v.type == ExFat && v.partitionOffset == 0
                     ? " (0: not known), so hosts that place the volume by that field cannot."
                     : ", which misleads hosts that place the volume by that field."));
    if (!v.signature)
        out.add(problem::kBootSignature, "55 AA", "missing",
                "The rules end the boot sector with the signature 55 AA; this card's boot sector "
                "lacks it, so many hosts do not mount the volume.");
}

// How many FATs the rules give a volume of this type.
uint32_t rulesFats(const Volume& v) { return v.type == ExFat ? 1 : 2; }

// The file system's type and the figures the rules fix for it: cluster size, number of FATs,
// root directory entries.
void compareFileSystem(const Volume& v, const FormatParameters& e, Findings& out) {
    const std::string typeName = fsTypeName(e.fsType);
    const std::string foundName = fsTypeName(v.type);
    if (v.type != e.fsType)
        out.add(problem::kFsType, typeName, foundName,
                "The rules format a card of this capacity as " + typeName + "; this card holds " +
                    foundName +
                    ", so hosts made for cards of this capacity may refuse it, and its "
                    "layout cannot be the rules' layout.");
    if (v.sectorsPerCluster != e.sectorsPerCluster)
        out.add(
            problem::kSectorsPerCluster, std::to_string(e.sectorsPerCluster),
            std::to_string(v.sectorsPerCluster),
            "The rules use " + sizeText(e.sectorsPerCluster) +
                " clusters on a card of this "
                "capacity; this card has " +
                sizeText(v.sectorsPerCluster) + " clusters, so " +
                (v.sectorsPerCluster < e.sectorsPerCluster
                     ? "files are written in smaller pieces than the card handles well, which is "
                       "slower and wears the flash faster."
                     : "small files take more space than the rules' clusters give them."));
    const uint32_t fats = rulesFats(v);
    if (v.numberOfFats != fats)
        out.add(problem::kNumberOfFats, std::to_string(fats), std::to_string(v.numberOfFats),
                "The rules give " + foundName + " " + std::to_string(fats) +
                    (fats == 1 ? " FAT" : " FATs") + "; this card has " +
                    std::to_string(v.numberOfFats) + ", so " +
                    (v.numberOfFats < fats ? "a damaged FAT has no copy to be repaired from."
                                           : "the FATs take more room and not every host "
                                             "supports the extra copy."));
    if ((v.type == Fat12 || v.type == Fat16) && v.rootEntries != kFatRootEntries)
        out.add(problem::kRootEntries, std::to_string(kFatRootEntries),
                std::to_string(v.rootEntries),
                "The rules give the root directory 512 entries; this card's has " +
                    grouped(v.rootEntries) + ", so " +
                    (v.rootEntries < kFatRootEntries ? "fewer files fit in the card's top folder."
                                                     : "it takes room from the data area."));
}

// The areas of a volume of the rules' type: where its FAT starts, the FAT's size and where the
// data area starts, this last only when nothing above explains it.
void compareAreas(const Volume& v, const FormatParameters& e, Findings& out) {
    const bool exfat = v.type == ExFat;
    const std::string fatStart = exfat ? "the FAT at sector " : "the first FAT at sector ";
    bool explained = v.numberOfFats != rulesFats(v) || (!exfat && v.rootEntries != kFatRootEntries);
    if (v.reservedSectors != e.reservedSectors) {
        explained = true;
        out.add(problem::kReservedSectors, std::to_string(e.reservedSectors),
                std::to_string(v.reservedSectors),
                "The rules start " + fatStart + grouped(e.reservedSectors) +
                    " of the partition; this card starts it at sector " +
                    grouped(v.reservedSectors) +
                    ", so the FAT does not sit where the rules align it.");
    }
    if (v.fatSectors != e.fatSectors) {
        explained = true;
        out.add(problem::kFatSectors, std::to_string(e.fatSectors), std::to_string(v.fatSectors),
                "The rules give " + std::string(exfat ? "the FAT " : "each FAT ") +
                    sectorsText(e.fatSectors) + "; this card's " + (exfat ? "has " : "have ") +
                    grouped(v.fatSectors) +
                    ", so the data area and cluster count differ from the "
                    "rules' layout.");
    }
    if (v.systemSectors != e.systemSectors && !explained) {
        const bool later = v.systemSectors > e.systemSectors;
        out.add(problem::kSystemSectors, std::to_string(e.systemSectors),
                std::to_string(v.systemSectors),
                "The rules start the data area " + sectorsText(e.systemSectors) +
                    " into the partition; on this card it starts " + grouped(v.systemSectors) +
                    " sectors in, " +
                    sectorsText(later ? v.systemSectors - e.systemSectors
                                      : e.systemSectors - v.systemSectors) +
                    (later ? " later" : " earlier") + ", so the card has " +
                    (later ? "fewer" : "more") + " clusters than the rules' layout gives it.");
    }
}

// The one that matters most: clusters that start on an erase-block edge; and the FAT boot
// sector's geometry.
void compareAlignment(const Found& f, const FormatParameters& e, Findings& out) {
    const Volume& v = f.volume;
    const uint64_t dataStart = f.table.first + v.systemSectors;
    const uint64_t offset = dataStart % e.boundaryUnit;
    if (offset != 0)
        out.add(
            problem::kDataAlignment, "0", std::to_string(offset),
            "The rules start the data area on " + withArticle(sizeText(e.boundaryUnit)) +
                " erase-block edge; on this card it starts " + sectorsText(offset) +
                " after one, so " +
                (offset % v.sectorsPerCluster != 0
                     ? "clusters straddle erase-block edges and most cluster writes touch two "
                       "erase blocks."
                     : "every erase block's worth of clusters straddles two erase blocks, and the "
                       "card copies more on each write."));
    if (v.type != ExFat && (v.heads != e.heads || v.sectorsPerTrack != e.sectorsPerTrack))
        out.add(problem::kGeometry,
                std::to_string(e.heads) + "/" + std::to_string(e.sectorsPerTrack),
                std::to_string(v.heads) + "/" + std::to_string(v.sectorsPerTrack),
                "The rules give the boot sector " + std::to_string(e.heads) + " heads and " +
                    std::to_string(e.sectorsPerTrack) + " sectors per track; this card's gives " +
                    std::to_string(v.heads) + " and " + std::to_string(v.sectorsPerTrack) +
                    ", which matters only to hosts that address the card by cylinder, head and "
                    "sector.");
}

// FAT32: the backup boot sector at sector 6, a copy of the boot sector; the FSInfo sector at
// sector 1 and its copy, both sound.
void compareFat32Area(const Volume& v, const BootArea& a, Findings& out) {
    if (v.backupBootSector != 6)
        out.add(
            problem::kBackupBootSector, "6", std::to_string(v.backupBootSector),
            "The rules keep a copy of the boot sector at sector 6 of the partition; this card " +
                (v.backupBootSector == 0
                     ? std::string("keeps none, so a damaged boot sector cannot be repaired.")
                     : "keeps it at sector " + grouped(v.backupBootSector) +
                           ", so tools that repair from sector 6 find no copy there."));
    else if (a.backup.got == Got::Failed)
        out.list.push_back(unreadable(problem::kBackupBootSector, "copy of the boot sector",
                                      a.backup.sector, "the copy of the boot sector"));
    else if (a.backup.got != Got::Outside && !a.backupMatches)
        out.add(
            problem::kBackupBootSector, "copy of the boot sector", "differs",
            "The rules keep a copy of the boot sector at sector 6 of the partition; this card's "
            "copy differs from the boot sector, so a repair from it restores other values.");
    std::string fsInfoFound, what;
    if (v.fsInfoSector != 1) {
        fsInfoFound = std::to_string(v.fsInfoSector);
        what = "the boot sector points to sector " + grouped(v.fsInfoSector);
    } else if (a.fsInfo.got == Got::Failed || a.backupFsInfo.got == Got::Failed) {
        const Reach& r = a.fsInfo.got == Got::Failed ? a.fsInfo : a.backupFsInfo;
        out.list.push_back(
            unreadable(problem::kFsInfo, "1", r.sector,
                       &r == &a.fsInfo ? "the FSInfo sector" : "the FSInfo sector's copy"));
    } else if ((a.fsInfo.got != Got::Outside && !a.fsInfoSound) ||
               (a.backupFsInfo.got != Got::Outside && !a.backupFsInfoSound)) {
        fsInfoFound = a.fsInfoSound ? "copy damaged" : "damaged";
        what = a.fsInfoSound ? "the copy lacks its signatures"
                             : "the FSInfo sector lacks its signatures";
    }
    if (!what.empty())
        out.add(problem::kFsInfo, "1", fsInfoFound,
                "The rules keep an FSInfo sector at sector 1 of the partition and its copy at "
                "sector 7; on this card " +
                    what +
                    ", so hosts ignore it and count the free space by reading the whole FAT.");
}

// FAT32: the counts of each sound FSInfo copy (hosts ignore the others), which the format leaves
// unknown for hosts to fill in: a free count of at most the cluster count, a next-free hint that
// is a cluster of the data area.
void compareFsInfoCounts(const Volume& v, const BootArea& a, Findings& out) {
    const uint64_t lastCluster = v.clusters + 1;
    const struct {
        bool sound;
        const FsInfo& counts;
        const char* name;
    } copies[] = {{a.fsInfoSound, a.fsInfoCounts, "the FSInfo sector"},
                  {a.backupFsInfoSound, a.backupFsInfoCounts, "the FSInfo sector's copy"}};
    bool freeShown = false, nextShown = false;
    for (const auto& c : copies) {
        const uint32_t count = c.counts.freeCount, next = c.counts.nextFree;
        if (c.sound && !freeShown && count != kFsInfoUnknown && count > v.clusters) {
            freeShown = true;
            out.add(problem::kFsInfoFreeCount,
                    "0xFFFFFFFF or at most " + std::to_string(v.clusters), hex32(count),
                    "The format leaves the FSInfo sector's free-cluster count unknown "
                    "(0xFFFFFFFF) for hosts to count, and no count exceeds the volume's " +
                        grouped(v.clusters) + " clusters; on this card " + c.name + " gives " +
                        grouped(count) +
                        " free clusters, so hosts that trust it show free space the card does "
                        "not have and start writes that fail.");
        }
        if (c.sound && !nextShown && next != kFsInfoUnknown && (next < 2 || next > lastCluster)) {
            nextShown = true;
            out.add(problem::kFsInfoNextFree, "0xFFFFFFFF or 2 to " + std::to_string(lastCluster),
                    hex32(next),
                    "The format leaves the FSInfo sector's next-free hint unknown (0xFFFFFFFF), "
                    "and a hint names a cluster of the data area (2 to " +
                        grouped(lastCluster) + "); on this card " + c.name + " gives " +
                        grouped(next) +
                        ", outside the data area, so hosts that trust it look for free clusters "
                        "at FAT entries that stand for none.");
        }
    }
}

// exFAT: the boot region and its checksum, the backup region a copy of it, and the
// flash-parameters record giving the erase block.
void compareExFatArea(const BootArea& a, const FormatParameters& e, Findings& out) {
    if (a.main.got == Got::Failed)
        out.list.push_back(
            unreadable(problem::kBootRegion, "12 sectors", a.main.sector, "the boot region"));
    else if (!a.main.read())
        out.add(
            problem::kBootRegion, "12 sectors", "unreadable",
            "The rules write a boot region of 12 sectors at the partition's start; on this card "
            "it cannot be read whole, so hosts cannot mount the volume.");
    else if (!a.checksumMatches)
        out.add(problem::kBootChecksum, "match", "mismatch",
                "The rules end the boot region with the checksum of its sectors; on this card the "
                "checksum does not match, so hosts that verify it refuse to mount the card.");
    if (!a.main.read()) return;
    if (a.backupRegion.got == Got::Failed)
        out.list.push_back(unreadable(problem::kBackupBootRegion, "same as the main region",
                                      a.backupRegion.sector, "the backup boot region"));
    else if (!a.backupRegion.read() || a.backupDiffers >= 0)
        out.add(problem::kBackupBootRegion, "same as the main region",
                a.backupRegion.read()
                    ? "sector " + std::to_string(kBootRegionSectors + a.backupDiffers) + " differs"
                    : "unreadable",
                a.backupRegion.read()
                    ? "The rules write the backup boot region (sectors 12 to 23) as a copy of the "
                      "main one; on this card sector " +
                          std::to_string(kBootRegionSectors + a.backupDiffers) +
                          " differs, so a repair from the backup restores other values."
                    : std::string("The rules write a backup boot region in sectors 12 to 23; on "
                                  "this card it cannot be read, so a damaged boot region cannot be "
                                  "repaired."));
    const uint64_t eraseBlock = uint64_t{e.boundaryUnit} * kSectorBytes;
    if (!a.flashRecord || a.eraseBlockBytes != eraseBlock)
        out.add(
            problem::kFlashParameters, std::to_string(eraseBlock),
            a.flashRecord ? std::to_string(a.eraseBlockBytes) : "none",
            "The rules record the card's " + sizeText(e.boundaryUnit) +
                " erase block in a flash-parameters record; " +
                (a.flashRecord ? "this card's record gives " + grouped(a.eraseBlockBytes) +
                                     " bytes, so hosts that use it align writes to the wrong size."
                               : std::string("this card has none, so hosts cannot learn the "
                                             "erase-block size from the file system.")));
}

} // namespace brc::check_parts
