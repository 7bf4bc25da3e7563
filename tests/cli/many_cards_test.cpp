// The pieces of a format of many cards in-process: the progress lines a card's run writes and
// the starting run reads, the JSON objects it reads back, the board that draws the cards.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "cli/card_board.h"
#include "cli/json.h"
#include "cli/progress_channel.h"
#include "cli/terminal_progress.h"
#include "res/messages.h"

namespace brc::cli {
namespace {

using enum ProgressStage;
using enum StageState;
using Clock = CardBoard::Clock;

Clock::time_point g_now{};
Clock::time_point fakeNow() { return g_now; }
void atMs(int ms) { g_now = Clock::time_point{} + std::chrono::milliseconds(ms); }

std::string readAll(std::FILE* file) {
    std::rewind(file);
    std::string out;
    for (int c; (c = std::fgetc(file)) != EOF;) out.push_back(static_cast<char>(c));
    std::fseek(file, 0, SEEK_END);
    return out;
}

bool sameStage(const StageProgress& a, const StageProgress& b) {
    return a.stage == b.stage && a.state == b.state && a.done == b.done && a.total == b.total &&
           a.percent == b.percent;
}

TEST(ProgressChannel, StageLinesGoThereAndBack) {
    for (const StageProgress& s : {StageProgress{Overwrite, Running, 0, 0, 0},
                                   {Erase, Cancelled, 0, 0, 0},
                                   {Format, Running, 4095, 4096, 99},
                                   {Overwrite, Running, 0xFFFFFFFFFFull, 0x10000000000ull, 100},
                                   {Erase, Unsupported, 0, 0, 0}}) {
        const std::string line = encodeProgressLine(s);
        ASSERT_EQ(line.back(), '\n');
        const auto back = decodeProgressLine(line.substr(0, line.size() - 1));
        ASSERT_TRUE(back) << line;
        EXPECT_TRUE(sameStage(*back, s)) << line;
    }
}

TEST(ProgressChannel, LinesThatAreNoStageAreDropped) {
    for (const char* line : {"", "0 2 5", "3 2 5 10 100", "0 5 5 10 100", "0 2 101 10 100",
                             "0 2 50 101 100", "0 2 50 10 100 7", "0 2 50 10 100x", "x 2 50 10 100",
                             "brindlecard: unmounted /media/card."})
        EXPECT_FALSE(decodeProgressLine(line)) << line;
}

TEST(ProgressChannel, TheCardRunVariableNamesADescriptorAndTheCard) {
    const CardRunChannel device{3, {true, 0x803, 0x1a2b, 0x800010}};
    const CardRunChannel image{17, {false, 0xfd01, 0xffffffffffffull, 0}};
    for (const CardRunChannel& c : {device, image}) {
        const auto back = decodeCardRun(encodeCardRun(c));
        ASSERT_TRUE(back) << encodeCardRun(c);
        EXPECT_EQ(back->fd, c.fd);
        EXPECT_EQ(back->identity, c.identity);
    }
    EXPECT_EQ(encodeCardRun(device), "3:b:803:1a2b:800010");
    // Standard input, output and error are never the pipe; a device needs its number.
    for (const char* text : {"", "3", "2:f:1:2", "-1:f:1:2", "3:x:1:2", "3:b:1:2", "3:f:1:2:3", "3:f:1:2 ",
                             "3:f:1"})
        EXPECT_FALSE(decodeCardRun(text)) << text;
}

TEST(FlatJson, ReadsWhatJsonObjectWritesBack) {
    const std::string label = "caf\xC3\xA9 \xF0\x9F\x98\x80 \"q\" back\\slash";
    JsonObject o;
    o.string("message", "line one\nline two\t\x01").string("label", label).number("result", -1).boolean("ok", true);
    const auto members = readFlatJson(o.str());
    ASSERT_TRUE(members) << o.str();
    EXPECT_EQ(members->at("message"), "line one\nline two\t\x01");
    EXPECT_EQ(members->at("label"), label);
    EXPECT_EQ(members->at("result"), "-1");
    EXPECT_EQ(members->at("ok"), "true");
}

TEST(FlatJson, EscapesAndWhatIsNotOneFlatObject) {
    const auto pair = readFlatJson(R"({ "a" : "\ud83d\ude00\u00e9\/" , "b":null })");
    ASSERT_TRUE(pair);
    EXPECT_EQ(pair->at("a"), "\xF0\x9F\x98\x80\xC3\xA9/");
    EXPECT_EQ(pair->at("b"), "null");
    EXPECT_TRUE(readFlatJson("{}"));
    for (const char* text : {"", "{", R"({"a":1)", R"({"a":{"b":1}})", R"({"a":[1]})", R"({"a":1} x)",
                             R"({"a":"\ud83d"})", R"({"a":"\q"})", "{\"a\":\"\n\"}", R"({"a":"open})",
                             R"({"a" 1})", R"({"a":1,})", R"({"a":})"})
        EXPECT_FALSE(readFlatJson(text)) << text;
}

