// The dialog templates as the program uses them: the controls each dialog class reaches by id,
// with the kind and the style bits its behaviour depends on; a layout whose controls lie inside
// their dialog, do not cover each other and leave the painted panel of the main dialog to its
// three controls; and room for every text a control shows at run time. The ids are written as
// numbers here, not by their names in res/resource_ids.h: this test holds the numbers fixed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "res/dialog_templates.h"
#include "res/message_ids.h"
#include "res/messages.h"

namespace brc::res {
namespace {

// Window and control styles, as the system defines them.
constexpr uint32_t kWsVisible = 0x10000000, kWsDisabled = 0x08000000, kWsCaption = 0x00C00000;
constexpr uint32_t kWsSysMenu = 0x00080000, kWsMinimizeBox = 0x00020000, kWsTabStop = 0x00010000;
constexpr uint32_t kWsVScroll = 0x00200000, kDsSetFont = 0x40;
constexpr uint32_t kSsTypeMask = 0x1F, kSsRight = 0x2, kSsSunken = 0x1000, kSsNotify = 0x100;
constexpr uint32_t kSsLeftNoWordWrap = 0xC, kSsSimple = 0xB;
constexpr uint32_t kEsAutoHScroll = 0x80, kEsMultiline = 0x4;
constexpr uint32_t kCbsTypeMask = 0x3, kCbsDropDownList = 0x3, kCbsSort = 0x100;
constexpr uint32_t kBsTypeMask = 0xF, kBsPushButton = 0x0, kBsDefPushButton = 0x1;

// The white panel that the main dialog paints behind 1009, 1035 and the animation.
constexpr int kPanelLeft = 68, kPanelTop = 8, kPanelRight = 233, kPanelBottom = 68;
// A drop-down list's template height includes its open list; closed it is about this tall.
constexpr int kClosedComboHeight = 14;
// The height of one line of 8-point MS Shell Dlg text.
constexpr int kLineHeight = 8;

const DialogTemplate& dialog(int id) {
    const DialogTemplate* d = findDialog(id);
    if (!d) {
        ADD_FAILURE() << "no dialog " << id;
        static const DialogTemplate none{};
        return none;
    }
    return *d;
}

std::string utf8(const std::u16string& s) {
    std::string out;
    for (char16_t c : s) {
        if (c < 0x80) out += static_cast<char>(c);
        else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::u16string msgText(uint32_t id) { return builtinMessages().text(id); }

TEST(DialogTemplates, TheProgramFindsItsFiveDialogs) {
    size_t count = 0;
    const DialogTemplate* const* all = allDialogs(count);
    std::vector<int> ids;
    for (size_t i = 0; i < count; ++i) ids.push_back(all[i]->id);
    EXPECT_EQ(ids, (std::vector<int>{100, 102, 145, 146, 157}));
    for (int id : ids) EXPECT_EQ(findDialog(id)->id, id);
    EXPECT_EQ(findDialog(101), nullptr);
    EXPECT_EQ(dialog(102).control(4711), nullptr);
}

// Each dialog's own style and caption, where the program relies on them.
TEST(DialogTemplates, DialogStylesAndCaptions) {
    struct Case {
        int id;
        uint32_t mask, value;    // (style & mask) == value
        const char16_t* caption; // null: set at run time, any
        const char* why;
    };
    const Case cases[] = {
        {102, kWsSysMenu | kWsMinimizeBox | kWsCaption, kWsSysMenu | kWsMinimizeBox | kWsCaption,
         nullptr, "the About item goes into the system menu; minimised it draws its icon"},
        {145, kWsSysMenu | kWsCaption | kWsVisible, kWsCaption | kWsVisible, nullptr,
         "no system menu, so no close box; created modeless, it shows itself"},
        {146, kWsCaption, kWsCaption, nullptr, "caption 238 is set at run time"},
        {100, kWsCaption | kWsSysMenu, kWsCaption | kWsSysMenu, u"О Brindlecard", "about box"},
        {157, kWsVisible | kWsCaption, kWsCaption, u"Диалог", "the message host is never seen"},
    };
    for (const Case& c : cases) {
        const DialogTemplate& d = dialog(c.id);
        EXPECT_EQ(d.style & c.mask, c.value) << c.id << ": " << c.why;
        if (c.caption) {
            EXPECT_EQ(std::u16string(d.caption), c.caption) << c.id;
        }
        EXPECT_EQ(d.style & kDsSetFont, kDsSetFont) << c.id;
        EXPECT_EQ(std::u16string(d.fontFace), u"MS Shell Dlg") << c.id;
        EXPECT_EQ(d.pointSize, 8) << c.id;
    }
}

// The controls the dialog classes reach by id: kind, the style bits their behaviour needs and,
// for pictures, the resource they show.
TEST(DialogTemplates, EveryControlTheProgramUsesHasItsKindAndStyle) {
    using K = ControlKind;
    struct Case {
        int dialog, id;
        ControlKind kind;
        uint32_t mask = 0, value = 0;  // (style & mask) == value
        int imageId = 0;
    };
    const uint32_t dropDownList = kCbsTypeMask | kCbsSort | kWsTabStop | kWsVScroll;
    const Case cases[] = {
        // The about box: version, legal notice, the contact row, OK.
        {100, 1002, K::Text}, {100, 1003, K::Text}, {100, 1004, K::Text},
        {100, 1005, K::Text, kSsNotify, kSsNotify},  // a link reports clicks
        {100, 1, K::PushButton},
        // The main dialog. The drive list is a sorted drop-down list.
        {102, 1000, K::ComboBox, dropDownList, kCbsDropDownList | kCbsSort | kWsTabStop | kWsVScroll},
        {102, 1016, K::Text, kSsTypeMask | kSsSunken, kSsRight | kSsSunken},
        {102, 1017, K::Text},
        {102, 1033, K::Edit, kEsAutoHScroll | kEsMultiline | kWsTabStop, kEsAutoHScroll | kWsTabStop},
        {102, 1006, K::PushButton, kBsTypeMask | kWsTabStop, kBsPushButton | kWsTabStop},
        {102, 1001, K::PushButton, kBsTypeMask | kWsTabStop, kBsPushButton | kWsTabStop},
        {102, 1, K::PushButton, kWsTabStop, kWsTabStop},
        {102, 1023, K::PushButton, kBsTypeMask | kWsTabStop, kBsPushButton | kWsTabStop},
        {102, 1024, K::Text}, {102, 1018, K::Text, kSsSunken, kSsSunken},
        {102, 1009, K::Text}, {102, 1035, K::Text},
        {102, 1032, K::Animation},
        {102, 1015, K::Text}, {102, 1021, K::Text},
        // The card pictures, and the two bitmap statics the program never shows.
        {102, 1014, K::Bitmap, 0, 0, 147}, {102, 1019, K::Bitmap, 0, 0, 148},
        {102, 1020, K::Bitmap, 0, 0, 149}, {102, 1010, K::Bitmap, 0, 0, 152},
        {102, 1012, K::Bitmap, 0, 0, 151}, {102, 1011, K::Bitmap, 0, 0, 150},
        {102, 1013, K::Bitmap, kWsVisible, 0, 144},  // created hidden
        // The progress window.
        {145, 1014, K::Text}, {145, 1028, K::Text}, {145, 1029, K::Text}, {145, 1027, K::Text},
        {145, 1031, K::PushButton, kWsTabStop, kWsTabStop},
        // The option dialog: both lists keep the order the program adds their entries in.
        {146, 1021, K::ComboBox, dropDownList, kCbsDropDownList | kWsTabStop | kWsVScroll},
        {146, 1022, K::ComboBox, dropDownList, kCbsDropDownList | kWsTabStop | kWsVScroll},
        {146, 1025, K::Text}, {146, 1026, K::Text},
        {146, 1, K::PushButton, kBsTypeMask, kBsDefPushButton}, {146, 2, K::PushButton},
        // The message host's one button.
        {157, 1, K::PushButton},
    };
    for (const Case& c : cases) {
        const ControlTemplate* control = dialog(c.dialog).control(c.id);
        ASSERT_NE(control, nullptr) << c.dialog << "/" << c.id;
        EXPECT_EQ(control->kind, c.kind) << c.dialog << "/" << c.id;
        EXPECT_EQ(control->style & c.mask, c.value) << c.dialog << "/" << c.id << std::hex
                                                    << " style 0x" << control->style;
        EXPECT_EQ(control->imageId, c.imageId) << c.dialog << "/" << c.id;
        // Only the bitmap the program never shows and the label edit start out unusable.
        const bool hiddenByDesign = c.dialog == 102 && c.id >= 1010 && c.id <= 1020 && c.kind == K::Bitmap;
        if (!hiddenByDesign) {
            EXPECT_NE(control->style & kWsVisible, 0u) << c.dialog << "/" << c.id;
        }
        if (!(c.dialog == 102 && c.id == 1033)) {
            EXPECT_EQ(control->style & kWsDisabled, 0u) << c.dialog << "/" << c.id;
        }
    }
}

// Besides the controls above, each template holds only what its Part of the window needs.
TEST(DialogTemplates, ControlCountsAndUnnumberedControls) {
    struct Case {
        int dialog;
        size_t controls;
        std::vector<ControlKind> unnumbered;  // the id -1 controls, in template order
    };
    using K = ControlKind;
    const Case cases[] = {
        {100, 7, {K::GroupBox, K::Icon}},
        {102, 24, {K::Text, K::Other}},  // the drive label and a rule above the buttons
        {145, 8, {K::Text, K::Text, K::Text}},
        {146, 6, {}},
        {157, 1, {}},
    };
    for (const Case& c : cases) {
        const DialogTemplate& d = dialog(c.dialog);
        EXPECT_EQ(d.controlCount, c.controls) << c.dialog;
        std::vector<ControlKind> unnumbered;
        for (size_t i = 0; i < d.controlCount; ++i)
            if (d.controls[i].id == -1) unnumbered.push_back(d.controls[i].kind);
        EXPECT_EQ(unnumbered, c.unnumbered) << c.dialog;
    }
    const DialogTemplate& about = dialog(100);
    const ControlTemplate* icon = std::find_if(about.controls, about.controls + about.controlCount,
        [](const ControlTemplate& c) { return c.kind == ControlKind::Icon; });
    ASSERT_NE(icon, about.controls + about.controlCount);
    EXPECT_EQ(icon->imageId, 128) << "the about box shows the program's icon";
    EXPECT_LT(icon->x, about.control(1002)->x) << "at the left";
}

// Each progress line has a "-" bullet on its left, and the lines run top to bottom in the order
// the passes run: overwrite, flash erase, file system; the notice above, Cancel below.
TEST(DialogTemplates, ProgressLinesFollowBulletsInPassOrder) {
    const DialogTemplate& d = dialog(145);
    int lastY = d.control(1014)->y;
    for (int id : {1028, 1029, 1027}) {
        const ControlTemplate* line = d.control(id);
        ASSERT_NE(line, nullptr);
        const ControlTemplate* before = line - 1;
        ASSERT_GE(before, d.controls);
        EXPECT_EQ(std::u16string(before->text), u"-") << id;
        EXPECT_EQ(before->y, line->y) << id;
        EXPECT_LE(before->x + before->cx, line->x) << id;
        EXPECT_GT(line->y, lastY) << id;
        lastY = line->y;
    }
    EXPECT_GT(d.control(1031)->y, lastY);
}

int visibleHeight(const ControlTemplate& c) {
    return c.kind == ControlKind::ComboBox ? std::min(c.cy, kClosedComboHeight) : c.cy;
}

bool overlap(const ControlTemplate& a, const ControlTemplate& b) {
    return a.x < b.x + b.cx && b.x < a.x + a.cx && a.y < b.y + visibleHeight(b) &&
           b.y < a.y + visibleHeight(a);
}

bool contains(const ControlTemplate& outer, const ControlTemplate& inner) {
    return inner.x >= outer.x && inner.y >= outer.y && inner.x + inner.cx <= outer.x + outer.cx &&
           inner.y + visibleHeight(inner) <= outer.y + outer.cy;
}

std::string name(const DialogTemplate& d, const ControlTemplate& c) {
    return std::to_string(d.id) + "/" + std::to_string(c.id) + "@" + std::to_string(c.x) + "," +
           std::to_string(c.y);
}

TEST(DialogLayout, EveryControlLiesInsideItsDialog) {
    size_t count = 0;
    const DialogTemplate* const* all = allDialogs(count);
    for (size_t i = 0; i < count; ++i) {
        const DialogTemplate& d = *all[i];
        for (size_t k = 0; k < d.controlCount; ++k) {
            const ControlTemplate& c = d.controls[k];
            EXPECT_GT(c.cx, 0) << name(d, c);
            EXPECT_GT(c.cy, 0) << name(d, c);
            EXPECT_GE(c.x, 0) << name(d, c);
            EXPECT_GE(c.y, 0) << name(d, c);
            EXPECT_LE(c.x + c.cx, d.cx) << name(d, c);
            EXPECT_LE(c.y + visibleHeight(c), d.cy) << name(d, c);
        }
    }
}

// Controls do not cover each other, except a group frame around what it holds and the card
// pictures, which share one place because the program shows one of them at a time.
TEST(DialogLayout, NoControlCoversAnother) {
    size_t count = 0;
    const DialogTemplate* const* all = allDialogs(count);
    for (size_t i = 0; i < count; ++i) {
        const DialogTemplate& d = *all[i];
        for (size_t a = 0; a < d.controlCount; ++a) {
            for (size_t b = a + 1; b < d.controlCount; ++b) {
                const ControlTemplate &p = d.controls[a], &q = d.controls[b];
                if (!overlap(p, q)) continue;
                if (p.kind == ControlKind::GroupBox && contains(p, q)) continue;
                if (q.kind == ControlKind::GroupBox && contains(q, p)) continue;
                const bool samePlace = p.x == q.x && p.y == q.y && p.cx == q.cx && p.cy == q.cy;
                if (p.kind == ControlKind::Bitmap && q.kind == ControlKind::Bitmap && samePlace) continue;
                ADD_FAILURE() << name(d, p) << " and " << name(d, q) << " overlap";
            }
        }
    }
}

TEST(DialogLayout, ThePaintedPanelHoldsTheNoticesAndTheAnimationOnly) {
    const DialogTemplate& d = dialog(102);
    for (size_t k = 0; k < d.controlCount; ++k) {
        const ControlTemplate& c = d.controls[k];
        const bool onPanel = c.id == 1009 || c.id == 1035 || c.id == 1032;
        // Inside means clear of the grey outline too.
        const bool inside = c.x > kPanelLeft && c.y > kPanelTop && c.x + c.cx < kPanelRight &&
                            c.y + c.cy < kPanelBottom;
        const bool touches = c.x < kPanelRight && c.x + c.cx > kPanelLeft && c.y < kPanelBottom &&
                             c.y + visibleHeight(c) > kPanelTop;
        if (onPanel) {
            EXPECT_TRUE(inside) << name(d, c);
        } else {
            EXPECT_FALSE(touches) << name(d, c);
        }
    }
}

// --- texts ----------------------------------------------------------------------------------

// Rough widths in dialog units of 8-point MS Shell Dlg: capitals 5, anything else 4.
int textWidth(const std::u16string& s) {
    int w = 0;
    for (char16_t c : s) {
        const bool capital = (c >= u'A' && c <= u'Z') || (c >= u'\u0410' && c <= u'\u042F') || c == u'\u0401';
        w += capital ? 5 : 4;
    }
    return w;
}

// Lines the text needs at this width: its own line breaks, then words wrapped greedily. A word
// wider than the line counts as a clipped text (a huge number of lines).
int linesNeeded(const std::u16string& text, int width) {
    int lines = 0;
    std::u16string::size_type start = 0;
    while (true) {
        const auto end = text.find(u'\n', start);
        const std::u16string paragraph = text.substr(start, end == std::u16string::npos ? end : end - start);
        ++lines;
        int used = 0;
        std::u16string::size_type p = 0;
        while (p < paragraph.size()) {
            auto q = paragraph.find(u' ', p);
            if (q == std::u16string::npos) q = paragraph.size();
            const int word = textWidth(paragraph.substr(p, q - p));
            const int space = used > 0 ? textWidth(u" ") : 0;
            if (word > width) return 1000;
            if (used + space + word > width) {
                ++lines;
                used = word;
            } else {
                used += space + word;
            }
            p = q + 1;
        }
        if (end == std::u16string::npos) return lines;
        start = end + 1;
    }
}

// Width and lines a control offers its text, after its frame.
void room(const ControlTemplate& c, int& width, int& lines) {
    width = c.cx;
    lines = 1;
    switch (c.kind) {
    case ControlKind::PushButton: width -= 8; break;
    case ControlKind::ComboBox: width -= 14; break;  // the arrow and the frame
    case ControlKind::Edit: width -= 4; break;
    case ControlKind::Text: {
        const uint32_t type = c.style & kSsTypeMask;
        const int frame = (c.style & kSsSunken) ? 2 : 0;
        width -= frame;
        if (type != kSsLeftNoWordWrap && type != kSsSimple) lines = (c.cy - frame) / kLineHeight;
        break;
    }
    default: break;
    }
}

std::u16string versionRcValue(const std::string& key) {
    std::ifstream file(BRC_VERSION_RC);
    EXPECT_TRUE(file) << BRC_VERSION_RC;
    std::stringstream all;
    all << file.rdbuf();
    const std::string text = all.str();
    // The block the about box reads.
    const auto block = text.find("BLOCK \"041104B0\"");
    EXPECT_NE(block, std::string::npos);
    std::smatch m;
    const std::string rest = text.substr(block);
    EXPECT_TRUE(std::regex_search(rest, m, std::regex("VALUE \"" + key + "\", \"([^\"]*)\"")));
    std::u16string out;
    const std::string v = m.size() > 1 ? m[1].str() : std::string();
    for (size_t i = 0; i < v.size();) {
        const auto c = static_cast<unsigned char>(v[i]);
        char32_t cp = c;
        size_t len = 1;
        if ((c & 0xE0) == 0xC0) cp = c & 0x1Fu, len = 2;
        else if ((c & 0xF0) == 0xE0) cp = c & 0x0Fu, len = 3;
        for (size_t k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<unsigned char>(v[i + k]) & 0x3Fu);
        out += static_cast<char16_t>(cp);
        i += len;
    }
    return out;
}

// Every text a control shows at run time, and every template text, fits the control: the
// Russian texts are long, and a clipped one is cut without a sign.
TEST(DialogTexts, EveryTextFitsItsControl) {
    struct Case {
        int dialog, id;
        std::vector<std::u16string> texts;
    };
    const std::u16string counts = u" 100% [4294967295 / 4294967295]";
    const Case cases[] = {
        {100, 1002, {u"Brindlecard Version 10.10 [10, 10, 100, 100] <JPN>"}},
        {100, 1003, {versionRcValue("LegalCopyright")}},
        {102, 1001, {msgText(msg::FormatButton)}},
        {102, 1, {msgText(msg::ExitButton)}},
        {102, 1006, {msgText(msg::RefreshButton)}},
        {102, 1023, {msgText(msg::OptionsButton)}},
        {102, 1024, {msgText(msg::OptionsBoxCaption)}},
        {102, 1009, {msgText(msg::FormatErasesAllData), msgText(msg::DriveNotSupported)}},
        {102, 1035, {msgText(msg::TrademarkNotice)}},
        {102, 1016, {msgText(msg::UnknownCapacity), u"1023", u"58.2", u"1.89", u"2.00"}},
        {102, 1017, {u"KB", u"MB", u"GB", u"TB"}},
        {102, 1000, {u"W:"}},
        {102, 1018,
         {msgText(msg::SummaryQuickAdjustOff), msgText(msg::SummaryQuickAdjustOn),
          msgText(msg::SummaryOverwriteEraseAdjustOff), msgText(msg::SummaryOverwriteEraseAdjustOn),
          msgText(msg::SummaryOverwriteAdjustOff), msgText(msg::SummaryOverwriteAdjustOn),
          msgText(msg::SummaryEraseAdjustOff), msgText(msg::SummaryEraseAdjustOn)}},
        {145, 1014, {msgText(msg::DoNotRemoveDrive)}},
        {145, 1031, {msgText(msg::Cancel)}},
        {145, 1028,
         {msgText(msg::OverwriteLineOff), msgText(msg::OverwriteLineStart),
          msgText(msg::OverwriteLineCaption) + counts, msgText(msg::OverwriteLineCaption) + u" CANCEL"}},
        {145, 1029,
         {msgText(msg::EraseLineOff), msgText(msg::EraseLineUnsupported), msgText(msg::EraseLineStart),
          msgText(msg::EraseLineCaption) + counts, msgText(msg::EraseLineCaption) + u" CANCEL"}},
        {145, 1027, {msgText(msg::FormatLineStart), msgText(msg::FormatLineCaption) + u" 100%"}},
        {146, 1025, {msgText(msg::FormatTypeLabel)}},
        {146, 1026, {msgText(msg::SizeAdjustmentLabel)}},
        {146, 1021, {msgText(msg::TypeQuick), msgText(msg::TypeFullErase), msgText(msg::TypeFullOverwrite)}},
        {146, 1022, {msgText(msg::SizeAdjustmentOff), msgText(msg::SizeAdjustmentOn)}},
        {146, 2, {msgText(msg::Cancel)}},
    };
    for (const Case& c : cases) {
        const ControlTemplate* control = dialog(c.dialog).control(c.id);
        ASSERT_NE(control, nullptr) << c.dialog << "/" << c.id;
        int width = 0, lines = 0;
        room(*control, width, lines);
        for (const std::u16string& text : c.texts) {
            EXPECT_FALSE(text.empty()) << c.dialog << "/" << c.id;
            EXPECT_LE(linesNeeded(text, width), lines)
                << c.dialog << "/" << c.id << " (" << width << " units, " << lines << " lines): \""
                << utf8(text) << "\"";
        }
    }
    // The templates' own texts, where the program keeps them.
    size_t count = 0;
    const DialogTemplate* const* all = allDialogs(count);
    for (size_t i = 0; i < count; ++i) {
        const DialogTemplate& d = *all[i];
        for (size_t k = 0; k < d.controlCount; ++k) {
            const ControlTemplate& c = d.controls[k];
            if (!*c.text || c.kind == ControlKind::GroupBox) continue;
            int width = 0, lines = 0;
            room(c, width, lines);
            EXPECT_LE(linesNeeded(c.text, width), lines) << name(d, c) << ": \"" << utf8(c.text) << "\"";
        }
    }
}

// Captions share the title bar with the close box (and the minimise box of the main dialog).
TEST(DialogTexts, CaptionsFitTheTitleBar) {
    struct Case {
        int dialog;
        std::u16string caption;
    };
    const Case cases[] = {
        {102, u"Brindlecard V10.10 [RETRY MODE]"},
        {145, msgText(msg::ProgressTitle)},
        {146, msgText(msg::OptionsTitle)},
        {100, dialog(100).caption},
        {157, dialog(157).caption},
    };
    for (const Case& c : cases)
        EXPECT_LE(textWidth(c.caption) + 40, dialog(c.dialog).cx) << c.dialog << ": " << utf8(c.caption);
}

// The rule above does catch a clipped text: a summary line squeezed into one line does not fit.
TEST(DialogTexts, TheFitRuleRefusesAClippedText) {
    const std::u16string summary = msgText(msg::SummaryOverwriteEraseAdjustOff);
    EXPECT_GT(linesNeeded(summary, dialog(102).control(1018)->cx), 1);
    EXPECT_EQ(linesNeeded(u"ab\ncd", 100), 2);
    EXPECT_EQ(linesNeeded(u"abcd abcd", 35), 2);  // 16 + 4 + 16 > 35
    EXPECT_EQ(linesNeeded(u"abcd abcd", 36), 1);
    EXPECT_GE(linesNeeded(u"abcdefghijk", 40), 1000);  // one word wider than the line
}

} // namespace
} // namespace brc::res
