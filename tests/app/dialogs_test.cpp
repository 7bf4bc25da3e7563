// The desktop program's dialogs on the in-memory windows, over virtual cards in drive letters:
// what the user sees in the main window, how it follows the cards, the options and about
// boxes, the progress window's keys, the Format button end to end, and the start-up refusals.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>

#include "app/about_box.h"
#include "app/application.h"
#include "app/main_dialog.h"
#include "app/option_dialog.h"
#include "app/wait_dialog.h"
#include "device/driver_binding.h"
#include "device/system_checks.h"
#include "tests/support/fake_os.h"
#include "platform/posix/posix_os.h"
#include "res/message_ids.h"
#include "res/resource_ids.h"
#include "tests/support/fake_card.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/headless_system.h"

namespace brc {
namespace {

constexpr uint64_t kSdhc = 62333952, kSdxc = 122142720, kSmall = 131072;

// Virtual cards in drive letters, the system behind them and the main dialog over it.
struct DialogRig {
    test::ScratchDir dir{"dialogs"};
    std::unique_ptr<OsServices> os;
    std::unique_ptr<SystemState> sys;
    std::unique_ptr<DriverBinding> driver;
    RunFlags flags;
    ui::HeadlessSystem ui;
    std::unique_ptr<AppContext> app;
    std::unique_ptr<CBrindlecardDlg> dialog;

    explicit DialogRig(std::initializer_list<std::pair<char, uint64_t>> cards, uint32_t checkApi = 0,
                       uint32_t retry = 0) {
        std::string map;
        for (const auto& [letter, sectors] : cards) {
            const std::filesystem::path image = path(letter);
            { std::ofstream create(image, std::ios::binary); }
            std::filesystem::resize_file(image, sectors * 512);
            map += (map.empty() ? "" : ";") + std::string(1, letter) + "=" + image.string();
        }
        ::setenv("BRINDLECARD_CARDS", map.c_str(), 1);
        os = makePosixOsServices("");
        sys = std::make_unique<SystemState>(*os);
        driver = std::make_unique<DriverBinding>(*os);
        EXPECT_EQ(bindDriver(*driver, 2), BindResult::Bound) << driver->lastError;
        app = std::make_unique<AppContext>(AppContext{*os, *driver, *sys, flags, builtinMessages(),
                                                      retry, checkApi, u"", nullptr});
        dialog = std::make_unique<CBrindlecardDlg>(ui, *app);
    }
    ~DialogRig() { ::unsetenv("BRINDLECARD_CARDS"); }

    std::filesystem::path path(char letter) const { return dir.path / (std::string(1, letter) + ".img"); }

    // Acts in a dialog the main dialog opens (options, about box).
    std::function<void(ui::Dialog&)> inner;

