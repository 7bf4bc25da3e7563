#include "drivers/windisk/disk_answers.h"

#include <algorithm>
#include <cctype>

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

// The decimal number at `at`, `end` set past its last digit; none where there is no digit.
std::optional<uint32_t> numberAt(const std::string& text, size_t at, size_t& end) {
    uint64_t value = 0;
    for (end = at; end < text.size() && text[end] >= '0' && text[end] <= '9'; ++end)
        if ((value = value * 10 + static_cast<unsigned>(text[end] - '0')) > 0xFFFFFFFFu)
            return std::nullopt;
    if (end == at) return std::nullopt;
    return static_cast<uint32_t>(value);
}

// \Device\HarddiskVolumeN (Vista on), or \Device\HarddiskN\... (XP) of disk `disk`.
bool isVolumeOfDisk(const std::string& name, uint32_t disk) {
    size_t end = 0;
    if (startsWithNoCase(name, "\\Device\\HarddiskVolume"))
        return numberAt(name, 22, end) && end == name.size();
    if (!startsWithNoCase(name, "\\Device\\Harddisk")) return false;
    const auto number = numberAt(name, 16, end);
    return number == disk && end + 1 < name.size() && name[end] == '\\';
}

std::string listed(const std::vector<uint32_t>& disks) {
    if (disks.empty()) return "too many to list";
    std::string text;
    for (uint32_t d : disks) text += (text.empty() ? "" : ", ") + std::to_string(d);
    return text;
}

// Size as the plain geometry gives it: the extended form holds the same fields first.
std::optional<uint64_t> geometryBytes(const std::optional<Geometry>& g) {
    if (!g) return std::nullopt;
    Geometry plain = *g;
    plain.diskSize.reset();
    DiskFacts f;
    f.geometry = plain;
    return diskBytes(f);
}

std::string described(const DeviceIdentity& id) {
    std::string text =
        id.descriptor ? id.descriptor->vendor + " " + id.descriptor->product : "no name";
    const auto bytes = geometryBytes(id.geometry);
    return text + ", " + (bytes ? std::to_string(*bytes) + " bytes" : "no size");
}

// Empty when disk `f` answers as the drive's volume did for its device; else why it does not.
std::string otherDevice(const DiskFacts& f, const std::string& disk) {
    const DeviceIdentity opened{f.descriptor, f.geometry};
    const DeviceIdentity& drive = *f.asDrive;
    const bool sameName =
        drive.descriptor.has_value() == opened.descriptor.has_value() &&
        (!drive.descriptor || (drive.descriptor->vendor == opened.descriptor->vendor &&
                               drive.descriptor->product == opened.descriptor->product));
    // A disk without a medium has no size to compare; it is refused as empty all the same.
    if (sameName &&
        (!opened.geometry || geometryBytes(drive.geometry) == geometryBytes(opened.geometry)))
        return {};
    return f.drive + " answers as " + described(drive) + ", but " + disk + " as " +
           described(opened) + ": the disk number leads elsewhere, and nothing is written";
}

// Vendor, product and size, for the user to tell a card from a stick or a disk of their own.
std::string named(const DiskFacts& f) {
    const StorageDescriptor* d = f.descriptor ? &*f.descriptor : nullptr;
    std::string name = d ? d->vendor + (d->vendor.empty() ? "" : " ") + d->product : "";
    if (name.empty()) name = "no name";
    const uint64_t bytes = diskBytes(f);
    return name + ", " + (bytes ? std::to_string(bytes) + " bytes" : "no medium");
}

// Empty where the device is a card's slot; else why it is not, after `who`. SD, MMC and USB
// buses are slots and readers as they stand. A reader's miniport calls its bus SCSI, ATA or
// nothing, and the in-box SD stack may not answer the storage property at all: those pass only
// with a removable medium, on a controller known as a card reader.
std::string notACard(const DiskFacts& f, const std::string& who) {
    const bool sdAdapter = f.adapterBus == BusSd || f.adapterBus == BusMmc;
    const bool reader = sdAdapter || knownReader(f.deviceIds);
    if (!f.descriptor) {
        const bool removable =
            f.hotplugRemovable == true || (f.geometry && f.geometry->mediaType == kMediaRemovable);
        if (reader && removable) return {};
        return who + " does not say which bus it is on" +
               (reader ? ", nor that its medium is removable" : " and is on no known card reader") +
               "; only memory cards are formatted";
    }
    const StorageDescriptor& d = *f.descriptor;
    const std::string bus = busName(d.busType);
    if (!d.removable)
        return who + " is not removable (a fixed " + bus +
               " disk); only memory cards are formatted";
    if (d.busType == BusSd || d.busType == BusMmc || d.busType == BusUsb) return {};
    const std::string device = who + " is a removable " + bus + " device";
    if (d.busType != BusScsi && d.busType != BusAta && d.busType != BusUnknown)
        return device + ", not an SD slot or a USB card reader";
    if (f.hotplugRemovable != true)
        return device + " whose medium the system does not call removable, not a card reader";
    if (!reader) return device + " on no known card reader; only memory cards are formatted";
    return {};
}

