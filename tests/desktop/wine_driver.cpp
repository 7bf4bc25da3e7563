// Works the desktop program from outside, as a person would, under Wine: finds its windows by
// caption, reads and sets control texts, chooses list entries, presses buttons, answers message
// boxes. One action per run; prints what it read as UTF-8 and exits 0, or 1 with a reason.
//
//   wine_driver wait CAPTION [SECONDS]         a dialog whose caption starts with CAPTION
//   wine_driver text CAPTION ID                 a control's text
//   wine_driver visible CAPTION ID | enabled CAPTION ID    "1" or "0"
//   wine_driver items CAPTION ID                a combo box's entries, one a line
//   wine_driver select CAPTION ID TEXT          chooses an entry as the user would
//   wine_driver settext CAPTION ID TEXT         types into an edit
//   wine_driver click CAPTION ID                presses a button (without waiting for it)
//   wine_driver box [SECONDS]                   waits for a message box, prints its text
//   wine_driver answer ID [SECONDS]             presses a button of the message box
//   wine_driver waittext CAPTION ID PART [SECONDS [BUTTON [ASK...]]]   until the control's
//                                               text holds PART; then asks the dialogs whose
//                                               captions start with ASK about AutoPlay (as
//                                               below) and presses BUTTON, at once, if given
//   wine_driver autoplay CAPTION...             the shell's AutoPlay question (the registered
//                                               QueryCancelAutoPlay) sent to each dialog; prints
//                                               "autoplay" and each answer (1 cancels AutoPlay)
//   wine_driver syscommand CAPTION COMMAND       a system-menu command (WM_SYSCOMMAND)
//   wine_driver gone CAPTION [SECONDS]          until no such dialog is left
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

namespace {

std::wstring wide(const char* utf8) {
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
    std::wstring out(n > 0 ? static_cast<size_t>(n) : 1, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8, -1, &out[0], n);
    out.resize(wcslen(out.c_str()));
    return out;
}

void print(const std::wstring& text) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? static_cast<size_t>(n) : 1, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &out[0], n, nullptr, nullptr);
    std::printf("%s\n", out.c_str());
}

std::wstring windowText(HWND window) {
    wchar_t buffer[4096] = {};
    SendMessageW(window, WM_GETTEXT, 4096, reinterpret_cast<LPARAM>(buffer));
    return buffer;
}

struct Search {
    std::wstring caption;
    bool messageBox;
    HWND found;
};

// A dialog box (#32770) of this process tree's desktop whose caption starts with the text; a
// message box is one that holds the message static (id 0xFFFF).
BOOL CALLBACK visit(HWND window, LPARAM param) {
    auto* s = reinterpret_cast<Search*>(param);
    wchar_t cls[64] = {};
    GetClassNameW(window, cls, 64);
    if (wcscmp(cls, L"#32770") != 0 || !IsWindowVisible(window)) return TRUE;
    const bool isBox = GetDlgItem(window, 0xFFFF) != nullptr;
    if (isBox != s->messageBox) return TRUE;
    if (windowText(window).compare(0, s->caption.size(), s->caption) != 0) return TRUE;
    s->found = window;
    return FALSE;
}

HWND find(const std::wstring& caption, bool messageBox, double seconds) {
    const DWORD until = GetTickCount() + static_cast<DWORD>(seconds * 1000);
    do {
        Search s{caption, messageBox, nullptr};
        EnumWindows(visit, reinterpret_cast<LPARAM>(&s));
        if (s.found) return s.found;
        Sleep(50);
    } while (GetTickCount() < until);
    return nullptr;
}

// "autoplay" and what each dialog answers the shell's AutoPlay question, as Explorer asks the
// window in front when a medium arrives; "none" for a dialog not found, "?" for no answer.
void askAutoPlay(const std::vector<std::wstring>& captions) {
    const UINT query = RegisterWindowMessageW(L"QueryCancelAutoPlay");
    std::string line = "autoplay";
    for (const std::wstring& caption : captions) {
        HWND dialog = find(caption, false, 0);
        DWORD_PTR answer = 0;
        if (!dialog) line += " none";
        else if (!SendMessageTimeoutW(dialog, query, 0, 0, SMTO_ABORTIFHUNG, 5000, &answer))
            line += " ?";
        else line += " " + std::to_string(answer);
    }
    std::printf("%s\n", line.c_str());
}

int fail(const char* why) {
    std::fprintf(stderr, "wine_driver: %s\n", why);
    return 1;
}

} // namespace

