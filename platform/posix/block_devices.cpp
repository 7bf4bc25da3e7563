#include "platform/posix/block_devices.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <sstream>

namespace brc::blockdev {
namespace fs = std::filesystem;

namespace {

// The most any system table or attribute read here may hold; a mount table of thousands of
// entries takes far less.
constexpr size_t kMaxTableBytes = size_t{4} << 20;

// Reads a regular file only (sysfs and /proc files are regular), without blocking and bounded:
// a FIFO or a device named by a test variable must not hold the command up.
std::optional<std::string> readFile(const fs::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    struct stat st {};
    std::optional<std::string> text;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        text.emplace();
        char buffer[16384];
        while (text->size() < kMaxTableBytes) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            text->append(buffer, static_cast<size_t>(n));
        }
    }
    ::close(fd);
    return text;
}

// A sysfs attribute without its trailing blanks and newline; empty when absent.
std::string attribute(const fs::path& path) {
    std::string text = readFile(path).value_or("");
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
}

uint64_t numberAttribute(const fs::path& path) {
    return std::strtoull(attribute(path).c_str(), nullptr, 0);
}

bool startsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// mountinfo writes blanks, tabs, newlines and backslashes in paths as \ooo.
std::string unescape(const std::string& field) {
    std::string out;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            const std::string digits = field.substr(i + 1, 3);
            if (std::all_of(digits.begin(), digits.end(),
                            [](char c) { return c >= '0' && c <= '7'; })) {
                out += static_cast<char>(std::strtol(digits.c_str(), nullptr, 8));
                i += 3;
                continue;
            }
        }
        out += field[i];
    }
    return out;
}

std::vector<std::string> words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> out;
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

std::vector<Mount> readMounts(const SystemView& view) {
    return parseMountInfo(readFile(view.mountinfo).value_or(""));
}

// The view's block directory of `name`, resolved through its class link.
std::optional<fs::path> deviceDirectory(const SystemView& view, const std::string& name) {
    if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..")
        return std::nullopt;
    std::error_code ec;
    const fs::path dir = fs::canonical(fs::path(view.sysfs) / "class" / "block" / name, ec);
    if (ec || !fs::is_directory(dir, ec)) return std::nullopt;
    return dir;
}

// Names of the devices stacked on `name` (device mapper, RAID), transitively.
void addHolders(const SystemView& view, const std::string& name, std::set<std::string>& names) {
    std::error_code ec;
    for (const auto& entry :
         fs::directory_iterator(fs::path(view.sysfs) / "class" / "block" / name / "holders", ec)) {
        const std::string holder = entry.path().filename().string();
        if (names.insert(holder).second) addHolders(view, holder, names);
    }
}

// Whether mount `m` is of the device `name` (by number, or by a /dev source path).
bool mountOf(const SystemView& view, const Mount& m, const std::string& name) {
    const std::string dev = attribute(fs::path(view.sysfs) / "class" / "block" / name / "dev");
    unsigned major = 0, minor = 0;
    if (std::sscanf(dev.c_str(), "%u:%u", &major, &minor) == 2 && m.major == major &&
        m.minor == minor)
        return true;
    return m.source == "/dev/" + name;
}

bool holdsSystem(const std::string& mountPoint) {
    return mountPoint == "/" || mountPoint == "/boot" || startsWith(mountPoint, "/boot/");
}

// What kind of device the sysfs directory describes.
Kind kindOf(const std::string& name, const fs::path& dir, const std::string& devicePath,
            bool removable, Device& d) {
    const fs::path device = dir / "device";
    std::error_code ec;
    if (fs::exists(dir / "loop", ec)) return Kind::Loop;
    if (startsWith(name, "mmcblk")) {
        d.bus = "MMC";
        return attribute(device / "type") == "SD" ? Kind::SdSlot : Kind::Emmc;
    }
    if (startsWith(name, "nvme") || devicePath.find("/nvme") != std::string::npos) {
        d.bus = "NVMe";
        return Kind::Nvme;
    }
    if (startsWith(name, "sr") || attribute(device / "type") == "5") return Kind::Optical;
    if (devicePath.find("/devices/virtual/") != std::string::npos) return Kind::Virtual;
    // libata's disks (SATA, PATA) show as SCSI hosts under an ataN port.
    if (devicePath.find("/usb") != std::string::npos) d.bus = "USB";
    else if (devicePath.find("/virtio") != std::string::npos) d.bus = "virtio";
    else if (devicePath.find("/ata") != std::string::npos) d.bus = "SATA";
    else if (devicePath.find("/host") != std::string::npos) d.bus = "SCSI";
    // A card reader is a SCSI direct-access disk (type 0) whose medium can be taken out.
    const std::string scsiType = attribute(device / "type");
    if (removable && (d.bus == "USB" || d.bus == "SCSI") && (scsiType.empty() || scsiType == "0"))
        return Kind::CardReader;
    return Kind::Internal;
}

} // namespace

