#include "platform/posix/device_handles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>

#include "device/driver_settings.h"

namespace brc {
namespace {

// A decimal number without sign or blanks, as the list writes them.
bool readNumber(std::string_view& text, unsigned& out) {
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, out);
    if (error != std::errc{} || stop == text.data()) return false;
    text.remove_prefix(static_cast<size_t>(stop - text.data()));
    return true;
}

bool skip(std::string_view& text, char separator) {
    if (text.empty() || text.front() != separator) return false;
    text.remove_prefix(1);
    return true;
}

// Whether the entry's descriptor is still open on the device the entry names.
bool stillOpen(const HandedEntry& e) {
    struct stat st {};
    return ::fstat(e.fd, &st) == 0 && S_ISBLK(st.st_mode) &&
           st.st_rdev == makedev(e.major, e.minor);
}

std::vector<HandedEntry> entries() {
    const std::optional<std::string> text = handedDevicesSetting();
    if (!text) return {};
    return parseHandedEntries(*text).value_or(std::vector<HandedEntry>{});
}

// From the first change on, the list is the front end's own: the user's variable, read once,
// is not read again.
void setEntries(const std::vector<HandedEntry>& list) {
    setHandedDevicesSetting(formatHandedEntries(list));
}

// The entry of the device at `path` whose descriptor is still open on it, or -1 (its index).
int entryOf(const std::vector<HandedEntry>& list, const std::string& path) {
    struct stat st {};
    if (list.empty() || ::stat(path.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) return -1;
    for (size_t i = 0; i < list.size(); ++i)
        if (makedev(list[i].major, list[i].minor) == st.st_rdev && stillOpen(list[i]))
            return static_cast<int>(i);
    return -1;
}

} // namespace

std::optional<std::vector<HandedEntry>> parseHandedEntries(std::string_view text) {
    std::vector<HandedEntry> list;
    while (!text.empty()) {
        if (!list.empty() && !skip(text, ',')) return std::nullopt;
        unsigned fd = 0;
        HandedEntry e;
        if (!readNumber(text, fd) || !skip(text, ':') || !readNumber(text, e.major) ||
            !skip(text, ':') || !readNumber(text, e.minor) || fd > static_cast<unsigned>(INT32_MAX))
            return std::nullopt;
        e.fd = static_cast<int>(fd);
        list.push_back(e);
    }
    return list;
}

std::string formatHandedEntries(const std::vector<HandedEntry>& list) {
    std::string text;
    // Appended piece by piece: GCC 12 warns (-Wrestrict) about a chain that starts with a literal.
    for (const HandedEntry& e : list) {
        if (!text.empty()) text += ',';
        text.append(std::to_string(e.fd)).append(":").append(std::to_string(e.major));
        text.append(":").append(std::to_string(e.minor));
    }
    return text;
}

bool handOverDevice(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISBLK(st.st_mode)) return false;
    const HandedEntry added{fd, major(st.st_rdev), minor(st.st_rdev)};
    std::vector<HandedEntry> list = entries();
    std::erase_if(list, [&](const HandedEntry& e) {
        return e.major == added.major && e.minor == added.minor;
    });
    list.push_back(added);
    setEntries(list);
    return true;
}

std::optional<HandedEntry> handedEntry(const std::string& path) {
    const std::vector<HandedEntry> list = entries();
    const int i = entryOf(list, path);
    if (i < 0) return std::nullopt;
    return list[static_cast<size_t>(i)];
}

int handedDescriptor(const std::string& path) {
    const std::optional<HandedEntry> e = handedEntry(path);
    return e ? e->fd : -1;
}

std::vector<HandedEntry> handedDevices() {
    std::vector<HandedEntry> list = entries();
    std::erase_if(list, [](const HandedEntry& e) { return !stillOpen(e); });
    return list;
}

void releaseHandedDevice(const std::string& path) {
    std::vector<HandedEntry> list = entries();
    const int i = entryOf(list, path);
    if (i < 0) return;
    ::close(list[static_cast<size_t>(i)].fd);
    list.erase(list.begin() + i);
    setEntries(list);
}

void releaseHandedDevices() {
    for (const HandedEntry& e : handedDevices()) ::close(e.fd);
    setEntries({});
}

int openBlockDevice(const std::string& path, int flags) {
    const int given = handedDescriptor(path);
    if (given < 0) return ::open(path.c_str(), flags);
    // A handed descriptor is no exclusive claim of its own: where this process may open the
    // device again through it, the kernel is asked, and another program's claim refuses this
    // one as it refuses an opening of the node. Where it may not (udisks2 opened the device,
    // exclusively, for a user its node refuses), the descriptor stands as it was handed.
    if (flags & O_EXCL) {
        const std::string again = "/proc/self/fd/" + std::to_string(given);
        const int claimed = ::open(again.c_str(), flags);
        if (claimed >= 0 || (errno != EACCES && errno != EPERM)) return claimed;
    }
    const int status = ::fcntl(given, F_GETFL);
    if (status < 0) return -1;
    const int wanted = (status & ~(O_DIRECT | O_NONBLOCK)) | (flags & (O_DIRECT | O_NONBLOCK));
    if (wanted != status && ::fcntl(given, F_SETFL, wanted) != 0) return -1;
    // A writer gets a descriptor that writes: a format is handed one opened for reading and
    // writing (plan and check, which never write, one for reading).
    return ::fcntl(given, (flags & O_CLOEXEC) ? F_DUPFD_CLOEXEC : F_DUPFD, 0);
}

} // namespace brc
