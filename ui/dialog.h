// The portable dialog: one object per dialog template, its window made by the backend it is
// given (real windows in the program, in-memory ones in the tests). The program's dialogs derive
// from it, override the handlers and do everything to their windows through it.
//
// A message reaches a dialog the way it reaches a dialog class library's: first
// PreTranslateMessage (a message loop offers it every message it takes off the queue, before
// the dialog manager sees it), then WindowProc, whose default routes WM_INITDIALOG to
// OnInitDialog and WM_COMMAND to OnCommand, falling back to OnOK / OnCancel for the IDOK and
// IDCANCEL buttons. An override of WindowProc handles what it wants and calls Dialog::WindowProc
// for the rest.
//
// No method is named after a Win32 function that <windows.h> turns into a macro (MessageBox,
// PostMessage, SendMessage, SetWindowText, LoadIcon, ...): a file that includes it would see
// the member under another name.
#pragma once

#include <cstdint>
#include <string>

#include "ui/messages.h"
#include "ui/window_system.h"

namespace brc::ui {

class Dialog;

// A combo box of a dialog by its id, with the CB_ messages the dialogs use.
class ComboBox {
public:
    ComboBox(Dialog& dialog, int controlId) : dialog_(dialog), id_(controlId) {}
    void ResetContent();
    int AddString(const std::u16string& text); // sorted insert under CBS_SORT; the index
    int GetCount() const;
    int GetCurSel() const;    // -1 for none
    int SetCurSel(int index); // -1 when out of range (selection cleared)
    std::u16string GetItemText(int index) const;
    int FindStringExact(const std::u16string& text) const;
    int SelectString(const std::u16string& text); // prefix match; the index or -1

private:
    Dialog& dialog_;
    int id_;
};

// An animation control of a dialog by its id.
class AnimationControl {
public:
    AnimationControl(Dialog& dialog, int controlId) : dialog_(dialog), id_(controlId) {}
    bool Open(int resourceId);
    bool Play(int repeat = -1, uint32_t from = 0, uint32_t to = 0xFFFF);
    bool Stop();

private:
    Dialog& dialog_;
    int id_;
};

class Dialog {
public:
    Dialog(WindowSystem& system, int templateId) : system_(system), templateId_(templateId) {}
    // Destroys a window that is still open. Its WM_DESTROY then reaches only this base class:
    // a dialog with work to do there destroys its window itself.
    virtual ~Dialog();
    Dialog(const Dialog&) = delete;
    Dialog& operator=(const Dialog&) = delete;

    WindowSystem& System() const { return system_; }
    int TemplateId() const { return templateId_; }
    WindowHandle Handle() const { return window_; }
    bool HasWindow() const { return window_ != kNoWindow; }

    // ---- Running ----------------------------------------------------------------------------
    // Modal; the parent owns the window (null: the innermost modal dialog or the main window).
    intptr_t DoModal(Dialog* parent = nullptr) { return system_.runModal(*this, parent); }
    // Modeless, owned by the parent's window.
    bool Create(Dialog* parent = nullptr) { return system_.createModeless(*this, parent); }
    void DestroyWindow();
    void EndDialog(intptr_t result);
    void ShowWindow(bool show);

    // ---- The window and its controls ------------------------------------------------------
    void SetCaption(const std::u16string& text);
    std::u16string GetCaption() const;
    void SetControlText(int controlId, const std::u16string& text);
    std::u16string GetControlText(int controlId) const;
    void EnableControl(int controlId, bool enable = true);
    bool IsControlEnabled(int controlId) const;
    void ShowControl(int controlId, bool show = true);
    bool IsControlVisible(int controlId) const;
    ComboBox Combo(int controlId) { return ComboBox(*this, controlId); }
    AnimationControl Animation(int controlId) { return AnimationControl(*this, controlId); }
    bool SetControlImage(int controlId, int bitmapId);
    IconHandle LoadIconResource(int resourceId);
    void SetWindowIcon(IconHandle icon);
    bool AppendSystemMenuItem(uint32_t commandId, const std::u16string& text);

    // ---- Timers, boxes, cursor --------------------------------------------------------------
    uintptr_t SetTimer(uintptr_t timerId, uint32_t milliseconds);
    bool KillTimer(uintptr_t timerId);
    // A message box owned by this dialog; the button pressed.
    int ShowMessageBox(const std::u16string& text, const std::u16string& caption, uint32_t style);
    void BeginWaitCursor() { system_.beginWaitCursor(); }
    void EndWaitCursor() { system_.endWaitCursor(); }

    // ---- Messages and painting --------------------------------------------------------------
    bool PostWindowMessage(uint32_t message, uintptr_t wParam = 0, intptr_t lParam = 0);
    intptr_t SendWindowMessage(uint32_t message, uintptr_t wParam = 0, intptr_t lParam = 0);
    void Repaint();
    void UpdateWindow();
    void RedrawControl(int controlId);
    Rect MapDialogRect(const Rect& dialogUnits) const;
    Rect GetClientRect() const;
    bool IsMinimized() const;

protected:
    // ---- What the dialogs override ----------------------------------------------------------
    // True to let the system set the focus.
    virtual bool OnInitDialog() { return true; }
    // A WM_COMMAND from a control; true when handled.
    virtual bool OnCommand(int controlId, uint32_t notification);
    virtual void OnOK() { EndDialog(IdOk); }
    virtual void OnCancel() { EndDialog(IdCancel); }
    // True when the message is consumed: nothing else sees it.
    virtual bool PreTranslateMessage(const Message& message);
    virtual Reply WindowProc(uint32_t message, uintptr_t wParam, intptr_t lParam);

private:
    friend class WindowSystem;

    WindowSystem& system_;
    int templateId_;
    WindowHandle window_ = kNoWindow;
};

} // namespace brc::ui
