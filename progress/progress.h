// Progress reporting, cancel and the status word of a format run, in numbers: how a stage is
// drawn is the front end's (the dialog and the terminal both implement ProgressView).
#pragma once

#include <cstdint>
#include <string>

#include "base/format_types.h"

namespace brc {

// Bits of the status word; the passes only ever OR them in.
enum FormatStatusBits : uint32_t {
    StatusWriteFailed = 0x01,
    StatusOverwriteCancelled = 0x04,
    StatusEraseFailedLater = 0x10,
    StatusEraseNotStarted = 0x20,
    StatusEraseCancelled = 0x40,
};

// The process-wide flags of a run. Plain integers: one thread reads and writes them.
struct RunFlags {
    uint32_t cancelRequested = 0;
    uint32_t powerAbort = 0;
    uint32_t powerEvent = 0;
    uint32_t labelRejected = 0;
    uint32_t* formatStatus = nullptr;
    uint32_t formatProgressEnabled = 0;
    uint32_t lastFormatPercent = 0;

    void orStatus(uint32_t bits) {
        if (formatStatus) *formatStatus |= bits;
    }
};

// The stages of a format run, each with its own line in the progress window.
enum class ProgressStage : uint8_t { Overwrite, Erase, Format };

// Where a stage stands.
enum class StageState : uint8_t {
    Off,         // not part of this run's type
    Waiting,     // part of it, not started yet
    Running,     // done of total; complete when done == total
    Cancelled,   // stopped by Cancel or a suspend
    Unsupported, // the card or its host cannot do it
};

// One report of a stage, in numbers; the front end makes its text.
struct StageProgress {
    ProgressStage stage;
    StageState state;
    uint64_t done = 0;  // sectors
    uint64_t total = 0; // sectors
    // The whole percentage the stage counts: the overwrite counts it in chunks, not sectors.
    uint32_t percent = 0;
};

// What the passes report to: the stages' numbers, and the event pump.
class ProgressView {
public:
    virtual ~ProgressView() = default;
    // Shows the stage's state at once (repainted before the call returns).
    virtual void showStage(const StageProgress& stage) = 0;
    // Handles pending events (Cancel clicks, power notices, painting); never waits.
    virtual void pumpPendingMessages() = 0;
    // A diagnostic line for the console (standard output). A view that draws on the same
    // console overrides this to keep its lines intact.
    virtual void writeConsole(const std::string& text);
};

// The progress window as the passes reach it: `view` is null while no window exists.
struct Progress {
    RunFlags& flags;
    ProgressView* view = nullptr;
};

// The stage shown, then pump; nothing without a window.
void reportStage(Progress& progress, const StageProgress& stage);

// The file-system stage: share of partitionStart + systemSectors written, reported only when the
// whole percentage changes and formatProgressEnabled is set.
void reportFormatProgress(Progress& progress, uint32_t writePosition,
                          const FormatParameters& params);

// Plain decimal digits of a count.
std::string formatSectorCount(uint64_t count);

// A diagnostic line on the console, through the window when there is one.
void writeConsoleLine(Progress& progress, const std::string& text);

// ASCII to UTF-16 for texts built with printf-style formats.
std::u16string asciiToUtf16(const std::string& text);

} // namespace brc

namespace brc {

// Where the progress window comes from: the dialog creates a real window, the console draws
// lines. A format run creates it once and destroys it on every way out.
class ProgressWindowHost {
public:
    virtual ~ProgressWindowHost() = default;
    virtual ProgressView* createProgressWindow() = 0;
    virtual void destroyProgressWindow() = 0;
};

} // namespace brc
