#include "app/option_dialog.h"

#include "res/message_ids.h"

namespace brc {

bool NewSetting::OnInitDialog() {
    SetControlText(kTypeLabel, messages_.text(msg::FormatTypeLabel));
    SetControlText(kAdjustLabel, messages_.text(msg::SizeAdjustmentLabel));
    EnableControl(kAdjustLabel);
    SetControlText(ui::IdCancel, messages_.text(msg::Cancel));
    SetCaption(messages_.text(msg::OptionsTitle));

    ui::ComboBox adjust = Combo(kAdjustList);
    adjust.ResetContent();
    adjust.AddString(messages_.text(msg::SizeAdjustmentOff));
    adjust.AddString(messages_.text(msg::SizeAdjustmentOn));
    adjust.SetCurSel(sizeAdjustment != 0 ? 1 : 0);

    // Overwrite and erase together is never offered here; it shows as the overwrite.
    ui::ComboBox types = Combo(kTypeList);
    types.ResetContent();
    types.AddString(messages_.text(msg::TypeQuick));
    if (eraseAvailable) types.AddString(messages_.text(msg::TypeFullErase));
    types.AddString(messages_.text(msg::TypeFullOverwrite));
    const uint32_t current = formatType == Quick       ? msg::TypeQuick
                             : formatType == FullErase ? msg::TypeFullErase
                                                       : msg::TypeFullOverwrite;
    types.SelectString(messages_.text(current));

    EnableControl(kTypeList);
    EnableControl(kAdjustList);
    return true;
}

void NewSetting::OnOK() {
    sizeAdjustment = static_cast<uint32_t>(Combo(kAdjustList).GetCurSel());
    ui::ComboBox types = Combo(kTypeList);
    const std::u16string chosen = types.GetItemText(types.GetCurSel());
    // Compared whole with the texts as they are now; anything else keeps the type.
    if (chosen == messages_.text(msg::TypeQuick)) formatType = Quick;
    else if (chosen == messages_.text(msg::TypeFullErase)) formatType = FullErase;
    else if (chosen == messages_.text(msg::TypeFullOverwrite)) formatType = FullOverwrite;
    EndDialog(ui::IdOk);
}

} // namespace brc
