// brindlecard check: cards we formatted follow the rules, cards made by mkfs.fat and mkfs.exfat
// show the deviations their options give them, and damaged or hostile cards are reported,
// never trusted, and never written.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <regex>
#include <set>

#include "check/card_check.h"
#include "tests/cli/cli_run.h"

namespace {

using brc::CardCapacity;
using brc::CardCheck;
using brc::CheckVerdict;

// The general tools live in sbin, which a test's PATH may lack.
int sh(const std::string& command) {
    return std::system(("{ PATH=\"$PATH:/usr/sbin:/sbin\"; set -e; " + command + "; } >/dev/null 2>&1").c_str());
}

bool havePeers() { return sh("command -v mkfs.fat && command -v mkfs.exfat") == 0; }

std::string card(const ScratchDir& dir, const std::string& name, uint64_t sectors,
                 uint32_t protectedSectors = 0) {
    const std::string img = (dir.path / name).string();
    EXPECT_EQ(runCli("card create " + img + " --force --sectors " + std::to_string(sectors) +
                     " --protected " + std::to_string(protectedSectors)).status, 0);
    return img;
}

// The object or array after "key": in the command's one-line JSON.
std::string jsonPart(const std::string& text, const std::string& key) {
    size_t at = text.find("\"" + key + "\":");
    if (at == std::string::npos) return "";
    at += key.size() + 3;
    int depth = 0;
    for (size_t i = at; i < text.size(); ++i) {
        if (text[i] == '{' || text[i] == '[') ++depth;
        if ((text[i] == '}' || text[i] == ']') && --depth == 0) return text.substr(at, i - at + 1);
    }
    return "";
}

std::set<std::string> deviationFields(const std::string& json) {
    std::set<std::string> out;
    const std::string list = jsonPart(json, "deviations");
    const std::regex field("\"field\":\"([^\"]*)\"");
    for (std::sregex_iterator it(list.begin(), list.end(), field), end; it != end; ++it)
        out.insert((*it)[1]);
    return out;
}

std::string fields(const std::set<std::string>& s) {
    std::string out;
    for (const auto& f : s) out += f + " ";
    return out;
}

// What a read-only run must leave alone: the bytes of the system area (the first 64 MiB,
// hashed), the sidecar, and the image's size and modification time, which any write or punched
// hole would change.
std::string fingerprint(const std::string& img) {
    struct stat st {};
    ::stat(img.c_str(), &st);
    std::string out = std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec) +
                      " " + std::to_string(st.st_size) + "\n";
    FILE* p = popen(("head -c 64M " + img + " | sha256sum; sha256sum <" + img + ".card").c_str(), "r");
    char buf[512];
    while (p && fgets(buf, sizeof buf, p)) out += buf;
    if (p) pclose(p);
    return out;
}

struct OurCard {
    uint32_t sectors, protectedSectors;
    bool adjust;
    const char* fs;
    const char* sizeAdjustment;  // which of the rules' layouts the check says the card follows
};

const OurCard kOurCards[] = {
    {15360, 0, false, "FAT12", "no difference"},
    {130800, 0, false, "FAT12", "off"},  // the rules leave the last 16 sectors out
    {130800, 0, true, "FAT12", "on"},
    {1984000, 30720, false, "FAT16", "off"},
    {1984000, 30720, true, "FAT16", "on"},
    {4211712, 0, true, "FAT16", "on"},
    {7744600, 0, false, "FAT32", "off"},
    {7744600, 0, true, "FAT32", "on"},
    {67109000, 0, true, "FAT32", "on"},  // exFAT unadjusted
    {67108864, 4096, false, "exFAT", "off"},
    {67119570, 0, true, "exFAT", "no difference"},  // whole cylinders of 255 x 63
    {124740000, 0, true, "exFAT", "on"},
};

TEST(CheckCli, CardsWeFormattedFollowTheRulesAndTheCheckWritesNothing) {
    ScratchDir dir("check-ours");
    for (const OurCard& c : kOurCards) {
        const std::string adjust = c.adjust ? " --size-adjust" : "";
        SCOPED_TRACE(std::to_string(c.sectors) + "+" + std::to_string(c.protectedSectors) + adjust);
        const std::string img = card(dir, "ours.img", c.sectors, c.protectedSectors);
        ASSERT_EQ(runCli("format " + img + " --yes" + adjust).status, 0);
        const std::string before = fingerprint(img);

        const CliRun json = runCli("check " + img + " --json");
        EXPECT_EQ(json.status, 0) << json.out;
        EXPECT_EQ(json.out.rfind("{\"conforms\":true,", 0), 0u) << json.out;
        EXPECT_EQ(parseFlatJson(json.out)["sizeAdjustment"], c.sizeAdjustment);
        EXPECT_EQ(jsonPart(json.out, "deviations"), "[]");
        // `expected` is what plan prints for the card with the matching choice, key for key.
        std::string plan = runCli("plan " + img + " --json" + adjust).out;
        plan.pop_back();
        EXPECT_EQ(jsonPart(json.out, "expected"), plan);
        auto found = parseFlatJson(jsonPart(json.out, "found"));
        auto planned = parseFlatJson(plan);
        EXPECT_EQ(found["fsType"], c.fs);
        for (const char* key : {"fsType", "userSectors", "sectorsPerCluster", "partitionStart",
                                "reservedSectors", "fatSectors", "systemSectors", "maxCluster"})
            EXPECT_EQ(found[key], planned[key]) << key;

        const CliRun text = runCli("check " + img);
        EXPECT_EQ(text.status, 0);
        EXPECT_NE(text.out.find("follows the SD layout rules"), std::string::npos) << text.out;
        EXPECT_EQ(fingerprint(img), before);
    }
}

