// Controls as the dialogs set and read them: lists, texts and states, pictures, the animation,
// the wait cursor and painting.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/ui/scripted_dialog.h"

namespace brc::test {
namespace {

std::vector<std::u16string> entries(ui::Dialog& dialog, int controlId) {
    std::vector<std::u16string> out;
    ui::ComboBox list = dialog.Combo(controlId);
    for (int i = 0; i < list.GetCount(); ++i) out.push_back(list.GetItemText(i));
    return out;
}

struct InsertCase {
    const char* name;
    int controlId;
    std::vector<std::u16string> added;
    std::vector<int> indices;  // what each AddString returned
    std::vector<std::u16string> order;
};

TEST_F(UiTest, ASortedListPlacesEachEntryWhereItBelongs) {
    const InsertCase cases[] = {
        {"drive letters in any order", kDriveList, {u"F:", u"D:", u"E:"}, {0, 0, 1},
         {u"D:", u"E:", u"F:"}},
        {"case does not count", kDriveList, {u"b", u"A", u"c", u"B2"}, {0, 0, 2, 2},
         {u"A", u"b", u"B2", u"c"}},
        {"an equal entry goes after its twin", kDriveList, {u"E:", u"e:"}, {0, 1}, {u"E:", u"e:"}},
        {"a prefix sorts first", kDriveList, {u"Full", u"Ful"}, {0, 0}, {u"Ful", u"Full"}},
        {"Cyrillic by its upper case", kDriveList, {u"Быстрое", u"ПОЛНЫЙ", u"быстро"}, {0, 1, 0},
         {u"быстро", u"Быстрое", u"ПОЛНЫЙ"}},
        {"an unsorted list keeps the order", kPlainList, {u"F:", u"D:", u"E:"}, {0, 1, 2},
         {u"F:", u"D:", u"E:"}},
    };
    for (const InsertCase& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedDialog dialog(system, kMainDialog);
        ASSERT_TRUE(dialog.Create());
        std::vector<int> indices;
        for (const std::u16string& text : c.added) indices.push_back(dialog.Combo(c.controlId).AddString(text));
        EXPECT_EQ(indices, c.indices);
        EXPECT_EQ(entries(dialog, c.controlId), c.order);
    }
}

TEST_F(UiTest, AListsSelectionFollowsItsEntryAndIsItsText) {
    ScriptedDialog dialog(system, kMainDialog);
    ASSERT_TRUE(dialog.Create());
    ui::ComboBox list = dialog.Combo(kDriveList);
    EXPECT_EQ(list.GetCurSel(), -1);
    EXPECT_EQ(dialog.GetControlText(kDriveList), u"");
    list.AddString(u"E:");
    list.AddString(u"G:");
    EXPECT_EQ(list.SetCurSel(1), 1);
    EXPECT_EQ(dialog.GetControlText(kDriveList), u"G:");
    list.AddString(u"F:");  // goes in before the selection, which stays on G:
    EXPECT_EQ(list.GetCurSel(), 2);
    EXPECT_EQ(dialog.GetControlText(kDriveList), u"G:");

    EXPECT_EQ(list.FindStringExact(u"f:"), 1);
    EXPECT_EQ(list.FindStringExact(u"F"), -1);
    EXPECT_EQ(list.SelectString(u"f"), 1);  // the first entry that begins so
    EXPECT_EQ(dialog.GetControlText(kDriveList), u"F:");
    EXPECT_EQ(list.SelectString(u"Z"), -1);
    EXPECT_EQ(list.GetCurSel(), 1);  // unchanged by a failed search
    EXPECT_EQ(list.SetCurSel(7), -1);
    EXPECT_EQ(list.GetCurSel(), -1);
    EXPECT_EQ(list.GetItemText(7), u"");

    list.SetCurSel(0);
    list.ResetContent();
    EXPECT_EQ(list.GetCount(), 0);
    EXPECT_EQ(list.GetCurSel(), -1);
    EXPECT_EQ(dialog.GetControlText(kDriveList), u"");
}

TEST_F(UiTest, ControlsStartAsTheTemplateSaysAndChangeAsTheDialogSays) {
    ScriptedDialog dialog(system, kMainDialog);
    ASSERT_TRUE(dialog.Create());
    EXPECT_EQ(dialog.GetCaption(), u"Main");
    EXPECT_EQ(dialog.GetControlText(kNotice), u"Notice");
    EXPECT_FALSE(dialog.IsControlEnabled(kRefresh));
    EXPECT_FALSE(dialog.IsControlVisible(kOption));
    EXPECT_TRUE(dialog.IsControlEnabled(kFormat) && dialog.IsControlVisible(kFormat));

    dialog.SetCaption(u"Brindlecard V4.0");
    dialog.SetControlText(kNotice, u"Все данные будут потеряны");
    dialog.EnableControl(kFormat, false);
    dialog.ShowControl(kNotice, false);
    EXPECT_EQ(dialog.GetCaption(), u"Brindlecard V4.0");
    EXPECT_EQ(dialog.GetControlText(kNotice), u"Все данные будут потеряны");
    EXPECT_FALSE(dialog.IsControlEnabled(kFormat));
    EXPECT_FALSE(dialog.IsControlVisible(kNotice));
}

TEST_F(UiTest, PicturesAndTheAnimationLoadOnlyWhatExists) {
    system.missingResources = {150, 154};
    ScriptedDialog dialog(system, kMainDialog);
    ASSERT_TRUE(dialog.Create());
    EXPECT_EQ(system.controlImage(dialog, kLogo), kLogoBitmap);
    EXPECT_TRUE(dialog.SetControlImage(kLogo, 148));
    EXPECT_FALSE(dialog.SetControlImage(kLogo, 150));
    EXPECT_EQ(system.controlImage(dialog, kLogo), 148);

    ui::AnimationControl animation = dialog.Animation(kAnimation);
    EXPECT_FALSE(animation.Play());  // nothing open yet
    EXPECT_FALSE(animation.Open(154));
    EXPECT_FALSE(animation.Play());
    EXPECT_TRUE(animation.Open(153));
    EXPECT_TRUE(animation.Play(-1, 0, 0xFFFF));
    ui::AnimationState state = system.animation(dialog, kAnimation);
    EXPECT_EQ(state.resourceId, 153);
    EXPECT_TRUE(state.playing);
    EXPECT_EQ(state.repeat, -1);
    EXPECT_EQ(state.to, 0xFFFFu);
    EXPECT_TRUE(animation.Stop());
    EXPECT_FALSE(system.animation(dialog, kAnimation).playing);

    const ui::IconHandle icon = dialog.LoadIconResource(128);
    EXPECT_EQ(system.iconResource(icon), 128);
    EXPECT_EQ(dialog.LoadIconResource(150), 0u);
    dialog.SetWindowIcon(icon);
    EXPECT_EQ(system.windowIcon(dialog), icon);
}

TEST_F(UiTest, OnlyAWindowWithASystemMenuTakesItems) {
    ScriptedDialog main(system, kMainDialog);
    ScriptedDialog progress(system, kProgressDialog);
    ASSERT_TRUE(main.Create());
    ASSERT_TRUE(progress.Create(&main));
    EXPECT_TRUE(main.AppendSystemMenuItem(0x10, u"About Brindlecard..."));
    EXPECT_FALSE(progress.AppendSystemMenuItem(0x10, u"About Brindlecard..."));
    const std::vector<std::pair<uint32_t, std::u16string>> menu = {
        {0, u""}, {0x10, u"About Brindlecard..."}};
    EXPECT_EQ(system.systemMenu(main), menu);
    EXPECT_TRUE(system.systemMenu(progress).empty());
}

TEST_F(UiTest, TheWaitCursorIsCountedAndAnExtraEndIsAFault) {
    ScriptedDialog dialog(system, kMainDialog);
    dialog.BeginWaitCursor();
    dialog.BeginWaitCursor();
    dialog.EndWaitCursor();
    EXPECT_EQ(system.waitCursorDepth(), 1);
    dialog.EndWaitCursor();
    EXPECT_EQ(system.waitCursorDepth(), 0);
    EXPECT_TRUE(system.faults().empty());
    dialog.EndWaitCursor();
    EXPECT_EQ(system.waitCursorDepth(), 0);
    EXPECT_EQ(system.takeFaults().size(), 1u);
}

TEST_F(UiTest, PaintingMapsDialogUnitsAndRecordsWhatWasDrawn) {
    ScriptedDialog dialog(system, kMainDialog);
    // A framed panel, or the icon in the middle when minimised, as the main window paints.
    dialog.onMessage = [&dialog](uint32_t message, uintptr_t, intptr_t) {
        if (message != ui::WmPaint) return ui::Reply{};
        ui::WindowSystem& windows = dialog.System();
        const ui::DeviceContext dc = windows.beginPaint(dialog.Handle());
        if (dialog.IsMinimized()) {
            const ui::Rect client = dialog.GetClientRect();
            const int x = (client.right - windows.systemMetric(ui::SmCxIcon) + 1) / 2;
            const int y = (client.bottom - windows.systemMetric(ui::SmCyIcon) + 1) / 2;
            windows.drawIcon(dc, x, y, 7);
        } else {
            windows.drawRoundRect(dc, dialog.MapDialogRect({68, 8, 233, 68}), 0x808080, 10, 10);
        }
        windows.endPaint(dialog.Handle(), dc);
        return ui::Reply{true, 0};
    };
    ASSERT_TRUE(dialog.Create());
    // 6 x 13 pixels per 4 x 8 dialog units.
    EXPECT_EQ(dialog.MapDialogRect({68, 8, 233, 68}), (ui::Rect{102, 13, 350, 111}));
    EXPECT_EQ(dialog.GetClientRect(), (ui::Rect{0, 0, 360, 260}));

    system.send(dialog, ui::WmPaint);
    system.setMinimized(dialog, true);
    system.send(dialog, ui::WmPaint);
    const std::vector<ui::PaintRecord> painted = system.paints(dialog);
    ASSERT_EQ(painted.size(), 2u);
    EXPECT_EQ(painted[0].kind, ui::PaintRecord::RoundRect);
    EXPECT_EQ(painted[0].rect, (ui::Rect{102, 13, 350, 111}));
    EXPECT_EQ(painted[0].penColor, 0x808080u);
    EXPECT_EQ(painted[1].kind, ui::PaintRecord::Icon);
    EXPECT_EQ(painted[1].rect.left, 164);
    EXPECT_EQ(painted[1].rect.top, 114);

    dialog.Repaint();
    dialog.UpdateWindow();
    dialog.RedrawControl(kNotice);
    EXPECT_EQ(system.repaintCount(dialog), 1);
    EXPECT_EQ(system.updateCount(dialog), 1);
    EXPECT_EQ(system.redrawCount(dialog, kNotice), 1);
}

} // namespace
} // namespace brc::test