int run(int argc, char** argv) {
    if (argc < 2) return fail("no action");
    const std::string action = argv[1];
    auto arg = [&](int i) { return i < argc ? argv[i] : ""; };
    auto seconds = [&](int i, double fallback) { return i < argc ? std::atof(argv[i]) : fallback; };

    if (action == "box" || action == "answer") {
        const bool answering = action == "answer";
        HWND box = find(L"Brindlecard", true, seconds(answering ? 3 : 2, 10));
        if (!box) return fail("no message box");
        if (!answering) {
            print(windowText(GetDlgItem(box, 0xFFFF)));
            return 0;
        }
        const int id = std::atoi(arg(2));
        PostMessageW(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(box, id)));
        // Gone before the next step looks.
        for (int i = 0; i < 100 && IsWindow(box); ++i) Sleep(50);
        return 0;
    }

    if (action == "autoplay") {
        std::vector<std::wstring> captions;
        for (int i = 2; i < argc; ++i) captions.push_back(wide(argv[i]));
        askAutoPlay(captions);
        return 0;
    }
    if (action == "gone") {
        const DWORD until = GetTickCount() + static_cast<DWORD>(seconds(3, 20) * 1000);
        while (find(wide(arg(2)), false, 0)) {
            if (GetTickCount() > until) return fail("still there");
            Sleep(50);
        }
        return 0;
    }
    HWND dialog = find(wide(arg(2)), false, action == "wait" ? seconds(3, 20) : 5);
    if (!dialog) return fail("no such dialog");
    if (action == "wait") return 0;
    const int id = std::atoi(arg(3));
    if (action == "syscommand") {
        PostMessageW(dialog, WM_SYSCOMMAND, static_cast<WPARAM>(id), 0);
        return 0;
    }
    HWND control = GetDlgItem(dialog, id);
    if (!control) return fail("no such control");

    if (action == "text") {
        print(windowText(control));
    } else if (action == "waittext") {
        const std::wstring part = wide(arg(4));
        const DWORD until = GetTickCount() + static_cast<DWORD>(seconds(5, 20) * 1000);
        while (windowText(control).find(part) == std::wstring::npos) {
            if (GetTickCount() > until) return fail("the text never came");
            Sleep(20);
        }
        print(windowText(control));
        // waittext ... BUTTON: press it the moment the text shows, with no second start of
        // this program in between (a small card's overwrite is over in seconds); the AutoPlay
        // questions too, while the card is surely being written.
        if (argc > 7) {
            std::vector<std::wstring> captions;
            for (int i = 7; i < argc; ++i) captions.push_back(wide(argv[i]));
            askAutoPlay(captions);
        }
        if (argc > 6) {
            const int button = std::atoi(arg(6));
            PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED),
                         reinterpret_cast<LPARAM>(GetDlgItem(dialog, button)));
        }
    } else if (action == "visible") {
        std::printf("%d\n", IsWindowVisible(control) ? 1 : 0);
    } else if (action == "enabled") {
        std::printf("%d\n", IsWindowEnabled(control) ? 1 : 0);
    } else if (action == "items") {
        const LRESULT count = SendMessageW(control, CB_GETCOUNT, 0, 0);
        for (LRESULT i = 0; i < count; ++i) {
            wchar_t item[256] = {};
            SendMessageW(control, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(item));
            print(item);
        }
    } else if (action == "select") {
        const std::wstring text = wide(arg(4));
        if (SendMessageW(control, CB_SELECTSTRING, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(text.c_str())) == CB_ERR)
            return fail("no such entry");
        PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE), reinterpret_cast<LPARAM>(control));
    } else if (action == "settext") {
        const std::wstring text = wide(arg(4));
        SendMessageW(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
    } else if (action == "click") {
        PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(control));
    } else {
        return fail("unknown action");
    }
    return 0;
}

// Arguments come in as UTF-16, so the program's Cyrillic texts survive the command line.
int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> utf8;
    for (int i = 0; i < argc; ++i) {
        const int n = WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, nullptr, 0, nullptr, nullptr);
        std::string a(n > 0 ? static_cast<size_t>(n) : 1, '\0');
        WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, &a[0], n, nullptr, nullptr);
        a.resize(std::strlen(a.c_str()));
        utf8.push_back(a);
    }
    std::vector<char*> pointers;
    for (std::string& a : utf8) pointers.push_back(&a[0]);
    return run(argc, pointers.data());
}
