#include "drivers/windows/disk_card.h"

#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <vector>

#include "drivers/windisk/disk_answers.h"
#include "drivers/windisk/disk_run.h"
#include "drivers/windisk/disk_volumes.h"
#include "drivers/windows/overlapped_writer.h"
#include "drivers/windows/service_client.h"
#include "drivers/windows/win_io.h"
#include "drivers/windows/windows_disks.h"
#include "drivers/windows/windows_volumes.h"
#include "drivers/write_queue.h"

namespace brc::sdhost {
namespace {

using windisk::DiskFacts;

constexpr DWORD kMaxTransferBytes = SDHOST_MAX_TRANSFER * kSectorSize; // 128 KiB, for reads
constexpr char kNoAnswer[] = "the card reader does not answer; unplug it and plug it in again";

// Never destroyed: what is parked is let go through it when the library is unloaded.
WindowsVolumes& volumeSystem() {
    static auto* system = new WindowsVolumes;
    return *system;
}

// The runs as every module of ours in the process sees them.
windisk::DiskRuns runs() { return windisk::DiskRuns(volumeSystem().shelf()); }

// Volumes a closing parked are let go once no format run holds a drive: that run ended without
// letting go (its front end gone).
void letGoOfLeftovers() {
    if (!runs().anyGoing()) windisk::releaseParkedVolumes(volumeSystem());
}

class DiskCard final : public Card {
public:
    DiskCard(Handle disk, uint32_t userSectors, bool readOnly, unsigned index, uint32_t number,
             const Host& host, void* buffer, bool trims, uint32_t maxTransfer, bool served)
        : disk_(std::move(disk)),
          userSectors_(userSectors),
          readOnly_(readOnly),
          index_(index),
          host_(host),
          buffer_(static_cast<uint8_t*>(buffer)),
          volumes_(volumeSystem(), number, !readOnly && !served),
          trims_(trims),
          maxTransfer_(maxTransfer),
          served_(served) {
        runs().opened(index_);
    }
    ~DiskCard() override {
        runs().closed(index_);
        // Every write back before the volumes are let go and the disk is closed; what a request
        // the system never gave back still uses, the queue and the writer leave to it.
        queue_.reset();
        writer_.reset();
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
        if (uint32_t rc = settle()) return rc;
        const DWORD length = count * static_cast<DWORD>(kSectorSize);
        if (uint32_t rc = withDeviceRetries(host_, [&] { return transfer(length, first); }))
            return rc;
        std::memcpy(buffer, buffer_, length);
        return SDHOST_OK;
    }

    uint32_t write(const void* buffer, uint32_t count, uint32_t first) override {
        if (uint32_t rc = checkTransfer(buffer, count, first, userSectors_)) return rc;
        if (readOnly_) return host_.writeProtectCode;
        if (uint32_t rc = takeVolumes()) return rc;
        if (uint32_t rc = startWriting()) return rc;
        written_ = true;
        runs().noteWritten(index_);
        if (first == 0) {
            partitionOffset_ = windisk::firstPartitionOffset(static_cast<const uint8_t*>(buffer));
            runs().notePartition(index_, partitionOffset_);
        }
        return noted(queue_->write(buffer, count, first));
    }

