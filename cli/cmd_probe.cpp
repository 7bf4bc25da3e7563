// brindlecard probe: whether a card holds what it announces (device/capacity_probe.h), and
// brindlecard probe --restore: what an interrupted probe could not put back, put back.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>

#include "app/format_report.h"
#include "base/code_page.h"
#include "cli/arguments.h"
#include "cli/card_lock.h"
#include "cli/commands.h"
#include "cli/json.h"
#include "cli/probe_run.h"
#include "cli/targets.h"
#include "cli/terminal_progress.h"
#include "cli/undo_file.h"
#include "device/capacity_probe.h"
#include "device/driver_settings.h"
#if !defined(_WIN32)
#include <unistd.h>

#include "cli/block_target.h"
#include "cli/format_many.h"
#include "platform/posix/block_volume.h"
#else
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#endif

namespace brc::cli {
namespace {

const char kProbeUsage[] =
    "usage: brindlecard probe TARGET... [--allow-loop] [--json] [--destructive [--yes]]\n"
    "       brindlecard probe --restore FILE TARGET [--allow-loop] [--force]\n"
    "\n"
    "Finds out whether a card holds what it announces. Counterfeit cards announce more than\n"
    "they hold: past their real part, writes land on the card's start again (wraparound) or\n"
    "are lost (limbo). The probe writes blocks tagged with their own position across the card,\n"
    "writes more to push them out of the card's write cache, and reads them back, narrowing\n"
    "down the end of the part that keeps them to within 1 %. What it found is tested once more\n"
    "after 1 GiB (half the part found, if less) went to the card, so a write cache up to that\n"
    "size cannot hide a lost part; the line and JSON say the cache ruled out.\n"
    "Everything it writes over is read first and written back afterwards, so the card holds\n"
    "what it held. It is saved first to a file of the user's own ($XDG_STATE_HOME/brindlecard,\n"
    "else ~/.local/state/brindlecard), flushed before the card is written: a probe stopped by\n"
    "Ctrl-C or SIGTERM puts back what it can at once, and where it could not (the card was\n"
    "pulled out, the probe was killed, the power failed) --restore FILE TARGET puts it back\n"
    "later. The file is removed once all is back. The card must not be mounted.\n"
    "\n"
    "Several TARGETs are probed side by side (Linux), each by a run of its own.\n"
    "\n"
    "  --allow-loop   take a loop device for a card\n"
    "  --json         one JSON object per card on one line: target, verdict (genuine,\n"
    "                 counterfeit, not-probed), kind (wraparound, limbo), announcedSectors,\n"
    "                 usableSectors, announcedBytes, usableBytes, cacheRuledOutBytes, restored,\n"
    "                 seconds, and cause or undoFile where they apply\n"
    "  --destructive  save nothing and put nothing back (faster; the card's data is lost);\n"
    "                 asks first\n"
    "  --yes          ask nothing before a destructive probe\n"
    "  --restore FILE  put back what an interrupted probe kept in FILE; refused for a card that\n"
    "                 is not the one FILE was saved from\n"
    "  --force        with --restore: put it back on this card all the same\n"
    "\n"
    "Exit status: 0 when every card is genuine (or, with --restore, everything was put back),\n"
    "1 when a card is counterfeit or could not be probed, 2 for a usage error.\n";

// "15.9 GB"; under a gigabyte "33.5 MB", so that a tiny real part does not read as none.
std::string gigabytes(uint64_t bytes) {
    char text[32];
    if (bytes < 1000000000u)
        std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1e6);
    else std::snprintf(text, sizeof text, "%.1f GB", static_cast<double>(bytes) / 1e9);
    return text;
}

std::string sizeText(uint64_t sectors) {
    const uint64_t bytes = sectors * 512;
    return grouped(bytes) + " bytes (" + gigabytes(bytes) + ")";
}

const char* verdictName(ProbeVerdict v) {
    return v == ProbeVerdict::Genuine       ? "genuine"
           : v == ProbeVerdict::Counterfeit ? "counterfeit"
                                            : "not-probed";
}

const char* kindName(ProbeKind k) {
    return k == ProbeKind::Wraparound ? "wraparound" : k == ProbeKind::Limbo ? "limbo" : "none";
}

// Where a wraparound card was seen keeping a sector past its real part.
std::string wrapText(const ProbeResult& r) {
    if (r.kind != ProbeKind::Wraparound || r.wrapSector == 0) return {};
    return " (sector " + grouped(r.wrapSector) + " reads back what was written to sector " +
           grouped(r.wrapShows) + ")";
}

} // namespace

