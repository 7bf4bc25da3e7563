// Several cards in one command: formatted side by side by the built command, each card's run
// on its own, a failing card leaving the others to finish; checked one after the other.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "cli/json.h"
#include "tests/cli/cli_run.h"

namespace {

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

// Virtual cards of `size` in a scratch folder: the images' paths.
std::vector<std::string> makeCards(const ScratchDir& dir, int count, const std::string& size) {
    std::vector<std::string> images;
    for (int i = 0; i < count; ++i) {
        images.push_back((dir.path / ("card" + std::to_string(i) + ".img")).string());
        EXPECT_EQ(runCli("card create " + images.back() + " --size " + size).status, 0);
    }
    return images;
}

std::string joined(const std::vector<std::string>& words) {
    std::string out;
    for (const std::string& w : words) out += " " + w;
    return out;
}

// The JSON object of each card, by its target.
std::map<std::string, std::map<std::string, std::string>> byTarget(const std::string& out) {
    std::map<std::string, std::map<std::string, std::string>> cards;
    for (const std::string& line : lines(out)) {
        auto json = brc::cli::readFlatJson(line).value_or(std::map<std::string, std::string>{});
        EXPECT_EQ(line.rfind("{\"target\":", 0), 0u) << line;
        EXPECT_EQ(cards.count(json["target"]), 0u) << "a card reported twice: " << out;
        cards[json["target"]] = json;
    }
    return cards;
}

TEST(ManyCardsCli, ThreeCardsFormatSideBySideAndEachPassesTheCheck) {
    ScratchDir dir("many-three");
    const std::vector<std::string> images = makeCards(dir, 3, "256M");
    const CliRun run = runCli("format" + joined(images) + " --yes --json --label MANY");
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(lines(run.out).size(), 3u) << run.out;
    auto cards = byTarget(run.out);
    for (const std::string& image : images) {
        SCOPED_TRACE(image);
        ASSERT_EQ(cards.count(image), 1u) << run.out;
        EXPECT_EQ(cards[image]["outcome"], "formatted");
        EXPECT_EQ(cards[image]["fileSystem"], "FAT");
        EXPECT_EQ(cards[image]["label"], "MANY");
        EXPECT_EQ(runCli("check " + image).status, 0);
    }
    // The cards checked in one command: one object per card, in the order named.
    const CliRun check = runCli("check" + joined(images) + " --json");
    EXPECT_EQ(check.status, 0) << check.out;
    const std::vector<std::string> checked = lines(check.out);
    ASSERT_EQ(checked.size(), 3u) << check.out;
    for (size_t i = 0; i < 3; ++i) {
        auto json = parseFlatJson(checked[i]);
        EXPECT_EQ(json["target"], images[i]);
        EXPECT_EQ(json["conforms"], "true") << checked[i];
    }
}

// A card whose transfers fail ends failed; the others are formatted and the status is 1, with
// and without --json.
TEST(ManyCardsCli, AFailingCardLeavesTheOthersFormatted) {
    for (const bool json : {true, false}) {
        SCOPED_TRACE(json);
        ScratchDir dir("many-fault");
        const std::vector<std::string> images = makeCards(dir, 3, "64M");
        std::ofstream(images[1] + ".card", std::ios::app) << "fail_write_call = 3\n";
        const CliRun run = runCli("format" + joined(images) + " --yes --type overwrite" + (json ? " --json" : ""));
        EXPECT_EQ(run.status, 1) << run.out;
        if (json) {
            auto cards = byTarget(run.out);
            ASSERT_EQ(cards.size(), 3u) << run.out;
            EXPECT_EQ(cards[images[1]]["outcome"], "failed");
            EXPECT_FALSE(cards[images[1]]["cause"].empty()) << run.out;
        } else {
            EXPECT_NE(run.out.find(images[1] + ": failed: "), std::string::npos) << run.out;
            EXPECT_EQ(lines(run.out).size(), 3u) << run.out;
        }
        for (const size_t ok : {0u, 2u}) {
            const std::string formatted = json ? byTarget(run.out)[images[ok]]["outcome"]
                                               : run.out.substr(run.out.find(images[ok] + ": ") + images[ok].size() + 2, 15);
            EXPECT_EQ(formatted, json ? "formatted" : "formatted (FAT)") << run.out;
            EXPECT_EQ(runCli("check " + images[ok]).status, 0) << images[ok];
        }
    }
}

// A usage error refuses the whole run: status 2, nothing on standard output, no card written.
TEST(ManyCardsCli, UsageErrorsRefuseTheWholeRunAndWriteNothing) {
    ScratchDir dir("many-usage");
    const std::vector<std::string> images = makeCards(dir, 2, "64M");
    const std::string both = joined(images);
    const std::string link = (dir.path / "link.img").string();
    ASSERT_EQ(symlink(images[0].c_str(), link.c_str()), 0);
    const struct { const char* name; std::string args; } cases[] = {
        {"no target", "format --yes --json"},
        {"--all and targets", "format --all" + both + " --yes --json"},
        {"one target missing", "format" + both + " " + (dir.path / "none.img").string() + " --yes --json"},
        {"a card named twice", "format" + both + " " + link + " --yes --json"},
        {"no terminal, no --yes", "format" + both + " --json"},
        {"a bad type", "format" + both + " --type fast --yes"},
        {"check: no target", "check --json"},
        {"check: --all and targets", "check --all" + both},
        {"check: a card named twice", "check" + both + " " + link + " --json"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const CliRun run = runCli(c.args);
        EXPECT_EQ(run.status, 2) << run.out;
        EXPECT_EQ(run.out, "");
        for (const std::string& image : images) EXPECT_TRUE(sectorZeroBlank(image)) << image;
    }
    // Among several cards checked, a missing one is that card's usage error; the others are read.
    const CliRun check = runCli("check" + both + " " + (dir.path / "none.img").string() + " --json");
    EXPECT_EQ(check.status, 2);
    ASSERT_EQ(lines(check.out).size(), 3u) << check.out;
    EXPECT_NE(parseFlatJson(lines(check.out)[2])["problem"].find("no image"), std::string::npos) << check.out;
}

// A card that may not be formatted (here an image that is no whole number of sectors) refuses
// the run before any card is written, with one object per card.
TEST(ManyCardsCli, ACardRefusedBeforeTheQuestionRefusesTheRun) {
    ScratchDir dir("many-refused");
    const std::vector<std::string> images = makeCards(dir, 2, "64M");
    const std::string odd = (dir.path / "odd.img").string();
    std::ofstream(odd) << "not a card";
    const CliRun run = runCli("format" + joined(images) + " " + odd + " --yes --json");
    EXPECT_EQ(run.status, 1);
    auto cards = byTarget(run.out);
    ASSERT_EQ(cards.size(), 3u) << run.out;
    EXPECT_EQ(cards[odd]["outcome"], "refused");
    EXPECT_NE(cards[odd]["cause"].find("512-byte sectors"), std::string::npos) << run.out;
    for (const std::string& image : images) {
        EXPECT_EQ(cards[image]["outcome"], "refused");
        EXPECT_TRUE(sectorZeroBlank(image)) << image;
    }
}

// Without a terminal the progress is a line per card and finished stage, never one per
// percent; the results are one line per card on standard output.
TEST(ManyCardsCli, WithoutATerminalEachFinishedStageIsOneLine) {
    ScratchDir dir("many-log");
    const std::vector<std::string> images = makeCards(dir, 2, "256M");
    const std::string errors = (dir.path / "errors.txt").string();
    const CliRun run = runCli("format" + joined(images) + " --yes --type overwrite 2>" + errors + " #");
    EXPECT_EQ(run.status, 0) << run.out;
    std::ifstream in(errors);
    const std::string log((std::istreambuf_iterator<char>(in)), {});
    std::vector<std::string> expected;
    for (const std::string& image : images)
        for (const char* stage : {"overwrite", "format"}) expected.push_back(image + ": " + stage + " done");
    std::vector<std::string> logged = lines(log);
    std::sort(logged.begin(), logged.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(logged, expected) << log;
    EXPECT_EQ(log.find('%'), std::string::npos) << log;
    std::vector<std::string> results = lines(run.out);
    std::sort(results.begin(), results.end());
    EXPECT_EQ(results, (std::vector<std::string>{images[0] + ": formatted (FAT)", images[1] + ": formatted (FAT)"}));
}

// Waits until every image has its first 16 MiB overwritten.
bool awaitFilling(const std::vector<std::string>& images) {
    for (int i = 0; i < 600; ++i) {
        bool all = true;
        for (const std::string& image : images) {
            struct stat st {};
            all = all && ::stat(image.c_str(), &st) == 0 && st.st_blocks >= 32768;
        }
        if (all) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

// Ctrl-C and SIGTERM reach every card's run, which then ends as a format of one does: Ctrl-C
// cancels the overwrite and still writes the file system (exit status 3), SIGTERM abandons the
// format. The command waits for every card before it exits.
TEST(ManyCardsCli, SignalsReachEveryCard) {
    const struct { int sig; int status; const char* outcome; const char* messageId; } cases[] = {
        {SIGINT, 3, "formatted", "0"},
        {SIGTERM, 1, "failed", "270"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sig);
        ScratchDir dir("many-signal");
        const std::vector<std::string> images = makeCards(dir, 2, "1G");
        const std::string out = (dir.path / "out.txt").string();
        std::vector<std::string> args{"format"};
        args.insert(args.end(), images.begin(), images.end());
        for (const char* a : {"--yes", "--json", "--type", "overwrite"}) args.push_back(a);
        const pid_t pid = startCli(args, out);
        ASSERT_TRUE(awaitFilling(images)) << "the overwrites never started";
        kill(pid, c.sig);
        int st = 0;
        waitpid(pid, &st, 0);
        EXPECT_TRUE(WIFEXITED(st)) << st;
        EXPECT_EQ(WEXITSTATUS(st), c.status);
        std::ifstream in(out);
        auto cards = byTarget(std::string((std::istreambuf_iterator<char>(in)), {}));
        ASSERT_EQ(cards.size(), 2u);
        for (const std::string& image : images) {
            EXPECT_EQ(cards[image]["outcome"], c.outcome) << image;
            EXPECT_EQ(cards[image]["messageId"], c.messageId) << image;
            if (c.sig == SIGINT) {
                EXPECT_EQ(std::stoul(cards[image]["status"]) & 4, 4u) << "overwrite cancelled";
            }
        }
    }
}

// A card's run formats only the card its starting run checked: another file behind the path
// is refused, as is a --card-run that names no inherited pipe.
TEST(ManyCardsCli, ACardsRunFormatsOnlyTheCardThatWasChecked) {
    ScratchDir dir("many-identity");
    const std::vector<std::string> images = makeCards(dir, 1, "64M");
    // The pipe is bash's, to a process that reads and drops what comes.
    const std::string script = (dir.path / "run.sh").string();
    std::ofstream(script) << "exec " << BRINDLECARD_EXE << " format " << images[0] << " --card-run 3:f:1:2"
                          << " --yes --json 3> >(cat >/dev/null) 2>/dev/null </dev/null\n";
    const CliRun other = runShell("bash " + script);
    EXPECT_EQ(other.status, 1) << other.out;
    EXPECT_NE(parseFlatJson(other.out)["cause"].find("no longer the card that was confirmed"), std::string::npos)
        << other.out;
    EXPECT_TRUE(sectorZeroBlank(images[0]));
    const CliRun noPipe = runCli("format " + images[0] + " --card-run 3:f:1:2 --yes --json 3</dev/null");
    EXPECT_EQ(noPipe.status, 2) << noPipe.out;
    EXPECT_TRUE(sectorZeroBlank(images[0]));
}

// A word for the shell, whatever bytes it holds.
std::string shellWord(const std::string& word) {
    std::string out = "'";
    for (const char c : word) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// A path as the command names it on a line: control characters escaped.
std::string shown(const std::string& text) {
    std::string out;
    for (const unsigned char c : text) {
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, c == '\n' ? "\\n" : "\\x%02x", c);
        out += c < 0x20 || c == 0x7F ? std::string(escaped) : std::string(1, char(c));
    }
    return out;
}

// The worst of the cards' statuses: formatted after a cancelled pass is better than failed.
int worstStatus(const std::vector<int>& statuses) {
    const auto rank = [](int s) { return s == 0 ? 0 : s == 3 ? 1 : s + 1; };
    int worst = 0;
    for (const int s : statuses) worst = rank(s) > rank(worst) ? s : worst;
    return worst;
}

// Cards in folders whose names are JSON's and the terminal's own characters, some of them
// write-protected or failing, end formatted together exactly as they end one by one, whatever
// the label.
TEST(ManyCardsCli, HostileNamesAndLabelsEndAsTheSameCardsOneByOne) {
    ScratchDir dir("many-hostile");
    const std::vector<std::string> folders = {"x{y", "q\"z}", "e\x1b[2Jf", "b\x07l{", "{\"target\":\"no\"}", "plain"};
    std::vector<std::string> images;
    for (int i = 0; i < 30; ++i) {
        const std::filesystem::path folder = dir.path / folders[size_t(i) % folders.size()];
        std::filesystem::create_directories(folder);
        images.push_back((folder / ("c{" + std::to_string(i) + "}\".img")).string());
    }
    const auto makeFresh = [&] {
        for (size_t i = 0; i < images.size(); ++i) {
            const std::string extra = i % 5 == 1 ? " --write-protect" : "";
            ASSERT_EQ(runCli("card create " + shellWord(images[i]) + " --size 64M --force" + extra).status, 0);
            if (i % 5 == 3) std::ofstream(images[i] + ".card", std::ios::app) << "fail_write_call = 3\n";
        }
    };
    for (const std::string label : {"A{B", "Q\"}", "\x1b]0;x\x07"}) {
        SCOPED_TRACE(shown(label));
        makeFresh();
        std::string all;
        for (const std::string& image : images) all += " " + shellWord(image);
        const CliRun many = runCli("format" + all + " --yes --json -L " + shellWord(label));
        auto cards = byTarget(many.out);
        ASSERT_EQ(cards.size(), images.size()) << many.out;
        makeFresh();
        std::vector<int> statuses;
        for (const std::string& image : images) {
            const CliRun one = runCli("format " + shellWord(image) + " --yes --json -L " + shellWord(label));
            statuses.push_back(one.status);
            auto single = brc::cli::readFlatJson(one.out.substr(0, one.out.find('\n'))).value_or(
                std::map<std::string, std::string>{});
            auto& together = cards[shown(image)];
            for (const char* key : {"outcome", "result", "messageId", "cause", "label", "fileSystem"})
                EXPECT_EQ(together[key], single[key]) << shown(image) << ": " << key;
        }
        EXPECT_EQ(many.status, worstStatus(statuses)) << many.out;
        EXPECT_NE(many.status, 0) << "the write-protected and failing cards were not formatted";
    }
}

// Every card has its own run, and a run takes no drive letter from the others: far more cards
// than letters format in one command.
TEST(ManyCardsCli, SixtyFourCardsFormatInOneCommand) {
    ScratchDir dir("many-64");
    const std::vector<std::string> images = makeCards(dir, 64, "64M");
    const CliRun run = runCli("format" + joined(images) + " --yes --json");
    EXPECT_EQ(run.status, 0) << run.out;
    auto cards = byTarget(run.out);
    ASSERT_EQ(cards.size(), 64u) << run.out;
    for (const std::string& image : images) EXPECT_EQ(cards[image]["outcome"], "formatted") << image;
    EXPECT_EQ(runCli("check" + joined(images)).status, 0);
}

// Cards' runs start as the open-file limit leaves room: under a low limit they take turns, and
// where it leaves room for none each card says so, naming the limit, with a status the manual
// lists.
TEST(ManyCardsCli, TheOpenFileLimitMakesCardsTakeTurnsOrSaysWhy) {
    ScratchDir dir("many-limit");
    const std::vector<std::string> images = makeCards(dir, 23, "64M");
    const CliRun turns = runShell("prlimit --nofile=40 " + std::string(BRINDLECARD_EXE) + " format" + joined(images) +
                                  " --yes --json 2>/dev/null </dev/null");
    EXPECT_EQ(turns.status, 0) << turns.out;
    auto cards = byTarget(turns.out);
    ASSERT_EQ(cards.size(), images.size()) << turns.out;
    for (const std::string& image : images) EXPECT_EQ(cards[image]["outcome"], "formatted") << image;

    // Standard input, output and error and a few more leave nothing for a run's pipes.
    const CliRun none = runShell("prlimit --nofile=12 " + std::string(BRINDLECARD_EXE) + " format" + joined(images) +
                                 " --yes --json 2>/dev/null </dev/null");
    EXPECT_EQ(none.status, 1) << none.out;
    cards = byTarget(none.out);
    ASSERT_EQ(cards.size(), images.size()) << none.out;
    for (const std::string& image : images) {
        EXPECT_EQ(cards[image]["outcome"], "failed") << image;
        EXPECT_NE(cards[image]["cause"].find("ulimit -n 12"), std::string::npos) << cards[image]["cause"];
    }
}

} // namespace
