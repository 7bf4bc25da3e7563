// Window messages, notifications, keys, buttons and styles by their Win32 numbers, so the
// portable dialogs compare the real values without a system header. The win32 backend checks
// every constant here against <windows.h> when it compiles.
#pragma once

#include <cstdint>

namespace brc::ui {

// ---- Messages -------------------------------------------------------------------------------
constexpr uint32_t WmNull = 0x0000;
constexpr uint32_t WmDestroy = 0x0002;
constexpr uint32_t WmPaint = 0x000F;
constexpr uint32_t WmClose = 0x0010;
constexpr uint32_t WmShowWindow = 0x0018;
constexpr uint32_t WmSetCursor = 0x0020;
constexpr uint32_t WmIconEraseBkgnd = 0x0027;
constexpr uint32_t WmQueryDragIcon = 0x0037;
constexpr uint32_t WmNcDestroy = 0x0082;
constexpr uint32_t WmKeyDown = 0x0100;
constexpr uint32_t WmKeyUp = 0x0101;
constexpr uint32_t WmChar = 0x0102;
constexpr uint32_t WmSysKeyDown = 0x0104;
constexpr uint32_t WmSysKeyUp = 0x0105;
constexpr uint32_t WmInitDialog = 0x0110;
constexpr uint32_t WmCommand = 0x0111;
constexpr uint32_t WmSysCommand = 0x0112;
constexpr uint32_t WmTimer = 0x0113;
constexpr uint32_t WmCtlColorMsgBox = 0x0132;
constexpr uint32_t WmCtlColorEdit = 0x0133;
constexpr uint32_t WmCtlColorListBox = 0x0134;
constexpr uint32_t WmCtlColorBtn = 0x0135;
constexpr uint32_t WmCtlColorDlg = 0x0136;
constexpr uint32_t WmCtlColorScrollBar = 0x0137;
constexpr uint32_t WmCtlColorStatic = 0x0138;
constexpr uint32_t WmPowerBroadcast = 0x0218;
constexpr uint32_t WmDeviceChange = 0x0219;
// The shell asks the foreground window whether to cancel AutoPlay for a medium that arrived
// (the registered message "QueryCancelAutoPlay"; its number is given out at run time). The
// backend hands it to the dialogs under this number of the program's own, in WM_APP's range;
// a reply of 1 (TRUE) cancels AutoPlay.
constexpr uint32_t WmQueryCancelAutoPlay = 0xBFFF;

constexpr bool isCtlColorMessage(uint32_t message) {
    return message >= WmCtlColorMsgBox && message <= WmCtlColorStatic;
}

// ---- Notification codes (high word of WM_COMMAND's wParam) -----------------------------------
constexpr uint32_t BnClicked = 0;
constexpr uint32_t CbnSelChange = 1;
constexpr uint32_t EnChange = 0x0300;

// ---- Virtual keys ---------------------------------------------------------------------------
constexpr uint32_t VkReturn = 0x0D;
constexpr uint32_t VkEscape = 0x1B;
constexpr uint32_t VkF5 = 0x74;

// ---- Dialog results and message-box answers -------------------------------------------------
constexpr int IdOk = 1;
constexpr int IdCancel = 2;
constexpr int IdAbort = 3;
constexpr int IdRetry = 4;
constexpr int IdIgnore = 5;
constexpr int IdYes = 6;
constexpr int IdNo = 7;

// ---- Message-box styles ---------------------------------------------------------------------
constexpr uint32_t MbOk = 0x0;
constexpr uint32_t MbOkCancel = 0x1;
constexpr uint32_t MbYesNo = 0x4;
constexpr uint32_t MbIconError = 0x10;
constexpr uint32_t MbIconQuestion = 0x20;
constexpr uint32_t MbIconExclamation = 0x30;
constexpr uint32_t MbIconInformation = 0x40;
constexpr uint32_t MbDefButton2 = 0x100;
constexpr uint32_t MbSetForeground = 0x10000;

// ---- Window and control styles, as the templates carry them ---------------------------------
constexpr uint32_t WsChild = 0x40000000;
constexpr uint32_t WsVisible = 0x10000000;
constexpr uint32_t WsDisabled = 0x08000000;
constexpr uint32_t WsSysMenu = 0x00080000;
constexpr uint32_t BsTypeMask = 0x0F;
constexpr uint32_t BsDefPushButton = 0x01;
constexpr uint32_t CbsDropDownList = 0x03;
constexpr uint32_t CbsSort = 0x0100;

// ---- System commands (WM_SYSCOMMAND's wParam) -----------------------------------------------
constexpr uint32_t ScClose = 0xF060;

// ---- Power broadcast events (WM_POWERBROADCAST's wParam) ------------------------------------
constexpr uint32_t PbtApmSuspend = 4;
constexpr uint32_t PbtApmStandby = 5;
constexpr uint32_t PbtApmResumeSuspend = 7;
constexpr uint32_t PbtApmResumeStandby = 8;

// ---- Device changes (WM_DEVICECHANGE) -------------------------------------------------------
constexpr uint32_t DbtDeviceArrival = 0x8000;
constexpr uint32_t DbtDeviceRemoveComplete = 0x8004;
constexpr uint32_t DbtDevTypVolume = 2;

// The header every device broadcast starts with (DEV_BROADCAST_HDR); WM_DEVICECHANGE's lParam
// points to one for the arrival and removal events.
struct DeviceBroadcastHeader {
    uint32_t size;
    uint32_t deviceType;
    uint32_t reserved;
};

// ---- System metrics and stock objects -------------------------------------------------------
constexpr int SmCxIcon = 11;
constexpr int SmCyIcon = 12;

// ---- The halves of wParam -------------------------------------------------------------------
constexpr uint32_t loWord(uintptr_t value) { return static_cast<uint32_t>(value & 0xFFFF); }
constexpr uint32_t hiWord(uintptr_t value) { return static_cast<uint32_t>((value >> 16) & 0xFFFF); }
constexpr uintptr_t makeWParam(uint32_t low, uint32_t high) {
    return static_cast<uintptr_t>((low & 0xFFFF) | ((high & 0xFFFF) << 16));
}

// A message as a message loop takes it off the queue and offers it to PreTranslateMessage.
struct Message {
    uint32_t message = WmNull;
    uintptr_t wParam = 0;
    intptr_t lParam = 0;
    int controlId = 0; // the dialog's control the message is for; 0 for the dialog itself
};

} // namespace brc::ui
