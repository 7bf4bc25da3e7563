#include "drivers/windows/windows_disks.h"

#include <winioctl.h>
#include <cfgmgr32.h>
#include <setupapi.h>

#include <algorithm>
#include <cstddef>
#include <cwchar>
#include <vector>

#include "drivers/windows/win_io.h"

namespace brc::sdhost {
namespace {

// The answers are decoded from their bytes; the offsets there are these structures'.
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, RemovableMedia) == 10);
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, VendorIdOffset) == 12);
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, ProductIdOffset) == 16);
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, SerialNumberOffset) == 24);
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, BusType) == 28);
static_assert(sizeof(STORAGE_DEVICE_NUMBER) == 12);
static_assert(offsetof(DISK_GEOMETRY, BytesPerSector) == 20 && sizeof(DISK_GEOMETRY) == 24);
static_assert(offsetof(DISK_GEOMETRY_EX, DiskSize) == 24);
static_assert(offsetof(VOLUME_DISK_EXTENTS, Extents) == 8 && sizeof(DISK_EXTENT) == 24);
static_assert(sizeof(GET_LENGTH_INFORMATION) == 8);
static_assert(offsetof(STORAGE_HOTPLUG_INFO, MediaRemovable) == 4);
static_assert(offsetof(STORAGE_ADAPTER_DESCRIPTOR, BusType) == 24);
static_assert(offsetof(DEVICE_TRIM_DESCRIPTOR, TrimEnabled) == 8);
static_assert(windisk::kFileDeviceDisk == FILE_DEVICE_DISK);
static_assert(windisk::kMediaRemovable == RemovableMedia);
static_assert(windisk::kErrorWriteProtect == ERROR_WRITE_PROTECT);

std::optional<windisk::DeviceNumber> deviceNumber(HANDLE h) {
    return decoded(ask(h, IOCTL_STORAGE_GET_DEVICE_NUMBER, sizeof(STORAGE_DEVICE_NUMBER)),
                   windisk::decodeDeviceNumber);
}

// IOCTL_STORAGE_QUERY_PROPERTY's answer for `id`; a system that does not know the property
// (the trim before Windows 7) refuses it.
std::optional<std::vector<uint8_t>> property(HANDLE h, STORAGE_PROPERTY_ID id, DWORD capacity) {
    STORAGE_PROPERTY_QUERY query{};
    query.PropertyId = id;
    query.QueryType = PropertyStandardQuery;
    return ask(h, IOCTL_STORAGE_QUERY_PROPERTY, capacity, &query, sizeof query);
}

// What identifies the device under `h`, a drive's volume or a disk.
windisk::DeviceIdentity identityOf(HANDLE h) {
    windisk::DeviceIdentity id;
    id.descriptor =
        decoded(property(h, StorageDeviceProperty, 4096), windisk::decodeStorageDescriptor);
    id.geometry = decoded(ask(h, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, 256), windisk::decodeGeometry);
    if (!id.geometry)
        id.geometry = decoded(ask(h, IOCTL_DISK_GET_DRIVE_GEOMETRY, sizeof(DISK_GEOMETRY)),
                              windisk::decodeGeometry);
    return id;
}

// GUID_DEVINTERFACE_DISK, spelled out: the headers declare it without defining it.
constexpr GUID kDiskInterface = {
    0x53f56307, 0xb6bf, 0x11d0, {0x94, 0xf2, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b}};

// Room for a REG_SZ or REG_MULTI_SZ answer, with two zeros past it whatever the system writes.
struct IdText {
    std::vector<wchar_t> text = std::vector<wchar_t>(1026, 0);
    DWORD bytes() const { return static_cast<DWORD>((text.size() - 2) * sizeof(wchar_t)); }
    void addTo(std::vector<std::string>& ids, const wchar_t* suffix = L"") const {
        for (const wchar_t* at = text.data(); *at; at += wcslen(at) + 1)
            ids.push_back(ascii((std::wstring(at) + suffix).c_str()));
    }
};

// The disk interface of disk `number` in `set`, by its device number.
bool findDisk(HDEVINFO set, uint32_t number, SP_DEVINFO_DATA& device) {
    SP_DEVICE_INTERFACE_DATA itf{};
    itf.cbSize = sizeof itf;
    std::vector<uint64_t> space(512); // 4 KiB, aligned for the structure
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(space.data());
    for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &kDiskInterface, i, &itf); ++i) {
        detail->cbSize = sizeof *detail;
        device.cbSize = sizeof device;
        const DWORD room = static_cast<DWORD>(space.size() * sizeof space[0]);
        if (!SetupDiGetDeviceInterfaceDetailW(set, &itf, detail, room, nullptr, &device)) continue;
        const Handle disk = openPath(detail->DevicePath, 0);
        const auto n = disk.ok() ? deviceNumber(disk.get()) : std::nullopt;
        if (n && n->number == number) return true;
    }
    return false;
}

// Disk `number`'s Plug and Play ids: its enumerator ("SD\"), its hardware ids, and the hardware
// and compatible ids of the device it hangs off (a reader's controller). SetupAPI and the
// configuration manager calls are all in XP.
std::vector<std::string> deviceIdsOf(uint32_t number) {
    std::vector<std::string> ids;
    const HDEVINFO set = SetupDiGetClassDevsW(&kDiskInterface, nullptr, nullptr,
                                              DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return ids;
    SP_DEVINFO_DATA device{};
    if (findDisk(set, number, device)) {
        for (DWORD what : {DWORD{SPDRP_ENUMERATOR_NAME}, DWORD{SPDRP_HARDWAREID}}) {
            IdText t;
            if (SetupDiGetDeviceRegistryPropertyW(set, &device, what, nullptr,
                                                  reinterpret_cast<BYTE*>(t.text.data()), t.bytes(),
                                                  nullptr))
                t.addTo(ids, what == SPDRP_ENUMERATOR_NAME ? L"\\" : L"");
        }
        DEVINST parent = 0;
        for (ULONG what : {ULONG{CM_DRP_HARDWAREID}, ULONG{CM_DRP_COMPATIBLEIDS}}) {
            IdText t;
            ULONG bytes = t.bytes();
            if (CM_Get_Parent(&parent, device.DevInst, 0) == CR_SUCCESS &&
                CM_Get_DevNode_Registry_PropertyW(parent, what, nullptr, t.text.data(), &bytes,
                                                  0) == CR_SUCCESS)
                t.addTo(ids);
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    return ids;
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
    facts.hotplugRemovable =
        decoded(ask(disk, IOCTL_STORAGE_GET_HOTPLUG_INFO, sizeof(STORAGE_HOTPLUG_INFO)),
                windisk::decodeHotplugMediaRemovable);
    const auto adapter = property(disk, StorageAdapterProperty, 256);
    facts.adapterBus = decoded(adapter, windisk::decodeAdapterBus);
    facts.maxTransfer = decoded(adapter, windisk::decodeAdapterMaxTransfer);
    facts.trim = decoded(property(disk, StorageDeviceTrimProperty, sizeof(DEVICE_TRIM_DESCRIPTOR)),
                         windisk::decodeTrimEnabled);
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
    if (!v.extents && GetLastError() == ERROR_MORE_DATA) v.extents.emplace(); // too many to list
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
    if (!disk.ok()) return;
    sdhost::askDisk(disk.get(), facts);
    facts.deviceIds = deviceIdsOf(number);
}

} // namespace brc::sdhost
