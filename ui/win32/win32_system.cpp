// The dialogs on real windows. Everything called here exists in Windows XP's user32, gdi32 and
// comctl32.
#include "ui/win32/win32_system.h"

#include <windows.h>
#include <commctrl.h>
#include <dbt.h>

#include <algorithm>
#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "ui/dialog.h"

namespace brc::ui {

// The portable numbers are the system's.
static_assert(WmNull == WM_NULL && WmDestroy == WM_DESTROY && WmPaint == WM_PAINT);
static_assert(WmClose == WM_CLOSE && WmShowWindow == WM_SHOWWINDOW && WmSetCursor == WM_SETCURSOR);
static_assert(WmIconEraseBkgnd == WM_ICONERASEBKGND && WmQueryDragIcon == WM_QUERYDRAGICON);
static_assert(WmNcDestroy == WM_NCDESTROY && WmKeyDown == WM_KEYDOWN && WmKeyUp == WM_KEYUP);
static_assert(WmChar == WM_CHAR && WmSysKeyDown == WM_SYSKEYDOWN && WmSysKeyUp == WM_SYSKEYUP);
static_assert(WmInitDialog == WM_INITDIALOG && WmCommand == WM_COMMAND);
static_assert(WmSysCommand == WM_SYSCOMMAND && WmTimer == WM_TIMER);
static_assert(WmCtlColorMsgBox == WM_CTLCOLORMSGBOX && WmCtlColorEdit == WM_CTLCOLOREDIT);
static_assert(WmCtlColorListBox == WM_CTLCOLORLISTBOX && WmCtlColorBtn == WM_CTLCOLORBTN);
static_assert(WmCtlColorDlg == WM_CTLCOLORDLG && WmCtlColorScrollBar == WM_CTLCOLORSCROLLBAR);
static_assert(WmCtlColorStatic == WM_CTLCOLORSTATIC);
static_assert(WmPowerBroadcast == WM_POWERBROADCAST && WmDeviceChange == WM_DEVICECHANGE);
static_assert(BnClicked == BN_CLICKED && CbnSelChange == CBN_SELCHANGE && EnChange == EN_CHANGE);
static_assert(VkReturn == VK_RETURN && VkEscape == VK_ESCAPE && VkF5 == VK_F5);
static_assert(IdOk == IDOK && IdCancel == IDCANCEL && IdAbort == IDABORT && IdRetry == IDRETRY);
static_assert(IdIgnore == IDIGNORE && IdYes == IDYES && IdNo == IDNO);
static_assert(MbOk == MB_OK && MbOkCancel == MB_OKCANCEL && MbYesNo == MB_YESNO);
static_assert(MbIconError == MB_ICONERROR && MbIconQuestion == MB_ICONQUESTION);
static_assert(MbIconExclamation == MB_ICONEXCLAMATION && MbIconInformation == MB_ICONINFORMATION);
static_assert(MbDefButton2 == MB_DEFBUTTON2 && MbSetForeground == MB_SETFOREGROUND);
static_assert(WsChild == WS_CHILD && WsVisible == WS_VISIBLE && WsDisabled == WS_DISABLED);
static_assert(WsSysMenu == WS_SYSMENU && BsTypeMask == BS_TYPEMASK);
static_assert(BsDefPushButton == BS_DEFPUSHBUTTON && CbsDropDownList == CBS_DROPDOWNLIST);
static_assert(CbsSort == CBS_SORT && ScClose == SC_CLOSE);
static_assert(WmQueryCancelAutoPlay >= WM_APP && WmQueryCancelAutoPlay < 0xC000,
              "a private message, never a registered one's number");
static_assert(PbtApmSuspend == PBT_APMSUSPEND && PbtApmStandby == PBT_APMSTANDBY);
static_assert(PbtApmResumeSuspend == PBT_APMRESUMESUSPEND);
static_assert(PbtApmResumeStandby == PBT_APMRESUMESTANDBY);
static_assert(DbtDeviceArrival == DBT_DEVICEARRIVAL);
static_assert(DbtDeviceRemoveComplete == DBT_DEVICEREMOVECOMPLETE);
static_assert(DbtDevTypVolume == DBT_DEVTYP_VOLUME);
static_assert(sizeof(DeviceBroadcastHeader) == sizeof(DEV_BROADCAST_HDR));
static_assert(offsetof(DeviceBroadcastHeader, deviceType) ==
              offsetof(DEV_BROADCAST_HDR, dbch_devicetype));
static_assert(SmCxIcon == SM_CXICON && SmCyIcon == SM_CYICON);
static_assert(sizeof(wchar_t) == sizeof(char16_t));

namespace {

HWND hwndOf(WindowHandle window) { return reinterpret_cast<HWND>(static_cast<uintptr_t>(window)); }

WindowHandle handleOf(HWND hwnd) { return WindowHandle{reinterpret_cast<uintptr_t>(hwnd)}; }

HDC dcOf(DeviceContext dc) { return reinterpret_cast<HDC>(dc); }

std::wstring wide(const std::u16string& text) { return std::wstring(text.begin(), text.end()); }

std::u16string fromWide(const wchar_t* text, size_t length) {
    std::u16string out;
    out.reserve(length);
    for (size_t i = 0; i < length; ++i) out.push_back(static_cast<char16_t>(text[i]));
    return out;
}

std::u16string windowText(HWND hwnd) {
    if (!hwnd) return {};
    const int length = GetWindowTextLengthW(hwnd);
    if (length <= 0) return {};
    std::vector<wchar_t> buffer(static_cast<size_t>(length) + 1, L'\0');
    const int copied = GetWindowTextW(hwnd, buffer.data(), length + 1);
    return fromWide(buffer.data(), copied > 0 ? static_cast<size_t>(copied) : 0);
}

LPWSTR resourceName(int id) { return MAKEINTRESOURCEW(static_cast<WORD>(id)); }

LRESULT sendToControl(WindowHandle window, int controlId, UINT message, WPARAM wParam,
                      LPARAM lParam) {
    return SendDlgItemMessageW(hwndOf(window), controlId, message, wParam, lParam);
}

// CB_ERR and CB_ERRSPACE are both failures to the callers.
int indexResult(LRESULT result) { return result < 0 ? -1 : static_cast<int>(result); }

// Messages whose dialog-procedure result is the answer itself rather than TRUE with the answer
// in DWLP_MSGRESULT.
bool answersDirectly(UINT message) {
    return (message >= WM_CTLCOLORMSGBOX && message <= WM_CTLCOLORSTATIC) ||
           message == WM_COMPAREITEM || message == WM_VKEYTOITEM || message == WM_CHARTOITEM ||
           message == WM_QUERYDRAGICON || message == WM_INITDIALOG;
}

} // namespace

// One modal run; outlives its window, so a window destroyed under the loop still ends it.
struct ModalRun {
    bool ended = false;
    intptr_t result = -1;
};

struct Win32System::Impl {
    struct Window {
        Dialog* dialog = nullptr;
        ModalRun* run = nullptr;        // null for a modeless window
        std::map<int, HBITMAP> bitmaps; // loaded for the bitmap statics, by resource id
    };

