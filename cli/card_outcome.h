// How one card's run of many ended, decoded once from what the starting run saw of it: the
// outcome line it sent (the command's JSON object), how its process ended, and whether it could
// be started at all.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "app/format_command.h"

namespace brc::cli {

// What the starting run saw of a card's run.
struct CardRunSeen {
    std::optional<std::string> object; // the outcome it sent
    int startError = 0;                // the error number it could not be started with
    bool exited = true;                // ended by exit, else by a signal
    int exitCode = 0;                  // exited: its exit status
    int signal = 0;                    // else: the signal that ended it
    bool stopped = false;              // Ctrl-C or SIGTERM was passed on to it
};

enum class CardRunEnd {
    Reported,    // its run sent an outcome that reads as one
    NotRun,      // never started: refused, cancelled or stopped first
    StartFailed, // its run could not be started
    Killed,      // a signal ended its run before it sent an outcome
    NoResult,    // its run ended without an outcome, or with one that does not read
};

struct CardOutcome {
    CardRunEnd run = CardRunEnd::NoResult;
    int exitCode = 0;     // the card's exit status, one the manual lists
    std::string object;   // the command's JSON object for the card, without its target
    bool stopped = false; // Ctrl-C or SIGTERM was passed on to its run
    // What the format's line says, read from the object (a probe's object has none of it).
    FormatEnd end = FormatEnd::Failed;
    std::string fileSystem, label, message, cause;
    uint32_t status = 0; // the report's status word
};

// The command's JSON object for a card whose run did not come to its end: `cause` says why.
using NotRunObject = std::function<std::string(FormatEnd end, const std::string& cause)>;

// The outcome of a card whose run ended.
CardOutcome decodeCardRun(const CardRunSeen& seen, const NotRunObject& notRun);
// The outcome of a card that was never started (refused, cancelled, or could not be).
CardOutcome cardNotRun(FormatEnd end, const std::string& cause, const NotRunObject& notRun,
                       CardRunEnd run = CardRunEnd::NotRun);

// The format's word for how it ended ("formatted"), and back.
const char* formatEndName(FormatEnd end);
std::optional<FormatEnd> formatEndNamed(const std::string& word);

} // namespace brc::cli
