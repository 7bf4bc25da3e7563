// The program's start-up and shutdown: the language library, the single-instance guard, the
// system and rights checks, the switches, the driver library, and the main dialog run modally.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/main_dialog.h"
#include "progress/progress.h"
#include "res/resource_ids.h"
#include "ui/dialog.h"

namespace brc {

class OsServices;
struct DriverBinding;
struct SystemState;

// The language library for a LANGID, and the tag the about box shows; empty when none.
struct LanguageLibrary {
    const char* fileName;
    const char16_t* tag;
};
LanguageLibrary languageLibraryFor(uint16_t langId);

// "/RETRY" and "/CHECKAPI", whole and in any case; anything else is ignored.
struct Switches {
    uint32_t retryMode = 0;
    uint32_t checkApiMode = 0;
};
Switches readSwitches(const std::vector<std::u16string>& arguments);

// The texts of the resource module in use: the language library's once start-up loaded one,
// the program's own before and without.
class ResourceMessages final : public MessageSource {
public:
    explicit ResourceMessages(ui::WindowSystem& system) : system_(system) {}
    std::u16string text(uint32_t id) const override { return system_.loadString(id); }

private:
    ui::WindowSystem& system_;
};

// Hosts a message box when an ownerless one cannot be shown (IDD_MESSAGE_HOST, never visible).
class CMessageDialog final : public ui::Dialog {
public:
    explicit CMessageDialog(ui::WindowSystem& system) : ui::Dialog(system, IDD_MESSAGE_HOST) {}
    int RunMessage(const std::u16string& text, const std::u16string& caption, uint32_t style);

protected:
    bool OnInitDialog() override;

private:
    std::u16string messageText_, messageCaption_;
    uint32_t messageStyle_ = 0;
    int messageResult_ = 0;
};

class CBrindlecardApp final : public AppShell {
public:
    CBrindlecardApp(ui::WindowSystem& system, OsServices& os, const MessageSource& messages)
        : system_(system), os_(os), messages_(messages) {}

    // Start-up, the main dialog, shutdown. Returns the process's exit code: 0 after the main
    // dialog ran, 1 after a refusal.
    int Run(const std::vector<std::u16string>& arguments);

    int ShowAppMessage(const std::u16string& text, const std::u16string& caption,
                       uint32_t style) override;

    const std::u16string& languageTag() const { return languageTag_; }
    // What start-up refused with (a message id), 0 when the main dialog ran.
    uint32_t refusal() const { return refusal_; }

private:
    void* LoadSatelliteLibrary(uint16_t langId);
    bool Refuse(uint32_t messageId);
    void ExitInstance(DriverBinding& driver);

    ui::WindowSystem& system_;
    OsServices& os_;
    const MessageSource& messages_;
    void* satelliteModule_ = nullptr;
    void* instanceMutex_ = nullptr;
    std::u16string languageTag_;
    uint32_t refusal_ = 0;
};

} // namespace brc
