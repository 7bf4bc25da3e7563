// What Windows answers about the disk behind a drive letter, and what the driver libraries make
// of it. The structures the storage and disk controls fill in are read from their bytes
// (little-endian, at the offsets of winioctl.h), so the rules hold alike on every build and are
// tested on recorded answers without a disk or a Windows system.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace brc::windisk {

// STORAGE_BUS_TYPE values named in messages.
enum BusType : uint32_t {
    BusUnknown = 0,
    BusScsi = 1,
    BusAtapi = 2,
    BusAta = 3,
    Bus1394 = 4,
    BusSsa = 5,
    BusFibre = 6,
    BusUsb = 7,
    BusRaid = 8,
    BusIscsi = 9,
    BusSas = 10,
    BusSata = 11,
    BusSd = 12,
    BusMmc = 13,
    BusVirtual = 14,
    BusFileBackedVirtual = 15,
    BusSpaces = 16,
    BusNvme = 17,
};
const char* busName(uint32_t bus);

constexpr uint32_t kFileDeviceDisk = 7;     // FILE_DEVICE_DISK
constexpr uint32_t kMediaRemovable = 11;    // MEDIA_TYPE RemovableMedia
constexpr uint32_t kErrorWriteProtect = 19; // ERROR_WRITE_PROTECT

// STORAGE_DEVICE_DESCRIPTOR, from IOCTL_STORAGE_QUERY_PROPERTY (StorageDeviceProperty).
struct StorageDescriptor {
    uint32_t busType = BusUnknown;
    bool removable = false;
    std::string vendor, product; // trimmed; empty when the device gives none
    std::string serial;          // the device's serial number, where it gives one
};
std::optional<StorageDescriptor> decodeStorageDescriptor(const uint8_t* data, size_t length);

// STORAGE_DEVICE_NUMBER, from IOCTL_STORAGE_GET_DEVICE_NUMBER.
struct DeviceNumber {
    uint32_t deviceType = 0, number = 0, partition = 0;
};
std::optional<DeviceNumber> decodeDeviceNumber(const uint8_t* data, size_t length);
// \\.\PhysicalDriveN of a disk; empty for any other device (an optical drive).
std::string physicalDrivePath(const DeviceNumber& n);

// The extents of VOLUME_DISK_EXTENTS (IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS): where on which disk
// the volume lies; a spanned or mirrored volume lies on several.
struct Extent {
    uint32_t disk = 0;
    uint64_t offset = 0, length = 0; // in bytes
    bool operator==(const Extent&) const = default;
};
std::optional<std::vector<Extent>> decodeExtents(const uint8_t* data, size_t length);
// Their disk numbers alone.
std::optional<std::vector<uint32_t>> decodeDiskExtents(const uint8_t* data, size_t length);

// DISK_GEOMETRY (IOCTL_DISK_GET_DRIVE_GEOMETRY), or DISK_GEOMETRY_EX (..._EX) with its size.
struct Geometry {
    uint64_t cylinders = 0;
    uint32_t mediaType = 0, tracksPerCylinder = 0, sectorsPerTrack = 0, bytesPerSector = 0;
    std::optional<uint64_t> diskSize;
};
std::optional<Geometry> decodeGeometry(const uint8_t* data, size_t length);
// GET_LENGTH_INFORMATION (IOCTL_DISK_GET_LENGTH_INFO).
std::optional<uint64_t> decodeLength(const uint8_t* data, size_t length);
// STORAGE_HOTPLUG_INFO's MediaRemovable (IOCTL_STORAGE_GET_HOTPLUG_INFO).
std::optional<bool> decodeHotplugMediaRemovable(const uint8_t* data, size_t length);
// STORAGE_ADAPTER_DESCRIPTOR's BusType (StorageAdapterProperty): the bus of the controller the
// disk hangs off, which a reader's miniport may tell where the disk itself says SCSI.
std::optional<uint32_t> decodeAdapterBus(const uint8_t* data, size_t length);
// STORAGE_ADAPTER_DESCRIPTOR's MaximumTransferLength: the most bytes the controller takes in one
// request; nullopt when unknown (0, or a descriptor too short to hold it).
std::optional<uint32_t> decodeAdapterMaxTransfer(const uint8_t* data, size_t length);
// DEVICE_TRIM_DESCRIPTOR's TrimEnabled (StorageDeviceTrimProperty, Windows 7 on).
std::optional<bool> decodeTrimEnabled(const uint8_t* data, size_t length);

// Whether `text` begins with `prefix`, letters compared without case (ASCII: ids and paths).
bool startsWithNoCase(const std::string& text, const char* prefix);

// The card-reader driver one of a disk's device ids names (see DiskFacts::deviceIds), or null.
const char* knownReader(const std::vector<std::string>& ids);

// "E:" of drive index 4.
std::string driveName(unsigned index);

// Index (0 = A:) of the drive a path begins with ("C:\WINDOWS", "\\?\C:\WINDOWS"), or -1.
int driveIndexOfPath(const std::string& path);

// IOCTL_DISK_IS_WRITABLE answers with its result alone.
enum class Writability { Writable, Protected, Unknown };
Writability decodeIsWritable(bool succeeded, uint32_t lastError);