    HINSTANCE instance = nullptr;
    HINSTANCE resources = nullptr;
    UINT autoPlayQuery = 0; // "QueryCancelAutoPlay" in this session
    Dialog* main = nullptr;
    std::map<HWND, Window> windows;
    std::vector<HWND> modalStack;
    ModalRun* creating = nullptr; // the run whose window is being created
    int waitDepth = 0;
    HCURSOR cursorBeforeWait = nullptr;
    std::map<HDC, PAINTSTRUCT> paints;

    static Impl& of(Dialog& dialog) { return *static_cast<Win32System&>(dialog.System()).impl_; }

    static INT_PTR CALLBACK dialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
        Dialog* dialog = nullptr;
        if (message == WM_INITDIALOG) {
            dialog = reinterpret_cast<Dialog*>(lParam);
            SetWindowLongPtrW(hwnd, GWLP_USERDATA, lParam);
            Impl& self = of(*dialog);
            self.windows[hwnd] = Window{dialog, self.creating, {}};
            self.creating = nullptr;
            attach(*dialog, handleOf(hwnd));
            lParam = 0; // the object pointer is ours, not the dialog's
        } else {
            dialog = reinterpret_cast<Dialog*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
        }
        if (!dialog) return FALSE;
        Impl& self = of(*dialog);
        if (self.autoPlayQuery != 0 && message == self.autoPlayQuery)
            message = WmQueryCancelAutoPlay;

