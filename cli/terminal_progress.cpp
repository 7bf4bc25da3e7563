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
        redraw();
    } else if (logged) {
        std::fprintf(out_, "%s\n", line.c_str());
        std::fflush(out_);
    }
}

void TerminalProgress::redraw() {
    unsigned count = 0;
    for (uint32_t id : kLineOrder) count += lines_.count(id) ? 1u : 0u;
    // Move back over the block drawn last time and draw it again, each line cleared first.
    if (drawn_) std::fprintf(out_, "\r\033[%uA", drawnLines_);
    for (uint32_t id : kLineOrder) {
        auto it = lines_.find(id);
        if (it != lines_.end()) std::fprintf(out_, "\r\033[2K%s%s\n", id == NoticeLine ? "" : "- ", it->second.c_str());
    }
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
}

} // namespace brc::cli
