// brindlecard format with several cards (Linux): every card is checked first, one question
// names them all, then each is formatted by a run of its own (this program again, with one
// TARGET) side by side, its progress read back through a pipe; a card that fails leaves the
// others to finish.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/format_command.h"
#include "cli/arguments.h"
#include "cli/card_outcome.h"
#include "cli/progress_channel.h"

namespace brc::cli {

struct ManyCardsRequest {
    std::vector<std::string> targets; // as typed; empty with `all`
    bool all = false;                 // every card that list offers
    bool yes = false, json = false, allowLoop = false, unmount = false;
    FormatType type = Quick;
    std::vector<std::string> cardOptions; // what each card's run is given besides --yes --json
    // Another command run for each card in the same way (probe): its name, the JSON object of a
    // card whose run gave none, the line a card's object reads as, and the word its progress
    // line shows. Unset: format's own.
    std::string command = "format";
    NotRunObject notRun;
    std::function<std::string(const std::string& name, const CardOutcome& outcome)> resultLine;
    const char* stageWord = nullptr;
};
// The exit status: 0 when every card was formatted, else the worst of the cards'.
int formatManyCards(const ManyCardsRequest& request);

// In a card's run: the channel its starting run handed down (--card-run), closed on exec so
// nothing started later inherits it, and the card's descriptor (--card-device) handed on to the
// driver libraries; nullopt in a run the user started. Throws UsageError when the options do not
// name an inherited pipe and one descriptor.
std::optional<CardRunChannel> takeCardRunChannel(Args& args);

// The format's JSON object (cmd_format.cpp), for a card whose run never started.
std::string formatOutcomeJson(const FormatOutcome& outcome, const std::string& cause);

} // namespace brc::cli