    // Runs the main dialog; `act` works in it, then it is closed with Exit.
    void run(const std::function<void()>& act) {
        ui.setMainWindow(dialog.get());
        ui.onModalDialog = [this, act](ui::Dialog& d) {
            if (&d != dialog.get()) {
                if (inner) inner(d);
                return;
            }
            act();
            if (ui.isOpen(*dialog)) ui.click(*dialog, ui::IdOk);
        };
        dialog->DoModal(nullptr);
        ui.setMainWindow(nullptr);
        EXPECT_TRUE(ui.faults().empty()) << ui.faults().front();
    }
    std::u16string text(int id) { return dialog->GetControlText(id); }
    std::vector<std::u16string> drives() {
        std::vector<std::u16string> out;
        ui::ComboBox list = dialog->Combo(IDC_DRIVE_LIST);
        for (int i = 0; i < list.GetCount(); ++i) out.push_back(list.GetItemText(i));
        return out;
    }
    int shownPicture() {
        int shown = 0;
        for (int id : {IDC_PICTURE_UNUSABLE, IDC_PICTURE_NO_DRIVE, IDC_PICTURE_SD, IDC_PICTURE_SDHC,
                       IDC_PICTURE_SDXC})
            if (dialog->IsControlVisible(id)) shown = shown ? -1 : id;
        return shown;
    }
};

std::u16string msgText(uint32_t id) { return builtinMessages().text(id); }

TEST(MainDialog, OpensWithItsTextsTimerAnimationAndTheCardsListed) {
    for (const uint32_t retry : {0u, 1u}) {
        DialogRig rig({{'F', kSdxc}, {'E', kSdhc}}, 0, retry);
        rig.run([&] {
            CBrindlecardDlg& d = *rig.dialog;
            EXPECT_EQ(d.GetCaption(), std::u16string(u"Brindlecard V0.1") + (retry ? u" [RETRY MODE]" : u""));
            const std::pair<int, uint32_t> texts[] = {
                {IDC_FORMAT, msg::FormatButton},
                {IDC_EXIT, msg::ExitButton},
                {IDC_REFRESH, msg::RefreshButton},
                {IDC_NOTICE, msg::FormatErasesAllData},
                {IDC_TRADEMARK, msg::TrademarkNotice},
                {IDC_OPTIONS_CAPTION, msg::OptionsBoxCaption},
                {IDC_OPTION, msg::OptionsButton},
                {IDC_OPTIONS_SUMMARY, msg::SummaryQuickAdjustOff}};
            for (const auto& [id, message] : texts) EXPECT_EQ(rig.text(id), msgText(message)) << id;
            EXPECT_EQ(rig.ui.timers(d),
                      (std::map<uintptr_t, uint32_t>{{CBrindlecardDlg::kPollTimerId, 1000}}));
            EXPECT_EQ(rig.ui.animation(d, IDC_ANIMATION).resourceId, IDR_BUSY_ANIMATION);
            EXPECT_TRUE(rig.ui.animation(d, IDC_ANIMATION).playing);
            EXPECT_EQ(rig.ui.systemMenu(d),
                      (std::vector<std::pair<uint32_t, std::u16string>>{
                          {0, u""}, {IDM_ABOUTBOX, msgText(msg::AboutMenuItem)}}))
                << "a separator, then the About item";
            EXPECT_FALSE(d.IsControlVisible(IDC_PICTURE_UNKNOWN));
            // Sorted, the first one selected, its size, picture and an enabled label.
            EXPECT_EQ(rig.drives(), (std::vector<std::u16string>{u"E:", u"F:"}));
            EXPECT_EQ(d.Combo(IDC_DRIVE_LIST).GetCurSel(), 0);
            EXPECT_EQ(rig.text(IDC_CAPACITY_VALUE), u"29.7");
            EXPECT_EQ(rig.text(IDC_CAPACITY_UNIT), u"GB");
            EXPECT_EQ(rig.shownPicture(), IDC_PICTURE_SDHC);
            EXPECT_TRUE(d.IsControlEnabled(IDC_FORMAT));
            EXPECT_TRUE(d.IsControlEnabled(IDC_LABEL_EDIT));
        });
    }
}

TEST(MainDialog, FollowsTheSelectionRefreshPullAndDeviceChanges) {
    DialogRig rig({{'E', kSdhc}, {'F', kSdxc}});
    rig.run([&] {
        CBrindlecardDlg& d = *rig.dialog;
        d.sizeAdjustment = 1;
        ASSERT_TRUE(rig.ui.selectItem(d, IDC_DRIVE_LIST, 1));
        EXPECT_EQ(rig.text(IDC_CAPACITY_VALUE), u"58.2");
        EXPECT_EQ(rig.shownPicture(), IDC_PICTURE_SDXC);
        EXPECT_EQ(d.sizeAdjustment, 0u) << "a new drive starts without size adjustment";
        // Refresh and F5 keep the selection.
        ASSERT_TRUE(rig.ui.click(d, IDC_REFRESH));
        EXPECT_EQ(d.Combo(IDC_DRIVE_LIST).GetItemText(d.Combo(IDC_DRIVE_LIST).GetCurSel()), u"F:");
        for (int id : {IDC_REFRESH, IDC_OPTION, IDC_EXIT})
            EXPECT_TRUE(d.IsControlEnabled(id)) << id;
        EXPECT_EQ(rig.ui.pressKey(d, ui::VkF5, IDC_DRIVE_LIST), ui::KeyFate::Consumed);
        EXPECT_EQ(d.Combo(IDC_DRIVE_LIST).GetItemText(d.Combo(IDC_DRIVE_LIST).GetCurSel()), u"F:");
        // F: pulled: the poll sees it not ready and the list falls back to E:.
        std::filesystem::remove(rig.path('F'));
        ASSERT_TRUE(rig.ui.fireTimer(d, CBrindlecardDlg::kPollTimerId));
        EXPECT_EQ(rig.drives(), (std::vector<std::u16string>{u"E:"}));
        EXPECT_EQ(rig.text(IDC_CAPACITY_VALUE), u"29.7");
        // E: pulled too, told by a volume removal: nothing left.
        std::filesystem::remove(rig.path('E'));
        rig.ui.sendDeviceChange(d, ui::DbtDeviceRemoveComplete, ui::DbtDevTypVolume);
        EXPECT_TRUE(rig.drives().empty());
        EXPECT_FALSE(d.IsControlEnabled(IDC_DRIVE_LIST));
        EXPECT_FALSE(d.IsControlEnabled(IDC_FORMAT));
        EXPECT_EQ(rig.shownPicture(), IDC_PICTURE_NO_DRIVE);
        EXPECT_EQ(rig.text(IDC_NOTICE), msgText(msg::FormatErasesAllData));
        EXPECT_EQ(rig.text(IDC_CAPACITY_VALUE), u"");
    });
}

TEST(MainDialog, F5AndDeviceChangesWaitWhileAFormatRuns) {
    DialogRig rig({{'E', kSdhc}});
    rig.run([&] {
        CBrindlecardDlg& d = *rig.dialog;
        d.stopPollTimer();  // as the Format command does
        std::filesystem::remove(rig.path('E'));
        EXPECT_EQ(rig.ui.pressKey(d, ui::VkF5, IDC_DRIVE_LIST), ui::KeyFate::Consumed);
        rig.ui.sendDeviceChange(d, ui::DbtDeviceArrival, ui::DbtDevTypVolume);
        EXPECT_EQ(rig.drives(), (std::vector<std::u16string>{u"E:"})) << "refreshed during a format";
        for (const ui::KeyRecord& k : rig.ui.keysReceived(d))
            EXPECT_NE(k.message, ui::WmKeyDown) << "F5 reached a control";
        d.startPollTimer();
    });
}

TEST(MainDialog, PowerBroadcastsSetTheAbortFlags) {
    const struct { uint32_t event, powerEvent, abort; } rows[] = {
        {4, 4, 1}, {7, 4, 1}, {5, 5, 1}, {8, 5, 1}, {9, 0, 0}, {6, 0, 0}};
    for (const auto& r : rows) {
        DialogRig rig({{'E', kSmall}});
        rig.run([&] { rig.ui.sendPowerBroadcast(*rig.dialog, r.event); });
        EXPECT_EQ(rig.flags.powerEvent, r.powerEvent) << r.event;
        EXPECT_EQ(rig.flags.powerAbort, r.abort) << r.event;
    }
}

TEST(MainDialog, WhitePanelAndItsTwoTexts) {
    DialogRig rig({{'E', kSmall}});
    rig.run([&] {
        for (const int id : {IDC_NOTICE, IDC_TRADEMARK, IDC_CAPACITY_VALUE}) {
            const ui::CtlColorOutcome o = rig.ui.ctlColor(*rig.dialog, id);
            EXPECT_EQ(o.whiteBrush, id != IDC_CAPACITY_VALUE) << id;
            if (id != IDC_CAPACITY_VALUE) {
                EXPECT_EQ(std::make_pair(o.textColor, o.backColor), std::make_pair(0u, 0xFFFFFFu));
            }
        }
        rig.ui.send(*rig.dialog, ui::WmPaint);
        const auto paints = rig.ui.paints(*rig.dialog);
        ASSERT_EQ(paints.size(), 1u);
        EXPECT_EQ(paints[0].kind, ui::PaintRecord::RoundRect);
        EXPECT_EQ(paints[0].rect, rig.dialog->MapDialogRect({68, 8, 233, 68}));
        EXPECT_EQ(paints[0].penColor, 0x808080u);
    });
}

TEST(MainDialog, MinimisedItPaintsOnlyItsIconCentred) {
    DialogRig rig({{'E', kSmall}});
    rig.run([&] {
        rig.ui.setMinimized(*rig.dialog, true);
        rig.ui.send(*rig.dialog, ui::WmPaint);
        const auto paints = rig.ui.paints(*rig.dialog);
        ASSERT_EQ(paints.size(), 1u);
        EXPECT_EQ(paints[0].kind, ui::PaintRecord::Icon);
        EXPECT_NE(paints[0].icon, 0u);
        const ui::Rect client = rig.ui.clientRect(rig.dialog->Handle());
        const int icon = rig.ui.systemMetric(ui::SmCxIcon);
        ASSERT_GT(icon, 0);
        EXPECT_EQ(paints[0].rect.left, (client.right - client.left - icon + 1) / 2);
        EXPECT_EQ(paints[0].rect.top, (client.bottom - client.top - rig.ui.systemMetric(ui::SmCyIcon) + 1) / 2);
        // Restored, it paints the white panel again.
        rig.ui.setMinimized(*rig.dialog, false);
        rig.ui.send(*rig.dialog, ui::WmPaint);
        const auto after = rig.ui.paints(*rig.dialog);
        ASSERT_FALSE(after.empty());
        EXPECT_EQ(after.back().kind, ui::PaintRecord::RoundRect);
    });
}

TEST(OptionsDialog, OffersTheTypesAndHandsBackTheChoice) {
    const struct { const char* name; int typeIndex; int adjustIndex; bool ok; FormatType type; uint32_t adjust; uint32_t summary; } rows[] = {
        {"overwrite, adjusted", 2, 1, true, FullOverwrite, 1, msg::SummaryOverwriteAdjustOn},
        {"erase", 1, 0, true, FullErase, 0, msg::SummaryEraseAdjustOff},
        {"cancelled", 2, 1, false, Quick, 0, msg::SummaryQuickAdjustOff},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        DialogRig rig({{'E', kSmall}});
        rig.run([&] {
            rig.inner = [&](ui::Dialog& d) {
                ASSERT_EQ(d.TemplateId(), IDD_OPTIONS);
                EXPECT_EQ(d.GetCaption(), msgText(msg::OptionsTitle));
                ui::ComboBox types = d.Combo(IDC_OPTIONS_TYPE_LIST);
                ASSERT_EQ(types.GetCount(), 3);
                EXPECT_EQ(types.GetItemText(0), msgText(msg::TypeQuick));
                EXPECT_EQ(types.GetItemText(1), msgText(msg::TypeFullErase));
                EXPECT_EQ(types.GetItemText(2), msgText(msg::TypeFullOverwrite));
                EXPECT_EQ(types.GetCurSel(), 0);
                EXPECT_EQ(d.Combo(IDC_OPTIONS_ADJUST_LIST).GetCurSel(), 0);
                rig.ui.selectItem(d, IDC_OPTIONS_TYPE_LIST, r.typeIndex);
                rig.ui.selectItem(d, IDC_OPTIONS_ADJUST_LIST, r.adjustIndex);
                rig.ui.click(d, r.ok ? ui::IdOk : ui::IdCancel);
            };
            ASSERT_TRUE(rig.ui.click(*rig.dialog, IDC_OPTION));
        });
        EXPECT_EQ(rig.dialog->formatType, r.type);
        EXPECT_EQ(rig.dialog->sizeAdjustment, r.adjust);
    }
}

TEST(OptionsDialog, WithoutEraseTheListHasTwoTypesAndOverwriteEraseShowsAsOverwrite) {
    DialogRig rig({{'E', kSmall}});
    rig.run([&] {
        NewSetting options(rig.ui, builtinMessages());
        options.eraseAvailable = 0;
        options.formatType = FullOverwriteErase;
        rig.inner = [&](ui::Dialog& d) {
            ui::ComboBox types = d.Combo(IDC_OPTIONS_TYPE_LIST);
            EXPECT_EQ(types.GetCount(), 2);
            EXPECT_EQ(types.GetItemText(types.GetCurSel()), msgText(msg::TypeFullOverwrite));
            rig.ui.click(d, ui::IdOk);
        };
        options.DoModal(rig.dialog.get());
        EXPECT_EQ(options.formatType, FullOverwrite);
    });
}

// /CHECKAPI: a card whose erase support cannot be confirmed (no manufacturer id through route 1)
// loses the flash-erase types; without the switch nothing is asked and all three stay.
TEST(OptionsDialog, CheckApiDropsEraseForACardThatCannotConfirmIt) {
    const struct { const char* name; uint32_t checkApi; const char* sidecar; int types; FormatType after; uint32_t summary; } rows[] = {
        {"switch, no id", 1, "mid = none\n", 2, Quick, msg::SummaryQuickAdjustOff},
        {"switch, card with an id", 1, "", 3, FullErase, msg::SummaryEraseAdjustOff},
        {"no switch, no id", 0, "mid = none\n", 3, FullErase, msg::SummaryEraseAdjustOff},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        DialogRig rig({{'E', kSmall}, {'F', kSmall}}, r.checkApi);
        for (char letter : {'E', 'F'})
            std::ofstream(rig.path(letter).string() + ".card") << r.sidecar;
        rig.run([&] {
            CBrindlecardDlg& d = *rig.dialog;
            d.formatType = FullErase;
            d.UpdateOptionsText();
            EXPECT_EQ(rig.text(IDC_OPTIONS_SUMMARY), msgText(msg::SummaryEraseAdjustOff));
            // The next drive selection asks again.
            ASSERT_TRUE(rig.ui.selectItem(d, IDC_DRIVE_LIST, 1));
            EXPECT_EQ(d.formatType, r.after);
            EXPECT_EQ(rig.text(IDC_OPTIONS_SUMMARY), msgText(r.summary));
            rig.inner = [&](ui::Dialog& options) {
                EXPECT_EQ(options.Combo(IDC_OPTIONS_TYPE_LIST).GetCount(), r.types);
                rig.ui.click(options, ui::IdCancel);
            };
            ASSERT_TRUE(rig.ui.click(d, IDC_OPTION));
        });
    }
}

TEST(AboutBox, VersionLineWithTheLanguageTagAndTheNotice) {
    EXPECT_EQ(getVersionStrings(ProgramVersion{0x40000, 0, u"(c)"}).versionLine,
              u"Brindlecard Version 4.0 [4, 0, 0, 0]");
    EXPECT_EQ(getVersionStrings(std::nullopt).versionLine, u"");
    EXPECT_EQ(getVersionStrings(std::nullopt).legalNotice, kDefaultLegalNotice);
    for (const char16_t* tag : {u"", u"JPN"}) {
        DialogRig rig({{'E', kSmall}});
        rig.app->languageTag = tag;
        rig.run([&] {
            rig.inner = [&](ui::Dialog& d) {
                ASSERT_EQ(d.TemplateId(), IDD_ABOUTBOX);
                EXPECT_EQ(d.GetControlText(IDC_ABOUT_VERSION),
                          std::u16string(u"Brindlecard Version 0.1 [0, 1, 0, 0]") +
                              (*tag ? u" <JPN>" : u""));
                EXPECT_EQ(d.GetControlText(IDC_ABOUT_LEGAL), kDefaultLegalNotice);
                EXPECT_FALSE(d.IsControlVisible(IDC_ABOUT_CONTACT_LABEL));
                EXPECT_FALSE(d.IsControlVisible(IDC_ABOUT_CONTACT_LINK));
                rig.ui.click(d, ui::IdOk);
            };
            ASSERT_TRUE(rig.ui.chooseSystemMenuItem(*rig.dialog, 0x10));
        });
    }
}

TEST(ProgressWindow, KeysCannotCloseItAndCancelOnlyRaisesTheFlag) {
    DialogRig rig({{'E', kSmall}});
    rig.run([&] {
        CWaitDialog wait(rig.ui, builtinMessages(), rig.flags, rig.dialog.get());
        ASSERT_NE(wait.createProgressWindow(), nullptr);
        EXPECT_EQ(wait.GetCaption(), msgText(msg::ProgressTitle));
        EXPECT_EQ(wait.GetControlText(IDC_WAIT_NOTICE), msgText(msg::DoNotRemoveDrive));
        EXPECT_EQ(wait.GetControlText(IDC_WAIT_CANCEL), msgText(msg::Cancel));
        for (const uint32_t key : {ui::VkReturn, ui::VkEscape})
            EXPECT_EQ(rig.ui.pressKey(wait, key, IDC_WAIT_CANCEL), ui::KeyFate::Consumed) << key;
        EXPECT_TRUE(rig.ui.isOpen(wait));
        EXPECT_EQ(rig.flags.cancelRequested, 0u);
        ASSERT_TRUE(rig.ui.click(wait, IDC_WAIT_CANCEL));
        ASSERT_TRUE(rig.ui.click(wait, IDC_WAIT_CANCEL));
        EXPECT_EQ(rig.flags.cancelRequested, 1u);
        EXPECT_TRUE(rig.ui.isOpen(wait));
        wait.showStage({ProgressStage::Format, StageState::Running, 8192, 16384, 50});
        EXPECT_EQ(wait.GetControlText(IDC_WAIT_FORMAT_LINE), u"Формат  50%");
        EXPECT_EQ(rig.ui.redrawCount(wait, IDC_WAIT_FORMAT_LINE), 1);
        wait.destroyProgressWindow();
        EXPECT_FALSE(rig.ui.isOpen(wait));
    });
}

TEST(FormatButton, FormatsTheSelectedCardWithItsLabelAndReports) {
    DialogRig rig({{'E', kSmall}});
    rig.run([&] {
        CBrindlecardDlg& d = *rig.dialog;
        ASSERT_TRUE(rig.ui.typeText(d, IDC_LABEL_EDIT, u"CARD"));
        rig.ui.queueAnswers({ui::IdOk, ui::IdOk});  // 269, then 207
        ASSERT_TRUE(rig.ui.click(d, IDC_FORMAT));
        EXPECT_EQ(d.lastFormat().end, FormatEnd::Formatted);
        const auto& boxes = rig.ui.messageBoxes();
        ASSERT_EQ(boxes.size(), 3u);
        EXPECT_EQ(boxes[0].text, msgText(msg::ConfirmQuickFormat));
        EXPECT_EQ(boxes[0].style, 0x131u);
        EXPECT_EQ(boxes[1].text, msgText(msg::ConfirmFormat));
        EXPECT_EQ(boxes[2].caption, u"Brindlecard");
        EXPECT_EQ(boxes[2].style, 0x40u);
        EXPECT_NE(boxes[2].text.find(u"Volume Information"), std::u16string::npos);
        EXPECT_EQ(rig.ui.timers(d).count(CBrindlecardDlg::kPollTimerId), 1u)
            << "the poll runs again";
        for (int id :
             {IDC_LABEL_EDIT, IDC_FORMAT, IDC_REFRESH, IDC_OPTION, IDC_DRIVE_LIST, IDC_EXIT})
            EXPECT_TRUE(d.IsControlEnabled(id)) << id;
        // The label the system now reads from the card.
        VolumeInfo info;
        ASSERT_TRUE(rig.os->volumeInfo(u"E:\\", info));
        EXPECT_EQ(info.label, u"CARD");
        EXPECT_EQ(rig.text(IDC_LABEL_EDIT), u"CARD");
    });
}

TEST(FormatButton, CancellingTheQuestionWritesNothing) {
    DialogRig rig({{'E', kSmall}});
    rig.run([&] {
        rig.ui.queueAnswers({ui::IdCancel});
        ASSERT_TRUE(rig.ui.click(*rig.dialog, IDC_FORMAT));
        EXPECT_EQ(rig.dialog->lastFormat().end, FormatEnd::Cancelled);
        VolumeInfo info;
        EXPECT_FALSE(rig.os->volumeInfo(u"E:\\", info));
    });
}

// The shell asks the window in front whether to cancel AutoPlay for a medium that arrived: the
// card's volume goes and comes back while it is written. The main window and the progress
// window say yes while the format and its label are being written, and leave the question to
// the system before and after, however the format ended.
TEST(FormatButton, AutoPlayIsCancelledOnlyWhileTheCardIsWritten) {
    const struct {
        const char* name;
        const char* sidecar;
        bool suspend;
        FormatEnd end;
    } rows[] = {
        {"formatted", "", false, FormatEnd::Formatted},
        {"a write fails", "fail_write_call = 1\n", false, FormatEnd::Failed},
        {"a suspend comes", "", true, FormatEnd::Failed},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        DialogRig rig({{'E', kSmall}});
        std::ofstream(rig.path('E').string() + ".card") << r.sidecar;
        rig.run([&] {
            CBrindlecardDlg& d = *rig.dialog;
            auto* wait = dynamic_cast<ui::Dialog*>(&d.progressWindow());
            ASSERT_NE(wait, nullptr);
            const auto ask = [&](ui::Dialog& window) {
                const ui::Reply reply = rig.ui.send(window, ui::WmQueryCancelAutoPlay);
                return reply.handled ? reply.result : -1; // -1: left to the system
            };
            EXPECT_EQ(ask(d), -1) << "before the format";
            std::vector<intptr_t> mainAnswers, waitAnswers;
            rig.ui.onPump = [&] {
                mainAnswers.push_back(ask(d));
                if (wait->HasWindow()) waitAnswers.push_back(ask(*wait));
                if (r.suspend) rig.ui.sendPowerBroadcast(d, ui::PbtApmSuspend);
            };
            rig.ui.queueAnswers({ui::IdOk, ui::IdOk});
            ASSERT_TRUE(rig.ui.click(d, IDC_FORMAT));
            rig.ui.onPump = nullptr;
            EXPECT_EQ(d.lastFormat().end, r.end);
            ASSERT_FALSE(mainAnswers.empty());
            ASSERT_FALSE(waitAnswers.empty()) << "the progress window was never asked";
            for (const intptr_t answer : mainAnswers) EXPECT_EQ(answer, 1) << "main window";
            for (const intptr_t answer : waitAnswers) EXPECT_EQ(answer, 1) << "progress window";
            EXPECT_EQ(ask(d), -1) << "after the format";
        });
    }
}

// ---- start-up --------------------------------------------------------------------------------

TEST(Startup, LanguageLibraryByLangId) {
    const struct { uint16_t langId; const char* file; const char16_t* tag; } rows[] = {
        {0x0411, "BrindlecardJPN.dll", u"JPN"}, {0x0804, "BrindlecardCHS.dll", u"CHS"},
        {0x1004, "BrindlecardCHS.dll", u"CHS"}, {0x0404, "BrindlecardCHT.dll", u"CHT"},
        {0x0C04, "BrindlecardCHT.dll", u"CHT"}, {0x1404, "BrindlecardCHT.dll", u"CHT"},
        {0x0004, nullptr, u""},                 {0x1804, nullptr, u""},
        {0x0419, nullptr, u""},                 {0x0000, nullptr, u""},
    };
    for (const auto& r : rows) {
        const LanguageLibrary l = languageLibraryFor(r.langId);
        EXPECT_STREQ(l.fileName, r.file) << std::hex << r.langId;
        EXPECT_EQ(std::u16string(l.tag), r.tag) << std::hex << r.langId;
    }
}

TEST(Startup, Switches) {
    const struct { std::vector<std::u16string> args; uint32_t retry, checkApi; } rows[] = {
        {{u"/retry", u"/CheckApi"}, 1, 1}, {{u"/RETRY"}, 1, 0}, {{u"/RETRY2", u"-RETRY", u"RETRY"}, 0, 0},
        {{u"/checkapi"}, 0, 1}, {{}, 0, 0},
    };
    for (const auto& r : rows) {
        const Switches s = readSwitches(r.args);
        EXPECT_EQ(s.retryMode, r.retry);
        EXPECT_EQ(s.checkApiMode, r.checkApi);
    }
}

// The scripted system, a route-2 library, and the program run until its main dialog opens.
struct StartupRig {
    FakeOs os;
    test::FakeCard card{kSmall};
    ui::HeadlessSystem ui;
    ResourceMessages messages{ui};  // as the program takes its texts
    CBrindlecardApp app{ui, os, messages};
    bool mainDialogRan = false;