        // The wait cursor stays while the mouse moves over the dialog.
        if (message == WM_SETCURSOR && self.waitDepth > 0) {
            SetCursor(LoadCursorW(nullptr, IDC_WAIT));
            SetWindowLongPtrW(hwnd, DWLP_MSGRESULT, TRUE);
            return TRUE;
        }
        const Reply reply = route(*dialog, message, wParam, lParam);
        if (message == WM_NCDESTROY) self.release(hwnd);
        if (!reply.handled) return FALSE;
        if (answersDirectly(message)) return static_cast<INT_PTR>(reply.result);
        SetWindowLongPtrW(hwnd, DWLP_MSGRESULT, static_cast<LONG_PTR>(reply.result));
        return TRUE;
    }

    HWND create(Dialog& dialog, HWND owner, ModalRun* run) {
        creating = run;
        HWND hwnd = CreateDialogParamW(resources, resourceName(templateId(dialog)), owner,
                                       &dialogProc, reinterpret_cast<LPARAM>(&dialog));
        creating = nullptr;
        return hwnd;
    }

    // At WM_NCDESTROY: the children are gone, so their pictures can go too.
    void release(HWND hwnd) {
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
        const auto found = windows.find(hwnd);
        if (found == windows.end()) return;
        for (const auto& bitmap : found->second.bitmaps) DeleteObject(bitmap.second);
        detach(*found->second.dialog);
        windows.erase(found);
    }

    Window* find(WindowHandle window) {
        const auto found = windows.find(hwndOf(window));
        return found == windows.end() ? nullptr : &found->second;
    }

    HWND mainWindow() const { return main && main->HasWindow() ? hwndOf(main->Handle()) : nullptr; }

    // PreTranslateMessage of every dialog of ours from the message's window up through its
    // parents and owners, as a class library walks the window tree; true when one consumed it.
    bool offerToDialogs(const MSG& msg) {
        HWND child = nullptr; // the dialog's direct child on the way up
        for (HWND hwnd = msg.hwnd; hwnd;) {
            const auto found = windows.find(hwnd);
            if (found != windows.end()) {
                const Message message{msg.message, msg.wParam, msg.lParam,
                                      child ? GetDlgCtrlID(child) : 0};
                if (preTranslate(*found->second.dialog, message)) return true;
            }
            if (GetWindowLongW(hwnd, GWL_STYLE) & WS_CHILD) {
                child = hwnd;
                hwnd = GetParent(hwnd);
            } else {
                child = nullptr;
                hwnd = GetWindow(hwnd, GW_OWNER);
            }
        }
        return false;
    }
};

Win32System::Win32System(void* instance) : impl_(std::make_unique<Impl>()) {
    impl_->instance = instance ? static_cast<HINSTANCE>(instance) : GetModuleHandleW(nullptr);
    impl_->resources = impl_->instance;
    impl_->autoPlayQuery = RegisterWindowMessageW(L"QueryCancelAutoPlay");
    // SysAnimate32 must be registered before a template that holds one is created. With a
    // common-controls 6 manifest only the Ex call registers anything.
    INITCOMMONCONTROLSEX classes{sizeof(INITCOMMONCONTROLSEX), ICC_WIN95_CLASSES};
    if (!InitCommonControlsEx(&classes)) InitCommonControls();
}

