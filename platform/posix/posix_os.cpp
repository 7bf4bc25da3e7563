// The OS services on Linux. There is no volume manager to ask: a drive letter is whatever
// BRINDLECARD_CARDS maps it to (an image file or a block device), and the label, serial and free
// space of the card are read and written by our own file-system code on the mapped file.
#include "platform/posix/posix_os.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <limits>

#include "base/on_card_fields.h"
#include "device/card_map.h"
#include "device/driver_binding.h"
#include "platform/posix/device_handles.h"
#include "platform/posix/oem_code_pages.h"
#include "platform/virtual_volume.h"

namespace brc {

namespace {

constexpr uint32_t kErrorFileNotFound = 2;
constexpr uint32_t kErrorPathNotFound = 3;
constexpr uint32_t kErrorAccessDenied = 5;
constexpr uint32_t kErrorInvalidHandle = 6;
constexpr uint32_t kErrorModNotFound = 126;
constexpr uint32_t kErrorProcNotFound = 127;
constexpr uint32_t kErrorAlreadyExists = 183;

// An open descriptor, closed on every way out.
class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

struct VolumeToken {
    int fd = -1;
    bool blockDevice = false;
};

struct MutexToken {
    int fd = -1; // -1 for an unnamed mutex
    bool owned = false;
};

std::string executableDirectory() {
    char buf[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return {};
    const std::string path(buf, static_cast<size_t>(n));
    const size_t cut = path.find_last_of('/');
    return cut == std::string::npos || cut == 0 ? std::string() : path.substr(0, cut);
}

// The driver libraries' folder: beside the program in the build tree, PREFIX/lib/brindlecard
// when installed. /proc/self/exe is the program's real path, so a link to the program (say
// /usr/local/bin/brindlecard -> /opt/brindlecard/bin/brindlecard) finds its own libraries.
std::string driverLibraryDirectory() { return driverDirectory(executableDirectory()); }

// 0 for A: to 25 for Z:, or -1.
int letterIndex(char16_t letter) {
    if (letter >= u'a' && letter <= u'z') return letter - u'a';
    if (letter >= u'A' && letter <= u'Z') return letter - u'A';
    return -1;
}

// The letter of a root path ("E:\" or "E:"), or 0.
char16_t rootLetter(const std::u16string& root) {
    if (root.size() < 2 || root[1] != u':' || (root.size() > 2 && root[2] != u'\\')) return 0;
    return letterIndex(root[0]) < 0 ? 0 : root[0];
}

// The image or device mapped to a letter; empty when unmapped or when the map is malformed.
std::string mappedPath(char16_t letter) {
    const int index = letterIndex(letter);
    if (index < 0) return {};
    const CardMap map = readCardMap();
    if (!map.error.empty()) return {};
    return map.paths[static_cast<size_t>(index)];
}

uint32_t openError(int err) {
    switch (err) {
    case EACCES:
    case EPERM:
    case EROFS: return kErrorAccessDenied;
    default: // missing image, no medium in the reader, device gone
        return kErrorNotReady;
    }
}

// Opens a mapped card, an image file or a block device, and nothing else: a FIFO would block
// the open and a character device is no card, so both are refused (ENODEV) before they are
// opened. What was opened is checked again, as the path may have changed in between.
int openMapped(const std::string& path, int flags) {
    const auto isCard = [](const struct stat& st) {
        return S_ISREG(st.st_mode) || S_ISBLK(st.st_mode);
    };
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return -1;
    if (!isCard(st)) {
        errno = ENODEV;
        return -1;
    }
    // A card's device is written only while nothing else holds it (a mounted partition). Right
    // after a format the system's own look at the new partition table (udev's rescan) holds it
    // exclusively for a moment: that hold is waited out, for two seconds at most.
    const bool exclusive = S_ISBLK(st.st_mode) && (flags & O_ACCMODE) != O_RDONLY;
    if (exclusive) flags |= O_EXCL;
    const auto open = [&] {
        return S_ISBLK(st.st_mode) ? openBlockDevice(path, flags | O_NONBLOCK | O_CLOEXEC)
                                   : ::open(path.c_str(), flags | O_NONBLOCK | O_CLOEXEC);
    };
    int opened = open();
    for (int tries = 0; opened < 0 && errno == EBUSY && exclusive && tries < 40; ++tries) {
        ::usleep(50000);
        opened = open();
    }
    Fd fd(opened);
    if (fd.get() < 0) return -1;
    const int status = ::fcntl(fd.get(), F_GETFL);
    if (::fstat(fd.get(), &st) != 0 || !isCard(st) || status < 0 ||
        ::fcntl(fd.get(), F_SETFL, status & ~O_NONBLOCK) != 0) {
        errno = ENODEV;
        return -1;
    }
    return fd.release();
}

bool transfer(int fd, uint64_t first, uint32_t n, uint8_t* data, bool writing) {
    constexpr uint64_t kMaxOffset = static_cast<uint64_t>(std::numeric_limits<off_t>::max());
    uint64_t offset = first * kSectorBytes;
    size_t left = size_t{n} * kSectorBytes;
    if (first > kMaxOffset / kSectorBytes || left > kMaxOffset - offset) return false;
    while (left > 0) {
        const ssize_t done = writing ? ::pwrite(fd, data, left, static_cast<off_t>(offset))
                                     : ::pread(fd, data, left, static_cast<off_t>(offset));
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) return false; // an error, or the end of a truncated image
        data += done;
        offset += static_cast<uint64_t>(done);
        left -= static_cast<size_t>(done);
    }
    return true;
}

CardSectors cardSectors(int fd) {
    CardSectors card;
    const off_t end = ::lseek(fd, 0, SEEK_END); // block devices report their size here too
    card.count = end > 0 ? static_cast<uint64_t>(end) / kSectorBytes : 0;
    card.read = [fd](uint64_t first, uint32_t n, uint8_t* data) {
        return transfer(fd, first, n, data, false);
    };
    card.write = [fd](uint64_t first, uint32_t n, const uint8_t* data) {
        return transfer(fd, first, n, const_cast<uint8_t*>(data), true);
    };
    return card;
}

// A lock-file name from a mutex name: letters, digits, '-', '.' and '_' kept, others '_'.
std::string lockFileName(const std::u16string& name) {
    std::string out;
    for (char16_t c : name) {
        const bool keep = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') ||
                          (c >= u'0' && c <= u'9') || c == u'-' || c == u'.' || c == u'_';
        out.push_back(keep ? static_cast<char>(c) : '_');
    }
    return out + ".lock";
}

class PosixOsServices final : public OsServices {
public:
    PosixOsServices(std::string target, const CodePage& oem)
        : target_(std::move(target)), oem_(oem) {}

