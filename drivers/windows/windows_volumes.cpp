#include "drivers/windows/windows_volumes.h"

#include <windows.h>
#include <winioctl.h>

#include <algorithm>

#include "drivers/windisk/disk_answers.h"
#include "drivers/windows/win_io.h"

namespace brc::sdhost {
namespace {

// Volume names are ASCII (\\?\Volume{GUID}\); the round trip through the portable side keeps them.
std::wstring wide(const std::string& name) { return widened(name); }

// A volume opened as a device takes its name without the trailing backslash, which would name
// its root directory instead.
std::wstring deviceName(const std::string& name) {
    std::wstring w = wide(name);
    if (!w.empty() && w.back() == L'\\') w.pop_back();
    return w;
}

HANDLE handleOf(windisk::VolumeSystem::VolumeHandle h) { return reinterpret_cast<HANDLE>(h); }

} // namespace

WindowsVolumes::WindowsVolumes(bool forProgram) : forProgram_(forProgram) {
    InitializeCriticalSection(&lock_);
}

WindowsVolumes::~WindowsVolumes() { DeleteCriticalSection(&lock_); }

std::vector<std::string> WindowsVolumes::volumeNames() {
    std::vector<std::string> names;
    wchar_t name[MAX_PATH + 1] = {};
    HANDLE find = FindFirstVolumeW(name, MAX_PATH + 1);
    if (find == INVALID_HANDLE_VALUE) return names;
    do names.push_back(ascii(name));
    while (FindNextVolumeW(find, name, MAX_PATH + 1));
    FindVolumeClose(find);
    return names;
}

std::optional<std::vector<windisk::Extent>> WindowsVolumes::extents(const std::string& name) {
    // Every volume of the system is asked, at every look for the card's: one on a reader that
    // hangs would cost each look its whole wait, so it is asked briefly, and once.
    {
        const Inside inside(lock_);
        if (std::find(silent_.begin(), silent_.end(), name) != silent_.end()) return std::nullopt;
    }
    // Without access to the data: a volume locked by another handle answers all the same.
    const Handle h = openPath(deviceName(name), 0, 0, kQueryWaitMs);
    if (!h.ok()) {
        if (GetLastError() == kErrorNoAnswer) {
            const Inside inside(lock_);
            silent_.push_back(name);
        }
        return std::nullopt;
    }
    constexpr DWORD kExtents = 8 + 24 * 32;
    auto extents = decoded(ask(h.get(), IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, kExtents),
                           windisk::decodeExtents);
    if (!extents && GetLastError() == ERROR_MORE_DATA) extents.emplace(); // too many to list
    return extents;
}

std::vector<std::string> WindowsVolumes::mountPoints(const std::string& name) {
    std::vector<std::string> points;
    std::vector<wchar_t> buffer(1024);
    DWORD length = 0;
    if (!GetVolumePathNamesForVolumeNameW(wide(name).c_str(), buffer.data(),
                                          static_cast<DWORD>(buffer.size()), &length)) {
        if (GetLastError() != ERROR_MORE_DATA) return points;
        buffer.assign(length + 1, 0);
        if (!GetVolumePathNamesForVolumeNameW(wide(name).c_str(), buffer.data(),
                                              static_cast<DWORD>(buffer.size()), &length))
            return points;
    }
    for (const wchar_t* p = buffer.data(); *p; p += wcslen(p) + 1) points.push_back(ascii(p));
    return points;
}

uint32_t WindowsVolumes::open(const std::string& name, VolumeHandle& handle) {
    // Bounded like every call on a card; held past this call, until release.
    Handle h = openPath(deviceName(name), GENERIC_READ | GENERIC_WRITE);
    if (!h.ok()) return GetLastError();
    handle = reinterpret_cast<VolumeHandle>(h.release());
    return 0;
}

uint32_t WindowsVolumes::lock(VolumeHandle handle, uint32_t waitMs) {
    static_assert(windisk::kNoAnswer == kErrorNoAnswer);
    return control(handleOf(handle), FSCTL_LOCK_VOLUME, waitMs) ? 0 : GetLastError();
}

bool WindowsVolumes::dismount(VolumeHandle handle) {
    return control(handleOf(handle), FSCTL_DISMOUNT_VOLUME);
}

void WindowsVolumes::release(VolumeHandle handle) {
    // An unlock writes nothing back: it answers at once, or its reader is gone.
    control(handleOf(handle), FSCTL_UNLOCK_VOLUME, kQueryWaitMs);
    CloseHandle(handleOf(handle));
}

bool WindowsVolumes::setMountPoint(const std::string& mountPoint, const std::string& name) {
    return SetVolumeMountPointW(wide(mountPoint).c_str(), wide(name).c_str()) != 0;
}

bool WindowsVolumes::removeMountPoint(const std::string& mountPoint) {
    return DeleteVolumeMountPointW(wide(mountPoint).c_str()) != 0;
}

// GetTickCount64 is Vista's: the 32-bit count, carried over its wrap.
uint64_t WindowsVolumes::milliseconds() {
    static DWORD last = 0;
    static uint64_t high = 0;
    const DWORD now = GetTickCount();
    if (now < last) high += uint64_t{1} << 32;
    last = now;
    return high + now;
}

void WindowsVolumes::sleep(uint32_t milliseconds) { Sleep(milliseconds); }

windisk::RunShelf& WindowsVolumes::shelf() {
    const Inside inside(lock_);
    if (shelf_) return *shelf_;
    // Named after the process: no other process shares it, and it goes with the last module.
    const std::wstring name =
        L"Local\\BrindlecardRunShelf-" + std::to_wstring(GetCurrentProcessId());
    HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                        sizeof(windisk::RunShelf), name.c_str());
    void* view = mapping
                     ? MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(windisk::RunShelf))
                     : nullptr;
    auto* shared = static_cast<windisk::RunShelf*>(view);
    // A module of another layout in the same process shares nothing: this one keeps its own.
    if (shared && shared->version == 0) {
        shared->version = windisk::kShelfVersion;
        shared->size = sizeof(windisk::RunShelf);
    }
    if (!shared || shared->version != windisk::kShelfVersion ||
        shared->size != sizeof(windisk::RunShelf)) {
        if (view) UnmapViewOfFile(view);
        if (mapping) CloseHandle(mapping);
        mapping = nullptr;
        shared = new windisk::RunShelf{};
    }
    ++shared->modules;
    mapping_ = mapping;
    shelf_ = shared;
    return *shelf_;
}

void WindowsVolumes::unload() {
    const Inside inside(lock_);
    if (!shelf_) return;
    if (--shelf_->modules == 0) windisk::releaseParkedVolumes(*this);
    if (mapping_) {
        UnmapViewOfFile(shelf_);
        CloseHandle(mapping_);
    } else {
        delete shelf_;
    }
    shelf_ = nullptr;
    mapping_ = nullptr;
}

// XP's format locks the card's volume itself (see the front end's volume policy); Vista and
// later leave it to the library.
bool WindowsVolumes::programLocksVolumes() {
    return forProgram_ && LOBYTE(LOWORD(GetVersion())) < 6;
}

} // namespace brc::sdhost
