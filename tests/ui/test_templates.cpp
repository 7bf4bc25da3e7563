#include "tests/ui/test_templates.h"

#include <iterator>

namespace brc::test {

namespace {

using res::ControlKind;
using res::ControlTemplate;
using res::DialogTemplate;

// Styles as the resource compiler combines them.
constexpr uint32_t kChild = 0x40000000;     // WS_CHILD
constexpr uint32_t kVisible = 0x10000000;   // WS_VISIBLE
constexpr uint32_t kDisabled = 0x08000000;  // WS_DISABLED
constexpr uint32_t kTabStop = 0x00010000;   // WS_TABSTOP
constexpr uint32_t kShown = kChild | kVisible;
constexpr uint32_t kDefPush = 0x01;         // BS_DEFPUSHBUTTON
constexpr uint32_t kDropList = 0x03;        // CBS_DROPDOWNLIST
constexpr uint32_t kSort = 0x0100;          // CBS_SORT
constexpr uint32_t kBitmap = 0x0E;          // SS_BITMAP
constexpr uint32_t kPopup = 0x80000000;     // WS_POPUP
constexpr uint32_t kCaption = 0x00C00000;   // WS_CAPTION
constexpr uint32_t kSysMenu = 0x00080000;   // WS_SYSMENU

const ControlTemplate kMainControls[] = {
    {kExit, ControlKind::PushButton, "BUTTON", u"Exit", 0, kShown | kTabStop | kDefPush, 0, 180, 140, 50, 14},
    {kFormat, ControlKind::PushButton, "BUTTON", u"Format", 0, kShown | kTabStop, 0, 120, 140, 50, 14},
    {kRefresh, ControlKind::PushButton, "BUTTON", u"Refresh", 0, kShown | kDisabled, 0, 60, 140, 50, 14},
    {kOption, ControlKind::PushButton, "BUTTON", u"Options", 0, kChild, 0, 10, 140, 50, 14},
    {kDriveList, ControlKind::ComboBox, "COMBOBOX", u"", 0, kShown | kDropList | kSort, 0, 10, 80, 40, 60},
    {kPlainList, ControlKind::ComboBox, "COMBOBOX", u"", 0, kShown | kDropList, 0, 60, 80, 40, 60},
    {kLabelEdit, ControlKind::Edit, "EDIT", u"", 0, kShown | kTabStop, 0, 110, 80, 60, 12},
    {kNotice, ControlKind::Text, "STATIC", u"Notice", 0, kShown, 0, 70, 10, 150, 20},
    {kLogo, ControlKind::Bitmap, "STATIC", u"", kLogoBitmap, kShown | kBitmap, 0, 10, 10, 50, 50},
    {kAnimation, ControlKind::Animation, "SysAnimate32", u"", 0, kShown, 0, 70, 40, 40, 20},
    {-1, ControlKind::Text, "STATIC", u"Drive", 0, kShown, 0, 10, 70, 40, 8},
};

const ControlTemplate kProgressControls[] = {
    {1014, ControlKind::Text, "STATIC", u"Do not remove the card", 0, kShown, 0, 10, 10, 200, 8},
    {kProgressLine, ControlKind::Text, "STATIC", u"Format   0%", 0, kShown, 0, 10, 30, 200, 8},
    {kCancelButton, ControlKind::PushButton, "BUTTON", u"Cancel", 0, kShown | kTabStop | kDefPush, 0, 80, 50, 50, 14},
};

const ControlTemplate kOptionsControls[] = {
    {kTypeList, ControlKind::ComboBox, "COMBOBOX", u"", 0, kShown | kDropList, 0, 10, 10, 100, 60},
    {1, ControlKind::PushButton, "BUTTON", u"OK", 0, kShown | kDefPush, 0, 10, 40, 50, 14},
    {2, ControlKind::PushButton, "BUTTON", u"Cancel", 0, kShown, 0, 70, 40, 50, 14},
};

const ControlTemplate kHiddenControls[] = {
    {1, ControlKind::PushButton, "BUTTON", u"OK", 0, kShown | kDefPush, 0, 10, 10, 50, 14},
};

const DialogTemplate kDialogs[] = {
    {kMainDialog, u"Main", kPopup | kCaption | kSysMenu | kVisible, 0, 0, 0, 240, 160,
     u"MS Shell Dlg", 8, kMainControls, std::size(kMainControls)},
    {kProgressDialog, u"Formatting", kPopup | kCaption | kVisible, 0, 0, 0, 220, 70,
     u"MS Shell Dlg", 8, kProgressControls, std::size(kProgressControls)},
    {kOptionsDialog, u"Options", kPopup | kCaption | kSysMenu, 0, 0, 0, 130, 60,
     u"MS Shell Dlg", 8, kOptionsControls, std::size(kOptionsControls)},
    {kHiddenDialog, u"Dialog", kPopup | kCaption, 0, 0, 0, 70, 30, u"MS Shell Dlg", 8,
     kHiddenControls, std::size(kHiddenControls)},
};

} // namespace

const res::DialogTemplate* findTestDialog(int dialogId) {
    for (const DialogTemplate& dialog : kDialogs) {
        if (dialog.id == dialogId) return &dialog;
    }
    return nullptr;
}

} // namespace brc::test
