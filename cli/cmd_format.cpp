// brindlecard format: the arguments, the Format command's host on a terminal, and its outcome
// as an exit status or one JSON object.
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "cli/arguments.h"
#include "cli/card_lock.h"
#include "cli/card_outcome.h"
#include "cli/commands.h"
#include "cli/format_many.h"
#include "cli/json.h"
#include "cli/label_words.h"
#include "cli/probe_run.h"
#include "cli/targets.h"
#include "app/format_command.h"
#include "app/format_report.h"
#include "app/startup_checks.h"
#include "base/code_page.h"
#include "cli/terminal_progress.h"
#if !defined(_WIN32)
#include "cli/block_target.h"
#include "platform/posix/oem_code_pages.h"
#endif
#include "device/driver_context.h"
#include "device/driver_settings.h"
#include "device/system_checks.h"
#include "engine/layout.h"
#include "os/os_services.h"
#include "progress/progress.h"
#include "res/message_ids.h"
#include "cli/cli_language.h"

#if defined(_WIN32)
#include <io.h>

#include "cli/elevated_run.h"
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

namespace brc::cli {
namespace {

const char kFormatUsage[] =
    "usage: brindlecard format [OPTIONS] [--] TARGET...\n"
    "       brindlecard format --all [OPTIONS]   (Linux)\n"
    "\n"
    "Formats a card: the partition table and an empty file system chosen by capacity.\n"
    "TARGET is a virtual card image, a card's device (Linux: /dev/mmcblk0, /dev/sdb) or a\n"
    "drive letter mapped in BRINDLECARD_CARDS. Only SD cards in a slot or a card reader\n"
    "are formatted: never a partition, a fixed or system disk, or one over 2 TiB.\n"
    "\n"
    "Several TARGETs, or --all (every card that list offers; loop devices with --allow-loop),\n"
    "are formatted side by side, each by a run of its own with the same options (Linux only).\n"
    "Every card is checked first and one question names them all; one card named and refused\n"
    "refuses the run (with --all it is left out). Runs start as the open-file limit leaves\n"
    "room. A card that fails or is pulled out leaves the others to finish. On a terminal\n"
    "each card has a line redrawn in place; otherwise each card's finished stages are logged.\n"
    "Then one line per card on standard output, or with --json one object per card with its\n"
    "\"target\". Ctrl-C and SIGTERM reach every card's run.\n"
    "\n"
    "  -t, --type quick        write the system area only; the data area is not touched (default)\n"
    "  -t, --type overwrite    full format: 0xFF over the whole user area first\n"
    "  -t, --type erase        full format: erase the card's flash first\n"
    "  -t, --type overwrite-erase  full format: overwrite, then erase\n"
    "  -L, --label TEXT        volume label (FAT: 11 bytes; exFAT: 11 characters)\n"
    "  --codepage N            OEM code page of a FAT label: 437, 850, 866, 932, 936 or 950\n"
    "                          (Linux; by default the locale's, 437 where it names none)\n"
    "  --size-adjust           round the user area down to whole cylinders\n"
    "  -y, --yes               answer the confirmations with OK (needed without a terminal)\n"
    "  -q, --quiet             no progress and no report; errors only (the exit status tells)\n"
    "  -v, --verbose           driver-library codes in the messages\n"
    "  --progress              without a terminal, a progress line per percent (by default one\n"
    "                          per finished stage); on a terminal the lines are redrawn in place\n"
    "                          (plain lines under TERM=dumb)\n"
    "  --unmount               unmount the card's mounted partitions once every check has\n"
    "                          passed and the questions are answered (else refused)\n"
    "  --allow-loop            take a loop device for a card\n"
    "  --verify                after the format, read back every sector it wrote (for an\n"
    "                          overwrite the whole user area) and compare; a card that does not\n"
    "                          keep what was written (a counterfeit, a failing card) fails\n"
    "  --probe                 probe the card first, overwriting it (see brindlecard probe): a\n"
    "                          counterfeit card is formatted as a card of its usable size\n"
    "  --json                  one JSON object on one line instead of the messages; its\n"
    "                          outcome is formatted, failed, refused or cancelled, and\n"
    "                          messageId and message give what the user would be shown\n"
    "                          (messageId 0 with the report), and cause says why in one\n"
    "                          sentence where the message alone does not; with --verify\n"
    "                          also verified, verifyMs and verifySectors; with --probe also\n"
    "                          counterfeit, and for a counterfeit card usableSectors and\n"
    "                          formattedSectors (below the band of sizes the layout rules\n"
    "                          refuse, where the usable part falls in it)\n"
    "\n"
    "A user who may not open a card's device has udisks2 open it (and unmount it with\n"
    "--unmount) where polkit allows; otherwise the command says to run it as root (Linux).\n"
    "\n"
    "Ctrl-C cancels an overwrite or erase: the file system is still written, the command\n"
    "says \"overwrite cancelled at N%\" and exits with 3 (--json: outcome formatted, with\n"
    "the cancel in status and cause).\n"
    "At a confirmation it answers Cancel. SIGTERM abandons the format at its next checkpoint\n"
    "and says so: the card may hold part of a file system and must be formatted again before\n"
    "use (--json: messageId 270). The result is then 1 and the exit status 1; further\n"
    "signals during the shutdown change nothing.\n"
    "On Linux, a card that gives nothing back for 5 seconds after Ctrl-C or SIGTERM while\n"
    "writes are on their way to it is given up on and the command says so (exit status 1);\n"
    "the kernel may still hold the command until those writes are through.\n"
    "With SOURCE_DATE_EPOCH set (seconds, UTC), time stamps and serial numbers come from it,\n"
    "so the same card formats to the same bytes every time.\n"
    "Exit status: 0 when the card was formatted and the report shown, 3 when it was formatted\n"
    "after Ctrl-C cancelled its overwrite or erase, 1 for any other outcome (a refusal, a\n"
    "cancel, an error message), 2 for a usage error; with several cards, 0 when every card\n"
    "was formatted, else the worst of the cards'.\n";

FormatType parseType(const std::string& name) {
    if (name == "quick") return Quick;
    if (name == "overwrite") return FullOverwrite;
    if (name == "erase") return FullErase;
    if (name == "overwrite-erase") return FullOverwriteErase;
    throw UsageError{"--type must be quick, overwrite, erase or overwrite-erase, not '" + name +
                     "'"};
}

// The Format command's host on a terminal: questions on standard error, messages on standard
// error (errors) or output, the progress window as lines on standard error. A terminal has no
// controls, timer, drive list or cursor to manage. With --json nothing is printed but the
// progress; the outcome goes into the one JSON object.
const char kStoppedBySignal[] =
    "stopped by a signal (SIGTERM) before the format was finished; the card may hold part of a "
    "file system: format it again before use";

// After the signal (SIGTERM, else Ctrl-C) the card gave nothing back, and the driver library
// gave up on it: the kernel may still hold the command until the writes it has are through.
std::string abandonedCardText(bool terminated) {
    return std::string(terminated ? "stopped by a signal (SIGTERM)" : "cancelled by Ctrl-C") +
           " before the format was finished; the card stopped answering and was given up on, "
           "though the system may keep the command from ending until the writes already sent to "
           "it are through or the card is removed: format it again before use";
}

// Whether the run was told to stop, for the driver library's waits on the card: the signals
// counted and those already pumped into the flags.
uint32_t SDHOST_CALL runStopAsked(void* flags) {
    return formatStopAsked(*static_cast<const RunFlags*>(flags)) ? 1 : 0;
}

// How much the run says on the way.
struct Speech {
    bool yes = false, json = false, quiet = false, everyPercent = false;
};

class TerminalHost final : public FormatHost {
public:
    // `card`, when given, names the card above the first question.
    TerminalHost(const Speech& speech, RunFlags& flags, std::string card, const Target& target)
        : yes_(speech.yes),
          json_(speech.json),
          quiet_(speech.quiet),
          driver_(frontEndContext()),
          card_(std::move(card)),
          target_(target),
          progress_(speech.json || speech.quiet ? nullptr : stderr, redrawableTerminal(), flags,
                    commandLineMessages()) {
        progress_.fitTo(terminalColumns());
        // A terminal that cannot be drawn on in place is still watched: every percent.
        progress_.logEveryPercent(speech.everyPercent || isatty(fileno(stderr)) != 0);
        progress_.dropConsole(speech.quiet && !speech.json);
        driver_.stopRequested = runStopAsked;
        driver_.user = &flags;
        driver_.cardAbandoned = 0;
    }
    // The libraries stay loaded in the process: they ask no run that is over.
    ~TerminalHost() {
        driver_.stopRequested = nullptr;
        driver_.user = nullptr;
    }

