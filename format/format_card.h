// One format from the request to its result: open and check the card, take the volume,
// pre-check, the full-format passes, the file system, release everything.
#pragma once

#include <cstdint>
#include <string>

#include "base/format_types.h"
#include "engine/layout.h"
#include "format/write_sequence.h"

namespace brc {

struct DriverBinding;
struct Progress;
struct SystemState;
struct ExFatState;
class ProgressWindowHost;

// What one run works with. `progress.view` is set while the window exists.
struct FormatServices {
    DriverBinding& driver;
    SystemState& sys;
    Progress& progress;
    ProgressWindowHost& window;
    ExFatState& exfat;
    ReportValues& report;
    const CodePage& oem = cp437();
    const FormatClock& clock = systemFormatClock();
};

// The read-back of what a run wrote, when the caller asks for it.
struct VerifyFigures {
    bool asked = false;      // in: read back every sector the run wrote once it is written
    bool done = false;       // the read-back ran (the format wrote everything it meant to)
    bool kept = false;       // every sector read back as last written
    bool unreadable = false; // `sector` could not be read at all
    uint32_t sector = 0;     // the first sector that did not read back as written
    uint64_t sectors = 0;    // sectors read back
    uint32_t time = 0;       // ms
};

// The caller's values handed to and back from a run.
struct FormatFigures {
    uint32_t overwriteTime = 0;   // ms; 0 on entry (the window is created only then)
    uint32_t eraseTime = 0;       // ms
    int32_t overwriteResult = -1; // -1 when no overwrite ran
    int32_t eraseResult = -1;     // -1 when no erase ran
    uint32_t totalSectors = 0;    // data-area sectors
    uint32_t partitionSectors = 0;
    uint32_t clusterBytes = 0;
    uint32_t fileSystemKind = 0; // FsType
    VerifyFigures verify;
    // The layout the run's pre-check planned, which its passes write; left as it was when the
    // run stops before its pre-check.
    FormatPlan plan;
};

// The run's status word is progress.flags.formatStatus (the caller clears it first).
int32_t formatCard(FormatServices& svc, const std::u16string& rootPath, std::u16string& label,
                   bool sizeAdjustment, FormatType formatType, FormatFigures& figures);

} // namespace brc
