// The Format command: everything between the user pressing Format and the last message of that
// attempt. Portable: the main dialog drives it with windows, the command line with a terminal,
// the tests with a script, each through a FormatHost.
#pragma once

#include <cstdint>
#include <string>

#include "app/card_probes.h"
#include "app/format_report.h"
#include "base/format_clock.h"
#include "base/format_types.h"
#include "format/format_card.h"
#include "res/messages.h"

namespace brc {

struct RunFlags;
class ProgressWindowHost;

// What the command asks of its front end. EnableControls and the wait cursor keep the main
// dialog's own (class-library) names, so the dialog has one method of each name, not two.
class FormatHost {
public:
    virtual ~FormatHost() = default;
    // A question box; true for OK.
    virtual bool confirm(uint32_t messageId, const std::u16string& text, uint32_t style) = 0;
    // A message box: one of the table's messages, or the report (messageId 0).
    virtual void showMessage(uint32_t messageId, const std::u16string& text, uint32_t style) = 0;
    // The label edit, Format, Refresh, Option, the drive list and Exit, in that order.
    virtual void EnableControls(bool enable) = 0;
    virtual void stopPollTimer() = 0;
    virtual void startPollTimer() = 0;
    virtual void refreshDriveList() = 0;
    virtual void BeginWaitCursor() = 0;
    virtual void EndWaitCursor() = 0;
    // Redraws the main window at once, so a closed box leaves no trace.
    virtual void repaintNow() = 0;
    // Handles pending events, so a power broadcast that came meanwhile is seen.
    virtual void pumpPendingMessages() = 0;
    virtual ProgressWindowHost& progressWindow() = 0;
    // Called once the user has said yes, right before the format opens the card for writing:
    // the front end takes the card from the system (unmounts it) and makes sure it is still
    // the card it checked. A message id refuses the format with nothing written; 0 goes on.
    virtual uint32_t takeCardForWriting() { return 0; }
    // Told true as the format starts writing and false once it and the label written after it
    // are done, before the message that ends the attempt: meanwhile the card's volume goes and
    // comes back half written, and the front end keeps the system's AutoPlay off it.
    virtual void setWritingCard(bool writing) { (void)writing; }
};

// The process-wide state a command works with.
struct FormatEnvironment {
    DriverBinding& driver;
    SystemState& sys;
    RunFlags& flags;
    const MessageSource& messages;
    const CodePage& oem = cp437();
    const FormatClock& clock = systemFormatClock();
};

// The user's request: the drive list's text, the label edit's text and the options.
struct FormatRequest {
    std::u16string drive; // "E:" or "E:\"
    std::u16string label;
    FormatType formatType = Quick;
    bool sizeAdjustment = false;
    bool verify = false; // read back what the format wrote; a card that did not keep it failed
};

// How the attempt ended, as the user saw it.
enum class FormatEnd {
    Refused,   // the label check or the front end refused the card, or the drive was not ready;
               // nothing written
    Cancelled, // a confirmation was answered with Cancel; nothing written
    Failed,    // formatCard ran and a message other than the report was shown
    Formatted, // the report was shown (header 208 or 218)
};

struct FormatOutcome {
    FormatEnd end = FormatEnd::Refused;
    int32_t result = Success; // the check's result before formatCard, formatCard's after
    uint32_t messageId = 0;   // the message shown; 0 for the report or nothing
    std::u16string message;   // the text shown
    std::u16string label;     // the label as formatCard left it
    uint32_t status = 0;      // the status word
    uint32_t labelRejected = 0;
    FormatFigures figures;
};

// The root path of a drive-list text: a backslash is appended to a two-character text.
std::u16string rootPathOf(const std::u16string& driveText);

class FormatCommand {
public:
    FormatCommand(FormatEnvironment& env, FormatHost& host) : env_(env), host_(host) {}
    FormatOutcome run(const FormatRequest& request);

private:
    // The label check, the two questions and the front end's hold on the card; false when the
    // attempt ends there, with nothing written.
    bool mayWrite(FormatOutcome& outcome, const FormatRequest& request, ProbeContext& probe,
                  const std::u16string& root);
    // formatCard under the wait cursor with the controls off.
    void formatWithControlsOff(FormatOutcome& outcome, const FormatRequest& request,
                               const std::u16string& root);
    // The message that ends the attempt; after a clean format the label first.
    void conclude(FormatOutcome& outcome, const FormatRequest& request, ProbeContext& probe,
                  const std::u16string& root);
    // The label written after the format, and FAT32's repair after the system's label write.
    void labelCard(const FormatOutcome& outcome, const FormatRequest& request, ProbeContext& probe,
                   const std::u16string& root);
    void showReport(FormatOutcome& outcome);
    void show(FormatOutcome& outcome, uint32_t messageId, uint32_t style);
    void showPowerMessage(FormatOutcome& outcome);

    FormatEnvironment& env_;
    FormatHost& host_;
};

} // namespace brc