// A card made by a peer: `mbr` is how sector 0 gets its partition table.
enum class Mbr { None, Ours, MiB };

struct PeerCard {
    const char* name;
    uint32_t sectors, protectedSectors;
    Mbr mbr;
    uint8_t type;          // Mbr::MiB: the partition type byte
    const char* format;    // the peer's command on $IMG ($PART: the partition image, spliced in)
    std::set<std::string> deviations;
    const char* says = nullptr;  // words of the text output
};

// mkfs.fat formats inside the card at --offset; mkfs.exfat has no such option, so it formats a
// partition image whose system area is spliced into the card.
#define EXFAT_SPLICE " && dd if=$PART of=$IMG bs=512 seek=$START count=65536 conv=notrunc,sparse"
const PeerCard kPeerCards[] = {
    {"mkfs.fat defaults on the whole card", 524288, 0, Mbr::None, 0, "mkfs.fat $IMG",
     {"partitionTable", "sectorsPerCluster", "reservedSectors", "fatSectors", "dataAlignment"}},
    {"mkfs.fat FAT12 with the rules' options", 15360, 0, Mbr::Ours, 0,
     "mkfs.fat -F 12 -s 16 -R 1 -r 512 -f 2 -h $START -g 2/32 -a --offset $START $IMG $KIB", {}},
    {"mkfs.fat FAT16 with the rules' options", 1984000, 30720, Mbr::Ours, 0,
     "mkfs.fat -F 16 -s 32 -R 1 -r 512 -f 2 -h $START -g 32/63 -a --offset $START $IMG $KIB", {}},
    {"mkfs.fat defaults in the rules' partition", 1984000, 30720, Mbr::Ours, 0,
     "mkfs.fat --offset $START $IMG $KIB",
     {"volumeSectors", "hiddenSectors", "fsType", "sectorsPerCluster", "dataAlignment"}},
    {"mkfs.fat FAT32 with the rules' options", 8388608, 0, Mbr::Ours, 0,
     "mkfs.fat -F 32 -s 64 -R 6146 -h $START -g 255/63 -a --offset $START $IMG $KIB", {}},
    {"mkfs.fat FAT32 with the rules' options but its own alignment", 8388608, 0, Mbr::Ours, 0,
     "mkfs.fat -F 32 -s 64 -R 6146 -h $START -g 255/63 --offset $START $IMG $KIB",
     {"volumeSectors", "reservedSectors", "fatSectors", "dataAlignment"}},
    {"mkfs.fat defaults at a 1 MiB start", 7744512, 0, Mbr::MiB, 0x0C,
     "mkfs.fat -F 32 --offset $START $IMG $KIB",
     {"partitionType", "partitionStart", "endChs", "volumeSectors", "hiddenSectors",
      "sectorsPerCluster", "reservedSectors", "fatSectors", "dataAlignment"}},
    {"mkfs.exfat defaults in the rules' partition", 67108864, 0, Mbr::Ours, 0,
     "mkfs.exfat $PART" EXFAT_SPLICE,
     {"hiddenSectors", "reservedSectors", "dataAlignment", "flashParameters"},
     "The rules start the data area on a 4 MiB erase-block edge; on this card it starts 2,048 "
     "sectors after one, so every erase block's worth of clusters straddles two erase blocks"},
    {"mkfs.exfat with the rules' cluster size and boundary", 67108864, 0, Mbr::Ours, 0,
     "mkfs.exfat -c 32K -b 4M $PART" EXFAT_SPLICE,
     {"hiddenSectors", "systemSectors", "flashParameters"}},
    {"mkfs.exfat defaults at a 1 MiB start", 67108864, 0, Mbr::MiB, 0x07,
     "mkfs.exfat $PART" EXFAT_SPLICE,
     {"partitionStart", "hiddenSectors", "reservedSectors", "dataAlignment", "flashParameters"}},
};