Win32System::~Win32System() {
    for (auto& entry : impl_->windows) {
        SetWindowLongPtrW(entry.first, GWLP_USERDATA, 0);
        detach(*entry.second.dialog);
    }
}

// ---- Windows ------------------------------------------------------------------------------------

intptr_t Win32System::runModal(Dialog& dialog, Dialog* parent) {
    Impl& self = *impl_;
    HWND owner = nullptr;
    if (parent && parent->HasWindow()) {
        owner = hwndOf(parent->Handle());
    } else if (!self.modalStack.empty()) {
        owner = self.modalStack.back();
    } else if (self.main != &dialog) {
        owner = self.mainWindow();
    }
    // The owner is disabled before the dialog exists, so no click reaches it meanwhile.
    const bool ownerDisabled = owner && IsWindowEnabled(owner);
    if (ownerDisabled) EnableWindow(owner, FALSE);

    ModalRun run;
    HWND hwnd = self.create(dialog, owner, &run);
    if (hwnd) {
        self.modalStack.push_back(hwnd);
        // A template without WS_VISIBLE is shown as DialogBox shows it, unless it already ended.
        if (!run.ended && IsWindow(hwnd) && !IsWindowVisible(hwnd)) ShowWindow(hwnd, SW_SHOWNORMAL);
        MSG msg;
        while (!run.ended && IsWindow(hwnd)) {
            const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
            if (got == 0) {
                // WM_QUIT ends the run and stays for the loop outside.
                PostQuitMessage(static_cast<int>(msg.wParam));
                break;
            }
            if (got == -1) break;
            if (self.offerToDialogs(msg) || IsDialogMessageW(hwnd, &msg)) continue;
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        const auto entry = std::find(self.modalStack.begin(), self.modalStack.end(), hwnd);
        if (entry != self.modalStack.end()) self.modalStack.erase(entry);
    }
    // The owner comes back before the dialog goes, so the system activates the owner and not
    // another program's window.
    if (ownerDisabled) EnableWindow(owner, TRUE);
    if (hwnd && IsWindow(hwnd)) {
        if (Impl::Window* window = self.find(handleOf(hwnd))) window->run = nullptr;
        ::DestroyWindow(hwnd);
    }
    return hwnd ? run.result : -1;
}

bool Win32System::createModeless(Dialog& dialog, Dialog* parent) {
    HWND owner = parent && parent->HasWindow() ? hwndOf(parent->Handle()) : nullptr;
    return impl_->create(dialog, owner, nullptr) != nullptr;
}

void Win32System::destroyWindow(WindowHandle window) {
    HWND hwnd = hwndOf(window);
    if (hwnd && IsWindow(hwnd)) ::DestroyWindow(hwnd);
}

void Win32System::endDialog(WindowHandle window, intptr_t result) {
    Impl::Window* state = impl_->find(window);
    if (!state) return;
    if (state->run) {
        state->run->ended = true;
        state->run->result = result;
        // Wakes the loop should it be waiting in GetMessageW.
        PostMessageW(hwndOf(window), WM_NULL, 0, 0);
    } else {
        ::ShowWindow(hwndOf(window), SW_HIDE);
    }
}

void Win32System::showWindow(WindowHandle window, bool show) {
    ::ShowWindow(hwndOf(window), show ? SW_SHOW : SW_HIDE);
}

void Win32System::setMainWindow(Dialog* dialog) { impl_->main = dialog; }

void Win32System::setResourceModule(void* module) {
    impl_->resources = module ? static_cast<HINSTANCE>(module) : impl_->instance;
}

std::u16string Win32System::loadString(uint32_t id) {
    // With no buffer, LoadStringW hands back a pointer into the loaded resource itself.
    const wchar_t* text = nullptr;
    const int length = LoadStringW(impl_->resources, id, reinterpret_cast<LPWSTR>(&text), 0);
    if (length <= 0 || !text) return std::u16string();
    return std::u16string(text, text + length);
}

// ---- Texts and states ---------------------------------------------------------------------------

void Win32System::setCaption(WindowHandle window, const std::u16string& text) {
    SetWindowTextW(hwndOf(window), wide(text).c_str());
}

std::u16string Win32System::caption(WindowHandle window) { return windowText(hwndOf(window)); }

void Win32System::setControlText(WindowHandle window, int controlId, const std::u16string& text) {
    SetDlgItemTextW(hwndOf(window), controlId, wide(text).c_str());
}

std::u16string Win32System::controlText(WindowHandle window, int controlId) {
    return windowText(GetDlgItem(hwndOf(window), controlId));
}

void Win32System::enableControl(WindowHandle window, int controlId, bool enable) {
    if (HWND control = GetDlgItem(hwndOf(window), controlId)) EnableWindow(control, enable);
}

bool Win32System::controlEnabled(WindowHandle window, int controlId) {
    HWND control = GetDlgItem(hwndOf(window), controlId);
    return control && IsWindowEnabled(control);
}

void Win32System::showControl(WindowHandle window, int controlId, bool show) {
    if (HWND control = GetDlgItem(hwndOf(window), controlId)) {
        ::ShowWindow(control, show ? SW_SHOW : SW_HIDE);
    }
}

bool Win32System::controlVisible(WindowHandle window, int controlId) {
    HWND control = GetDlgItem(hwndOf(window), controlId);
    return control && IsWindowVisible(control);
}

// ---- Combo boxes --------------------------------------------------------------------------------

void Win32System::comboReset(WindowHandle window, int controlId) {
    sendToControl(window, controlId, CB_RESETCONTENT, 0, 0);
}

int Win32System::comboAdd(WindowHandle window, int controlId, const std::u16string& text) {
    const std::wstring item = wide(text);
    return indexResult(
        sendToControl(window, controlId, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item.c_str())));
}

