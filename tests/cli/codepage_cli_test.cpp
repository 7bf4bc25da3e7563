// FAT labels in the user's script: the command takes the OEM code page from the locale or from
// --codepage, and tools that know nothing of ours read the label back in that page.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <fstream>
#include <sstream>
#include <string>

#include "tests/cli/cli_run.h"

namespace {

CliRun runTool(const std::string& command) { return runShell(command + " 2>&1 </dev/null"); }

// The command under a locale; the empty variables count as unset.
CliRun runIn(const std::string& lang, const std::string& args) {
    return runTool("LC_ALL= LC_CTYPE= LANG=" + lang + " " BRINDLECARD_EXE " " + args);
}

// fsck.fat 4.2 compares each label byte, as a signed char, with 0x20, so it calls every label
// with a byte above 0x7F invalid, its own mkfs.fat's included. That one complaint is all it may
// say of these cards.
void expectFsckClean(const std::string& partition) {
    const CliRun fsck = runTool("fsck.fat -n " + partition);
    std::istringstream lines(fsck.out);
    for (std::string line; std::getline(lines, line);) {
        const bool expected =
            line.empty() || line.rfind("fsck.fat ", 0) == 0 || line == "Leaving filesystem unchanged." ||
            line.rfind(partition + ": 1 files, ", 0) == 0 || line == "  Auto-removing label." ||
            (line.rfind("Volume label '", 0) == 0 &&
             line.find("' stored in root directory is not valid.") != std::string::npos);
        EXPECT_TRUE(expected) << "fsck.fat complains: " << line << "\n" << fsck.out;
    }
    EXPECT_LE(fsck.status, 1) << fsck.out;
}

TEST(CodePageCli, TheLabelIsStoredInTheLocalesPageOrTheOneAskedFor) {
    const struct {
        const char* lang;
        const char* option;
        const char* label;
        const char* stored;  // as the format reports it and mlabel reads it
        unsigned page;       // mtools' page
    } kCases[] = {
        {"ru_RU.UTF-8", "", "ФОТО", "ФОТО", 866},
        {"ru_RU.UTF-8", "", "фото 1", "ФОТО 1", 866},
        {"ja_JP.UTF-8", "", "写真", "写真", 932},
        {"ja_JP.UTF-8", "", "写真ｱﾙﾊﾞﾑ", "写真ｱﾙﾊﾞﾑ", 932},
        {"C.UTF-8", " --codepage 936", "中文", "中文", 936},
        {"ru_RU.UTF-8", " --codepage 950", "繁體", "繁體", 950},
        {"de_DE.UTF-8", "", "ÉTÉ", "ÉTÉ", 850},
    };
    ScratchDir dir("codepage");
    const std::string img = (dir.path / "c.img").string();
    const std::string partition = (dir.path / "p.img").string();
    const std::string config = (dir.path / "mtoolsrc").string();
    ASSERT_EQ(runCli("card create " + img + " --size 64M").status, 0);
    for (const auto& c : kCases) {
        SCOPED_TRACE(std::string(c.lang) + c.option + " " + c.label);
        const CliRun run = runIn(c.lang, "format " + img + " --yes --json --label '" + c.label + "'" + c.option);
        ASSERT_EQ(run.status, 0) << run.out;
        auto formatted = parseFlatJson(run.out.substr(run.out.rfind('{')));
        EXPECT_EQ(formatted["label"], c.stored) << run.out;
        const auto plan = parseFlatJson(runCli("plan " + img + " --json").out);
        const uint64_t start = std::stoull(plan.at("partitionStart"));
        std::ofstream(config) << "mtools_skip_check=1\ndefault_codepage=" << c.page << "\n";
        const CliRun read = runTool("LC_ALL=C.UTF-8 MTOOLSRC=" + config + " mlabel -s -i " + img +
                                    "@@" + std::to_string(start * 512) + " ::");
        std::string shown = read.out;
        while (!shown.empty() && (shown.back() == ' ' || shown.back() == '\n')) shown.pop_back();
        EXPECT_EQ(shown, " Volume label is " + std::string(c.stored)) << read.out;
        ASSERT_EQ(runTool("dd if=" + img + " of=" + partition + " bs=512 skip=" + std::to_string(start) +
                          " count=" + formatted["partitionSectors"] + " conv=sparse status=none").status, 0);
        expectFsckClean(partition);
    }
}

TEST(CodePageCli, ThePlanChecksTheLabelInThePageAndABadPageIsAUsageError) {
    ScratchDir dir("codepage-plan");
    const std::string img = (dir.path / "c.img").string();
    ASSERT_EQ(runCli("card create " + img + " --size 64M").status, 0);
    const struct {
        const char* lang;
        const char* args;
        int status;
        const char* says;  // in the JSON result or the usage message
    } kCases[] = {
        {"ru_RU.UTF-8", "plan IMG --json --label ФОТО", 0, "\"result\":0"},
        {"C.UTF-8", "plan IMG --json --label ФОТО", 1, "\"result\":5"},  // not in page 437
        {"C.UTF-8", "plan IMG --json --label ФОТО --codepage 866", 0, "\"result\":0"},
        {"C.UTF-8", "plan IMG --codepage 1251", 2, "takes 437, 850, 866, 932, 936 and 950"},
        {"C.UTF-8", "format IMG --yes --codepage cp866", 2, "--codepage 'cp866' is not a number"},
        {"C.UTF-8", "format IMG --yes --codepage", 2, "--codepage needs a value"},
    };
    for (const auto& c : kCases) {
        std::string args = c.args;
        args.replace(args.find("IMG"), 3, img);
        const CliRun run = runIn(c.lang, args);
        EXPECT_EQ(run.status, c.status) << c.args << "\n" << run.out;
        EXPECT_NE(run.out.find(c.says), std::string::npos) << c.args << "\n" << run.out;
    }
}

} // namespace
