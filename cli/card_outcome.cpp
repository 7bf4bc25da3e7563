#include "cli/card_outcome.h"

#include <cstdlib>
#include <cstring>

#include "cli/arguments.h"
#include "cli/json.h"

namespace brc::cli {
namespace {

// The format's fields of the object, where it has them.
void readFields(CardOutcome& o) {
    std::optional<std::map<std::string, std::string>> fields = readFlatJson(o.object);
    if (!fields) return;
    std::map<std::string, std::string>& f = *fields;
    o.end = formatEndNamed(f["outcome"]).value_or(FormatEnd::Failed);
    o.fileSystem = f["fileSystem"];
    o.label = f["label"];
    o.message = f["message"];
    o.cause = f["cause"];
    o.status = static_cast<uint32_t>(std::strtoul(f["status"].c_str(), nullptr, 10));
}

// Why a run ended without an outcome.
std::string endCause(const CardRunSeen& seen) {
    if (!seen.exited) return "its format was ended by signal " + std::to_string(seen.signal);
    if (seen.startError != 0)
        return std::string("its format could not be started: ") + std::strerror(seen.startError);
    return "its format ended without a result";
}

} // namespace

const char* formatEndName(FormatEnd end) {
    switch (end) {
    case FormatEnd::Refused: return "refused";
    case FormatEnd::Cancelled: return "cancelled";
    case FormatEnd::Failed: return "failed";
    case FormatEnd::Formatted: return "formatted";
    }
    return "";
}

std::optional<FormatEnd> formatEndNamed(const std::string& word) {
    for (const FormatEnd end :
         {FormatEnd::Refused, FormatEnd::Cancelled, FormatEnd::Failed, FormatEnd::Formatted})
        if (word == formatEndName(end)) return end;
    return std::nullopt;
}

CardOutcome cardNotRun(FormatEnd end, const std::string& cause, const NotRunObject& notRun,
                       CardRunEnd run) {
    CardOutcome o;
    o.run = run;
    o.exitCode = kExitFailed;
    o.object = notRun(end, cause);
    readFields(o);
    return o;
}

CardOutcome decodeCardRun(const CardRunSeen& seen, const NotRunObject& notRun) {
    if (!seen.object || !readFlatJson(*seen.object)) {
        const CardRunEnd run = !seen.exited           ? CardRunEnd::Killed
                               : seen.startError != 0 ? CardRunEnd::StartFailed
                                                      : CardRunEnd::NoResult;
        CardOutcome o = cardNotRun(FormatEnd::Failed, endCause(seen), notRun, run);
        o.stopped = seen.stopped;
        return o;
    }
    CardOutcome o;
    o.run = CardRunEnd::Reported;
    // Only the statuses the manual lists: anything else a card's run ends with is a failure.
    const int code = seen.exited ? seen.exitCode : kExitFailed;
    o.exitCode = code == kExitOk || code == kExitPassCancelled ? code : kExitFailed;
    o.object = *seen.object;
    o.stopped = seen.stopped;
    readFields(o);
    return o;
}

} // namespace brc::cli
