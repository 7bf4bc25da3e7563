// The backend the dialogs run on: real windows from the program's resource templates
// (ui/win32) or, for tests, in-memory windows built from the same templates (tests/support).
// Dialog calls it for everything it does to a window; the backend calls back into the dialog
// through the routing entry points at the end. Each call is one system call or its stand-in:
// what to do and when is the dialogs' business.
//
// Strings are UTF-16. Colours are COLORREF values (0x00BBGGRR).
#pragma once

#include <cstdint>
#include <string>

#include "ui/messages.h"

namespace brc::ui {

class Dialog;

// A window of the backend (an HWND, or the number of an in-memory window); zero for none.
enum class WindowHandle : uintptr_t {};
constexpr WindowHandle kNoWindow{};

using IconHandle = uintptr_t;    // HICON; 0 none
using DeviceContext = uintptr_t; // HDC of a paint or a WM_CTLCOLOR* message

struct Rect {
    int left = 0, top = 0, right = 0, bottom = 0;
    bool operator==(const Rect&) const = default;
};

// What a window procedure did with a message. Not handled leaves the message to the default
// processing of the dialog manager, and the result is then not used.
struct Reply {
    bool handled = false;
    intptr_t result = 0;
};

class WindowSystem {
public:
    virtual ~WindowSystem() = default;

    // ---- Windows ----------------------------------------------------------------------------
    // Runs the dialog modally: its window from its template, OnInitDialog, then a message loop
    // until EndDialog, the window destroyed again. The owner (the parent's window, else the
    // innermost modal dialog, else the main window) is disabled meanwhile. Returns the result
    // given to EndDialog, or -1 when the window could not be created.
    virtual intptr_t runModal(Dialog& dialog, Dialog* parent) = 0;
    // Creates the dialog's window modeless, owned by the parent's window; false on failure.
    virtual bool createModeless(Dialog& dialog, Dialog* parent) = 0;
    // Destroys the window and the windows it owns.
    virtual void destroyWindow(WindowHandle window) = 0;
    // Ends a modal run with this result; a modeless window is only hidden.
    virtual void endDialog(WindowHandle window, intptr_t result) = 0;
    virtual void showWindow(WindowHandle window, bool show) = 0;
    // The program's main window, whose dialog manager the pump offers messages to; null for
    // none. The dialog must outlive the setting or be unset first.
    virtual void setMainWindow(Dialog* dialog) = 0;
    // Where templates, bitmaps, icons and the animation are loaded from: a module handle (a
    // language library), or null for the program file itself.
    virtual void setResourceModule(void* module) = 0;
    // A string-table text from the resource module (LoadStringW); empty when it has none.
    virtual std::u16string loadString(uint32_t id) = 0;

    // ---- Texts and states -------------------------------------------------------------------
    virtual void setCaption(WindowHandle window, const std::u16string& text) = 0;
    virtual std::u16string caption(WindowHandle window) = 0;
    virtual void setControlText(WindowHandle window, int controlId, const std::u16string& text) = 0;
    // A drop-down list's text is its selected entry.
    virtual std::u16string controlText(WindowHandle window, int controlId) = 0;
    virtual void enableControl(WindowHandle window, int controlId, bool enable) = 0;
    virtual bool controlEnabled(WindowHandle window, int controlId) = 0;
    virtual void showControl(WindowHandle window, int controlId, bool show) = 0;
    virtual bool controlVisible(WindowHandle window, int controlId) = 0;

    // ---- Combo boxes (indices; -1 for none or failure, as CB_ERR) ---------------------------
    virtual void comboReset(WindowHandle window, int controlId) = 0;
    // In order, or at its sorted place when the control has CBS_SORT; the new entry's index.
    virtual int comboAdd(WindowHandle window, int controlId, const std::u16string& text) = 0;
    virtual int comboCount(WindowHandle window, int controlId) = 0;
    virtual int comboSelection(WindowHandle window, int controlId) = 0;
    // CB_SETCURSEL: -1 (and no selection) for an index out of range.
    virtual int comboSelect(WindowHandle window, int controlId, int index) = 0;
    virtual std::u16string comboItemText(WindowHandle window, int controlId, int index) = 0;
    // CB_FINDSTRINGEXACT from the start: the whole text, case-insensitive.
    virtual int comboFindExact(WindowHandle window, int controlId, const std::u16string& text) = 0;
    // CB_SELECTSTRING from the start: the first entry beginning with the text, case-insensitive.
    virtual int comboSelectString(WindowHandle window, int controlId,
                                  const std::u16string& text) = 0;

