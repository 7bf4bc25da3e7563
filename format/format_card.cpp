#include "format/format_card.h"

#include <cstring>

#include "device/card_session.h"
#include "device/driver_binding.h"
#include "device/written_sectors.h"
#include "engine/layout.h"
#include "exfat/exfat_writers.h"
#include "passes/flash_erase.h"
#include "passes/overwrite.h"
#include "progress/progress.h"
#include "os/os_services.h"

namespace brc {
namespace {

bool overwrites(FormatType type) { return type == FullOverwrite || type == FullOverwriteErase; }
bool erases(FormatType type) { return type == FullOverwriteErase || type == FullErase; }

// The progress window with one line per stage, from before the card opens until the run
// returns. Declared before the card session, it goes after the session gave everything back.
class ProgressWindow {
public:
    ProgressWindow(FormatServices& svc, FormatType type, bool show) : svc_(svc) {
        if (!show) return;
        Progress& p = svc_.progress;
        p.view = svc_.window.createProgressWindow();
        open_ = true;
        const auto waitingIf = [](bool part) {
            return part ? StageState::Waiting : StageState::Off;
        };
        reportStage(p, {ProgressStage::Overwrite, waitingIf(overwrites(type))});
        reportStage(p, {ProgressStage::Erase, waitingIf(erases(type))});
        reportStage(p, {ProgressStage::Format, StageState::Waiting});
    }
    ~ProgressWindow() {
        if (!open_) return;
        svc_.progress.view = nullptr;
        svc_.window.destroyProgressWindow();
    }
    ProgressWindow(const ProgressWindow&) = delete;
    ProgressWindow& operator=(const ProgressWindow&) = delete;

private:
    FormatServices& svc_;
    bool open_ = false;
};

// While a run is to be read back, the binding notes what it writes; never beyond the run.
class NotedWrites {
public:
    NotedWrites(DriverBinding& driver, bool asked) : driver_(driver) {
        if (asked) driver_.written = &written_;
    }
    ~NotedWrites() { driver_.written = nullptr; }
    NotedWrites(const NotedWrites&) = delete;
    NotedWrites& operator=(const NotedWrites&) = delete;

    // The card was erased: what was written before it is the card's business now.
    void erased() { written_.clear(); }
    // Reads back what was noted, on the card still open; true when it was all kept.
    bool readBack(VerifyFigures& figures, OsServices& os) {
        const uint32_t start = os.milliseconds();
        const WrittenSectors::ReadBack back = written_.readBack(driver_);
        figures.time = os.milliseconds() - start;
        figures.done = true;
        figures.kept = back.kept;
        figures.unreadable = back.unreadable;
        figures.sector = back.sector;
        figures.sectors = written_.sectors();
        return back.kept;
    }

private:
    DriverBinding& driver_;
    WrittenSectors written_;
};

// One run's inputs and what it hands back. Every way out returns at once: the card session and
// the progress window give back what they hold.
class FormatRun {
public:
    FormatRun(FormatServices& svc, const std::u16string& rootPath, std::u16string& label,
              bool sizeAdjustment, FormatType type, FormatFigures& figures)
        : svc_(svc),
          driver_(svc.driver),
          sys_(svc.sys),
          flags_(svc.progress.flags),
          rootPath_(rootPath),
          label_(label),
          sizeAdjustment_(sizeAdjustment),
          type_(type),
          figures_(figures),
          noted_(svc.driver, figures.verify.asked) {}

    int32_t run();

private:
    bool powerAbort() const { return flags_.powerAbort != 0; }
    uint32_t handle() const { return driver_.driverHandle; }
    WriteContext writeContext() {
        return WriteContext{driver_, svc_.progress, svc_.exfat, svc_.report, svc_.oem, svc_.clock};
    }
    // A file system written without progress, for a pass that needs one on the card.
    int32_t preliminaryPass() {
        flags_.formatProgressEnabled = 0;
        std::u16string preliminary = label_;
        WriteContext ctx = writeContext();
        return formatVolume(ctx, figures_.plan, preliminary);
    }