// The driver code of a read or write the system failed with `lastError`: the card gone (which
// includes a reader unplugged, a medium swapped or a reader that did not answer in time, and is
// not worth a retry), write-protected (the route's own code), held by a mounted volume, or a
// transfer error.
uint32_t transferFailure(uint32_t lastError, uint32_t writeProtectCode);

constexpr uint32_t kNoPartition = 0xFFFFFFFF; // PartitionNumber of a device without partitions

// What identifies the device under a handle: the letter's volume answers for its disk, and the
// disk opened as \\.\PhysicalDriveN must answer alike.
struct DeviceIdentity {
    std::optional<StorageDescriptor> descriptor;
    std::optional<Geometry> geometry;
};

// What a drive letter's volume says of where it lies.
struct VolumeAnswers {
    std::optional<std::string> dosDevice; // QueryDosDevice of "E:"
    std::optional<DeviceNumber> number;   // IOCTL_STORAGE_GET_DEVICE_NUMBER
    // IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS's disks; empty when there are more than it could list
    std::optional<std::vector<uint32_t>> extents;
    DeviceIdentity identity;
};

// The disk a volume lies on wholly, or why it cannot be told. A device number alone names no
// disk: virtual-disk and floppy drivers answer FILE_DEVICE_DISK with numbers of their own, which
// collide with the disks'. The volume must be a partition (HarddiskVolumeN since Vista,
// HarddiskN\... on XP, a partition number) and, where the system gives them, have one extent
// on that same disk.
struct Placement {
    std::optional<uint32_t> disk;
    std::string why; // when there is none: completes "E: ..."
};
Placement placeVolume(const VolumeAnswers& volume);

// Everything asked about one drive letter; what the system did not answer is empty.
struct DiskFacts {
    std::string drive;                     // "E:", for messages
    std::optional<DeviceNumber> number;    // of the drive's volume
    std::string unplaced;                  // placeVolume's why, when it named no disk
    std::optional<DeviceIdentity> asDrive; // what the drive's volume answered for its device
    std::optional<std::vector<uint32_t>> systemDisks; // the disks of the Windows directory's volume
    std::optional<StorageDescriptor> descriptor;
    std::optional<Geometry> geometry;
    std::optional<uint64_t> length;
    Writability writable = Writability::Unknown;
    std::optional<bool> hotplugRemovable; // IOCTL_STORAGE_GET_HOTPLUG_INFO's MediaRemovable
    std::optional<uint32_t> adapterBus;   // StorageAdapterProperty's BusType
    std::optional<uint32_t> maxTransfer;  // and its MaximumTransferLength, in bytes
    // Plug and Play ids: the disk's enumerator ("SD\"), its hardware ids, and the hardware and
    // compatible ids of the device it hangs off (the reader's controller)
    std::vector<std::string> deviceIds;
    std::optional<bool> trim; // the device takes a trim (StorageDeviceTrimProperty)
};

// The disk's size: its length, else the extended geometry's size, else the geometry's product.
uint64_t diskBytes(const DiskFacts& facts);
// The user area a card of that size reports: 0 (not supported) past 4294967295 sectors.
uint32_t userSectors(const DiskFacts& facts);

// Whether the disk may be served as a card. `code` is 0, SDHOST_ERR_NO_CARD (no medium) or
// SDHOST_ERR_CONFIG (never a card); `message` says why in one sentence without its full stop.
struct Verdict {
    uint32_t code = 0;
    std::string message;
};
Verdict judge(const DiskFacts& facts);

// A disk opened for its data, judged once more. The drive was vetted without access to the data;
// `answered` is what the opened handle says of itself (the fields askDisk on a handle fills:
// descriptor, geometry, length, protection, hotplug, adapter, trim). Those answers are laid over
// the vetted facts, which alone know where the drive lies, which disks hold Windows and the
// device ids, and the whole is judged by the same rules. What opened must also be the very disk
// vetted: between the two, the number can pass to another disk.
struct OpenedDisk {
    DiskFacts facts;
    Verdict verdict;
};
OpenedDisk judgeOpened(const DiskFacts& vetted, const DiskFacts& answered);

// The system as the driver library asks it; recorded answers stand in for it in tests.
class DiskSystem {
public:
    virtual ~DiskSystem() = default;
    virtual VolumeAnswers volume(unsigned index) = 0;
    virtual std::optional<unsigned> windowsDrive() = 0; // the drive of the Windows directory
    // What disk `number` (\\.\PhysicalDriveN, opened without access to its data) says of itself.
    virtual void askDisk(uint32_t number, DiskFacts& facts) = 0;
};

// Every answer about drive `index`; the disk is asked only once the volume is placed on it.
DiskFacts factsOf(DiskSystem& system, unsigned index);

// Whether an erase may go to the device as a trim: only where it says it takes one (XP and Vista
// answer nothing, and have no trim control either).
bool eraseSupported(const DiskFacts& facts);

// DDChkSDCard's flags: a card the tool may list, and whether it is write-protected.
uint32_t checkFlags(const DiskFacts& facts);

} // namespace brc::windisk
