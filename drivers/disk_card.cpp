#include "drivers/disk_card.h"

#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <vector>

#include "drivers/disk_answers.h"

namespace brc::vcard {
namespace {

using windisk::DiskFacts;

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

constexpr DWORD kMaxTransferBytes = SDHOST_MAX_TRANSFER * kSectorSize;  // 128 KiB
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE;

// A handle closed on every path.
class Handle {
public:
    explicit Handle(HANDLE h = INVALID_HANDLE_VALUE) : h_(h) {}
    ~Handle() { reset(); }
    Handle(Handle&& other) noexcept : h_(other.h_) { other.h_ = INVALID_HANDLE_VALUE; }
    Handle& operator=(Handle&& other) noexcept {
        if (this != &other) {
            reset();
            h_ = other.h_;
            other.h_ = INVALID_HANDLE_VALUE;
        }
        return *this;
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    void reset() {
        if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
        h_ = INVALID_HANDLE_VALUE;
    }
    bool ok() const { return h_ != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return h_; }

private:
    HANDLE h_;
};

std::wstring volumeName(unsigned index) {
    return std::wstring(L"\\\\.\\") + static_cast<wchar_t>(L'A' + index) + L":";
}

Handle openPath(const std::wstring& name, DWORD access, DWORD flags = 0) {
    return Handle(CreateFileW(name.c_str(), access, kShareAll, nullptr, OPEN_EXISTING, flags, nullptr));
}

// The answer of a control that takes nothing in (or `in`), as its bytes; nullopt when refused.
std::optional<std::vector<uint8_t>> ask(HANDLE h, DWORD code, DWORD capacity,
                                        const void* in = nullptr, DWORD inLength = 0) {
    // Whole 64-bit words keep the structures' 64-bit fields aligned.
    std::vector<uint64_t> words((capacity + 7) / 8);
    DWORD returned = 0;
    if (!DeviceIoControl(h, code, const_cast<void*>(in), inLength, words.data(), capacity,
                         &returned, nullptr))
        return std::nullopt;
    const auto* bytes = reinterpret_cast<const uint8_t*>(words.data());
    return std::vector<uint8_t>(bytes, bytes + returned);
}

template <class Decode> auto decoded(const std::optional<std::vector<uint8_t>>& answer, Decode decode)
    -> decltype(decode(nullptr, 0)) {
    if (!answer) return std::nullopt;
    return decode(answer->data(), answer->size());
}

bool control(HANDLE h, DWORD code) {
    DWORD returned = 0;
    return DeviceIoControl(h, code, nullptr, 0, nullptr, 0, &returned, nullptr) != 0;
}

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

// What the disk says of itself; `disk` may be a handle without access to the data, in which
// case the length comes from the extended geometry.
void askDisk(HANDLE disk, DiskFacts& facts) {
    windisk::DeviceIdentity id = identityOf(disk);
    facts.descriptor = std::move(id.descriptor);
    facts.geometry = std::move(id.geometry);
    facts.length = decoded(ask(disk, IOCTL_DISK_GET_LENGTH_INFO, sizeof(GET_LENGTH_INFORMATION)),
                           windisk::decodeLength);
    const bool writable = control(disk, IOCTL_DISK_IS_WRITABLE);
    facts.writable = windisk::decodeIsWritable(writable, writable ? 0 : GetLastError());
}

std::string ascii(const wchar_t* text) {
    std::string out;
    for (; *text; ++text) out += *text < 0x80 ? static_cast<char>(*text) : '?';
    return out;
}

std::wstring widened(const std::string& text) { return std::wstring(text.begin(), text.end()); }

// The system's disks, every handle opened without access to the data.
class WindowsDisks final : public windisk::DiskSystem {
public:
    uint32_t diskLetters() override {
        uint32_t letters = 0;
        const DWORD present = GetLogicalDrives();
        for (unsigned i = 0; i < 26; ++i) {
            const wchar_t root[] = {static_cast<wchar_t>(L'A' + i), L':', L'\\', 0};
            const UINT type = (present & (DWORD{1} << i)) ? GetDriveTypeW(root) : DRIVE_NO_ROOT_DIR;
            if (type == DRIVE_REMOVABLE || type == DRIVE_FIXED) letters |= uint32_t{1} << i;
        }
        return letters;
    }