    bool confirm(uint32_t, const std::u16string& question, uint32_t) override {
        if (yes_) return true;
        if (!card_.empty()) std::fprintf(stderr, "Card: %s\n", card_.c_str());
        card_.clear();
        return askOkOrCancel(utf16ToUtf8(question));
    }
    void showMessage(uint32_t id, const std::u16string& message, uint32_t style) override {
        // On a terminal the only "suspend" is SIGTERM: say what happened instead.
        if (id == msg::SuspendDetected) {
            if (!json_) std::fprintf(stderr, "brindlecard: %s.\n", signalCause().c_str());
            return;
        }
        if (json_ || (quiet_ && style != kStyleError)) return;
        std::fprintf(style == kStyleError ? stderr : stdout, "%s\n", utf16ToUtf8(message).c_str());
    }
    void EnableControls(bool) override {}
    void stopPollTimer() override {}
    void startPollTimer() override {}
    void refreshDriveList() override {}
    void BeginWaitCursor() override {}
    void EndWaitCursor() override {}
    void repaintNow() override {}
    void pumpPendingMessages() override { progress_.pumpPendingMessages(); }
    ProgressWindowHost& progressWindow() override { return progress_; }

#if !defined(_WIN32)
    // The answers are in: the card must still be what was checked, and only now is it
    // unmounted (with --unmount) and asked for once more.
    uint32_t takeCardForWriting() override {
        refusal_ = target_.changed();
        if (!refusal_.empty()) return msg::CannotFormat;
        if (!volume_) return 0;
        const bool letGo = lock_ && !volume_->toUnmount.empty() && udisksActsForUser(access_);
        if (letGo) lock_->letGo();
        refusal_ = takeBlockVolume(target_.path, *volume_, access_);
        if (letGo && !lock_->takeAgain() && refusal_.empty())
            refusal_ = "another process took the lock on '" + target_.display +
                       "' while its card was unmounted";
        for (const std::string& point : volume_->unmounted) say("unmounted " + point);
        return refusal_.empty() ? 0 : msg::CardInUse;
    }
    // The checks of a card's device, done before the questions, how it is reached, and the
    // run's lock on it.
    void setVolume(BlockVolumeCheck* volume, const DeviceAccess& access, CardFileLock* lock) {
        volume_ = volume;
        access_ = access;
        lock_ = lock;
    }
#endif
    void reportProgressTo(int fd) { progress_.reportTo(fd); }
    std::optional<TerminalProgress::Cancelled> cancelledPass() const {
        return progress_.cancelledPass();
    }
    // Why takeCardForWriting refused, in one sentence.
    const std::string& refusal() const { return refusal_; }
    bool cardAbandoned() const { return driver_.cardAbandoned != 0; }
    // Why SIGTERM stopped the run, in one sentence.
    std::string signalCause() const {
        return cardAbandoned() ? abandonedCardText(true) : kStoppedBySignal;
    }

private:
    bool yes_, json_, quiet_;
    // What the driver libraries are told of the run (whether it was told to stop) and tell back.
    BrcDriverContext& driver_;
    std::string card_;
    const Target& target_;
    std::string refusal_;
#if !defined(_WIN32)
    BlockVolumeCheck* volume_ = nullptr;
    DeviceAccess access_;
    CardFileLock* lock_ = nullptr;
#endif
    TerminalProgress progress_;
};

// With --json, standard output carries one JSON object and nothing else: whatever the driver
// library or the passes print on the way goes to standard error meanwhile.
class StdoutToStderr {
public:
    StdoutToStderr() {
        std::fflush(stdout);
        saved_ = dup(fileno(stdout));
        if (saved_ >= 0) dup2(fileno(stderr), fileno(stdout));
    }
    ~StdoutToStderr() {
        std::fflush(stdout);
        if (saved_ >= 0) {
            dup2(saved_, fileno(stdout));
            close(saved_);
        }
    }
    StdoutToStderr(const StdoutToStderr&) = delete;
    StdoutToStderr& operator=(const StdoutToStderr&) = delete;

private:
    int saved_ = -1;
};

// The messages that say the card cannot be formatted without saying why.
bool saysOnlyCannotFormat(uint32_t messageId) {
    return messageId == msg::CannotFormat || messageId == msg::CannotFormatReinsertCard ||
           messageId == msg::CannotFormatRemoveCard || messageId == msg::DriveOrCardNotSupported;
}

} // namespace

std::string formatOutcomeJson(const FormatOutcome& o, const std::string& cause) {
    const bool formatted = o.end == FormatEnd::Formatted;
    JsonObject json;
    json.number("result", o.result)
        .string("outcome", formatEndName(o.end))
        .number("messageId", o.messageId)
        .string("message", utf16ToUtf8(o.message))
        .string("cause", cause)
        .string("fileSystem", formatted ? fileSystemName(o.figures.fileSystemKind) : "")
        .number("fsType", o.figures.fileSystemKind)
        .number("totalSectors", o.figures.totalSectors)
        .number("partitionSectors", o.figures.partitionSectors)
        .number("clusterBytes", o.figures.clusterBytes)
        .string("label", utf16ToUtf8(o.label))
        .number("labelRejected", o.labelRejected)
        .number("status", o.status)
        .number("overwriteResult", o.figures.overwriteResult)
        .number("eraseResult", o.figures.eraseResult)
        .number("overwriteMs", o.figures.overwriteTime)
        .number("eraseMs", o.figures.eraseTime);
    if (const VerifyFigures& v = o.figures.verify; v.asked)
        json.boolean("verified", v.done && v.kept)
            .number("verifyMs", v.time)
            .number("verifySectors", static_cast<int64_t>(v.sectors));
    return json.str();
}

namespace {

// What the arguments ask for.
struct FormatOptions {
    std::vector<std::string> targets; // as typed
    Target target;                    // the one TARGET, resolved
    FormatType type = Quick;
    std::u16string label;
    unsigned codePage = 0;
    bool sizeAdjust = false, yes = false, json = false, unmount = false, allowLoop = false,
         all = false;
    bool quiet = false, everyPercent = false, verify = false, probe = false;
    std::optional<ProbeReport> probed;     // what the probe before the format found
    std::vector<std::string> cardOptions;  // the options again, for each card's run of many
    std::optional<CardRunChannel> channel; // a card's run of many: where its progress goes
#if !defined(_WIN32)
    DeviceAccess access; // a card's device for a user its node refuses
#endif
    bool one() const { return !all && targets.size() == 1; }
};

// What a counterfeit card is formatted as: its usable part, or, where that falls in the band of
// sizes the layout rules refuse, the largest size below the band, which they format.
uint32_t formattedSectors(const ProbeResult& r) {
    if (r.usableSectors >= kRefusedBandFirst && r.usableSectors <= kRefusedBandLast)
        return kRefusedBandFirst - 1;
    return static_cast<uint32_t>(r.usableSectors);
}

// The outcome as one JSON object: on standard output with --json, and to the run that started
// this one for a card of many, as a record of its own.
void reportOutcome(const FormatOptions& o, const FormatOutcome& outcome, const std::string& cause) {
    std::string json = formatOutcomeJson(outcome, cause);
    if (o.probed) {
        const ProbeResult& r = o.probed->result;
        const bool counterfeit = r.verdict == ProbeVerdict::Counterfeit;
        json.insert(json.size() - 1,
                    std::string(",\"counterfeit\":") + (counterfeit ? "true" : "false"));
        if (counterfeit)
            json.insert(json.size() - 1,
                        ",\"usableSectors\":" + std::to_string(r.usableSectors) +
                            ",\"formattedSectors\":" + std::to_string(formattedSectors(r)));
    }
    if (o.json) std::printf("%s\n", json.c_str());
#if !defined(_WIN32)
    // Should the starting run be gone, nobody is left to tell.
    if (o.channel) sendChannelLine(o.channel->fd, encodeOutcomeLine(json));
#endif
}

FormatOptions readOptions(Args& args) {
    FormatOptions o;
    o.sizeAdjust = args.flag("--size-adjust");
    o.yes = args.flag("--yes");
    o.json = args.flag("--json");
    o.unmount = args.flag("--unmount");
    o.allowLoop = args.flag("--allow-loop");
    o.all = args.flag("--all");
    o.quiet = args.flag("--quiet");
    o.everyPercent = args.flag("--progress");
    o.verify = args.flag("--verify");
    o.probe = args.flag("--probe");
    setVerboseMessages(args.flag("--verbose"));
    const std::string type = args.value("--type").value_or("quick");
    o.type = parseType(type);
    const std::optional<std::string> label = args.value("--label");
    o.label = labelArgument(label.value_or(""));
    o.codePage = codePageOption(args);
    o.cardOptions = {"--type", type};
    if (label) o.cardOptions.insert(o.cardOptions.end(), {"--label", *label});
    if (o.codePage)
        o.cardOptions.insert(o.cardOptions.end(), {"--codepage", std::to_string(o.codePage)});
    for (const auto& [set, name] : {std::pair{o.sizeAdjust, "--size-adjust"},
                                    {o.unmount, "--unmount"},
                                    {o.allowLoop, "--allow-loop"},
                                    {verboseMessages(), "--verbose"},
                                    {o.verify, "--verify"},
                                    {o.probe, "--probe"}})
        if (set) o.cardOptions.push_back(name);
#if !defined(_WIN32)
    o.channel = takeCardRunChannel(args);
#endif
    o.targets = args.positionals();
    if (o.all && !o.targets.empty())
        throw UsageError{"format takes either TARGETs or --all, not both"};
    if (o.targets.empty() && !o.all)
        throw UsageError{"format takes a TARGET (or several, or --all)"};
    if (!o.one()) {
#if defined(_WIN32)
        throw UsageError{
            "several cards at once are formatted on Linux only; here format takes one TARGET"};
#else
        return o;
#endif
    }
    o.target = resolveTarget(o.targets[0]);
    if (!o.yes && isatty(fileno(stdin)) == 0)
        throw UsageError{
            "without a terminal to confirm on, format needs --yes; nothing was written"};
#if !defined(_WIN32)
    o.access = commandDeviceAccess();
#endif
    return o;
}

// The card as the checks before the questions found it.
struct CheckedCard {
    std::string name; // a real card as the confirmation names it
#if !defined(_WIN32)
    BlockVolumeCheck volume;     // a card's device: what it is, where it is mounted
    bool rescanAfterRun = false; // its table is read again once the run holds it no more
#endif
};

// The number of the code page a FAT label is stored in, 0 where the command does not know it.
unsigned labelPageNumber([[maybe_unused]] unsigned chosen) {
#if defined(_WIN32)
    return 0;
#else
    return chosen ? chosen : localeOemCodePage();
#endif
}

// Why the label was refused: the plan that refused it says which file system takes it.
std::string labelCause(const FormatOptions& o, const FormatPlan& plan, OsServices& os) {
    if (!plan.layoutDone) return {};
    return labelProblem(o.label, plan.params.fsType, os.oemCodePage(),
                        labelPageNumber(o.codePage)) +
           "; nothing was written";
}

// After the run: the kernel is told of a device's new partition table, and the cause is found
// where the message alone does not say why.
std::string afterRun(const TerminalHost& host, const FormatOutcome& outcome, DriverBinding& driver,
                     const Target& target, [[maybe_unused]] CheckedCard& card) {
    if (!host.refusal().empty()) return host.refusal() + "; nothing was written";
#if !defined(_WIN32)
    // The new partition shows once the kernel reads the table again. Root asks it now; another
    // user asks udisks2 once every descriptor of the card this run holds is closed.
    std::string reread;
    if (target.blockDevice && outcome.end != FormatEnd::Refused &&
        outcome.end != FormatEnd::Cancelled) {
        if (::geteuid() != 0) card.rescanAfterRun = true;
        else if (!rereadPartitionTable(target.path, reread) && !reread.empty()) say(reread);
    }
#endif
    if (!saysOnlyCannotFormat(outcome.messageId)) return {};
    std::string cause = explainCardProblem(driver, target);
    if (cause.empty() && outcome.end == FormatEnd::Failed)
        cause =
            "the card failed a transfer during the format: it was removed, turned "
            "read-only or is failing";
    return cause;
}

// Why the start-up checks refused, where the system's text does not say what to do: on Windows
// it asks for an account with administrator rights, which an administrator at a prompt that was
// not elevated has; that one is told where to run the command instead.
std::string startupCause([[maybe_unused]] uint32_t refusal) {
#if defined(_WIN32)
    if (refusal == msg::AdministratorRequired)
        return "formatting takes administrator rights: run brindlecard-cli from a command prompt "
               "opened with \"Run as administrator\"; nothing was written";
#endif
    return {};
}

// Why a card that was read back failed, in one sentence; empty when it kept everything.
std::string verifyCause(const VerifyFigures& v) {
    if (!v.done || v.kept) return {};
    return "the card did not keep sector " + std::to_string(v.sector) +
           (v.unreadable ? ": it could not be read back after the format"
                         : ": it reads back otherwise than written");
}

// The binding identifies a counterfeit card as no larger than its usable part, which the format
// then lays out.
void prepareDriver(DriverBinding& driver, const FormatOptions& o) {
    if (o.probed && o.probed->result.verdict == ProbeVerdict::Counterfeit)
        driver.usableSectors = formattedSectors(o.probed->result);
}

// The run from the system's services to the last message; `cause` says why in one sentence
// where the system's text does not.
void runFormat(const FormatOptions& o, CheckedCard& card, FormatOutcome& outcome,
               std::string& cause, bool& passCancelled) {
    std::optional<StdoutToStderr> quiet;
    if (o.json) quiet.emplace();
    const std::unique_ptr<OsServices> os = osServicesFor(o.target, o.codePage);
    SystemState sys(*os);
    RunFlags flags;
    TerminalHost host({o.yes, o.json, o.quiet, o.everyPercent}, flags, card.name, o.target);
    DriverBinding driver(*os); // gone before the host, which tells the libraries of the run
    prepareDriver(driver, o);
    if (o.channel) host.reportProgressTo(o.channel->fd);
#if defined(_WIN32)
    // One formatting copy at a time, as the desktop program keeps it on Windows.
    const InstanceGuard guard(*os);
#endif
    // Held until the run is over: one format per card. Two cards format side by side.
    CardFileLock cardLock(o.target.path);
#if !defined(_WIN32)
    if (o.target.blockDevice) host.setVolume(&card.volume, o.access, &cardLock);
#endif
    uint32_t refusal = 0;
#if defined(_WIN32)
    refusal = guard.refusal();
    if (refusal != 0)
        cause = "another copy of Brindlecard is formatting a card; nothing was written";
#endif
    if (refusal == 0 && cardLock.heldElsewhere()) {
        refusal = msg::CardInUse;
        cause = "another process holds a lock on '" + o.target.display + "'; nothing was written";
    }
    if (refusal == 0 && (refusal = runStartupChecks(sys, driver)) != 0)
        cause = startupCause(refusal);
    if (refusal != 0) {
        outcome.result = Failed;
        outcome.messageId = refusal;
        outcome.message = commandLineMessages().text(refusal);
        host.showMessage(refusal, outcome.message, kStyleError);
        return;
    }
    FormatEnvironment env{driver, sys, flags, commandLineMessages(), os->oemCodePage()};
    installFormatSignalHandlers();
    outcome = FormatCommand(env, host).run(
        {o.target.rootPath(), o.label, o.type, o.sizeAdjust, o.verify});
    if (outcome.end == FormatEnd::Cancelled)
        std::fprintf(stderr, "brindlecard: cancelled; nothing was written.\n");
    // Ctrl-C stops the overwrite or erase, and the file system is written all the same: the
    // card is usable, but not what was asked for.
    if (const auto pass = host.cancelledPass(); pass && outcome.end == FormatEnd::Formatted) {
        passCancelled = true;
        cause = std::string(pass->stage == ProgressStage::Overwrite ? "overwrite" : "erase") +
                " cancelled at " + std::to_string(pass->percent) + "%; the file system was written";
        return;
    }
    if (flags.powerAbort || host.cardAbandoned()) {
        cause = flags.powerAbort ? host.signalCause() : abandonedCardText(false);
        return;
    }
    cause = outcome.result == InvalidLabel && outcome.end != FormatEnd::Formatted
                ? labelCause(o, outcome.figures.plan, *os)
                : afterRun(host, outcome, driver, o.target, card);
    if (std::string unkept = verifyCause(outcome.figures.verify); !unkept.empty()) cause = unkept;
}

// The probe before the format, over whatever the card holds: a card that could not be probed
// is not formatted. False when the run ends here.
bool probeFirst(FormatOptions& o, FormatOutcome& outcome) {
    if (!o.yes && !askOkOrCancel("Probing '" + shownText(o.target.display) +
                                 "' overwrites what it holds before the format. Go on?")) {
        outcome.end = FormatEnd::Cancelled;
        outcome.result = Failed;
        reportOutcome(o, outcome, "");
        if (!o.json) std::fputs("brindlecard: cancelled; nothing was written.\n", stderr);
        return false;
    }
    installFormatSignalHandlers();
    ProbeRequest probe;
    probe.json = o.json;
    probe.allowLoop = o.allowLoop;
    probe.destructive = true;
    probe.progress = !o.json && !o.quiet;
    o.probed = probeOne(o.target, probe);
    const ProbeResult& r = o.probed->result;
    if (!o.json && !o.quiet && r.verdict != ProbeVerdict::NotProbed)
        std::printf("%s\n", probeLine(*o.probed).c_str());
    // A counterfeit card none of whose tested blocks kept its data has no size to format as.
    if (r.verdict == ProbeVerdict::Genuine ||
        (r.verdict == ProbeVerdict::Counterfeit && r.usableSectors != 0))
        return true;
    outcome.result = Failed;
    const std::string cause =
        r.verdict == ProbeVerdict::Counterfeit
            ? "the card is counterfeit and no part of it was seen keeping its data; it was not "
              "formatted"
            : "the card could not be probed: " + r.cause + "; it was not formatted";
    reportOutcome(o, outcome, cause);
    if (!o.json) say(cause);
    return false;
}

// What a person is told after the report: what was read back, and that a counterfeit card was
// formatted as a card of its usable part.
void sayAfterFormat(const FormatOptions& o, const FormatOutcome& outcome) {
    const VerifyFigures& verify = outcome.figures.verify;
    if (verify.done && verify.kept)
        std::printf("Verified: the %llu sectors the format wrote read back as written (%.1f s).\n",
                    static_cast<unsigned long long>(verify.sectors), verify.time / 1000.0);
    if (o.probed && o.probed->result.verdict == ProbeVerdict::Counterfeit)
        std::printf(
            "The card is counterfeit: it was formatted as a card of %s sectors (it keeps %s), "
            "not the %s it announces (check it with check --sectors %llu).\n",
            grouped(formattedSectors(o.probed->result)).c_str(),
            grouped(o.probed->result.usableSectors).c_str(),
            grouped(o.probed->result.announcedSectors).c_str(),
            static_cast<unsigned long long>(formattedSectors(o.probed->result)));
}

#if defined(_WIN32)
// Refused the disk for want of rights, with nothing written, as an administrator under UAC: the
// format runs once more elevated, in this console. Its exit status, or nullopt (with `cause`
// saying why) where it did not run.
std::optional<int> formatElevated(const FormatOptions& o, const FormatOutcome& outcome,
                                  const std::vector<std::string>& given, std::string& cause) {
    if (outcome.messageId != msg::AdministratorRequired || outcome.end == FormatEnd::Formatted ||
        relayed() || !elevationMayHelp())
        return std::nullopt;
    if (!o.json)
        std::fputs("brindlecard: asking Windows to run the format with administrator rights\n",
                   stderr);
    std::vector<std::string> args{"format"};
    args.insert(args.end(), given.begin(), given.end());
    std::string why;
    if (const std::optional<int> status = runElevated(args, why)) return status;
    cause = why + (cause.empty() ? "" : "; " + cause);
    return std::nullopt;
}
#endif

#if !defined(_WIN32)
ManyCardsRequest manyCardsRequest(const FormatOptions& o) {
    ManyCardsRequest many;
    many.targets = o.targets;
    many.all = o.all;
    many.yes = o.yes;
    many.json = o.json;
    many.allowLoop = o.allowLoop;
    many.unmount = o.unmount;
    many.type = o.type;
    many.cardOptions = o.cardOptions;
    return many;
}
#endif

} // namespace

int formatCommand(std::vector<std::string> argv) {
#if defined(_WIN32)
    const std::vector<std::string> given = argv;
#endif
    Args args(std::move(argv));
    if (args.wantsHelp()) {
        std::fputs(kFormatUsage, stdout);
        return kExitOk;
    }
    FormatOptions options = readOptions(args);
#if !defined(_WIN32)
    if (!options.one()) return formatManyCards(manyCardsRequest(options));
#endif
    FormatOutcome outcome;
    std::string cause; // why, in one sentence, where the system's text does not say
    CheckedCard card;
#if !defined(_WIN32)
    // Everything that can be looked at is looked at before the questions; nothing is changed
    // (not even an unmount) until the user has said yes.
    // A card's run of many formats the very card its starting run checked and the user confirmed.
    if (options.channel && options.channel->identity != options.target.identity)
        card.volume.refusal = "'" + options.target.display +
                              "' is no longer the card that was confirmed: it "
                              "was replaced or moved meanwhile";
    else if (options.target.blockDevice)
        card.volume =
            vetBlockVolume(options.target.path, options.allowLoop, options.unmount, options.access);
    // A loop device over the same medium would have the format written under whatever uses it.
    if (card.volume.refusal.empty())
        card.volume.refusal = loopUseRefusal(
            options.target.path, "'" + options.target.display + "'", options.target.blockDevice);
    if (const std::string& refusal = card.volume.refusal; !refusal.empty()) {
        outcome.result = Failed;
        reportOutcome(options, outcome, refusal);
        if (!options.json) say(refusal, "; nothing was written.");
        return kExitFailed;
    }
    if (options.target.blockDevice) card.name = describeCard(card.volume.device);
#endif
    bool passCancelled = false; // formatted, after Ctrl-C stopped the overwrite or erase
    if (options.probe && !probeFirst(options, outcome)) return kExitFailed;
    runFormat(options, card, outcome, cause, passCancelled);
#if defined(_WIN32)
    if (const std::optional<int> status = formatElevated(options, outcome, given, cause))
        return *status;
#endif
#if !defined(_WIN32)
    if (std::string note;
        card.rescanAfterRun && !rescanPartitionTable(options.target.path, options.access, note))
        say(note);
#endif
    // The signal's own line is already out.
    const bool said = cause == kStoppedBySignal || cause == abandonedCardText(true);
    if (!cause.empty() && !options.json && !said) say(cause);
    if (outcome.end == FormatEnd::Formatted && !options.json && !options.quiet)
        sayAfterFormat(options, outcome);
    reportOutcome(options, outcome, cause);
    if (passCancelled) return kExitPassCancelled;
    return outcome.end == FormatEnd::Formatted ? kExitOk : kExitFailed;
}

} // namespace brc::cli
