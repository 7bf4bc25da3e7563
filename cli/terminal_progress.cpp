#include "cli/terminal_progress.h"

#include "engine/code_page.h"

namespace brc::cli {
namespace {

// The lines in the order the passes run; the notice is shown once above them.
const uint32_t kLineOrder[] = {NoticeLine, OverwriteLine, EraseLine, FormatLine};

} // namespace

TerminalProgress::TerminalProgress(std::FILE* out, bool interactive)
    : out_(out), interactive_(interactive) {}

TerminalProgress::~TerminalProgress() { finish(); }

void TerminalProgress::setLineText(uint32_t controlId, const std::u16string& text) {
    if (controlId == CancelButton) return; // Ctrl-C stands for the button
    std::string line = utf16ToUtf8(text);
    auto it = lines_.find(controlId);
    if (it != lines_.end() && it->second == line) return;
    lines_[controlId] = line;
    if (interactive_) {
        redraw();
    } else {
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

void TerminalProgress::pumpPendingMessages() {
    // Signals arrive asynchronously and set the run flags themselves; nothing is queued here.
}

void TerminalProgress::finish() {
    if (drawn_) std::fflush(out_);
    drawn_ = false;
    drawnLines_ = 0;
    lines_.clear();
}

} // namespace brc::cli