TEST(CheckCli, CardsMadeByThePeersShowTheirDeviations) {
    if (!havePeers()) GTEST_SKIP() << "mkfs.fat or mkfs.exfat is missing";
    ScratchDir dir("check-peers");
    for (const PeerCard& c : kPeerCards) {
        SCOPED_TRACE(c.name);
        const std::string img = card(dir, "peer.img", c.sectors, c.protectedSectors);
        uint64_t start = 0;
        if (c.mbr == Mbr::Ours) {
            // The rules' partition table, as our format of the same card writes it.
            const std::string ours = card(dir, "ours.img", c.sectors, c.protectedSectors);
            ASSERT_EQ(runCli("format " + ours + " --yes").status, 0);
            start = std::stoull(parseFlatJson(runCli("plan " + ours + " --json").out)["partitionStart"]);
            ASSERT_EQ(sh("dd if=" + ours + " of=" + img + " bs=512 count=1 conv=notrunc"), 0);
        } else if (c.mbr == Mbr::MiB) {
            // One partition from 1 MiB to the end, CHS as fdisk writes it for 255 heads.
            start = 2048;
            std::array<uint8_t, 512> mbr{};
            const uint8_t entry[16] = {0, 0x20, 0x21, 0x00, c.type, 0xFE, 0xFF, 0xFF};
            std::copy(entry, entry + 16, mbr.begin() + 446);
            const uint32_t count = c.sectors - 2048;
            for (int i = 0; i < 4; ++i) mbr[446 + 8 + i] = static_cast<uint8_t>(2048 >> (8 * i));
            for (int i = 0; i < 4; ++i) mbr[446 + 12 + i] = static_cast<uint8_t>(count >> (8 * i));
            mbr[510] = 0x55;
            mbr[511] = 0xAA;
            std::fstream f(img, std::ios::in | std::ios::out | std::ios::binary);
            f.write(reinterpret_cast<const char*>(mbr.data()), 512);
        }
        const uint64_t partition = c.sectors - start;
        const std::string part = (dir.path / "part.img").string();
        std::filesystem::remove(part);
        ASSERT_EQ(sh("truncate -s " + std::to_string(partition * 512) + " " + part), 0);
        const std::string env = "IMG=" + img + " PART=" + part + " START=" + std::to_string(start) +
                                " KIB=" + std::to_string(partition / 2) + "; ";
        ASSERT_EQ(sh(env + c.format), 0) << c.format;

        const CliRun r = runCli("check " + img + " --json");
        EXPECT_EQ(r.status, c.deviations.empty() ? 0 : 1) << r.out;
        EXPECT_EQ(fields(deviationFields(r.out)), fields(c.deviations)) << r.out;
        if (c.says) {
            const CliRun text = runCli("check " + img);
            EXPECT_NE(text.out.find(c.deviations.empty() ? "follows the SD layout rules"
                                                         : "does not follow the SD layout rules"),
                      std::string::npos);
            EXPECT_NE(text.out.find(c.says), std::string::npos) << text.out;
        }
        if (std::string(c.format).rfind("mkfs.exfat", 0) == 0) {
            // Formatted again by us, the card gets its flash parameters back: the peer's unused
            // OEM records are not carried over.
            ASSERT_EQ(runCli("format " + img + " --yes").status, 0);
            const CliRun again = runCli("check " + img + " --json");
            EXPECT_EQ(again.status, 0) << again.out;
        }
        std::filesystem::remove(part);
    }
}

TEST(CheckCli, DamagedAndForeignCardsAreReportedWithExitOne) {
    ScratchDir dir("check-damaged");
    // Random bytes from a fixed seed, with no 55 AA at the end of sector 0.
    const std::string noise = card(dir, "noise.img", 2048);
    {
        std::mt19937 random(13);
        std::string bytes(2048 * 512, '\0');
        for (char& b : bytes) b = static_cast<char>(random());
        bytes[511] = 0;
        std::ofstream(noise, std::ios::binary | std::ios::in).write(bytes.data(), bytes.size());
    }
    CliRun r = runCli("check " + noise);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("holds no recognisable file system: sector 0 holds neither a partition "
                         "table nor a boot sector"), std::string::npos) << r.out;
    r = runCli("check " + noise + " --json");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out.rfind("{\"conforms\":false,\"problem\":", 0), 0u) << r.out;
    EXPECT_EQ(fields(deviationFields(r.out)), "fsType ");

    // A blank card, and formatted cards cut short behind their partition's start or inside it.
    EXPECT_EQ(runCli("check " + card(dir, "blank.img", 65536)).status, 1);
    const std::string fat32 = card(dir, "fat32.img", 7744512);
    ASSERT_EQ(runCli("format " + fat32 + " --yes").status, 0);
    std::filesystem::resize_file(fat32, 8192 * 512);
    r = runCli("check " + fat32);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("its partition starts at sector 8,192, past the card's last sector (8,191)"),
              std::string::npos) << r.out;
    const std::string fat16 = card(dir, "fat16.img", 524288);
    ASSERT_EQ(runCli("format " + fat16 + " --yes").status, 0);
    std::filesystem::resize_file(fat16, 2048 * 512);
    r = runCli("check " + fat16 + " --json");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("past the end of the card, and writes there fail"), std::string::npos) << r.out;
}

TEST(CheckCli, UsageErrorsExitWithTwo) {
    ScratchDir dir("check-usage");
    const std::string img = card(dir, "c.img", 2048);
    EXPECT_EQ(runCli("check").status, 2);
    EXPECT_EQ(runCli("check " + img + " " + img).status, 2);
    EXPECT_EQ(runCli("check " + img + " --size-adjust").status, 2);
    EXPECT_EQ(runCli("check " + (dir.path / "absent.img").string()).status, 2);
    EXPECT_EQ(runCli("check --help").status, 0);
}

