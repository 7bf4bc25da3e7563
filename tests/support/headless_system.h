// In-memory windows built from the dialog templates, for tests: each control of a template
// becomes a record with its text, state, entries, picture and animation, and a test acts as the
// user would (click, type, choose an entry, press a key, let a timer run out) and as the system
// would (power and device broadcasts), through the same routing the real windows use.
//
// What the real system decides is mirrored where the dialogs depend on it: a disabled or hidden
// control takes no click; a key goes through PreTranslateMessage first, then the dialog manager
// of the running loop's dialog (Enter clicks the default button, Escape sends IDCANCEL), and
// only then reaches the control; WM_CLOSE becomes IDCANCEL; a modal dialog disables its owner;
// a drop-down list's text is its selection; destroying a window destroys the windows it owns
// and its timers; a message posted to a window that is gone is dropped.
//
// Message boxes are answered from a queue (IDOK once it is empty) and recorded. A modal run
// delivers what is queued, calls onModalDialog so the test can act inside the dialog (and open
// further dialogs from there), delivers again, and when the dialog is still open with nothing
// left to deliver it would wait for ever: it ends with -1 and records a fault instead.
//
// Misuse that real windows would silently ignore (an unknown control id, a combo box call on
// another kind of control, an unbalanced wait cursor, a stalled modal run) is recorded in
// faults(), so a test can insist on none.
#pragma once

#include <deque>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "res/dialog_templates.h"
#include "res/messages.h"
#include "ui/window_system.h"

namespace brc::ui {

struct MessageBoxRecord {
    int ownerTemplate = 0;  // the owner's template id; 0 for an ownerless box
    std::u16string text;
    std::u16string caption;
    uint32_t style = 0;
    int answer = 0;
};

// What became of a key message.
enum class KeyFate {
    Consumed,  // a PreTranslateMessage took it
    Command,   // the dialog manager turned it into a command (Enter, Escape)
    Control,   // it reached the control (or the dialog window itself)
    Dropped,   // no such window, or the dialog manager refused it (its default button disabled)
};

struct KeyRecord {
    int controlId = 0;
    uint32_t message = 0;
    uintptr_t key = 0;
    bool operator==(const KeyRecord&) const = default;
};

struct AnimationState {
    int resourceId = 0;  // the animation open, 0 for none
    bool playing = false;
    int repeat = 0;
    uint32_t from = 0, to = 0;
};

struct PaintRecord {
    enum Kind { RoundRect, Icon } kind = RoundRect;
    Rect rect;                  // RoundRect; for Icon, left and top are the position
    uint32_t penColor = 0;
    int ellipseWidth = 0, ellipseHeight = 0;
    IconHandle icon = 0;
};

struct CtlColorOutcome {
    Reply reply;
    bool colorsSet = false;
    uint32_t textColor = 0, backColor = 0;
    bool whiteBrush = false;  // the reply's result is the stock white brush
};

class HeadlessSystem final : public WindowSystem {
public:
    using TemplateLookup = const res::DialogTemplate* (*)(int dialogId);
    explicit HeadlessSystem(TemplateLookup lookup = &res::findDialog);
    ~HeadlessSystem() override;

    // ---- Script -----------------------------------------------------------------------------
    // Answers for the next message boxes, in order.
    void queueAnswers(std::initializer_list<int> answers);
    // Called once a modal dialog is open and what was queued is delivered.
    std::function<void(Dialog&)> onModalDialog;
    // Called at the start of every pumpPendingMessages.
    std::function<void()> onPump;
    // Bitmaps, icons and animations that cannot be loaded.
    std::set<int> missingResources;
    // Pixels per 4 horizontal and 8 vertical dialog units: the templates' 8-point font.
    int baseUnitX = 6;
    int baseUnitY = 13;

    // ---- The user and the system, now -------------------------------------------------------
    // BN_CLICKED from an enabled, visible control of an enabled window; false when refused.
    bool click(Dialog& dialog, int controlId);
    // The edit's new text and EN_CHANGE.
    bool typeText(Dialog& dialog, int controlId, const std::u16string& text);
    // A combo box entry chosen from its list, and CBN_SELCHANGE.
    bool selectItem(Dialog& dialog, int controlId, int index);
    // WM_KEYDOWN then WM_KEYUP aimed at the control (0: the dialog); the key-down's fate.
    KeyFate pressKey(Dialog& dialog, uint32_t key, int controlId = 0);
    KeyFate sendKey(Dialog& dialog, uint32_t message, uint32_t key, int controlId = 0);
    // WM_TIMER of a running timer; false when the window has no such timer.
    bool fireTimer(Dialog& dialog, uintptr_t timerId);
    // WM_SYSCOMMAND of an item the window appended to its system menu.
    bool chooseSystemMenuItem(Dialog& dialog, uint32_t commandId);
    Reply sendPowerBroadcast(Dialog& dialog, uint32_t event);
    // lParam points to a broadcast header of this device type.
    Reply sendDeviceChange(Dialog& dialog, uint32_t event, uint32_t deviceType);
    // Any message, with the default processing when the dialog leaves it.
    Reply send(Dialog& dialog, uint32_t message, uintptr_t wParam = 0, intptr_t lParam = 0);
    // WM_CTLCOLOR* for the control, with a fresh device context.
    CtlColorOutcome ctlColor(Dialog& dialog, int controlId, uint32_t message = WmCtlColorStatic);
    void setMinimized(Dialog& dialog, bool minimized);