bool sameDisk(const DiskFacts& f) {
    return std::find(f.systemDisks->begin(), f.systemDisks->end(), f.number->number) !=
           f.systemDisks->end();
}

} // namespace

bool startsWithNoCase(const std::string& text, const char* prefix) {
    for (size_t at = 0; *prefix; ++prefix, ++at)
        if (at >= text.size() || std::tolower(static_cast<unsigned char>(text[at])) !=
                                     std::tolower(static_cast<unsigned char>(*prefix)))
            return false;
    return true;
}

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
    // string offsets (vendor, product, revision, serial), then BusType at 28.
    if (!data || length < 32) return std::nullopt;
    const size_t size = std::min<size_t>(length, u32(data + 4));
    if (size < 32) return std::nullopt;
    StorageDescriptor d;
    d.removable = data[10] != 0;
    d.vendor = descriptorString(data, size, u32(data + 12));
    d.product = descriptorString(data, size, u32(data + 16));
    d.serial = descriptorString(data, size, u32(data + 24));
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

std::optional<std::vector<Extent>> decodeExtents(const uint8_t* data, size_t length) {
    // NumberOfDiskExtents, 4 bytes of padding, then DISK_EXTENT entries of 24 bytes: DiskNumber,
    // padding, StartingOffset, ExtentLength.
    if (!data || length < 8) return std::nullopt;
    const uint32_t count = u32(data);
    if (count == 0 || count > (length - 8) / 24) return std::nullopt;
    std::vector<Extent> extents;
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* e = data + 8 + 24 * size_t{i};
        extents.push_back({u32(e), u64(e + 8), u64(e + 16)});
    }
    return extents;
}