    StartupRig() {
        card.addTo(os, driverFileName(2, false), 2);
        os.groups = std::vector<std::string>{"S-1-5-32-544"};  // an administrator
        ui.onModalDialog = [this](ui::Dialog& d) {
            if (d.TemplateId() != IDD_BRINDLECARD) return;
            mainDialogRan = true;
            ui.click(d, ui::IdOk);
        };
    }
};

TEST(Startup, RefusalsShowTheirMessageAndNeverOpenTheMainDialog) {
    const struct { const char* name; std::function<void(StartupRig&)> script; uint32_t refusal; } rows[] = {
        {"runs", [](StartupRig&) {}, 0},
        {"another copy holds the mutex", [](StartupRig& r) { r.os.mutexHeld = true; }, 215},
        {"the mutex existed", [](StartupRig& r) { r.os.mutexAlreadyExists = true; }, 216},
        {"a server edition", [](StartupRig& r) { r.os.version = OsVersion{2, 6, 1, 3}; }, 261},
        {"no rights, no service", [](StartupRig& r) { r.os.groups = std::vector<std::string>{}; r.os.pipeOpensResult = false; }, 219},
        {"no driver library", [](StartupRig& r) { r.os.libraries.clear(); }, 220},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        StartupRig rig;
        r.script(rig);
        EXPECT_EQ(rig.app.Run({}), r.refusal ? 1 : 0);
        EXPECT_EQ(rig.app.refusal(), r.refusal);
        EXPECT_EQ(rig.mainDialogRan, r.refusal == 0);
        if (r.refusal) {
            ASSERT_EQ(rig.ui.messageBoxes().size(), 1u);
            EXPECT_EQ(rig.ui.messageBoxes()[0].text, msgText(r.refusal));
            EXPECT_EQ(rig.ui.messageBoxes()[0].style, 0x10010u);
            EXPECT_EQ(rig.ui.messageBoxes()[0].ownerTemplate, 0);
        }
        EXPECT_TRUE(rig.os.allReleased()) << "something start-up took was not given back";
    }
}

// Refresh binds the library afresh; when that fails the program says so and closes.
TEST(Startup, AFailedRebindOnRefreshShows215AndClosesTheProgram) {
    StartupRig rig;
    rig.ui.onModalDialog = [&](ui::Dialog& d) {
        rig.mainDialogRan = true;
        rig.os.libraries.clear();
        ASSERT_TRUE(rig.ui.click(d, IDC_REFRESH));
    };
    EXPECT_EQ(rig.app.Run({}), 0);
    EXPECT_TRUE(rig.mainDialogRan);
    ASSERT_EQ(rig.ui.messageBoxes().size(), 1u);
    EXPECT_EQ(rig.ui.messageBoxes()[0].text, msgText(msg::CardInUse));
    EXPECT_EQ(rig.ui.messageBoxes()[0].style, 0x10010u);
    EXPECT_TRUE(rig.ui.takeFaults().empty()) << "the main dialog did not close";
    EXPECT_TRUE(rig.os.allReleased());
}

TEST(Startup, TheUsersLanguageFirstThenTheSystems) {
    const struct { uint16_t user, system; std::vector<std::string> present; const char16_t* tag; } rows[] = {
        {0x0411, 0x0804, {"BrindlecardCHS.dll"}, u"CHS"},
        {0x0411, 0x0804, {"BrindlecardJPN.dll", "BrindlecardCHS.dll"}, u"JPN"},
        {0x0419, 0x0409, {"BrindlecardJPN.dll"}, u""},
    };
    for (const auto& r : rows) {
        StartupRig rig;
        rig.os.uiLanguageValue = r.user;
        rig.os.systemUiLanguageValue = r.system;
        for (const std::string& file : r.present) rig.os.addLibrary(file);
        std::u16string seen;
        rig.ui.onModalDialog = [&](ui::Dialog& d) {
            seen = rig.app.languageTag();
            rig.ui.click(d, ui::IdOk);
        };
        EXPECT_EQ(rig.app.Run({}), 0);
        EXPECT_EQ(seen, r.tag);
        EXPECT_TRUE(rig.os.allReleased());
    }
}

} // namespace
} // namespace brc