    SystemFamily systemFamily() override { return SystemFamily::Posix; }

    bool isSuperuser() override { return ::geteuid() == 0; }

    // With a target, it must open read/write; without one, the drive map must at least be
    // readable.
    bool mayOpenCard() override {
        if (target_.empty()) return readCardMap().error.empty();
        const Fd fd(openMapped(target_, O_RDWR));
        return fd.get() >= 0;
    }

    // Where the lock file of a named mutex lives.
    static std::string mutexPath(const std::u16string& name) {
        const char* runtime = std::getenv("XDG_RUNTIME_DIR");
        const std::string dir = runtime && runtime[0] == '/' ? runtime : "/tmp";
        return dir + "/" + lockFileName(name);
    }

    // A mutex "exists" while some process holds its lock: a shared lock is then refused.
    bool namedMutexHeld(const std::u16string& name) override {
        if (name.empty()) return false;
        const Fd fd(
            ::open(mutexPath(name).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
        struct stat st {};
        if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
        int rc;
        do rc = ::flock(fd.get(), LOCK_SH | LOCK_NB);
        while (rc != 0 && errno == EINTR);
        return rc != 0 && errno == EWOULDBLOCK;
    }

    void* createNamedMutex(const std::u16string& name, bool& alreadyExisted) override {
        alreadyExisted = false;
        if (name.empty()) return new MutexToken{};
        const std::string path = mutexPath(name);
        // Read-only is enough for flock, and lets another user's process share a lock file
        // that the first one created. The directory may be shared (/tmp): a FIFO put there in
        // the lock file's place must not block the open, and is no lock file.
        const int flags = O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
        int raw = ::open(path.c_str(), flags | O_CREAT, 0644);
        if (raw < 0 && errno == EACCES) raw = ::open(path.c_str(), flags);
        Fd fd(raw);
        struct stat st {};
        if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
            return failNull(kErrorAccessDenied);
        int rc;
        do rc = ::flock(fd.get(), LOCK_EX | LOCK_NB);
        while (rc != 0 && errno == EINTR);
        if (rc != 0 && errno != EWOULDBLOCK) return failNull(kErrorAccessDenied);
        alreadyExisted = rc != 0;
        if (alreadyExisted) lastError_ = kErrorAlreadyExists;
        return new MutexToken{fd.release(), rc == 0};
    }

    void releaseNamedMutex(void* mutex) override {
        auto* token = static_cast<MutexToken*>(mutex);
        if (!token) return;
        if (token->fd >= 0) {
            if (token->owned) ::flock(token->fd, LOCK_UN);
            ::close(token->fd);
        }
        delete token;
    }

    void* openVolume(char16_t driveLetter) override {
        const std::string path = mappedPath(driveLetter);
        if (path.empty()) return failNull(kErrorFileNotFound);
        Fd fd(openMapped(path, O_RDONLY));
        if (fd.get() < 0) return failNull(openError(errno));
        struct stat st {};
        if (::fstat(fd.get(), &st) != 0) return failNull(kErrorNotReady);
        return new VolumeToken{fd.release(), S_ISBLK(st.st_mode)};
    }

    // A virtual card has no volume to lock. A block device is locked with flock, which other
    // instances of this program respect. Dismounting succeeds without effect: we never mount
    // the card's partitions, and unmounting them is the user's job.
    bool volumeRequest(void* volume, VolumeRequest request) override {
        auto* token = static_cast<VolumeToken*>(volume);
        if (!token) return fail(kErrorInvalidHandle);
        if (!token->blockDevice || request == VolumeRequest::Dismount) return true;
        const int op = request == VolumeRequest::Lock ? LOCK_EX | LOCK_NB : LOCK_UN;
        int rc;
        do rc = ::flock(token->fd, op);
        while (rc != 0 && errno == EINTR);
        return rc == 0 || fail(kErrorAccessDenied);
    }

    void closeVolume(void* volume) override {
        auto* token = static_cast<VolumeToken*>(volume);
        if (!token) return;
        ::close(token->fd);
        delete token;
    }

    // The image or block device the letter is mapped to, as the map names it: an absolute path,
    // so never one of Windows' device names such as a floppy's.
    std::optional<std::u16string> driveDevicePath(char16_t driveLetter) override {
        const std::string path = mappedPath(driveLetter);
        if (path.empty()) {
            lastError_ = kErrorFileNotFound;
            return std::nullopt;
        }
        return utf8ToUtf16(path);
    }

    std::vector<std::u16string> driveRoots() override {
        std::vector<std::u16string> roots;
        const CardMap map = readCardMap();
        if (!map.error.empty()) return roots;
        for (size_t i = 0; i < map.paths.size(); ++i)
            if (!map.paths[i].empty())
                roots.push_back({static_cast<char16_t>(u'A' + i), u':', u'\\'});
        return roots;
    }

    uint32_t driveType(const std::u16string& rootPath) override {
        const char16_t letter = rootLetter(rootPath);
        return letter && !mappedPath(letter).empty() ? DriveRemovable : DriveNoRootDir;
    }

    bool clusterSpace(const std::u16string& rootPath, ClusterSpace& out) override {
        const Fd fd(openCard(rootPath, O_RDONLY));
        if (fd.get() < 0) return false;
        ClusterSpace space;
        if (uint32_t rc = virtualFreeSpace(cardSectors(fd.get()), space)) return fail(rc);
        out = space;
        return true;
    }

    bool freeSpace(const std::u16string& rootPath, uint64_t& freeBytes,
                   uint64_t& totalBytes) override {
        ClusterSpace space;
        if (!clusterSpace(rootPath, space)) return false;
        const uint64_t cluster = uint64_t{space.sectorsPerCluster} * space.bytesPerSector;
        freeBytes = cluster * space.freeClusters;
        totalBytes = cluster * space.totalClusters;
        return true;
    }

    bool volumeInfo(const std::u16string& rootPath, VolumeInfo& out) override {
        const Fd fd(openCard(rootPath, O_RDONLY));
        if (fd.get() < 0) return false;
        if (uint32_t rc = virtualVolumeInformation(cardSectors(fd.get()), oem_, out))
            return fail(rc);
        return true;
    }

    bool setVolumeLabel(const std::u16string& rootPath, const std::u16string& label) override {
        const Fd fd(openCard(rootPath, O_RDWR));
        if (fd.get() < 0) return false;
        if (uint32_t rc = setVirtualVolumeLabel(cardSectors(fd.get()), oem_, label, localTime()))
            return fail(rc);
        // A real card must hold the label before the user may pull it.
        struct stat st {};
        if (::fstat(fd.get(), &st) == 0 && S_ISBLK(st.st_mode) && ::fsync(fd.get()) != 0)
            return fail(kErrorWriteFault);
        return true;
    }

    bool labelsCardItself(const std::u16string&) override { return true; }

    // Nothing mounts a card behind our back here, so there is no medium to wake.
    void wakeDrive(const std::u16string&) override {}

    uint32_t lastError() override { return lastError_; }

    std::string driverLibraryFolder() override { return driverLibraryDirectory(); }

    // A bare file name is looked for in the driver libraries' folder first (beside the program,
    // as Windows does, or where they are installed), then along the loader's own search path.
    void* loadLibrary(const std::string& path) override {
        void* library = nullptr;
        if (path.find('/') == std::string::npos) {
            const std::string dir = driverLibraryDirectory();
            if (!dir.empty()) library = ::dlopen((dir + "/" + path).c_str(), RTLD_NOW | RTLD_LOCAL);
        }
        if (!library) library = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!library) lastError_ = kErrorModNotFound;
        return library;
    }

    void* libraryProc(void* library, const char* name) override {
        void* proc = library ? ::dlsym(library, name) : nullptr;
        if (!proc) lastError_ = kErrorProcNotFound;
        return proc;
    }

    void freeLibrary(void* library) override {
        if (library) ::dlclose(library);
    }

    // The locale's language (LC_ALL, then LC_MESSAGES, then LANG, as the C library decides)
    // as the LANGID of the languages we carry texts for; US English otherwise.
    uint16_t uiLanguage(bool) override {
        std::string locale;
        for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
            const char* value = std::getenv(name);
            if (value && *value) {
                locale = value;
                break;
            }
        }
        const auto startsWith = [&](const char* prefix) { return locale.rfind(prefix, 0) == 0; };
        if (startsWith("ru")) return 0x0419;
        if (startsWith("ja")) return 0x0411;
        if (startsWith("zh_CN")) return 0x0804;
        if (startsWith("zh_SG")) return 0x1004;
        if (startsWith("zh_TW")) return 0x0404;
        if (startsWith("zh_HK")) return 0x0C04;
        if (startsWith("zh_MO")) return 0x1404;
        return 0x0409;
    }