// A target the check cannot read still answers --json with one object that says why.
struct BadTarget {
    const char* name;
    const char* target;       // $DIR: the test's folder
    const char* environment;  // for this run only
    int status;
    const char* problem;      // words of it
};

const BadTarget kBadTargets[] = {
    {"an image of 1,000 bytes", "$DIR/odd.img", "", 1, "holds 1,000 bytes, not a whole number of 512-byte sectors"},
    {"a missing image", "$DIR/absent.img", "", 2, "there is no image at"},
    {"a character device", "/dev/null", "", 2, "is a character device, not an image"},
    {"a drive letter not in the map", "Q:", "", 2, "has no card in BRINDLECARD_CARDS"},
    {"a drive letter whose image is gone", "E:", "BRINDLECARD_CARDS=E=$DIR/gone.img", 2, "there is no image at"},
    {"a drive map that cannot be read", "$DIR/odd.img", "BRINDLECARD_CARDS=junk", 2, "is not of the form"},
    // Refused as a loop device, or as a virtual one while nothing is attached to it.
    {"a loop device without --allow-loop", "/dev/loop0", "", 1, "/dev/loop0 is a"},
};

TEST(CheckCli, JsonAnswersWithOneObjectForEveryTargetItCannotCheck) {
    ScratchDir dir("check-targets");
    std::ofstream(dir.path / "odd.img").close();
    std::filesystem::resize_file(dir.path / "odd.img", 1000);
    const auto expand = [&](std::string text) {
        for (size_t at; (at = text.find("$DIR")) != std::string::npos;) text.replace(at, 4, dir.path.string());
        return text;
    };
    for (const BadTarget& t : kBadTargets) {
        SCOPED_TRACE(t.name);
        if (std::string(t.target).rfind("/dev/", 0) == 0 && !std::filesystem::exists(t.target)) continue;
        const CliRun r = runCli("check " + expand(t.target) + " --json", false, expand(t.environment));
        EXPECT_EQ(r.status, t.status);
        ASSERT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;
        EXPECT_EQ(r.out.rfind("{\"conforms\":false,\"problem\":", 0), 0u) << r.out;
        EXPECT_NE(parseFlatJson(r.out)["problem"].find(t.problem), std::string::npos) << r.out;
        EXPECT_EQ(jsonPart(r.out, "found"), "{}");
        EXPECT_EQ(jsonPart(r.out, "deviations"), "[]");
    }
}

// The label the card holds, as `found` shows it: a FAT label of blanks only is no label.
struct LabelRow {
    uint32_t sectors;
    const char* label;  // given to the format
    bool blank;         // its name then overwritten with blanks
    const char* shown;  // found's label; nullptr: no label key
};

const LabelRow kLabelRows[] = {
    {1984000, "", false, nullptr},
    {1984000, "card", false, "CARD"},
    {1984000, "card", true, nullptr},
    {7744512, "card", true, nullptr},
    {67108864, "Card", false, "Card"},
};

TEST(CheckCli, FoundShowsTheLabelTheCardHolds) {
    ScratchDir dir("check-label");
    for (const LabelRow& row : kLabelRows) {
        SCOPED_TRACE(std::to_string(row.sectors) + " '" + row.label + "'" + (row.blank ? " blanked" : ""));
        const std::string img = card(dir, "label.img", row.sectors);
        ASSERT_EQ(runCli("format " + img + " --yes" + (*row.label ? " --label " + std::string(row.label) : "")).status, 0);
        if (row.blank) {
            // The label entry opens the root directory: behind the FATs on FAT16, in the data
            // area's first cluster on FAT32.
            auto plan = parseFlatJson(runCli("plan " + img + " --json").out);
            const uint64_t dataStart = std::stoull(plan["partitionStart"]) + std::stoull(plan["systemSectors"]);
            const uint64_t root = plan["fsType"] == "FAT32" ? dataStart : dataStart - 32;
            std::fstream f(img, std::ios::in | std::ios::out | std::ios::binary);
            f.seekp(static_cast<std::streamoff>(root * 512));
            f.write("           ", 11);
        }
        const CliRun r = runCli("check " + img + " --json");
        EXPECT_EQ(r.status, 0) << r.out;
        auto found = parseFlatJson(jsonPart(r.out, "found"));
        if (row.shown) EXPECT_EQ(found["label"], row.shown) << r.out;
        else EXPECT_EQ(found.count("label"), 0u) << r.out;
    }
}

// ---- the inspector in-process, on the sectors of formatted cards --------------------------

// The sectors a check may read, loaded from an image; every other sector reads as zero. Counts
// what is read, so a check that wanders shows.
struct MemoryCard {
    CardCapacity capacity;
    std::map<uint32_t, std::array<uint8_t, 512>> sectors;
    uint32_t partitionStart = 0;
    uint64_t sectorsRead = 0;

