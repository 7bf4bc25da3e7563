// Quick formats through the command from the smallest card to the largest user area, each
// checked by tools that know nothing of ours: fsck.fat or fsck.exfat on the partition, and
// mlabel or exfatlabel reading the label back.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <regex>
#include <sstream>
#include <ostream>
#include <string>
#include <vector>

#include "tests/cli/cli_run.h"
#include "tests/format/format_rig.h"

namespace brc::format_test {
namespace {

struct ToolRun {
    int status = -1;
    std::string out; // stdout and stderr together
};

ToolRun runTool(const std::string& command) {
    ToolRun r;
    FILE* p = popen((command + " 2>&1 </dev/null").c_str(), "r");
    if (!p) return r;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
    const int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

std::string trimRight(std::string s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.pop_back();
    return s;
}

// The partition as a file of its own, as a checker wants it: sparse, with only the image's
// allocated ranges inside the partition copied over.
void extractPartition(const std::string& image, const std::string& partition, uint64_t firstSector,
                      uint64_t sectors) {
    const int in = ::open(image.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(in, 0);
    const int out = ::open(partition.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(out, 0);
    const off_t begin = static_cast<off_t>(firstSector * 512);
    const off_t end = static_cast<off_t>((firstSector + sectors) * 512);
    ASSERT_EQ(::ftruncate(out, end - begin), 0);
    std::vector<char> buf(size_t{1} << 20);
    off_t pos = begin;
    while (pos < end) {
        const off_t data = ::lseek(in, pos, SEEK_DATA);
        if (data < 0 || data >= end) break;
        off_t hole = ::lseek(in, data, SEEK_HOLE);
        if (hole > end) hole = end;
        for (off_t at = data; at < hole;) {
            const size_t n = static_cast<size_t>(std::min<off_t>(hole - at, static_cast<off_t>(buf.size())));
            ASSERT_EQ(::pread(in, buf.data(), n, at), static_cast<ssize_t>(n));
            ASSERT_EQ(::pwrite(out, buf.data(), n, at - begin), static_cast<ssize_t>(n));
            at += static_cast<off_t>(n);
        }
        pos = hole;
    }
    ::close(in);
    ::close(out);
}

std::string upperAscii(std::string s) {
    for (char& ch : s) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    return s;
}

// fsck.fat on a fresh volume: the label lives only in the root directory until the system
// writes it, and FAT32's FSInfo leaves the free count unset. Everything else is a complaint.
void expectFatClean(const ToolRun& fsck, const std::string& label, bool fat32, uint32_t clusters) {
    static const std::regex summary(R"(^.*: (\d+) files, (\d+)/(\d+) clusters$)");
    static const std::regex freeSummary(R"(^Free cluster summary uninitialized \(should be (\d+)\)$)");
    bool sawSummary = false;
    uint64_t used = 0;
    std::vector<std::string> complaints;
    for (const std::string& line : lines(fsck.out)) {
        std::smatch m;
        if (line.empty() || line.rfind("fsck.fat ", 0) == 0 || line == "Leaving filesystem unchanged.")
            continue;
        if (line == "There is no label in boot sector, but there is volume label '" + label +
                        "' stored in root directory" ||
            line == "  Auto-copying volume label from root directory to boot sector.")
            continue;
        if (std::regex_match(line, m, summary)) {
            sawSummary = true;
            used = std::stoull(m[2]);
            EXPECT_EQ(m[1], "1") << "the label entry is the one file";
            EXPECT_EQ(std::stoull(m[3]), clusters) << line;
            EXPECT_EQ(used, fat32 ? 1u : 0u) << line;
            continue;
        }
        if (fat32 && std::regex_match(line, m, freeSummary)) {
            EXPECT_EQ(std::stoull(m[1]), clusters - 1u) << line;
            continue;
        }
        complaints.push_back(line);
    }
    EXPECT_TRUE(complaints.empty()) << "fsck.fat complains:\n" << fsck.out;
    EXPECT_TRUE(sawSummary) << fsck.out;
    EXPECT_LE(fsck.status, 1) << fsck.out;
}

// fsck.exfat must find nothing at all.
void expectExFatClean(const ToolRun& fsck) {
    std::vector<std::string> complaints;
    for (const std::string& line : lines(fsck.out)) {
        if (line.rfind("exfatprogs version", 0) == 0) continue;
        if (line.find(": clean. directories 1, files 0") != std::string::npos) continue;
        complaints.push_back(line);
    }
    EXPECT_TRUE(complaints.empty()) << "fsck.exfat complains:\n" << fsck.out;
    EXPECT_EQ(fsck.status, 0) << fsck.out;
}

struct SweepCase {
    const char* name;
    uint64_t userSectors, protectedSectors;
    bool sizeAdjust;
    const char* label;
    const char* fsType;
    uint32_t boundaryUnit;
    bool twice; // format again: the card's partition entry then matches
};
void PrintTo(const SweepCase& c, std::ostream* os) { *os << c.name; }

const SweepCase kSweep[] = {
    {"OneCluster", 80, 0, false, "tiny", "FAT12", 16, false},
    {"OneMiB", 2048, 0, true, "one meg", "FAT12", 16, false},
    {"Total16384", 16384, 0, false, "LIMIT16", "FAT12", 16, false},
    {"ProtectedRaisesBoundary", 16000, 385, false, "PROT", "FAT12", 32, false},
    {"Fat12Adjusted", 65500, 0, true, "ADJ", "FAT12", 32, false},
    {"Fat12Lowered", 130800, 0, false, "LOWERED", "FAT12", 32, false},
    {"Fat16Smallest", 130900, 0, false, "FAT16 MIN", "FAT16", 32, false},
    {"Fat16At64MiB", 131072, 0, false, "my card", "FAT16", 32, true},
    {"Fat16ProtectedAdjusted64", 200000, 1000, true, "ADJ64", "FAT16", 64, false},
    {"Fat16At256MiB", 524288, 0, false, "Q256", "FAT16", 64, false},
    {"Fat16ProtectedAdjusted128", 1984000, 30720, true, "SD 1G", "FAT16", 128, false},
    {"Fat16At1GiB", 2097152, 0, false, "ONE GIG", "FAT16", 128, false},
    {"Fat16BelowRefusedBand", 4153344, 0, false, "BAND", "FAT16", 128, false},
    {"Fat16AboveBandAdjusted", 4211712, 0, true, "LOW16", "FAT16", 8192, false},
    {"Fat32Smallest", 4211712, 0, false, "MIN32", "FAT32", 8192, false},
    {"Fat32", 7744512, 0, false, "SDHC", "FAT32", 8192, true},
    {"Fat32At30GiBAdjusted", 62333952, 0, true, "THIRTY", "FAT32", 8192, false},
    {"Fat32Largest", 67108863, 0, false, "MAX32", "FAT32", 8192, false},
    {"ExFatSmallest", 67108864, 0, false, "Ex 32G", "exFAT", 8192, true},
    {"ExFatAdjusted", 124735488, 0, true, "sixty-four", "exFAT", 32768, false},
    {"ExFatProtectedRaisesBoundary", 268435455, 2, false, "Grenze", "exFAT", 65536, false},
    {"ExFat1e9", 1000000000, 0, false, "Giga", "exFAT", 65536, false},
    {"ExFat512GiBAdjusted", 1073741824, 0, true, "Half TiB", "exFAT", 65536, false},
    {"ExFatLargestBoundary", 1073741825, 0, false, "BU128K", "exFAT", 131072, false},
    {"ExFatLargestAdjusted", 4294967295u, 0, true, "Max 2TiB", "exFAT", 131072, false},
    {"ExFatLargestProtected", 4294967295u, 100000, false, "MaxProt", "exFAT", 131072, false},
};

class CapacitySweep : public ::testing::TestWithParam<SweepCase> {};

TEST_P(CapacitySweep, IndependentCheckersAcceptTheVolumeAndReadTheLabel) {
    const SweepCase& c = GetParam();
    ScratchDir dir(std::string("sweep-") + c.name);
    const std::string image = (dir.path / "card.img").string();
    const std::string partition = (dir.path / "partition.img").string();
    const std::string options = std::string(" --label '") + c.label + "'" + (c.sizeAdjust ? " --size-adjust" : "");
    ASSERT_EQ(runCli("card create " + image + " --sectors " + std::to_string(c.userSectors) +
                     " --protected " + std::to_string(c.protectedSectors)).status, 0);

    auto plan = parseFlatJson(runCli("plan " + image + " --json" + options).out);
    ASSERT_EQ(plan["result"], "0");
    ASSERT_EQ(plan["fsType"], c.fsType);
    ASSERT_EQ(plan["boundaryUnit"], std::to_string(c.boundaryUnit));
    const uint64_t start = std::stoull(plan["partitionStart"]);
    const uint64_t userSectors = std::stoull(plan["userSectors"]);
    const uint32_t clusters = static_cast<uint32_t>(std::stoul(plan["maxCluster"]) - 1);
    const bool exfat = std::string(c.fsType) == "exFAT";
    const std::string label = exfat ? c.label : upperAscii(c.label);

    for (int round = 0; round < (c.twice ? 2 : 1); ++round) {
        SCOPED_TRACE(round == 0 ? "fresh card" : "formatted again");
        CliRun format = runCli("format " + image + " --yes --json" + options);
        ASSERT_EQ(format.status, 0) << format.out;
        auto result = parseFlatJson(format.out);
        EXPECT_EQ(result["result"], round == 0 ? "3" : "0");
        EXPECT_EQ(result["label"], label);
        EXPECT_EQ(result["labelRejected"], "0");

        // The partition entry, read from the card: where the planned partition starts and
        // ends, so a checker given this partition sees the volume the plan promised.
        ImageFile file(image);
        const Sector mbr = file.read(0);
        ASSERT_EQ(le16(mbr.data() + 510), 0xAA55);
        ASSERT_EQ(le32(mbr.data() + 454), start);
        ASSERT_EQ(le32(mbr.data() + 458), userSectors - start);

        extractPartition(image, partition, start, userSectors - start);
        if (exfat) {
            expectExFatClean(runTool("fsck.exfat -n " + partition));
            const ToolRun read = runTool("exfatlabel " + partition);
            EXPECT_EQ(read.status, 0) << read.out;
            EXPECT_NE(read.out.find("\nlabel: " + label + "\n"), std::string::npos) << read.out;
        } else {
            expectFatClean(runTool("fsck.fat -n " + partition), label, std::string(c.fsType) == "FAT32", clusters);
            const ToolRun read = runTool("mlabel -s -i " + image + "@@" + std::to_string(start * 512) + " ::");
            EXPECT_EQ(read.status, 0) << read.out;
            EXPECT_EQ(trimRight(read.out), " Volume label is " + label) << read.out;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Cards, CapacitySweep, ::testing::ValuesIn(kSweep),
                         [](const auto& p) { return std::string(p.param.name); });

// The label step of a FAT32 format leaves the card clean, and so does the Linux label call on
// its own (no repair after it): FAT entry 1 keeps its clean-shutdown bit, and it and FSInfo hold
// what the same format writes without a label step, so fsck.fat finds neither a dirty volume nor
// a wrong free count, and mlabel reads the label.
TEST(LabelStep, LeavesAFat32CardAsTheFormatWroteIt) {
    constexpr uint32_t kSectors = 7744512;
    ScratchDir dir("label-step");
    const std::string image = (dir.path / "card.img").string();
    const std::string partition = (dir.path / "partition.img").string();
    FakeRig rig(kSectors, 0);
    FormatPlan plan;
    ASSERT_EQ(planFormat(rig.driver, u"", false, &plan), 0u);
    ASSERT_EQ(plan.params.fsType, static_cast<uint32_t>(Fat32));
    std::u16string formatLabel = u"NAME";
    ASSERT_EQ(formatVolume(rig.ctx, formatLabel, false), SuccessReinsertCard);
    const FormatParameters& p = plan.params;
    const uint64_t start = p.partitionStart, fat1 = start + p.reservedSectors;

    const auto expectClean = [&](const std::string& label) {
        ImageFile file(image);
        for (uint64_t s : {start + 1, start + 7, fat1, fat1 + p.fatSectors})
            EXPECT_EQ(file.read(s), rig.card.get(static_cast<uint32_t>(s))) << "sector " << s;
        for (uint64_t fat : {fat1, fat1 + p.fatSectors})
            EXPECT_NE(le32(file.read(fat).data() + 4) & 0x08000000u, 0u) << "FAT at " << fat;
        extractPartition(image, partition, start, plan.userSectors - start);
        const ToolRun fsck = runTool("fsck.fat -n " + partition);
        expectFatClean(fsck, label, true, p.maxCluster - 1);
        EXPECT_EQ(fsck.out.find("irty"), std::string::npos) << fsck.out;
        EXPECT_EQ(fsck.out.find("Free cluster summary wrong"), std::string::npos) << fsck.out;
        const ToolRun read = runTool("MTOOLS_SKIP_CHECK=1 mlabel -s -i " + image + "@@" +
                                     std::to_string(start * 512) + " ::");
        EXPECT_EQ(read.status, 0) << read.out;
        EXPECT_EQ(trimRight(read.out), " Volume label is " + label) << read.out;
    };

    ASSERT_EQ(runCli("card create " + image + " --sectors " + std::to_string(kSectors)).status, 0);
    // A blank card is asked to be reinserted; the label step comes with the second format.
    for (int round = 0; round < 2; ++round) {
        const CliRun format = runCli("format " + image + " --label NAME --yes");
        ASSERT_EQ(format.status, 0) << format.out;
    }
    {
        SCOPED_TRACE("formatted with a label");
        expectClean("NAME");
    }
    CardsVariable cards(image);
    ASSERT_TRUE(test::systemOs().setVolumeLabel(u"Z:\\", u"renamed"));
    SCOPED_TRACE("labelled again by the Linux label call alone");
    expectClean("RENAMED");
}

// Below 80 sectors the smallest FAT12 layout leaves no room for a single data cluster: such a
// card must not come out of a format as a volume the checkers reject.
TEST(TinyCard, TooSmallForADataClusterIsRefusedAndEightySectorsFormat) {
    ScratchDir dir("tiny");
    const std::string partition = (dir.path / "partition.img").string();
    for (uint64_t sectors : {64u, 79u, 80u}) {
        SCOPED_TRACE(std::to_string(sectors) + " sectors");
        const std::string image = (dir.path / ("c" + std::to_string(sectors) + ".img")).string();
        ASSERT_EQ(runCli("card create " + image + " --sectors " + std::to_string(sectors)).status, 0);
        CliRun format = runCli("format " + image + " --yes --json --label TINY");
        if (sectors < 80) {
            EXPECT_EQ(format.status, 1) << "no room for one cluster: refused before writing";
            EXPECT_EQ(ImageFile(image).read(0), Sector{}) << "sector 0 was written";
            continue;
        }
        ASSERT_EQ(format.status, 0);
        const uint64_t start = le32(ImageFile(image).read(0).data() + 454);
        extractPartition(image, partition, start, sectors - start);
        const ToolRun fsck = runTool("fsck.fat -n " + partition);
        EXPECT_LE(fsck.status, 1) << "formatted, but fsck.fat rejects the volume:\n" << fsck.out;
        EXPECT_EQ(fsck.out.find("no space for any data clusters"), std::string::npos) << fsck.out;
    }
}

} // namespace
} // namespace brc::format_test