    windisk::VolumeAnswers volume(unsigned index) override {
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

    std::optional<unsigned> windowsDrive() override {
        wchar_t directory[MAX_PATH + 1] = {};
        const UINT length = GetSystemWindowsDirectoryW(directory, MAX_PATH + 1);
        if (length == 0 || length > MAX_PATH) return std::nullopt;
        directory[std::min<UINT>(length, 8)] = 0;
        const int index = windisk::driveIndexOfPath(ascii(directory));
        if (index < 0) return std::nullopt;
        return static_cast<unsigned>(index);
    }

    void askDisk(uint32_t number, DiskFacts& facts) override {
        const Handle disk =
            openPath(widened(windisk::physicalDrivePath({windisk::kFileDeviceDisk, number, 0})), 0);
        if (disk.ok()) vcard::askDisk(disk.get(), facts);
    }
};

class DiskCard final : public Card {
public:
    DiskCard(Handle disk, uint32_t userSectors, bool readOnly, std::vector<unsigned> letters,
             const Host& host, void* buffer)
        : disk_(std::move(disk)), userSectors_(userSectors), readOnly_(readOnly),
          letters_(std::move(letters)), host_(host), buffer_(static_cast<uint8_t*>(buffer)) {}
    ~DiskCard() override {
        volumes_.clear();
        disk_.reset();
        VirtualFree(buffer_, 0, MEM_RELEASE);
    }
    DiskCard(const DiskCard&) = delete;
    DiskCard& operator=(const DiskCard&) = delete;

    uint32_t identify(CardGeometry& out) const override {
        out = geometryOf(userSectors_, 0);
        return SDHOST_OK;
    }

    // Windows exposes no protected area of an SD card.
    uint32_t secureIdentify(uint32_t& protectedSectors) const override {
        protectedSectors = 0;
        return SDHOST_OK;
    }

    uint32_t read(void* buffer, uint32_t count, uint32_t first) override {
        if (uint32_t rc = checkTransfer(buffer, count, first, userSectors_)) return rc;
        const DWORD length = count * static_cast<DWORD>(kSectorSize);
        if (uint32_t rc = withDeviceRetries(host_, [&] { return transfer(length, first, false); }))
            return rc;
        std::memcpy(buffer, buffer_, length);
        return SDHOST_OK;
    }

    uint32_t write(const void* buffer, uint32_t count, uint32_t first) override {
        if (uint32_t rc = checkTransfer(buffer, count, first, userSectors_)) return rc;
        if (readOnly_) return host_.writeProtectCode;
        if (uint32_t rc = takeVolumes()) return rc;
        const DWORD length = count * static_cast<DWORD>(kSectorSize);
        std::memcpy(buffer_, buffer, length);
        written_ = true;
        return withDeviceRetries(host_, [&] { return transfer(length, first, true); });
    }

    // A trim of the range, where the system (Windows 7 on) and the device take one; XP and
    // readers without it answer that the control is unknown, and the caller reports the erase as
    // not supported.
    uint32_t erase(uint32_t first, uint32_t last) override {
        if (last < first || last >= userSectors_) return SDHOST_ERR_RANGE;
        if (readOnly_) return host_.writeProtectCode;
        if (uint32_t rc = takeVolumes()) return rc;
        struct {
            DEVICE_MANAGE_DATA_SET_ATTRIBUTES attributes;
            DEVICE_DATA_SET_RANGE range;
        } request{};
        static_assert(offsetof(decltype(request), range) % 8 == 0);
        request.attributes.Size = sizeof request.attributes;
        request.attributes.Action = DeviceDsmAction_Trim;
        request.attributes.DataSetRangesOffset = offsetof(decltype(request), range);
        request.attributes.DataSetRangesLength = sizeof request.range;
        request.range.StartingOffset = static_cast<LONGLONG>(first * kSectorSize);
        request.range.LengthInBytes = (uint64_t{last} - first + 1) * kSectorSize;
        DWORD returned = 0;
        if (DeviceIoControl(disk_.get(), IOCTL_STORAGE_MANAGE_DATA_SET_ATTRIBUTES, &request,
                            sizeof request, nullptr, 0, &returned, nullptr))
            return SDHOST_OK;
        const DWORD err = GetLastError();
        if (err == ERROR_INVALID_FUNCTION || err == ERROR_NOT_SUPPORTED ||
            err == ERROR_INVALID_PARAMETER)
            return SDHOST_ERR_NO_ERASE;
        return failure(err);
    }

    // No system call reads a card's CID through a reader.
    uint32_t getMid(uint8_t[8]) const override { return SDHOST_ERR_NO_CARD; }

    // The report must never come before the data is on the card; then the system reads the new
    // partition table, and the volumes are let go so that it mounts the new file system.
    uint32_t finish() override {
        uint32_t rc = SDHOST_OK;
        if (!readOnly_ && !FlushFileBuffers(disk_.get())) rc = failure(GetLastError());
        if (written_) control(disk_.get(), IOCTL_DISK_UPDATE_PROPERTIES);
        volumes_.clear();
        return rc;
    }

private:
    // The portable table spells the system's error numbers out; the headers hold them to it.
    static_assert(ERROR_NOT_READY == 21 && ERROR_NO_MEDIA_IN_DRIVE == 1112 &&
                  ERROR_MEDIA_CHANGED == 1110 && ERROR_DEVICE_NOT_CONNECTED == 1167 &&
                  ERROR_DEV_NOT_EXIST == 55 && ERROR_FILE_INVALID == 1006 &&
                  ERROR_DEVICE_REMOVED == 1617 &&
                  ERROR_WRITE_PROTECT == windisk::kErrorWriteProtect && ERROR_ACCESS_DENIED == 5 &&
                  ERROR_SHARING_VIOLATION == 32);
    uint32_t failure(DWORD err) const {
        return windisk::transferFailure(err, host_.writeProtectCode);
    }

