#include "cli/format_many.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>

#include "app/format_report.h"
#include "base/code_page.h"
#include "base/environment.h"
#include "cli/arguments.h"
#include "cli/block_target.h"
#include "cli/card_board.h"
#include "cli/cli_language.h"
#include "cli/json.h"
#include "cli/targets.h"
#include "cli/terminal_progress.h"
#include "platform/posix/device_handles.h"
#include "res/message_ids.h"

extern char** environ;

namespace brc::cli {

std::optional<CardRunChannel> takeCardRunChannel() {
    const std::optional<std::string> text = environmentVariable(kCardRunVariable);
    if (!text) return std::nullopt;
    unsetEnvironmentVariable(kCardRunVariable);
    const std::optional<CardRunChannel> channel = decodeCardRun(*text);
    struct stat st {};
    if (!channel || ::fstat(channel->fd, &st) != 0 || !S_ISFIFO(st.st_mode))
        throw UsageError{std::string(kCardRunVariable) + " does not name an inherited pipe and a card"};
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
    for (const std::string& text : targetTexts(request)) {
        PlannedCard card{resolveTarget(text), {}, {}};
        for (const PlannedCard& other : cards)
            if (other.target.identity == card.target.identity)
                throw UsageError{"'" + other.target.display + "' and '" + card.target.display +
                                 "' are the same card"};
        if (card.target.blockDevice) {
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

// One object per card for a run that never started any.
void printNotRun(const std::vector<PlannedCard>& cards, FormatEnd end, const std::string& othersCause) {
    for (const PlannedCard& card : cards) {
        FormatOutcome outcome;
        outcome.end = end;
        outcome.result = end == FormatEnd::Cancelled ? Success : Failed;
        const std::string json = formatOutcomeJson(outcome, card.refusal.empty() ? othersCause : card.refusal);
        std::printf("{\"target\":\"%s\",%s\n", jsonEscape(card.target.display).c_str(), json.c_str() + 1);
    }
}

// The question of a format of one, asked once for all the cards.
bool confirmCards(const std::vector<PlannedCard>& cards, FormatType type) {
    std::fprintf(stderr, "Cards (%zu):\n", cards.size());
    for (const PlannedCard& card : cards) std::fprintf(stderr, "  %s\n", card.description.c_str());
    const auto ask = [](uint32_t id) { return askOkOrCancel(utf16ToUtf8(commandLineMessages().text(id))); };
    return (type != Quick || ask(msg::ConfirmQuickFormat)) && ask(msg::ConfirmFormat);
}

// A card's run, from its start to its exit status.
struct CardRun {
    size_t card = 0;
    pid_t pid = -1;
    int fds[3] = {-1, -1, -1}; // its standard output, standard error and progress pipe
    std::string pending[3];    // what came from each, not yet a whole line (all of the output)
    int status = -1;           // the exit status once it ended
    std::string ended;         // how it ended when not by exiting
};

// The environment of a card's run: this one's as the user gave it, the channel, and the
// descriptor handed over for its card alone.
std::vector<std::string> cardEnvironment(const std::map<std::string, std::optional<std::string>>& original,
                                         const std::string& channel, const std::optional<HandedEntry>& handed) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        if (!original.count(name) && name != kCardRunVariable && name != kHandedDevicesVariable) env.push_back(entry);
    }
    for (const auto& [name, value] : original)
        if (value) env.push_back(name + "=" + *value);
    env.push_back(std::string(kCardRunVariable) + "=" + channel);
    if (handed) env.push_back(std::string(kHandedDevicesVariable) + "=" + formatHandedEntries({*handed}));
    return env;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
    std::vector<char*> out;
    for (std::string& t : texts) out.push_back(t.data());
    out.push_back(nullptr);
    return out;
}

// Starts the run of one card with its three pipes, and the descriptor handed over for its card
// (-1: none); false with `error` when it could not. Of the handed descriptors, the run keeps its
// card's alone: another card's would keep that card held (opened exclusively) after its run.
bool startCardRun(const std::string& exe, std::vector<std::string> argv, std::vector<std::string> env,
                  int handed, CardRun& run, std::string& error) {
    std::vector<int> othersHanded;
    for (const HandedEntry& e : handedDevices())
        if (e.fd != handed) othersHanded.push_back(e.fd);
    int pipes[3][2];
    int made = 0;
    for (; made < 3; ++made)
        if (::pipe2(pipes[made], O_CLOEXEC) != 0) break;
    const auto closeAll = [&](int end) {
        for (int i = 0; i < made; ++i) ::close(pipes[i][end]);
    };
    std::vector<char*> args = pointers(argv), envp = pointers(env);
    const pid_t pid = made == 3 ? ::fork() : -1;
    if (pid == 0) {
        // Only calls safe after fork in a threaded process from here on. The run gets its own
        // process group: the terminal's Ctrl-C reaches it once, passed on by this run.
        ::setpgid(0, 0);
        for (const int fd : othersHanded) ::close(fd);
        int high[3];
        for (int i = 0; i < 3; ++i) high[i] = ::fcntl(pipes[i][1], F_DUPFD_CLOEXEC, 10);
        const int nothing = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (nothing < 0 || ::dup2(nothing, 0) < 0 || ::dup2(high[0], 1) < 0 || ::dup2(high[1], 2) < 0 ||
            ::dup2(high[2], kChildProgressFd) < 0 || (handed >= 0 && ::fcntl(handed, F_SETFD, 0) < 0))
            ::_exit(127);
        ::execve(exe.c_str(), args.data(), envp.data());
        ::_exit(127);
    }
    const int err = errno;
    closeAll(1);
    if (pid < 0) {
        closeAll(0);
        error = std::string("its format could not be started: ") + std::strerror(err);
        return false;
    }
    ::setpgid(pid, pid);
    run.pid = pid;
    for (int i = 0; i < 3; ++i) {
        run.fds[i] = pipes[i][0];
        ::fcntl(run.fds[i], F_SETFL, O_NONBLOCK);
    }
    return true;
}

// Reads what a card's run wrote on pipe `which`: its output is kept whole, its error lines and
// progress lines are shown as they come.
void readFrom(CardRun& run, int which, CardBoard& board) {
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(run.fds[which], buffer, sizeof buffer);
        if (n > 0) {
            // The output is one JSON object; more than this is no format's.
            if (which != 0 || run.pending[0].size() < (1u << 20)) run.pending[which].append(buffer, size_t(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        ::close(run.fds[which]);
        run.fds[which] = -1;
        break;
    }
    if (which == 0) return;
    std::string& text = run.pending[which];
    if (run.fds[which] < 0 && !text.empty() && text.back() != '\n') text += '\n';
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        const std::string line = text.substr(start, end - start);
        if (which == 1) board.note(run.card, line);
        else if (const std::optional<StageProgress> stage = decodeProgressLine(line)) board.progress(run.card, *stage);
    }
    text.erase(0, start);
}

void waitForExit(CardRun& run) {
    int st = 0;
    while (::waitpid(run.pid, &st, 0) < 0 && errno == EINTR) {
    }
    run.status = WIFEXITED(st) ? WEXITSTATUS(st) : kExitFailed;
    if (WIFSIGNALED(st)) run.ended = "its format was ended by signal " + std::to_string(WTERMSIG(st));
}

// "(overwrite cancelled)" and the like, from the status word.
std::string statusNotes(const std::string& status) {
    const unsigned long word = std::strtoul(status.c_str(), nullptr, 10);
    std::string notes;
    if (word & StatusOverwriteCancelled) notes += ", overwrite cancelled";
    if (word & StatusEraseCancelled) notes += ", erase cancelled";
    return notes;
}

// A card's result in one line: how it ended, and the message and cause where it was not
// formatted.
std::string resultLine(const std::string& name, std::map<std::string, std::string>& f) {
    std::string line = name + ": " + f["outcome"];
    if (f["outcome"] == "formatted") {
        line += " (" + f["fileSystem"] + (f["label"].empty() ? "" : ", label \"" + f["label"] + "\"") +
                statusNotes(f["status"]) + ")";
        return line;
    }
    // The message's lines run on in one, blanks between them kept single.
    std::string message;
    for (const char ch : f["message"]) {
        const bool blank = ch == '\n' || ch == ' ';
        if (!blank || (!message.empty() && message.back() != ' ')) message += blank ? ' ' : ch;
    }
    while (!message.empty() && message.back() == ' ') message.pop_back();
    if (!message.empty()) line += ": " + message;
    if (!f["cause"].empty()) line += message.empty() ? ": " + f["cause"] : " (" + f["cause"] + ")";
    return line;
}

// The card's run is over: its object (with the target) or its line, and its exit status.
int finishRun(CardRun& run, const PlannedCard& card, CardBoard& board, bool json) {
    const std::string& out = run.pending[0];
    const size_t last = out.rfind('{');
    const size_t end = out.find('\n', last == std::string::npos ? out.size() : last);
    std::string object = last == std::string::npos ? "" : out.substr(last, end == std::string::npos ? end : end - last);
    std::optional<std::map<std::string, std::string>> fields = readFlatJson(object);
    int status = run.status;
    if (!fields) {
        FormatOutcome outcome;
        outcome.end = FormatEnd::Failed;
        outcome.result = Failed;
        object = formatOutcomeJson(outcome, run.ended.empty() ? "its format ended without a result" : run.ended);
        fields = readFlatJson(object);
        status = std::max(status, kExitFailed);
    }
    if (json) {
        std::printf("{\"target\":\"%s\",%s\n", jsonEscape(card.target.display).c_str(), object.c_str() + 1);
        std::fflush(stdout);
    }
    board.finish(run.card, json ? "" : resultLine(card.target.display, *fields));
    return status;
}

// The worse of two exit statuses: a card formatted after a cancelled pass is better off than
// one that failed, whatever the numbers.
int worse(int a, int b) {
    const auto rank = [](int status) { return status == kExitPassCancelled ? 1 : status == kExitOk ? 0 : status + 1; };
    return rank(a) >= rank(b) ? a : b;
}

// Reads every card's run until all have ended, passing Ctrl-C and SIGTERM on to them.
int runCards(std::vector<CardRun>& runs, const std::vector<PlannedCard>& cards, CardBoard& board, bool json) {
    int worst = kExitOk;
    for (;;) {
        if (const int sig = takeFormatSignal())
            for (const CardRun& run : runs)
                if (run.status < 0) ::kill(run.pid, sig);
        std::vector<pollfd> waiting;
        std::vector<std::pair<CardRun*, int>> owners;
        for (CardRun& run : runs)
            for (int i = 0; i < 3; ++i)
                if (run.fds[i] >= 0) {
                    waiting.push_back({run.fds[i], POLLIN, 0});
                    owners.emplace_back(&run, i);
                }
        if (waiting.empty()) break;
        // A signal between the look at the flags and the wait is seen within the timeout.
        if (::poll(waiting.data(), waiting.size(), 250) <= 0) continue;
        for (size_t i = 0; i < waiting.size(); ++i)
            if (waiting[i].revents != 0) readFrom(*owners[i].first, owners[i].second, board);
        for (CardRun& run : runs) {
            if (run.status >= 0 || run.fds[0] >= 0 || run.fds[1] >= 0 || run.fds[2] >= 0) continue;
            waitForExit(run);
            worst = worse(worst, finishRun(run, cards[run.card], board, json));
        }
    }
    return worst;
}

std::string ownExecutable() {
    std::error_code ec;
    return std::filesystem::read_symlink("/proc/self/exe", ec).string();
}

// The refusal of the whole run when a card may not be formatted; false when none is refused.
bool refuseRun(const std::vector<PlannedCard>& cards, bool json) {
    if (std::none_of(cards.begin(), cards.end(), [](const PlannedCard& c) { return !c.refusal.empty(); }))
        return false;
    if (json) printNotRun(cards, FormatEnd::Refused, "another card of this run was refused; nothing was written");
    for (const PlannedCard& card : cards)
        if (!card.refusal.empty() && !json) std::fprintf(stderr, "brindlecard: %s.\n", card.refusal.c_str());
    if (!json) std::fputs("brindlecard: no card was formatted; nothing was written.\n", stderr);
    return true;
}

} // namespace

int formatManyCards(const ManyCardsRequest& request) {
    // Each card's run resolves its card again, from the environment the user gave.
    std::map<std::string, std::optional<std::string>> original;
    for (const char* name : {"BRINDLECARD_CARDS", "BRINDLECARD_VETTED"}) original[name] = environmentVariable(name);
    const std::vector<PlannedCard> cards = planCards(request);
    if (!request.yes && isatty(STDIN_FILENO) == 0)
        throw UsageError{"without a terminal to confirm on, format needs --yes; nothing was written"};
    if (cards.empty()) {
        std::fputs("brindlecard: no card here can be formatted; nothing was written.\n", stderr);
        return kExitFailed;
    }
    if (refuseRun(cards, request.json)) return kExitFailed;
    installFormatSignalHandlers();
    if (!request.yes && !confirmCards(cards, request.type)) {
        if (request.json) printNotRun(cards, FormatEnd::Cancelled, "");
        else std::fputs("brindlecard: cancelled; nothing was written.\n", stderr);
        return kExitFailed;
    }
    const std::string exe = ownExecutable();
    CardBoard board(request.json ? nullptr : stderr, redrawableTerminal(), terminalColumns(), stdout, stderr);
    std::vector<CardRun> runs(cards.size());
    int worst = kExitOk;
    for (size_t i = 0; i < cards.size(); ++i) {
        runs[i].card = board.add(cards[i].target.display);
        std::vector<std::string> argv{exe, "format", cards[i].target.path, "--yes", "--json"};
        argv.insert(argv.end(), request.cardOptions.begin(), request.cardOptions.end());
        const std::string channel = encodeCardRun({kChildProgressFd, cards[i].target.identity});
        const std::optional<HandedEntry> handed = handedEntry(cards[i].target.path);
        if (!startCardRun(exe, argv, cardEnvironment(original, channel, handed), handed ? handed->fd : -1, runs[i],
                          runs[i].ended)) {
            runs[i].status = kExitFailed;
            worst = std::max(worst, finishRun(runs[i], cards[i], board, request.json));
        }
    }
    // Each card is held by its own run from here on.
    releaseHandedDevices();
    return std::max(worst, runCards(runs, cards, board, request.json));
}

} // namespace brc::cli
