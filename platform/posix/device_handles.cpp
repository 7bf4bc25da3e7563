#include "platform/posix/device_handles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace brc {
namespace {

constexpr const char* kVariable = "BRINDLECARD_DEVICE_FD";

struct Handed {
    int fd = -1;
    dev_t device = 0;
};

Handed handed() {
    Handed h;
    const char* text = std::getenv(kVariable);
    unsigned fd = 0, major = 0, minor = 0;
    if (!text || std::sscanf(text, "%u:%u:%u", &fd, &major, &minor) != 3) return h;
    struct stat st {};
    // The descriptor must still be what the variable says it is.
    if (::fstat(static_cast<int>(fd), &st) != 0 || !S_ISBLK(st.st_mode) || st.st_rdev != makedev(major, minor))
        return h;
    h.fd = static_cast<int>(fd);
    h.device = st.st_rdev;
    return h;
}

} // namespace

bool handOverDevice(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISBLK(st.st_mode)) return false;
    const std::string value = std::to_string(fd) + ":" + std::to_string(major(st.st_rdev)) + ":" +
                              std::to_string(minor(st.st_rdev));
    return ::setenv(kVariable, value.c_str(), 1) == 0;
}

int handedDescriptor(const std::string& path) {
    const Handed h = handed();
    if (h.fd < 0) return -1;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISBLK(st.st_mode) || st.st_rdev != h.device) return -1;
    return h.fd;
}

int openBlockDevice(const std::string& path, int flags) {
    const int given = handedDescriptor(path);
    if (given < 0) return ::open(path.c_str(), flags);
    const int status = ::fcntl(given, F_GETFL);
    if (status < 0) return -1;
    const int wanted = (status & ~(O_DIRECT | O_NONBLOCK)) | (flags & (O_DIRECT | O_NONBLOCK));
    if (wanted != status && ::fcntl(given, F_SETFL, wanted) != 0) return -1;
    // A writer gets a descriptor that writes; the handed one was opened for reading and writing.
    return ::fcntl(given, (flags & O_CLOEXEC) ? F_DUPFD_CLOEXEC : F_DUPFD, 0);
}

} // namespace brc
