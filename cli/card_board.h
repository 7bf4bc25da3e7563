// Many cards formatting at once, on one console: on a terminal one line per card redrawn in
// place (stage, percentage, throughput, time left), in a log one line per card and finished
// stage; a card's result line, and any line its run printed, above the lines still running.
#pragma once

#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "cli/throughput.h"
#include "progress/progress.h"

namespace brc::cli {

class CardBoard {
public:
    using Clock = std::chrono::steady_clock;

    // Progress goes to `progress` (null: none is drawn, as under --json), result lines to
    // `results`, a card run's own lines to `notes`. `columns` bounds a terminal's lines, so
    // that none wraps and the block can be redrawn in place.
    CardBoard(std::FILE* progress, bool interactive, unsigned columns, std::FILE* results,
              std::FILE* notes, Clock::time_point (*now)() = Clock::now);
    ~CardBoard();
    CardBoard(const CardBoard&) = delete;
    CardBoard& operator=(const CardBoard&) = delete;

    // A card, shown as `name`; returns its number.
    size_t add(std::string name);
    void progress(size_t card, const StageProgress& stage);
    // A line the card's run printed on its own.
    void note(size_t card, const std::string& line);
    // The card is done: its line leaves the block and `result` (when not empty) is printed.
    void finish(size_t card, const std::string& result);

    // The words a card's line uses for a stage: the --type words.
    static const char* stageName(ProgressStage stage);
    // One word for every stage, for a command that has one (probe).
    void nameStages(const char* word) { stageWord_ = word; }

private:
    struct Card {
        std::string name;
        bool running = true;
        std::optional<StageProgress> current; // the stage last heard of that has begun
        bool logged[3] = {};                  // a log's line for each stage's end is out
        ThroughputGauge gauge;                // the running pass's
        std::string rate;
    };
    std::string line(const Card& card) const;
    void updateRate(Card& card, const StageProgress& stage);
    void logEnd(Card& card, const StageProgress& stage);
    // Takes the drawn block off the terminal (before other lines are printed) and draws it.
    void lift();
    void draw();

    std::FILE* progress_;
    bool interactive_;
    unsigned columns_;
    std::FILE* results_;
    std::FILE* notes_;
    Clock::time_point (*now_)();
    std::vector<Card> cards_;
    unsigned drawnLines_ = 0;
    const char* stageWord_ = nullptr;
};

} // namespace brc::cli
