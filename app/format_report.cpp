#include "app/format_report.h"

#include <cmath>
#include <cstdio>

#include "base/format_types.h"
#include "progress/progress.h"
#include "res/message_ids.h"

namespace brc {

namespace {

// The figures are scaled in double, truncated (never rounded), narrowed to float and printed
// widened again; users compare these numbers with earlier reports, so keep every step.
float truncatedSize(uint32_t sectors, double unitScale, double digitsScale) {
    const double scaled = static_cast<double>(sectors) * unitScale * 0.5 * digitsScale;
    return static_cast<float>(std::trunc(scaled) / digitsScale);
}

// Sectors times these times 0.5 give MiB, GiB and TiB; powers of two, so exact in double.
constexpr double kToMiB = 1.0 / 1024.0;
constexpr double kToGiB = kToMiB / 1024.0;
constexpr double kToTiB = kToGiB / 1024.0;

std::string printed(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string printed(const char* format, uint32_t value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

} // namespace

const char* fileSystemName(uint32_t fsType) {
    if (fsType == Fat32) return "FAT32";
    if (fsType == ExFat) return "exFAT";
    return "FAT";
}

uint32_t reportNoteId(int32_t overwriteResult, int32_t eraseResult, uint32_t status) {
    if (overwriteResult == 0 && eraseResult == 0) {
        if (status & StatusOverwriteCancelled) return msg::NoteOverwriteEraseSkipped;
        if (status & StatusEraseCancelled) return msg::NoteFullEraseSkipped;
        return msg::NoteOverwriteErase;
    }
    if (overwriteResult == 0) {
        if (status & StatusOverwriteCancelled) return msg::NoteOverwriteSkipped;
        if (status & StatusEraseNotStarted) return msg::NoteOverwriteEraseUnsupported;
        return msg::NoteOverwrite;
    }
    if (eraseResult == -1) return 0;
    if (status & StatusEraseCancelled) return msg::NoteEraseSkipped;
    if (status & StatusEraseNotStarted) return msg::NoteQuickEraseUnsupported;
    return msg::NoteErase;
}

std::string formatTotalSpace(uint32_t s, bool reinsertCard) {
    if (reinsertCard && s >= 0x80000000u)
        return printed(" - Total space = %.2f TB ",
                       static_cast<double>(truncatedSize(s, kToTiB, 100.0)));
    if (reinsertCard && s >= 209715200u) return printed(" - Total space = %u GB ", s >> 21);
    if (s >= 20971520u)
        return printed(" - Total space = %.1f GB ",
                       static_cast<double>(truncatedSize(s, kToGiB, 10.0)));
    if (s >= 2097152u)
        return printed(" - Total space = %.2f GB ",
                       static_cast<double>(truncatedSize(s, kToGiB, 100.0)));
    if (s >= 204800u) return printed(" - Total space = %u MB ", s >> 11);
    if (s >= 20480u)
        return printed(" - Total space = %.1f MB ",
                       static_cast<double>(truncatedSize(s, kToMiB, 10.0)));
    if (s >= 2048u)
        return printed(" - Total space = %.2f MB ",
                       static_cast<double>(truncatedSize(s, kToMiB, 100.0)));
    return printed(" - Total space = %u KB ", s >> 1);
}

std::string formatByteCount(uint64_t b) {
    // Every group after the first has three digits; from 10^12 bytes on that takes a fifth
    // group, not a first group of four digits.
    std::string groups;
    char text[16];
    while (b >= 1000u) {
        std::snprintf(text, sizeof text, ",%03u", static_cast<unsigned>(b % 1000u));
        groups.insert(0, text);
        b /= 1000u;
    }
    std::snprintf(text, sizeof text, "(%u", static_cast<unsigned>(b));
    return text + groups + " Bytes)    \n";
}

void appendVolumeInformation(std::u16string& report, bool reinsertCard, uint32_t fileSystemKind,
                             uint32_t totalSectors, uint32_t clusterBytes) {
    std::string text = "\n\n Volume Information \n - File system : ";
    text += fileSystemName(fileSystemKind);
    text += "\n";
    text += formatTotalSpace(totalSectors, reinsertCard);
    text += formatByteCount(uint64_t{totalSectors} * 512u);
    text += printed(" - Cluster size = %u Bytes", clusterBytes);
    report += asciiToUtf16(text);
}

std::u16string buildVolumeReport(const MessageSource& messages, int32_t result,
                                 uint32_t labelRejected, const FormatReportValues& values) {
    const bool reinsertCard = result == SuccessReinsertCard;
    std::u16string report =
        messages.text(reinsertCard ? msg::FormatFinishedRemoveCard : msg::FormatFinished);
    if (labelRejected != 0) report += messages.text(msg::LabelInvalid);
    if (const uint32_t note =
            reportNoteId(values.overwriteResult, values.eraseResult, values.status))
        report += messages.text(note);
    appendVolumeInformation(report, reinsertCard, values.fileSystemKind, values.totalSectors,
                            values.clusterBytes);
    return report;
}

} // namespace brc

namespace brc {

uint32_t resultMessageId(int32_t result, bool afterFormat) {
    switch (result) {
    case Success: return 0;
    case CardNotReady: return msg::CannotFormatReinsertCard;
    case SuccessReinsertCard: return afterFormat ? 0 : msg::CannotFormat;
    case WriteProtected: return msg::ReleaseWriteProtectSwitch;
    case InvalidLabel: return msg::LabelInvalid;
    case OutOfMemory: return msg::NotEnoughMemory;
    case CardIdentifyFailed: return msg::DriveOrCardNotSupported;
    case WriteProtectSwitch: return msg::CardWriteProtected;
    case AccessDenied: return msg::AdministratorRequired;
    default: return msg::CannotFormat;
    }
}

uint32_t resultMessageStyle(int32_t result) {
    return result == WriteProtected || result == SuccessReinsertCard ? kStyleInformation
                                                                     : kStyleError;
}

OutcomeMessage decideFormatOutcome(int32_t result, uint32_t status, uint32_t powerAbort,
                                   uint32_t powerEvent) {
    if (powerAbort)
        return {powerEvent == 4 ? msg::SuspendDetected : msg::StandbyDetected, kStyleInformation};
    if (status & (StatusWriteFailed | StatusEraseFailedLater))
        return {msg::CannotFormatRemoveCard, kStyleError};
    return {resultMessageId(result, true), resultMessageStyle(result)};
}

} // namespace brc
