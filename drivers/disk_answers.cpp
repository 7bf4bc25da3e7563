#include "drivers/disk_answers.h"

#include <algorithm>

#include "device/sdhost_abi.h"
#include "platform/card_limits.h"

namespace brc::windisk {
namespace {

uint32_t u32(const uint8_t* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
uint64_t u64(const uint8_t* p) { return u32(p) | uint64_t{u32(p + 4)} << 32; }

// A string the descriptor points at: zero-terminated inside the answer, blanks trimmed. Offset 0
// means there is none; one pointing outside the answer is ignored.
std::string descriptorString(const uint8_t* data, size_t length, uint32_t offset) {
    if (offset == 0 || offset >= length) return {};
    std::string text;
    for (size_t i = offset; i < length && data[i] != 0; ++i)
        text += data[i] >= 0x20 && data[i] < 0x7F ? static_cast<char>(data[i]) : '?';
    const size_t begin = text.find_first_not_of(' ');
    if (begin == std::string::npos) return {};
    return text.substr(begin, text.find_last_not_of(' ') - begin + 1);
}

bool sameDisk(const DiskFacts& f) {
    return std::find(f.systemDisks->begin(), f.systemDisks->end(), f.number->number) !=
           f.systemDisks->end();
}

} // namespace

const char* busName(uint32_t bus) {
    switch (bus) {
    case BusScsi: return "SCSI";
    case BusAtapi: return "ATAPI";
    case BusAta: return "ATA";
    case Bus1394: return "FireWire";
    case BusSsa: return "SSA";
    case BusFibre: return "Fibre Channel";
    case BusUsb: return "USB";
    case BusRaid: return "RAID";
    case BusIscsi: return "iSCSI";
    case BusSas: return "SAS";
    case BusSata: return "SATA";
    case BusSd: return "SD";
    case BusMmc: return "MMC";
    case BusVirtual: return "virtual";
    case BusFileBackedVirtual: return "file-backed virtual";
    case BusSpaces: return "Storage Spaces";
    case BusNvme: return "NVMe";
    default: return "unknown";
    }
}

std::optional<StorageDescriptor> decodeStorageDescriptor(const uint8_t* data, size_t length) {
    // Version, Size, DeviceType, DeviceTypeModifier, RemovableMedia, CommandQueueing, the four
    // string offsets, then BusType at 28.
    if (!data || length < 32) return std::nullopt;
    const size_t size = std::min<size_t>(length, u32(data + 4));
    if (size < 32) return std::nullopt;
    StorageDescriptor d;
    d.removable = data[10] != 0;
    d.vendor = descriptorString(data, size, u32(data + 12));
    d.product = descriptorString(data, size, u32(data + 16));
    d.busType = u32(data + 28);
    return d;
}

std::optional<DeviceNumber> decodeDeviceNumber(const uint8_t* data, size_t length) {
    if (!data || length < 12) return std::nullopt;
    return DeviceNumber{u32(data), u32(data + 4), u32(data + 8)};
}

std::string physicalDrivePath(const DeviceNumber& n) {
    if (n.deviceType != kFileDeviceDisk) return {};
    return "\\\\.\\PhysicalDrive" + std::to_string(n.number);
}

std::optional<std::vector<uint32_t>> decodeDiskExtents(const uint8_t* data, size_t length) {
    // NumberOfDiskExtents, 4 bytes of padding, then DISK_EXTENT entries of 24 bytes: DiskNumber,
    // padding, StartingOffset, ExtentLength.
    if (!data || length < 8) return std::nullopt;
    const uint32_t count = u32(data);
    if (count == 0 || count > (length - 8) / 24) return std::nullopt;
    std::vector<uint32_t> disks;
    for (uint32_t i = 0; i < count; ++i) disks.push_back(u32(data + 8 + 24 * size_t{i}));
    return disks;
}

std::optional<Geometry> decodeGeometry(const uint8_t* data, size_t length) {
    // Cylinders, MediaType, TracksPerCylinder, SectorsPerTrack, BytesPerSector; the _EX form
    // goes on with DiskSize at 24.
    if (!data || length < 24) return std::nullopt;
    Geometry g;
    g.cylinders = u64(data);
    g.mediaType = u32(data + 8);
    g.tracksPerCylinder = u32(data + 12);
    g.sectorsPerTrack = u32(data + 16);
    g.bytesPerSector = u32(data + 20);
    if (length >= 32) g.diskSize = u64(data + 24);
    return g;
}

std::optional<uint64_t> decodeLength(const uint8_t* data, size_t length) {
    if (!data || length < 8) return std::nullopt;
    return u64(data);
}

Writability decodeIsWritable(bool succeeded, uint32_t lastError) {
    if (succeeded) return Writability::Writable;
    return lastError == kErrorWriteProtect ? Writability::Protected : Writability::Unknown;
}

int driveIndexOfPath(const std::string& path) {
    std::string p = path;
    if (p.rfind("\\\\?\\", 0) == 0 || p.rfind("\\\\.\\", 0) == 0) p = p.substr(4);
    if (p.size() < 2 || p[1] != ':') return -1;
    const char c = p[0];
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a';
    return -1;
}

uint64_t diskBytes(const DiskFacts& f) {
    if (f.length) return *f.length;
    if (!f.geometry) return 0;
    const Geometry& g = *f.geometry;
    if (g.diskSize) return *g.diskSize;
    // Only whether it passes 2 TiB matters beyond 64 bits: an overflow saturates.
    uint64_t bytes = g.cylinders;
    for (uint64_t factor : {uint64_t{g.tracksPerCylinder}, uint64_t{g.sectorsPerTrack},
                            uint64_t{g.bytesPerSector}})
        if (__builtin_mul_overflow(bytes, factor, &bytes)) return UINT64_MAX;
    return bytes;
}

uint32_t userSectors(const DiskFacts& f) {
    const uint64_t sectors = diskBytes(f) / kSectorBytes;
    return sectors <= 0xFFFFFFFFu ? static_cast<uint32_t>(sectors) : 0;
}

Verdict judge(const DiskFacts& f) {
    const std::string& drive = f.drive;
    auto never = [](std::string message) { return Verdict{SDHOST_ERR_CONFIG, std::move(message)}; };
    if (!f.number)
        return never(drive + " is not on one disk the system can name (a network, substituted "
                             "or spanned drive); only memory cards are formatted");
    if (f.number->deviceType != kFileDeviceDisk)
        return never(drive + " is not a disk (device type " + std::to_string(f.number->deviceType) +
                     "); only memory cards are formatted");
    const std::string disk = "PhysicalDrive" + std::to_string(f.number->number);
    if (!f.systemDisks)
        return never("cannot tell which disk holds Windows, so " + drive + " (" + disk +
                     ") is not formatted");
    if (sameDisk(f))
        return never(drive + " is on " + disk + ", the disk that holds Windows, and is never formatted");
    if (!f.descriptor)
        return never(drive + " (" + disk + ") does not say which bus it is on; only memory cards "
                             "are formatted");
    const StorageDescriptor& d = *f.descriptor;
    const std::string bus = busName(d.busType);
    if (!d.removable)
        return never(drive + " (" + disk + ") is not removable (a fixed " + bus +
                     " disk); only memory cards are formatted");
    if (d.busType != BusSd && d.busType != BusMmc && d.busType != BusUsb)
        return never(drive + " (" + disk + ") is a removable " + bus +
                     " device, not an SD slot or a USB card reader");
    if (!f.geometry) return Verdict{SDHOST_ERR_NO_CARD, drive + " holds no medium: insert a card"};
    const uint64_t bytes = diskBytes(f);
    std::string why = capacityRefusal(drive, bytes, f.geometry->bytesPerSector);
    if (why.empty()) return {};
    return Verdict{bytes == 0 ? SDHOST_ERR_NO_CARD : SDHOST_ERR_CONFIG, std::move(why)};
}

uint32_t checkFlags(const DiskFacts& facts) {
    if (judge(facts).code != SDHOST_OK) return 0;
    return SDHOST_CHK_QUALIFIES |
           (facts.writable == Writability::Protected ? SDHOST_CHK_REFUSED : 0u);
}

} // namespace brc::windisk
