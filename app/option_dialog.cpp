#include "app/option_dialog.h"

#include "res/message_ids.h"

namespace brc {

bool NewSetting::OnInitDialog() {
    SetControlText(IDC_OPTIONS_TYPE_LABEL, messages_.text(msg::FormatTypeLabel));
    SetControlText(IDC_OPTIONS_ADJUST_LABEL, messages_.text(msg::SizeAdjustmentLabel));
    EnableControl(IDC_OPTIONS_ADJUST_LABEL);
    SetControlText(ui::IdCancel, messages_.text(msg::Cancel));
    SetCaption(messages_.text(msg::OptionsTitle));

    ui::ComboBox adjust = Combo(IDC_OPTIONS_ADJUST_LIST);
    adjust.ResetContent();
    adjust.AddString(messages_.text(msg::SizeAdjustmentOff));
    adjust.AddString(messages_.text(msg::SizeAdjustmentOn));
    adjust.SetCurSel(sizeAdjustment != 0 ? 1 : 0);

    // Overwrite and erase together is never offered here; it shows as the overwrite.
    ui::ComboBox types = Combo(IDC_OPTIONS_TYPE_LIST);
    types.ResetContent();
    types.AddString(messages_.text(msg::TypeQuick));
    if (eraseAvailable) types.AddString(messages_.text(msg::TypeFullErase));
    types.AddString(messages_.text(msg::TypeFullOverwrite));
    const uint32_t current = formatType == Quick       ? msg::TypeQuick
                             : formatType == FullErase ? msg::TypeFullErase
                                                       : msg::TypeFullOverwrite;
    types.SelectString(messages_.text(current));

    EnableControl(IDC_OPTIONS_TYPE_LIST);
    EnableControl(IDC_OPTIONS_ADJUST_LIST);
    return true;
}

void NewSetting::OnOK() {
    sizeAdjustment = static_cast<uint32_t>(Combo(IDC_OPTIONS_ADJUST_LIST).GetCurSel());
    ui::ComboBox types = Combo(IDC_OPTIONS_TYPE_LIST);
    const std::u16string chosen = types.GetItemText(types.GetCurSel());
    // Compared whole with the texts as they are now; anything else keeps the type.
    if (chosen == messages_.text(msg::TypeQuick)) formatType = Quick;
    else if (chosen == messages_.text(msg::TypeFullErase)) formatType = FullErase;
    else if (chosen == messages_.text(msg::TypeFullOverwrite)) formatType = FullOverwrite;
    EndDialog(ui::IdOk);
}

} // namespace brc
