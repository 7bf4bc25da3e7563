// The terminal's progress lines made from the stages' numbers: the log of a pipe, and the
// throughput line timed per pass on a terminal.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "base/code_page.h"
#include "cli/terminal_progress.h"
#include "res/message_ids.h"

namespace brc::cli {
namespace {

using enum ProgressStage;
using enum StageState;
using Clock = TerminalProgress::Clock;

Clock::time_point g_now{};
Clock::time_point fakeNow() { return g_now; }
void at(int seconds) { g_now = Clock::time_point{} + std::chrono::seconds(seconds); }

std::string text(uint32_t id) { return utf16ToUtf8(builtinMessages().text(id)); }

std::string readAll(std::FILE* file) {
    std::rewind(file);
    std::string out;
    for (int c; (c = std::fgetc(file)) != EOF;) out.push_back(static_cast<char>(c));
    std::fseek(file, 0, SEEK_END); // the view writes on after what was read
    return out;
}

TEST(TerminalProgress, LogGetsOneLinePerWholePercentAndEveryOtherChange) {
    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    RunFlags flags;
    {
        TerminalProgress progress(file, false, flags, builtinMessages());
        progress.logEveryPercent(true);
        ProgressView* view = progress.createProgressWindow();
        for (const StageProgress& s : {StageProgress{Overwrite, Waiting}, {Erase, Off}, {Format, Waiting},
                                       {Overwrite, Running, 256, 1000, 25}, {Overwrite, Running, 300, 1000, 25},
                                       {Overwrite, Running, 512, 1000, 51}, {Overwrite, Cancelled}})
            view->showStage(s);
        progress.destroyProgressWindow();
    }
    const std::string overwrite = text(msg::OverwriteLineCaption);
    EXPECT_EQ(readAll(file), text(msg::DoNotRemoveDrive) + "\n" + text(msg::OverwriteLineStart) + "\n" +
                                 text(msg::EraseLineOff) + "\n" + text(msg::FormatLineStart) + "\n" +
                                 overwrite + "  25% [256 / 1000]\n" + overwrite + "  51% [512 / 1000]\n" +
                                 overwrite + " CANCEL\n");
    std::fclose(file);
}

TEST(TerminalProgress, LogByDefaultGetsOneLinePerFinishedStage) {
    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    RunFlags flags;
    {
        TerminalProgress progress(file, false, flags, builtinMessages());
        ProgressView* view = progress.createProgressWindow();
        for (const StageProgress& s :
             {StageProgress{Overwrite, Waiting}, {Erase, Off}, {Format, Waiting},
              {Overwrite, Running, 256, 1000, 25}, {Overwrite, Running, 512, 1000, 51},
              {Overwrite, Running, 1000, 1000, 100}, {Erase, Unsupported}, {Format, Running, 1, 200, 0},
              {Format, Running, 100, 200, 50}, {Format, Running, 200, 200, 100}})
            view->showStage(s);
        progress.destroyProgressWindow();
    }
    EXPECT_EQ(readAll(file), text(msg::DoNotRemoveDrive) + "\n" + text(msg::OverwriteLineCaption) +
                                 " 100% [1000 / 1000]\n" + text(msg::EraseLineUnsupported) + "\n" +
                                 text(msg::FormatLineCaption) + " 100%\n");
    std::fclose(file);
}

TEST(TerminalProgress, RedrawnLinesNeverWrap) {
    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    RunFlags flags;
    TerminalProgress progress(file, true, flags, builtinMessages(), fakeNow);
    progress.fitTo(24);
    ProgressView* view = progress.createProgressWindow();
    at(0);
    view->showStage({Overwrite, Running, 1000, 921000, 0});
    at(2);
    view->showStage({Overwrite, Running, 21000, 921000, 2});
    progress.finish();
    std::string all = readAll(file);
    std::fclose(file);
    size_t lines = 0;
    for (size_t start = 0, end; (end = all.find('\n', start)) != std::string::npos; start = end + 1) {
        std::string line = all.substr(start, end - start);
        // What the terminal shows of it: the text after the last clear-line sequence.
        if (const size_t clear = line.rfind("\033[2K"); clear != std::string::npos) line.erase(0, clear + 4);
        EXPECT_EQ(fitColumns(line, 23), line) << line;
        ++lines;
    }
    EXPECT_GE(lines, 3u);
}

TEST(TerminalProgress, ThroughputIsTimedFromTheStartOfEachPass) {
    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    RunFlags flags;
    TerminalProgress progress(file, true, flags, builtinMessages(), fakeNow);
    ProgressView* view = progress.createProgressWindow();
    at(0);
    view->showStage({Overwrite, Running, 1000, 921000, 0});
    at(2); // 20000 sectors in 2 s: 5.12 MB/s, 900000 sectors left
    view->showStage({Overwrite, Running, 21000, 921000, 2});
    const std::string overwriting = readAll(file);
    EXPECT_NE(overwriting.find("5.1 MB/s, about 1 min 30 s left"), std::string::npos) << overwriting;
    view->showStage({Overwrite, Running, 921000, 921000, 100});
    at(100); // the erase starts its own clock and count
    view->showStage({Erase, Running, 8192, 150048192, 0});
    at(102); // 40000 sectors in 2 s: 10.24 MB/s, 150000000 sectors left
    view->showStage({Erase, Running, 48192, 150048192, 0});
    const std::string erasing = readAll(file).substr(overwriting.size());
    EXPECT_NE(erasing.find("10.2 MB/s, about 2 h 05 min left"), std::string::npos) << erasing;
    progress.finish();
    std::fclose(file);
}

} // namespace
} // namespace brc::cli
