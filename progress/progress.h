// Progress reporting, cancel and the status word of a format run, independent of how the
// progress lines are drawn: the dialog and the terminal both implement ProgressView.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/format_types.h"
#include "res/messages.h"

namespace brc {

// Controls of the progress window.
enum ProgressControl : uint32_t {
    NoticeLine = 1014,
    FormatLine = 1027,
    OverwriteLine = 1028,
    EraseLine = 1029,
    CancelButton = 1031,
};

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

// What the passes draw on: a line's text by control id, and the event pump.
class ProgressView {
public:
    virtual ~ProgressView() = default;
    // Sets the control's text and repaints it at once.
    virtual void setLineText(uint32_t controlId, const std::u16string& text) = 0;
    // Handles pending events (Cancel clicks, power notices, painting); never waits.
    virtual void pumpPendingMessages() = 0;
    // A diagnostic line for the console (standard output). A view that draws on the same
    // console overrides this to keep its lines intact.
    virtual void writeConsole(const std::string& text);
};

// The progress window as the passes reach it: `view` is null while no window exists.
struct Progress {
    RunFlags& flags;
    const MessageSource& messages;
    ProgressView* view = nullptr;
};

// Caption message + suffix onto a line, then pump.
void showProgressLine(Progress& progress, uint32_t controlId, uint32_t captionId,
                      const std::u16string& suffix);

// The line of a pass that redraws after every chunk: the caption is loaded once, when the pass
// starts with a window, and each redraw only appends its suffix. Draws nothing without a window.
class ProgressLine {
public:
    ProgressLine(Progress& progress, uint32_t controlId, uint32_t captionId);
    // Caption + ASCII suffix onto the line, then pump, as showProgressLine.
    void show(std::string_view suffix);

private:
    Progress& progress_;
    uint32_t controlId_;
    std::u16string caption_;
    std::u16string text_; // kept, so redraws stop allocating once it has grown
};

// The file-system line: share of partitionStart + systemSectors written, drawn only when the
// whole percentage changes and formatProgressEnabled is set.
void reportFormatProgress(Progress& progress, uint32_t writePosition,
                          const FormatParameters& params);

// Plain decimal digits of a count.
std::string formatSectorCount(uint64_t count);

// A diagnostic line on the console, through the window when there is one.
void writeConsoleLine(Progress& progress, const std::string& text);

// ASCII to UTF-16 for suffixes built with printf-style formats.
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
