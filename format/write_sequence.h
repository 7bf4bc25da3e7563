// One front-to-back pass that puts a complete, empty file system on the card, and the two-pass
// format of a volume (verify the partition entry, then write).
#pragma once

#include <cstdint>
#include <string>

#include "base/code_page.h"
#include "base/format_clock.h"
#include "base/format_types.h"

namespace brc {

struct DriverBinding;
struct Progress;
struct ExFatState;
struct FormatPlan;

// Figures of the last successful write pass, for the report.
struct ReportValues {
    uint32_t reportDataSectors = 0;      // userSectors - partitionStart - systemSectors
    uint32_t reportPartitionSectors = 0; // userSectors - partitionStart
    uint32_t reportClusterBytes = 0;
    uint32_t reportFsType = 0;
};

// What a format run hands down to its passes.
struct WriteContext {
    DriverBinding& driver;
    Progress& progress; // flags (powerAbort, labelRejected) and the progress window
    ExFatState& exfat;  // OEM parameters carried over, serial source
    ReportValues& report;
    const CodePage& oem = cp437();
    const FormatClock& clock = systemFormatClock();
};

// A pass's own answers. The others are the stream's kCardGone or the non-zero result of a writer
// or driver call, in the same number space; WriteProtected and OutOfMemory keep the format
// path's numbers so that formatVolume hands them on as they are.
enum PassResult : uint32_t {
    PassDone = 0,
    PassStopped = 1,                     // no layout, or a power abort between two writers
    PassWriteProtected = WriteProtected, // the card refused the first chunk with its protect code
    PassOutOfMemory = OutOfMemory,       // no chunk buffer
};

// One pass over the run's plan: a PassResult or another step's result (above); in the
// verification pass also kPartitionEntryDiffers, which shares PassStopped's number. Every pass
// identifies the card first; a card that answers the capacity the plan was made from is written
// as planned, one that answers another is planned afresh from its answer (with `label` and the
// plan's size-adjustment choice). `label` is cleared when rejected and handed back as written.
uint32_t writeFileSystem(WriteContext& ctx, const FormatPlan& plan, std::u16string& label,
                         bool verifyOnly);

// Verification pass, then write pass: Success, PowerInterrupted, SuccessReinsertCard (the
// verification pass gave anything but PassDone), WriteProtected, OutOfMemory or Failed.
FormatResult formatVolume(WriteContext& ctx, const FormatPlan& plan, std::u16string& label);

// The same without a plan: each pass plans from the card's answer, `label` and
// `sizeAdjustment` (the write sequence on its own, as its tests drive it).
uint32_t writeFileSystem(WriteContext& ctx, std::u16string& label, bool verifyOnly,
                         bool sizeAdjustment);
FormatResult formatVolume(WriteContext& ctx, std::u16string& label, bool sizeAdjustment);

} // namespace brc
