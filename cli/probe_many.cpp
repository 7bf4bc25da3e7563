// Several cards probed side by side through the format's many-card runs: each card's run is
// this program's probe of that card alone, its progress and outcome coming back on its pipe.
#include <cstdlib>
#include <map>
#include <optional>

#include "cli/arguments.h"
#include "cli/format_many.h"
#include "cli/json.h"
#include "cli/probe_run.h"
#include "cli/progress_channel.h"

namespace brc::cli {
namespace {

uint64_t numberField(std::map<std::string, std::string>& f, const char* key) {
    return std::strtoull(f[key].c_str(), nullptr, 10);
}

// A card's object read back into its report, for its line.
ProbeReport reportOf(const std::string& name, const CardOutcome& outcome) {
    ProbeReport p;
    p.target = name;
    std::map<std::string, std::string> f =
        readFlatJson(outcome.object).value_or(std::map<std::string, std::string>{});
    ProbeResult& r = p.result;
    r.verdict = f["verdict"] == "genuine"       ? ProbeVerdict::Genuine
                : f["verdict"] == "counterfeit" ? ProbeVerdict::Counterfeit
                                                : ProbeVerdict::NotProbed;
    r.kind = f["kind"] == "wraparound" ? ProbeKind::Wraparound
             : f["kind"] == "limbo"    ? ProbeKind::Limbo
                                       : ProbeKind::None;
    r.announcedSectors = numberField(f, "announcedSectors");
    r.usableSectors = numberField(f, "usableSectors");
    r.wrapSector = numberField(f, "wrapSector");
    r.wrapShows = numberField(f, "wrapShows");
    r.restored = f["restored"] == "true";
    // Its run was told to stop: what it put back is worth saying, as a probe of one says it.
    r.stopped = outcome.stopped;
    r.cause = f["cause"];
    p.undoFile = f["undoFile"];
    p.seconds = std::strtod(f["seconds"].c_str(), nullptr);
    return p;
}

std::string notRunObject(FormatEnd end, const std::string& cause) {
    ProbeReport p;
    p.result.cause =
        cause.empty() && end == FormatEnd::Cancelled ? "cancelled before the probe began" : cause;
    if (p.result.cause.empty()) p.result.cause = "the card's probe ended without a result";
    return probeJson(p, false);
}

} // namespace

std::string probeRunRefusal(const Target& target, const ProbeRequest& request) {
    if (request.channel && request.channel->identity != target.identity)
        return "'" + target.display +
               "' is no longer the card that was checked: it was replaced or moved meanwhile";
    return {};
}

void sendProbeProgress(const ProbeRequest& request, unsigned percent) {
    if (!request.channel) return;
    StageProgress stage{ProgressStage::Format, StageState::Running, percent, 100, percent};
    sendChannelLine(request.channel->fd, encodeProgressLine(stage));
}

void sendProbeOutcome(const ProbeRequest& request, const ProbeReport& report) {
    if (request.channel)
        sendChannelLine(request.channel->fd, encodeOutcomeLine(probeJson(report, false)));
}

int probeManyCards(const std::vector<std::string>& targets, const ProbeRequest& request) {
    ManyCardsRequest many;
    many.targets = targets;
    many.yes = true; // a destructive probe asked before
    many.json = request.json;
    many.allowLoop = request.allowLoop;
    many.command = "probe";
    if (request.destructive) many.cardOptions.push_back("--destructive");
    if (request.allowLoop) many.cardOptions.push_back("--allow-loop");
    many.notRun = notRunObject;
    many.resultLine = [](const std::string& name, const CardOutcome& outcome) {
        return probeLine(reportOf(name, outcome));
    };
    many.stageWord = "probe";
    return formatManyCards(many);
}

} // namespace brc::cli