std::vector<SystemView> systemViews() {
    std::vector<SystemView> views(1);
    const char* sysfs = std::getenv("BRINDLECARD_TEST_SYSFS");
    const char* mountinfo = std::getenv("BRINDLECARD_TEST_MOUNTINFO");
    const char* swaps = std::getenv("BRINDLECARD_TEST_SWAPS");
    if (sysfs || mountinfo || swaps) {
        SystemView test;
        if (sysfs) test.sysfs = sysfs;
        if (mountinfo) test.mountinfo = mountinfo;
        if (swaps) test.swaps = swaps;
        views.push_back(test);
    }
    return views;
}

std::vector<Mount> parseMountInfo(const std::string& text) {
    std::vector<Mount> mounts;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        const std::vector<std::string> w = words(line);
        // id parent major:minor root mount-point options [optional...] - type source options
        const auto dash = std::find(w.begin(), w.end(), "-");
        if (w.size() < 5 || dash == w.end() || w.end() - dash < 3) continue;
        Mount m;
        if (std::sscanf(w[2].c_str(), "%u:%u", &m.major, &m.minor) != 2) continue;
        m.mountPoint = unescape(w[4]);
        m.fsType = *(dash + 1);
        m.source = unescape(*(dash + 2));
        mounts.push_back(m);
    }
    return mounts;
}

std::vector<std::string> parseSwaps(const std::string& text) {
    std::vector<std::string> names;
    std::istringstream in(text);
    std::string line;
    std::getline(in, line); // the heading
    while (std::getline(in, line)) {
        const std::vector<std::string> w = words(line);
        if (w.size() < 2 || w[1] != "partition" || !startsWith(w[0], "/dev/")) continue;
        std::error_code ec;
        // /dev/mapper/x and /dev/disk/by-... are links to the node the kernel names.
        const fs::path node = fs::canonical(unescape(w[0]), ec);
        names.push_back((ec ? fs::path(unescape(w[0])) : node).filename().string());
    }
    return names;
}

const char* kindName(Kind kind) {
    switch (kind) {
    case Kind::SdSlot: return "SD card slot";
    case Kind::CardReader: return "card reader";
    case Kind::Emmc: return "built-in eMMC";
    case Kind::Internal: return "fixed disk";
    case Kind::Nvme: return "NVMe drive";
    case Kind::Loop: return "loop device";
    case Kind::Optical: return "optical drive";
    case Kind::Virtual: return "virtual device";
    }
    return "";
}

std::optional<Device> describe(const SystemView& view, const std::string& name) {
    const std::optional<fs::path> dir = deviceDirectory(view, name);
    if (!dir) return std::nullopt;
    Device d;
    d.name = name;
    d.path = "/dev/" + name;
    std::error_code ec;
    d.partition = fs::exists(*dir / "partition", ec);
    // A partition's directory sits in its disk's: the disk's attributes describe the card.
    const fs::path diskDir = d.partition ? dir->parent_path() : *dir;
    d.disk = diskDir.filename().string();
    d.removable = attribute(diskDir / "removable") == "1";
    d.readOnly = attribute(*dir / "ro") == "1";
    d.bytes = numberAttribute(*dir / "size") * 512;
    d.logicalBlockSize =
        static_cast<uint32_t>(numberAttribute(diskDir / "queue" / "logical_block_size"));
    if (d.logicalBlockSize == 0) d.logicalBlockSize = 512;
    d.discard = numberAttribute(diskDir / "queue" / "discard_max_bytes") != 0;
    d.kind = kindOf(d.disk, diskDir, diskDir.string(), d.removable, d);
    const fs::path device = diskDir / "device";
    d.vendor = attribute(device / "vendor");
    // A virtio disk's vendor is its PCI vendor number (0x1af4), no name for anyone.
    if (startsWith(d.vendor, "0x")) d.vendor.clear();
    d.model =
        attribute(device / (d.kind == Kind::SdSlot || d.kind == Kind::Emmc ? "name" : "model"));
    if (d.kind == Kind::SdSlot) {
        d.manfid = attribute(device / "manfid");
        d.oemid = attribute(device / "oemid");
    }

    // The disk, its partitions and whatever is stacked on them.
    std::set<std::string> names{d.disk};
    for (const auto& entry : fs::directory_iterator(diskDir, ec))
        if (fs::exists(entry.path() / "partition", ec)) {
            d.partitions.push_back(entry.path().filename().string());
            names.insert(d.partitions.back());
        }
    std::sort(d.partitions.begin(), d.partitions.end());
    for (const std::string& n : std::set<std::string>(names)) addHolders(view, n, names);

    for (const Mount& m : readMounts(view))
        for (const std::string& n : names)
            if (mountOf(view, m, n)) {
                d.mounts.push_back(m);
                d.mounts.back().device = n;
                if (d.systemUse.empty() && holdsSystem(m.mountPoint)) {
                    d.systemUse = m.mountPoint;
                    d.systemUseOn = n;
                }
                break;
            }
    if (d.systemUse.empty())
        for (const std::string& swap : parseSwaps(readFile(view.swaps).value_or("")))
            if (names.count(swap)) {
                d.systemUse = "swap";
                d.systemUseOn = swap;
                break;
            }
    return d;
}

