// Asks the system, call by call, what the disk backend of the driver libraries asks about a
// drive letter, and prints which calls were answered; then, with a library given, drives the
// card through that library's operations.
//
//     disk_probe.exe E: [quillhost.dll [--write]]
//     disk_probe.exe E: --trim
//
// Each line is "<call>: answered ..." or "<call>: refused, error N". With --write, sectors 2048
// to 2055 are written with a pattern, read back and compared, and the range is erased. Exits 0
// when every driver operation asked for gave the answer a card gives, 1 otherwise, 2 on bad usage.
// --trim sends the drive's disk the trim of sectors 2048 to 2055 that DDErase sends a card, past
// every check of the library: for a disk made for the test only. It exits 0 when the trim was
// sent (whatever the answer), 1 when the disk could not be opened for it.
#include <windows.h>
#include <winioctl.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "device/sdhost_abi.h"
#include "drivers/windisk/disk_answers.h"
#include "drivers/windows/windows_volumes.h"

namespace {

using namespace brc::windisk;

void line(const char* call, bool ok, const std::string& what) {
    if (ok) std::printf("%s: answered%s%s\n", call, what.empty() ? "" : ": ", what.c_str());
    else std::printf("%s: refused, error %lu\n", call, static_cast<unsigned long>(GetLastError()));
}

std::vector<uint8_t> ask(HANDLE h, DWORD code, const char* call, const void* in = nullptr,
                         DWORD inLength = 0) {
    std::vector<uint64_t> words(512);
    DWORD returned = 0;
    if (!DeviceIoControl(h, code, const_cast<void*>(in), inLength, words.data(), 4096, &returned,
                         nullptr)) {
        line(call, false, "");
        return {};
    }
    const auto* bytes = reinterpret_cast<const uint8_t*>(words.data());
    return std::vector<uint8_t>(bytes, bytes + returned);
}

HANDLE open(const std::string& name, DWORD access, const char* call) {
    HANDLE h = CreateFileA(name.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    line(call, h != INVALID_HANDLE_VALUE, name);
    return h;
}

void askDisk(const std::string& name, const char* what);

void probeIoctls(const std::string& drive) {
    char root[] = "E:\\";
    root[0] = drive[0];
    const UINT type = GetDriveTypeA(root);
    std::printf("GetDriveType: %u%s\n", type, type == DRIVE_REMOVABLE ? " (removable)" : "");
    char target[512] = {};
    if (QueryDosDeviceA(drive.c_str(), target, sizeof target)) std::printf("QueryDosDevice: %s\n", target);

    std::printf("-- volume \\\\.\\%s, no data access\n", drive.c_str());
    HANDLE volume = open("\\\\.\\" + drive, 0, "CreateFile");
    if (volume == INVALID_HANDLE_VALUE) return;
    const auto number = ask(volume, IOCTL_STORAGE_GET_DEVICE_NUMBER, "IOCTL_STORAGE_GET_DEVICE_NUMBER");
    const auto n = decodeDeviceNumber(number.data(), number.size());
    if (n) line("IOCTL_STORAGE_GET_DEVICE_NUMBER", true,
                "type " + std::to_string(n->deviceType) + ", disk " + std::to_string(n->number) +
                    ", partition " + std::to_string(n->partition));
    const auto extents = ask(volume, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, "IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS");
    if (auto e = decodeDiskExtents(extents.data(), extents.size()))
        line("IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS", true, std::to_string(e->size()) + " extent(s)");
    CloseHandle(volume);

    char windows[MAX_PATH] = {};
    GetSystemWindowsDirectoryA(windows, MAX_PATH);
    std::printf("GetSystemWindowsDirectory: %s\n", windows);

    // The disk through its number, as the driver libraries ask it, then the volume itself.
    if (n) askDisk(physicalDrivePath(*n), "disk");
    askDisk("\\\\.\\" + drive, "volume");
}

void askDisk(const std::string& name, const char* what) {
    std::printf("-- %s %s\n", what, name.c_str());
    HANDLE h = open(name, GENERIC_READ, "CreateFile");
    if (h == INVALID_HANDLE_VALUE) return;
    STORAGE_PROPERTY_QUERY query{};
    query.PropertyId = StorageDeviceProperty;
    query.QueryType = PropertyStandardQuery;
    const auto d = ask(h, IOCTL_STORAGE_QUERY_PROPERTY, "IOCTL_STORAGE_QUERY_PROPERTY", &query, sizeof query);
    if (auto s = decodeStorageDescriptor(d.data(), d.size()))
        line("IOCTL_STORAGE_QUERY_PROPERTY", true,
             std::string("bus ") + busName(s->busType) + (s->removable ? ", removable" : ", fixed") +
                 ", '" + s->vendor + "' '" + s->product + "'");
    for (DWORD code : {IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, IOCTL_DISK_GET_DRIVE_GEOMETRY}) {
        const char* call = code == IOCTL_DISK_GET_DRIVE_GEOMETRY ? "IOCTL_DISK_GET_DRIVE_GEOMETRY"
                                                                 : "IOCTL_DISK_GET_DRIVE_GEOMETRY_EX";
        const auto g = ask(h, code, call);
        if (auto geometry = decodeGeometry(g.data(), g.size()))
            line(call, true, std::to_string(geometry->bytesPerSector) + "-byte sectors, media type " +
                                 std::to_string(geometry->mediaType) +
                                 (geometry->diskSize ? ", " + std::to_string(*geometry->diskSize) + " bytes" : ""));
    }
    const auto length = ask(h, IOCTL_DISK_GET_LENGTH_INFO, "IOCTL_DISK_GET_LENGTH_INFO");
    if (auto bytes = decodeLength(length.data(), length.size()))
        line("IOCTL_DISK_GET_LENGTH_INFO", true, std::to_string(*bytes) + " bytes");
    const auto hotplug = ask(h, IOCTL_STORAGE_GET_HOTPLUG_INFO, "IOCTL_STORAGE_GET_HOTPLUG_INFO");
    if (auto removable = decodeHotplugMediaRemovable(hotplug.data(), hotplug.size()))
        line("IOCTL_STORAGE_GET_HOTPLUG_INFO", true,
             *removable ? "removable medium" : "fixed medium");
    query.PropertyId = StorageAdapterProperty;
    const auto a =
        ask(h, IOCTL_STORAGE_QUERY_PROPERTY, "StorageAdapterProperty", &query, sizeof query);
    if (auto bus = decodeAdapterBus(a.data(), a.size()))
        line("StorageAdapterProperty", true, std::string("bus ") + busName(*bus));
    query.PropertyId = StorageDeviceTrimProperty;
    const auto t =
        ask(h, IOCTL_STORAGE_QUERY_PROPERTY, "StorageDeviceTrimProperty", &query, sizeof query);
    if (auto trim = decodeTrimEnabled(t.data(), t.size()))
        line("StorageDeviceTrimProperty", true, *trim ? "trim" : "no trim");
    DWORD returned = 0;
    const BOOL writable = DeviceIoControl(h, IOCTL_DISK_IS_WRITABLE, nullptr, 0, nullptr, 0, &returned, nullptr);
    line("IOCTL_DISK_IS_WRITABLE", writable != 0, writable ? "writable" : "");
    const auto number = ask(h, IOCTL_STORAGE_GET_DEVICE_NUMBER, "IOCTL_STORAGE_GET_DEVICE_NUMBER");
    if (auto n = decodeDeviceNumber(number.data(), number.size()))
        line("IOCTL_STORAGE_GET_DEVICE_NUMBER", true,
             "type " + std::to_string(n->deviceType) + ", disk " + std::to_string(n->number) +
                 ", partition " + std::to_string(n->partition));
    CloseHandle(h);
}

template <class F> F proc(HMODULE library, const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void (*)()>(GetProcAddress(library, name)));
}

int driveLibrary(const std::string& drive, const std::string& path, bool write) {
    HMODULE library = LoadLibraryA(path.c_str());
    if (!library) {
        std::printf("LoadLibrary %s: error %lu\n", path.c_str(), static_cast<unsigned long>(GetLastError()));
        return 1;
    }
    const auto sysInit = proc<DDSysInit_t>(library, "DDSysInit");
    const auto sysFini = proc<DDSysFini_t>(library, "DDSysFini");
    const auto init = proc<DDInit_t>(library, "DDInit");
    const auto fini = proc<DDFini_t>(library, "DDFini");
    const auto identify = proc<DDIdentify_t>(library, "DDIdentify");
    const auto readPt = proc<DDReadPT_t>(library, "DDReadPT");
    const auto writePt = proc<DDWritePT_t>(library, "DDWritePT");
    const auto check = proc<DDChkSDCard_t>(library, "DDChkSDCard");
    const auto erase = proc<DDErase_t>(library, "DDErase");
    const auto getMid = proc<DDGetMID_t>(library, "DDGetMID");
    if (!sysInit || !sysFini || !init || !fini || !identify || !readPt || !writePt || !check ||
        !erase || !getMid) {
        std::printf("%s lacks a route-1 operation\n", path.c_str());
        FreeLibrary(library);
        return 1;
    }
    const uint32_t number = static_cast<uint32_t>(drive[0] & ~0x20) - 'A' + 1;
    bool ok = sysInit() == 0;
    uint32_t flags = 0;
    const uint32_t chk = check(number, &flags);
    std::printf("DDChkSDCard: 0x%X, flags 0x%X\n", chk, flags);
    ok = ok && chk == 0 && (flags & SDHOST_CHK_QUALIFIES);
    uint32_t handle = 0;
    const uint32_t opened = init(&handle, number);
    std::printf("DDInit: 0x%X\n", opened);
    if (opened == 0) {
        uint32_t user = 0, cyl = 0, total = 0, heads = 0, spt = 0, prot = 0, eb = 0, reserved = 0;
        uint16_t bps = 0;
        uint8_t cardType = 0, width = 0;
        const uint32_t id = identify(&user, &cyl, &total, &heads, &bps, &spt, &cardType, &prot,
                                     &width, &eb, &reserved, handle);
        std::printf("DDIdentify: 0x%X, %u sectors of %u bytes\n", id, user, bps);
        uint8_t mid[8] = {};
        std::printf("DDGetMID: 0x%X\n", getMid(mid, 0, handle));
        std::vector<uint8_t> sector(8 * 512);
        const uint32_t r0 = readPt(sector.data(), 1, 0, handle);
        std::printf("DDReadPT sector 0: 0x%X\n", r0);
        ok = ok && id == 0 && user > 0 && r0 == 0;
        if (write && ok) {
            for (size_t i = 0; i < sector.size(); ++i) sector[i] = static_cast<uint8_t>(i * 7 + 1);
            const uint32_t w = writePt(sector.data(), 8, 2048, handle);
            std::vector<uint8_t> back(sector.size());
            const uint32_t r = readPt(back.data(), 8, 2048, handle);
            const bool same = back == sector;
            std::printf("DDWritePT sectors 2048-2055: 0x%X; read back 0x%X, %s\n", w, r,
                        same ? "the same" : "DIFFERENT");
            const uint32_t e = erase(2048, 2055, handle);
            std::printf("DDErase sectors 2048-2055: 0x%X%s\n", e,
                        e == SDHOST_ERR_NO_ERASE ? " (erase not supported)" : "");
            ok = w == 0 && r == 0 && same && (e == 0 || e == SDHOST_ERR_NO_ERASE);
        }
        const uint32_t done = fini(handle);
        std::printf("DDFini: 0x%X\n", done);
        ok = ok && done == 0;
    }
    ok = ok && opened == 0;
    sysFini();
    FreeLibrary(library);
    return ok ? 0 : 1;
}

// The trim DDErase sends for sectors 2048 to 2055, on the disk the drive's volume names.
int trimDisk(const std::string& drive) {
    HANDLE volume = open("\\\\.\\" + drive, 0, "CreateFile");
    if (volume == INVALID_HANDLE_VALUE) return 1;
    const auto number =
        ask(volume, IOCTL_STORAGE_GET_DEVICE_NUMBER, "IOCTL_STORAGE_GET_DEVICE_NUMBER");
    CloseHandle(volume);
    const auto n = decodeDeviceNumber(number.data(), number.size());
    if (!n) return 1;
    HANDLE disk = open(physicalDrivePath(*n), GENERIC_READ | GENERIC_WRITE, "CreateFile");
    if (disk == INVALID_HANDLE_VALUE) return 1;
    struct {
        DEVICE_MANAGE_DATA_SET_ATTRIBUTES attributes;
        DEVICE_DATA_SET_RANGE range;
    } request{};
    request.attributes.Size = sizeof request.attributes;
    request.attributes.Action = DeviceDsmAction_Trim;
    request.attributes.DataSetRangesOffset = offsetof(decltype(request), range);
    request.attributes.DataSetRangesLength = sizeof request.range;
    request.range.StartingOffset = 2048 * 512;
    request.range.LengthInBytes = 8 * 512;
    DWORD returned = 0;
    const BOOL trimmed = DeviceIoControl(disk, IOCTL_STORAGE_MANAGE_DATA_SET_ATTRIBUTES, &request,
                                         sizeof request, nullptr, 0, &returned, nullptr);
    line("IOCTL_STORAGE_MANAGE_DATA_SET_ATTRIBUTES", trimmed != 0, "trim of sectors 2048-2055");
    CloseHandle(disk);
    return 0;
}

} // namespace