TEST(CardBoard, FitColumnsCutsWholeCharacters) {
    EXPECT_EQ(fitColumns("abcdef", 4), "abcd");
    EXPECT_EQ(fitColumns("abc", 4), "abc");
    EXPECT_EQ(fitColumns("\xD0\x96\xD0\x96\xD0\x96", 2), "\xD0\x96\xD0\x96");
    // Japanese characters take two columns each.
    EXPECT_EQ(fitColumns("\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E", 5), "\xE6\x97\xA5\xE6\x9C\xAC");
    EXPECT_EQ(fitColumns("a\xE6\x97\xA5", 2), "a");
    EXPECT_EQ(fitColumns("a\xE2\x82\xAC" "b", 2), "a\xE2\x82\xAC");
}

// Without a terminal: a line per card and stage that ends, however many reports came, and the
// result lines on their own stream.
TEST(CardBoard, LogGetsOneLinePerFinishedStage) {
    std::FILE* log = std::tmpfile();
    std::FILE* results = std::tmpfile();
    ASSERT_TRUE(log && results);
    {
        CardBoard board(log, false, 80, results, log);
        const size_t a = board.add("/dev/sdb"), b = board.add("b.img");
        for (uint32_t p = 0; p <= 100; p += 5)
            board.progress(a, {Overwrite, Running, p * 10u, 1000, p});
        board.progress(b, {Overwrite, Waiting});
        board.progress(b, {Erase, Unsupported});
        board.progress(b, {Erase, Unsupported});
        board.progress(a, {Format, Running, 10, 20, 50});
        board.progress(b, {Overwrite, Cancelled});
        board.note(b, "unmounted /media/x");
        board.progress(a, {Format, Running, 20, 20, 100});
        board.finish(a, "/dev/sdb: formatted (FAT32)");
        board.finish(b, "");
    }
    EXPECT_EQ(readAll(log), "/dev/sdb: overwrite done\nb.img: erase not supported\nb.img: overwrite cancelled\n"
                            "b.img: unmounted /media/x\n/dev/sdb: format done\n");
    EXPECT_EQ(readAll(results), "/dev/sdb: formatted (FAT32)\n");
    std::fclose(log);
    std::fclose(results);
}

// The drawn block's lines, as a terminal would show them after all the escapes.
std::vector<std::string> screen(const std::string& drawn) {
    std::vector<std::string> rows{""};
    size_t row = 0;
    for (size_t i = 0; i < drawn.size(); ++i) {
        if (drawn[i] == '\r') continue;
        if (drawn[i] == '\n') {
            if (++row == rows.size()) rows.emplace_back();
            continue;
        }
        if (drawn[i] != '\033') {
            rows[row] += drawn[i];
            continue;
        }
        size_t end = drawn.find_first_of("AJK", i);
        const std::string code = drawn.substr(i + 2, end - i - 2);
        if (drawn[end] == 'A') row -= std::stoul(code);
        if (drawn[end] == 'K') rows[row].clear();
        if (drawn[end] == 'J') rows.resize(row + 1), rows[row].clear();
        i = end;
    }
    while (!rows.empty() && rows.back().empty()) rows.pop_back();
    return rows;
}

