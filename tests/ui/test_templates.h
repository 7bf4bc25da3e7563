// Hand-written dialog templates in the shape of the program's, for the ui suite: it runs on
// these and not on the generated tables, so it does not change when the program's dialogs do.
#pragma once

#include "res/dialog_templates.h"

namespace brc::test {

// Template ids.
constexpr int kMainDialog = 902;      // system menu; buttons, two drop-down lists, edit, pictures
constexpr int kProgressDialog = 945;  // no system menu; lines and a default Cancel button 1031
constexpr int kOptionsDialog = 946;   // drop-down list 1021, OK (default) and Cancel
constexpr int kHiddenDialog = 957;    // not visible; one OK button

// Controls of the main template.
constexpr int kExit = 1;            // IDOK, the default push button
constexpr int kFormat = 1001;
constexpr int kRefresh = 1006;      // disabled in the template
constexpr int kOption = 1023;       // hidden in the template
constexpr int kDriveList = 1000;    // sorted drop-down list
constexpr int kPlainList = 1002;    // unsorted drop-down list
constexpr int kLabelEdit = 1033;
constexpr int kNotice = 1009;
constexpr int kLogo = 1014;         // bitmap static showing bitmap 147
constexpr int kAnimation = 1032;
constexpr int kLogoBitmap = 147;

// Controls of the progress template.
constexpr int kProgressLine = 1027;
constexpr int kCancelButton = 1031;

// Control of the options template.
constexpr int kTypeList = 1021;

const res::DialogTemplate* findTestDialog(int dialogId);

} // namespace brc::test
