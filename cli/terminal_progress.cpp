#include "cli/terminal_progress.h"

#include <csignal>

#if !defined(_WIN32)
#include <poll.h>
#include <signal.h>
#endif

#include <cerrno>
#include <cstring>

#if defined(_WIN32)
#include <windows.h>
#include <io.h>
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

#include <cstdlib>

#include "cli/progress_channel.h"

#include "base/code_page.h"
#include "res/message_ids.h"

namespace brc::cli {
namespace {

volatile std::sig_atomic_t g_interrupts = 0;
volatile std::sig_atomic_t g_terminate = 0;

extern "C" void onInterrupt(int) { g_interrupts = 1; }
extern "C" void onTerminate(int) { g_terminate = 1; }

// The row of a stage's line, under the notice.
size_t rowOf(ProgressStage stage) { return 1 + static_cast<size_t>(stage); }

// The columns a character takes: two for the East Asian wide ranges our texts use.
unsigned columnsOf(uint32_t c) {
    const bool wide = (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0xA4CF) ||
                      (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) ||
                      (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFF60) ||
                      (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x20000 && c <= 0x3FFFD);
    return wide ? 2 : 1;
}

// A stage that has come to its end: complete, cancelled or not supported.
bool finished(const StageProgress& s) {
    return s.state == StageState::Cancelled || s.state == StageState::Unsupported ||
           (s.state == StageState::Running && s.percent >= 100);
}

} // namespace

std::string fitColumns(const std::string& text, unsigned columns) {
    unsigned used = 0;
    for (size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const size_t length = lead < 0x80    ? 1
                              : lead >= 0xF0 ? 4
                              : lead >= 0xE0 ? 3
                              : lead >= 0xC0 ? 2
                                             : 1;
        uint32_t c = length == 1 ? lead : lead & (0x7Fu >> length);
        for (size_t k = 1; k < length && i + k < text.size(); ++k)
            c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3Fu);
        used += columnsOf(c);
        if (used > columns) return text.substr(0, i);
        i += length;
    }
    return text;
}

unsigned terminalColumns() {
#if defined(_WIN32)
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info))
        return static_cast<unsigned>(info.srWindow.Right - info.srWindow.Left + 1);
    return 80;
#else
    winsize size{};
    return ::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
#endif
}

bool redrawableTerminal() {
#if defined(_WIN32)
    if (_isatty(_fileno(stderr)) == 0) return false;
#else
    if (isatty(fileno(stderr)) == 0) return false;
#endif
    const char* term = std::getenv("TERM");
    return !(term && std::strcmp(term, "dumb") == 0);
}

void installFormatSignalHandlers() {
#if defined(_WIN32)
    std::signal(SIGINT, onInterrupt);
    std::signal(SIGTERM, onTerminate);
#else
    // Without SA_RESTART a signal ends a pending read: a confirmation waiting on the terminal
    // is answered with Cancel instead of holding the signal until someone types.
    struct sigaction action {};
    action.sa_handler = onTerminate;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    action.sa_handler = onInterrupt;
    sigaction(SIGINT, &action, nullptr);
    // A reader of the output that goes away (a pipe into head) does not end a run that is
    // writing a card: what is said to it fails, and the run ends in order.
    std::signal(SIGPIPE, SIG_IGN);
#endif
}

bool readAnswerLine(char* line, int size) {
#if !defined(_WIN32)
    // Waiting in poll rather than in read closes the gap between looking at the flags and
    // blocking: a signal just before the wait is seen on the next turn.
    while (!g_interrupts && !g_terminate) {
        pollfd input{fileno(stdin), POLLIN, 0};
        const int ready = poll(&input, 1, 100);
        if (ready > 0) break;
        if (ready < 0 && errno != EINTR) return false;
    }
    if (g_interrupts || g_terminate) return false;
#endif
    return std::fgets(line, size, stdin) != nullptr;
}

bool askOkOrCancel(const std::string& question) {
    std::fprintf(stderr, "%s\n[OK = y, Cancel = anything else]: ", question.c_str());
    std::fflush(stderr);
    char answer[16] = {};
    if (!readAnswerLine(answer, sizeof answer)) return false;
    return answer[0] == 'y' || answer[0] == 'Y' || std::strncmp(answer, "OK", 2) == 0 ||
           std::strncmp(answer, "ok", 2) == 0;
}

bool formatStopAsked(const RunFlags& flags) {
    return g_interrupts || g_terminate || flags.cancelRequested || flags.powerAbort;
}

int takeFormatSignal() {
    if (g_terminate) {
        g_terminate = 0;
        return SIGTERM;
    }
    if (g_interrupts) {
        g_interrupts = 0;
        return SIGINT;
    }
    return 0;
}

std::string throughputText(double bytesPerSecond, unsigned long long left) {
    char text[96];
    if (left >= 3600)
        std::snprintf(text, sizeof text, "%.1f MB/s, about %llu h %02llu min left",
                      bytesPerSecond / 1e6, left / 3600, left % 3600 / 60);
    else
        std::snprintf(text, sizeof text, "%.1f MB/s, about %llu min %02llu s left",
                      bytesPerSecond / 1e6, left / 60, left % 60);
    return text;
}

TerminalProgress::TerminalProgress(std::FILE* out, bool interactive, RunFlags& flags,
                                   const MessageSource& messages, Clock::time_point (*now)())
    : out_(out),
      interactive_(interactive),
      flags_(flags),
      messages_(messages),
      texts_(messages),
      now_(now) {}

