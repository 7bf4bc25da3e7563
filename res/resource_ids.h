// The resource ids by name: the dialog templates, their controls, the pictures and the system
// menu's command. The one place these numbers are written: res/dialogs.rc includes this file,
// tools/gen_dialogs.py, gen_language.py and gen_pictures.py read it, and the program's C++ uses
// the names. The numbers themselves are fixed, and tests/res/dialog_templates_test.cpp keeps
// them as numbers to hold them there: a name may be added, a number is not changed.
//
// Plain `#define NAME number` lines only: the resource compiler and the generators read it too.
// Control ids are per dialog, so two dialogs may give one number two names.
#pragma once

// ---- Dialog templates -------------------------------------------------------------------------
#define IDD_ABOUTBOX 100
#define IDD_BRINDLECARD 102 // the main dialog
#define IDD_WAIT 145        // the progress window
#define IDD_OPTIONS 146
#define IDD_MESSAGE_HOST 157 // hosts an ownerless message box; never visible

// ---- Pictures ---------------------------------------------------------------------------------
#define IDI_BRINDLECARD 128
#define IDB_EMBLEM 144
#define IDB_CARD_SD 147
#define IDB_CARD_SDHC 148
#define IDB_CARD_SDXC 149
#define IDB_CARD_UNKNOWN 150
#define IDB_SLOT_EMPTY 151
#define IDB_CARD_PLAIN 152
#define IDR_BUSY_ANIMATION 153 // an AVI

// ---- The main dialog's system menu ------------------------------------------------------------
#define IDM_ABOUTBOX 0x0010

// ---- The about box ----------------------------------------------------------------------------
#define IDC_ABOUT_VERSION 1002
#define IDC_ABOUT_LEGAL 1003
#define IDC_ABOUT_CONTACT_LABEL 1004
#define IDC_ABOUT_CONTACT_LINK 1005

// ---- The main dialog --------------------------------------------------------------------------
#define IDC_EXIT 1 // IDOK: Enter ends the program as Exit does
#define IDC_DRIVE_LIST 1000
#define IDC_FORMAT 1001
#define IDC_REFRESH 1006
#define IDC_NOTICE 1009
#define IDC_TRADEMARK 1035
#define IDC_ANIMATION 1032
#define IDC_CAPACITY_LABEL 1015
#define IDC_CAPACITY_VALUE 1016
#define IDC_CAPACITY_UNIT 1017
#define IDC_LABEL_CAPTION 1021
#define IDC_LABEL_EDIT 1033
#define IDC_OPTIONS_CAPTION 1024
#define IDC_OPTIONS_SUMMARY 1018
#define IDC_OPTION 1023
// The card pictures, one shown at a time; the emblem and the unknown card never are.
#define IDC_PICTURE_NO_DRIVE 1012
#define IDC_PICTURE_UNUSABLE 1010
#define IDC_PICTURE_SD 1014
#define IDC_PICTURE_SDHC 1019
#define IDC_PICTURE_SDXC 1020
#define IDC_PICTURE_UNKNOWN 1011
#define IDC_PICTURE_EMBLEM 1013

// ---- The progress window ----------------------------------------------------------------------
#define IDC_WAIT_NOTICE 1014
#define IDC_WAIT_OVERWRITE_LINE 1028
#define IDC_WAIT_ERASE_LINE 1029
#define IDC_WAIT_FORMAT_LINE 1027
#define IDC_WAIT_CANCEL 1031

// ---- The option settings ----------------------------------------------------------------------
#define IDC_OPTIONS_TYPE_LABEL 1025
#define IDC_OPTIONS_TYPE_LIST 1021
#define IDC_OPTIONS_ADJUST_LABEL 1026
#define IDC_OPTIONS_ADJUST_LIST 1022