std::string probeJson(const ProbeReport& p, bool withTarget) {
    JsonObject o;
    if (withTarget) o.string("target", p.target);
    o.string("verdict", verdictName(p.result.verdict));
    o.string("kind", kindName(p.result.kind));
    o.number("announcedSectors", static_cast<int64_t>(p.result.announcedSectors));
    o.number("usableSectors", static_cast<int64_t>(p.result.usableSectors));
    o.number("announcedBytes", static_cast<int64_t>(p.result.announcedSectors * 512));
    o.number("usableBytes", static_cast<int64_t>(p.result.usableSectors * 512));
    if (p.result.verdict != ProbeVerdict::NotProbed)
        o.number("cacheRuledOutBytes", static_cast<int64_t>(p.result.cacheRuledOutBytes));
    o.boolean("restored", p.result.restored);
    o.raw("seconds", p.secondsText());
    if (p.result.kind == ProbeKind::Wraparound && p.result.wrapSector != 0) {
        o.number("wrapSector", static_cast<int64_t>(p.result.wrapSector));
        o.number("wrapShows", static_cast<int64_t>(p.result.wrapShows));
    }
    if (!p.result.cause.empty()) o.string("cause", p.result.cause);
    if (!p.undoFile.empty()) o.string("undoFile", p.undoFile);
    return o.str();
}

std::string probeLine(const ProbeReport& p) {
    const ProbeResult& r = p.result;
    std::string line = p.target + ": ";
    if (r.verdict == ProbeVerdict::Genuine)
        line += "genuine, holds the " + sizeText(r.announcedSectors) + " it announces";
    else if (r.verdict == ProbeVerdict::Counterfeit && r.usableSectors == 0)
        line += std::string("counterfeit (") + kindName(r.kind) + "): none of the " +
                sizeText(r.announcedSectors) + " it announces was seen keeping its data";
    else if (r.verdict == ProbeVerdict::Counterfeit)
        line += std::string("counterfeit (") + kindName(r.kind) + "): usable " +
                sizeText(r.usableSectors) + " of the " + sizeText(r.announcedSectors) +
                " it announces" + wrapText(r);
    else line += "could not be probed: " + r.cause;
    if (r.verdict != ProbeVerdict::NotProbed && r.cacheRuledOutBytes != 0)
        line += "; a write cache of up to " + gigabytes(r.cacheRuledOutBytes) + " ruled out";
    line += "; " + p.secondsText() + " s";
    if (p.undoFile.empty() && !p.destructive && r.restored &&
        (r.verdict != ProbeVerdict::NotProbed || r.stopped))
        line += "; the card's content was put back";
    line = shownText(line);
    // On a line of its own: the path, the command, nothing escaped but what must be.
    if (!p.undoFile.empty())
        line += "\n  " +
                shownText("what the probe wrote over could not all be put back; it is kept in '" +
                          p.undoFile + "': brindlecard probe --restore '" + p.undoFile + "' " +
                          p.target + " puts it back");
    return line;
}

std::string ProbeReport::secondsText() const {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", seconds);
    return text;
}

