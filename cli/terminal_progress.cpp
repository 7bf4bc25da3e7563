#include "cli/terminal_progress.h"

#include <csignal>

#if !defined(_WIN32)
#include <poll.h>
#include <signal.h>
#endif

#include <cerrno>

#include "base/code_page.h"

namespace brc::cli {
namespace {

volatile std::sig_atomic_t g_interrupts = 0;
volatile std::sig_atomic_t g_terminate = 0;

extern "C" void onInterrupt(int) { g_interrupts = 1; }
extern "C" void onTerminate(int) { g_terminate = 1; }

// The lines in the order the passes run; the notice is shown once above them.
const uint32_t kLineOrder[] = {NoticeLine, OverwriteLine, EraseLine, FormatLine};

// The whole percentage a line shows ("  42%"), or -1 when it shows none.
int percentOf(const std::string& line) {
    const size_t sign = line.find('%');
    if (sign == std::string::npos) return -1;
    size_t start = sign;
    while (start > 0 && line[start - 1] >= '0' && line[start - 1] <= '9') --start;
    return start == sign ? -1 : std::stoi(line.substr(start, sign - start));
}

} // namespace

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

TerminalProgress::TerminalProgress(std::FILE* out, bool interactive, RunFlags& flags)
    : out_(out), interactive_(interactive), flags_(flags) {}

ProgressView* TerminalProgress::createProgressWindow() {
    lines_.clear();
    return this;
}

void TerminalProgress::destroyProgressWindow() { finish(); }

TerminalProgress::~TerminalProgress() { finish(); }

void TerminalProgress::setLineText(uint32_t controlId, const std::u16string& text) {
    if (controlId == CancelButton || !out_) return; // Ctrl-C stands for the button
    std::string line = utf16ToUtf8(text);
    auto it = lines_.find(controlId);
    if (it != lines_.end() && it->second == line) return;
    // A log gets one line per change of the whole percentage, not one per chunk.
    const bool logged = it == lines_.end() || percentOf(line) < 0 ||
                        percentOf(line) != percentOf(it->second);
    lines_[controlId] = line;
    if (interactive_) {
        updateRate(controlId, line);
        redraw();
    } else if (logged) {
        std::fprintf(out_, "%s\n", line.c_str());
        std::fflush(out_);
    }
}

void TerminalProgress::updateRate(uint32_t controlId, const std::string& line) {
    if (controlId != OverwriteLine && controlId != EraseLine) return;
    const size_t open = line.find('[');
    unsigned long long done = 0, total = 0;
    if (open == std::string::npos || std::sscanf(line.c_str() + open, "[%llu / %llu]", &done, &total) != 2)
        return;
    const Clock::time_point now = Clock::now();
    auto start = passStarts_.find(controlId);
    if (start == passStarts_.end()) {
        passStarts_[controlId] = {now, done};
        return;
    }
    if (done >= total) {
        rateLine_.clear();
        return;
    }
    // A few updates a second are enough to read, and keep a fast pass from drawing all the time.
    if (now - rateShown_ < std::chrono::milliseconds(250)) return;
    const double seconds = std::chrono::duration<double>(now - start->second.at).count();
    if (seconds <= 0 || done <= start->second.done) return;
    const double bytesPerSecond = static_cast<double>(done - start->second.done) * 512 / seconds;
    const auto left = static_cast<unsigned long long>(static_cast<double>(total - done) * 512 / bytesPerSecond);
    char text[96];
    if (left >= 3600)
        std::snprintf(text, sizeof text, "%.1f MB/s, about %llu h %02llu min left", bytesPerSecond / 1e6,
                      left / 3600, left % 3600 / 60);
    else
        std::snprintf(text, sizeof text, "%.1f MB/s, about %llu min %02llu s left", bytesPerSecond / 1e6,
                      left / 60, left % 60);
    rateLine_ = text;
    rateShown_ = now;
}

void TerminalProgress::redraw() {
    unsigned count = rateLine_.empty() ? 0u : 1u;
    for (uint32_t id : kLineOrder) count += lines_.count(id) ? 1u : 0u;
    // Move back over the block drawn last time and draw it again, each line cleared first.
    if (drawn_) std::fprintf(out_, "\r\033[%uA", drawnLines_);
    for (uint32_t id : kLineOrder) {
        auto it = lines_.find(id);
        if (it != lines_.end()) std::fprintf(out_, "\r\033[2K%s%s\n", id == NoticeLine ? "" : "- ", it->second.c_str());
    }
    if (!rateLine_.empty()) std::fprintf(out_, "\r\033[2K  %s\n", rateLine_.c_str());
    std::fputs("\033[J", out_);  // a line dropped since the last drawing
    std::fflush(out_);
    drawn_ = true;
    drawnLines_ = count;
}

void TerminalProgress::writeConsole(const std::string& text) {
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
    lines_.clear();
    passStarts_.clear();
    rateLine_.clear();
}

} // namespace brc::cli
