#include "platform/posix/block_volume.h"

#include "platform/posix/device_handles.h"
#include "platform/posix/udisks_client.h"

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

bool refusedToUser(int err) { return err == EACCES || err == EPERM; }

// What udisks2 did not do, in one sentence: where it cannot help, what the user can do instead.
std::string udisksRefusal(const std::string& failed, const UdisksAnswer& a, const char* allowTo) {
    if (a.unavailable) return failed + ": " + a.error + "; run brindlecard as root (sudo)";
    if (a.denied)
        return failed + ": " + a.error +
               "; run brindlecard as root (sudo), or ask an administrator to allow udisks2 to " +
               allowTo;
    return failed + " through udisks2: " + a.error;
}

// udisks2 opens the device for this user; its descriptor is handed over to every later opening.
std::string openThroughUdisks(const std::string& path, const DeviceAccess& access, bool write) {
    const UdisksAnswer a = udisksOpenDevice(path, {access.interactive, write});
    if (!a.done()) return udisksRefusal("cannot open " + path, a, "open this device");
    handOverDevice(a.fd);
    return {};
}

// Whatever the mount table says, the kernel has the last word.
std::string exclusiveOpenRefusal(const std::string& path, const DeviceAccess& access) {
    const int err = exclusiveOpenError(path);
    if (err == 0) return {};
    if (refusedToUser(err) && access.udisks) return openThroughUdisks(path, access, true);
    return err == EBUSY ? path + " is in use: another program holds it or a partition of it"
                        : "cannot open " + path + ": " + std::strerror(err);
}

} // namespace

int exclusiveOpenError(const std::string& path) {
    const int fd = openBlockDevice(path, O_RDONLY | O_EXCL | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return errno;
    ::close(fd);
    return 0;
}

DeviceAccess commandDeviceAccess() { return {true, ::isatty(STDIN_FILENO) != 0}; }

bool udisksActsForUser(const DeviceAccess& access) { return access.udisks && ::geteuid() != 0; }

BlockVolumeCheck vetBlockVolume(const std::string& path, bool allowLoop, bool unmount,
                                const DeviceAccess& access) {
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
            check.refusal =
                path + " is mounted at " + m.mountPoint + "; unmount it first, or give --unmount";
            return check;
        }
        check.toUnmount.push_back(m);
    }
    // A mounted card is held until it is unmounted; the kernel is asked again then. Meanwhile a
    // user its node refuses has udisks2 open it for reading: polkit answers before anything is
    // unmounted, and the start-up checks find the card within reach.
    check.refusal = check.toUnmount.empty() ? exclusiveOpenRefusal(path, access)
                                            : reachForReading(path, access);
    return check;
}

std::string takeBlockVolume(const std::string& path, BlockVolumeCheck& check,
                            const DeviceAccess& access) {
    for (const blockdev::Mount& m : check.toUnmount) {
        const std::string failed = "cannot unmount " + m.mountPoint + " of " + path;
        if (udisksActsForUser(access)) {
            const UdisksAnswer a = udisksUnmount("/dev/" + m.device, {access.interactive, true});
            if (!a.done()) return udisksRefusal(failed, a, "unmount it");
        } else if (::umount2(m.mountPoint.c_str(), 0) != 0) {
            return failed + ": " + std::strerror(errno);
        }
        check.unmounted.push_back(m.mountPoint);
    }
    // A descriptor handed over for reading is no way to write: udisks2 is asked for one that does.
    if (const int fd = handedDescriptor(path);
        fd >= 0 && (::fcntl(fd, F_GETFL) & O_ACCMODE) == O_RDONLY)
        releaseHandedDevice(path);
    return exclusiveOpenRefusal(path, access);
}

std::string reachForReading(const std::string& path, const DeviceAccess& access) {
    const int fd = openBlockDevice(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd >= 0) {
        ::close(fd);
        return {};
    }
    return refusedToUser(errno) && access.udisks ? openThroughUdisks(path, access, false)
                                                 : std::string();
}

bool rereadPartitionTable(const std::string& path, std::string& error) {
    int fd = openBlockDevice(path, O_RDONLY | O_EXCL | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) fd = openBlockDevice(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        // A card that went away (its reader unplugged) is said once, as gone, by the run's cause.
        const bool gone =
            errno == ENOENT || errno == ENXIO || errno == ENODEV || errno == ENOMEDIUM;
        error = gone ? std::string()
                     : "cannot open " + path +
                           " to re-read its partition table: " + std::strerror(errno);
        return false;
    }
    const bool ok = ::ioctl(fd, BLKRRPART) == 0 || errno == EINVAL;
    if (!ok)
        error = "the kernel did not re-read the partition table of " + path + ": " +
                std::strerror(errno);
    ::close(fd);
    return ok;
}

bool rescanPartitionTable(const std::string& path, const DeviceAccess& access, std::string& error) {
    if (!udisksActsForUser(access)) return rereadPartitionTable(path, error);
    releaseHandedDevice(path);
    const UdisksAnswer a = udisksRescan(path, {access.interactive, true});
    if (a.done()) return true;
    error = "udisks2 did not have the kernel read the new partition table of " + path + " (" +
            a.error + "); take the card out and put it back to see its partition";
    return false;
}

} // namespace brc
