#include "cli/volume_probe.h"

#if defined(BRC_HAVE_BLKID)
#include <blkid.h>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace brc::cli {

#if defined(BRC_HAVE_BLKID)
namespace {

// A probe of `fd` from `offset` over `size` bytes (0: to the end), freed on every path.
class Probe {
public:
    Probe(int fd, blkid_loff_t offset, blkid_loff_t size) : probe_(blkid_new_probe()) {
        if (probe_ && blkid_probe_set_device(probe_, fd, offset, size) != 0) {
            blkid_free_probe(probe_);
            probe_ = nullptr;
        }
    }
    ~Probe() {
        if (probe_) blkid_free_probe(probe_);
    }
    Probe(const Probe&) = delete;
    Probe& operator=(const Probe&) = delete;
    blkid_probe get() const { return probe_; }

    std::string value(const char* name) const {
        const char* v = nullptr;
        return blkid_probe_lookup_value(probe_, name, &v, nullptr) == 0 && v ? v : "";
    }

private:
    blkid_probe probe_;
};

// The file system in that range, into `out`; false when there is none.
bool probeFileSystem(int fd, blkid_loff_t offset, blkid_loff_t size, ProbedVolume& out) {
    Probe probe(fd, offset, size);
    if (!probe.get()) return false;
    blkid_probe_enable_partitions(probe.get(), 0);
    blkid_probe_enable_superblocks(probe.get(), 1);
    blkid_probe_set_superblocks_flags(probe.get(), BLKID_SUBLKS_TYPE | BLKID_SUBLKS_LABEL);
    if (blkid_do_safeprobe(probe.get()) != 0) return false;
    out.type = probe.value("TYPE");
    out.label = probe.value("LABEL");
    return !out.type.empty();
}

} // namespace

bool canProbeVolumes() { return true; }

ProbedVolume probeVolume(const std::string& devicePath) {
    ProbedVolume out;
    const int fd = ::open(devicePath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return out;
    out.opened = true;
    if (!probeFileSystem(fd, 0, 0, out)) {
        Probe table(fd, 0, 0);
        if (table.get()) {
            blkid_probe_enable_superblocks(table.get(), 0);
            blkid_probe_enable_partitions(table.get(), 1);
            if (blkid_do_safeprobe(table.get()) == 0) {
                blkid_partlist list = blkid_probe_get_partitions(table.get());
                blkid_partition first = list && blkid_partlist_numof_partitions(list) > 0
                                            ? blkid_partlist_get_partition(list, 0)
                                            : nullptr;
                // Partition starts and sizes are in 512-byte sectors whatever the disk's.
                if (first)
                    probeFileSystem(fd, blkid_partition_get_start(first) * 512,
                                    blkid_partition_get_size(first) * 512, out);
            }
        }
    }
    ::close(fd);
    return out;
}

#else

bool canProbeVolumes() { return false; }
ProbedVolume probeVolume(const std::string&) { return {}; }

#endif

} // namespace brc::cli