int Win32System::comboCount(WindowHandle window, int controlId) {
    return indexResult(sendToControl(window, controlId, CB_GETCOUNT, 0, 0));
}

int Win32System::comboSelection(WindowHandle window, int controlId) {
    return indexResult(sendToControl(window, controlId, CB_GETCURSEL, 0, 0));
}

int Win32System::comboSelect(WindowHandle window, int controlId, int index) {
    return indexResult(sendToControl(window, controlId, CB_SETCURSEL,
                                     static_cast<WPARAM>(static_cast<INT_PTR>(index)), 0));
}

std::u16string Win32System::comboItemText(WindowHandle window, int controlId, int index) {
    const WPARAM item = static_cast<WPARAM>(static_cast<INT_PTR>(index));
    const LRESULT length = sendToControl(window, controlId, CB_GETLBTEXTLEN, item, 0);
    if (length < 0) return {};
    std::vector<wchar_t> buffer(static_cast<size_t>(length) + 1, L'\0');
    const LRESULT copied = sendToControl(window, controlId, CB_GETLBTEXT, item,
                                         reinterpret_cast<LPARAM>(buffer.data()));
    return fromWide(buffer.data(), copied > 0 ? static_cast<size_t>(copied) : 0);
}

int Win32System::comboFindExact(WindowHandle window, int controlId, const std::u16string& text) {
    const std::wstring item = wide(text);
    return indexResult(sendToControl(window, controlId, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                                     reinterpret_cast<LPARAM>(item.c_str())));
}

int Win32System::comboSelectString(WindowHandle window, int controlId, const std::u16string& text) {
    const std::wstring item = wide(text);
    return indexResult(sendToControl(window, controlId, CB_SELECTSTRING, static_cast<WPARAM>(-1),
                                     reinterpret_cast<LPARAM>(item.c_str())));
}