std::vector<Device> listDisks(const SystemView& view) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(fs::path(view.sysfs) / "class" / "block", ec)) {
        const std::string name = entry.path().filename().string();
        if (!fs::exists(entry.path() / "partition", ec)) names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    std::vector<Device> disks;
    for (const std::string& name : names)
        if (auto d = describe(view, name)) disks.push_back(*d);
    return disks;
}

std::string refusal(const Device& d, bool allowLoop) {
    const std::string& p = d.path;
    if (d.partition)
        return p + " is a partition; a card is formatted whole, so name its disk /dev/" + d.disk;
    if (!d.systemUse.empty())
        return d.systemUse == "swap"
                   ? p + " holds the system's active swap (on " + d.systemUseOn +
                         ") and is never formatted"
                   : p + " holds the running system (" + d.systemUse + " is mounted from " +
                         d.systemUseOn + ") and is never formatted";
    switch (d.kind) {
    case Kind::SdSlot:
    case Kind::CardReader: break;
    case Kind::Loop:
        if (allowLoop) break;
        return p + " is a loop device, not a card (--allow-loop formats it anyway)";
    case Kind::Emmc: return p + " is built-in eMMC storage, not a removable SD card";
    case Kind::Internal:
        return p + " is not removable (a fixed " + (d.bus.empty() ? "" : d.bus + " ") +
               "disk); only memory cards are formatted";
    case Kind::Nvme: return p + " is an NVMe drive, not removable; only memory cards are formatted";
    case Kind::Optical: return p + " is an optical drive, not a memory card";
    case Kind::Virtual: return p + " is a virtual device, not a memory card";
    }
    return capacityRefusal(p, d.bytes, d.logicalBlockSize);
}

std::string nameOfDevicePath(const std::string& sysfs, const std::string& devicePath,
                             std::string& error) {
    struct stat st {};
    if (::stat(devicePath.c_str(), &st) != 0) {
        error = "there is no device at " + devicePath;
        return {};
    }
    if (!S_ISBLK(st.st_mode)) {
        error = devicePath + " is not a block device";
        return {};
    }
    const fs::path link =
        fs::path(sysfs) / "dev" / "block" /
        (std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev)));
    std::error_code ec;
    const fs::path target = fs::canonical(link, ec);
    if (ec) {
        error = devicePath + " is a device node that no driver of the kernel serves";
        return {};
    }
    return target.filename().string();
}

namespace {

// Stacked loop devices deeper than this are not followed: the kernel refuses a loop over
// itself, and nobody stacks this many.
constexpr int kMaxLoopDepth = 8;

// Walks from what `st` describes down through loop devices to the medium; `loops` gets the
// number of every loop device on the way.
std::optional<Medium> walkToMedium(const std::string& sysfs, struct stat st,
                                   std::set<dev_t>& loops) {
    for (int depth = 0; depth <= kMaxLoopDepth; ++depth) {
        if (S_ISREG(st.st_mode)) return Medium{true, uint64_t(st.st_dev), uint64_t(st.st_ino)};
        if (!S_ISBLK(st.st_mode)) return std::nullopt;
        const std::string number =
            std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
        std::string backing =
            attribute(fs::path(sysfs) / "dev" / "block" / number / "loop" / "backing_file");
        struct stat below {};
        // Not a loop device, or one whose file is gone: the device itself is the medium.
        if (backing.empty() || ::stat(backing.c_str(), &below) != 0)
            return Medium{false, uint64_t(st.st_rdev), 0};
        loops.insert(st.st_rdev);
        st = below;
    }
    return std::nullopt;
}

} // namespace

std::optional<Medium> mediumOf(const std::string& sysfs, const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    std::set<dev_t> loops;
    return walkToMedium(sysfs, st, loops);
}

std::vector<std::string> loopsOnMedium(const std::string& sysfs, const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return {};
    std::set<dev_t> beneath;
    const std::optional<Medium> medium = walkToMedium(sysfs, st, beneath);
    if (!medium) return {};
    if (S_ISBLK(st.st_mode)) beneath.insert(st.st_rdev);
    std::vector<std::string> found;
    std::error_code ec;
    for (const fs::directory_entry& entry : fs::directory_iterator(fs::path(sysfs) / "block", ec)) {
        const std::string name = entry.path().filename().string();
        unsigned maj = 0, min = 0;
        if (name.rfind("loop", 0) != 0 ||
            attribute(entry.path() / "loop" / "backing_file").empty() ||
            std::sscanf(attribute(entry.path() / "dev").c_str(), "%u:%u", &maj, &min) != 2)
            continue;
        struct stat loop {};
        loop.st_mode = S_IFBLK;
        loop.st_rdev = makedev(maj, min);
        std::set<dev_t> chain;
        if (!beneath.count(loop.st_rdev) && walkToMedium(sysfs, loop, chain) == medium)
            found.push_back("/dev/" + name);
    }
    std::sort(found.begin(), found.end());
    return found;
}

} // namespace brc::blockdev
