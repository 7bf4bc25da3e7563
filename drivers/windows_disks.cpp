#include "drivers/windows_disks.h"

#include <winioctl.h>

#include <algorithm>
#include <cstddef>

#include "drivers/win_io.h"

namespace brc::vcard {
namespace {

// The answers are decoded from their bytes; the offsets there are these structures'.
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, RemovableMedia) == 10);
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, VendorIdOffset) == 12);
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, ProductIdOffset) == 16);
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, BusType) == 28);
static_assert(sizeof(STORAGE_DEVICE_NUMBER) == 12);
static_assert(offsetof(DISK_GEOMETRY, BytesPerSector) == 20 && sizeof(DISK_GEOMETRY) == 24);
static_assert(offsetof(DISK_GEOMETRY_EX, DiskSize) == 24);
static_assert(offsetof(VOLUME_DISK_EXTENTS, Extents) == 8 && sizeof(DISK_EXTENT) == 24);
static_assert(sizeof(GET_LENGTH_INFORMATION) == 8);
static_assert(windisk::kFileDeviceDisk == FILE_DEVICE_DISK);
static_assert(windisk::kMediaRemovable == RemovableMedia);
static_assert(windisk::kErrorWriteProtect == ERROR_WRITE_PROTECT);

std::optional<windisk::DeviceNumber> deviceNumber(HANDLE h) {
    return decoded(ask(h, IOCTL_STORAGE_GET_DEVICE_NUMBER, sizeof(STORAGE_DEVICE_NUMBER)),
                   windisk::decodeDeviceNumber);
}

// What identifies the device under `h`, a drive's volume or a disk.
windisk::DeviceIdentity identityOf(HANDLE h) {
    windisk::DeviceIdentity id;
    STORAGE_PROPERTY_QUERY query{};
    query.PropertyId = StorageDeviceProperty;
    query.QueryType = PropertyStandardQuery;
    id.descriptor = decoded(ask(h, IOCTL_STORAGE_QUERY_PROPERTY, 4096, &query, sizeof query),
                            windisk::decodeStorageDescriptor);
    id.geometry = decoded(ask(h, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, 256), windisk::decodeGeometry);
    if (!id.geometry)
        id.geometry = decoded(ask(h, IOCTL_DISK_GET_DRIVE_GEOMETRY, sizeof(DISK_GEOMETRY)),
                              windisk::decodeGeometry);
    return id;
}

} // namespace

std::wstring volumeName(unsigned index) {
    return std::wstring(L"\\\\.\\") + static_cast<wchar_t>(L'A' + index) + L":";
}

void askDisk(HANDLE disk, windisk::DiskFacts& facts) {
    windisk::DeviceIdentity id = identityOf(disk);
    facts.descriptor = std::move(id.descriptor);
    facts.geometry = std::move(id.geometry);
    facts.length = decoded(ask(disk, IOCTL_DISK_GET_LENGTH_INFO, sizeof(GET_LENGTH_INFORMATION)),
                           windisk::decodeLength);
    const bool writable = control(disk, IOCTL_DISK_IS_WRITABLE);
    facts.writable = windisk::decodeIsWritable(writable, writable ? 0 : GetLastError());
}

uint32_t WindowsDisks::diskLetters() {
    uint32_t letters = 0;
    const DWORD present = GetLogicalDrives();
    for (unsigned i = 0; i < 26; ++i) {
        const wchar_t root[] = {static_cast<wchar_t>(L'A' + i), L':', L'\\', 0};
        const UINT type = (present & (DWORD{1} << i)) ? GetDriveTypeW(root) : DRIVE_NO_ROOT_DIR;
        if (type == DRIVE_REMOVABLE || type == DRIVE_FIXED) letters |= uint32_t{1} << i;
    }
    return letters;
}

windisk::VolumeAnswers WindowsDisks::volume(unsigned index) {
    windisk::VolumeAnswers v;
    const wchar_t drive[] = {static_cast<wchar_t>(L'A' + index), L':', 0};
    wchar_t target[1024] = {};
    if (QueryDosDeviceW(drive, target, 1024)) v.dosDevice = ascii(target);
    const Handle h = openPath(volumeName(index), 0);
    if (!h.ok()) return v;
    v.number = deviceNumber(h.get());
    constexpr DWORD kExtents = 8 + 24 * 32;
    v.extents = decoded(ask(h.get(), IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, kExtents),
                        windisk::decodeDiskExtents);
    if (!v.extents && GetLastError() == ERROR_MORE_DATA)
        v.extents.emplace(); // too many to list
    v.identity = identityOf(h.get());
    return v;
}

std::optional<unsigned> WindowsDisks::windowsDrive() {
    wchar_t directory[MAX_PATH + 1] = {};
    const UINT length = GetSystemWindowsDirectoryW(directory, MAX_PATH + 1);
    if (length == 0 || length > MAX_PATH) return std::nullopt;
    directory[std::min<UINT>(length, 8)] = 0;
    const int index = windisk::driveIndexOfPath(ascii(directory));
    if (index < 0) return std::nullopt;
    return static_cast<unsigned>(index);
}

void WindowsDisks::askDisk(uint32_t number, windisk::DiskFacts& facts) {
    const Handle disk =
        openPath(widened(windisk::physicalDrivePath({windisk::kFileDeviceDisk, number, 0})), 0);
    if (disk.ok()) vcard::askDisk(disk.get(), facts);
}

} // namespace brc::vcard
