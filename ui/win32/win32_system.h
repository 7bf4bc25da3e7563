// The dialogs on real windows, from the dialog templates compiled into the program (or into the
// language library named by setResourceModule). One dialog procedure serves every dialog: it
// finds the Dialog object in the window's user data and hands each message to its routing.
//
// Modal dialogs run as a modeless window with our own message loop, with the owner disabled
// meanwhile, the way a dialog class library runs them: DialogBox's internal loop would give no
// place to offer messages to PreTranslateMessage. The loop does what DialogBox's does, with that
// step first: each message goes to PreTranslateMessage of the dialogs it concerns (from its
// window up through parents and owners), then to IsDialogMessageW of the modal dialog (Tab,
// Enter on the default button, Escape as IDCANCEL), then to TranslateMessage and
// DispatchMessageW. So a dialog that consumes F5, Enter or Escape sees them before the dialog
// manager does, and everything it does not consume behaves exactly as in DialogBox. The pump
// does the same with the main window's dialog manager. Message boxes keep the system's own
// loop: their keys are theirs.
//
// The header has no system include, so the program entry of any layer can create one.
#pragma once

#include <memory>

#include "ui/window_system.h"

namespace brc::ui {

class Win32System final : public WindowSystem {
public:
    // `instance` is the program's module (HINSTANCE; null for the executable's). Registers the
    // common control classes. The system must outlive every dialog that uses it.
    explicit Win32System(void* instance = nullptr);
    ~Win32System() override;
    Win32System(const Win32System&) = delete;
    Win32System& operator=(const Win32System&) = delete;

    intptr_t runModal(Dialog& dialog, Dialog* parent) override;
    bool createModeless(Dialog& dialog, Dialog* parent) override;
    void destroyWindow(WindowHandle window) override;
    void endDialog(WindowHandle window, intptr_t result) override;
    void showWindow(WindowHandle window, bool show) override;
    void setMainWindow(Dialog* dialog) override;
    void setResourceModule(void* module) override;
    std::u16string loadString(uint32_t id) override;
    void setCaption(WindowHandle window, const std::u16string& text) override;
    std::u16string caption(WindowHandle window) override;
    void setControlText(WindowHandle window, int controlId, const std::u16string& text) override;
    std::u16string controlText(WindowHandle window, int controlId) override;
    void enableControl(WindowHandle window, int controlId, bool enable) override;
    bool controlEnabled(WindowHandle window, int controlId) override;
    void showControl(WindowHandle window, int controlId, bool show) override;
    bool controlVisible(WindowHandle window, int controlId) override;
    void comboReset(WindowHandle window, int controlId) override;
    int comboAdd(WindowHandle window, int controlId, const std::u16string& text) override;
    int comboCount(WindowHandle window, int controlId) override;
    int comboSelection(WindowHandle window, int controlId) override;
    int comboSelect(WindowHandle window, int controlId, int index) override;
    std::u16string comboItemText(WindowHandle window, int controlId, int index) override;
    int comboFindExact(WindowHandle window, int controlId, const std::u16string& text) override;
    int comboSelectString(WindowHandle window, int controlId, const std::u16string& text) override;
    bool setControlImage(WindowHandle window, int controlId, int bitmapId) override;
    bool animationOpen(WindowHandle window, int controlId, int resourceId) override;
    bool animationPlay(WindowHandle window, int controlId, int repeat, uint32_t from,
                       uint32_t to) override;
    bool animationStop(WindowHandle window, int controlId) override;
    IconHandle loadIcon(int resourceId) override;
    void setWindowIcon(WindowHandle window, IconHandle icon) override;
    uintptr_t setTimer(WindowHandle window, uintptr_t timerId, uint32_t milliseconds) override;
    bool killTimer(WindowHandle window, uintptr_t timerId) override;
    int messageBox(WindowHandle owner, const std::u16string& text, const std::u16string& caption,
                   uint32_t style) override;
    void beginWaitCursor() override;
    void endWaitCursor() override;
    void pumpPendingMessages() override;
    bool postMessage(WindowHandle window, uint32_t message, uintptr_t wParam,
                     intptr_t lParam) override;
    intptr_t sendMessage(WindowHandle window, uint32_t message, uintptr_t wParam,
                         intptr_t lParam) override;
    void repaint(WindowHandle window) override;
    void updateWindow(WindowHandle window) override;
    void redrawControl(WindowHandle window, int controlId) override;
    Rect mapDialogRect(WindowHandle window, const Rect& dialogUnits) override;
    Rect clientRect(WindowHandle window) override;
    bool isMinimized(WindowHandle window) override;
    int systemMetric(int index) override;
    DeviceContext beginPaint(WindowHandle window) override;
    void endPaint(WindowHandle window, DeviceContext dc) override;
    void drawRoundRect(DeviceContext dc, const Rect& pixels, uint32_t penColor, int ellipseWidth,
                       int ellipseHeight) override;
    void drawIcon(DeviceContext dc, int x, int y, IconHandle icon) override;
    int controlIdOf(WindowHandle window, intptr_t controlWindow) override;
    void setTextColors(DeviceContext dc, uint32_t textColor, uint32_t backColor) override;
    intptr_t whiteBrush() override;
    bool appendSystemMenuItem(WindowHandle window, uint32_t commandId,
                              const std::u16string& text) override;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace brc::ui
