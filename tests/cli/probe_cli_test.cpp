// brindlecard probe through the built command: verdicts of genuine and counterfeit virtual cards
// probed side by side, each card's content the same afterwards, a pulled card's saved sectors
// put back by --restore, and the usage errors.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "cli/json.h"
#include "tests/cli/cli_run.h"

namespace {

namespace fs = std::filesystem;

std::string fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

// A card of `size` with `sidecar` lines added, and the user's data over its first `dataMiB`.
std::string makeCard(const ScratchDir& dir, const std::string& name, const std::string& size,
                     const std::string& sidecar, int dataMiB) {
    const std::string image = (dir.path / name).string();
    EXPECT_EQ(runCli("card create " + image + " --size " + size).status, 0);
    std::ofstream(image + ".card", std::ios::app) << sidecar;
    std::fstream out(image, std::ios::binary | std::ios::in | std::ios::out);
    std::string chunk(1 << 20, '\0');
    for (int m = 0; m < dataMiB; ++m) {
        for (size_t i = 0; i < chunk.size(); ++i)
            chunk[i] = static_cast<char>((i * 131 + m * 7 + i / 512) | 1);
        out.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    }
    return image;
}

// The probes' saved sectors go to a state folder of the test's own, never the user's.
std::string stateFolder(const ScratchDir& dir) {
    const fs::path state = dir.path / "state";
    setenv("XDG_STATE_HOME", state.c_str(), 1);
    return (state / "brindlecard").string();
}

std::vector<std::string> undoFiles(const std::string& folder) {
    std::vector<std::string> found;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(folder, ec))
        if (e.path().extension() == ".undo") found.push_back(e.path().string());
    return found;
}

std::vector<std::map<std::string, std::string>> objects(const std::string& out) {
    std::vector<std::map<std::string, std::string>> all;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);)
        all.push_back(brc::cli::readFlatJson(line).value_or(std::map<std::string, std::string>{}));
    return all;
}

struct Expected {
    const char* name;
    const char* sidecar;
    const char* verdict;
    const char* kind;
    uint64_t realSectors;
};

TEST(ProbeCli, CardsSideBySideGetTheirVerdictsAndKeepTheirContent) {
    ScratchDir dir("probe_cli");
    const std::string state = stateFolder(dir);
    const std::vector<Expected> cards{
        {"genuine.img", "cache = 1048576\n", "genuine", "none", 262144},
        {"wrap.img", "counterfeit = wraparound 4194304\ncache = 262144\n", "counterfeit",
         "wraparound", 8192},
        {"limbo.img", "counterfeit = limbo 67108864\ncache = 1048576\n", "counterfeit", "limbo",
         131072},
    };
    std::string targets;
    std::map<std::string, std::string> before;
    for (const Expected& c : cards) {
        const std::string image = makeCard(dir, c.name, "128M", c.sidecar, 1);
        before[image] = fileBytes(image);
        targets += " " + image;
    }
    const CliRun run = runCli("probe --json" + targets);
    EXPECT_EQ(run.status, 1) << run.out; // two are counterfeit
    const auto found = objects(run.out);
    ASSERT_EQ(found.size(), cards.size()) << run.out;
    for (auto object : found) {
        const Expected* c = nullptr;
        for (const Expected& e : cards)
            if (fs::path(object["target"]).filename() == e.name) c = &e;
        ASSERT_TRUE(c) << object["target"];
        EXPECT_EQ(object["verdict"], c->verdict) << c->name;
        EXPECT_EQ(object["kind"], c->kind) << c->name;
        EXPECT_EQ(object["announcedSectors"], "262144") << c->name;
        const uint64_t usable = std::stoull(object["usableSectors"]);
        EXPECT_LE(usable, c->realSectors) << c->name;
        EXPECT_GE(usable, c->realSectors * 99 / 100) << c->name;
        EXPECT_EQ(object["restored"], "true") << c->name;
        EXPECT_TRUE(before[object["target"]] == fileBytes(object["target"]))
            << c->name << " changed";
        EXPECT_NE(object["cacheRuledOutBytes"], "") << c->name;
    }
    EXPECT_TRUE(undoFiles(state).empty()); // all was put back: nothing is kept
}