namespace {

// Every volume as the library lists it before a write, with its disks and mount points.
void probeVolumes() {
    brc::sdhost::WindowsVolumes system;
    for (const std::string& name : system.volumeNames()) {
        std::string disks = "not told";
        if (const auto extents = system.extents(name)) {
            disks.clear();
            for (const brc::windisk::Extent& e : *extents) {
                if (!disks.empty()) disks += ',';
                disks += std::to_string(e.disk) + "@" + std::to_string(e.offset);
            }
        }
        std::string points;
        for (const std::string& point : system.mountPoints(name)) points += " " + point;
        std::printf("volume %s: disks %s; mounted at%s\n", name.c_str(), disks.c_str(),
                    points.empty() ? " nothing" : points.c_str());
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2 || std::strlen(argv[1]) != 2 || argv[1][1] != ':') {
        std::fprintf(stderr, "usage: disk_probe.exe E: [quillhost.dll [--write] | --trim]\n");
        return 2;
    }
    const std::string drive = argv[1];
    if (argc == 3 && std::strcmp(argv[2], "--trim") == 0) return trimDisk(drive);
    probeIoctls(drive);
    probeVolumes();
    if (argc < 3) return 0;
    return driveLibrary(drive, argv[2], argc > 3 && std::strcmp(argv[3], "--write") == 0);
}
