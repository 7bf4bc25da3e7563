// The about box (IDD_ABOUTBOX): the program's version line with the language library's tag,
// and the legal notice, both from the program file's version resource.
#pragma once

#include <optional>
#include <string>

#include "os/os_services.h"
#include "res/resource_ids.h"
#include "ui/dialog.h"

namespace brc {

// "Brindlecard Version 4.0 [4, 0, 0, 0]" and the legal notice, as read from the resource; the
// version line is empty and the notice the built-in one when the resource cannot be read.
struct VersionStrings {
    std::u16string versionLine;
    std::u16string legalNotice;
};
VersionStrings getVersionStrings(const std::optional<ProgramVersion>& version);

// The built-in notice, for a program file whose version resource cannot be read.
extern const char16_t kDefaultLegalNotice[];

class CAboutBox final : public ui::Dialog {
public:
    CAboutBox(ui::WindowSystem& system, OsServices& os, const std::u16string& languageTag)
        : ui::Dialog(system, IDD_ABOUTBOX), os_(os), languageTag_(languageTag) {}

protected:
    ui::Reply WindowProc(uint32_t message, uintptr_t wParam, intptr_t lParam) override;

private:
    OsServices& os_;
    std::u16string languageTag_;
};

} // namespace brc