TEST(ProbeCli, AGenuineCardExitsZeroWithOneLine) {
    ScratchDir dir("probe_cli");
    stateFolder(dir);
    const std::string image = makeCard(dir, "card.img", "64M", "", 1);
    const CliRun run = runCli("probe " + image);
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_NE(run.out.find(": genuine, holds the 67,108,864 bytes (67.1 MB) it announces;"),
              std::string::npos)
        << run.out;
}

TEST(ProbeCli, APulledCardsSectorsArePutBackByRestoreOnThatCardOnly) {
    ScratchDir dir("probe_cli");
    const std::string state = stateFolder(dir);
    const std::string image =
        makeCard(dir, "card.img", "64M", "counterfeit = wraparound 8388608\n", 8);
    const std::string before = fileBytes(image);
    std::ofstream(image + ".card", std::ios::app) << "vanish_after_writes = 40\n";
    const CliRun run = runCli("probe --json " + image);
    EXPECT_EQ(run.status, 1);
    auto object = brc::cli::readFlatJson(run.out).value_or(std::map<std::string, std::string>{});
    EXPECT_EQ(object["verdict"], "not-probed") << run.out;
    EXPECT_EQ(object["restored"], "false");
    const std::string undo = object["undoFile"];
    ASSERT_TRUE(fs::exists(undo)) << run.out;
    EXPECT_EQ(fs::path(undo).parent_path(), state);
    EXPECT_EQ(undoFiles(state).size(), 1u); // what was left took the whole file's place
    // The user's alone: it holds what the card held.
    struct stat st {};
    ASSERT_EQ(::stat(undo.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_FALSE(fileBytes(image) == before);

    // A card of another size, and one of the same size with other data, are not the one the
    // file was saved from; --force puts it back on the latter all the same.
    const std::string smaller = makeCard(dir, "smaller.img", "32M", "", 0);
    const std::string other = makeCard(dir, "other.img", "64M", "", 0);
    for (const std::string& card : {smaller, other}) {
        const CliRun wrong = runCli("probe --restore " + undo + " " + card, true);
        EXPECT_EQ(wrong.status, 1) << wrong.out;
        EXPECT_NE(wrong.out.find("is not the card"), std::string::npos) << wrong.out;
        EXPECT_NE(wrong.out.find("nothing was written"), std::string::npos) << wrong.out;
        EXPECT_TRUE(sectorZeroBlank(card));
    }
    fs::copy_file(undo, dir.path / "copy.undo");
    const std::string blank = fileBytes(other);
    EXPECT_EQ(runCli("probe --restore " + (dir.path / "copy.undo").string() + " " + other +
                     " --force").status,
              0);
    EXPECT_FALSE(fileBytes(other) == blank);

    // Back in the reader.
    std::string sidecar = fileBytes(image + ".card");
    sidecar.erase(sidecar.find("vanish_after_writes"));
    std::ofstream(image + ".card", std::ios::trunc) << sidecar;
    const CliRun back = runCli("probe --restore " + undo + " " + image, true);
    EXPECT_EQ(back.status, 0) << back.out;
    EXPECT_TRUE(fileBytes(image) == before);
    EXPECT_FALSE(fs::exists(undo));
    EXPECT_EQ(runCli("probe --restore " + undo + " " + image).status, 1); // gone now
}

// A state folder others may write in, or that is a link, is no place for a card's data.
TEST(ProbeCli, AStateFolderOthersMayChangeIsRefusedBeforeAnythingIsWritten) {
    ScratchDir dir("probe_cli");
    const std::string state = stateFolder(dir);
    const std::string image = makeCard(dir, "card.img", "64M", "", 0);
    fs::create_directories(state);
    fs::permissions(state, fs::perms::all);
    CliRun run = runCli("probe " + image);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.out.find("others may write in it; nothing was written"), std::string::npos)
        << run.out;
    fs::remove(state);
    fs::create_directory(dir.path / "elsewhere");
    fs::create_directory_symlink(dir.path / "elsewhere", state);
    run = runCli("probe " + image);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.out.find("it is not a folder; nothing was written"), std::string::npos)
        << run.out;
    EXPECT_TRUE(sectorZeroBlank(image));
    EXPECT_TRUE(fs::is_empty(dir.path / "elsewhere"));
}