// ---- Pictures and the animation -----------------------------------------------------------------

bool Win32System::setControlImage(WindowHandle window, int controlId, int bitmapId) {
    Impl::Window* state = impl_->find(window);
    HWND control = GetDlgItem(hwndOf(window), controlId);
    if (!state || !control) return false;
    // Each picture is loaded once per window and freed with it: the static does not own what
    // STM_SETIMAGE hands it.
    HBITMAP& bitmap = state->bitmaps[bitmapId];
    if (!bitmap) {
        bitmap = static_cast<HBITMAP>(LoadImageW(impl_->resources, resourceName(bitmapId),
                                                 IMAGE_BITMAP, 0, 0, LR_DEFAULTCOLOR));
    }
    if (!bitmap) {
        state->bitmaps.erase(bitmapId);
        return false;
    }
    SendMessageW(control, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(bitmap));
    return true;
}

bool Win32System::animationOpen(WindowHandle window, int controlId, int resourceId) {
    return sendToControl(window, controlId, ACM_OPENW, reinterpret_cast<WPARAM>(impl_->resources),
                         reinterpret_cast<LPARAM>(resourceName(resourceId))) != 0;
}

bool Win32System::animationPlay(WindowHandle window, int controlId, int repeat, uint32_t from,
                                uint32_t to) {
    const LPARAM frames = static_cast<LPARAM>((from & 0xFFFF) | ((to & 0xFFFF) << 16));
    return sendToControl(window, controlId, ACM_PLAY,
                         static_cast<WPARAM>(static_cast<INT_PTR>(repeat)), frames) != 0;
}

bool Win32System::animationStop(WindowHandle window, int controlId) {
    return sendToControl(window, controlId, ACM_STOP, 0, 0) != 0;
}

IconHandle Win32System::loadIcon(int resourceId) {
    return reinterpret_cast<IconHandle>(LoadIconW(impl_->resources, resourceName(resourceId)));
}

void Win32System::setWindowIcon(WindowHandle window, IconHandle icon) {
    SendMessageW(hwndOf(window), WM_SETICON, ICON_BIG, static_cast<LPARAM>(icon));
    SendMessageW(hwndOf(window), WM_SETICON, ICON_SMALL, static_cast<LPARAM>(icon));
}

bool Win32System::appendSystemMenuItem(WindowHandle window, uint32_t commandId,
                                       const std::u16string& text) {
    HMENU menu = GetSystemMenu(hwndOf(window), FALSE);
    if (!menu) return false;
    const std::wstring item = wide(text);
    return AppendMenuW(menu, MF_SEPARATOR, 0, nullptr) &&
           AppendMenuW(menu, MF_STRING, commandId, item.c_str());
}

// ---- Timers, boxes, cursor ----------------------------------------------------------------------

uintptr_t Win32System::setTimer(WindowHandle window, uintptr_t timerId, uint32_t milliseconds) {
    return ::SetTimer(hwndOf(window), timerId, milliseconds, nullptr);
}

bool Win32System::killTimer(WindowHandle window, uintptr_t timerId) {
    return ::KillTimer(hwndOf(window), timerId) != 0;
}

int Win32System::messageBox(WindowHandle owner, const std::u16string& text,
                            const std::u16string& caption, uint32_t style) {
    return MessageBoxW(hwndOf(owner), wide(text).c_str(), wide(caption).c_str(), style);
}

void Win32System::beginWaitCursor() {
    HCURSOR previous = SetCursor(LoadCursorW(nullptr, IDC_WAIT));
    if (impl_->waitDepth++ == 0) impl_->cursorBeforeWait = previous;
}

void Win32System::endWaitCursor() {
    if (impl_->waitDepth == 0 || --impl_->waitDepth > 0) return;
    SetCursor(impl_->cursorBeforeWait ? impl_->cursorBeforeWait : LoadCursorW(nullptr, IDC_ARROW));
}

