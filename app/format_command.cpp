#include "app/format_command.h"

#include "device/driver_binding.h"
#include "device/system_checks.h"
#include "exfat/exfat_writers.h"
#include "os/os_services.h"
#include "progress/progress.h"
#include "res/message_ids.h"

namespace brc {

std::u16string rootPathOf(const std::u16string& driveText) {
    return driveText.size() == 2 ? driveText + u'\\' : driveText;
}

void FormatCommand::show(FormatOutcome& outcome, uint32_t messageId, uint32_t style) {
    outcome.messageId = messageId;
    outcome.message = env_.messages.text(messageId);
    host_.showMessage(messageId, outcome.message, style);
}

void FormatCommand::showPowerMessage(FormatOutcome& outcome) {
    // The message says the format did not finish, whatever the card path returned before the
    // broadcast was seen (it may come during the label step).
    outcome.result = PowerInterrupted;
    host_.repaintNow();
    show(outcome, env_.flags.powerEvent == 4 ? msg::SuspendDetected : msg::StandbyDetected,
         kStyleInformation);
}

FormatOutcome FormatCommand::run(const FormatRequest& request) {
    ProbeContext probe{env_.driver, env_.sys, env_.oem};
    FormatOutcome outcome;
    outcome.label = request.label;

    env_.flags.powerAbort = 0;
    const std::u16string root = rootPathOf(request.drive);
    rebindDriverLibrary(probe, root);
    host_.stopPollTimer();
    if (!mayWrite(outcome, request, probe, root)) {
        host_.startPollTimer();
        return outcome;
    }
    rebindDriverLibrary(probe, root);
    host_.setWritingCard(true);
    formatWithControlsOff(outcome, request, root);
    conclude(outcome, request, probe, root);
    host_.refreshDriveList();
    host_.startPollTimer();
    host_.EndWaitCursor();
    return outcome;
}

bool FormatCommand::mayWrite(FormatOutcome& outcome, const FormatRequest& request,
                             ProbeContext& probe, const std::u16string& root) {
    // The label check, with the controls off while the card is opened.
    host_.BeginWaitCursor();
    host_.EnableControls(false);
    // Its plan stays in the figures until the run's own pre-check plans again.
    outcome.result = runLabelOperation(probe, LabelPreCheck, root, request.label,
                                       request.sizeAdjustment, &outcome.figures.plan);
    host_.EnableControls(true);
    host_.EndWaitCursor();
    if (outcome.result != Success) {
        show(outcome, resultMessageId(outcome.result, false), resultMessageStyle(outcome.result));
        return false;
    }

    // Nothing is written before both answers are OK.
    const auto ask = [&](uint32_t id) {
        return host_.confirm(id, env_.messages.text(id), kStyleQuestion);
    };
    if ((request.formatType == Quick && !ask(msg::ConfirmQuickFormat)) ||
        !ask(msg::ConfirmFormat)) {
        outcome.end = FormatEnd::Cancelled;
        return false;
    }
    VolumeInfo info;
    if (!env_.sys.os.volumeInfo(root, info) && env_.sys.os.lastError() == kErrorNotReady) {
        show(outcome, msg::CardMayBeRemoved, kStyleError);
        return false;
    }
    if (const uint32_t refusal = host_.takeCardForWriting()) {
        outcome.result = Failed;
        show(outcome, refusal, kStyleError);
        return false;
    }
    return true;
}

void FormatCommand::formatWithControlsOff(FormatOutcome& outcome, const FormatRequest& request,
                                          const std::u16string& root) {
    RunFlags& flags = env_.flags;
    host_.BeginWaitCursor();
    host_.repaintNow();
    uint32_t status = 0;
    flags.formatStatus = &status;
    host_.EnableControls(false);
    flags.labelRejected = 0;
    Progress progress{flags, nullptr};
    ExFatState exfat;
    exfat.clock = &env_.clock;
    ReportValues report;
    outcome.figures.verify.asked = request.verify;
    FormatServices services{env_.driver, env_.sys, progress, host_.progressWindow(),
                            exfat,       report,   env_.oem, env_.clock};
    outcome.result = formatCard(services, root, outcome.label, request.sizeAdjustment,
                                request.formatType, outcome.figures);
    flags.formatStatus = nullptr;
    outcome.status = status;
    outcome.labelRejected = flags.labelRejected;
    host_.pumpPendingMessages();
}

void FormatCommand::conclude(FormatOutcome& outcome, const FormatRequest& request,
                             ProbeContext& probe, const std::u16string& root) {
    RunFlags& flags = env_.flags;
    // The first case that applies wins: a power broadcast, a failed write, a failed result.
    const OutcomeMessage decided =
        decideFormatOutcome(outcome.result, outcome.status, flags.powerAbort, flags.powerEvent);
    outcome.end = FormatEnd::Failed;
    if (flags.powerAbort) {
        host_.setWritingCard(false);
        host_.EnableControls(true);
        showPowerMessage(outcome);
        return;
    }
    if (decided.messageId != 0) {
        host_.setWritingCard(false);
        host_.EnableControls(true);
        show(outcome, decided.messageId, decided.style);
        host_.repaintNow();
        return;
    }
    if (outcome.result == Success) {
        host_.repaintNow();
        // A Success means the card's volume is back: the library waited for it after its last
        // closing, else the format asks for the card again. The system writes the label;
        // FAT32's FSInfo and FAT entry are put right after it.
        labelCard(outcome, request, probe, root);
        host_.pumpPendingMessages();
    } else if (outcome.result == SuccessReinsertCard && env_.sys.os.labelsCardItself(root)) {
        // Our own label writer needs no volume of the system's: without it the boot sectors
        // would keep "NO NAME" beside the label in the root directory.
        labelCard(outcome, request, probe, root);
    }
    host_.setWritingCard(false);
    host_.EnableControls(true);
    if (flags.powerAbort) showPowerMessage(outcome);
    else showReport(outcome);
}

void FormatCommand::labelCard(const FormatOutcome& outcome, const FormatRequest& request,
                              ProbeContext& probe, const std::u16string& root) {
    env_.sys.os.setVolumeLabel(root, outcome.label);
    if (outcome.figures.fileSystemKind == Fat32)
        runLabelOperation(probe, Fat32Repair, root, outcome.label, request.sizeAdjustment);
}

void FormatCommand::showReport(FormatOutcome& outcome) {
    FormatReportValues values;
    values.overwriteResult = outcome.figures.overwriteResult;
    values.eraseResult = outcome.figures.eraseResult;
    values.status = outcome.status;
    values.fileSystemKind = outcome.figures.fileSystemKind;
    values.totalSectors = outcome.figures.totalSectors;
    values.clusterBytes = outcome.figures.clusterBytes;
    outcome.end = FormatEnd::Formatted;
    outcome.messageId = 0;
    outcome.message =
        buildVolumeReport(env_.messages, outcome.result, env_.flags.labelRejected, values);
    host_.showMessage(0, outcome.message, kStyleInformation);
    if (outcome.result != Success) host_.repaintNow();
}

} // namespace brc