    // ---- Pictures and the animation ---------------------------------------------------------
    // The bitmap resource into a bitmap static; false when it cannot be loaded.
    virtual bool setControlImage(WindowHandle window, int controlId, int bitmapId) = 0;
    virtual bool animationOpen(WindowHandle window, int controlId, int resourceId) = 0;
    // Frames from..to (0xFFFF the last), repeat -1 for endless.
    virtual bool animationPlay(WindowHandle window, int controlId, int repeat, uint32_t from,
                               uint32_t to) = 0;
    virtual bool animationStop(WindowHandle window, int controlId) = 0;
    virtual IconHandle loadIcon(int resourceId) = 0;
    // The big and the small icon of the window.
    virtual void setWindowIcon(WindowHandle window, IconHandle icon) = 0;

    // ---- Timers, boxes, cursor --------------------------------------------------------------
    // SetTimer without callback: WM_TIMER goes to the window. The timer's id, 0 on failure.
    virtual uintptr_t setTimer(WindowHandle window, uintptr_t timerId, uint32_t milliseconds) = 0;
    virtual bool killTimer(WindowHandle window, uintptr_t timerId) = 0;
    // MessageBoxW; owner kNoWindow for an ownerless box. The button pressed, 0 on failure.
    virtual int messageBox(WindowHandle owner, const std::u16string& text,
                           const std::u16string& caption, uint32_t style) = 0;
    // Counted: the arrow comes back at the last end.
    virtual void beginWaitCursor() = 0;
    virtual void endWaitCursor() = 0;

    // ---- Messages ---------------------------------------------------------------------------
    // Drains the thread's queue without waiting: each message is offered to PreTranslateMessage
    // of the dialogs it concerns, then to the main window's dialog manager, then dispatched.
    virtual void pumpPendingMessages() = 0;
    virtual bool postMessage(WindowHandle window, uint32_t message, uintptr_t wParam,
                             intptr_t lParam) = 0;
    virtual intptr_t sendMessage(WindowHandle window, uint32_t message, uintptr_t wParam,
                                 intptr_t lParam) = 0;

    // ---- Painting ---------------------------------------------------------------------------
    // InvalidateRect of the whole client area with erase, then UpdateWindow.
    virtual void repaint(WindowHandle window) = 0;
    virtual void updateWindow(WindowHandle window) = 0;
    // WM_PAINT sent to the control itself, so it draws its new text at once.
    virtual void redrawControl(WindowHandle window, int controlId) = 0;
    // Dialog units to pixels.
    virtual Rect mapDialogRect(WindowHandle window, const Rect& dialogUnits) = 0;
    virtual Rect clientRect(WindowHandle window) = 0;
    virtual bool isMinimized(WindowHandle window) = 0;
    virtual int systemMetric(int index) = 0;
    // BeginPaint / EndPaint within WM_PAINT.
    virtual DeviceContext beginPaint(WindowHandle window) = 0;
    virtual void endPaint(WindowHandle window, DeviceContext dc) = 0;
    // RoundRect with a solid pen of width 1 and the context's current brush.
    virtual void drawRoundRect(DeviceContext dc, const Rect& pixels, uint32_t penColor,
                               int ellipseWidth, int ellipseHeight) = 0;
    virtual void drawIcon(DeviceContext dc, int x, int y, IconHandle icon) = 0;
    // Within WM_CTLCOLOR*: the control a message's lParam names, the context's colours, and
    // the stock white brush to return.
    virtual int controlIdOf(WindowHandle window, intptr_t controlWindow) = 0;
    virtual void setTextColors(DeviceContext dc, uint32_t textColor, uint32_t backColor) = 0;
    virtual intptr_t whiteBrush() = 0;

    // ---- The system menu --------------------------------------------------------------------
    // A separator and a string item; false when the window has no system menu.
    virtual bool appendSystemMenuItem(WindowHandle window, uint32_t commandId,
                                      const std::u16string& text) = 0;

protected:
    // For the backends: the dialog's side of a window.
    static void attach(Dialog& dialog, WindowHandle window);
    static void detach(Dialog& dialog);
    static int templateId(const Dialog& dialog);
    // The dialog's window procedure, as the system calls it.
    static Reply route(Dialog& dialog, uint32_t message, uintptr_t wParam, intptr_t lParam);
    static bool preTranslate(Dialog& dialog, const Message& message);
};

} // namespace brc::ui
