// The progress window of a format: three progress lines, a notice and Cancel (IDD_WAIT). It
// is the passes' ProgressView and the Format command's progress window, made modeless over the
// main dialog for the length of one format.
#pragma once

#include <cstdint>
#include <string>

#include "app/progress_texts.h"
#include "progress/progress.h"
#include "res/messages.h"
#include "res/resource_ids.h"
#include "ui/dialog.h"

namespace brc {

class CWaitDialog final : public ui::Dialog, public ProgressView, public ProgressWindowHost {
public:
    // `owner` is the dialog the window is made over (the main dialog).
    CWaitDialog(ui::WindowSystem& system, const MessageSource& messages, RunFlags& flags,
                ui::Dialog* owner = nullptr)
        : ui::Dialog(system, IDD_WAIT),
          messages_(messages),
          texts_(messages),
          flags_(flags),
          owner_(owner) {}

    // ProgressWindowHost: the window exists only between these two.
    ProgressView* createProgressWindow() override;
    void destroyProgressWindow() override;

    // ProgressView: the stage's line, then the control painted and the window updated at once.
    void showStage(const StageProgress& stage) override;
    void pumpPendingMessages() override { System().pumpPendingMessages(); }

protected:
    bool OnInitDialog() override;
    bool OnCommand(int controlId, uint32_t notification) override;
    // Neither Enter nor Escape may close the window while a pass runs.
    bool PreTranslateMessage(const ui::Message& message) override;
    void OnOK() override {}
    void OnCancel() override {}
    // AutoPlay's question, when this window is the foreground one, is answered as the owner
    // (the main dialog, which knows whether the card is being written) answers it.
    ui::Reply WindowProc(uint32_t message, uintptr_t wParam, intptr_t lParam) override;

private:
    const MessageSource& messages_;
    ProgressTexts texts_;
    RunFlags& flags_;
    ui::Dialog* owner_;
};

} // namespace brc
