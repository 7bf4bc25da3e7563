#include "ui/dialog.h"

namespace brc::ui {

// ---- Routing ------------------------------------------------------------------------------------

Reply Dialog::WindowProc(uint32_t message, uintptr_t wParam, intptr_t /*lParam*/) {
    switch (message) {
    case WmInitDialog: return {true, OnInitDialog() ? 1 : 0};
    case WmCommand: {
        const int id = static_cast<int>(loWord(wParam));
        const uint32_t notification = hiWord(wParam);
        if (OnCommand(id, notification)) return {true, 0};
        // The dialog manager sends IDOK for Enter and IDCANCEL for Escape and the close box.
        if (notification == BnClicked && id == IdOk) {
            OnOK();
            return {true, 0};
        }
        if (notification == BnClicked && id == IdCancel) {
            OnCancel();
            return {true, 0};
        }
        return {};
    }
    default: return {};
    }
}

bool Dialog::OnCommand(int /*controlId*/, uint32_t /*notification*/) { return false; }

bool Dialog::PreTranslateMessage(const Message& /*message*/) { return false; }

void WindowSystem::attach(Dialog& dialog, WindowHandle window) { dialog.window_ = window; }

void WindowSystem::detach(Dialog& dialog) { dialog.window_ = kNoWindow; }

int WindowSystem::templateId(const Dialog& dialog) { return dialog.templateId_; }

Reply WindowSystem::route(Dialog& dialog, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    return dialog.WindowProc(message, wParam, lParam);
}

bool WindowSystem::preTranslate(Dialog& dialog, const Message& message) {
    return dialog.PreTranslateMessage(message);
}

// ---- The window ---------------------------------------------------------------------------------

Dialog::~Dialog() {
    if (HasWindow()) system_.destroyWindow(window_);
}

void Dialog::DestroyWindow() {
    if (HasWindow()) system_.destroyWindow(window_);
}

void Dialog::EndDialog(intptr_t result) {
    if (HasWindow()) system_.endDialog(window_, result);
}

void Dialog::ShowWindow(bool show) { system_.showWindow(window_, show); }

void Dialog::SetCaption(const std::u16string& text) { system_.setCaption(window_, text); }

std::u16string Dialog::GetCaption() const { return system_.caption(window_); }

void Dialog::SetControlText(int controlId, const std::u16string& text) {
    system_.setControlText(window_, controlId, text);
}

std::u16string Dialog::GetControlText(int controlId) const {
    return system_.controlText(window_, controlId);
}

void Dialog::EnableControl(int controlId, bool enable) {
    system_.enableControl(window_, controlId, enable);
}

bool Dialog::IsControlEnabled(int controlId) const {
    return system_.controlEnabled(window_, controlId);
}

void Dialog::ShowControl(int controlId, bool show) {
    system_.showControl(window_, controlId, show);
}

bool Dialog::IsControlVisible(int controlId) const {
    return system_.controlVisible(window_, controlId);
}

bool Dialog::SetControlImage(int controlId, int bitmapId) {
    return system_.setControlImage(window_, controlId, bitmapId);
}

IconHandle Dialog::LoadIconResource(int resourceId) { return system_.loadIcon(resourceId); }

void Dialog::SetWindowIcon(IconHandle icon) { system_.setWindowIcon(window_, icon); }

bool Dialog::AppendSystemMenuItem(uint32_t commandId, const std::u16string& text) {
    return system_.appendSystemMenuItem(window_, commandId, text);
}

uintptr_t Dialog::SetTimer(uintptr_t timerId, uint32_t milliseconds) {
    return system_.setTimer(window_, timerId, milliseconds);
}

bool Dialog::KillTimer(uintptr_t timerId) { return system_.killTimer(window_, timerId); }

int Dialog::ShowMessageBox(const std::u16string& text, const std::u16string& caption,
                           uint32_t style) {
    return system_.messageBox(window_, text, caption, style);
}

bool Dialog::PostWindowMessage(uint32_t message, uintptr_t wParam, intptr_t lParam) {
    return system_.postMessage(window_, message, wParam, lParam);
}

intptr_t Dialog::SendWindowMessage(uint32_t message, uintptr_t wParam, intptr_t lParam) {
    return system_.sendMessage(window_, message, wParam, lParam);
}

void Dialog::Repaint() { system_.repaint(window_); }

void Dialog::UpdateWindow() { system_.updateWindow(window_); }

void Dialog::RedrawControl(int controlId) { system_.redrawControl(window_, controlId); }

Rect Dialog::MapDialogRect(const Rect& dialogUnits) const {
    return system_.mapDialogRect(window_, dialogUnits);
}

Rect Dialog::GetClientRect() const { return system_.clientRect(window_); }

bool Dialog::IsMinimized() const { return system_.isMinimized(window_); }

// ---- Controls -----------------------------------------------------------------------------------

void ComboBox::ResetContent() { dialog_.System().comboReset(dialog_.Handle(), id_); }

int ComboBox::AddString(const std::u16string& text) {
    return dialog_.System().comboAdd(dialog_.Handle(), id_, text);
}

int ComboBox::GetCount() const { return dialog_.System().comboCount(dialog_.Handle(), id_); }

int ComboBox::GetCurSel() const { return dialog_.System().comboSelection(dialog_.Handle(), id_); }

int ComboBox::SetCurSel(int index) {
    return dialog_.System().comboSelect(dialog_.Handle(), id_, index);
}

std::u16string ComboBox::GetItemText(int index) const {
    return dialog_.System().comboItemText(dialog_.Handle(), id_, index);
}

int ComboBox::FindStringExact(const std::u16string& text) const {
    return dialog_.System().comboFindExact(dialog_.Handle(), id_, text);
}

int ComboBox::SelectString(const std::u16string& text) {
    return dialog_.System().comboSelectString(dialog_.Handle(), id_, text);
}

bool AnimationControl::Open(int resourceId) {
    return dialog_.System().animationOpen(dialog_.Handle(), id_, resourceId);
}

bool AnimationControl::Play(int repeat, uint32_t from, uint32_t to) {
    return dialog_.System().animationPlay(dialog_.Handle(), id_, repeat, from, to);
}

bool AnimationControl::Stop() { return dialog_.System().animationStop(dialog_.Handle(), id_); }

} // namespace brc::ui
