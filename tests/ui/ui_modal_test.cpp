// Modal runs, nested boxes and dialogs, modeless windows inside a run, and the pump.
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/ui/scripted_dialog.h"

namespace brc::test {
namespace {

using ui::HeadlessSystem;

struct EndCase {
    const char* name;
    int templateId;
    std::function<void(ScriptedDialog&)> prepare;
    std::function<void(HeadlessSystem&, ScriptedDialog&)> actInside;  // null: do nothing
    intptr_t result;
    bool openedForTheTest;  // the modal hook was called
    size_t faults;
};

TEST_F(UiTest, AModalRunEndsWithTheResultItsDialogGives) {
    const EndCase cases[] = {
        {"the IDOK button runs the default OnOK", kMainDialog, nullptr,
         [](HeadlessSystem& s, ScriptedDialog& d) { s.click(d, kExit); }, ui::IdOk, true, 0},
        {"Enter clicks the default IDOK button", kMainDialog, nullptr,
         [](HeadlessSystem& s, ScriptedDialog& d) { s.pressKey(d, ui::VkReturn); }, ui::IdOk, true,
         0},
        {"Escape runs the default OnCancel", kMainDialog, nullptr,
         [](HeadlessSystem& s, ScriptedDialog& d) { s.pressKey(d, ui::VkEscape, kLabelEdit); },
         ui::IdCancel, true, 0},
        {"a handler's EndDialog", kMainDialog,
         [](ScriptedDialog& d) {
             d.onCommand = [&d](int id, uint32_t) {
                 if (id == kFormat) d.EndDialog(7);
                 return id == kFormat;
             };
         },
         [](HeadlessSystem& s, ScriptedDialog& d) { s.click(d, kFormat); }, 7, true, 0},
        {"WM_CLOSE posted by a handler becomes IDCANCEL", kMainDialog,
         [](ScriptedDialog& d) {
             d.onCommand = [&d](int id, uint32_t) {
                 if (id == kFormat) d.PostWindowMessage(ui::WmClose);
                 return id == kFormat;
             };
         },
         [](HeadlessSystem& s, ScriptedDialog& d) { s.click(d, kFormat); }, ui::IdCancel, true, 0},
        {"the close box becomes IDCANCEL", kMainDialog, nullptr,
         [](HeadlessSystem& s, ScriptedDialog& d) { s.chooseSystemMenuItem(d, ui::ScClose); },
         ui::IdCancel, true, 0},
        {"EndDialog inside OnInitDialog ends before anything is shown", kHiddenDialog,
         [](ScriptedDialog& d) { d.onInit = [&d] { d.EndDialog(ui::IdOk); }; }, nullptr, ui::IdOk,
         false, 0},
        {"a run left waiting ends with -1 and a fault", kMainDialog, nullptr, nullptr, -1, true, 1},
        {"a template that does not exist", 4242, nullptr, nullptr, -1, false, 1},
    };
    for (const EndCase& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedDialog dialog(system, c.templateId);
        if (c.prepare) c.prepare(dialog);
        bool opened = false;
        system.onModalDialog = [&](ui::Dialog& shown) {
            opened = true;
            EXPECT_EQ(&shown, &dialog);
            EXPECT_TRUE(system.isWindowVisible(dialog));
            if (c.actInside) c.actInside(system, dialog);
        };
        EXPECT_EQ(dialog.DoModal(), c.result);
        EXPECT_EQ(opened, c.openedForTheTest);
        EXPECT_FALSE(dialog.HasWindow());
        EXPECT_EQ(system.pendingMessages(), 0u);
        EXPECT_EQ(system.takeFaults().size(), c.faults);
    }
}

TEST_F(UiTest, BoxesAndDialogsOpenedInsideAHandlerAnswerAndDisableTheirOwner) {
    ScriptedDialog main(system, kMainDialog);
    ScriptedDialog options(system, kOptionsDialog);
    options.onInit = [&options] {
        options.Combo(kTypeList).AddString(u"Quick");
        options.Combo(kTypeList).AddString(u"Full");
    };
    int firstAnswer = 0, secondAnswer = 0;
    intptr_t optionsResult = 0;
    int chosenType = -1;
    main.onCommand = [&](int id, uint32_t) {
        if (id != kFormat) return false;
        firstAnswer = main.ShowMessageBox(u"Format now?", u"Brindlecard",
                                          ui::MbOkCancel | ui::MbIconExclamation | ui::MbDefButton2);
        optionsResult = options.DoModal();
        secondAnswer = main.ShowMessageBox(u"Done", u"Brindlecard", ui::MbIconInformation);
        return true;
    };
    options.onCommand = [&](int id, uint32_t) {
        if (id == ui::IdOk) chosenType = options.Combo(kTypeList).GetCurSel();
        return false;  // then the default OnOK ends the dialog
    };
    system.onModalDialog = [&](ui::Dialog& shown) {
        if (&shown == &main) {
            EXPECT_TRUE(system.click(main, kFormat));
            EXPECT_TRUE(system.isWindowEnabled(main));  // back once the nested dialog closed
            EXPECT_TRUE(system.click(main, kExit));
        } else {
            ASSERT_EQ(&shown, &options);
            EXPECT_EQ(system.activeModal(), &options);
            EXPECT_FALSE(system.isWindowEnabled(main));
            EXPECT_FALSE(system.click(main, kFormat));  // the owner takes no click meanwhile
            EXPECT_TRUE(system.selectItem(options, kTypeList, 1));
            EXPECT_TRUE(system.click(options, ui::IdOk));
        }
    };
    system.queueAnswers({ui::IdCancel});

    EXPECT_EQ(main.DoModal(), ui::IdOk);
    EXPECT_EQ(firstAnswer, ui::IdCancel);
    EXPECT_EQ(secondAnswer, ui::IdOk);  // once the queue is empty
    EXPECT_EQ(optionsResult, ui::IdOk);
    EXPECT_EQ(chosenType, 1);
    ASSERT_EQ(system.messageBoxes().size(), 2u);
    const ui::MessageBoxRecord& box = system.messageBoxes()[0];
    EXPECT_EQ(box.ownerTemplate, kMainDialog);
    EXPECT_EQ(box.text, u"Format now?");
    EXPECT_EQ(box.caption, u"Brindlecard");
    EXPECT_EQ(box.style, 0x131u);
    EXPECT_EQ(box.answer, ui::IdCancel);
    // The click refused while the options dialog was open never arrived.
    EXPECT_EQ(main.commands,
              (std::vector<Command>{{kFormat, ui::BnClicked}, {kExit, ui::BnClicked}}));
}

// A long loop inside a handler, as a format runs: a modeless progress window owned by the main
// dialog, the queue pumped after each step, the window's Cancel setting a flag.
struct LongRun {
    ScriptedDialog& main;
    ScriptedDialog& progress;
    bool cancelled = false;
    int steps = 0;