    brc::SectorReader reader() {
        return [this](uint32_t first, uint32_t count, uint8_t* out) {
            EXPECT_LE(uint64_t{first} + count, capacity.userSectors);
            sectorsRead += count;
            for (uint32_t i = 0; i < count; ++i) {
                auto it = sectors.find(first + i);
                if (it == sectors.end()) std::fill(out + 512 * i, out + 512 * (i + 1), 0);
                else std::copy(it->second.begin(), it->second.end(), out + 512 * i);
            }
            return true;
        };
    }
    CardCheck check() { return brc::checkCard(capacity, reader()); }
    uint8_t* at(uint32_t sector, size_t offset) { return sectors[sector].data() + offset; }
};

// Most sectors a check reads: the boot area, the first sectors of the FATs, a root directory
// sector and, on exFAT, the up-case table.
constexpr uint64_t kMostSectorsRead = 400;

// A formatted card's system area: the sectors that are not zero in its first 64 MiB.
MemoryCard formattedCard(const ScratchDir& dir, uint32_t userSectors) {
    const std::string img = card(dir, "mem.img", userSectors);
    EXPECT_EQ(runCli("format " + img + " --yes").status, 0);
    MemoryCard m;
    m.capacity.userSectors = userSectors;
    std::ifstream in(img, std::ios::binary);
    std::array<uint8_t, 512> sector;
    for (uint32_t s = 0; s < userSectors && s < 131072; ++s) {
        in.read(reinterpret_cast<char*>(sector.data()), 512);
        if (std::any_of(sector.begin(), sector.end(), [](uint8_t b) { return b != 0; }))
            m.sectors[s] = sector;
    }
    m.partitionStart = m.sectors[0][454] | m.sectors[0][455] << 8 | m.sectors[0][456] << 16;
    return m;
}

void put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

struct Damage {
    const char* name;
    uint32_t card;             // user sectors of the formatted card
    bool inPartition;          // sector counts from the partition start
    uint32_t sector;
    size_t offset;
    uint32_t value, bytes;     // little-endian value of 1 or 4 bytes
    CheckVerdict verdict;
    const char* expect;        // a deviation's field, or words of the problem
};

constexpr uint32_t kFat16 = 524288, kFat32 = 7744512, kExFat = 67108864;
const Damage kDamage[] = {
    {"exFAT serial changed in the main boot sector", kExFat, true, 0, 100, 0x1234, 4, CheckVerdict::Deviates, "bootChecksum"},
    {"exFAT backup boot sector changed", kExFat, true, 12, 100, 0x1234, 4, CheckVerdict::Deviates, "backupBootRegion"},
    {"exFAT flash-parameters record gone", kExFat, true, 9, 0, 0, 4, CheckVerdict::Deviates, "flashParameters"},
    {"exFAT FAT offset inside the boot regions", kExFat, true, 0, 80, 3, 4, CheckVerdict::NoFileSystem, "inside the boot regions"},
    {"exFAT cluster shift out of range", kExFat, true, 0, 109, 200, 1, CheckVerdict::NoFileSystem, "is too large"},
    {"exFAT cluster count past the volume", kExFat, true, 0, 92, 0xFFFFFFFF, 4, CheckVerdict::NoFileSystem, "run past the volume"},
    {"exFAT 4096-byte sectors", kExFat, true, 0, 108, 12, 1, CheckVerdict::NoFileSystem, "512-byte sectors"},
    {"FAT32 backup boot sector wiped", kFat32, true, 6, 0, 0, 4, CheckVerdict::Deviates, "backupBootSector"},
    {"FAT32 backup boot sector moved", kFat32, true, 0, 50, 0, 1, CheckVerdict::Deviates, "backupBootSector"},
    {"FAT32 FSInfo signature broken", kFat32, true, 1, 0, 0, 4, CheckVerdict::Deviates, "fsInfo"},
    {"FAT32 cluster size not a power of two", kFat32, true, 0, 13, 3, 1, CheckVerdict::NoFileSystem, "not a power of two"},
    {"FAT32 FAT of one sector", kFat32, true, 0, 36, 1, 4, CheckVerdict::NoFileSystem, "cannot hold"},
    {"FAT16 4096-byte sectors", kFat16, true, 0, 12, 0x10, 1, CheckVerdict::NoFileSystem, "512-byte sectors"},
    {"FAT16 no FAT copies", kFat16, true, 0, 16, 0, 1, CheckVerdict::NoFileSystem, "gives no FAT"},
    {"FAT16 volume past its partition", kFat16, true, 0, 32, kFat16, 4, CheckVerdict::Deviates, "volumeSectors"},
    {"FAT16 boot signature gone", kFat16, true, 0, 510, 0, 1, CheckVerdict::Deviates, "bootSignature"},
    {"partition past the card's end", kFat16, false, 0, 446 + 8, 0xFFFFFFF0, 4, CheckVerdict::NoFileSystem, "past the card's last sector"},
    {"partition longer than the card", kFat16, false, 0, 446 + 12, 0xFFFFFFFF, 4, CheckVerdict::Deviates, "partitionSectors"},
    {"partition at sector 0", kFat16, false, 0, 446 + 8, 0, 4, CheckVerdict::NoFileSystem, "over the partition table"},
    {"no partition table signature", kFat16, false, 0, 510, 0, 1, CheckVerdict::NoFileSystem, "neither a partition table"},
    {"second partition entry in use", kFat16, false, 0, 462 + 4, 0x83, 1, CheckVerdict::Deviates, "otherEntries"},
    {"partition marked bootable", kFat16, false, 0, 446, 0x80, 1, CheckVerdict::Deviates, "bootIndicator"},
    {"FAT32 partition type 0x0C", kFat32, false, 0, 446 + 4, 0x0C, 1, CheckVerdict::Deviates, "partitionType"},
    {"start CHS wrong", kFat16, false, 0, 446 + 1, 0xFE, 1, CheckVerdict::Deviates, "startChs"},
};

