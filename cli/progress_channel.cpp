#include "cli/progress_channel.h"

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

#include <cerrno>
#include <cinttypes>
#include <cstdio>

namespace brc::cli {

std::string encodeCardRun(const CardRunChannel& channel) {
    const CardIdentity& id = channel.identity;
    char text[96];
    if (id.blockDevice)
        std::snprintf(text, sizeof text, "%d:b:%" PRIx64 ":%" PRIx64 ":%" PRIx64, channel.fd,
                      id.device, id.inode, id.rdev);
    else
        std::snprintf(text, sizeof text, "%d:f:%" PRIx64 ":%" PRIx64, channel.fd, id.device,
                      id.inode);
    return text;
}

std::optional<CardRunChannel> decodeCardRun(const std::string& text) {
    CardRunChannel channel;
    char kind = 0;
    uint64_t numbers[3] = {};
    int end = 0;
    const int read = std::sscanf(text.c_str(), "%d:%c:%" SCNx64 ":%" SCNx64 "%n", &channel.fd,
                                 &kind, &numbers[0], &numbers[1], &end);
    if (read != 4 || channel.fd < 3 || (kind != 'b' && kind != 'f')) return std::nullopt;
    if (kind == 'b') {
        int more = 0;
        if (std::sscanf(text.c_str() + end, ":%" SCNx64 "%n", &numbers[2], &more) != 1)
            return std::nullopt;
        end += more;
    }
    if (static_cast<size_t>(end) != text.size()) return std::nullopt;
    channel.identity = {kind == 'b', numbers[0], numbers[1], numbers[2]};
    return channel;
}

std::string encodeProgressLine(const StageProgress& stage) {
    char text[96];
    std::snprintf(text, sizeof text, "%u %u %u %" PRIu64 " %" PRIu64 "\n", unsigned(stage.stage),
                  unsigned(stage.state), stage.percent, stage.done, stage.total);
    return text;
}

std::optional<StageProgress> decodeProgressLine(const std::string& line) {
    unsigned stage = 0, state = 0, percent = 0;
    uint64_t done = 0, total = 0;
    int end = 0;
    if (std::sscanf(line.c_str(), "%u %u %u %" SCNu64 " %" SCNu64 "%n", &stage, &state, &percent,
                    &done, &total, &end) != 5 ||
        static_cast<size_t>(end) != line.size())
        return std::nullopt;
    if (stage > unsigned(ProgressStage::Format) || state > unsigned(StageState::Unsupported) ||
        percent > 100 || done > total)
        return std::nullopt;
    return StageProgress{ProgressStage(stage), StageState(state), done, total, percent};
}

std::string encodeOutcomeLine(const std::string& json) {
    // The object is one line: JSON escapes every line break inside its strings.
    return std::string{kOutcomeMark, ' '} + json + "\n";
}

std::optional<std::string> decodeOutcomeLine(const std::string& line) {
    if (line.size() < 4 || line[0] != kOutcomeMark || line[1] != ' ' || line[2] != '{')
        return std::nullopt;
    return line.substr(2);
}

bool sendChannelLine(int fd, const std::string& line) {
    for (size_t sent = 0; sent < line.size();) {
#if defined(_WIN32)
        const int n = _write(fd, line.data() + sent, static_cast<unsigned>(line.size() - sent));
#else
        const ssize_t n = ::write(fd, line.data() + sent, line.size() - sent);
        if (n < 0 && errno == EINTR) continue;
#endif
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

} // namespace brc::cli
