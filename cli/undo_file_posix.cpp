#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/undo_file.h"

namespace brc::cli {
namespace {

// Each missing folder of `path` below an existing one is made, for the owner alone.
bool makeFolders(const std::string& path) {
    for (size_t at = 1; at <= path.size(); ++at) {
        if (at != path.size() && path[at] != '/') continue;
        const std::string part = path.substr(0, at);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
    return true;
}

// A folder only its owner, the user, may change: anything else could swap the file.
std::string unfitFolder(const std::string& folder) {
    struct stat st {};
    if (::lstat(folder.c_str(), &st) != 0) return std::strerror(errno);
    if (!S_ISDIR(st.st_mode)) return "it is not a folder";
    if (st.st_uid != ::geteuid()) return "it is not the user's own";
    if (st.st_mode & 022) return "others may write in it";
    return {};
}

} // namespace

std::string undoFolder(std::string& error) {
    std::string folder;
    const char* state = std::getenv("XDG_STATE_HOME");
    const char* home = std::getenv("HOME");
    // The rules take only an absolute XDG_STATE_HOME.
    if (state && state[0] == '/') folder = std::string(state) + "/brindlecard";
    else if (home && home[0] == '/') folder = std::string(home) + "/.local/state/brindlecard";
    else {
        error = "neither XDG_STATE_HOME nor HOME names a folder to keep the saved sectors in";
        return {};
    }
    if (!makeFolders(folder)) {
        error = "cannot create '" + folder + "': " + std::strerror(errno);
        return {};
    }
    if (const std::string why = unfitFolder(folder); !why.empty()) {
        error = "'" + folder + "' is no place for the saved sectors: " + why;
        return {};
    }
    return folder;
}

UndoFile::~UndoFile() { close(); }

void UndoFile::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool UndoFile::create(const std::string& card, std::string& error) {
    const std::string folder = undoFolder(error);
    if (folder.empty()) return false;
    uint64_t random = 0;
    if (::getrandom(&random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) {
        error = std::string("no random name for the saved sectors: ") + std::strerror(errno);
        return false;
    }
    char tail[40];
    std::snprintf(tail, sizeof tail, "-%016llx.undo", static_cast<unsigned long long>(random));
    std::string name = card;
    for (char& c : name)
        if (c == '/' || static_cast<unsigned char>(c) < 0x20) c = '_';
    path_ = folder + "/probe-" + name + tail;
    fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd_ < 0) {
        error = "cannot create '" + path_ + "': " + std::strerror(errno);
        return false;
    }
    // The folder's entry too must survive a crash, or the flushed file has no name.
    if (const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    size_ = 0;
    return true;
}

bool UndoFile::open(const std::string& path, std::string& error) {
    path_ = path;
    fd_ = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat st {};
    if (fd_ < 0 || ::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
        error = "cannot read '" + path +
                "': " + (fd_ < 0 ? std::strerror(errno) : "it is not a regular file");
        close();
        return false;
    }
    size_ = static_cast<uint64_t>(st.st_size);
    return true;
}

void UndoFile::remove() {
    close();
    if (!path_.empty()) ::unlink(path_.c_str());
}

bool UndoFile::replace(const std::string& old, std::string& error) {
    close();
    if (::rename(path_.c_str(), old.c_str()) != 0) {
        error = "cannot replace '" + old + "': " + std::strerror(errno);
        return false;
    }
    path_ = old;
    return true;
}

bool UndoFile::writeAt(const void* data, size_t length, uint64_t offset) {
    const auto* p = static_cast<const char*>(data);
    for (size_t done = 0; done < length;) {
        const ssize_t n = ::pwrite(fd_, p + done, length - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            reason_ = std::strerror(n < 0 ? errno : ENOSPC);
            return false;
        }
        done += static_cast<size_t>(n);
    }
    size_ = std::max(size_, offset + length);
    return true;
}

bool UndoFile::append(const void* data, size_t length) { return writeAt(data, length, size_); }

bool UndoFile::sync() {
    if (::fdatasync(fd_) == 0) return true;
    reason_ = std::strerror(errno);
    return false;
}

bool UndoFile::readAt(void* data, size_t length, uint64_t offset) {
    auto* p = static_cast<char*>(data);
    for (size_t done = 0; done < length;) {
        const ssize_t n = ::pread(fd_, p + done, length - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            reason_ = n < 0 ? std::strerror(errno) : "it ends early";
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

} // namespace brc::cli