    uint32_t milliseconds() override {
        timespec now{};
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        const uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000u +
                            static_cast<uint64_t>(now.tv_nsec) / 1000000u;
        return static_cast<uint32_t>(ms);
    }

    // The same clock the writers use, so SOURCE_DATE_EPOCH reaches the label entry too.
    LocalTime localTime() override { return systemFormatClock().localTime(); }

    const CodePage& oemCodePage() override { return oem_; }

    // No version resource here: the build's version, as the Windows program carries it.
    std::optional<ProgramVersion> programVersion() override {
        unsigned parts[4] = {};
        std::sscanf(BRC_VERSION, "%u.%u.%u.%u", &parts[0], &parts[1], &parts[2], &parts[3]);
        ProgramVersion v;
        v.productMs = (parts[0] << 16) | (parts[1] & 0xFFFF);
        v.productLs = (parts[2] << 16) | (parts[3] & 0xFFFF);
        return v;
    }

private:
    bool fail(uint32_t code) {
        lastError_ = code;
        return false;
    }
    std::nullptr_t failNull(uint32_t code) {
        lastError_ = code;
        return nullptr;
    }

    // The mapped card of a root path, opened; -1 with lastError set when it cannot be.
    int openCard(const std::u16string& rootPath, int flags) {
        const char16_t letter = rootLetter(rootPath);
        const std::string path = letter ? mappedPath(letter) : std::string();
        if (path.empty()) {
            lastError_ = kErrorPathNotFound;
            return -1;
        }
        const int fd = openMapped(path, flags);
        if (fd < 0) lastError_ = openError(errno);
        return fd;
    }

    std::string target_;
    const CodePage& oem_;
    uint32_t lastError_ = 0;
};

} // namespace

std::unique_ptr<OsServices> makePosixOsServices(std::string targetPath, const CodePage* oem) {
    if (!oem) oem = oemCodePage(localeOemCodePage());
    // A page this system's iconv lacks leaves labels to the portable page.
    return std::make_unique<PosixOsServices>(std::move(targetPath), oem ? *oem : cp437());
}

#if !defined(_WIN32)
std::unique_ptr<OsServices> makeSystemOsServices() { return makePosixOsServices(); }
#endif

} // namespace brc
