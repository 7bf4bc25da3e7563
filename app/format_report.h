// The volume-information report shown after a successful format. Portable, so the dialog and
// the command-line tool show the same text.
#pragma once

#include <cstdint>
#include <string>

#include "base/number_text.h"
#include "res/messages.h"

namespace brc {

// The figures formatCard hands back beside its result.
struct FormatReportValues {
    int32_t overwriteResult = -1; // -1: no overwrite ran; 0: completed; else failed
    int32_t eraseResult = -1;     // -1: no flash erase ran; 0: completed; else failed
    uint32_t status = 0;          // the run's status word
    uint32_t fileSystemKind = 0;  // FsType
    uint32_t totalSectors = 0;    // sectors of the data area
    uint32_t clusterBytes = 0;
};

// The name the report gives a file-system type: FAT32, exFAT, or FAT for the rest.
const char* fileSystemName(uint32_t fsType);

// The message id of the note that says which passes ran, or 0 when there is none.
uint32_t reportNoteId(int32_t overwriteResult, int32_t eraseResult, uint32_t status);

// " - Total space = ... " for `totalSectors` sectors; a report after result 3
// (`reinsertCard`) has its own forms for large cards.
std::string formatTotalSpace(uint32_t totalSectors, bool reinsertCard);

// "(1,234,567 Bytes)    \n": the byte count in groups of three digits.
std::string formatByteCount(uint64_t bytes);

// File-system block, total space, byte count and cluster size, appended to `report`.
void appendVolumeInformation(std::u16string& report, bool reinsertCard, uint32_t fileSystemKind,
                             uint32_t totalSectors, uint32_t clusterBytes);

// The whole report: header 218 after result 3 (SuccessReinsertCard), 208 after any other
// result (the caller builds it only after 0 or 3); message 268 straight after the header when
// the label was rejected; the note; the volume information.
std::u16string buildVolumeReport(const MessageSource& messages, int32_t result,
                                 uint32_t labelRejected, const FormatReportValues& values);

} // namespace brc

namespace brc {

// Message-box styles the outcome messages use.
constexpr uint32_t kStyleError = 0x10;       // MB_ICONERROR
constexpr uint32_t kStyleInformation = 0x40; // MB_ICONINFORMATION
constexpr uint32_t kStyleQuestion = 0x131;   // MB_OKCANCEL | MB_ICONEXCLAMATION | MB_DEFBUTTON2

// The message for a result that is not shown as a report: of the label check before a format
// (`afterFormat` false) or of the format itself. Result 0, and 3 after a format, have none (0).
uint32_t resultMessageId(int32_t result, bool afterFormat);
uint32_t resultMessageStyle(int32_t result);

// What the user sees once a format has returned, decided in this order: a power broadcast,
// a failed write (status bits 0x11), a non-zero result, then the report.
struct OutcomeMessage {
    uint32_t messageId = 0; // a message to show instead of the report; 0 for the report
    uint32_t style = 0;
};
OutcomeMessage decideFormatOutcome(int32_t result, uint32_t status, uint32_t powerAbort,
                                   uint32_t powerEvent);

} // namespace brc
