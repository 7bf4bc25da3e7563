// The main window (IDD_BRINDLECARD): the drive list with the selected card's capacity, picture and
// label, the options summary, and the buttons Option, Refresh, Format and Exit. It watches the
// system (a one-second poll, device changes, F5, power broadcasts), cancels AutoPlay while a
// format writes the card, and is the Format command's host.
#pragma once

#include <cstdint>
#include <string>

#include "app/card_probes.h"
#include "app/format_command.h"
#include "app/wait_dialog.h"
#include "base/format_types.h"
#include "res/resource_ids.h"
#include "ui/dialog.h"

namespace brc {

class OsServices;
struct DriverBinding;
struct SystemState;

// The caption of every message box the program shows.
inline constexpr char16_t kAppCaption[] = u"Brindlecard";

// The application's own message box, without an owner window.
class AppShell {
public:
    virtual ~AppShell() = default;
    virtual int ShowAppMessage(const std::u16string& text, const std::u16string& caption,
                               uint32_t style) = 0;
};

// What the program's start-up hands the main dialog.
struct AppContext {
    OsServices& os;
    DriverBinding& driver;
    SystemState& sys;
    RunFlags& flags;
    const MessageSource& messages;
    uint32_t retryMode = 0;
    uint32_t checkApiMode = 0;
    std::u16string languageTag;
    AppShell* shell = nullptr; // for the ownerless box when the library cannot be bound again
};

class CBrindlecardDlg final : public ui::Dialog, public FormatHost {
public:
    static constexpr uintptr_t kPollTimerId = 1090;

    CBrindlecardDlg(ui::WindowSystem& system, AppContext& app);

    // The user's options (not kept between runs).
    FormatType formatType = Quick;
    uint32_t sizeAdjustment = 0;
    uintptr_t pollTimer = 0;

    // The drive list and what hangs off it.
    void refreshDriveList() override;
    void onDriveSelChange();
    void showDriveCapacity(const std::u16string& rootPath);
    int IsEraseAvailable(const std::u16string& rootPath);
    void UpdateOptionsText();
    void OnRefresh();
    void OnOption();
    void OnFormat();
    // The outcome of the last Format press, for whoever wants to know (the tests).
    const FormatOutcome& lastFormat() const { return lastFormat_; }

    // FormatHost.
    bool confirm(uint32_t messageId, const std::u16string& text, uint32_t style) override;
    void showMessage(uint32_t messageId, const std::u16string& text, uint32_t style) override;
    void EnableControls(bool enable) override;
    void stopPollTimer() override;
    void startPollTimer() override;
    void BeginWaitCursor() override { ui::Dialog::BeginWaitCursor(); }
    void EndWaitCursor() override { ui::Dialog::EndWaitCursor(); }
    void repaintNow() override;
    void pumpPendingMessages() override { System().pumpPendingMessages(); }
    ProgressWindowHost& progressWindow() override { return progress_; }
    void setWritingCard(bool writing) override { writingCard_ = writing; }

protected:
    bool OnInitDialog() override;
    bool OnCommand(int controlId, uint32_t notification) override;
    bool PreTranslateMessage(const ui::Message& message) override;
    ui::Reply WindowProc(uint32_t message, uintptr_t wParam, intptr_t lParam) override;

private:
    std::u16string selectedRoot();
    std::u16string caption();
    void onTimer(uintptr_t timerId);
    void paint();
    void showPicture(int pictureId);
    std::u16string text(uint32_t id) const { return app_.messages.text(id); }

    AppContext& app_;
    ProbeContext probe_;
    CWaitDialog progress_;
    ui::IconHandle appIcon_ = 0;
    FormatOutcome lastFormat_;
    bool writingCard_ = false;
};

} // namespace brc