namespace {

// Whether the card `target` may be written: a block device is vetted as a format vets it.
std::string writeRefusal(const Target& target, [[maybe_unused]] bool allowLoop) {
#if !defined(_WIN32)
    std::string refusal;
    if (target.blockDevice)
        refusal = vetBlockVolume(target.path, allowLoop, false, commandDeviceAccess()).refusal;
    if (refusal.empty())
        refusal = loopUseRefusal(target.path, "'" + target.display + "'", target.blockDevice);
    if (!refusal.empty()) return refusal;
#endif
    return imageProblem(target);
}

RunFlags* stopFlags = nullptr;
uint32_t SDHOST_CALL stopAsked(void*) { return stopFlags && formatStopAsked(*stopFlags) ? 1 : 0; }

// The card opened for writing through the driver library, closed with its flush checked.
struct OpenCard {
    const Target& target;
    std::unique_ptr<OsServices> os;
    DriverBinding driver;
    uint32_t opened = 0;
    std::string error;
    OpenCard(const Target& t) : target(t), os(osServicesFor(target)), driver(*os) {
        // The libraries ask the probe whether it was told to stop.
        frontEndContext().stopRequested = stopAsked;
        opened = openTarget(driver, target, error);
    }
    // Closed and opened again after a refused write, which a driver that queues writes takes
    // for the end of what it is given: what it refused is known, and the rest goes on.
    uint32_t reopen() {
        if (opened == 0) closeTarget(driver);
        return opened = openTarget(driver, target, error);
    }
    // DDFini: everything written is on the card when it returns 0.
    uint32_t close() {
        const uint32_t rc =
            opened == 0 && driver.driverRoute != 0 ? driver.api.DDFini(driver.driverHandle) : 0;
        opened = 1;
        return rc;
    }
    ~OpenCard() {
        close();
        frontEndContext().stopRequested = nullptr;
    }
};

void showProgress(bool shown, const std::string& card, unsigned round, unsigned percent) {
    if (!shown) return;
    const std::string line = "probing " + card + ": round " + std::to_string(round) + ", " +
                             std::to_string(percent) + "%";
    std::fprintf(stderr, "\r%s\033[K", fitColumns(shownText(line), terminalColumns() - 1).c_str());
    std::fflush(stderr);
}

std::string undoName(const Target& target) {
    return std::filesystem::path(target.path).filename().string();
}

// The file holds everything that was saved: what is left to put back takes its place, and where
// nothing is, the file goes. Where it is kept, its path.
std::string keepWhatIsLeft(ProbeUndo& undo, UndoFile& file, const Target& target) {
    if (undo.empty()) {
        file.remove();
        return {};
    }
    std::string error;
    UndoFile left;
    if (!left.create(undoName(target), error) || !undo.keepLeft(left) ||
        !left.replace(file.path(), error))
        left.remove(); // the whole file then: what went back already does no harm going again
    return file.path();
}

} // namespace

ProbeReport probeOne(const Target& target, const ProbeRequest& request) {
    const auto start = std::chrono::steady_clock::now();
    ProbeReport report{target.display, {}, {}, 0.0, request.destructive};
    ProbeResult& r = report.result;
    const auto done = [&] {
        report.seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        return report;
    };
#if !defined(_WIN32)
    r.cause = probeRunRefusal(target, request);
#endif
    if (r.cause.empty()) r.cause = writeRefusal(target, request.allowLoop);
    if (!r.cause.empty()) return done();
    CardFileLock lock(target.path);
    if (lock.heldElsewhere()) {
        r.cause = "another process holds a lock on '" + target.display + "'";
        return done();
    }
    RunFlags flags;
    stopFlags = &flags;
    OpenCard card(target);
    if (card.opened != 0) {
        r.cause = card.error;
        return done();
    }
    ProbeOptions options;
    options.destructive = request.destructive;
    options.nonce = std::random_device{}() ^ (uint64_t{std::random_device{}()} << 32) ^
                    static_cast<uint64_t>(start.time_since_epoch().count());
    options.stopRequested = [&] { return formatStopAsked(flags); };
    options.reopen = [&] { return card.reopen(); };
    const bool shown = request.progress && isatty(fileno(stderr)) != 0 && redrawableTerminal();
    options.progress = [&](unsigned round, unsigned percent) {
        showProgress(shown, target.display, round, percent);
#if !defined(_WIN32)
        sendProbeProgress(request, percent);
#endif
    };
    UndoFile file;
    if (!request.destructive && !file.create(undoName(target), r.cause)) {
        r.cause += "; nothing was written";
        return done();
    }
    ProbeUndo undo = request.destructive ? ProbeUndo() : ProbeUndo(file);
    r = probeCapacity(card.driver, options, undo);
    if (shown) std::fputs("\r\033[K", stderr);
    // Only a flushed card holds what was put back.
    if (card.close() != 0 && !request.destructive && r.bytesWritten > 0) {
        undo.rearm();
        r.restored = false;
    }
    if (!request.destructive) report.undoFile = keepWhatIsLeft(undo, file, target);
    return done();
}

