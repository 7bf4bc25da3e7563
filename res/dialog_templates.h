// The dialog templates of the program as data: the same templates the resource compiler builds
// into the Windows program, generated at build time from the resource script (res/dialogs.rc)
// for the headless dialog backend, the tests and anything else that needs a control list.
// Coordinates are dialog units, as in the script.
#pragma once

#include <cstddef>
#include <cstdint>

namespace brc::res {

// What a control is, by its window class and style, so the headless backend can act as the
// real control would (a bitmap static shows a picture, a drop-down list takes a selection).
enum class ControlKind {
    PushButton,  // BUTTON, BS_PUSHBUTTON or BS_DEFPUSHBUTTON
    CheckBox,    // BUTTON, BS_(AUTO)CHECKBOX
    RadioButton, // BUTTON, BS_(AUTO)RADIOBUTTON
    GroupBox,    // BUTTON, BS_GROUPBOX
    Text,        // STATIC with text
    Bitmap,      // STATIC, SS_BITMAP; `imageId` names the bitmap
    Icon,        // STATIC, SS_ICON; `imageId` names the icon
    Edit,        // EDIT
    ComboBox,    // COMBOBOX
    ListBox,     // LISTBOX
    Animation,   // SysAnimate32
    Other,
};

struct ControlTemplate {
    int id; // -1 for IDC_STATIC
    ControlKind kind;
    const char* windowClass; // "BUTTON", "STATIC", "EDIT", "COMBOBOX", "SysAnimate32", ...
    const char16_t* text;    // the template's own text (UTF-16), empty when none
    int imageId;             // Bitmap and Icon: the resource id shown; 0 otherwise
    uint32_t style;          // WS_ and control styles, as the resource compiler combines them
    uint32_t exStyle;
    int x, y, cx, cy;
};

struct DialogTemplate {
    int id;
    const char16_t* caption;
    uint32_t style;
    uint32_t exStyle;
    int x, y, cx, cy;
    const char16_t* fontFace; // from the FONT statement; empty when none
    int pointSize;
    const ControlTemplate* controls;
    size_t controlCount;

    // The control with this id, or null; the first one when several share it.
    const ControlTemplate* control(int controlId) const;
};

// The template with this resource id, or null.
const DialogTemplate* findDialog(int dialogId);

// Every template, in script order.
const DialogTemplate* const* allDialogs(size_t& count);

} // namespace brc::res