TEST(CardCheck, DamagedFieldsAreReportedNotTrusted) {
    ScratchDir dir("check-damage");
    std::map<uint32_t, MemoryCard> cards;
    for (const Damage& d : kDamage) {
        SCOPED_TRACE(d.name);
        if (!cards.count(d.card)) {
            cards[d.card] = formattedCard(dir, d.card);
            ASSERT_EQ(cards[d.card].check().verdict, CheckVerdict::Conforms);
        }
        MemoryCard m = cards[d.card];
        uint8_t* p = m.at((d.inPartition ? m.partitionStart : 0) + d.sector, d.offset);
        if (d.bytes == 4) put32(p, d.value);
        else *p = static_cast<uint8_t>(d.value);
        const CardCheck c = m.check();
        EXPECT_EQ(c.verdict, d.verdict) << c.problem;
        bool shown = c.problem.find(d.expect) != std::string::npos;
        for (const auto& dev : c.deviations) shown = shown || dev.field == d.expect;
        EXPECT_TRUE(shown) << c.problem;
        EXPECT_LE(m.sectorsRead, kMostSectorsRead);
    }
}

// Where a formatted card's structures lie, from its boot sector: absolute sectors.
struct Geometry {
    uint32_t start, fat, fatSectors, fats, heap, clusterSectors, clusters, root;
    uint32_t bitmap = 0; // exFAT: the allocation bitmap's first cluster
};

uint32_t le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t{p[3]} << 24; }

Geometry geometryOf(MemoryCard& m) {
    const uint8_t* b = m.at(m.partitionStart, 0);
    Geometry g{};
    g.start = m.partitionStart;
    if (std::equal(b + 3, b + 11, "EXFAT   ")) {
        g.fat = g.start + le32(b + 80);
        g.fatSectors = le32(b + 84);
        g.fats = b[110];
        g.heap = g.start + le32(b + 88);
        g.clusters = le32(b + 92);
        g.root = le32(b + 96);
        g.clusterSectors = 1u << b[109];
        const uint8_t* dir = m.at(g.heap + (g.root - 2) * g.clusterSectors, 0);
        for (int e = 0; e < 16; ++e)
            if (dir[32 * e] == 0x81) g.bitmap = le32(dir + 32 * e + 20);
    } else {
        g.fat = g.start + (b[14] | b[15] << 8);
        g.fatSectors = le32(b + 36);
        g.fats = b[16];
        g.heap = g.fat + g.fats * g.fatSectors;
        g.clusterSectors = b[13];
        g.clusters = (le32(b + 32) - (g.heap - g.start)) / g.clusterSectors;
        g.root = le32(b + 44);
    }
    return g;
}

// A FAT entry, in every FAT, so the copies stay alike.
void setEntry(MemoryCard& m, const Geometry& g, uint32_t cluster, uint32_t value) {
    for (uint32_t k = 0; k < g.fats; ++k)
        put32(m.at(g.fat + k * g.fatSectors + cluster / 128, cluster % 128 * 4), value);
}

// Byte `offset` of `cluster`.
uint8_t* inCluster(MemoryCard& m, const Geometry& g, uint32_t cluster, size_t offset) {
    return m.at(static_cast<uint32_t>(g.heap + (cluster - 2) * g.clusterSectors + offset / 512),
                offset % 512);
}

// The root directory's `slot`th entry, given the bitmap entry's 32 bytes with its flags byte.
void copyBitmapEntry(MemoryCard& m, const Geometry& g, int slot, uint8_t flags) {
    uint8_t* dir = inCluster(m, g, g.root, 0);
    for (int e = 0; e < 16; ++e)
        if (dir[32 * e] == 0x81) std::copy(dir + 32 * e, dir + 32 * e + 32, dir + 32 * slot);
    dir[32 * slot + 1] = flags;
}

// The bitmap's bit for `cluster`.
void markCluster(MemoryCard& m, const Geometry& g, uint32_t cluster, bool inUse) {
    uint8_t* byte = inCluster(m, g, g.bitmap, (cluster - 2) / 8);
    const uint8_t bit = static_cast<uint8_t>(1u << (cluster - 2) % 8);
    *byte = static_cast<uint8_t>(inUse ? *byte | bit : *byte & ~bit);
}

constexpr uint32_t kEnd = 0x0FFFFFFF;

struct Fault {
    const char* name;
    uint32_t card;
    std::function<void(MemoryCard&, const Geometry&)> damage;
    const char* field; // the deviation; nullptr: the card still conforms
    const char* words; // of its sentence
};

