// Lookups over the tables that tools/gen_dialogs.py generates from res/dialogs.rc.
#include "res/dialog_templates.h"

namespace brc::res {

// Defined in the generated source, in script order.
extern const DialogTemplate* const kDialogTable[];
extern const size_t kDialogTableCount;

const ControlTemplate* DialogTemplate::control(int controlId) const {
    for (size_t i = 0; i < controlCount; ++i)
        if (controls[i].id == controlId) return &controls[i];
    return nullptr;
}

const DialogTemplate* findDialog(int dialogId) {
    for (size_t i = 0; i < kDialogTableCount; ++i)
        if (kDialogTable[i]->id == dialogId) return kDialogTable[i];
    return nullptr;
}

const DialogTemplate* const* allDialogs(size_t& count) {
    count = kDialogTableCount;
    return kDialogTable;
}

} // namespace brc::res