// Whether the card holds `data` at its start and nothing past it; only what the file holds is
// read, its holes are zeros.
bool holdsOnly(const std::string& image, const std::string& data) {
    const int fd = open(image.c_str(), O_RDONLY);
    if (fd < 0) return false;
    std::string chunk(1 << 20, '\0');
    bool same = true;
    for (off_t at = 0; same && (at = lseek(fd, at, SEEK_DATA)) >= 0;) {
        const ssize_t n = pread(fd, chunk.data(), chunk.size(), at);
        if (n <= 0) break;
        for (ssize_t i = 0; i < n && same; ++i) {
            const auto byte = static_cast<size_t>(at + i);
            same = chunk[size_t(i)] == (byte < data.size() ? data[byte] : '\0');
        }
        at += n;
    }
    close(fd);
    return same;
}

// Killed mid-probe, the command says nothing and puts nothing back: what it saved was on the
// disk before the card was written, and --restore puts the card back from it.
TEST(ProbeCli, AProbeKilledMidwayLeavesAFileThatPutsTheCardBack) {
    ScratchDir dir("probe_cli");
    const std::string state = stateFolder(dir);
    const std::string image = makeCard(dir, "card.img", "256M", "", 4);
    const std::string data = fileBytes(image).substr(0, 4 << 20);
    const pid_t pid = startCli({"probe", image}, (dir.path / "out.txt").string());
    // Until the probe has written well into its filler.
    bool writing = false;
    for (int i = 0; i < 12000 && !writing; ++i) {
        struct stat st {};
        writing = ::stat(image.c_str(), &st) == 0 && st.st_blocks > 8 * 2048 + 64;
        if (!writing) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    kill(pid, SIGKILL);
    int st = 0;
    ASSERT_EQ(waitpid(pid, &st, 0), pid);
    ASSERT_TRUE(writing) << "the probe never got that far";
    const std::vector<std::string> files = undoFiles(state);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_FALSE(fileBytes(image).substr(0, 4 << 20) == data);
    const CliRun back = runCli("probe --restore " + files[0] + " " + image, true);
    EXPECT_EQ(back.status, 0) << back.out;
    EXPECT_TRUE(holdsOnly(image, data));
    EXPECT_TRUE(undoFiles(state).empty());
}

// Waits until the pulled card's probe is over and every other card's has written past the data
// it held (so its run took the signals over): the signal then finds one at least in the middle
// of its probe. The pulled card's run is over once what it could not put back took the place of
// the file it made at the start (another file under that name). A loaded machine may take its
// time.
bool awaitProbes(const std::string& state, const std::vector<std::string>& images) {
    ino_t made = 0;
    for (int i = 0; i < 12000; ++i) {
        bool kept = false, writing = true;
        const std::vector<std::string> files = undoFiles(state);
        for (const std::string& file : files) {
            struct stat st {};
            if (file.find("probe-pulled.img-") == std::string::npos ||
                ::stat(file.c_str(), &st) != 0)
                continue;
            if (made == 0) made = st.st_ino;
            kept = st.st_ino != made && files.size() == images.size() + 1;
        }
        for (const std::string& image : images) {
            struct stat st {};
            writing = writing && ::stat(image.c_str(), &st) == 0 && st.st_blocks > 2048 + 64;
        }
        if (kept && writing) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

// Several cards probed side by side and stopped by Ctrl-C or SIGTERM: each card's line says that
// its content was put back, as a probe of one card says it; a card pulled out before the stop
// names the file that keeps what could not be.
TEST(ProbeCli, AStoppedRunOfManySaysWhatWasPutBack) {
    for (const int sig : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(sig);
        ScratchDir dir("probe_cli");
        const std::string state = stateFolder(dir);
        std::vector<std::string> others, args{"probe"};
        for (const char* name : {"a.img", "b.img"}) {
            others.push_back(makeCard(dir, name, "8G", "", 1));
            args.push_back(others.back());
        }
        std::string data(1 << 20, '\0');
        std::ifstream(others[0], std::ios::binary)
            .read(data.data(), static_cast<std::streamsize>(data.size()));
        const std::string pulled =
            makeCard(dir, "pulled.img", "64M",
                     "counterfeit = wraparound 8388608\nvanish_after_writes = 40\n", 8);
        args.push_back(pulled);
        const std::string out = (dir.path / "out.txt").string();
        const pid_t pid = startCli(args, out, false, dir.path.string());
        ASSERT_TRUE(awaitProbes(state, others)) << "the probes never got that far";
        kill(pid, sig);
        int st = 0;
        ASSERT_EQ(waitpid(pid, &st, 0), pid);
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 1) << st;
        std::map<std::string, std::string> lineOf;
        std::istringstream lines(fileBytes(out));
        for (std::string line; std::getline(lines, line);)
            if (line.rfind("  ", 0) == 0) lineOf[pulled] += "\n" + line;
            else lineOf[line.substr(0, line.find(": "))] += line;
        ASSERT_EQ(lineOf.size(), 3u) << fileBytes(out);
        size_t stopped = 0;
        for (const std::string& image : others) {
            const std::string& line = lineOf[image];
            stopped += line.find(": could not be probed: stopped by a signal") != std::string::npos;
            const std::string putBack = "; the card's content was put back";
            EXPECT_TRUE(line.size() > putBack.size() &&
                        line.compare(line.size() - putBack.size(), putBack.size(), putBack) == 0)
                << line;
            EXPECT_TRUE(holdsOnly(image, data)) << image << " changed";
        }
        EXPECT_GE(stopped, 1u) << "no card was stopped in the middle";
        const std::string& pulledLine = lineOf[pulled];
        const size_t kept = pulledLine.find("it is kept in '");
        ASSERT_NE(kept, std::string::npos) << pulledLine;
        const std::string undo =
            pulledLine.substr(kept + 15, pulledLine.find('\'', kept + 15) - kept - 15);
        EXPECT_EQ(fs::path(undo).parent_path(), state);
        EXPECT_TRUE(fs::exists(undo)) << undo;
        EXPECT_EQ(undoFiles(state).size(), 1u); // the others' were removed
        EXPECT_EQ(pulledLine.find("content was put back"), std::string::npos) << pulledLine;
        EXPECT_EQ(fileBytes(out).find("\\n"), std::string::npos) << "a line break shown as \\n";
    }
}

TEST(ProbeCli, UsageErrorsWriteNothing) {
    ScratchDir dir("probe_cli");
    stateFolder(dir);
    const std::string image = makeCard(dir, "card.img", "32M", "", 0);
    for (const std::string& args :
         {std::string("probe"), "probe --destructive " + image,
          "probe --restore f " + image + " " + image, "probe --bogus " + image,
          "probe --force " + image})
        EXPECT_EQ(runCli(args).status, 2) << args;
    EXPECT_TRUE(sectorZeroBlank(image));
    const CliRun destroyed = runCli("probe --destructive --yes " + image);
    EXPECT_EQ(destroyed.status, 0);
    EXPECT_FALSE(sectorZeroBlank(image)); // the filler is left where it was written
}

} // namespace

namespace {

struct FormatCase {
    const char* name;
    const char* sidecar;
    bool counterfeit;
    uint64_t realSectors;
};

TEST(ProbeCli, FormatProbeFormatsACounterfeitAsACardOfItsUsablePartAndCheckAcceptsIt) {
    ScratchDir dir("probe_cli");
    // The last holds 2 GiB: found usable just under it, in the band of sizes the layout rules
    // refuse, and formatted as the largest size below the band.
    for (const FormatCase& c :
         {FormatCase{"wrap.img", "counterfeit = wraparound 1073741824\n", true, 2097152},
          FormatCase{"limbo.img", "counterfeit = limbo 268435456\n", true, 524288},
          FormatCase{"genuine.img", "", false, 16777216},
          FormatCase{"two.img", "counterfeit = wraparound 2147483648\n", true, 4194304}}) {
        const std::string image = makeCard(dir, c.name, "8G", c.sidecar, 0);
        const CliRun run = runCli("format --probe --yes --json " + image);
        EXPECT_EQ(run.status, 0) << c.name << run.out;
        auto f = brc::cli::readFlatJson(run.out).value_or(std::map<std::string, std::string>{});
        EXPECT_EQ(f["outcome"], "formatted") << c.name;
        EXPECT_EQ(f["counterfeit"], c.counterfeit ? "true" : "false") << c.name;
        const std::string usable = f["usableSectors"], formatted = f["formattedSectors"];
        if (!c.counterfeit) {
            EXPECT_EQ(usable, "") << c.name;
            EXPECT_EQ(runCli("check " + image).status, 0) << c.name;
            fs::remove(image); // the filler took a gigabyte of the disk
            continue;
        }
        ASSERT_FALSE(usable.empty()) << c.name;
        EXPECT_LE(std::stoull(usable), c.realSectors) << c.name;
        EXPECT_GE(std::stoull(usable), c.realSectors * 99 / 100) << c.name;
        const uint64_t sectors = std::stoull(formatted);
        EXPECT_LE(sectors, std::stoull(usable)) << c.name;
        EXPECT_TRUE(sectors < 4153345 || sectors > 4211711) << c.name << " " << sectors;
        // The partition lies inside what was formatted.
        EXPECT_LE(std::stoull(f["partitionSectors"]), sectors) << c.name;
        EXPECT_EQ(runCli("check " + image).status, 1) << c.name; // against the announced size
        const CliRun checked = runCli("check --sectors " + formatted + " " + image);
        EXPECT_EQ(checked.status, 0) << c.name << checked.out;
        EXPECT_NE(checked.out.find("sectors)."), std::string::npos) << checked.out;
        EXPECT_EQ(runCli("check --sectors 16777217 " + image).status, 1)
            << c.name; // larger than announced
        fs::remove(image);
    }
}

// A counterfeit card of which no tested block kept its data has no size to be formatted as.
TEST(ProbeCli, FormatProbeRefusesACardWithNothingUsable) {
    ScratchDir dir("probe_cli");
    const std::string image =
        makeCard(dir, "nothing.img", "64M", "counterfeit = limbo 512\nlost_reads = stale\n", 0);
    const CliRun run = runCli("format --probe --yes --json " + image);
    EXPECT_EQ(run.status, 1) << run.out;
    auto f = brc::cli::readFlatJson(run.out).value_or(std::map<std::string, std::string>{});
    EXPECT_NE(f["outcome"], "formatted") << run.out;
    EXPECT_NE(f["cause"].find("it was not formatted"), std::string::npos) << run.out;
}

TEST(ProbeCli, FormatWithoutProbeNeverProbes) {
    ScratchDir dir("probe_cli");
    const std::string image =
        makeCard(dir, "limbo.img", "1G", "counterfeit = limbo 268435456\n", 0);
    const CliRun run = runCli("format --yes --json " + image);
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(run.out.find("counterfeit"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("usableSectors"), std::string::npos) << run.out;
}

} // namespace