    // Every volume of the disk locked, or dismounted where a lock is refused (files open on it),
    // held until the card is closed. A volume another handle holds locked (the program's own, on
    // XP) cannot be opened, and counts as taken.
    uint32_t takeVolumes() {
        if (taken_) return SDHOST_OK;
        std::vector<Handle> held;
        for (unsigned letter : letters_) {
            Handle volume = openPath(volumeName(letter), GENERIC_READ | GENERIC_WRITE);
            if (!volume.ok()) {
                const DWORD err = GetLastError();
                if (err == ERROR_ACCESS_DENIED || err == ERROR_SHARING_VIOLATION ||
                    err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND || err == ERROR_NOT_READY)
                    continue;
                return refuseWrite(letter, err);
            }
            if (control(volume.get(), FSCTL_LOCK_VOLUME)) {
                control(volume.get(), FSCTL_DISMOUNT_VOLUME);
            } else if (control(volume.get(), FSCTL_DISMOUNT_VOLUME)) {
                control(volume.get(), FSCTL_LOCK_VOLUME);
            } else {
                return refuseWrite(letter, GetLastError());
            }
            held.push_back(std::move(volume));
        }
        for (Handle& h : held) volumes_.push_back(std::move(h));
        taken_ = true;
        return SDHOST_OK;
    }

    uint32_t refuseWrite(unsigned letter, DWORD err) const {
        std::fprintf(stderr,
                     "%s: %s is in use and can be neither locked nor dismounted (error %lu); "
                     "close the programs using it\n",
                     host_.name, windisk::driveName(letter).c_str(),
                     static_cast<unsigned long>(err));
        return SDHOST_ERR_BUSY;
    }

    // One attempt at the whole transfer through the aligned buffer.
    uint32_t transfer(DWORD length, uint32_t first, bool writing) {
        const uint64_t offset = first * kSectorSize;
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD done = 0;
        const BOOL ok = writing ? WriteFile(disk_.get(), buffer_, length, &done, &at)
                                : ReadFile(disk_.get(), buffer_, length, &done, &at);
        if (!ok) return failure(GetLastError());
        return done == length ? SDHOST_OK : SDHOST_ERR_NO_CARD;  // short: the medium shrank
    }

    Handle disk_;
    uint32_t userSectors_;
    bool readOnly_;
    std::vector<unsigned> letters_;
    Host host_;
    uint8_t* buffer_;
    std::vector<Handle> volumes_;
    bool taken_ = false;
    bool written_ = false;
};

} // namespace

uint32_t openDiskCard(unsigned index, bool readOnly, const Host& host, std::unique_ptr<Card>& card,
                      std::string& error) {
    WindowsDisks system;
    const DiskFacts facts = windisk::factsOf(system, index);
    const windisk::Verdict verdict = windisk::judge(facts);
    if (verdict.code != SDHOST_OK) {
        if (verdict.code != SDHOST_ERR_NO_CARD) error = verdict.message;
        return verdict.code;
    }
    const std::string path = windisk::physicalDrivePath(*facts.number);
    constexpr DWORD kFlags = FILE_FLAG_NO_BUFFERING | FILE_FLAG_WRITE_THROUGH;
    // A write-protected card opens for writing all the same; its writes are refused later.
    Handle disk =
        openPath(widened(path), readOnly ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE, kFlags);
    if (!disk.ok()) {
        const DWORD err = GetLastError();
        const std::string what = facts.drive + ": cannot open " + path.substr(4) +
                                 (readOnly ? " for reading" : " for writing");
        if (err != ERROR_ACCESS_DENIED) {
            error = what + " (error " + std::to_string(err) + ")";
            return SDHOST_ERR_NO_CARD;
        }
        error = what + ": that takes administrator rights";
        return SDHOST_ERR_ACCESS;
    }
    // The disk numbers may have changed hands since the drive was asked (a reader unplugged and
    // another plugged in): judged again, what was opened must answer as the drive's device.
    DiskFacts opened = facts;
    askDisk(disk.get(), opened);
    const windisk::Verdict again = windisk::judge(opened);
    if (again.code != SDHOST_OK) {
        if (again.code != SDHOST_ERR_NO_CARD) error = again.message;
        return again.code;
    }
    void* buffer = VirtualAlloc(nullptr, kMaxTransferBytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (!buffer) return SDHOST_ERR_OUT_OF_MEMORY;
    const bool protectedDisk = opened.writable == windisk::Writability::Protected;
    card = std::make_unique<DiskCard>(
        std::move(disk), windisk::userSectors(opened), readOnly || protectedDisk,
        windisk::lettersOnDisk(system, facts.number->number), host, buffer);
    return SDHOST_OK;
}

uint32_t diskCardFlags(unsigned index, uint32_t& flags) {
    WindowsDisks system;
    flags = windisk::checkFlags(windisk::factsOf(system, index));
    return SDHOST_OK;
}

} // namespace brc::vcard
