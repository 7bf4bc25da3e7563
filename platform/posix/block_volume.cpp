#include "platform/posix/block_volume.h"

#include "platform/posix/device_handles.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace brc {
namespace {

bool ownDevice(const blockdev::Device& d, const std::string& name) {
    return name == d.disk ||
           std::find(d.partitions.begin(), d.partitions.end(), name) != d.partitions.end();
}

// The device in every system view; `mounts` gathers what each view sees mounted from it.
BlockVolumeCheck describeEverywhere(const std::string& path, bool allowLoop,
                                    std::vector<blockdev::Mount>& mounts) {
    BlockVolumeCheck check;
    bool first = true;
    for (const blockdev::SystemView& view : blockdev::systemViews()) {
        std::string error;
        const std::string name = blockdev::nameOfDevicePath(view.sysfs, path, error);
        if (name.empty()) {
            check.refusal = error;
            return check;
        }
        const auto device = blockdev::describe(view, name);
        if (!device) {
            check.refusal = path + " is no block device the system describes";
            return check;
        }
        check.refusal = blockdev::refusal(*device, allowLoop);
        if (!check.refusal.empty()) return check;
        if (first) check.device = *device;
        first = false;
        for (const blockdev::Mount& m : device->mounts)
            if (std::none_of(mounts.begin(), mounts.end(), [&](const blockdev::Mount& seen) {
                    return seen.mountPoint == m.mountPoint && seen.device == m.device;
                }))
                mounts.push_back(m);
    }
    return check;
}

} // namespace

BlockVolumeCheck describeBlockCard(const std::string& path, bool allowLoop) {
    std::vector<blockdev::Mount> mounts;
    return describeEverywhere(path, allowLoop, mounts);
}

namespace {

// Whatever the mount table says, the kernel has the last word.
std::string exclusiveOpenRefusal(const std::string& path) {
    const int fd = openBlockDevice(path, O_RDONLY | O_EXCL | O_CLOEXEC | O_NONBLOCK);
    if (fd >= 0) {
        ::close(fd);
        return {};
    }
    return errno == EBUSY ? path + " is in use: another program holds it or a partition of it"
                          : "cannot open " + path + ": " + std::strerror(errno);
}

} // namespace

BlockVolumeCheck vetBlockVolume(const std::string& path, bool allowLoop, bool unmount) {
    std::vector<blockdev::Mount> mounts;
    BlockVolumeCheck check = describeEverywhere(path, allowLoop, mounts);
    if (!check.refusal.empty()) return check;
    const blockdev::Device& d = check.device;
    for (const blockdev::Mount& m : mounts) {
        if (!ownDevice(d, m.device)) {
            check.refusal = path + " is in use by " + m.device + ", mounted at " + m.mountPoint +
                            "; close that first";
            return check;
        }
        if (!unmount) {
            check.refusal = path + " is mounted at " + m.mountPoint +
                            "; unmount it first, or give --unmount";
            return check;
        }
        check.toUnmount.push_back(m.mountPoint);
    }
    // A mounted card is held until it is unmounted; the kernel is asked again then.
    if (check.toUnmount.empty()) check.refusal = exclusiveOpenRefusal(path);
    return check;
}

std::string takeBlockVolume(const std::string& path, BlockVolumeCheck& check) {
    for (const std::string& point : check.toUnmount) {
        if (::umount2(point.c_str(), 0) != 0)
            return "cannot unmount " + point + " of " + path + ": " + std::strerror(errno);
        check.unmounted.push_back(point);
    }
    return exclusiveOpenRefusal(path);
}

bool rereadPartitionTable(const std::string& path, std::string& error) {
    int fd = openBlockDevice(path, O_RDONLY | O_EXCL | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) fd = openBlockDevice(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        error = "cannot open " + path + " to re-read its partition table: " + std::strerror(errno);
        return false;
    }
    const bool ok = ::ioctl(fd, BLKRRPART) == 0 || errno == EINVAL;
    if (!ok) error = "the kernel did not re-read the partition table of " + path + ": " + std::strerror(errno);
    ::close(fd);
    return ok;
}

} // namespace brc
