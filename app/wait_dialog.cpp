#include "app/wait_dialog.h"

#include "res/message_ids.h"

namespace brc {

ProgressView* CWaitDialog::createProgressWindow() {
    if (!HasWindow() && !Create(owner_)) return nullptr; // the passes then draw nothing
    return this;
}

void CWaitDialog::destroyProgressWindow() {
    if (HasWindow()) DestroyWindow();
}

void CWaitDialog::showStage(const StageProgress& stage) {
    if (!HasWindow()) return;
    const int id = static_cast<int>(stageLine(stage.stage));
    SetControlText(id, texts_.render(stage));
    RedrawControl(id);
    UpdateWindow();
}

bool CWaitDialog::OnInitDialog() {
    SetCaption(messages_.text(msg::ProgressTitle));
    SetControlText(IDC_WAIT_NOTICE, messages_.text(msg::DoNotRemoveDrive));
    SetControlText(IDC_WAIT_CANCEL, messages_.text(msg::Cancel));
    return true;
}

bool CWaitDialog::OnCommand(int controlId, uint32_t notification) {
    if (controlId == IDC_WAIT_CANCEL && notification == ui::BnClicked) {
        // The window stays: the format closes it when its pass has stopped.
        flags_.cancelRequested = 1;
        return true;
    }
    return ui::Dialog::OnCommand(controlId, notification);
}

bool CWaitDialog::PreTranslateMessage(const ui::Message& message) {
    if ((message.message == ui::WmKeyDown || message.message == ui::WmKeyUp) &&
        (message.wParam == ui::VkReturn || message.wParam == ui::VkEscape))
        return true;
    return ui::Dialog::PreTranslateMessage(message);
}

ui::Reply CWaitDialog::WindowProc(uint32_t message, uintptr_t wParam, intptr_t lParam) {
    if (message == ui::WmQueryCancelAutoPlay && owner_ && owner_->HasWindow() &&
        owner_->SendWindowMessage(message, wParam, lParam) != 0)
        return {true, 1};
    return ui::Dialog::WindowProc(message, wParam, lParam);
}

} // namespace brc
