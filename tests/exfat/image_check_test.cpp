// Independent check: the system area written into an image that holds just the partition must
// satisfy fsck.exfat, and exfatlabel and dump.exfat must read back the label and free space.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "exfat_test_support.h"

using namespace brc;
using namespace brc::exfat_test;

namespace {

#if !defined(_WIN32)

struct ToolRun {
    int status = -1;
    std::string output;
};

ToolRun run(const std::string& command) {
    ToolRun result;
    std::FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (!pipe) return result;
    char line[512];
    while (std::fgets(line, sizeof line, pipe)) result.output += line;
    result.status = pclose(pipe);
    return result;
}

// Where an exfatprogs tool lives (sbin is often not on a test's PATH); empty when missing.
std::string toolPath(const char* name) {
    for (const char* dir : {"/usr/sbin/", "/sbin/", "/usr/bin/"})
        if (std::filesystem::exists(std::string(dir) + name)) return std::string(dir) + name;
    return {};
}

// The number after `field` in dump.exfat's listing, or -1.
long long fieldValue(const std::string& output, const std::string& field) {
    const size_t at = output.find(field);
    if (at == std::string::npos) return -1;
    size_t i = at + field.size();
    while (i < output.size() && (output[i] == ' ' || output[i] == '\t')) ++i;
    if (i >= output.size() || output[i] < '0' || output[i] > '9') return -1;
    return std::stoll(output.substr(i));
}

struct ImageCase {
    const char* name;
    LayoutRow row;
    const char16_t* label;
    const char* labelUtf8;
};

const ImageCase kImageCases[] = {
    {"Card32GiB", k32GiB, u"BRINDLE", "BRINDLE"},
    {"Card64GiB", k64GiB, u"Карта 64", "Карта 64"},
    {"Card1e9", k1e9, u"ELEVENCHARS", "ELEVENCHARS"},
};

class ImageCheck : public ::testing::TestWithParam<ImageCase> {};

TEST_P(ImageCheck, FsckAcceptsTheVolumeAndToolsReadItBack) {
    for (const char* tool : {"fsck.exfat", "exfatlabel", "dump.exfat"})
        if (toolPath(tool).empty()) GTEST_SKIP() << tool << " (exfatprogs) is not installed";

    const ImageCase& c = GetParam();
    FormatParameters p = exFatParams(c.row);
    const uint64_t volumeBytes = uint64_t{c.row.userSectors - c.row.partitionStart} * 512;
    const std::filesystem::path image = std::filesystem::temp_directory_path() /
                                        (std::string("brc_exfat_") + c.name + "_" +
                                         std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                                         ".img");
    {
        Rig rig;
        ExFatState state;
        ASSERT_EQ(writeSystemArea(rig, p, c.row.userSectors, state, c.label), 0u);
        for (const auto& [first, count] : rig.card.written())
            EXPECT_GE(first, c.row.partitionStart) << "write before the partition";
        ASSERT_TRUE(rig.card.writeImage(image, c.row.partitionStart, volumeBytes / 512));  // sparse
    }
    ASSERT_EQ(std::filesystem::file_size(image), volumeBytes);

    const std::string quoted = "'" + image.string() + "'";
    const ToolRun fsck = run(toolPath("fsck.exfat") + " -n " + quoted);
    EXPECT_EQ(fsck.status, 0) << fsck.output;
    EXPECT_NE(fsck.output.find("clean"), std::string::npos) << fsck.output;

    const ToolRun label = run("LC_ALL=C.UTF-8 " + toolPath("exfatlabel") + " " + quoted);
    EXPECT_EQ(label.status, 0) << label.output;
    EXPECT_NE(label.output.find(std::string("label: ") + c.labelUtf8), std::string::npos)
        << label.output;

    // Clusters 2 up to the root directory's are the only ones in use.
    const ToolRun dump = run(toolPath("dump.exfat") + " " + quoted);
    EXPECT_EQ(dump.status, 0) << dump.output;
    const uint32_t clusters = p.maxCluster - 1;
    const uint32_t free = clusters - (p.rootFirstCluster - 1);
    EXPECT_EQ(fieldValue(dump.output, "Free Clusters:"), free) << dump.output;
    EXPECT_EQ(fieldValue(dump.output, "Cluster Count:"), clusters) << dump.output;
    EXPECT_EQ(fieldValue(dump.output, "Root Cluster (cluster offset):"), p.rootFirstCluster)
        << dump.output;

    std::filesystem::remove(image);
}

INSTANTIATE_TEST_SUITE_P(Layouts, ImageCheck, ::testing::ValuesIn(kImageCases),
                         [](const auto& param) { return std::string(param.param.name); });

#endif

} // namespace