TEST(CardBoard, TerminalLinesAreRedrawnInPlaceAndNeverWrap) {
    std::FILE* term = std::tmpfile();
    ASSERT_NE(term, nullptr);
    const std::string longName = "/dev/disk/by-id/usb-Generic_STORAGE_DEVICE_000000000819-0:0";
    {
        CardBoard board(term, true, 60, term, term, fakeNow);
        const size_t a = board.add("/dev/sdb"), b = board.add(longName);
        EXPECT_EQ(screen(readAll(term)), (std::vector<std::string>{"/dev/sdb" + std::string(26, ' ') + "starting",
                                                                    longName.substr(0, 32) + "  starting"}));
        atMs(0);
        board.progress(a, {Overwrite, Running, 0, 1000000, 0});
        atMs(2000); // 100000 sectors in 2 s: 25.6 MB/s, 900000 sectors (18 s) left
        board.progress(a, {Overwrite, Running, 100000, 1000000, 10});
        board.progress(b, {Erase, Running, 5, 10, 50});
        std::vector<std::string> rows = screen(readAll(term));
        ASSERT_EQ(rows.size(), 2u);
        for (const std::string& row : rows) EXPECT_LE(row.size(), 59u) << row;
        EXPECT_EQ(rows[0].substr(0, 8), "/dev/sdb");
        // One column short of the 60, the throughput's line cut where it reaches it.
        EXPECT_EQ(rows[0], "/dev/sdb" + std::string(26, ' ') + "overwrite  10%  25.6 MB/s");
        EXPECT_NE(rows[1].find("erase      50%"), std::string::npos) << rows[1];
        board.note(b, "unmounted /media/x");
        board.finish(a, "/dev/sdb: formatted (FAT32)");
        rows = screen(readAll(term));
        ASSERT_EQ(rows.size(), 3u) << readAll(term);
        EXPECT_EQ(rows[0], longName + ": unmounted /media/x");
        EXPECT_EQ(rows[1], "/dev/sdb: formatted (FAT32)");
        EXPECT_EQ(rows[2].substr(0, 32), longName.substr(0, 32));
        board.finish(b, "b: failed");
    }
    const std::vector<std::string> rows = screen(readAll(term));
    EXPECT_EQ(rows.back(), "b: failed") << "the block is gone once every card is done";
    std::fclose(term);
}

// A card's run reports each change of state and whole percentage, and the counts at most five
// times a second between them; a stage's end always goes through.
TEST(TerminalProgressReport, WritesChangesAndThinsTheCountsBetween) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(fcntl(fds[0], F_SETFL, O_NONBLOCK), 0);
    RunFlags flags;
    {
        TerminalProgress progress(nullptr, false, flags, builtinMessages(), fakeNow);
        progress.reportTo(fds[1]);
        ProgressView* view = progress.createProgressWindow();
        atMs(0);
        view->showStage({Overwrite, Running, 0, 1000, 0});
        view->showStage({Overwrite, Running, 1, 1000, 0});   // too soon, same percent
        atMs(100);
        view->showStage({Overwrite, Running, 2, 1000, 0});   // too soon
        atMs(250);
        view->showStage({Overwrite, Running, 3, 1000, 0});   // a fifth of a second on
        view->showStage({Overwrite, Running, 10, 1000, 1});  // a new percent
        view->showStage({Overwrite, Running, 1000, 1000, 1}); // the end, in the same percent
        view->showStage({Format, Waiting});
        progress.destroyProgressWindow();
    }
    close(fds[1]);
    std::string text;
    char buffer[512];
    for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) text.append(buffer, size_t(n));
    close(fds[0]);
    EXPECT_EQ(text, "0 2 0 0 1000\n0 2 0 3 1000\n0 2 1 10 1000\n0 2 1 1000 1000\n2 1 0 0 0\n");
}

} // namespace
} // namespace brc::cli