std::optional<std::vector<uint32_t>> decodeDiskExtents(const uint8_t* data, size_t length) {
    const auto extents = decodeExtents(data, length);
    if (!extents) return std::nullopt;
    std::vector<uint32_t> disks;
    for (const Extent& e : *extents) disks.push_back(e.disk);
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

std::optional<bool> decodeHotplugMediaRemovable(const uint8_t* data, size_t length) {
    // Size, then MediaRemovable, MediaHotplug, DeviceHotplug, WriteCacheEnableOverride.
    if (!data || length < 5 || u32(data) < 5) return std::nullopt;
    return data[4] != 0;
}

std::optional<uint32_t> decodeAdapterBus(const uint8_t* data, size_t length) {
    // Version, Size, MaximumTransferLength, MaximumPhysicalPages, AlignmentMask, four flags,
    // then BusType, one byte, at 24.
    if (!data || length < 25 || u32(data + 4) < 25) return std::nullopt;
    return data[24];
}

std::optional<uint32_t> decodeAdapterMaxTransfer(const uint8_t* data, size_t length) {
    if (!data || length < 12 || u32(data + 4) < 12 || u32(data + 8) == 0) return std::nullopt;
    return u32(data + 8);
}

std::optional<bool> decodeTrimEnabled(const uint8_t* data, size_t length) {
    // Version, Size, TrimEnabled.
    if (!data || length < 9 || u32(data + 4) < 9) return std::nullopt;
    return data[8] != 0;
}

namespace {

// Device ids that only card readers have, matched at the start of any of a disk's ids. Each says
// where it is documented.
constexpr struct {
    const char* prefix;
    const char* source;
} kReaderIds[] = {
    // The in-box SD bus driver (sdbus.sys, Vista on) names every SD memory card it finds
    // SD\VID_..&OID_..&PID_.. with the compatible id SD\CLASS_STORAGE, served by sffdisk.sys:
    // Microsoft, "Identifiers for Secure Digital (SD) Devices".
    {"SD\\", "the system's SD bus driver"},
    // SD host controllers by PCI class 08 05 (the ids sdbus.sys itself installs on):
    // Microsoft, the "Secure Digital Bus Host Controller" in-box driver package.
    {"PCI\\CC_0805", "an SD host controller"},
    // Realtek PCI Express card readers: Linux rtsx_pci's device table, and pci.ids ("RTS5209 PCI
    // Express Card Reader", ...).
    {"PCI\\VEN_10EC&DEV_5209", "a Realtek card reader"},
    {"PCI\\VEN_10EC&DEV_5227", "a Realtek card reader"},
    {"PCI\\VEN_10EC&DEV_5228", "a Realtek card reader"},
    {"PCI\\VEN_10EC&DEV_5229", "a Realtek card reader"},
    {"PCI\\VEN_10EC&DEV_522A", "a Realtek card reader"},
    {"PCI\\VEN_10EC&DEV_5249", "a Realtek card reader"},
    {"PCI\\VEN_10EC&DEV_524A", "a Realtek card reader"},
    {"PCI\\VEN_10EC&DEV_525A", "a Realtek card reader"},
    {"PCI\\VEN_10EC&DEV_5260", "a Realtek card reader"},
    {"PCI\\VEN_10EC&DEV_5261", "a Realtek card reader"},
    {"PCI\\VEN_10EC&DEV_5286", "a Realtek card reader"},
    {"PCI\\VEN_10EC&DEV_5287", "a Realtek card reader"},
    {"PCI\\VEN_10EC&DEV_5289", "a Realtek card reader"},
    // Realtek USB 2.0 card readers RTS5129, RTS5139 and RTS5179/5170: Linux rtsx_usb.
    {"USB\\VID_0BDA&PID_0129", "a Realtek card reader"},
    {"USB\\VID_0BDA&PID_0139", "a Realtek card reader"},
    {"USB\\VID_0BDA&PID_0140", "a Realtek card reader"},
    // Alcor Micro PCI Express card readers AU6601 and AU6621: Linux alcor_pci.
    {"PCI\\VEN_1AEA&DEV_6601", "an Alcor Micro card reader"},
    {"PCI\\VEN_1AEA&DEV_6621", "an Alcor Micro card reader"},
    // SD hosts that their vendors' drivers serve as disks where the system's SD stack does not
    // (XP): Ricoh R5C822 and JMicron JMB38x (in the Microsoft package above by device id), and
    // O2Micro's 8120, 8220 and 8320 (Linux sdhci-pci).
    {"PCI\\VEN_1180&DEV_0822", "a Ricoh card reader"},
    {"PCI\\VEN_197B&DEV_2381", "a JMicron card reader"},
    {"PCI\\VEN_1217&DEV_8120", "an O2Micro card reader"},
    {"PCI\\VEN_1217&DEV_8220", "an O2Micro card reader"},
    {"PCI\\VEN_1217&DEV_8320", "an O2Micro card reader"},
};

} // namespace

const char* knownReader(const std::vector<std::string>& ids) {
    for (const std::string& id : ids)
        for (const auto& entry : kReaderIds)
            if (startsWithNoCase(id, entry.prefix)) return entry.source;
    return nullptr;
}

bool eraseSupported(const DiskFacts& facts) { return facts.trim == true; }

Writability decodeIsWritable(bool succeeded, uint32_t lastError) {
    if (succeeded) return Writability::Writable;
    return lastError == kErrorWriteProtect ? Writability::Protected : Writability::Unknown;
}

uint32_t transferFailure(uint32_t lastError, uint32_t writeProtectCode) {
    switch (lastError) {
    case 21:   // ERROR_NOT_READY
    case 1112: // ERROR_NO_MEDIA_IN_DRIVE
    case 1110: // ERROR_MEDIA_CHANGED
    case 1167: // ERROR_DEVICE_NOT_CONNECTED
    case 55:   // ERROR_DEV_NOT_EXIST
    case 1006: // ERROR_FILE_INVALID: the volume under the handle went away
    case 433:  // ERROR_NO_SUCH_DEVICE
    case 1617: // ERROR_DEVICE_REMOVED
    case 1460: // ERROR_TIMEOUT: the reader did not answer in time, and was not asked again
        return SDHOST_ERR_NO_CARD;
    case kErrorWriteProtect: return writeProtectCode;
    case 5:  // ERROR_ACCESS_DENIED: a mounted volume's sectors (Vista on)
    case 32: // ERROR_SHARING_VIOLATION
        return SDHOST_ERR_BUSY;
    default: return SDHOST_ERR_IO;
    }
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
    for (uint64_t factor :
         {uint64_t{g.tracksPerCylinder}, uint64_t{g.sectorsPerTrack}, uint64_t{g.bytesPerSector}})
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
        return never(drive +
                     " is not on one disk the system can name (a network, substituted "
                     "or spanned drive); only memory cards are formatted");
    if (f.number->deviceType != kFileDeviceDisk)
        return never(drive + " is not a disk (device type " + std::to_string(f.number->deviceType) +
                     "); only memory cards are formatted");
    const std::string disk = "PhysicalDrive" + std::to_string(f.number->number);
    if (!f.systemDisks)
        return never("cannot tell which disk holds Windows, so " + drive + " (" + disk +
                     ") is not formatted");
    if (sameDisk(f))
        return never(drive + " is on " + disk +
                     ", the disk that holds Windows, and is never formatted");
    if (!f.unplaced.empty())
        return never(drive + " " + f.unplaced + "; only memory cards are formatted");
    if (!f.asDrive)
        return never("cannot tell which device " + drive + " is on, so it is not formatted");
    if (std::string why = otherDevice(f, disk); !why.empty()) return never(std::move(why));
    if (std::string why = notACard(f, drive + " (" + disk + ": " + named(f) + ")"); !why.empty())
        return never(std::move(why));
    if (!f.geometry) return Verdict{SDHOST_ERR_NO_CARD, drive + " holds no medium: insert a card"};
    const uint64_t bytes = diskBytes(f);
    std::string why = capacityRefusal(drive, bytes, f.geometry->bytesPerSector);
    if (why.empty()) return {};
    return Verdict{bytes == 0 ? SDHOST_ERR_NO_CARD : SDHOST_ERR_CONFIG, std::move(why)};
}

OpenedDisk judgeOpened(const DiskFacts& vetted, const DiskFacts& answered) {
    OpenedDisk o{vetted, {}};
    DiskFacts& f = o.facts;
    f.descriptor = answered.descriptor;
    f.geometry = answered.geometry;
    f.length = answered.length;
    f.writable = answered.writable;
    f.hotplugRemovable = answered.hotplugRemovable;
    f.adapterBus = answered.adapterBus;
    f.maxTransfer = answered.maxTransfer;
    f.trim = answered.trim;
    o.verdict = judge(f);
    if (o.verdict.code != SDHOST_OK || !vetted.number) return o;
    const auto name = [](const DiskFacts& d) {
        return d.descriptor
                   ? d.descriptor->vendor + "|" + d.descriptor->product + "|" + d.descriptor->serial
                   : std::string();
    };
    if (name(f) != name(vetted) || diskBytes(f) != diskBytes(vetted))
        o.verdict = {SDHOST_ERR_NO_CARD,
                     "PhysicalDrive" + std::to_string(vetted.number->number) + " opened as " +
                         named(f) + ", not as the " + named(vetted) + " that " + f.drive +
                         " led to: another disk took its number, and nothing is written"};
    return o;
}

Placement placeVolume(const VolumeAnswers& v) {
    if (!v.number) return {std::nullopt, "names no disk"};
    const DeviceNumber& n = *v.number;
    const std::string number = std::to_string(n.number);
    if (n.deviceType != kFileDeviceDisk) return {std::nullopt, "is not a disk"};
    if (n.partition == kNoPartition)
        return {std::nullopt, "is a device of disk number " + number +
                                  " without partitions (a virtual disk), not a volume of a disk"};
    if (!v.dosDevice) return {std::nullopt, "has no device name the system can give"};
    if (!isVolumeOfDisk(*v.dosDevice, n.number))
        return {std::nullopt, "is " + *v.dosDevice + ", not a volume of disk " + number};
    if (v.extents && (v.extents->size() != 1 || v.extents->front() != n.number))
        return {std::nullopt,
                "lies on disks " + listed(*v.extents) + ", not on disk " + number + " alone"};
    return {n.number, {}};
}

namespace {

std::optional<std::vector<uint32_t>> systemDisksOf(DiskSystem& system) {
    const auto drive = system.windowsDrive();
    if (!drive) return std::nullopt;
    VolumeAnswers volume = system.volume(*drive);
    if (volume.extents) return volume.extents;
    if (!volume.number || volume.number->deviceType != kFileDeviceDisk) return std::nullopt;
    return std::vector<uint32_t>{volume.number->number};
}

} // namespace

std::string driveName(unsigned index) {
    return std::string(1, static_cast<char>('A' + index)) + ":";
}

DiskFacts factsOf(DiskSystem& system, unsigned index) {
    DiskFacts facts;
    facts.drive = driveName(index);
    const VolumeAnswers volume = system.volume(index);
    facts.number = volume.number;
    facts.asDrive = volume.identity;
    facts.systemDisks = systemDisksOf(system);
    const Placement placed = placeVolume(volume);
    if (placed.disk) system.askDisk(*placed.disk, facts);
    else facts.unplaced = placed.why;
    return facts;
}

uint32_t checkFlags(const DiskFacts& facts) {
    if (judge(facts).code != SDHOST_OK) return 0;
    return SDHOST_CHK_QUALIFIES |
           (facts.writable == Writability::Protected ? SDHOST_CHK_REFUSED : 0u);
}

} // namespace brc::windisk
