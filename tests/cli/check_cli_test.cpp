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
#include "tests/check/check_cards.h"
#include "tests/cli/cli_run.h"

namespace {

using brc::CardCapacity;
using brc::CardCheck;
using brc::CheckVerdict;

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

} // namespace
