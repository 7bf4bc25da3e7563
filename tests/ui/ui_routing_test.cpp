// How user actions, keys and system messages reach a dialog's handlers.
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/ui/scripted_dialog.h"

namespace brc::test {
namespace {

using ui::HeadlessSystem;
using ui::KeyFate;
using ui::KeyRecord;

// ---- Clicks, typing, choosing -------------------------------------------------------------------

struct ActionCase {
    const char* name;
    std::function<bool(HeadlessSystem&, ScriptedDialog&)> act;
    bool accepted;
    std::vector<Command> commands;
};

TEST_F(UiTest, UserActionsReachOnCommandOnlyFromUsableControls) {
    const ActionCase cases[] = {
        {"click on an enabled button",
         [](HeadlessSystem& s, ScriptedDialog& d) { return s.click(d, kFormat); }, true,
         {{kFormat, ui::BnClicked}}},
        {"click on a button disabled in the template",
         [](HeadlessSystem& s, ScriptedDialog& d) { return s.click(d, kRefresh); }, false, {}},
        {"click on a button hidden in the template",
         [](HeadlessSystem& s, ScriptedDialog& d) { return s.click(d, kOption); }, false, {}},
        {"click on a button the dialog disabled",
         [](HeadlessSystem& s, ScriptedDialog& d) {
             d.EnableControl(kFormat, false);
             return s.click(d, kFormat);
         },
         false, {}},
        {"click on a button the dialog enabled and showed",
         [](HeadlessSystem& s, ScriptedDialog& d) {
             d.EnableControl(kRefresh);
             d.ShowControl(kOption);
             return s.click(d, kRefresh) && s.click(d, kOption);
         },
         true, {{kRefresh, ui::BnClicked}, {kOption, ui::BnClicked}}},
        {"typing into the edit",
         [](HeadlessSystem& s, ScriptedDialog& d) {
             return s.typeText(d, kLabelEdit, u"CARD") && d.GetControlText(kLabelEdit) == u"CARD";
         },
         true, {{kLabelEdit, ui::EnChange}}},
        {"typing into a disabled edit",
         [](HeadlessSystem& s, ScriptedDialog& d) {
             d.EnableControl(kLabelEdit, false);
             return s.typeText(d, kLabelEdit, u"CARD") || !d.GetControlText(kLabelEdit).empty();
         },
         false, {}},
        {"choosing a list entry",
         [](HeadlessSystem& s, ScriptedDialog& d) {
             d.Combo(kDriveList).AddString(u"E:");
             d.Combo(kDriveList).AddString(u"F:");
             return s.selectItem(d, kDriveList, 1) && d.GetControlText(kDriveList) == u"F:";
         },
         true, {{kDriveList, ui::CbnSelChange}}},
        {"choosing past the last entry",
         [](HeadlessSystem& s, ScriptedDialog& d) {
             d.Combo(kDriveList).AddString(u"E:");
             return s.selectItem(d, kDriveList, 1);
         },
         false, {}},
        {"choosing from a disabled list",
         [](HeadlessSystem& s, ScriptedDialog& d) {
             d.Combo(kDriveList).AddString(u"E:");
             d.EnableControl(kDriveList, false);
             return s.selectItem(d, kDriveList, 0);
         },
         false, {}},
        {"the dialog selecting an entry itself sends nothing",
         [](HeadlessSystem&, ScriptedDialog& d) {
             d.Combo(kDriveList).AddString(u"E:");
             return d.Combo(kDriveList).SetCurSel(0) == 0;
         },
         true, {}},
    };
    for (const ActionCase& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedDialog dialog(system, kMainDialog);
        ASSERT_TRUE(dialog.Create());
        EXPECT_EQ(c.act(system, dialog), c.accepted);
        EXPECT_EQ(dialog.commands, c.commands);
    }
}

TEST_F(UiTest, ActionsOnControlsThatDoNotExistOrDoNotFitAreFaults) {
    ScriptedDialog dialog(system, kMainDialog);
    ASSERT_TRUE(dialog.Create());
    EXPECT_FALSE(system.click(dialog, 4242));
    EXPECT_FALSE(system.click(dialog, kNotice));              // a static is no button
    EXPECT_EQ(dialog.Combo(kLabelEdit).AddString(u"x"), -1);  // an edit is no combo box
    EXPECT_TRUE(dialog.commands.empty());
    EXPECT_EQ(system.takeFaults().size(), 3u);
}

// ---- Keys ---------------------------------------------------------------------------------------

bool isKey(const ui::Message& m, uint32_t key) {
    return (m.message == ui::WmKeyDown || m.message == ui::WmKeyUp) && m.wParam == key;
}

struct KeyCase {
    const char* name;
    uint32_t key;
    int focus;               // the control the key is aimed at; 0 the dialog
    bool runsTheLoop;        // the dialog is the main window, whose dialog manager sees keys
    uint32_t consumedKey;    // the key PreTranslateMessage consumes; 0 none
    KeyFate fate;
    std::vector<Command> commands;
    std::vector<KeyRecord> reached;
};

TEST_F(UiTest, KeysPassPreTranslateMessageThenTheDialogManagerThenTheControl) {
    using ui::WmKeyDown;
    using ui::WmKeyUp;
    const KeyCase cases[] = {
        {"a consumed F5 reaches nothing else", ui::VkF5, kLabelEdit, true, ui::VkF5,
         KeyFate::Consumed, {}, {}},
        {"a letter reaches the focused edit", 'A', kLabelEdit, true, ui::VkF5, KeyFate::Control, {},
         {{kLabelEdit, WmKeyDown, 'A'}, {kLabelEdit, WmKeyUp, 'A'}}},
        {"Enter clicks the default button", ui::VkReturn, 0, true, 0, KeyFate::Command,
         {{kExit, ui::BnClicked}}, {{0, WmKeyUp, ui::VkReturn}}},
        {"Enter on a focused push button clicks that one", ui::VkReturn, kFormat, true, 0,
         KeyFate::Command, {{kFormat, ui::BnClicked}}, {{kFormat, WmKeyUp, ui::VkReturn}}},
        {"Escape sends IDCANCEL", ui::VkEscape, kLabelEdit, true, 0, KeyFate::Command,
         {{ui::IdCancel, ui::BnClicked}}, {{kLabelEdit, WmKeyUp, ui::VkEscape}}},
        {"a consumed Enter never reaches the dialog manager", ui::VkReturn, 0, true,
         ui::VkReturn, KeyFate::Consumed, {}, {}},
        {"without a running loop Enter reaches the control", ui::VkReturn, kLabelEdit, false, 0,
         KeyFate::Control, {},
         {{kLabelEdit, WmKeyDown, ui::VkReturn}, {kLabelEdit, WmKeyUp, ui::VkReturn}}},
    };
    for (const KeyCase& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedDialog dialog(system, kMainDialog);
        dialog.consume = [&c](const ui::Message& m) { return c.consumedKey && isKey(m, c.consumedKey); };
        dialog.onCommand = [](int, uint32_t) { return true; };  // the window stays open
        ASSERT_TRUE(dialog.Create());
        system.setMainWindow(c.runsTheLoop ? &dialog : nullptr);

        EXPECT_EQ(system.pressKey(dialog, c.key, c.focus), c.fate);
        EXPECT_EQ(dialog.commands, c.commands);
        EXPECT_EQ(system.keysReceived(dialog), c.reached);
        // Every key was offered first, aimed at its control.
        ASSERT_FALSE(dialog.offered.empty());
        EXPECT_EQ(dialog.offered[0].message, WmKeyDown);
        EXPECT_EQ(dialog.offered[0].wParam, c.key);
        EXPECT_EQ(dialog.offered[0].controlId, c.focus);
        system.setMainWindow(nullptr);
    }
}

TEST_F(UiTest, KeysOfAnOwnedWindowAreOfferedToItThenToItsOwner) {
    ScriptedDialog main(system, kMainDialog);
    ScriptedDialog progress(system, kProgressDialog);
    main.consume = [](const ui::Message& m) { return isKey(m, ui::VkF5); };
    progress.consume = [](const ui::Message& m) {
        return isKey(m, ui::VkReturn) || isKey(m, ui::VkEscape);
    };
    ASSERT_TRUE(main.Create());
    ASSERT_TRUE(progress.Create(&main));
    system.setMainWindow(&main);

    // F5 in the owned window: passed on by it, consumed by its owner.
    EXPECT_EQ(system.pressKey(progress, ui::VkF5, kCancelButton), KeyFate::Consumed);
    ASSERT_EQ(progress.offered.size(), 2u);
    EXPECT_EQ(progress.offered[0].controlId, kCancelButton);
    ASSERT_EQ(main.offered.size(), 2u);
    EXPECT_EQ(main.offered[0].controlId, 0);  // not one of the owner's controls

    // Enter and Escape: consumed by the owned window, never seen by the owner or a control.
    for (uint32_t key : {ui::VkReturn, ui::VkEscape}) {
        EXPECT_EQ(system.pressKey(progress, key, kCancelButton), KeyFate::Consumed);
    }
    EXPECT_EQ(main.offered.size(), 2u);
    EXPECT_TRUE(progress.commands.empty());
    EXPECT_TRUE(system.keysReceived(progress).empty());
    EXPECT_TRUE(system.isOpen(progress));
    system.setMainWindow(nullptr);
}

// ---- System messages ----------------------------------------------------------------------------

struct MessageCase {
    const char* name;
    std::function<bool(HeadlessSystem&, ScriptedDialog&)> act;  // false: nothing was delivered
    std::vector<Received> received;
};

TEST_F(UiTest, SystemMessagesReachWindowProcWithTheirParameters) {
    using ui::WmDeviceChange;
    using ui::WmPowerBroadcast;
    using ui::WmSysCommand;
    using ui::WmTimer;
    const MessageCase cases[] = {
        {"a running timer",
         [](HeadlessSystem& s, ScriptedDialog& d) {
             return d.SetTimer(1090, 1000) == 1090 && s.fireTimer(d, 1090);
         },
         {{WmTimer, 1090, 0, 0}}},
        {"a killed timer fires no more",
         [](HeadlessSystem& s, ScriptedDialog& d) {
             d.SetTimer(1090, 1000);
             return d.KillTimer(1090) && s.fireTimer(d, 1090);
         },
         {}},
        {"a timer that was never set",
         [](HeadlessSystem& s, ScriptedDialog& d) { return s.fireTimer(d, 1090); }, {}},
        {"suspend",
         [](HeadlessSystem& s, ScriptedDialog& d) {
             return !s.sendPowerBroadcast(d, ui::PbtApmSuspend).handled;
         },
         {{WmPowerBroadcast, ui::PbtApmSuspend, 0, 0}}},
        {"standby",
         [](HeadlessSystem& s, ScriptedDialog& d) {
             return !s.sendPowerBroadcast(d, ui::PbtApmStandby).handled;
         },
         {{WmPowerBroadcast, ui::PbtApmStandby, 0, 0}}},
        {"a volume arrives",
         [](HeadlessSystem& s, ScriptedDialog& d) {
             s.sendDeviceChange(d, ui::DbtDeviceArrival, ui::DbtDevTypVolume);
             return true;
         },
         {{WmDeviceChange, ui::DbtDeviceArrival, 0, ui::DbtDevTypVolume}}},
        {"a port goes away",
         [](HeadlessSystem& s, ScriptedDialog& d) {
             s.sendDeviceChange(d, ui::DbtDeviceRemoveComplete, 3);
             return true;
         },
         {{WmDeviceChange, ui::DbtDeviceRemoveComplete, 0, 3}}},
        {"an appended system menu item",
         [](HeadlessSystem& s, ScriptedDialog& d) {
             return d.AppendSystemMenuItem(0x10, u"About") && s.chooseSystemMenuItem(d, 0x10);
         },
         {{WmSysCommand, 0x10, 0, 0}}},
        {"a system menu item never appended",
         [](HeadlessSystem& s, ScriptedDialog& d) { return s.chooseSystemMenuItem(d, 0x10); }, {}},
    };
    for (const MessageCase& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedDialog dialog(system, kMainDialog);
        ASSERT_TRUE(dialog.Create());
        EXPECT_EQ(c.act(system, dialog), !c.received.empty());
        EXPECT_EQ(dialog.received, c.received);
    }
}

TEST_F(UiTest, ControlColoursNameTheControlAndTakeTheDialogsBrush) {
    ScriptedDialog dialog(system, kMainDialog);
    // White behind the notice, as a dialog paints its panel; the rest left to the default.
    dialog.onMessage = [&dialog](uint32_t message, uintptr_t wParam, intptr_t lParam) {
        ui::WindowSystem& windows = dialog.System();
        if (message != ui::WmCtlColorStatic || windows.controlIdOf(dialog.Handle(), lParam) != kNotice) {
            return ui::Reply{};
        }
        windows.setTextColors(wParam, 0x000000, 0xFFFFFF);
        return ui::Reply{true, windows.whiteBrush()};
    };
    ASSERT_TRUE(dialog.Create());

    const ui::CtlColorOutcome notice = system.ctlColor(dialog, kNotice);
    EXPECT_TRUE(notice.whiteBrush);
    EXPECT_TRUE(notice.colorsSet);
    EXPECT_EQ(notice.backColor, 0xFFFFFFu);
    const ui::CtlColorOutcome label = system.ctlColor(dialog, kLabelEdit);
    EXPECT_FALSE(label.reply.handled);
    EXPECT_FALSE(label.colorsSet);
}

} // namespace
} // namespace brc::test
