// The OEM code pages through iconv, the page a locale implies, and the label rules on top of a
// double-byte page.
#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "base/environment.h"
#include "engine/layout.h"
#include "platform/posix/oem_code_pages.h"
#include "platform/posix/posix_os.h"

using namespace brc;

namespace {

const CodePage& page(unsigned number) {
    const CodePage* p = oemCodePage(number);
    if (!p) throw std::runtime_error("code page " + std::to_string(number) + " is missing");
    return *p;
}

TEST(OemCodePages, EveryOfferedPageIsAvailable) {
    for (unsigned number : kOemCodePages) EXPECT_NE(oemCodePage(number), nullptr) << number;
    EXPECT_EQ(oemCodePage(1251), nullptr);
    EXPECT_EQ(oemCodePage(437), &cp437());
}

TEST(OemCodePages, EncodeAndDecode) {
    const struct {
        unsigned page;
        std::u16string text;
        std::string bytes;
        bool roundTrip;
    } kCases[] = {
        {866, u"ФОТО 2024", "\x94\x8E\x92\x8E 2024", true},
        {866, u"ЁЖЯ", "\xF0\x86\x9F", true},
        {850, u"ÉTÉ À", "\x90T\x90 \xB7", true},
        {932, u"写真", "\x8E\xCA\x90\x5E", true},
        {932, u"アｱ", "\x83\x41\xB1", true},          // full-width, then half-width kana
        {932, u"Ф", "\x84\x55", true},                // JIS carries Cyrillic
        {936, u"中文", "\xD6\xD0\xCE\xC4", true},
        {950, u"繁體", "\xC1\x63\xC5\xE9", true},
        // What the page lacks becomes '?', one per character, a surrogate pair included.
        {866, u"A写B", "A?B", false},
        {850, u"Ф", "?", false},
        {932, u"€", "?", false},
        {932, u"¥\\", "?\\", false},  // the yen sign only looks like the backslash's byte
        {936, u"\U0001F600x", "?x", false},
        {950, std::u16string(1, char16_t(0xD800)) + u"x", "?x", false},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.page);
        EXPECT_EQ(page(c.page).encode(c.text, 63), c.bytes);
        if (c.roundTrip) {
            EXPECT_EQ(page(c.page).decode(c.bytes), c.text);
        }
    }
}

TEST(OemCodePages, ADoubleByteCharacterIsNeverSplitAtTheLimit) {
    const CodePage& cp = page(932);
    const struct {
        size_t maxBytes;
        std::string bytes;
    } kCases[] = {
        {0, ""}, {1, "A"}, {2, "A"}, {3, "A\x8E\xCA"}, {4, "A\x8E\xCA"}, {5, "A\x8E\xCA\x90\x5E"},
    };
    for (const auto& c : kCases) EXPECT_EQ(cp.encode(u"A写真", c.maxBytes), c.bytes) << c.maxBytes;
}

TEST(OemCodePages, DecodeStopsAtZeroAndMarksWhatThePageLacks) {
    const struct {
        unsigned page;
        std::string bytes;
        std::u16string text;
    } kCases[] = {
        {866, std::string("\x94\0\x8E", 3), u"Ф"},
        {932, "A\x8E", u"A?"},           // a lead byte without its trail
        {932, "\xA0" "B", u"?B"},        // a byte the page leaves unassigned
        {932, "\x81\x20Z", u"? Z"},      // a lead byte before a byte that is no trail
        {936, "", u""},
    };
    for (const auto& c : kCases) EXPECT_EQ(page(c.page).decode(c.bytes), c.text) << c.page;
}

TEST(OemCodePages, LabelFormsOnADoubleBytePage) {
    // Five kanji fill ten of the eleven bytes; a sixth would need twelve and is too long,
    // not cut in half.
    const CodePage& cp = page(932);
    const struct {
        std::u16string label;
        std::u16string shortForm;
        uint32_t bits;
    } kCases[] = {
        {u"写真写真写", u"写真写真写", 0},
        {u"写真写真写A", u"写真写真写A", 0},
        {u"写真写真写真", u"写真写真写", 4},
        {u"фото", u"ФОТО", 0},  // upper-cased before the page sees it
        {u"¥", u"?", 1},
    };
    for (const auto& c : kCases) {
        const VolumeLabelForms forms = makeLabelForms(c.label, cp);
        EXPECT_EQ(std::u16string(forms.oemShort), c.shortForm);
        EXPECT_EQ(checkFatLabel(forms), c.bits);
    }
}