    // ---- Queued, for the pump and modal loops -----------------------------------------------
    void postClick(Dialog& dialog, int controlId);
    void postKey(Dialog& dialog, uint32_t key, int controlId = 0);
    void postTimer(Dialog& dialog, uintptr_t timerId);
    void postPowerBroadcast(Dialog& dialog, uint32_t event);
    void postDeviceChange(Dialog& dialog, uint32_t event, uint32_t deviceType);
    void postAction(std::function<void()> action);
    size_t pendingMessages() const { return queue_.size(); }

    // ---- What happened ----------------------------------------------------------------------
    const std::vector<MessageBoxRecord>& messageBoxes() const { return boxes_; }
    const std::vector<std::string>& faults() const { return faults_; }
    // The faults so far, which are then forgotten.
    std::vector<std::string> takeFaults() { return std::exchange(faults_, {}); }
    bool isOpen(const Dialog& dialog) const;
    bool isModal(const Dialog& dialog) const;
    bool isWindowEnabled(const Dialog& dialog) const;
    bool isWindowVisible(const Dialog& dialog) const;
    // The innermost running modal dialog, or null.
    Dialog* activeModal() const;
    // Keys that reached the window's controls, in order.
    std::vector<KeyRecord> keysReceived(const Dialog& dialog) const;
    // Running timers: id and period.
    std::map<uintptr_t, uint32_t> timers(const Dialog& dialog) const;
    int controlImage(const Dialog& dialog, int controlId) const;
    AnimationState animation(const Dialog& dialog, int controlId) const;
    std::vector<std::pair<uint32_t, std::u16string>> systemMenu(const Dialog& dialog) const;
    IconHandle windowIcon(const Dialog& dialog) const;
    // The resource id an icon handle was loaded from; 0 for none.
    int iconResource(IconHandle icon) const;
    int repaintCount(const Dialog& dialog) const;
    int updateCount(const Dialog& dialog) const;
    int redrawCount(const Dialog& dialog, int controlId) const;
    std::vector<PaintRecord> paints(const Dialog& dialog) const;
    int waitCursorDepth() const { return waitDepth_; }
    int waitCursorBegins() const { return waitBegins_; }

    // ---- WindowSystem -----------------------------------------------------------------------
    intptr_t runModal(Dialog& dialog, Dialog* parent) override;
    bool createModeless(Dialog& dialog, Dialog* parent) override;
    void destroyWindow(WindowHandle window) override;
    void endDialog(WindowHandle window, intptr_t result) override;
    void showWindow(WindowHandle window, bool show) override;
    void setMainWindow(Dialog* dialog) override { main_ = dialog; }
    void setResourceModule(void* module) override { resourceModule_ = module; }
    // The program's own table: the in-memory windows carry no other.
    std::u16string loadString(uint32_t id) override { return builtinMessages().text(id); }
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
    struct Control;
    struct Window;
    struct Posted {
        uintptr_t window;                // 0: not tied to a window
        std::function<void()> deliver;
    };

    Window* find(WindowHandle window) const;
    Window* find(const Dialog& dialog) const;
    Window* byNumber(uintptr_t number) const;
    // The control, or null with a fault recorded.
    Control* control(Window* window, int controlId, const char* what);
    Control* combo(WindowHandle window, int controlId, const char* what);
    intptr_t controlWindow(const Window& window, const Control& control) const;
    uintptr_t create(Dialog& dialog, uintptr_t owner, bool modal);
    Reply deliver(uintptr_t window, uint32_t message, uintptr_t wParam, intptr_t lParam);
    Reply defaultProcessing(uintptr_t window, uint32_t message, uintptr_t wParam);
    bool offerToDialogs(uintptr_t window, const Message& message);
    // The dialog whose manager sees the keys: the innermost modal dialog, else the main window.
    uintptr_t loopDialog() const;
    void post(uintptr_t window, std::function<void()> deliver);
    // Delivers queued messages until the queue is empty or `until` holds.
    void drain(const std::function<bool()>& until);
    void fault(std::string text);

    TemplateLookup lookup_;
    std::map<uintptr_t, std::unique_ptr<Window>> windows_;
    uintptr_t nextWindow_ = 1;
    std::vector<uintptr_t> modalStack_;
    std::deque<Posted> queue_;
    std::deque<int> answers_;
    std::vector<MessageBoxRecord> boxes_;
    std::vector<std::string> faults_;
    std::map<IconHandle, int> icons_;
    std::map<DeviceContext, uintptr_t> paintContexts_;  // the window painted on
    std::map<DeviceContext, std::pair<uint32_t, uint32_t>> colors_;
    DeviceContext nextContext_ = 1;
    Dialog* main_ = nullptr;
    void* resourceModule_ = nullptr;
    int waitDepth_ = 0;
    int waitBegins_ = 0;
};

} // namespace brc::ui