// Chains, bitmaps and counts a check must not take for sound, beside what a card in use holds
// that it must still take for sound.
const Fault kFaults[] = {
    {"FAT32 root chain 2 -> 3 -> 2", kFat32,
     [](MemoryCard& m, const Geometry& g) {
         setEntry(m, g, 2, 3);
         setEntry(m, g, 3, 2);
     },
     "rootCluster", "comes back to cluster 2 after 2 clusters"},
    {"FAT32 root chain 2 -> 3 -> 4 -> 3", kFat32,
     [](MemoryCard& m, const Geometry& g) {
         setEntry(m, g, 2, 3);
         setEntry(m, g, 3, 4);
         setEntry(m, g, 4, 3);
     },
     "rootCluster", "comes back to cluster 3"},
    {"FAT32 root chain looping through a FAT sector past those read", kFat32,
     [](MemoryCard& m, const Geometry& g) {
         setEntry(m, g, 2, 100000);
         setEntry(m, g, 100000, 2);
     },
     "rootCluster", "comes back to cluster 2"},
    {"FAT32 root chain into a free cluster", kFat32,
     [](MemoryCard& m, const Geometry& g) { setEntry(m, g, 2, 3); }, "rootCluster",
     "which the FAT gives as free"},
    {"FAT32 root chain into a bad cluster", kFat32,
     [](MemoryCard& m, const Geometry& g) {
         setEntry(m, g, 2, 3);
         setEntry(m, g, 3, 0x0FFFFFF7);
     },
     "rootCluster", "which the FAT marks bad"},
    {"FAT32 root chain past the last cluster", kFat32,
     [](MemoryCard& m, const Geometry& g) {
         setEntry(m, g, 2, 3);
         setEntry(m, g, 3, g.clusters + 2);
     },
     "rootCluster", "neither a cluster of the data area"},
    {"FAT32 root chain longer than a directory may be", kFat32,
     [](MemoryCard& m, const Geometry& g) {
         const uint32_t clusters = 2 * 1024 * 1024 / (g.clusterSectors * 512) + 1;
         for (uint32_t c = 2; c < clusters + 1; ++c) setEntry(m, g, c, c + 1);
         setEntry(m, g, clusters + 1, kEnd);
     },
     "rootCluster", "more than the 2 MiB"},
    {"FAT32 root grown by a cluster", kFat32,
     [](MemoryCard& m, const Geometry& g) {
         setEntry(m, g, 2, 3);
         setEntry(m, g, 3, 0x0FFFFFF8);
     },
     nullptr, nullptr},
    {"FAT32 root grown into a FAT sector past those read", kFat32,
     [](MemoryCard& m, const Geometry& g) {
         setEntry(m, g, 2, 100000);
         setEntry(m, g, 100000, kEnd);
     },
     nullptr, nullptr},
    {"FAT32 root grown to a directory's largest size", kFat32,
     [](MemoryCard& m, const Geometry& g) {
         const uint32_t clusters = 2 * 1024 * 1024 / (g.clusterSectors * 512);
         for (uint32_t c = 2; c < clusters + 1; ++c) setEntry(m, g, c, c + 1);
         setEntry(m, g, clusters + 1, kEnd);
     },
     nullptr, nullptr},
    {"FSInfo free count 0xFFFFFFF0", kFat32,
     [](MemoryCard& m, const Geometry& g) { put32(m.at(g.start + 1, 488), 0xFFFFFFF0); },
     "fsInfoFreeCount", "4,294,967,280 free clusters"},
    {"FSInfo copy's free count one past the cluster count", kFat32,
     [](MemoryCard& m, const Geometry& g) { put32(m.at(g.start + 7, 488), g.clusters + 1); },
     "fsInfoFreeCount", "FSInfo sector's copy"},
    {"FSInfo next-free hint past the last cluster", kFat32,
     [](MemoryCard& m, const Geometry& g) { put32(m.at(g.start + 1, 492), g.clusters + 2); },
     "fsInfoNextFree", "outside the data area"},
    {"FSInfo next-free hint 0", kFat32,
     [](MemoryCard& m, const Geometry& g) { put32(m.at(g.start + 1, 492), 0); }, "fsInfoNextFree",
     "outside the data area"},
    {"FSInfo counts as mkfs.fat writes them", kFat32,
     [](MemoryCard& m, const Geometry& g) {
         for (uint32_t s : {1u, 7u}) {
             put32(m.at(g.start + s, 488), g.clusters - 1);
             put32(m.at(g.start + s, 492), 2);
         }
     },
     nullptr, nullptr},
    {"FSInfo counts at their limits", kFat32,
     [](MemoryCard& m, const Geometry& g) {
         for (uint32_t s : {1u, 7u}) {
             put32(m.at(g.start + s, 488), g.clusters);
             put32(m.at(g.start + s, 492), g.clusters + 1);
         }
     },
     nullptr, nullptr},
    {"exFAT bitmap's first sector all in use", kExFat,
     [](MemoryCard& m, const Geometry& g) { std::fill_n(inCluster(m, g, g.bitmap, 0), 512, 0xFF); },
     "allocationBitmap", "also marks cluster 8 in use"},
    {"exFAT bitmap marks the cluster after the root directory", kExFat,
     [](MemoryCard& m, const Geometry& g) { markCluster(m, g, g.root + 1, true); },
     "allocationBitmap", "also marks cluster 8 in use"},
    {"exFAT bitmap marks a cluster at its first sector's end", kExFat,
     [](MemoryCard& m, const Geometry& g) { markCluster(m, g, 2 + 4095, true); },
     "allocationBitmap", "also marks cluster 4,097 in use"},
    {"exFAT bitmap gives the root directory free", kExFat,
     [](MemoryCard& m, const Geometry& g) { markCluster(m, g, g.root, false); }, "allocationBitmap",
     "as free"},
    {"exFAT second allocation-bitmap entry", kExFat,
     [](MemoryCard& m, const Geometry& g) { copyBitmapEntry(m, g, 3, 0); }, "rootDirectory",
     "holds 2 allocation-bitmap entries"},
    {"exFAT second FAT's allocation-bitmap entry on a card of one FAT", kExFat,
     [](MemoryCard& m, const Geometry& g) { copyBitmapEntry(m, g, 3, 1); }, "rootDirectory",
     "holds 2 allocation-bitmap entries"},
    {"exFAT file in the root, its cluster in use", kExFat,
     [](MemoryCard& m, const Geometry& g) {
         // A file entry, its stream extension (first cluster, contiguous) and its name.
         uint8_t* dir = inCluster(m, g, g.root, 0);
         dir[96] = 0x85; // two secondary entries
         dir[97] = 2;
         dir[128] = 0xC0; // allocation possible, no FAT chain; a name of one character
         dir[129] = 3;
         dir[131] = 1;
         put32(dir + 128 + 20, g.root + 1);
         dir[128 + 8] = 100; // valid data length and data length
         dir[128 + 24] = 100;
         dir[160] = 0xC1;
         dir[162] = 'a';
         markCluster(m, g, g.root + 1, true);
     },
     nullptr, nullptr},
};

