// A card's run of many decoded into its outcome: the object it sent, how its process ended,
// and whether it started at all.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "cli/arguments.h"
#include "cli/card_outcome.h"
#include "cli/format_many.h"
#include "cli/json.h"

namespace brc::cli {
namespace {

// The format's object for a card whose run did not come to its end, as the runner makes it.
std::string formatNotRun(FormatEnd end, const std::string& cause) {
    FormatOutcome outcome;
    outcome.end = end;
    outcome.result = end == FormatEnd::Cancelled ? Success : Failed;
    return formatOutcomeJson(outcome, cause);
}

// A format's object as a card's run sends it.
std::string sent(const char* outcome, const char* fileSystem, const char* label, int64_t status,
                 const char* message = "", const char* cause = "") {
    return JsonObject{}
        .number("result", 0)
        .string("outcome", outcome)
        .string("message", message)
        .string("cause", cause)
        .string("fileSystem", fileSystem)
        .string("label", label)
        .number("status", status)
        .str();
}

struct Case {
    const char* name;
    CardRunSeen seen;
    CardRunEnd run;
    int exitCode;
    FormatEnd end;
    const char* fileSystem;
    const char* label;
    uint32_t status;
    const char* cause;
    bool keepsObject; // the object is the one the run sent
};

TEST(CardOutcome, DecodesWhatTheRunSentAndHowItEnded) {
    const std::string formatted = sent("formatted", "FAT32", "CAM \"A\"", 0);
    const std::string cancelledPass = sent("formatted", "exFAT", "", StatusOverwriteCancelled);
    const std::string cancelled = sent("cancelled", "", "", 0, "", "answered Cancel");
    const std::string failed = sent("failed", "", "", 0, "The card is\nprotected.", "");
    const std::vector<Case> cases{
        {"a normal report",
         {formatted, 0, true, 0, 0, false},
         CardRunEnd::Reported,
         kExitOk,
         FormatEnd::Formatted,
         "FAT32",
         "CAM \"A\"",
         0,
         "",
         true},
        {"a cancelled overwrite",
         {cancelledPass, 0, true, kExitPassCancelled, 0, true},
         CardRunEnd::Reported,
         kExitPassCancelled,
         FormatEnd::Formatted,
         "exFAT",
         "",
         StatusOverwriteCancelled,
         "",
         true},
        {"a cancelled card",
         {cancelled, 0, true, kExitFailed, 0, false},
         CardRunEnd::Reported,
         kExitFailed,
         FormatEnd::Cancelled,
         "",
         "",
         0,
         "answered Cancel",
         true},
        {"a failed format",
         {failed, 0, true, kExitFailed, 0, false},
         CardRunEnd::Reported,
         kExitFailed,
         FormatEnd::Failed,
         "",
         "",
         0,
         "",
         true},
        {"a status the manual does not list",
         {formatted, 0, true, 77, 0, false},
         CardRunEnd::Reported,
         kExitFailed,
         FormatEnd::Formatted,
         "FAT32",
         "CAM \"A\"",
         0,
         "",
         true},
        {"a report, then killed",
         {formatted, 0, false, 0, 9, false},
         CardRunEnd::Reported,
         kExitFailed,
         FormatEnd::Formatted,
         "FAT32",
         "CAM \"A\"",
         0,
         "",
         true},
        {"a failed start",
         {std::nullopt, ENOENT, true, kExitFailed, 0, false},
         CardRunEnd::StartFailed,
         kExitFailed,
         FormatEnd::Failed,
         "",
         "",
         0,
         "its format could not be started: No such file or directory",
         false},
        {"killed without a report",
         {std::nullopt, 0, false, 0, 9, true},
         CardRunEnd::Killed,
         kExitFailed,
         FormatEnd::Failed,
         "",
         "",
         0,
         "its format was ended by signal 9",
         false},
        {"truncated JSON",
         {formatted.substr(0, 30), 0, true, kExitOk, 0, false},
         CardRunEnd::NoResult,
         kExitFailed,
         FormatEnd::Failed,
         "",
         "",
         0,
         "its format ended without a result",
         false},
        {"garbage",
         {"= {not json", 0, true, kExitOk, 0, false},
         CardRunEnd::NoResult,
         kExitFailed,
         FormatEnd::Failed,
         "",
         "",
         0,
         "its format ended without a result",
         false},
        {"a nested object",
         {"{\"outcome\":{\"formatted\":1}}", 0, true, kExitOk, 0, false},
         CardRunEnd::NoResult,
         kExitFailed,
         FormatEnd::Failed,
         "",
         "",
         0,
         "its format ended without a result",
         false},
        {"exit 0 and nothing sent",
         {std::nullopt, 0, true, kExitOk, 0, false},
         CardRunEnd::NoResult,
         kExitFailed,
         FormatEnd::Failed,
         "",
         "",
         0,
         "its format ended without a result",
         false},
    };
    for (const Case& c : cases) {
        const CardOutcome o = decodeCardRun(c.seen, formatNotRun);
        EXPECT_EQ(o.run, c.run) << c.name;
        EXPECT_EQ(o.exitCode, c.exitCode) << c.name;
        EXPECT_EQ(o.end, c.end) << c.name;
        EXPECT_EQ(o.fileSystem, c.fileSystem) << c.name;
        EXPECT_EQ(o.label, c.label) << c.name;
        EXPECT_EQ(o.status, c.status) << c.name;
        EXPECT_EQ(o.cause, c.cause) << c.name;
        EXPECT_EQ(o.stopped, c.seen.stopped) << c.name;
        // The object printed for the card: the run's own, or the command's for a card without one.
        EXPECT_EQ(o.object,
                  c.keepsObject ? *c.seen.object : formatNotRun(FormatEnd::Failed, c.cause))
            << c.name;
    }
}

TEST(CardOutcome, ACardNeverStartedGetsTheCommandsObject) {
    const CardOutcome refused = cardNotRun(FormatEnd::Refused, "'x' is mounted", formatNotRun);
    EXPECT_EQ(refused.run, CardRunEnd::NotRun);
    EXPECT_EQ(refused.exitCode, kExitFailed);
    EXPECT_EQ(refused.end, FormatEnd::Refused);
    EXPECT_EQ(refused.cause, "'x' is mounted");
    EXPECT_EQ(refused.object, formatNotRun(FormatEnd::Refused, "'x' is mounted"));
    const CardOutcome stopped = cardNotRun(FormatEnd::Cancelled, "a signal came", formatNotRun);
    EXPECT_EQ(stopped.end, FormatEnd::Cancelled);
    EXPECT_EQ(stopped.exitCode, kExitFailed);
}

TEST(CardOutcome, EndWordsGoThereAndBack) {
    for (const FormatEnd end :
         {FormatEnd::Refused, FormatEnd::Cancelled, FormatEnd::Failed, FormatEnd::Formatted})
        EXPECT_EQ(formatEndNamed(formatEndName(end)), end);
    EXPECT_EQ(formatEndNamed("Formatted"), std::nullopt);
    EXPECT_EQ(formatEndNamed(""), std::nullopt);
}

} // namespace
} // namespace brc::cli
