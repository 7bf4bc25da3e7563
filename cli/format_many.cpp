#include "cli/format_many.h"

#include <fcntl.h>
#include <dirent.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <map>

#include "app/format_report.h"
#include "base/code_page.h"
#include "base/environment.h"
#include "cli/arguments.h"
#include "cli/block_target.h"
#include "cli/card_board.h"
#include "cli/card_outcome.h"
#include "cli/cli_language.h"
#include "cli/json.h"
#include "cli/targets.h"
#include "cli/terminal_progress.h"
#include "device/driver_settings.h"
#include "platform/posix/device_handles.h"
#include "res/message_ids.h"

extern char** environ;

namespace brc::cli {

std::optional<CardRunChannel> takeCardRunChannel(Args& args) {
    const std::optional<std::string> text = args.value(kCardRunOption);
    const std::optional<std::string> handed = args.value(kCardDeviceOption);
    if (handed) {
        const auto entries = parseHandedEntries(*handed);
        if (!text || !entries || entries->size() != 1)
            throw UsageError{std::string(kCardDeviceOption) + " does not name one descriptor"};
        setHandedDevicesSetting(*handed);
    }
    if (!text) return std::nullopt;
    const std::optional<CardRunChannel> channel = decodeCardRun(*text);
    struct stat st {};
    if (!channel || ::fstat(channel->fd, &st) != 0 || !S_ISFIFO(st.st_mode))
        throw UsageError{std::string(kCardRunOption) +
                         " does not name an inherited pipe and a card"};
    ::fcntl(channel->fd, F_SETFD, FD_CLOEXEC);
    // Should the starting run go away, this card's format still ends in order: a write to a
    // pipe nobody reads fails instead of ending the process.
    std::signal(SIGPIPE, SIG_IGN);
    return channel;
}

namespace {

// The descriptor a card's run finds its progress pipe on.
constexpr int kChildProgressFd = 3;

// A card as checked before the question.
struct PlannedCard {
    Target target;
    std::string refusal;     // why it may not be formatted; empty: go ahead
    std::string description; // as the question names it
};

std::string imageDescription(const Target& target) {
    std::error_code ec;
    const uintmax_t bytes = std::filesystem::file_size(target.path, ec);
    char size[64];
    std::snprintf(size, sizeof size, "%.1f MiB", static_cast<double>(bytes) / (1 << 20));
    return target.display + ", virtual card, " + grouped(bytes) + " bytes (" + size + ")";
}

std::vector<std::string> targetTexts(const ManyCardsRequest& request) {
    if (!request.all) return request.targets;
    std::vector<std::string> paths;
    for (const blockdev::Device& d : offeredCards(request.allowLoop)) paths.push_back(d.path);
    return paths;
}

// Every card resolved and checked as a format of one checks it before its questions. A bad
// TARGET or a card named twice is a usage error for the whole run.
std::vector<PlannedCard> planCards(const ManyCardsRequest& request) {
    // A card this user may not open is opened by udisks2, and its run is handed the descriptor.
    const DeviceAccess access = commandDeviceAccess();
    std::vector<PlannedCard> cards;
    std::vector<std::optional<blockdev::Medium>> media;
    for (const std::string& text : targetTexts(request)) {
        // The letters are the cards' runs' to take: each run maps its one card.
        PlannedCard card{resolveTarget(text, false), {}, {}};
        const std::optional<blockdev::Medium> medium = cardMedium(card.target.path);
        for (size_t i = 0; i < cards.size(); ++i)
            if (cards[i].target.identity == card.target.identity || (medium && media[i] == medium))
                throw UsageError{
                    "'" + cards[i].target.display + "' and '" + card.target.display +
                    "' are the same card" +
                    (cards[i].target.identity == card.target.identity ? "" : ", under two names")};
        media.push_back(medium);
        card.refusal = loopUseRefusal(card.target.path, "'" + card.target.display + "'",
                                      card.target.blockDevice);
        if (!card.refusal.empty()) {
            card.description = card.target.display;
        } else if (card.target.blockDevice) {
            const BlockVolumeCheck volume =
                vetBlockVolume(card.target.path, request.allowLoop, request.unmount, access);
            card.refusal = volume.refusal;
            card.description = describeCard(volume.device);
        } else {
            card.refusal = imageProblem(card.target);
            card.description = imageDescription(card.target);
        }
        cards.push_back(std::move(card));
    }
    return cards;
}

// A card's object: its target, then the format's members.
void printCardObject(const PlannedCard& card, const std::string& object) {
    std::printf("{\"target\":\"%s\",%s\n", jsonEscape(card.target.display).c_str(),
                object.c_str() + 1);
    std::fflush(stdout);
}

// The format's object for a card whose format did not run to its end: `cause` says why.
std::string formatNotRunObject(FormatEnd end, const std::string& cause) {
    FormatOutcome outcome;
    outcome.end = end;
    outcome.result = end == FormatEnd::Cancelled ? Success : Failed;
    return formatOutcomeJson(outcome, cause);
}

// The command's object for a card whose run did not come to its end.
const ManyCardsRequest* runningRequest = nullptr;
std::string notRunObject(FormatEnd end, const std::string& cause) {
    if (runningRequest && runningRequest->notRun) return runningRequest->notRun(end, cause);
    return formatNotRunObject(end, cause);
}

// One object per card for a run that never started any.
void printNotRun(const std::vector<PlannedCard>& cards, FormatEnd end,
                 const std::string& othersCause) {
    for (const PlannedCard& card : cards)
        printCardObject(card, notRunObject(end, card.refusal.empty() ? othersCause : card.refusal));
}

// The question of a format of one, asked once for all the cards it formats.
bool confirmCards(const std::vector<PlannedCard>& cards, FormatType type) {
    size_t count = 0;
    for (const PlannedCard& card : cards) count += card.refusal.empty();
    std::fprintf(stderr, "Cards (%zu):\n", count);
    for (const PlannedCard& card : cards)
        if (card.refusal.empty())
            std::fprintf(stderr, "  %s\n", shownText(card.description).c_str());
    const auto ask = [](uint32_t id) {
        return askOkOrCancel(utf16ToUtf8(commandLineMessages().text(id)));
    };
    return (type != Quick || ask(msg::ConfirmQuickFormat)) && ask(msg::ConfirmFormat);
}

// A card's run, from its start to its outcome.
struct CardRun {
    size_t card = 0;
    pid_t pid = -1;
    int fds[2] = {-1, -1};  // its standard error and its progress pipe
    std::string pending[2]; // what came from each, not yet a whole line
    CardRunSeen seen;       // what it sent and how it ended
    bool reaped = false;    // its exit status is in
    bool finished = false;  // its outcome is out
    // Its process is there to be signalled.
    bool alive() const { return pid > 0 && !reaped; }
    // It holds its pipes or its outcome is still to come.
    bool active() const { return pid > 0 && !finished; }
};

// The environment of a card's run: this one's as the user gave it (the drive map among it: the
// run resolves its card again), less the descriptors the user handed, of which the run gets its
// card's alone, by --card-device.
std::vector<std::string> cardEnvironment() {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        if (entry.substr(0, entry.find('=')) != kHandedDevicesVariable) env.push_back(entry);
    }
    return env;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
    std::vector<char*> out;
    for (std::string& t : texts) out.push_back(t.data());
    out.push_back(nullptr);
    return out;
}

// Spawn attributes and file actions, given back on every way out.
struct SpawnSetup {
    posix_spawnattr_t attr;
    posix_spawn_file_actions_t actions;
    SpawnSetup() {
        posix_spawnattr_init(&attr);
        posix_spawn_file_actions_init(&actions);
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;
};

// A descriptor for the run's side of a pipe, above the ones the run is given (0 to 3), so that
// putting one in place never closes another.
int aboveGiven(int fd) {
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 10);
    const int err = errno;
    ::close(fd);
    errno = err;
    return moved;
}

// Starts the run of one card with its two pipes, and the descriptor handed over for its card
// (-1: none), with the signal mask `childMask`; the error number when it could not. Of the
// handed descriptors, the run keeps its card's alone: another card's would keep that card held
// (opened exclusively) after its run. The run gets its own process group: the terminal's Ctrl-C
// reaches it once, passed on by this run. Its standard output is nobody's: its outcome comes on
// the progress pipe.
int startCardRun(const std::string& exe, std::vector<std::string> argv,
                 std::vector<std::string> env, int handed, const sigset_t& childMask,
                 CardRun& run) {
    int pipes[2][2];
    int made = 0, err = 0;
    for (; made < 2 && err == 0; ++made) {
        if (::pipe2(pipes[made], O_CLOEXEC) != 0) {
            err = errno;
            break;
        }
        if ((pipes[made][1] = aboveGiven(pipes[made][1])) < 0) err = errno;
    }
    const auto closeAll = [&](int end) {
        for (int i = 0; i < made; ++i)
            if (pipes[i][end] >= 0) ::close(pipes[i][end]);
    };
    pid_t pid = -1;
    if (err == 0) {
        SpawnSetup s;
        posix_spawnattr_setflags(&s.attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK);
        posix_spawnattr_setpgroup(&s.attr, 0);
        posix_spawnattr_setsigmask(&s.attr, &childMask);
        for (const HandedEntry& e : handedDevices())
            if (e.fd != handed) posix_spawn_file_actions_addclose(&s.actions, e.fd);
        posix_spawn_file_actions_addopen(&s.actions, 0, "/dev/null", O_RDWR, 0);
        posix_spawn_file_actions_adddup2(&s.actions, 0, 1);
        posix_spawn_file_actions_adddup2(&s.actions, pipes[0][1], 2);
        posix_spawn_file_actions_adddup2(&s.actions, pipes[1][1], kChildProgressFd);
        // The same descriptor twice: it is inherited, close-on-exec cleared.
        if (handed >= 0) posix_spawn_file_actions_adddup2(&s.actions, handed, handed);
        std::vector<char*> args = pointers(argv), envp = pointers(env);
        err = posix_spawn(&pid, exe.c_str(), &s.actions, &s.attr, args.data(), envp.data());
        if (err != 0) pid = -1;
    }
    closeAll(1);
    if (pid < 0) {
        closeAll(0);
        return err;
    }
    run.pid = pid;
    for (int i = 0; i < 2; ++i) {
        run.fds[i] = pipes[i][0];
        ::fcntl(run.fds[i], F_SETFL, O_NONBLOCK);
    }
    return 0;
}

// One whole line from a card's run: an error line is shown, a progress line drawn, its outcome
// or why it could not start kept.
void takeLine(CardRun& run, int which, const std::string& line, CardBoard& board) {
    if (which == 0) {
        board.note(run.card, shownText(line));
    } else if (const std::optional<StageProgress> stage = decodeProgressLine(line)) {
        board.progress(run.card, *stage);
    } else if (std::optional<std::string> object = decodeOutcomeLine(line)) {
        run.seen.object = std::move(object);
    }
}

// Reads what a card's run wrote on pipe `which`, line by line.
void readFrom(CardRun& run, int which, CardBoard& board) {
    char buffer[4096];
    std::string& text = run.pending[which];
    for (;;) {
        const ssize_t n = ::read(run.fds[which], buffer, sizeof buffer);
        if (n > 0) {
            // No line of a run is this long: what runs on past it is dropped.
            if (text.size() < (1u << 20)) text.append(buffer, size_t(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        ::close(run.fds[which]);
        run.fds[which] = -1;
        break;
    }
    if (run.fds[which] < 0 && !text.empty() && text.back() != '\n') text += '\n';
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        takeLine(run, which, text.substr(start, end - start), board);
    text.erase(0, start);
}

// Takes the run's exit status once it has ended, without waiting for it.
void reap(CardRun& run) {
    if (!run.alive()) return;
    int st = 0;
    pid_t got;
    while ((got = ::waitpid(run.pid, &st, WNOHANG)) < 0 && errno == EINTR) {
    }
    if (got == 0) return;
    run.reaped = true;
    // Gone without a status to read: no success can be claimed for it.
    run.seen.exited = got < 0 || WIFEXITED(st);
    run.seen.exitCode = got < 0 ? kExitFailed : WIFEXITED(st) ? WEXITSTATUS(st) : kExitFailed;
    if (got > 0 && WIFSIGNALED(st)) run.seen.signal = WTERMSIG(st);
}

// "(overwrite cancelled)" and the like, from the status word.
std::string statusNotes(uint32_t word) {
    std::string notes;
    if (word & StatusOverwriteCancelled) notes += ", overwrite cancelled";
    if (word & StatusEraseCancelled) notes += ", erase cancelled";
    return notes;
}

// A card's result in one line: how it ended, and the message and cause where it was not
// formatted. What came from the card or the system is shown escaped.
std::string resultLine(const std::string& name, const CardOutcome& o) {
    std::string line = name + ": " + formatEndName(o.end);
    if (o.end == FormatEnd::Formatted) {
        line += " (" + o.fileSystem + (o.label.empty() ? "" : ", label \"" + o.label + "\"") +
                statusNotes(o.status) + ")";
        return shownText(line);
    }
    // The message's lines run on in one, blanks between them kept single.
    std::string message;
    for (const char ch : o.message) {
        const bool blank = ch == '\n' || ch == ' ';
        if (!blank || (!message.empty() && message.back() != ' ')) message += blank ? ' ' : ch;
    }
    while (!message.empty() && message.back() == ' ') message.pop_back();
    if (!message.empty()) line += ": " + message;
    if (!o.cause.empty()) line += message.empty() ? ": " + o.cause : " (" + o.cause + ")";
    return shownText(line);
}

// A card is done: its object (with the target) or its line, and its exit status.
int finishCard(const PlannedCard& card, size_t boardCard, const CardOutcome& outcome,
               CardBoard& board, bool json) {
    if (json) printCardObject(card, outcome.object);
    const bool own = runningRequest && runningRequest->resultLine;
    board.finish(boardCard, json  ? ""
                            : own ? runningRequest->resultLine(card.target.display, outcome)
                                  : resultLine(card.target.display, outcome));
    return outcome.exitCode;
}

// The open-file limit, and how many cards' runs it leaves room for at once: each holds the
// reading ends of two pipes here, and starting one takes four ends more for a moment.
struct DescriptorRoom {
    unsigned long limit = 0;
    size_t runs = 0;
};
DescriptorRoom descriptorRoom() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return {0, SIZE_MAX};
    size_t open = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (const dirent* e = ::readdir(dir)) open += e->d_name[0] != '.';
        ::closedir(dir);
    }
    constexpr size_t kStarting = 4, kSpare = 4; // a start's ends, and room for this run's own files
    const size_t spare =
        limit.rlim_cur > open + kStarting + kSpare ? limit.rlim_cur - open - kStarting - kSpare : 0;
    return {static_cast<unsigned long>(limit.rlim_cur), spare / 2};
}

bool outOfRoom(int err) { return err == EMFILE || err == ENFILE || err == EAGAIN || err == ENOMEM; }

// While the runs are read: Ctrl-C, SIGTERM and a run's end held back but for the wait, which
// they then end at once; no signal slips in between a look at the flags and the wait.
class SignalWake {
public:
    SignalWake() {
        struct sigaction action {};
        action.sa_handler = [](int) {}; // only to end the wait
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_NOCLDSTOP;
        ::sigaction(SIGCHLD, &action, &oldChild_);
        sigset_t held;
        sigemptyset(&held);
        for (const int sig : {SIGINT, SIGTERM, SIGCHLD}) sigaddset(&held, sig);
        ::sigprocmask(SIG_BLOCK, &held, &before_);
        during_ = before_;
        for (const int sig : {SIGINT, SIGTERM, SIGCHLD}) sigdelset(&during_, sig);
    }
    ~SignalWake() {
        ::sigprocmask(SIG_SETMASK, &before_, nullptr);
        ::sigaction(SIGCHLD, &oldChild_, nullptr);
    }
    SignalWake(const SignalWake&) = delete;
    SignalWake& operator=(const SignalWake&) = delete;
    // The mask of the wait; a card's run starts with the one from before, as it always did.
    const sigset_t& during() const { return during_; }
    const sigset_t& before() const { return before_; }

private:
    struct sigaction oldChild_ {};
    sigset_t before_{}, during_{};
};

// The cards' runs, started as the open-file limit leaves room (the rest wait their turn),
// read until all have ended, with Ctrl-C and SIGTERM passed on to them.
class CardRuns {
public:
    CardRuns(const std::vector<PlannedCard>& cards, CardBoard& board,
             const ManyCardsRequest& request)
        : cards_(cards),
          board_(board),
          request_(request),
          runs_(cards.size()),
          room_(descriptorRoom()) {
        for (size_t i = 0; i < cards.size(); ++i) {
            runs_[i].card = board.add(cards[i].target.display);
            if (cards[i].refusal.empty()) waiting_.push_back(i);
            else endNotStarted(i, FormatEnd::Refused, cards[i].refusal);
        }
    }

    int run() {
        const SignalWake wake;
        for (;;) {
            if (const int sig = takeFormatSignal()) passOn(sig);
            startWaiting(wake.before());
            if (!readSome(wake.during())) break;
        }
        return worst_;
    }

private:
    size_t running() const {
        return size_t(
            std::count_if(runs_.begin(), runs_.end(), [](const CardRun& r) { return r.active(); }));
    }

    void finish(size_t i, const CardOutcome& outcome) {
        runs_[i].finished = true;
        worst_ = worstExitStatus(
            worst_, finishCard(cards_[i], runs_[i].card, outcome, board_, request_.json));
    }

    void endNotStarted(size_t i, FormatEnd end, const std::string& cause,
                       CardRunEnd how = CardRunEnd::NotRun) {
        finish(i, cardNotRun(end, cause, notRunObject, how));
    }

    // A signal stops what runs and starts nothing more.
    void passOn(int sig) {
        for (CardRun& run : runs_)
            if (run.alive()) {
                ::kill(run.pid, sig);
                run.seen.stopped = true;
            }
        for (const size_t i : waiting_)
            endNotStarted(i, FormatEnd::Cancelled,
                          "a signal stopped the run before this card's format began; "
                          "nothing was written");
        waiting_.clear();
    }

    void startWaiting(const sigset_t& childMask) {
        while (!waiting_.empty() && running() < room_.runs) {
            const size_t i = waiting_.front();
            const PlannedCard& card = cards_[i];
            std::vector<std::string> argv{exe_, request_.command, card.target.path, "--yes",
                                          "--json"};
            argv.insert(argv.end(), request_.cardOptions.begin(), request_.cardOptions.end());
            argv.insert(argv.end(),
                        {kCardRunOption, encodeCardRun({kChildProgressFd, card.target.identity})});
            const std::optional<HandedEntry> handed = handedEntry(card.target.path);
            if (handed)
                argv.insert(argv.end(), {kCardDeviceOption, formatHandedEntries({*handed})});
            const int err = startCardRun(exe_, argv, cardEnvironment(), handed ? handed->fd : -1,
                                         childMask, runs_[i]);
            if (err != 0 && outOfRoom(err) && running() > 0) {
                room_.runs = running(); // the rest start as these end
                return;
            }
            waiting_.pop_front();
            // The card is held by its own run from here on.
            if (handed) releaseHandedDevice(card.target.path);
            if (err != 0)
                endNotStarted(i, FormatEnd::Failed, startFailure(err), CardRunEnd::StartFailed);
        }
        if (!waiting_.empty() && running() == 0) {
            for (const size_t i : waiting_)
                endNotStarted(i, FormatEnd::Failed, startFailure(EMFILE), CardRunEnd::StartFailed);
            waiting_.clear();
        }
    }

    std::string startFailure(int err) const {
        std::string cause = std::string("its format could not be started: ") + std::strerror(err);
        if ((err == EMFILE || room_.runs == 0) && room_.limit != 0)
            cause += " (the open-file limit, ulimit -n " + std::to_string(room_.limit) +
                     ", leaves no room for its run; raise it)";
        return cause;
    }

    // Waits for what comes (a line, a run's end or a signal) and takes it; false once every run
    // has ended.
    bool readSome(const sigset_t& waitMask) {
        if (running() == 0 && waiting_.empty()) return false;
        std::vector<pollfd> waiting;
        std::vector<std::pair<CardRun*, int>> owners;
        for (CardRun& run : runs_)
            for (int i = 0; i < 2; ++i)
                if (run.fds[i] >= 0) {
                    waiting.push_back({run.fds[i], POLLIN, 0});
                    owners.emplace_back(&run, i);
                }
        // No timeout: a signal held back since the flags were looked at ends the wait at once.
        if (::ppoll(waiting.data(), waiting.size(), nullptr, &waitMask) > 0)
            for (size_t i = 0; i < waiting.size(); ++i)
                if (waiting[i].revents != 0) readFrom(*owners[i].first, owners[i].second, board_);
        // A run is over once its pipes are closed and its exit status is in; the end of a run
        // whose pipes closed just before it ended wakes the wait again.
        for (size_t i = 0; i < runs_.size(); ++i) {
            CardRun& run = runs_[i];
            if (!run.active() || run.fds[0] >= 0 || run.fds[1] >= 0) continue;
            reap(run);
            if (run.reaped) finish(i, decodeCardRun(run.seen, notRunObject));
        }
        return true;
    }

    static std::string ownExecutable() {
        std::error_code ec;
        return std::filesystem::read_symlink("/proc/self/exe", ec).string();
    }

    const std::vector<PlannedCard>& cards_;
    CardBoard& board_;
    const ManyCardsRequest& request_;
    std::vector<CardRun> runs_;
    std::deque<size_t> waiting_;
    DescriptorRoom room_;
    const std::string exe_ = ownExecutable();
    int worst_ = kExitOk;
};

// The refusal of the whole run when a card named may not be formatted; false when none is
// refused. Of every card list offers (--all), one refused is left out and the others go on.
bool refuseRun(const std::vector<PlannedCard>& cards, const ManyCardsRequest& request) {
    const auto refused = [](const PlannedCard& c) { return !c.refusal.empty(); };
    if (std::none_of(cards.begin(), cards.end(), refused) ||
        (request.all && !std::all_of(cards.begin(), cards.end(), refused)))
        return false;
    if (request.json)
        printNotRun(cards, FormatEnd::Refused,
                    "another card of this run was refused; nothing was written");
    for (const PlannedCard& card : cards)
        if (!card.refusal.empty() && !request.json) say(card.refusal);
    if (!request.json)
        std::fprintf(stderr, "brindlecard: no card was %s; nothing was written.\n",
                     request.command == "format" ? "formatted" : "probed");
    return true;
}

} // namespace

int formatManyCards(const ManyCardsRequest& request) {
    runningRequest = &request;
    const std::vector<PlannedCard> cards = planCards(request);
    if (!request.yes && isatty(STDIN_FILENO) == 0)
        throw UsageError{
            "without a terminal to confirm on, format needs --yes; nothing was written"};
    if (cards.empty()) {
        std::fprintf(stderr, "brindlecard: no card here can be %s; nothing was written.\n",
                     request.command == "format" ? "formatted" : "probed");
        return kExitFailed;
    }
    if (refuseRun(cards, request)) return kExitFailed;
    installFormatSignalHandlers();
    if (!request.yes && !confirmCards(cards, request.type)) {
        if (request.json) printNotRun(cards, FormatEnd::Cancelled, "");
        else std::fputs("brindlecard: cancelled; nothing was written.\n", stderr);
        return kExitFailed;
    }
    CardBoard board(request.json ? nullptr : stderr, redrawableTerminal(), terminalColumns(),
                    stdout, stderr);
    if (request.stageWord) board.nameStages(request.stageWord);
    const int worst = CardRuns(cards, board, request).run();
    // Cards refused before the question hold no descriptor a run was handed.
    releaseHandedDevices();
    return worst;
}

} // namespace brc::cli