    int32_t runFullFormatStage(CardSession& session);
    int32_t prepareOverwrite(CardSession& session);
    uint32_t eraseCard(CardSession& session);

    FormatServices& svc_;
    DriverBinding& driver_;
    SystemState& sys_;
    RunFlags& flags_;
    const std::u16string& rootPath_;
    std::u16string& label_;
    bool sizeAdjustment_;
    FormatType type_;
    FormatFigures& figures_;

    NotedWrites noted_;
    uint32_t driveNumber_ = 0;
    bool volumeLockable_ = false;
    int32_t overwriteResult_ = 0;
    uint64_t checkedSectors_ = 0; // read back by the overwrite's check
};

int32_t FormatRun::run() {
    if (driver_.driverRoute == 0) return Failed;
    driveNumber_ = driveNumberOf(rootPath_);
    volumeLockable_ = erases(type_) && probeVolumeLock(sys_, driveNumber_);
    const ProgressWindow window(svc_, type_, figures_.overwriteTime == 0);

    CardSession session(driver_, sys_, driveNumber_, &flags_.powerAbort);
    RunVolumeHold hold(driver_, driveNumber_);
    if (const int32_t opened = session.open()) return opened;
    hold.follow();
    if (const int32_t refused = session.check(rootPath_)) return refused;
    if (const int32_t notTaken = session.takeVolume(true)) return notTaken;

    // The run's one plan: the passes below write it (each identifies the card again).
    if (const int32_t check =
            checkFormatPlan(label_, sizeAdjustment_, driver_, &figures_.plan, svc_.oem))
        return check;
    if (powerAbort()) return PowerInterrupted;
    readOldOemParameters(driver_, svc_.exfat);
    if (powerAbort()) return PowerInterrupted;

    if (type_ == Quick) {
        figures_.overwriteResult = -1;
        figures_.eraseResult = -1;
    } else if (const int32_t stage = runFullFormatStage(session)) {
        return stage;
    }

    flags_.formatProgressEnabled = 1;
    WriteContext ctx = writeContext();
    int32_t result = formatVolume(ctx, figures_.plan, label_);
    figures_.totalSectors = svc_.report.reportDataSectors;
    figures_.partitionSectors = svc_.report.reportPartitionSectors;
    figures_.clusterBytes = svc_.report.reportClusterBytes;
    figures_.fileSystemKind = svc_.report.reportFsType;
    // Before the card is let go, so that nobody else writes it in between; a read waits for
    // the writes before it.
    const bool wrote = result == Success || result == SuccessReinsertCard;
    const bool kept = !figures_.verify.asked || !wrote || powerAbort() ||
                      noted_.readBack(figures_.verify, sys_.os);
    // The overwrite's check read the whole user area back before the fill.
    if (figures_.verify.done) figures_.verify.sectors += checkedSectors_;

    // The library's last closing flushes the card; the hold's end has the system read the new
    // partition table before the volume is let go, here too where the program holds the volume
    // itself.
    const uint32_t closed = session.closeCard();
    const bool cameBack = hold.end();
    const VolumeResult released = session.releaseVolume();
    if (closed != 0 || !kept) return Failed;
    if (result == SuccessReinsertCard && overwriteResult_ != 0)
        return SuccessReinsertCardOverwriteFailed;
    if (result == Success && (released != VolumeResult::Done || !cameBack))
        return SuccessReinsertCard;
    return result;
}

int32_t FormatRun::runFullFormatStage(CardSession& session) {
    overwriteResult_ = 0;
    flags_.cancelRequested = 0;
    uint8_t kept[512] = {};
    driver_.api.DDReadPT(kept, 1, 0, handle());

    if (overwrites(type_)) {
        if (const int32_t stopped = prepareOverwrite(session)) return stopped;
        if (figures_.verify.asked) {
            // A card that loses writes reads back what the fill writes: each sector is shown
            // keeping a pattern of its own first.
            KeptCheck check;
            check.tag =
                (uint64_t{sys_.os.milliseconds()} << 32) ^ reinterpret_cast<uintptr_t>(&check);
            overwriteResult_ = overwriteCardChecked(driver_, figures_.overwriteTime, svc_.progress,
                                                    sys_.os, check);
            if (!check.kept) {
                VerifyFigures& v = figures_.verify;
                v.done = true;
                v.kept = false;
                v.unreadable = check.unreadable;
                v.sector = check.sector;
                v.sectors = check.sectors;
                figures_.overwriteResult = overwriteResult_;
                return Failed;
            }
            checkedSectors_ = check.sectors;
        } else {
            overwriteResult_ =
                overwriteCard(driver_, figures_.overwriteTime, svc_.progress, sys_.os);
        }
        figures_.overwriteResult = overwriteResult_;
    } else {
        figures_.overwriteResult = -1;
    }

    if (erases(type_) && overwriteResult_ == 0) {
        if (powerAbort()) return PowerInterrupted;
        writeSectors(driver_, kept, 1, 0);
        preliminaryPass();
        const uint32_t erased = eraseCard(session);
        noted_.erased();
        figures_.eraseResult = static_cast<int32_t>(erased);
        if (erased != 0)
            reportStage(svc_.progress, {ProgressStage::Erase, StageState::Unsupported});
    } else {
        figures_.eraseResult = -1;
    }
    writeSectors(driver_, kept, 1, 0);
    return 0;
}

// Takes the partition away before the overwrite and reopens the card (and, where a preliminary
// file system is written first, the volume). 0, or the result that ends the format.
int32_t FormatRun::prepareOverwrite(CardSession& session) {
    // While the card and the volume are reopened, a stop only closes them, as before the take.
    session.setVolumeExit(VolumeExit::Close);
    if (session.policy().preliminaryPassBeforeOverwrite) {
        const int32_t r = preliminaryPass();
        if (powerAbort()) return PowerInterrupted;
        if (r != Success && r != SuccessReinsertCard) return Failed;
        session.closeCard();
        session.closeVolume();
        if (session.reopenCard(session.openFlags()) != 0) return Failed;
        if (powerAbort()) return PowerInterrupted;
        if (!session.reopenVolume()) return Failed;
    } else {
        const uint8_t zero[512] = {};
        if (writeSectors(driver_, zero, 1, 0) != 0) return Failed;
        session.closeCard();
        if (powerAbort()) return PowerInterrupted;
        if (session.reopenCard(session.openFlags()) != 0) return Failed;
    }
    session.setVolumeExit(VolumeExit::Release);
    return 0;
}

uint32_t FormatRun::eraseCard(CardSession& session) {
    CardCapacity capacity;
    if (uint32_t r = readCardCapacity(driver_, capacity)) return r;
    FormatParameters params{};
    uint32_t userSectors = 0;
    if (uint32_t r = computeCapacity(capacity, userSectors, params, false)) return r;
    if (driver_.driverRoute == 1) {
        return static_cast<uint32_t>(eraseFlash(EraseBoundLibrary, driveNumber_, 0, userSectors,
                                                figures_.eraseTime, driver_, svc_.progress,
                                                volumeLockable_, sys_));
    }
    const bool handOver = session.policy().closeCardForPrivateErase;
    if (handOver) session.closeCard();
    const int32_t erased =
        eraseFlash(ErasePrivateLibrary, driveNumber_, 0, userSectors, figures_.eraseTime, driver_,
                   svc_.progress, volumeLockable_, sys_);
    if (!handOver) return static_cast<uint32_t>(erased);
    const uint32_t reopened = session.reopenCard(SDHOST_INIT_ROUTE2);
    return erased != 0 ? static_cast<uint32_t>(erased) : reopened;
}

} // namespace

int32_t formatCard(FormatServices& svc, const std::u16string& rootPath, std::u16string& label,
                   bool sizeAdjustment, FormatType formatType, FormatFigures& figures) {
    FormatRun run(svc, rootPath, label, sizeAdjustment, formatType, figures);
    return run.run();
}

} // namespace brc
