// The progress window drawn on a console: the three progress lines, redrawn in place on a
// terminal with a line of throughput and time left under them during an overwrite or erase,
// or printed one change per line when the output is a pipe or a file.
#pragma once

#include <chrono>
#include <cstdio>
#include <map>
#include <string>

#include "progress/progress.h"

namespace brc::cli {

// Ctrl-C stands for the Cancel button and SIGTERM for a suspend broadcast: the handlers only
// count, and the pump turns the counts into the run flags, as a window's message loop would.
void installFormatSignalHandlers();

// One line typed at the terminal, or false when input ends or a signal arrives first (the
// question is then answered with Cancel; the pump still sees the signal).
bool readAnswerLine(char* line, int size);

class TerminalProgress final : public ProgressView, public ProgressWindowHost {
public:
    // Draws on `out` (stderr, so that --json output stays clean on stdout); `flags` receives
    // the signals. A null `out` draws nothing.
    TerminalProgress(std::FILE* out, bool interactive, RunFlags& flags);
    ~TerminalProgress() override;

    void setLineText(uint32_t controlId, const std::u16string& text) override;
    void pumpPendingMessages() override;
    void writeConsole(const std::string& text) override;
    ProgressView* createProgressWindow() override;
    void destroyProgressWindow() override;

    // Ends the in-place block so later output starts on a fresh line.
    void finish();

private:
    using Clock = std::chrono::steady_clock;
    void redraw();
    // The line of our own under the system's: the running pass's throughput and time left.
    void updateRate(uint32_t controlId, const std::string& line);

    std::FILE* out_;
    bool interactive_;
    RunFlags& flags_;
    bool drawn_ = false;
    unsigned drawnLines_ = 0;
    std::map<uint32_t, std::string> lines_;
    struct PassStart {
        Clock::time_point at;
        uint64_t done = 0;
    };
    std::map<uint32_t, PassStart> passStarts_;
    Clock::time_point rateShown_{};
    std::string rateLine_;
};

} // namespace brc::cli
