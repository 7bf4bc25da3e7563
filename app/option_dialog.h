// The options dialog (IDD_OPTIONS): the format type and the size adjustment. It works on
// copies; the main dialog takes them back after it closes, whatever button closed it.
#pragma once

#include "base/format_types.h"
#include "res/messages.h"
#include "res/resource_ids.h"
#include "ui/dialog.h"

namespace brc {

class NewSetting final : public ui::Dialog {
public:
    NewSetting(ui::WindowSystem& system, const MessageSource& messages)
        : ui::Dialog(system, IDD_OPTIONS), messages_(messages) {}

    uint32_t sizeAdjustment = 0;
    FormatType formatType = Quick;
    uint32_t eraseAvailable = 1; // the flash-erase type may be offered

protected:
    bool OnInitDialog() override;
    void OnOK() override;

private:
    const MessageSource& messages_;
};

} // namespace brc
