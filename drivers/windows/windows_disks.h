// The system's own answers about drives and disks, for drivers/windisk/disk_answers to judge.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

#include "drivers/windisk/disk_answers.h"

namespace brc::sdhost {

// \\.\E: of drive index 4.
std::wstring volumeName(unsigned index);

// What the disk under `disk` says of itself; `disk` may be a handle without access to the data,
// in which case the length comes from the extended geometry.
void askDisk(HANDLE disk, windisk::DiskFacts& facts);

// The system's disks, every handle opened without access to the data.
class WindowsDisks final : public windisk::DiskSystem {
public:
    windisk::VolumeAnswers volume(unsigned index) override;
    std::optional<unsigned> windowsDrive() override;
    void askDisk(uint32_t number, windisk::DiskFacts& facts) override;
};

} // namespace brc::sdhost
