#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "tests/cli/cli_run.h"

namespace {

int waitExit(pid_t pid) {
    int st = 0;
    waitpid(pid, &st, 0);
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

std::string slurp(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Waits until an overwrite has filled the first 16 MiB of the image (for runs that draw no
// progress, such as --json).
void awaitFilling(const std::string& img) {
    struct stat st {};
    for (int i = 0; i < 600 && (::stat(img.c_str(), &st) != 0 || st.st_blocks < 32768); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_GE(st.st_blocks, 32768) << "the overwrite never started";
}

// Waits until the overwrite has drawn its first progress line.
void awaitOverwrite(const std::string& outFile) {
    for (int i = 0; i < 600 && slurp(outFile).find("Стереть   0% [") == std::string::npos &&
                    slurp(outFile).find("Стереть   1% [") == std::string::npos;
         ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

TEST(FormatCli, RefusesWithoutATerminalOrYesAndWritesNothing) {
    ScratchDir dir("noterm");
    const std::string img = (dir.path / "c.img").string();
    ASSERT_EQ(runCli("card create " + img + " --size 64M").status, 0);
    EXPECT_EQ(runCli("format " + img).status, 2);
    EXPECT_EQ(std::filesystem::file_size(img), 64u << 20);
    std::ifstream in(img, std::ios::binary);
    char sector[512] = {};
    in.read(sector, sizeof sector);
    EXPECT_EQ(std::string(sector, sizeof sector), std::string(512, '\0')) << "sector 0 was written";
    EXPECT_EQ(runCli("format " + img + " --yes --type fast").status, 2);
}

TEST(FormatCli, QuickFormatReportsAndSetsTheLabel) {
    ScratchDir dir("quick");
    const std::string img = (dir.path / "c.img").string();
    ASSERT_EQ(runCli("card create " + img + " --size 256M").status, 0);
    auto j = parseFlatJson(runCli("format " + img + " --yes --json --label 'my card'").out);
    EXPECT_EQ(j["result"], "3") << "a blank card has no partition entry to keep";
    EXPECT_EQ(j["fileSystem"], "FAT");
    EXPECT_EQ(j["fsType"], "2");
    EXPECT_EQ(j["label"], "MY CARD");
    EXPECT_EQ(j["overwriteResult"], "-1");
    EXPECT_EQ(j["eraseResult"], "-1");
    CliRun again = runCli("format " + img + " --yes --label 'my card'");
    EXPECT_EQ(again.status, 0);
    EXPECT_NE(again.out.find("Форматирование диска закончено!"), std::string::npos) << again.out;
    // The label reached the card through the system's label call: the FAT16 boot sector, which
    // the format itself leaves at "NO NAME", names it too.
    auto plan = parseFlatJson(runCli("plan " + img + " --json").out);
    std::ifstream in(img, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(std::stoul(plan["partitionStart"]) * 512 + 43));
    char field[11] = {};
    in.read(field, sizeof field);
    EXPECT_EQ(std::string(field, sizeof field), "MY CARD    ");
}

size_t countOf(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// Without a terminal a log gets a line per finished stage; --progress a line per percent;
// --quiet nothing but errors. Short options and `--` work as on any Linux tool.
TEST(FormatCli, SaysAsMuchAsItIsAskedTo) {
    ScratchDir dir("speech");
    // A card whose name looks like an option, in the working directory.
    const std::string in = "cd " + dir.path.string() + " && ", img = "-c.img";
    ASSERT_EQ(runCli("card create --size 64M -- " + img, false, in).status, 0);
    const CliRun stages = runCli("format -y -L stages -t overwrite -- " + img, true, in);
    EXPECT_EQ(stages.status, 0) << stages.out;
    EXPECT_EQ(countOf(stages.out, "Стереть"), 1u) << stages.out;
    EXPECT_EQ(countOf(stages.out, "File system : FAT"), 1u) << stages.out;
    const CliRun percent = runCli("format -yt overwrite --progress -- " + img, true, in);
    EXPECT_EQ(percent.status, 0) << percent.out;
    EXPECT_GE(countOf(percent.out, "Стереть"), 50u);
    for (const char* type : {"quick", "erase"}) { // the erase loads a library of its own
        const CliRun quiet = runCli(std::string("format -qy -t ") + type + " -- " + img, true, in);
        EXPECT_EQ(quiet.status, 0) << type;
        EXPECT_EQ(quiet.out, "") << type;
    }
    EXPECT_EQ(parseFlatJson(runCli("plan --json -- " + img, false, in).out).count("partitionStart"), 1u);
    // A misused command points to its own help.
    const CliRun wrong = runCli("format -x " + img, true, in);
    EXPECT_EQ(wrong.status, 2);
    EXPECT_NE(wrong.out.find("brindlecard: unknown option -x.\nRun 'brindlecard format --help'"),
              std::string::npos)
        << wrong.out;
}

// Output into a reader that goes away at once (a pipe into head): each format still ends in
// order, its status its own, and the card holds the new file system.
TEST(FormatCli, AReaderThatGoesAwayEndsNoFormat) {
    ScratchDir dir("pipe");
    const std::string img = (dir.path / "c.img").string();
    ASSERT_EQ(runCli("card create " + img + " --size 64M").status, 0);
    for (const char* type : {"quick", "overwrite", "erase"}) {
        const std::string status = (dir.path / "status").string();
        runShell("{ " + std::string(BRINDLECARD_EXE) + " format " + img +
                 " --yes --label PIPED --type " + type + " 2>/dev/null; echo $? >" + status +
                 "; } | head -c 1 >/dev/null");
        EXPECT_EQ(slurp(status), "0\n") << type;
        const CliRun check = runCli("check " + img);
        EXPECT_EQ(check.status, 0) << type << ": " << check.out;
    }
}

TEST(FormatCli, JsonOutputIsOneObjectEvenWhenTheEraseLoadsItsOwnLibrary) {
    ScratchDir dir("json");
    const std::string img = (dir.path / "c.img").string();
    ASSERT_EQ(runCli("card create " + img + " --size 64M").status, 0);
    CliRun r = runCli("format " + img + " --yes --json --type erase");
    EXPECT_EQ(r.status, 0);
    ASSERT_FALSE(r.out.empty());
    EXPECT_EQ(r.out.front(), '{') << r.out;
    EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << "more than one line: " << r.out;
    EXPECT_EQ(parseFlatJson(r.out)["eraseResult"], "0");
}

TEST(FormatCli, InterruptCancelsTheOverwriteButStillFormats) {
    ScratchDir dir("sigint");
    const std::string img = (dir.path / "c.img").string(), out = (dir.path / "out.txt").string();
    ASSERT_EQ(runCli("card create " + img + " --size 1G").status, 0);
    pid_t pid = startCli({"format", img, "--yes", "--type", "overwrite", "--progress"}, out, true);
    awaitOverwrite(out);
    kill(pid, SIGINT);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    kill(pid, SIGINT); // a second Ctrl-C during the cancel changes nothing
    // Formatted, but not as asked: a status of its own, and the percent reached.
    EXPECT_EQ(waitExit(pid), 3);
    const std::string text = slurp(out);
    EXPECT_NE(text.find("Стереть CANCEL"), std::string::npos) << text;
    EXPECT_NE(text.find("Volume Information"), std::string::npos) << text;
    const size_t said = text.find("brindlecard: overwrite cancelled at ");
    ASSERT_NE(said, std::string::npos) << text;
    const int percent = std::stoi(text.substr(said + 36));
    EXPECT_GE(percent, 0);
    EXPECT_LT(percent, 100);
    EXPECT_NE(text.find("Стереть " + std::string(percent < 10 ? "  " : " ") + std::to_string(percent) + "% ["),
              std::string::npos)
        << "the percent said is the one drawn last: " << text;
}

TEST(FormatCli, TerminateAbandonsTheFormatAndSaysASignalStoppedIt) {
    ScratchDir dir("sigterm");
    const std::string img = (dir.path / "c.img").string(), out = (dir.path / "out.txt").string();
    ASSERT_EQ(runCli("card create " + img + " --size 1G").status, 0);
    pid_t pid = startCli({"format", img, "--yes", "--type", "overwrite", "--progress"}, out, true);
    awaitOverwrite(out);
    kill(pid, SIGTERM);
    EXPECT_EQ(waitExit(pid), 1);
    const std::string text = slurp(out);
    EXPECT_EQ(text.find("Volume Information"), std::string::npos) << text;
    EXPECT_NE(text.find("Стереть CANCEL"), std::string::npos) << text;
    // A signal, not a suspend or hibernation, and said once.
    EXPECT_EQ(text.find("Подвесные / спящий режим обнаружено"), std::string::npos) << text;
    const size_t said = text.find("brindlecard: stopped by a signal (SIGTERM)");
    EXPECT_NE(said, std::string::npos) << text;
    EXPECT_EQ(text.find("stopped by a signal", said + 20), std::string::npos) << text;
    // The card was left closed and usable: a quick format afterwards works.
    EXPECT_EQ(runCli("format " + img + " --yes --json").status, 0);
}

// Under --json nothing is drawn: the overwrite is seen by the image filling up. More signals
// during the shutdown change neither the result nor the exit status.
TEST(FormatCli, TerminateGivesResultOneAndExitOneWhateverFollows) {
    ScratchDir dir("sigterm-json");
    const std::string img = (dir.path / "c.img").string(), out = (dir.path / "out.txt").string();
    ASSERT_EQ(runCli("card create " + img + " --size 1G").status, 0);
    pid_t pid = startCli({"format", img, "--yes", "--json", "--type", "overwrite"}, out, true);
    awaitFilling(img);
    kill(pid, SIGTERM);
    kill(pid, SIGTERM);
    kill(pid, SIGINT);
    EXPECT_EQ(waitExit(pid), 1);
    const std::string text = slurp(out);
    auto json = parseFlatJson(text.substr(text.rfind('{')));
    EXPECT_EQ(json["result"], "1") << text;
    EXPECT_EQ(json["messageId"], "270") << text;
    EXPECT_EQ(json["outcome"], "failed") << text;
}

// A signal at a confirmation answers it with Cancel at once instead of waiting for a key.
TEST(FormatCli, ASignalAtTheQuestionCancelsWithoutWaitingForInput) {
    for (const int sig : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(sig);
        ScratchDir dir("sig-prompt");
        const std::string img = (dir.path / "c.img").string();
        ASSERT_EQ(runCli("card create " + img + " --size 64M").status, 0);
        int master = -1;
        const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            execl(BRINDLECARD_EXE, BRINDLECARD_EXE, "format", img.c_str(), nullptr);
            _exit(127);
        }
        std::string seen;
        char buf[512];
        for (int i = 0; i < 200 && seen.find("[OK = y") == std::string::npos; ++i) {
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, 50) > 0) {
                const ssize_t n = read(master, buf, sizeof buf);
                if (n > 0) seen.append(buf, static_cast<size_t>(n));
            }
        }
        ASSERT_NE(seen.find("[OK = y"), std::string::npos) << seen;
        kill(pid, sig);
        int st = 0;
        pid_t done = 0;
        for (int i = 0; i < 100 && (done = waitpid(pid, &st, WNOHANG)) == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (done == 0) {
            kill(pid, SIGKILL);
            waitpid(pid, &st, 0);
            ADD_FAILURE() << "still waiting for an answer after the signal";
        } else {
            EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 1);
        }
        close(master);
        EXPECT_TRUE(sectorZeroBlank(img)) << "something was written";
    }
}

// A lock on the card held by any other process refuses the run before anything is written; a
// lock file where a machine-wide lock would live refuses nothing, whoever holds it.
TEST(FormatCli, OnlyALockOnTheCardRefusesTheRun) {
    const struct { const char* held; int status; const char* messageId; const char* cause; } cases[] = {
        {"card", 1, "215", "holds a lock on"},
        {"instance", 0, "0", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.held);
        ScratchDir dir("locked");
        const std::string img = (dir.path / "c.img").string();
        ASSERT_EQ(runCli("card create " + img + " --size 64M").status, 0);
        const std::string lockPath = std::string(c.held) == "card"
                                         ? img
                                         : std::string(std::getenv("XDG_RUNTIME_DIR")) + "/VELLUMGATE.lock";
        const int fd = ::open(lockPath.c_str(), O_RDONLY | O_CREAT, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
        const CliRun r = runCli("format " + img + " --yes --json");
        ::close(fd);
        EXPECT_EQ(r.status, c.status);
        auto json = parseFlatJson(r.out);
        EXPECT_EQ(json["messageId"], c.messageId) << r.out;
        EXPECT_NE(json["cause"].find(c.cause), std::string::npos) << r.out;
        EXPECT_EQ(sectorZeroBlank(img), c.status != 0);
        // Released, the same command formats.
        EXPECT_EQ(runCli("format " + img + " --yes --json").status, 0);
    }
}

// Two runs at once: the second on the same card is refused and the first finishes with its own
// label; another card formats beside them.
TEST(FormatCli, ASecondRunOnTheSameCardIsRefusedAnotherCardFormats) {
    ScratchDir dir("two-runs");
    const std::string a = (dir.path / "a.img").string(), b = (dir.path / "b.img").string();
    const std::string out = (dir.path / "out.txt").string();
    ASSERT_EQ(runCli("card create " + a + " --size 1G").status, 0);
    ASSERT_EQ(runCli("card create " + b + " --size 64M").status, 0);
    const pid_t first = startCli({"format", a, "--yes", "--json", "--type", "overwrite", "--label", "FIRST"}, out, true);
    awaitFilling(a);
    const CliRun sameCard = runCli("format " + a + " --yes --json --label SECOND");
    const CliRun otherCard = runCli("format " + b + " --yes --json");
    EXPECT_EQ(waitExit(first), 0) << slurp(out);
    EXPECT_EQ(sameCard.status, 1);
    EXPECT_EQ(parseFlatJson(sameCard.out)["messageId"], "215") << sameCard.out;
    EXPECT_EQ(otherCard.status, 0) << otherCard.out;
    EXPECT_FALSE(sectorZeroBlank(b));
    const std::string text = slurp(out);
    EXPECT_EQ(parseFlatJson(text.substr(text.rfind('{')))["label"], "FIRST") << text;
}

// Every way a format can end that is not the report: the message the user is shown, as JSON
// (one object, with the message's id and text) and as the exit status.
struct Ending {
    const char* name;
    const char* create;   // card create options
    const char* sidecar;  // lines added to the card's sidecar
    const char* options;
    const char* outcome;
    const char* result;
    uint32_t messageId;
};
void PrintTo(const Ending& e, std::ostream* os) { *os << e.name; }

const Ending kEndings[] = {
    // Identification fails whatever the driver's code: the card is not supported.
    {"IdentifyFails", "--size 64M", "fail_identify = 0x300\n", "", "refused", "39317", 259},
    {"IdentifyFailsOutOfMemoryCode", "--size 64M", "fail_identify = 0x600\n", "", "refused", "39317", 259},
    {"WriteProtectSwitch", "--size 64M --write-protect", "", "", "refused", "39321", 209},
    {"LabelTooLong", "--size 64M", "", " --label 'TWELVE CHARS'", "refused", "5", 268},
    {"CapacityRefused", "--size 2049M", "", "", "refused", "-1", 211},
    {"FirstWriteRefused", "--size 64M", "fail_write_call = 1\nfail_write_code = 1543\n", "", "failed", "4", 222},
    // An erase chunk failing after the first: formatted, but the user is told to retry.
    {"LaterEraseChunkFails", "--size 64M", "fail_erase_call = 2\n", " --type erase", "failed", "3", 255},
    {"FirstEraseChunkFails", "--size 64M", "fail_erase_call = 1\n", " --type erase", "failed", "3", 255},
};

class FormatCliEnding : public ::testing::TestWithParam<Ending> {};

TEST_P(FormatCliEnding, ShowsItsMessageExitsOneAndPrintsOneJsonObject) {
    const Ending& e = GetParam();
    ScratchDir dir(std::string("ending-") + e.name);
    const std::string img = (dir.path / "c.img").string();
    ASSERT_EQ(runCli("card create " + img + " " + e.create).status, 0);
    std::ofstream(img + ".card", std::ios::app) << e.sidecar;

    CliRun json = runCli("format " + img + " --yes --json" + e.options);
    EXPECT_EQ(json.status, 1) << json.out;
    ASSERT_FALSE(json.out.empty());
    EXPECT_EQ(json.out.front(), '{') << json.out;
    EXPECT_EQ(json.out.find('\n'), json.out.size() - 1) << "more than one line: " << json.out;
    auto j = parseFlatJson(json.out);
    EXPECT_EQ(j["outcome"], e.outcome);
    EXPECT_EQ(j["result"], e.result);
    EXPECT_EQ(j["messageId"], std::to_string(e.messageId));
    EXPECT_FALSE(j["message"].empty());
    EXPECT_EQ(j["fileSystem"], "") << "no report, so no file system is named";

    // Without --json the same message reaches the user and no report does.
    const std::string all = std::string(BRINDLECARD_EXE) + " format " + img + " --yes" + e.options + " 2>&1";
    FILE* p = popen(all.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string text;
    char buf[512];
    for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) text.append(buf, n);
    EXPECT_EQ(WEXITSTATUS(pclose(p)), 1) << text;
    EXPECT_EQ(text.find("Volume Information"), std::string::npos) << text;
    const std::string firstLine = j["message"].substr(0, j["message"].find('\\'));  // before any escape
    EXPECT_NE(text.find(firstLine), std::string::npos) << text;
}

INSTANTIATE_TEST_SUITE_P(Rows, FormatCliEnding, ::testing::ValuesIn(kEndings),
                         [](const auto& p) { return std::string(p.param.name); });

// --verify on virtual cards of 64 MiB, the counterfeits keeping their first 32 MiB (65536
// sectors): the outcome, the sector the cause names, and the JSON's read-back figures.
struct Verified {
    const char* name;
    const char* sidecar;
    const char* type;
    int status;
    const char* cause; // empty: verified
};
void PrintTo(const Verified& v, std::ostream* os) { *os << v.name; }

class FormatCliVerify : public ::testing::TestWithParam<Verified> {};

TEST_P(FormatCliVerify, FailsACardThatDoesNotKeepWhatWasWritten) {
    const Verified& v = GetParam();
    ScratchDir dir(std::string("verify-") + v.name);
    const std::string img = (dir.path / "c.img").string();
    ASSERT_EQ(runCli("card create " + img + " --size 64M").status, 0);
    std::ofstream(img + ".card", std::ios::app) << v.sidecar;

    CliRun json = runCli("format " + img + " --yes --json --verify --type " + v.type);
    EXPECT_EQ(json.status, v.status) << json.out;
    auto j = parseFlatJson(json.out);
    EXPECT_EQ(j["cause"], v.cause);
    EXPECT_EQ(j["verified"], v.status == 0 ? "true" : "false");
    EXPECT_FALSE(j["verifyMs"].empty());
    EXPECT_EQ(j["outcome"], v.status == 0 ? "formatted" : "failed");

    CliRun text = runShell(std::string(BRINDLECARD_EXE) + " format " + img + " --yes --verify --type " +
                           v.type + " 2>&1");
    EXPECT_EQ(text.status, v.status) << text.out;
    if (v.status == 0) {
        EXPECT_NE(text.out.find("Verified: the "), std::string::npos) << text.out;
    } else {
        EXPECT_NE(text.out.find(std::string("brindlecard: ") + v.cause + "."), std::string::npos) << text.out;
        EXPECT_EQ(text.out.find("Verified"), std::string::npos) << text.out;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cards, FormatCliVerify,
    ::testing::Values(
        Verified{"GenuineQuick", "", "quick", 0, ""},
        Verified{"GenuineOverwrite", "", "overwrite", 0, ""},
        Verified{"LimboOverwrite", "counterfeit = limbo 33554432\n", "overwrite", 1,
                 "the card did not keep sector 65536: it reads back otherwise than written"},
        Verified{"WraparoundOverwrite", "counterfeit = wraparound 33554432\n", "overwrite", 1,
                 "the card did not keep sector 65536: it reads back otherwise than written"},
        // What the overwrite writes is what the lost part reads as: only the pattern before it
        // shows the loss.
        Verified{"LimboReadingWhatTheOverwriteWrites",
                 "counterfeit = limbo 33554432\nlost_reads = ones\n", "overwrite", 1,
                 "the card did not keep sector 65536: it reads back otherwise than written"},
        Verified{"GenuineOverwriteAndErase", "", "overwrite-erase", 0, ""},
        // A real part that ends inside the second FAT: a quick format loses its first sector.
        Verified{"LimboQuick", "counterfeit = limbo 40960\n", "quick", 1,
                 "the card did not keep sector 80: it reads back otherwise than written"},
        Verified{"DroppedWrite", "drop_write_call = 2\n", "quick", 1,
                 "the card did not keep sector 64: it reads back otherwise than written"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(FormatCliVerify, WithoutItALimboCardFormatsAndTheJsonIsAsBefore) {
    ScratchDir dir("verify-unasked");
    const std::string img = (dir.path / "c.img").string();
    ASSERT_EQ(runCli("card create " + img + " --size 64M").status, 0);
    std::ofstream(img + ".card") << "counterfeit = limbo 33554432\n";
    CliRun json = runCli("format " + img + " --yes --json --type overwrite");
    EXPECT_EQ(json.status, 0) << json.out;
    EXPECT_EQ(json.out.find("verif"), std::string::npos) << json.out;
}

} // namespace
