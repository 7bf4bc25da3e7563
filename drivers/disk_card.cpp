#include "drivers/disk_card.h"

#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <vector>

#include "drivers/disk_answers.h"
#include "drivers/win_io.h"
#include "drivers/windows_disks.h"

namespace brc::vcard {
namespace {

using windisk::DiskFacts;

constexpr DWORD kMaxTransferBytes = SDHOST_MAX_TRANSFER * kSectorSize;  // 128 KiB
constexpr char kNoAnswer[] = "the card reader does not answer; unplug it and plug it in again";

class DiskCard final : public Card {
public:
    DiskCard(Handle disk, uint32_t userSectors, bool readOnly, std::vector<unsigned> letters,
             const Host& host, void* buffer)
        : disk_(std::move(disk)), userSectors_(userSectors), readOnly_(readOnly),
          letters_(std::move(letters)), host_(host), buffer_(static_cast<uint8_t*>(buffer)) {}
    ~DiskCard() override {
        volumes_.clear();
        disk_.reset();
        if (!bufferHeld_) VirtualFree(buffer_, 0, MEM_RELEASE);
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
        if (ask(disk_.get(), IOCTL_STORAGE_MANAGE_DATA_SET_ATTRIBUTES, 0, &request, sizeof request,
                kTransferWaitMs))
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
        if (!readOnly_ && !flush(disk_.get())) rc = failure(GetLastError());
        if (written_) control(disk_.get(), IOCTL_DISK_UPDATE_PROPERTIES);
        volumes_.clear();
        return rc;
    }

private:
    // The portable table spells the system's error numbers out; the headers hold them to it.
    static_assert(ERROR_NOT_READY == 21 && ERROR_NO_MEDIA_IN_DRIVE == 1112 &&
                  ERROR_MEDIA_CHANGED == 1110 && ERROR_DEVICE_NOT_CONNECTED == 1167 &&
                  ERROR_DEV_NOT_EXIST == 55 && ERROR_FILE_INVALID == 1006 &&
                  ERROR_DEVICE_REMOVED == 1617 && kErrorNoAnswer == 1460 &&
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

    // One attempt at the whole transfer through the aligned buffer. A reader that has once let
    // a transfer time out is taken for gone: each further one would only wait as long again.
    uint32_t transfer(DWORD length, uint32_t first, bool writing) {
        if (unanswered_) return SDHOST_ERR_NO_CARD;
        DWORD done = 0;
        const Outcome outcome =
            transferAt(disk_.get(), buffer_, length, first * kSectorSize, writing, done);
        if (outcome == Outcome::Done)
            return done == length ? SDHOST_OK : SDHOST_ERR_NO_CARD; // short: the medium shrank
        const DWORD err = GetLastError();
        // The system may still write into a request it has not given back: never freed.
        if (outcome == Outcome::Held) bufferHeld_ = true;
        if (err == kErrorNoAnswer) {
            unanswered_ = true;
            std::fprintf(stderr, "%s: %s\n", host_.name, kNoAnswer);
        }
        return failure(err);
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
    bool unanswered_ = false;
    bool bufferHeld_ = false;
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
    // openPath makes the handle overlapped, so that every transfer on it is bounded in time.
    constexpr DWORD kFlags = FILE_FLAG_NO_BUFFERING | FILE_FLAG_WRITE_THROUGH;
    // A write-protected card opens for writing all the same; its writes are refused later.
    Handle disk =
        openPath(widened(path), readOnly ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE, kFlags);
    if (!disk.ok()) {
        const DWORD err = GetLastError();
        const std::string what = facts.drive + ": cannot open " + path.substr(4) +
                                 (readOnly ? " for reading" : " for writing");
        if (err == kErrorNoAnswer) {
            error = facts.drive + ": " + kNoAnswer;
            return SDHOST_ERR_NO_CARD;
        }
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
