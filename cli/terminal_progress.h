// The progress window drawn on a console: the three progress lines, redrawn in place on a
// terminal with a line of throughput and time left under them during an overwrite or erase,
// or printed one change per line when the output is a pipe or a file.
#pragma once

#include <array>
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>

#include "app/progress_texts.h"
#include "cli/throughput.h"
#include "progress/progress.h"
#include "res/messages.h"

namespace brc::cli {

// Ctrl-C stands for the Cancel button and SIGTERM for a suspend broadcast: the handlers only
// count, and the pump turns the counts into the run flags, as a window's message loop would.
void installFormatSignalHandlers();

// One line typed at the terminal, or false when input ends or a signal arrives first (the
// question is then answered with Cancel; the pump still sees the signal).
bool readAnswerLine(char* line, int size);
// Asks `question` on standard error and reads the answer: true for OK ("y", "OK").
bool askOkOrCancel(const std::string& question);

// Whether Ctrl-C or SIGTERM came, counted by the handlers or already pumped into `flags`; only
// looks, and may be asked while the pump cannot run (the driver library's waits on a card).
bool formatStopAsked(const RunFlags& flags);

// The signal the handlers counted since the last call (SIGTERM before SIGINT), or 0; for a run
// that passes the signals on rather than pumping them into its own flags.
int takeFormatSignal();

// `text` (UTF-8) cut to at most `columns` terminal columns, never inside a character; East Asian
// wide characters take two.
std::string fitColumns(const std::string& text, unsigned columns);
// The width of the terminal on standard error; 80 where it does not say.
unsigned terminalColumns();
// Whether standard error is a terminal that takes the cursor movements of a redrawn display
// (not TERM=dumb).
bool redrawableTerminal();

// "5.1 MB/s, about 1 min 30 s left"
std::string throughputText(double bytesPerSecond, unsigned long long secondsLeft);

class TerminalProgress final : public ProgressView, public ProgressWindowHost {
public:
    using Clock = std::chrono::steady_clock;

    // Draws on `out` (stderr, so that --json output stays clean on stdout) in the words of
    // `messages`; `flags` receives the signals. A null `out` draws nothing. `now` is the clock
    // the throughput is timed by.
    TerminalProgress(std::FILE* out, bool interactive, RunFlags& flags,
                     const MessageSource& messages, Clock::time_point (*now)() = Clock::now);
    ~TerminalProgress() override;

    void showStage(const StageProgress& stage) override;
    void pumpPendingMessages() override;
    void writeConsole(const std::string& text) override;
    ProgressView* createProgressWindow() override;
    void destroyProgressWindow() override;

    // Ends the in-place block so later output starts on a fresh line.
    void finish();

    // Without a terminal, a line per change of the whole percentage instead of one per
    // finished stage.
    void logEveryPercent(bool on) { everyPercent_ = on; }
    // --quiet: the passes' console lines (the erase's library) are not shown either.
    void dropConsole(bool on) { dropConsole_ = on; }
    // A terminal's width: redrawn lines are cut to it, as a wrapped line would break the
    // in-place drawing.
    void fitTo(unsigned columns) { columns_ = columns; }

    // The pass (overwrite or erase) that was cancelled and the whole percent it had reached.
    struct Cancelled {
        ProgressStage stage;
        uint32_t percent;
    };
    std::optional<Cancelled> cancelledPass() const { return cancelled_; }

    // Also writes every change of a stage onto `fd` as a progress line (cli/progress_channel.h):
    // each change of state or whole percentage, and the counts a few times a second between.
    void reportTo(int fd) { reportFd_ = fd; }

private:
    // The notice, then one line per stage in the order the stages run.
    static constexpr size_t kRows = 4;
    struct Row {
        std::string text;
        std::optional<StageProgress> stage; // what the line shows; none for the notice
    };

    void show(size_t row, std::string text, const std::optional<StageProgress>& stage);
    void redraw();
    // The line of our own under the system's: the running pass's throughput and time left.
    void updateRate(const StageProgress& stage);
    void report(const StageProgress& stage);

    std::FILE* out_;
    bool interactive_;
    RunFlags& flags_;
    const MessageSource& messages_;
    ProgressTexts texts_;
    Clock::time_point (*now_)();
    bool drawn_ = false;
    unsigned drawnLines_ = 0;
    std::array<std::optional<Row>, kRows> rows_;
    ThroughputGauge gauge_; // the running pass's
    std::string rateLine_;
    std::array<uint32_t, 3> percents_{}; // each stage's last percent
    std::optional<Cancelled> cancelled_;
    bool everyPercent_ = false;
    bool dropConsole_ = false;
    unsigned columns_ = 0; // 0: lines as long as they are
    int reportFd_ = -1;
    std::optional<StageProgress> reported_;
    Clock::time_point reportedAt_{};
};

} // namespace brc::cli