ProgressView* TerminalProgress::createProgressWindow() {
    rows_ = {};
    show(0, utf16ToUtf8(messages_.text(msg::DoNotRemoveDrive)), std::nullopt);
    return this;
}

void TerminalProgress::destroyProgressWindow() { finish(); }

TerminalProgress::~TerminalProgress() { finish(); }

void TerminalProgress::showStage(const StageProgress& stage) {
    const auto index = static_cast<size_t>(stage.stage);
    if (stage.state == StageState::Running && index < percents_.size())
        percents_[index] = stage.percent;
    if (stage.state == StageState::Cancelled && stage.stage != ProgressStage::Format && !cancelled_)
        cancelled_ = Cancelled{stage.stage, index < percents_.size() ? percents_[index] : 0};
    if (reportFd_ >= 0) report(stage);
    show(rowOf(stage.stage), utf16ToUtf8(texts_.render(stage)), stage);
}

void TerminalProgress::show(size_t row, std::string text,
                            const std::optional<StageProgress>& stage) {
    if (!out_) return;
    std::optional<Row>& shown = rows_[row];
    if (shown && shown->text == text) return;
    // A log gets one line per finished stage, or with every percent one per change of the
    // whole percentage, never one per chunk.
    const auto running = [](const std::optional<StageProgress>& s) {
        return s && s->state == StageState::Running;
    };
    const bool logged =
        everyPercent_
            ? !shown || !running(stage) || !running(shown->stage) ||
                  stage->percent != shown->stage->percent
            : !stage || (finished(*stage) && !(shown && shown->stage && finished(*shown->stage)));
    shown = Row{std::move(text), stage};
    if (interactive_) {
        if (stage) updateRate(*stage);
        redraw();
    } else if (logged) {
        std::fprintf(out_, "%s\n", shown->text.c_str());
        std::fflush(out_);
    }
}

void TerminalProgress::report(const StageProgress& stage) {
    const Clock::time_point now = now_();
    // A stage's end is always news: the starting run logs finished stages.
    const bool news = !reported_ || reported_->stage != stage.stage ||
                      reported_->state != stage.state || reported_->percent != stage.percent ||
                      (stage.done == stage.total && reported_->done != stage.done);
    if (!news && now - reportedAt_ < std::chrono::milliseconds(200)) return;
    reported_ = stage;
    reportedAt_ = now;
    // The run that asked for the lines is gone: the format goes on without them.
    if (!sendChannelLine(reportFd_, encodeProgressLine(stage))) reportFd_ = -1;
}

void TerminalProgress::updateRate(const StageProgress& stage) {
    if (stage.state != StageState::Running || stage.stage == ProgressStage::Format) return;
    const Clock::time_point now = now_();
    if (gauge_.begin(stage.stage, now, stage.done)) return;
    if (stage.done >= stage.total) {
        rateLine_.clear();
        return;
    }
    if (const auto reading = gauge_.read(now, stage.done, stage.total))
        rateLine_ = throughputText(reading->bytesPerSecond, reading->secondsLeft);
}

void TerminalProgress::redraw() {
    unsigned count = rateLine_.empty() ? 0u : 1u;
    // Move back over the block drawn last time and draw it again, each line cleared first.
    if (drawn_) std::fprintf(out_, "\r\033[%uA", drawnLines_);
    // A line as wide as the terminal would wrap and throw the count of lines off.
    const auto fit = [&](const std::string& line) {
        return columns_ ? fitColumns(line, columns_ - 1) : line;
    };
    for (size_t row = 0; row < kRows; ++row) {
        if (!rows_[row]) continue;
        std::fprintf(out_, "\r\033[2K%s\n", fit((row == 0 ? "" : "- ") + rows_[row]->text).c_str());
        ++count;
    }
    if (!rateLine_.empty()) std::fprintf(out_, "\r\033[2K%s\n", fit("  " + rateLine_).c_str());
    std::fputs("\033[J", out_); // a line dropped since the last drawing
    std::fflush(out_);
    drawn_ = true;
    drawnLines_ = count;
}

void TerminalProgress::writeConsole(const std::string& text) {
    if (dropConsole_) return;
    // With --json, standard output carries the one JSON object and nothing else.
    if (!out_) {
        std::fputs(text.c_str(), stderr);
        return;
    }
    if (!interactive_ || !drawn_) {
        ProgressView::writeConsole(text);
        return;
    }
    // Lift the block, print the line where it stood, and draw the block again below it.
    std::fprintf(out_, "\r\033[%uA\033[J", drawnLines_);
    std::fflush(out_);
    ProgressView::writeConsole(text);
    drawn_ = false;
    redraw();
}

void TerminalProgress::pumpPendingMessages() {
    // A second Ctrl-C during a cancel finds the flag already set and changes nothing.
    if (g_interrupts) {
        g_interrupts = 0;
        flags_.cancelRequested = 1;
    }
    if (g_terminate) {
        g_terminate = 0;
        flags_.powerAbort = 1;
        flags_.powerEvent = 4;
    }
}

void TerminalProgress::finish() {
    if (drawn_) std::fflush(out_);
    drawn_ = false;
    drawnLines_ = 0;
    rows_ = {};
    gauge_.reset();
    rateLine_.clear();
}

} // namespace brc::cli
