// The dialog layer on real windows: a modal main window whose loop offers a key to
// PreTranslateMessage with the control it was meant for, a timer, a nested modal dialog that
// ends in its initialisation with its owner disabled meanwhile, a modeless progress window
// whose Enter is swallowed and whose Cancel click arrives through the pump, a sorted list, the
// shell's registered AutoPlay question reaching the dialog with its answer going back, and
// WM_CLOSE ending the run as IDCANCEL. Exits 0 when everything happened so.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "ui/dialog.h"
#include "ui/win32/win32_system.h"

namespace {

using namespace brc::ui;

constexpr int kMain = 101, kHidden = 102, kProgress = 103;
constexpr int kGo = 1001, kList = 1000, kEdit = 1033, kNotice = 1009;
constexpr int kLine = 1027, kCancel = 1031;
constexpr uintptr_t kTimer = 7;

HWND hwndOf(const Dialog& dialog) {
    return reinterpret_cast<HWND>(static_cast<uintptr_t>(dialog.Handle()));
}

std::vector<std::string> failures;

void check(bool ok, const char* what) {
    if (!ok) failures.emplace_back(what);
}

class Hidden : public Dialog {
public:
    Hidden(WindowSystem& system, HWND owner) : Dialog(system, kHidden), owner_(owner) {}
    bool ownerWasDisabled = false;

protected:
    bool OnInitDialog() override {
        ownerWasDisabled = !IsWindowEnabled(owner_);
        EndDialog(IdOk);
        return true;
    }

private:
    HWND owner_;
};

class Progress : public Dialog {
public:
    explicit Progress(WindowSystem& system) : Dialog(system, kProgress) {}
    bool cancelled = false;
    int swallowed = 0;

protected:
    bool OnCommand(int controlId, uint32_t notification) override {
        if (controlId != kCancel || notification != BnClicked) return false;
        cancelled = true;
        return true;
    }
    bool PreTranslateMessage(const Message& message) override {
        if ((message.message != WmKeyDown && message.message != WmKeyUp) ||
            (message.wParam != VkReturn && message.wParam != VkEscape)) {
            return false;
        }
        ++swallowed;
        return true;
    }
};

class Main : public Dialog {
public:
    explicit Main(WindowSystem& system) : Dialog(system, kMain) {}
    int f5Control = 0;
    int timerFired = 0;
    intptr_t nestedResult = 0;
    bool ownerDisabledInside = false;
    bool progressCancelled = false;
    int progressSwallowed = 0;
    int pumps = 0;
    bool writing = false;
    LRESULT autoPlayWhileWriting = -1, autoPlayOtherwise = -1;

protected:
    bool OnInitDialog() override {
        ComboBox list = Combo(kList);
        list.AddString(u"F:");
        list.AddString(u"D:");
        check(list.AddString(u"E:") == 1, "a sorted list puts E: between D: and F:");
        check(list.SetCurSel(2) == 2 && GetControlText(kList) == u"F:",
              "a drop-down list's text is its selection");
        check(list.FindStringExact(u"e:") == 1, "the exact search ignores case");
        SetControlText(kNotice, u"Все данные будут потеряны");
        check(GetControlText(kNotice) == u"Все данные будут потеряны", "texts are UTF-16");
        check(SetTimer(kTimer, 10) == kTimer, "the timer starts");
        const UINT autoPlay = RegisterWindowMessageW(L"QueryCancelAutoPlay");
        writing = true;
        autoPlayWhileWriting = SendMessageW(hwndOf(*this), autoPlay, 0, 0);
        writing = false;
        autoPlayOtherwise = SendMessageW(hwndOf(*this), autoPlay, 0, 0);
        PostMessageW(GetDlgItem(hwndOf(*this), kEdit), WM_KEYDOWN, VK_F5, 1);
        return true;
    }
    bool PreTranslateMessage(const Message& message) override {
        if (message.message != WmKeyDown || message.wParam != VkF5) return false;
        f5Control = message.controlId;
        return true;
    }
    Reply WindowProc(uint32_t message, uintptr_t wParam, intptr_t lParam) override {
        if (message == WmQueryCancelAutoPlay && writing) return {true, 1};
        if (message == WmTimer && wParam == kTimer) {
            KillTimer(kTimer);
            ++timerFired;
            PostWindowMessage(WmCommand, makeWParam(kGo, BnClicked));
            return {true, 0};
        }
        return Dialog::WindowProc(message, wParam, lParam);
    }
    bool OnCommand(int controlId, uint32_t) override {
        if (controlId != kGo) return false;
        Hidden hidden(System(), hwndOf(*this));
        nestedResult = hidden.DoModal();
        ownerDisabledInside = hidden.ownerWasDisabled;
        check(IsWindowEnabled(hwndOf(*this)) != 0, "the owner is enabled again");

        Progress progress(System());
        check(progress.Create(this), "the progress window opens");
        HWND cancel = GetDlgItem(hwndOf(progress), kCancel);
        PostMessageW(cancel, WM_KEYDOWN, VK_RETURN, 1);
        PostMessageW(cancel, BM_CLICK, 0, 0);
        for (int i = 0; i < 500 && !progress.cancelled; ++i) {
            progress.SetControlText(kLine, u"Format  50%");
            progress.RedrawControl(kLine);
            System().pumpPendingMessages();
            ++pumps;
            Sleep(2);
        }
        progressCancelled = progress.cancelled;
        progressSwallowed = progress.swallowed;
        progress.DestroyWindow();
        check(!progress.HasWindow(), "the progress window is gone");
        PostWindowMessage(WmClose);
        return true;
    }
};

} // namespace

int main() {
    Win32System system;
    Main main(system);
    system.setMainWindow(&main);
    const intptr_t result = main.DoModal();
    system.setMainWindow(nullptr);

    check(result == IdCancel, "WM_CLOSE ends the modal run as IDCANCEL");
    check(!main.HasWindow(), "the main window is gone after its run");
    check(main.f5Control == kEdit, "F5 reaches PreTranslateMessage with the edit's id");
    check(main.timerFired == 1, "the timer fires once, then is killed");
    check(main.nestedResult == IdOk, "a dialog ending in OnInitDialog returns its result");
    check(main.ownerDisabledInside, "a modal dialog disables its owner");
    check(main.progressCancelled, "the Cancel click arrives through the pump");
    check(main.progressSwallowed >= 1, "the progress window's PreTranslateMessage sees Enter");
    check(main.autoPlayWhileWriting == 1, "the AutoPlay question reaches the dialog, its 1 back");
    check(main.autoPlayOtherwise == 0, "an AutoPlay question the dialog leaves is answered 0");

    for (const std::string& failure : failures) std::printf("FAILED: %s\n", failure.c_str());
    std::printf("ui win32 smoke: %s (%d pumps)\n", failures.empty() ? "ok" : "failed", main.pumps);
    return failures.empty() ? 0 : 1;
}
