#include "cli/card_files.h"

#include <cctype>

#include "device/card_map.h"

#if defined(_WIN32)
#include <windows.h>

#include "base/native_text.h"
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#endif

namespace brc::cli {
namespace {

std::string refusal(const std::string& path, const char* what) {
    return "'" + path + "' is " + what + "; card create only creates or replaces regular files";
}

// CON, PRN, AUX, NUL, COM1 to COM9 and LPT1 to LPT9, in any case; the superscript digits count
// as digits.
bool isReservedDeviceName(std::string base) {
    for (char& c : base) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL") return true;
    if (base.rfind("COM", 0) != 0 && base.rfind("LPT", 0) != 0) return false;
    const std::string digit = base.substr(3);
    return (digit.size() == 1 && digit[0] >= '1' && digit[0] <= '9') || digit == "\xC2\xB9" ||
           digit == "\xC2\xB2" || digit == "\xC2\xB3";
}

} // namespace

std::string windowsNameProblem(const std::string& path) {
    const size_t cut = path.find_last_of("\\/:");
    const std::string name = cut == std::string::npos ? path : path.substr(cut + 1);
    if (!name.empty() && (name.back() == '.' || name.back() == ' '))
        return "'" + path + "' ends in a dot or a blank, which Windows drops from a file name: "
               "name the image without it";
    // The device is reserved whatever extension follows, and blanks before the extension too.
    std::string base = name.substr(0, name.find('.'));
    base.erase(base.find_last_not_of(' ') + 1);
    if (isReservedDeviceName(base)) return "'" + path + "' is a reserved device name on Windows, not a file";
    return {};
}

CardFile::~CardFile() { close(); }

#if defined(_WIN32)

namespace {

std::string lastErrorText() { return "error " + std::to_string(GetLastError()); }

} // namespace

bool CardFile::open(const std::string& path, bool replace, std::string& error) {
    path_ = path;
    // The device namespace (\\.\PhysicalDrive0, \\?\E:) names disks, not files.
    if (isDeviceNamespacePath(path)) {
        error = refusal(path, "a device");
        return false;
    }
    if (std::string problem = windowsNameProblem(path); !problem.empty()) {
        error = problem;
        return false;
    }
    const std::wstring name = wideFromUtf8(path);
    const DWORD attributes = GetFileAttributesW(name.c_str());
    const DWORD code = GetLastError();
    const bool exists = attributes != INVALID_FILE_ATTRIBUTES;
    if (!exists && code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND) {
        error = "cannot create '" + path + "' (error " + std::to_string(code) + ")";
        return false;
    }
    if (exists && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        error = refusal(path, "a directory");
        return false;
    }
    if (exists && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        error = refusal(path, "a symbolic link");
        return false;
    }
    if (exists && !replace) {
        error = "'" + path + "' already exists; use --force to replace it";
        return false;
    }
    // The reparse-point flag opens a link that appeared since as itself, never its target.
    HANDLE h = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr,
                           exists ? OPEN_EXISTING : CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        error = "cannot create '" + path + "' (" + lastErrorText() + ")";
        return false;
    }
    handle_ = h;
    created_ = !exists;
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
        error = refusal(path, "not a regular file");
        created_ = false;
        close();
        return false;
    }
    return true;
}

bool CardFile::resize(uint64_t bytes) {
    for (uint64_t size : {uint64_t{0}, bytes}) {
        LARGE_INTEGER at;
        at.QuadPart = static_cast<LONGLONG>(size);
        if (!SetFilePointerEx(handle_, at, nullptr, FILE_BEGIN) || !SetEndOfFile(handle_)) {
            reason_ = lastErrorText();
            return false;
        }
    }
    return true;
}

bool CardFile::write(const std::string& text) {
    if (!resize(0)) return false;
    DWORD done = 0;
    if (!WriteFile(handle_, text.data(), static_cast<DWORD>(text.size()), &done, nullptr) ||
        done != text.size()) {
        reason_ = lastErrorText();
        return false;
    }
    return true;
}

bool CardFile::close() {
    if (!handle_) return true;
    const bool ok = CloseHandle(handle_) != 0;
    handle_ = nullptr;
    if (!ok) reason_ = lastErrorText();
    return ok;
}

void CardFile::discard() {
    close();
    if (created_) DeleteFileW(wideFromUtf8(path_).c_str());
    created_ = false;
}

#else

namespace {

const char* kindOf(mode_t mode) {
    if (S_ISLNK(mode)) return "a symbolic link";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISDIR(mode)) return "a directory";
    return "not a regular file";
}

} // namespace

bool CardFile::open(const std::string& path, bool replace, std::string& error) {
    path_ = path;
    // What is at the path itself, a link not followed; anything but a regular file is refused
    // before it is opened, as opening a device can act on it and opening a FIFO blocks.
    struct stat st {};
    const bool exists = ::lstat(path.c_str(), &st) == 0;
    if (!exists && errno != ENOENT) {
        error = "cannot create '" + path + "': " + std::strerror(errno);
        return false;
    }
    if (exists && !S_ISREG(st.st_mode)) {
        error = refusal(path, kindOf(st.st_mode));
        return false;
    }
    if (exists && !replace) {
        error = "'" + path + "' already exists; use --force to replace it";
        return false;
    }
    // The path may change after lstat: O_NOFOLLOW refuses a link put there since, O_EXCL
    // anything put where nothing was, O_NONBLOCK keeps a FIFO from blocking the open, and
    // what was opened is checked again below.
    const int flags = O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | (exists ? 0 : O_CREAT | O_EXCL);
    const int fd = ::open(path.c_str(), flags, 0666);
    if (fd < 0) {
        error = errno == ELOOP ? refusal(path, "a symbolic link")
                : errno == EEXIST ? "'" + path + "' already exists; use --force to replace it"
                                  : "cannot create '" + path + "': " + std::strerror(errno);
        return false;
    }
    fd_ = fd;
    created_ = !exists;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        error = refusal(path, kindOf(st.st_mode));
        created_ = false;
        close();
        return false;
    }
    device_ = st.st_dev;
    inode_ = st.st_ino;
    return true;
}

bool CardFile::resize(uint64_t bytes) {
    if (::ftruncate(fd_, 0) != 0 || ::ftruncate(fd_, static_cast<off_t>(bytes)) != 0) {
        reason_ = std::strerror(errno);
        return false;
    }
    return true;
}

bool CardFile::write(const std::string& text) {
    if (!resize(0)) return false;
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::pwrite(fd_, text.data() + done, text.size() - done,
                                   static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            reason_ = n < 0 ? std::strerror(errno) : "nothing written";
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

bool CardFile::close() {
    if (fd_ < 0) return true;
    const bool ok = ::close(fd_) == 0;
    if (!ok) reason_ = std::strerror(errno);
    fd_ = -1;
    return ok;
}

void CardFile::discard() {
    close();
    struct stat st {};
    if (created_ && ::lstat(path_.c_str(), &st) == 0 && st.st_dev == device_ &&
        st.st_ino == inode_)
        ::unlink(path_.c_str());
    created_ = false;
}

#endif

} // namespace brc::cli