TEST(CardCheck, DamagedChainsBitmapsAndCountsAreReported) {
    ScratchDir dir("check-faults");
    std::map<uint32_t, MemoryCard> cards;
    for (const Fault& f : kFaults) {
        SCOPED_TRACE(f.name);
        if (!cards.count(f.card)) {
            cards[f.card] = formattedCard(dir, f.card);
            ASSERT_EQ(cards[f.card].check().verdict, CheckVerdict::Conforms);
        }
        MemoryCard m = cards[f.card];
        f.damage(m, geometryOf(m));
        const CardCheck c = m.check();
        EXPECT_LE(m.sectorsRead, kMostSectorsRead);
        if (!f.field) {
            EXPECT_EQ(c.verdict, CheckVerdict::Conforms)
                << (c.deviations.empty() ? c.problem : c.deviations[0].why);
            continue;
        }
        EXPECT_EQ(c.verdict, CheckVerdict::Deviates) << c.problem;
        bool shown = false;
        for (const auto& d : c.deviations)
            shown = shown || (d.field == f.field && d.why.find(f.words) != std::string::npos);
        EXPECT_TRUE(shown) << (c.deviations.empty() ? c.problem : c.deviations[0].why);
    }
}

// Bytes changed at random in every sector a check reads, and user areas cut at random: any
// verdict will do, but it must be a coherent one, reached without a crash (the sanitizers
// watch), without a read past the card and without reading more than the system area's heads.
TEST(CardCheck, RandomDamageGivesCoherentVerdicts) {
    ScratchDir dir("check-fuzz");
    std::mt19937 random(2024);  // 32-bit draws
    for (uint32_t size : {15360u, kFat16, kFat32, kExFat}) {
        const MemoryCard pristine = formattedCard(dir, size);
        std::vector<uint32_t> where;
        for (const auto& [sector, bytes] : pristine.sectors) where.push_back(sector);
        for (int round = 0; round < 3000; ++round) {
            MemoryCard m = pristine;
            const int changes = 1 + static_cast<int>(random() % 12);
            for (int i = 0; i < changes; ++i)
                *m.at(where[random() % where.size()], random() % 512) = static_cast<uint8_t>(random());
            if (round % 10 == 0) m.capacity.userSectors = static_cast<uint32_t>(1 + random() % size);
            if (round % 25 == 0) m.capacity.protectedSectors = static_cast<uint32_t>(random());
            const CardCheck c = m.check();
            ASSERT_EQ(c.verdict == CheckVerdict::Conforms, c.planKnown && c.deviations.empty() && c.problem.empty());
            if (c.verdict != CheckVerdict::Conforms && c.verdict != CheckVerdict::Deviates) {
                ASSERT_FALSE(c.problem.empty());
            }
            for (const auto& dev : c.deviations)
                ASSERT_TRUE(!dev.field.empty() && dev.why.size() > 20 && dev.why.back() == '.') << dev.why;
            ASSERT_LE(m.sectorsRead, kMostSectorsRead);
        }
    }
}

} // namespace