    // A trim of the range, only where the device said at open that it takes one (Windows 7 on);
    // elsewhere the erase is not supported, and nothing is sent.
    uint32_t erase(uint32_t first, uint32_t last) override {
        if (last < first || last >= userSectors_) return SDHOST_ERR_RANGE;
        if (readOnly_) return host_.writeProtectCode;
        if (uint32_t rc = settle()) return rc; // writes before it land before it
        if (!trims_) return SDHOST_ERR_NO_ERASE;
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

    // The report must never come before the data is on the card. In the middle of a format run
    // the volumes stay locked for the card's next opening, and the system is not told of the new
    // partition table yet (see sendsUpdate); outside a run, or after its hold ended, they are let
    // go so that the system mounts the new file system.
    uint32_t finish() override {
        uint32_t rc = settle();
        // A reader already known not to answer would only make each of these wait in vain.
        if (!readOnly_ && !unanswered_ && !flush(disk_.get()) && !rc) rc = failure(GetLastError());
        if (unanswered_ && !rc) rc = SDHOST_ERR_NO_CARD;
        const bool going = runs().going(index_);
        if (!unanswered_ && windisk::sendsUpdate(going, written_ || runs().written(index_)))
            control(disk_.get(), IOCTL_DISK_UPDATE_PROPERTIES);
        volumes_.finish(going, comingBack(partitionOffset_));
        // The closing after a run's hold ended is the run's last: nothing it parked stays.
        if (!going && runs().disk(index_)) {
            windisk::letGoOfParked(
                volumeSystem(), runs().disk(index_)->number,
                comingBack(runs().partition(index_) ? runs().partition(index_) : partitionOffset_));
            runs().forget(index_);
        }
        // The service holds the card's volumes for the run, as closings here park them.
        if (served_ && !going) releaseServiceDisk(index_);
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

    // Every volume of the disk locked and dismounted before the first write, or the write
    // refused with one line saying why.
    uint32_t takeVolumes() {
        // The volume service took them when it handed the disk over.
        if (served_) return SDHOST_OK;
        std::string why;
        const uint32_t rc = volumes_.take(host_.writeProtectCode, why);
        if (!why.empty()) std::fprintf(stderr, "%s: %s\n", host_.name, why.c_str());
        return rc;
    }

    // The writes go out through the queue from the first one on: gathered into requests as
    // large as the adapter takes, several on their way at once.
    uint32_t startWriting() {
        if (unanswered_) return SDHOST_ERR_NO_CARD;
        if (queue_) return SDHOST_OK;
        const size_t request = requestBytesFor(maxTransfer_, kSectorSize);
        const size_t inFlight = std::min(kWindowBytes / request, kMostOverlappedWrites);
        auto writer = std::make_unique<OverlappedWriter>(disk_.get(), host_.writeProtectCode);
        auto queue = std::make_unique<WriteQueue>(*writer, host_, request, inFlight);
        if (!queue->ok()) return SDHOST_ERR_OUT_OF_MEMORY;
        writer_ = std::move(writer);
        queue_ = std::move(queue);
        return SDHOST_OK;
    }

    // How the card's volume is waited for once let go: not at all from a reader taken for gone.
    windisk::ComingBack comingBack(uint64_t partitionOffset) const {
        return {unanswered_ ? 0u : windisk::kVolumeWaitMs, partitionOffset};
    }

    // Every accepted write is on the card: 0, or the first error a write came back with.
    uint32_t settle() { return queue_ ? noted(queue_->settle()) : SDHOST_OK; }

    // A queue's answer, after which a writer that let its wait run out is told once.
    uint32_t noted(uint32_t rc) {
        if (writer_->unanswered()) noAnswer();
        return rc;
    }

    // A reader that has once let a transfer time out is taken for gone: each further one would
    // only wait as long again.
    void noAnswer() {
        if (unanswered_) return;
        unanswered_ = true;
        runs().noteSilent(index_);
        std::fprintf(stderr, "%s: %s\n", host_.name, kNoAnswer);
    }

    // One attempt at the whole read through the aligned buffer.
    uint32_t transfer(DWORD length, uint32_t first) {
        if (unanswered_) return SDHOST_ERR_NO_CARD;
        DWORD done = 0;
        const Outcome outcome =
            transferAt(disk_.get(), buffer_, length, first * kSectorSize, false, done);
        if (outcome == Outcome::Done)
            return done == length ? SDHOST_OK : SDHOST_ERR_NO_CARD; // short: the medium shrank
        const DWORD err = GetLastError();
        // The system may still write into a request it has not given back: never freed.
        if (outcome == Outcome::Held) bufferHeld_ = true;
        if (err == kErrorNoAnswer) noAnswer();
        return failure(err);
    }

    Handle disk_;
    uint32_t userSectors_;
    bool readOnly_;
    unsigned index_;
    Host host_;
    uint8_t* buffer_;
    windisk::DiskVolumes volumes_; // let go of before the disk is closed
    bool written_ = false;
    uint64_t partitionOffset_ = 0; // of the partition this opening wrote to sector 0
    bool trims_;
    uint32_t maxTransfer_;                     // the adapter's, in bytes; 0 when unknown
    std::unique_ptr<OverlappedWriter> writer_; // from the first write on
    std::unique_ptr<WriteQueue> queue_;
    bool served_; // the disk handle is the volume service's duplicate
    bool unanswered_ = false;
    bool bufferHeld_ = false; // the read buffer, held by a read the system never gave back
};

// The disk behind drive `index` could not be opened (error `err`): the driver code and one line
// for the user. Where the system denied access, the volume service opens it instead when it is
// there and agrees; then SDHOST_OK and `disk` is the handle it handed over.
uint32_t notOpened(DWORD err, const DiskFacts& facts, const std::string& path, bool readOnly,
                   unsigned index, Handle& disk, std::string& error) {
    const std::string what = facts.drive + ": cannot open " + path.substr(4) +
                             (readOnly ? " for reading" : " for writing");
    if (err == ERROR_SHARING_VIOLATION) {
        error = what + ": another program is using the card; close it and try again";
        return SDHOST_ERR_BUSY;
    }
    if (err == kErrorNoAnswer) {
        error = facts.drive + ": " + kNoAnswer;
        return SDHOST_ERR_NO_CARD;
    }
    if (err != ERROR_ACCESS_DENIED) {
        error = what + " (error " + std::to_string(err) + ")";
        return SDHOST_ERR_NO_CARD;
    }
    uint32_t code = 0;
    std::string why;
    disk = diskFromService(index, !readOnly, runs().disk(index), code, why);
    if (disk.ok()) return SDHOST_OK;
    error = what + ": that takes administrator rights" + (why.empty() ? "" : " (" + why + ")");
    return code ? code : SDHOST_ERR_ACCESS;
}

} // namespace

uint32_t openDiskCard(unsigned index, bool readOnly, const Host& host, std::unique_ptr<Card>& card,
                      std::string& error) {
    const OpeningBudget budget;
    letGoOfLeftovers();
    WindowsDisks system;
    const windisk::Vetting vetted = windisk::vetOpening(system, index, runs());
    const DiskFacts& facts = vetted.facts;
    if (vetted.verdict.code != SDHOST_OK) {
        // Within a run, another disk behind the letter is said, though it is "no card".
        if (vetted.verdict.code != SDHOST_ERR_NO_CARD || runs().going(index))
            error = vetted.verdict.message;
        return vetted.verdict.code;
    }
    const std::string path = windisk::physicalDrivePath(*facts.number);
    // openPath makes the handle overlapped, so that every transfer on it is bounded in time.
    constexpr DWORD kFlags = FILE_FLAG_NO_BUFFERING | FILE_FLAG_WRITE_THROUGH;
    // A write-protected card opens for writing all the same; its writes are refused later. Since
    // Vista a card is written alone: a handle of another program's on the disk is waited out,
    // then the card is refused as busy. (On XP the program's own erase instance opens the card
    // while the bound library holds it.)
    const bool alone = !readOnly && !volumeSystem().programLocksVolumes();
    Handle disk = alone ? openAlone(widened(path), GENERIC_READ | GENERIC_WRITE, kFlags,
                                    windisk::kVolumeWaitMs)
                        : openPath(widened(path),
                                   readOnly ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE, kFlags);
    bool served = false;
    if (!disk.ok()) {
        const DWORD err = GetLastError();
        const uint32_t rc = notOpened(err, facts, path, readOnly, index, disk, error);
        if (rc != SDHOST_OK) return rc;
        served = true;
    }
    // The disk numbers may have changed hands since the drive was asked (a reader unplugged and
    // another plugged in): judged again, what was opened must answer as the drive's device.
    // Within a run, it must also be the disk the run began on.
    DiskFacts answered;
    askDisk(disk.get(), answered);
    const windisk::OpenedDisk judged = windisk::judgeOpened(facts, answered);
    const DiskFacts& opened = judged.facts;
    windisk::Verdict again = judged.verdict;
    if (again.code == SDHOST_OK) again = runs().admit(index, *windisk::identityOf(opened));
    if (again.code != SDHOST_OK) {
        if (again.code != SDHOST_ERR_NO_CARD || runs().going(index)) error = again.message;
        return again.code;
    }
    void* buffer =
        VirtualAlloc(nullptr, kMaxTransferBytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (!buffer) return SDHOST_ERR_OUT_OF_MEMORY;
    const bool protectedDisk = opened.writable == windisk::Writability::Protected;
    card = std::make_unique<DiskCard>(std::move(disk), windisk::userSectors(opened),
                                      readOnly || protectedDisk, index, facts.number->number, host,
                                      buffer, windisk::eraseSupported(opened),
                                      opened.maxTransfer.value_or(0), served);
    return SDHOST_OK;
}

uint32_t diskCardFlags(unsigned index, uint32_t& flags) {
    const OpeningBudget budget;
    letGoOfLeftovers();
    WindowsDisks system;
    flags = windisk::checkFlags(windisk::factsOf(system, index));
    return SDHOST_OK;
}

void releaseParkedDiskVolumes() {
    // Another module of ours may be in the middle of a run.
    if (!runs().anyGoing()) windisk::releaseParkedVolumes(volumeSystem());
}

void unloadDiskCards() {
    closeServiceConnection();
    volumeSystem().unload();
}

uint32_t holdDiskRun(unsigned index, bool on) {
    if (on) {
        runs().begin(index);
        return SDHOST_OK;
    }
    runs().end(index);
    // A card of the drive still open finishes the run at its closing.
    const std::optional<windisk::DiskIdentity> disk = runs().disk(index);
    if (runs().openCards(index) > 0 || !disk) return SDHOST_OK;
    if (runs().written(index) && !runs().silent(index)) {
        // The system reads the new partition table now, from the run's disk only.
        WindowsDisks system;
        DiskFacts now;
        now.number = windisk::DeviceNumber{windisk::kFileDeviceDisk, disk->number, 0};
        system.askDisk(disk->number, now);
        const Handle h = openPath(widened(windisk::physicalDrivePath(*now.number)), 0);
        if (h.ok() && runs().isRunDisk(index, *windisk::identityOf(now)))
            control(h.get(), IOCTL_DISK_UPDATE_PROPERTIES);
    }
    const windisk::ComingBack back{runs().silent(index) ? 0u : windisk::kVolumeWaitMs,
                                   runs().partition(index)};
    runs().forget(index);
    // A served run's volumes are the service's: it waits for the new one as a run here does.
    const bool servedBack = releaseServiceDisk(index, ~0u, back.partitionOffset);
    const bool ownBack = windisk::letGoOfParked(volumeSystem(), disk->number, back);
    return servedBack && ownBack ? SDHOST_OK : SDHOST_VOLUME_NOT_BACK;
}

} // namespace brc::sdhost
