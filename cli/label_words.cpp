#include "cli/label_words.h"

#include <vector>

#include "base/upcase_table.h"
#include "engine/layout.h"
#if !defined(_WIN32)
#include "platform/posix/oem_code_pages.h"
#endif

namespace brc::cli {
namespace {

// The label's characters one by one (a surrogate pair stays together).
std::vector<std::u16string> characters(const std::u16string& text) {
    std::vector<std::u16string> out;
    for (size_t i = 0; i < text.size(); ++i) {
        const bool pair = text[i] >= 0xD800 && text[i] < 0xDC00 && i + 1 < text.size();
        out.push_back(text.substr(i, pair ? 2 : 1));
        if (pair) ++i;
    }
    return out;
}

bool holds(const CodePage& page, const std::u16string& c) {
    return page.decode(page.encode(c, 8)) == c;
}

// Another page of the command's that holds `c`, as advice; empty where there is none.
std::string pageAdvice([[maybe_unused]] const std::u16string& c,
                       [[maybe_unused]] unsigned pageNumber) {
#if !defined(_WIN32)
    for (unsigned other : kOemCodePages)
        if (other != pageNumber)
            if (const CodePage* page = oemCodePage(other); page && holds(*page, c))
                return "; try --codepage " + std::to_string(other);
#endif
    return {};
}

std::string quoted(const std::u16string& text) {
    std::string out(1, '\'');
    out += utf16ToUtf8(text);
    out += '\'';
    return out;
}

} // namespace

std::string labelProblem(const std::u16string& label, uint32_t fsType, const CodePage& page,
                         unsigned pageNumber) {
    const bool exfat = fsType == ExFat;
    const VolumeLabelForms forms = makeLabelForms(label, page);
    const uint32_t bits = exfat ? checkExFatLabel(forms) : checkFatLabel(forms);
    if (bits == 0) return {};
    // What the check looks at: the first 63 units, upper-cased on FAT as the layout does it
    // (ÿ is Ÿ there, which a page holding ÿ may lack).
    std::u16string text = label.substr(0, 63);
    if (!exfat)
        for (char16_t& c : text) c = upcaseUnit(c);
    const std::u16string forbidden = exfat ? u"\"*/:<>?\\|" : u"\"*+,./:;<=>?[\\]|";
    const char* kind = exfat ? "an exFAT label" : "a FAT label";

    std::vector<std::string> reasons;
    if (bits & kLabelControlChar)
        reasons.push_back(std::string("a control character is not allowed in ") + kind);
    if (bits & kLabelForbiddenChar) {
        for (const std::u16string& c : characters(text)) {
            if (!exfat && !holds(page, c)) {
                reasons.push_back(
                    quoted(c) + " is not in code page " +
                    (pageNumber ? std::to_string(pageNumber) : std::string("of this system")) +
                    pageAdvice(c, pageNumber));
                break;
            }
            if (c.size() == 1 && forbidden.find(c[0]) != std::u16string::npos) {
                reasons.push_back(quoted(c) + " is not allowed in " + kind);
                break;
            }
        }
    }
    if (bits & kLabelTooLong) {
        const size_t count = characters(text).size();
        const size_t bytes = exfat ? 0 : page.encode(text, 63).size();
        if (exfat)
            reasons.push_back(quoted(text) + " has " + std::to_string(text.size()) +
                              " characters; " + kind + " holds 11");
        else if (bytes == count)
            reasons.push_back(quoted(text) + " has " + std::to_string(count) + " characters; " +
                              kind + " holds 11");
        else
            reasons.push_back(quoted(text) + " takes " + std::to_string(bytes) +
                              " bytes in code page " + std::to_string(pageNumber) + "; " + kind +
                              " holds 11");
    }
    std::string out;
    for (const std::string& r : reasons) out += (out.empty() ? "" : "; ") + r;
    return out;
}

std::string labelBitWords(uint32_t bits) {
    std::string out;
    const auto add = [&](uint32_t bit, const char* words) {
        if (bits & bit) out += (out.empty() ? "" : ", ") + std::string(words);
    };
    add(kLabelTooLong, "too long");
    add(kLabelControlChar, "control character");
    add(kLabelForbiddenChar, "forbidden or unencodable character");
    return out;
}

} // namespace brc::cli
