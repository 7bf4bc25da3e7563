// The options dialog (template 146): the format type and the size adjustment. It works on
// copies; the main dialog takes them back after it closes, whatever button closed it.
#pragma once

#include "base/format_types.h"
#include "res/messages.h"
#include "ui/dialog.h"

namespace brc {

class NewSetting final : public ui::Dialog {
public:
    static constexpr int kTemplate = 146;
    static constexpr int kTypeList = 1021, kAdjustList = 1022, kTypeLabel = 1025, kAdjustLabel = 1026;

    NewSetting(ui::WindowSystem& system, const MessageSource& messages)
        : ui::Dialog(system, kTemplate), messages_(messages) {}

    uint32_t sizeAdjustment = 0;
    FormatType formatType = Quick;
    uint32_t eraseAvailable = 1;  // the flash-erase type may be offered

protected:
    bool OnInitDialog() override;
    void OnOK() override;

private:
    const MessageSource& messages_;
};

} // namespace brc
