#include "app/about_box.h"

#include <cstdio>

#include "progress/progress.h"

namespace brc {

const char16_t kDefaultLegalNotice[] = u"\u00A9 Brindlecard";

VersionStrings getVersionStrings(const std::optional<ProgramVersion>& version) {
    VersionStrings out{u"", kDefaultLegalNotice};
    if (!version) return out;
    const unsigned major = version->productMs >> 16, minor = version->productMs & 0xFFFF;
    const unsigned build = version->productLs >> 16, revision = version->productLs & 0xFFFF;
    char line[96];
    std::snprintf(line, sizeof line, "Brindlecard Version %u.%u [%u, %u, %u, %u]", major, minor,
                  major, minor, build, revision);
    out.versionLine = asciiToUtf16(line);
    if (version->legalCopyright) out.legalNotice = *version->legalCopyright;
    return out;
}

ui::Reply CAboutBox::WindowProc(uint32_t message, uintptr_t wParam, intptr_t lParam) {
    const ui::Reply reply = ui::Dialog::WindowProc(message, wParam, lParam);
    if (message == ui::WmShowWindow) {
        const VersionStrings strings = getVersionStrings(os_.programVersion());
        SetControlText(IDC_ABOUT_VERSION, languageTag_.empty()
                                              ? strings.versionLine
                                              : strings.versionLine + u" <" + languageTag_ + u">");
        SetControlText(IDC_ABOUT_LEGAL, strings.legalNotice);
        ShowControl(IDC_ABOUT_CONTACT_LABEL, false);
        ShowControl(IDC_ABOUT_CONTACT_LINK, false);
    }
    return reply;
}

} // namespace brc
