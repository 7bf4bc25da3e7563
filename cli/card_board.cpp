#include "cli/card_board.h"

#include <algorithm>

#include "cli/terminal_progress.h"

namespace brc::cli {

const char* CardBoard::stageName(ProgressStage stage) {
    switch (stage) {
    case ProgressStage::Overwrite: return "overwrite";
    case ProgressStage::Erase: return "erase";
    case ProgressStage::Format: return "format";
    }
    return "";
}

CardBoard::CardBoard(std::FILE* progress, bool interactive, unsigned columns, std::FILE* results,
                     std::FILE* notes, Clock::time_point (*now)())
    : progress_(progress),
      interactive_(interactive && progress),
      columns_(std::max(columns, 20u)),
      results_(results),
      notes_(notes),
      now_(now) {}

CardBoard::~CardBoard() {
    if (progress_) std::fflush(progress_);
}

size_t CardBoard::add(std::string name) {
    Card card;
    card.name = std::move(name);
    cards_.push_back(std::move(card));
    draw();
    return cards_.size() - 1;
}

void CardBoard::progress(size_t card, const StageProgress& stage) {
    Card& c = cards_[card];
    if (stage.state == StageState::Off || stage.state == StageState::Waiting) return;
    c.current = stage;
    if (!progress_) return;
    if (!interactive_) return logEnd(c, stage);
    updateRate(c, stage);
    draw();
}

void CardBoard::logEnd(Card& card, const StageProgress& stage) {
    const char* how = stage.state == StageState::Cancelled           ? "cancelled"
                      : stage.state == StageState::Unsupported       ? "not supported"
                      : stage.total > 0 && stage.done >= stage.total ? "done"
                                                                     : nullptr;
    bool& logged = card.logged[static_cast<size_t>(stage.stage)];
    if (!how || logged) return;
    logged = true;
    std::fprintf(progress_, "%s: %s %s\n", card.name.c_str(),
                 stageWord_ ? stageWord_ : stageName(stage.stage), how);
    std::fflush(progress_);
}

void CardBoard::updateRate(Card& card, const StageProgress& stage) {
    const auto clear = [&card] {
        card.rate.clear();
        card.gauge.forgetReading();
    };
    if (stage.state != StageState::Running || stage.stage == ProgressStage::Format ||
        stage.done >= stage.total)
        return clear();
    const Clock::time_point now = now_();
    if (card.gauge.begin(stage.stage, now, stage.done)) return clear();
    if (const auto reading = card.gauge.read(now, stage.done, stage.total))
        card.rate = throughputText(reading->bytesPerSecond, reading->secondsLeft);
}

std::string CardBoard::line(const Card& card) const {
    size_t width = 0;
    for (const Card& c : cards_) width = std::max(width, c.name.size());
    std::string text = card.name;
    text.resize(std::min<size_t>(std::max(width, text.size()), 32), ' ');
    text += "  ";
    if (!card.current) return fitColumns(text + "starting", columns_ - 1);
    const StageProgress& s = *card.current;
    char stage[48];
    std::snprintf(stage, sizeof stage, "%-9s %3u%%", stageWord_ ? stageWord_ : stageName(s.stage),
                  s.percent);
    text += stage;
    if (s.state == StageState::Cancelled) text += " cancelled";
    else if (s.state == StageState::Unsupported) text += " not supported";
    else if (!card.rate.empty()) text += "  " + card.rate;
    // One column short of the width: a line that fills it would wrap on some terminals.
    return fitColumns(text, columns_ - 1);
}

void CardBoard::draw() {
    if (!interactive_) return;
    // Back over the block drawn last time, each line drawn again after clearing it.
    if (drawnLines_) std::fprintf(progress_, "\r\033[%uA", drawnLines_);
    drawnLines_ = 0;
    for (const Card& c : cards_) {
        if (!c.running) continue;
        std::fprintf(progress_, "\r\033[2K%s\n", line(c).c_str());
        ++drawnLines_;
    }
    std::fputs("\033[J", progress_); // a card's line that left since
    std::fflush(progress_);
}

void CardBoard::lift() {
    if (!interactive_ || drawnLines_ == 0) return;
    std::fprintf(progress_, "\r\033[%uA\033[J", drawnLines_);
    std::fflush(progress_);
    drawnLines_ = 0;
}

void CardBoard::note(size_t card, const std::string& text) {
    lift();
    std::fprintf(notes_, "%s: %s\n", cards_[card].name.c_str(), text.c_str());
    std::fflush(notes_);
    draw();
}

void CardBoard::finish(size_t card, const std::string& result) {
    cards_[card].running = false;
    lift();
    if (!result.empty()) {
        std::fprintf(results_, "%s\n", result.c_str());
        std::fflush(results_);
    }
    draw();
}

} // namespace brc::cli
