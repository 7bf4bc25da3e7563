// One card's probe as the command runs it (cli/cmd_probe.cpp), and several side by side, each by
// a run of its own (Linux, cli/probe_many.cpp).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "cli/progress_channel.h"
#include "cli/targets.h"
#include "device/capacity_probe.h"

namespace brc::cli {

struct ProbeRequest {
    bool json = false, allowLoop = false, destructive = false;
    bool progress = false; // a progress line on a terminal
#if !defined(_WIN32)
    std::optional<CardRunChannel> channel; // in a card's run of many: to the starting run
#endif
};

struct ProbeReport {
    std::string target; // as the user named it
    ProbeResult result;
    std::string undoFile; // where what could not be put back is kept
    double seconds = 0.0;
    bool destructive = false;
    std::string secondsText() const;
};

// Probes the card, keeping what it could not put back in a file.
ProbeReport probeOne(const Target& target, const ProbeRequest& request);

// The card's JSON object (`withTarget` false: without "target", for a card's run of many), and
// its line for a person.
std::string probeJson(const ProbeReport& report, bool withTarget = true);
std::string probeLine(const ProbeReport& report);

#if !defined(_WIN32)
// Several cards, side by side; the exit status: 0 when every card is genuine, else 1.
int probeManyCards(const std::vector<std::string>& targets, const ProbeRequest& request);
// In a card's run of many: the card it was started for, or why this is not that card.
std::string probeRunRefusal(const Target& target, const ProbeRequest& request);
// In a card's run of many: its progress and outcome to the starting run. Nothing elsewhere.
void sendProbeProgress(const ProbeRequest& request, unsigned percent);
void sendProbeOutcome(const ProbeRequest& request, const ProbeReport& report);
#endif

} // namespace brc::cli
