// The system's own volumes, for drivers/windisk/disk_volumes to decide on.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "drivers/windisk/disk_volumes.h"

namespace brc::sdhost {

class WindowsVolumes final : public windisk::VolumeSystem {
public:
    // `forProgram`: the driver library's, beside a front end that locks the card's volume
    // itself on XP; the volume service's is not (its clients leave the volumes to it).
    explicit WindowsVolumes(bool forProgram = true);
    ~WindowsVolumes() override;
    WindowsVolumes(const WindowsVolumes&) = delete;
    WindowsVolumes& operator=(const WindowsVolumes&) = delete;
    std::vector<std::string> volumeNames() override;
    std::optional<std::vector<windisk::Extent>> extents(const std::string& name) override;
    std::vector<std::string> mountPoints(const std::string& name) override;
    uint32_t open(const std::string& name, VolumeHandle& handle) override;
    uint32_t lock(VolumeHandle handle, uint32_t waitMs) override;
    bool dismount(VolumeHandle handle) override;
    void release(VolumeHandle handle) override;
    bool setMountPoint(const std::string& mountPoint, const std::string& name) override;
    bool removeMountPoint(const std::string& mountPoint) override;
    uint64_t milliseconds() override;
    void sleep(uint32_t milliseconds) override;
    // The process's shelf: a named mapping of this process's own, shared by every module of ours
    // loaded in it, mapped at the module's first need and kept while the module is loaded.
    windisk::RunShelf& shelf() override;
    bool programLocksVolumes() override;
    // The module unloads: its share of the shelf goes, and with the last module's whatever is
    // still parked is let go.
    void unload();

private:
    bool forProgram_;
    // Over the silent volumes and the shelf's mapping: the volume service's connection threads
    // share one.
    CRITICAL_SECTION lock_;
    void* mapping_ = nullptr;
    std::vector<std::string> silent_; // volumes that once did not answer: not asked again
    windisk::RunShelf* shelf_ = nullptr;
};

} // namespace brc::sdhost
