// The system's own volumes, for drivers/disk_volumes to decide on.
#pragma once

#include "drivers/disk_volumes.h"

namespace brc::vcard {

class WindowsVolumes final : public windisk::VolumeSystem {
public:
    std::vector<std::string> volumeNames() override;
    std::optional<std::vector<uint32_t>> extents(const std::string& name) override;
    std::vector<std::string> mountPoints(const std::string& name) override;
    uint32_t open(const std::string& name, VolumeHandle& handle) override;
    uint32_t lock(VolumeHandle handle) override;
    bool dismount(VolumeHandle handle) override;
    void release(VolumeHandle handle) override;
    bool setMountPoint(const std::string& mountPoint, const std::string& name) override;
    uint64_t milliseconds() override;
    void sleep(uint32_t milliseconds) override;
};

} // namespace brc::vcard
