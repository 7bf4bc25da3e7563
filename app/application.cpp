#include "app/application.h"

#include "app/startup_checks.h"
#include "device/driver_binding.h"
#include "device/system_checks.h"
#include "os/os_services.h"
#include "res/message_ids.h"

namespace brc {

namespace {

constexpr uint32_t kStartupStyle = ui::MbIconError | ui::MbSetForeground;

char16_t upper(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c; }

bool equalsIgnoringCase(const std::u16string& a, const char16_t* b) {
    size_t i = 0;
    for (; i < a.size() && b[i]; ++i)
        if (upper(a[i]) != upper(b[i])) return false;
    return i == a.size() && b[i] == 0;
}

} // namespace

LanguageLibrary languageLibraryFor(uint16_t langId) {
    const unsigned primary = langId & 0x3FF, sub = langId >> 10;
    if (primary == 0x11) return {"BrindlecardJPN.dll", u"JPN"};
    if (primary == 0x04) {
        if (sub == 2 || sub == 4) return {"BrindlecardCHS.dll", u"CHS"};
        if (sub == 1 || sub == 3 || sub == 5) return {"BrindlecardCHT.dll", u"CHT"};
    }
    return {nullptr, u""};
}

Switches readSwitches(const std::vector<std::u16string>& arguments) {
    Switches s;
    for (const std::u16string& argument : arguments) {
        if (equalsIgnoringCase(argument, u"/RETRY")) s.retryMode = 1;
        else if (equalsIgnoringCase(argument, u"/CHECKAPI")) s.checkApiMode = 1;
    }
    return s;
}

int CMessageDialog::RunMessage(const std::u16string& text, const std::u16string& caption,
                               uint32_t style) {
    messageText_ = text;
    messageCaption_ = caption;
    messageStyle_ = style;
    DoModal(nullptr);
    return messageResult_;
}

bool CMessageDialog::OnInitDialog() {
    // The template is never shown: only the box it owns is.
    messageResult_ = ShowMessageBox(messageText_, messageCaption_, messageStyle_);
    EndDialog(ui::IdOk);
    return true;
}

int CBrindlecardApp::ShowAppMessage(const std::u16string& text, const std::u16string& caption,
                                    uint32_t style) {
    if (const int answer = system_.messageBox(ui::kNoWindow, text, caption, style)) return answer;
    CMessageDialog host(system_);
    return host.RunMessage(text, caption, style);
}

void* CBrindlecardApp::LoadSatelliteLibrary(uint16_t langId) {
    const LanguageLibrary library = languageLibraryFor(langId);
    if (!library.fileName) return satelliteModule_;
    if (void* module = os_.loadLibrary(library.fileName)) {
        satelliteModule_ = module;
        languageTag_ = library.tag;
    }
    return satelliteModule_;
}

bool CBrindlecardApp::Refuse(uint32_t messageId) {
    refusal_ = messageId;
    ShowAppMessage(messages_.text(messageId), kAppCaption, kStartupStyle);
    return false;
}

int CBrindlecardApp::Run(const std::vector<std::u16string>& arguments) {
    SystemState sys(os_);
    DriverBinding driver(os_);
    RunFlags flags;

    satelliteModule_ = nullptr;
    languageTag_.clear();
    if (!LoadSatelliteLibrary(os_.uiLanguage(false))) LoadSatelliteLibrary(os_.uiLanguage(true));
    if (satelliteModule_) system_.setResourceModule(satelliteModule_);

    bool go = true;
    if (os_.namedMutexHeld(kInstanceMutexName)) {
        go = Refuse(msg::CardInUse);
    } else {
        bool alreadyExisted = false;
        instanceMutex_ = os_.createNamedMutex(kInstanceMutexName, alreadyExisted);
        if (alreadyExisted) go = Refuse(msg::CardInUseMutexExisted);
    }
    const Switches switches = readSwitches(arguments);
    driver.retryMode = switches.retryMode;
    if (go) {
        if (const uint32_t refused = runStartupChecks(sys, driver)) go = Refuse(refused);
    }
    if (go) {
        AppContext context{
            os_,          driver, sys, flags, messages_, switches.retryMode, switches.checkApiMode,
            languageTag_, this};
        CBrindlecardDlg dialog(system_, context);
        system_.setMainWindow(&dialog);
        dialog.DoModal(nullptr);
        system_.setMainWindow(nullptr);
    }
    ExitInstance(driver);
    return go ? 0 : 1;
}

void CBrindlecardApp::ExitInstance(DriverBinding& driver) {
    unbindDriver(driver);
    if (satelliteModule_) {
        system_.setResourceModule(nullptr);
        os_.freeLibrary(satelliteModule_);
        satelliteModule_ = nullptr;
    }
    if (instanceMutex_) {
        os_.releaseNamedMutex(instanceMutex_);
        instanceMutex_ = nullptr;
    }
}

} // namespace brc
