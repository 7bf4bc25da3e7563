// One card opened for an operation: the card through the bound driver library, checked, then
// the system's volume taken. Whatever way the operation ends, the session gives back what it
// holds, in the order the system expects.
#pragma once

#include <cstdint>
#include <string>

#include "device/driver_binding.h"
#include "device/system_checks.h"
#include "device/volume_access.h"

namespace brc {

// What becomes of a held volume when the session ends without releasing it.
enum class VolumeExit {
    Close,   // close the handle after the card, as a stop before the take does
    Release, // release it before the card: unlock, dismount and reopen, so the system mounts
             // what the card now holds
};

// A format run's hold on the card (DDHoldVolumes, where the bound library has it): from before
// the card's first opening until just after its last closing, every opening must reach the disk
// the run began on and a closing keeps the card's volumes locked. Constructed after the run's
// session, it ends on every way out; on a way out with the card still open, the session's
// closing then finishes the run.
class RunVolumeHold {
public:
    RunVolumeHold(DriverBinding& driver, uint32_t driveNumber);
    ~RunVolumeHold() { end(); }
    RunVolumeHold(const RunVolumeHold&) = delete;
    RunVolumeHold& operator=(const RunVolumeHold&) = delete;

    // After the card's opening switched the bound library: the new one is told of the run.
    void follow();
    // Ends the hold (once); after the card's last closing, false when the library saw the
    // card's volume not come back.
    bool end();

private:
    DriverBinding& driver_;
    DDHoldVolumes_t held_ = nullptr; // the library told, while the hold lasts
    uint32_t drive_;
};

class CardSession {
public:
    // `powerAbort`: the word a suspend or standby sets; a check or a take that sees it set
    // stops with PowerInterrupted. Null for an operation without such checkpoints.
    CardSession(DriverBinding& driver, SystemState& sys, uint32_t driveNumber,
                const uint32_t* powerAbort = nullptr);
    ~CardSession();
    CardSession(const CardSession&) = delete;
    CardSession& operator=(const CardSession&) = delete;

    // Opens the card (openCard: the other route when the first fails). Success, AccessDenied
    // when the library says the user lacks the rights, or Failed.
    int32_t open();
    // The card answers, is not write-protected and (route 1) has a manufacturer id, or (route 2,
    // where the policy asks) its volume is ready. Success or the FormatResult refusing it.
    int32_t check(const std::u16string& rootPath);
    // Opens and locks the volume; a refused lock dismounts, reopens and locks once more without
    // looking at the answer. With `dismount`, the locked volume is dismounted: the format
    // does, so the system lets go of the old file system it rewrites; the label operations
    // work on the file system as it is. Success, Failed or PowerInterrupted. From here an exit
    // releases the volume.
    int32_t takeVolume(bool dismount);

    void setVolumeExit(VolumeExit exit) { exit_ = exit; }
    VolumeResult releaseVolume();
    void closeVolume();
    // Opens and locks the volume again after closeVolume, the lock's answer not looked at.
    bool reopenVolume();

    // DDFini when the card is open; its answer, or 0 when nothing was open.
    uint32_t closeCard();
    // DDInit with the drive number and `flags`; the DDInit answer. The card is open on 0.
    uint32_t reopenCard(uint32_t flags);
    // 0x1000 when the card was first opened on route 2, else 0: what a reopening passes.
    uint32_t openFlags() const { return openFlags_; }

    const VolumePolicy& policy() const { return sys_.policy(); }

private:
    bool stopped() const { return powerAbort_ && *powerAbort_ != 0; }

    DriverBinding& driver_;
    SystemState& sys_;
    uint32_t drive_;
    const uint32_t* powerAbort_;
    uint32_t openFlags_ = 0;
    bool cardOpen_ = false;
    bool volumeHeld_ = false;
    VolumeExit exit_ = VolumeExit::Close;
};

} // namespace brc