// ---- Messages -----------------------------------------------------------------------------------

void Win32System::pumpPendingMessages() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            // Left for the loop that ends the program; draining on would find it again.
            PostQuitMessage(static_cast<int>(msg.wParam));
            return;
        }
        if (impl_->offerToDialogs(msg)) continue;
        HWND main = impl_->mainWindow();
        if (main && IsDialogMessageW(main, &msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

bool Win32System::postMessage(WindowHandle window, uint32_t message, uintptr_t wParam,
                              intptr_t lParam) {
    return PostMessageW(hwndOf(window), message, wParam, lParam) != 0;
}

intptr_t Win32System::sendMessage(WindowHandle window, uint32_t message, uintptr_t wParam,
                                  intptr_t lParam) {
    return SendMessageW(hwndOf(window), message, wParam, lParam);
}

// ---- Painting -----------------------------------------------------------------------------------

void Win32System::repaint(WindowHandle window) {
    InvalidateRect(hwndOf(window), nullptr, TRUE);
    ::UpdateWindow(hwndOf(window));
}

void Win32System::updateWindow(WindowHandle window) { ::UpdateWindow(hwndOf(window)); }

void Win32System::redrawControl(WindowHandle window, int controlId) {
    sendToControl(window, controlId, WM_PAINT, 0, 0);
}

Rect Win32System::mapDialogRect(WindowHandle window, const Rect& units) {
    RECT rect{units.left, units.top, units.right, units.bottom};
    ::MapDialogRect(hwndOf(window), &rect);
    return Rect{rect.left, rect.top, rect.right, rect.bottom};
}

Rect Win32System::clientRect(WindowHandle window) {
    RECT rect{0, 0, 0, 0};
    ::GetClientRect(hwndOf(window), &rect);
    return Rect{rect.left, rect.top, rect.right, rect.bottom};
}

bool Win32System::isMinimized(WindowHandle window) { return IsIconic(hwndOf(window)) != 0; }

int Win32System::systemMetric(int index) { return GetSystemMetrics(index); }

DeviceContext Win32System::beginPaint(WindowHandle window) {
    PAINTSTRUCT paint;
    HDC dc = ::BeginPaint(hwndOf(window), &paint);
    if (dc) impl_->paints[dc] = paint;
    return reinterpret_cast<DeviceContext>(dc);
}

void Win32System::endPaint(WindowHandle window, DeviceContext dc) {
    const auto found = impl_->paints.find(dcOf(dc));
    if (found == impl_->paints.end()) return;
    ::EndPaint(hwndOf(window), &found->second);
    impl_->paints.erase(found);
}

void Win32System::drawRoundRect(DeviceContext dc, const Rect& pixels, uint32_t penColor,
                                int ellipseWidth, int ellipseHeight) {
    HPEN pen = CreatePen(PS_SOLID, 1, penColor);
    HGDIOBJ previous = SelectObject(dcOf(dc), pen);
    RoundRect(dcOf(dc), pixels.left, pixels.top, pixels.right, pixels.bottom, ellipseWidth,
              ellipseHeight);
    SelectObject(dcOf(dc), previous);
    DeleteObject(pen);
}

void Win32System::drawIcon(DeviceContext dc, int x, int y, IconHandle icon) {
    ::DrawIcon(dcOf(dc), x, y, reinterpret_cast<HICON>(icon));
}

int Win32System::controlIdOf(WindowHandle /*window*/, intptr_t controlWindow) {
    return GetDlgCtrlID(reinterpret_cast<HWND>(controlWindow));
}

void Win32System::setTextColors(DeviceContext dc, uint32_t textColor, uint32_t backColor) {
    SetTextColor(dcOf(dc), textColor);
    SetBkColor(dcOf(dc), backColor);
}

intptr_t Win32System::whiteBrush() {
    return reinterpret_cast<intptr_t>(GetStockObject(WHITE_BRUSH));
}

} // namespace brc::ui
