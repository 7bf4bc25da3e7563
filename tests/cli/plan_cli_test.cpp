#include <gtest/gtest.h>

#include "tests/cli/cli_run.h"

namespace {

struct WorkedLayout {
    uint32_t user, prot;
    bool adjust;
    const char* fs;
    uint32_t userAfter, sc, bu, start, reserved, fat, system, maxCluster, heads, spt;
};

// The worked layouts every format must reproduce, run end to end on virtual cards.
const WorkedLayout kLayouts[] = {
    {15360, 0, false, "FAT12", 15360, 16, 16, 25, 1, 3, 39, 957, 2, 32},
    {130800, 0, false, "FAT12", 130784, 32, 32, 39, 1, 12, 57, 4085, 8, 32},
    {130900, 0, false, "FAT16", 130900, 32, 32, 63, 1, 16, 65, 4087, 8, 32},
    {1984000, 30720, false, "FAT16", 1984000, 32, 128, 249, 1, 243, 519, 61977, 32, 63},
    {1984000, 30720, true, "FAT16", 1983744, 32, 128, 249, 1, 243, 519, 61969, 32, 63},
    {7744512, 0, false, "FAT32", 7744512, 64, 8192, 8192, 6304, 944, 8192, 120753, 128, 63},
    {62333952, 0, false, "FAT32", 62333952, 64, 8192, 8192, 1170, 7607, 16384, 973585, 255, 63},
    {67108864, 0, false, "exFAT", 67108864, 64, 8192, 8192, 8192, 8192, 24576, 1048065, 255, 63},
    {124735488, 0, false, "exFAT", 124735488, 256, 32768, 32768, 16384, 16384, 32768, 486993, 255, 63},
    {1000000000, 0, false, "exFAT", 1000000000, 512, 65536, 65536, 32768, 32768, 65536, 1952870, 255, 63},
    {4211712, 0, true, "FAT16", 4209408, 64, 8192, 15839, 1, 256, 545, 65517, 128, 63},
};

TEST(PlanCli, WorkedLayoutsComeOutOfThePlanCommand) {
    ScratchDir dir("plan");
    for (const auto& w : kLayouts) {
        SCOPED_TRACE(std::to_string(w.user) + (w.adjust ? " adjusted" : ""));
        const std::string img = (dir.path / ("c" + std::to_string(w.user) + ".img")).string();
        ASSERT_EQ(runCli("card create " + img + " --force --sectors " + std::to_string(w.user) +
                         " --protected " + std::to_string(w.prot)).status, 0);
        CliRun r = runCli("plan " + img + " --json" + (w.adjust ? " --size-adjust" : ""));
        EXPECT_EQ(r.status, 0);
        auto j = parseFlatJson(r.out);
        EXPECT_EQ(j["result"], "0");
        EXPECT_EQ(j["fsType"], w.fs);
        EXPECT_EQ(j["userSectors"], std::to_string(w.userAfter));
        EXPECT_EQ(j["sectorsPerCluster"], std::to_string(w.sc));
        EXPECT_EQ(j["boundaryUnit"], std::to_string(w.bu));
        EXPECT_EQ(j["partitionStart"], std::to_string(w.start));
        EXPECT_EQ(j["reservedSectors"], std::to_string(w.reserved));
        EXPECT_EQ(j["fatSectors"], std::to_string(w.fat));
        EXPECT_EQ(j["systemSectors"], std::to_string(w.system));
        EXPECT_EQ(j["maxCluster"], std::to_string(w.maxCluster));
        EXPECT_EQ(j["heads"], std::to_string(w.heads));
        EXPECT_EQ(j["sectorsPerTrack"], std::to_string(w.spt));
        EXPECT_EQ(j["labelBits"], "0");
    }
}

TEST(PlanCli, RefusedCapacityLeavesOutWhatWasNeverComputed) {
    ScratchDir dir("refused");
    const std::string img = (dir.path / "band.img").string();
    ASSERT_EQ(runCli("card create " + img + " --sectors 4194304").status, 0);
    CliRun r = runCli("plan " + img + " --json");
    EXPECT_EQ(r.status, 1);
    auto j = parseFlatJson(r.out);
    EXPECT_EQ(j["result"], "-1");
    for (const char* key : {"fsType", "userSectors", "heads", "partitionStart", "labelBits"})
        EXPECT_EQ(j.count(key), 0u) << key;
    // Why, as format says it: the band of sizes the layout rules leave out.
    const std::string why = "a user area of 4,194,304 sectors lies in the band from 4,153,345 to 4,211,711 sectors";
    EXPECT_NE(j["refusal"].find(why), std::string::npos) << r.out;
    const CliRun text = runCli("plan " + img, true);
    EXPECT_EQ(text.status, 1);
    EXPECT_NE(text.out.find("brindlecard: " + why + ", which the layout rules do not format."), std::string::npos)
        << text.out;
}

TEST(PlanCli, LabelBitsAndInvalidLabelResult) {
    ScratchDir dir("label");
    const std::string img = (dir.path / "c.img").string();
    ASSERT_EQ(runCli("card create " + img + " --size 64M").status, 0);
    auto j = parseFlatJson(runCli("plan " + img + " --json --label a.b").out);
    EXPECT_EQ(j["result"], "5");
    EXPECT_EQ(j["labelBits"], "1");
    j = parseFlatJson(runCli("plan " + img + " --json --label 'TWELVE CHARS'").out);
    EXPECT_EQ(j["labelBits"], "4");
    EXPECT_EQ(runCli("plan " + img + " --label 'my card'").status, 0);
}

TEST(PlanCli, UsageErrorsExitWithTwo) {
    ScratchDir dir("usage");
    const std::string img = (dir.path / "c.img").string();
    EXPECT_EQ(runCli("plan").status, 2);
    EXPECT_EQ(runCli("plan /nonexistent/card.img").status, 2);
    EXPECT_EQ(runCli("plan x y").status, 2);
    EXPECT_EQ(runCli("card create " + img + " --size 1000").status, 2) << "not whole sectors";
    EXPECT_EQ(runCli("card create " + img + " --sectors 5 --size 1M").status, 2);
    EXPECT_EQ(runCli("card create " + img + " --size 4T").status, 2) << "above 2^32 - 1 sectors";
    EXPECT_EQ(runCli("bogus").status, 2);
    EXPECT_EQ(runCli("--version").status, 0);
    EXPECT_EQ(runCli("plan --help").status, 0);
}

TEST(PlanCli, CreatedImageIsSparseAndExact) {
    ScratchDir dir("sparse");
    const auto img = dir.path / "big.img";
    ASSERT_EQ(runCli("card create " + img.string() + " --size 1T").status, 0);
    EXPECT_EQ(std::filesystem::file_size(img), uint64_t{1} << 40);
    EXPECT_EQ(runCli("card create " + img.string() + " --size 1G").status, 1) << "exists, no --force";
}

} // namespace