namespace {

int restoreCommand(const std::string& file, const std::string& text, bool allowLoop, bool force) {
    const Target target = resolveTarget(text);
    UndoFile saved;
    std::string error;
    if (!saved.open(file, error)) throw RunError{error};
    ProbeUndo undo(saved);
    if (!undo.load(error)) throw RunError{"'" + file + "': " + error};
    if (std::string refusal = writeRefusal(target, allowLoop); !refusal.empty())
        throw RunError{refusal};
    CardFileLock lock(target.path);
    if (lock.heldElsewhere())
        throw RunError{"another process holds a lock on '" + target.display + "'"};
    OpenCard card(target);
    if (card.opened != 0) throw RunError{card.error};
    uint32_t rc = 0;
    const UndoCard now =
        undoCardOf(card.driver, announcedSectors(card.driver, rc), undo.card().nonce);
    if (const std::string other = undo.otherCard(card.driver, now); !other.empty() && !force)
        throw RunError{"'" + target.display + "' is not the card '" + file + "' was saved from: " +
                       other + "; nothing was written (--force puts it back all the same)"};
    const uint64_t sectors = undo.sectors();
    rc = undo.restore(card.driver, 0, [&] { return card.reopen(); });
    if (const uint32_t flushed = card.close(); rc == 0 && flushed != 0) {
        rc = flushed;
        undo.rearm();
    }
    if (rc != 0) {
        // Only what failed is kept, for the next try.
        keepWhatIsLeft(undo, saved, target);
        throw RunError{"the card failed a transfer while the saved sectors were put back" +
                       driverCodeNote(rc) + "; " + std::to_string(undo.sectors()) +
                       " sectors are left in '" + file + "': try again"};
    }
    saved.remove();
    std::printf("%s: the %llu sectors saved in '%s' were put back; the file was removed.\n",
                shownText(target.display).c_str(), static_cast<unsigned long long>(sectors),
                shownText(file).c_str());
    return kExitOk;
}

bool confirmDestructive(const std::vector<std::string>& targets) {
    std::string names;
    for (const std::string& t : targets) names += (names.empty() ? "" : ", ") + t;
    return askOkOrCancel("The probe overwrites what is on " + shownText(names) +
                         " and puts nothing back: the card's data is lost. Go on?");
}

} // namespace

int probeCommand(std::vector<std::string> argv) {
    Args args(std::move(argv));
    if (args.wantsHelp()) {
        std::fputs(kProbeUsage, stdout);
        return kExitOk;
    }
    ProbeRequest request;
    request.json = args.flag("--json");
    request.allowLoop = args.flag("--allow-loop");
    request.destructive = args.flag("--destructive");
    const bool yes = args.flag("--yes");
    const std::optional<std::string> restore = args.value("--restore");
    const bool force = args.flag("--force");
    if (force && !restore) throw UsageError{"--force goes with probe --restore only"};
#if !defined(_WIN32)
    request.channel = takeCardRunChannel(args);
#endif
    const std::vector<std::string> targets = args.positionals();
    if (targets.empty()) throw UsageError{"probe takes a TARGET (or several)"};
    if (restore) {
        if (targets.size() != 1 || request.destructive)
            throw UsageError{"probe --restore takes one FILE and one TARGET, and no --destructive"};
        return restoreCommand(*restore, targets[0], request.allowLoop, force);
    }
    if (request.destructive && !yes) {
        if (isatty(fileno(stdin)) == 0)
            throw UsageError{
                "without a terminal to confirm on, probe --destructive needs --yes; nothing was "
                "written"};
        if (!confirmDestructive(targets)) {
            std::fputs("brindlecard: cancelled; nothing was written.\n", stderr);
            return kExitFailed;
        }
    }
    installFormatSignalHandlers();
    request.progress = !request.json;
    if (targets.size() > 1) {
#if defined(_WIN32)
        throw UsageError{
            "several cards at once are probed on Linux only; here probe takes one TARGET"};
#else
        return probeManyCards(targets, request);
#endif
    }
    const ProbeReport report = probeOne(resolveTarget(targets[0]), request);
    const std::string out = request.json ? probeJson(report) : probeLine(report);
    std::printf("%s\n", out.c_str());
#if !defined(_WIN32)
    sendProbeOutcome(request, report);
#endif
    return report.result.verdict == ProbeVerdict::Genuine && report.undoFile.empty() ? kExitOk
                                                                                     : kExitFailed;
}

} // namespace brc::cli