    void attach() {
        progress.onCommand = [this](int id, uint32_t) {
            if (id == kCancelButton) cancelled = true;
            return id == kCancelButton;
        };
        main.onCommand = [this](int id, uint32_t) {
            if (id != kFormat) return false;
            EXPECT_TRUE(progress.Create(&main));
            while (!cancelled && steps < 100) {
                ++steps;
                progress.SetControlText(kProgressLine, steps % 2 ? u"Format  50%" : u"Format 100%");
                main.System().pumpPendingMessages();
            }
            progress.DestroyWindow();
            return true;
        };
    }
};

TEST_F(UiTest, TheProgressWindowLivesInsideAModalRunAndItsCancelArrivesThroughThePump) {
    ScriptedDialog main(system, kMainDialog);
    ScriptedDialog progress(system, kProgressDialog);
    LongRun run{main, progress};
    run.attach();
    int pumps = 0;
    system.onPump = [&] {
        if (++pumps == 3) system.postClick(progress, kCancelButton);
    };
    system.onModalDialog = [&](ui::Dialog&) {
        system.setMainWindow(&main);
        EXPECT_TRUE(system.click(main, kFormat));
        EXPECT_TRUE(system.isOpen(main));
        EXPECT_FALSE(system.isOpen(progress));
        system.click(main, kExit);
    };

    EXPECT_EQ(main.DoModal(), ui::IdOk);
    system.setMainWindow(nullptr);
    EXPECT_TRUE(run.cancelled);
    EXPECT_EQ(run.steps, 3);  // the click queued during the third pump came with it
    EXPECT_EQ(progress.inits, 1);
    ASSERT_FALSE(progress.received.empty());
    EXPECT_EQ(progress.received.back().message, ui::WmNcDestroy);
}

TEST_F(UiTest, EndingTheOwnerDestroysTheWindowsItOwnsFirst) {
    ScriptedDialog main(system, kMainDialog);
    ScriptedDialog progress(system, kProgressDialog);
    std::vector<int> destroyed;
    const auto noteDestroy = [&destroyed](ScriptedDialog& d) {
        d.onMessage = [&destroyed, &d](uint32_t message, uintptr_t, intptr_t) {
            if (message == ui::WmDestroy) destroyed.push_back(d.TemplateId());
            return ui::Reply{};
        };
    };
    noteDestroy(main);
    noteDestroy(progress);
    system.onModalDialog = [&](ui::Dialog&) {
        EXPECT_TRUE(progress.Create(&main));
        system.click(main, kExit);
    };
    EXPECT_EQ(main.DoModal(), ui::IdOk);
    EXPECT_FALSE(progress.HasWindow());
    EXPECT_EQ(destroyed, (std::vector<int>{kProgressDialog, kMainDialog}));
}

TEST_F(UiTest, ThePumpDeliversInOrderAndDropsWhatWasForAWindowThatIsGone) {
    ScriptedDialog main(system, kMainDialog);
    ScriptedDialog progress(system, kProgressDialog);
    ASSERT_TRUE(main.Create());
    ASSERT_TRUE(progress.Create(&main));
    main.SetTimer(1090, 1000);

    system.postClick(progress, kCancelButton);
    system.postTimer(main, 1090);
    system.postPowerBroadcast(main, ui::PbtApmSuspend);
    system.postDeviceChange(main, ui::DbtDeviceRemoveComplete, ui::DbtDevTypVolume);
    system.postClick(main, kFormat);
    progress.DestroyWindow();
    EXPECT_EQ(system.pendingMessages(), 5u);

    system.pumpPendingMessages();
    EXPECT_EQ(system.pendingMessages(), 0u);
    EXPECT_TRUE(progress.commands.empty());
    EXPECT_EQ(main.commands, (std::vector<Command>{{kFormat, ui::BnClicked}}));
    const std::vector<Received> expected = {
        {ui::WmTimer, 1090, 0, 0},
        {ui::WmPowerBroadcast, ui::PbtApmSuspend, 0, 0},
        {ui::WmDeviceChange, ui::DbtDeviceRemoveComplete, 0, ui::DbtDevTypVolume},
    };
    EXPECT_EQ(main.received, expected);
}

TEST_F(UiTest, DestroyingAWindowStopsItsTimers) {
    ScriptedDialog dialog(system, kMainDialog);
    ASSERT_TRUE(dialog.Create());
    dialog.SetTimer(1090, 1000);
    EXPECT_EQ(system.timers(dialog).at(1090), 1000u);
    dialog.DestroyWindow();
    ASSERT_TRUE(dialog.Create());
    EXPECT_TRUE(system.timers(dialog).empty());
    EXPECT_FALSE(system.fireTimer(dialog, 1090));
}

} // namespace
} // namespace brc::test
