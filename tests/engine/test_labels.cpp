#include <gtest/gtest.h>

#include <cstring>

#include "base/code_page.h"
#include "base/upcase_table.h"
#include "engine/layout.h"

using namespace brc;

namespace {

std::u16string units(const char16_t* p, size_t n) {
    std::u16string s;
    for (size_t i = 0; i < n && p[i] != 0; ++i) s.push_back(p[i]);
    return s;
}

} // namespace

TEST(Labels, FormsAndChecks) {
    const struct {
        std::u16string label;
        const char* oem;  // expected oemBytes (11 bytes, zero-padded)
        std::u16string exfatShort;
        uint32_t fatBits, exfatBits;
    } cases[] = {
        {u"my card", "MY CARD", u"my card", 0, 0},
        {u"abcdefghijk", "ABCDEFGHIJK", u"abcdefghijk", 0, 0},
        {u"abcdefghijkl", "ABCDEFGHIJK", u"abcdefghijk", 4, 4},
        {u"a.b", "A.B", u"a.b", 1, 0},
        {u"a+b", "A+B", u"a+b", 1, 0},
        {u"a*b", "A*B", u"a*b", 1, 1},
        {u"a\tb", "A\tB", u"a\tb", 2, 2},
        {u"a\x1f", "A\x1f", u"a\x1f", 2, 2},
        {u"", "", u"", 0, 0},
        // Upper-cased as the system does it, beyond a-z, before the code page: é is É (90h),
        // ß has no single capital and stays, ÿ becomes Ÿ, which the page lacks.
        {u"caf\u00e9", "CAF\x90", u"caf\u00e9", 0, 0},
        {u"stra\u00dfe \u00ff", "STRA\xE1" "E ?", u"stra\u00dfe \u00ff", 1, 0},
        {u"x\u20acy", "X?Y", u"x\u20acy", 1, 0},                // no euro sign in the page
        {u"a\U0001F600b", "A?B", u"a\U0001F600b", 1, 0},        // a pair is one character
        {u"abcdefghij\U0001F600", "ABCDEFGHIJ?", u"abcdefghij\xD83D", 1, 4},
        {u"\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9", "\x90\x90\x90\x90\x90\x90\x90\x90\x90\x90\x90",
         u"\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9", 4, 4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.oem));
        const VolumeLabelForms f = makeLabelForms(c.label);
        char want[12] = {};
        std::strncpy(want, c.oem, 11);
        EXPECT_EQ(std::memcmp(f.oemBytes, want, 12), 0);
        EXPECT_EQ(units(f.oemShort, 12), cp437().decode(want));
        EXPECT_EQ(units(f.utf8Short, 12), c.exfatShort);
        EXPECT_EQ(f.oemShort[11], 0);
        EXPECT_EQ(f.utf8Short[11], 0);
        EXPECT_EQ(checkFatLabel(f), c.fatBits);
        EXPECT_EQ(checkExFatLabel(f), c.exfatBits);
    }
}

TEST(Labels, LongFormsAndClearing) {
    const std::u16string label(70, u'q');
    VolumeLabelForms f = makeLabelForms(label);
    EXPECT_EQ(units(f.oemLong, 21), std::u16string(21, u'Q'));
    EXPECT_EQ(units(f.utf8Long, 21), std::u16string(21, u'q'));
    clearLabelForms(f);
    const VolumeLabelForms zero{};
    EXPECT_EQ(std::memcmp(f.oemBytes, zero.oemBytes, sizeof f.oemBytes), 0);
    EXPECT_EQ(units(f.oemShort, 12), u"");
    EXPECT_EQ(units(f.utf8Short, 12), u"");
    EXPECT_EQ(units(f.oemLong, 21).size(), 21u); // the long forms stay
}

TEST(CodePage, Cp437) {
    const CodePage& cp = cp437();
    std::string all;
    for (int b = 1; b < 256; ++b) all.push_back(static_cast<char>(b));
    const std::u16string text = cp.decode(all);
    ASSERT_EQ(text.size(), 255u);
    EXPECT_EQ(cp.encode(text, 1000), all); // one byte per character, every byte distinct
    EXPECT_EQ(utf16ToUtf8(text.substr(0x7F)),
              "ÇüéâäàåçêëèïîìÄÅÉæÆôöòûùÿÖÜ¢£¥₧ƒáíóúñÑªº¿⌐¬½¼¡«»░▒▓│┤╡╢╖╕╣║╗╝╜╛┐"
              "└┴┬├─┼╞╟╚╔╩╦╠═╬╧╨╤╥╙╘╒╓╫╪┘┌█▄▌▐▀αßΓπΣσµτΦΘΩδ∞φε∩≡±≥≤⌠⌡÷≈°∙·√ⁿ²■\u00a0");
    EXPECT_EQ(cp.encode(u"\u0100\xDC00\U0001F600z", 10), "???z");
    EXPECT_EQ(cp.encode(u"abcdef", 4), "abcd");
    EXPECT_EQ(cp.decode(std::string("ab\0cd", 5)), u"ab");
}

TEST(CodePage, UpcaseUnitFollowsTheExFatTable) {
    const std::pair<char16_t, char16_t> cases[] = {
        {u'a', u'A'},           {u'z', u'Z'},           {u'A', u'A'},           {u'{', u'{'},
        {u'\u00e9', u'\u00c9'}, {u'\u00ff', u'\u0178'}, {u'\u00df', u'\u00df'}, {u'\u0444', u'\u0424'},
        {u'\u03b1', u'\u0391'}, {u'\uff41', u'\uff21'}, {char16_t(0xD83D), char16_t(0xD83D)},
        {char16_t(0xFFFF), char16_t(0xFFFF)},
    };
    for (const auto& [lower, upper] : cases) EXPECT_EQ(upcaseUnit(lower), upper) << int(lower);
}

TEST(CodePage, Utf8) {
    EXPECT_EQ(utf16ToUtf8(u"a\u00e9\u20ac\U0001F600"), "a\u00e9\u20ac\U0001F600");
    EXPECT_EQ(utf16ToUtf8(u"ab\u20ac", 4), "ab");          // never split a character
    EXPECT_EQ(utf16ToUtf8(u"\xD800x\xDC00"), "\uFFFDx\uFFFD"); // lone surrogates
    EXPECT_EQ(utf8ToUtf16("a\u00e9\u20ac\U0001F600"), u"a\u00e9\u20ac\U0001F600");
    EXPECT_EQ(utf8ToUtf16("\xC0\xAF|\xED\xA0\x80|\xE2\x82|\xFF"), u"\uFFFD\uFFFD|\uFFFD|\uFFFD|\uFFFD");
    EXPECT_TRUE(isValidUtf8("a\u00e9\u20ac\U0001F600\uFFFD"));
    for (const char* bad : {"\xC0\xAF", "\xED\xA0\x80", "\xE2\x82", "\xFF", "a\x80"})
        EXPECT_FALSE(isValidUtf8(bad)) << bad;
}