TEST(OemCodePages, PageOfALocale) {
    const struct {
        const char* locale;
        unsigned page;
    } kCases[] = {
        {"", 437},             {"C", 437},            {"POSIX", 437},          {"C.UTF-8", 437},
        {"en_US.UTF-8", 437},  {"pl_PL.UTF-8", 437},  {"sr_RS@latin", 437},
        {"rue_UA", 437},       // Rusyn, not Russian
        {"ru_RU.UTF-8", 866},  {"ru", 866},           {"uk_UA.KOI8-U", 866},   {"be_BY@latin", 866},
        {"ja_JP.UTF-8", 932},
        {"zh_CN.GB18030", 936}, {"zh_SG", 936},       {"zh", 936},             {"zh_Hans", 936},
        {"zh-Hans-HK", 936},   // the script decides before the territory
        {"zh_TW.Big5", 950},   {"zh_HK.UTF-8", 950},  {"zh_MO", 950},          {"zh-Hant", 950},
        {"de_DE.UTF-8@euro", 850}, {"fr_CA", 850},    {"pt_BR", 850},          {"nb_NO", 850},
        {"ca_ES@valencia", 850},   {"DE_de", 850},
    };
    for (const auto& c : kCases) EXPECT_EQ(oemCodePageForLocale(c.locale), c.page) << c.locale;
}

// Each test may set the locale variables; they are put back afterwards.
class LocaleEnvironment : public testing::Test {
protected:
    void TearDown() override {
        for (const auto& [name, value] : saved_) set(name, value ? value->c_str() : nullptr);
    }
    static void set(const char* name, const char* value) {
        if (value) setEnvironmentVariable(name, value);
        else unsetEnvironmentVariable(name);
    }

private:
    std::vector<std::pair<const char*, std::optional<std::string>>> saved_{
        {"LC_ALL", environmentVariable("LC_ALL")},
        {"LC_CTYPE", environmentVariable("LC_CTYPE")},
        {"LANG", environmentVariable("LANG")},
        {"LC_MESSAGES", environmentVariable("LC_MESSAGES")}};
};

TEST_F(LocaleEnvironment, TheCharacterTypeCategoryDecides) {
    const struct {
        const char* all;
        const char* ctype;
        const char* lang;
        const char* messages;
        unsigned page;
    } kCases[] = {
        {nullptr, nullptr, nullptr, nullptr, 437},
        {nullptr, nullptr, "ru_RU.UTF-8", nullptr, 866},
        {nullptr, "ja_JP.UTF-8", "ru_RU.UTF-8", nullptr, 932},
        {"zh_TW.UTF-8", "ja_JP.UTF-8", "ru_RU.UTF-8", nullptr, 950},
        {"", "", "de_DE.UTF-8", nullptr, 850},        // empty counts as unset
        {nullptr, nullptr, "C", "ru_RU.UTF-8", 437},  // the messages' language is not the page's
    };
    for (const auto& c : kCases) {
        set("LC_ALL", c.all);
        set("LC_CTYPE", c.ctype);
        set("LANG", c.lang);
        set("LC_MESSAGES", c.messages);
        EXPECT_EQ(localeOemCodePage(), c.page) << (c.lang ? c.lang : "(no LANG)");
    }
}

TEST_F(LocaleEnvironment, TheOsServicesStoreLabelsInTheChosenPage) {
    set("LC_ALL", "ru_RU.UTF-8");
    EXPECT_EQ(makePosixOsServices()->oemCodePage().encode(u"Ф", 11), "\x94");
    EXPECT_EQ(makePosixOsServices({}, &page(932))->oemCodePage().encode(u"Ф", 11), "\x84\x55");
    set("LC_ALL", "C");
    EXPECT_EQ(&makePosixOsServices()->oemCodePage(), &cp437());
}

} // namespace
