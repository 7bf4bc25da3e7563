#include "app/main_dialog.h"

#include <cstdio>

#include "app/about_box.h"
#include "app/drive_probes.h"
#include "app/option_dialog.h"
#include "device/driver_binding.h"
#include "device/system_checks.h"
#include "os/os_services.h"
#include "res/message_ids.h"

namespace brc {

namespace {

constexpr uint32_t kWhite = 0xFFFFFF, kBlack = 0, kGrey = 0x808080;
// The white panel behind the notice, the trademark line and the animation, in dialog units.
constexpr ui::Rect kPanel{68, 8, 233, 68};
constexpr int kPictures[] = {PictureNoDrive, PictureUnusable, PictureSd, PictureSdhc, PictureSdxc};

} // namespace

CBrindlecardDlg::CBrindlecardDlg(ui::WindowSystem& system, AppContext& app)
    : ui::Dialog(system, IDD_BRINDLECARD),
      app_(app),
      probe_{app.driver, app.sys, app.os.oemCodePage()},
      progress_(system, app.messages, app.flags, this) {
    appIcon_ = LoadIconResource(IDI_BRINDLECARD);
}

std::u16string CBrindlecardDlg::caption() {
    const std::optional<ProgramVersion> version = app_.os.programVersion();
    std::u16string out;
    if (version) {
        char text[48];
        std::snprintf(text, sizeof text, "Brindlecard V%u.%u", version->productMs >> 16,
                      version->productMs & 0xFFFF);
        out = asciiToUtf16(text);
    }
    if (app_.retryMode) out += u" [RETRY MODE]";
    return out;
}

bool CBrindlecardDlg::OnInitDialog() {
    const std::u16string about = text(msg::AboutMenuItem);
    if (!about.empty()) AppendSystemMenuItem(IDM_ABOUTBOX, about);
    SetWindowIcon(appIcon_);
    ui::AnimationControl animation = Animation(IDC_ANIMATION);
    if (animation.Open(IDR_BUSY_ANIMATION)) animation.Play(-1, 0, 0xFFFF);
    SetCaption(caption());

    SetControlText(IDC_FORMAT, text(msg::FormatButton));
    SetControlText(IDC_EXIT, text(msg::ExitButton));
    SetControlText(IDC_REFRESH, text(msg::RefreshButton));
    SetControlText(IDC_NOTICE, text(msg::FormatErasesAllData));
    SetControlText(IDC_TRADEMARK, text(msg::TrademarkNotice));
    SetControlText(IDC_OPTIONS_CAPTION, text(msg::OptionsBoxCaption));
    SetControlText(IDC_OPTION, text(msg::OptionsButton));
    UpdateOptionsText();

    ShowControl(IDC_PICTURE_UNKNOWN, false);
    SetControlText(IDC_CAPACITY_VALUE, u"");
    SetControlText(IDC_CAPACITY_UNIT, u"");
    SetControlText(IDC_LABEL_EDIT, u"");
    EnableControl(IDC_LABEL_EDIT, false);
    refreshDriveList();
    startPollTimer();
    return true;
}

std::u16string CBrindlecardDlg::selectedRoot() {
    ui::ComboBox list = Combo(IDC_DRIVE_LIST);
    const int selected = list.GetCurSel();
    return rootPathOf(selected < 0 ? std::u16string() : list.GetItemText(selected));
}

void CBrindlecardDlg::showPicture(int pictureId) {
    for (int id : kPictures) ShowControl(id, id == pictureId);
}

void CBrindlecardDlg::refreshDriveList() {
    ui::ComboBox list = Combo(IDC_DRIVE_LIST);
    const int previous = list.GetCurSel();
    const std::u16string remembered = previous < 0 ? std::u16string() : list.GetItemText(previous);
    list.ResetContent();

    const std::vector<std::u16string> roots = app_.os.driveRoots();
    size_t length = 0;
    for (const std::u16string& root : roots) length += root.size() + 1;
    // A drive string that does not fit the 256 characters the system is asked for lists nothing.
    if (length > 0 && length < 256) {
        for (const std::u16string& root : roots) {
            if (root.size() < 2 || !isFormattableDrive(probe_, root)) continue;
            std::u16string entry = root.substr(0, 2);
            if (entry[0] >= u'a' && entry[0] <= u'z')
                entry[0] = static_cast<char16_t>(entry[0] - 32);
            list.AddString(entry);
        }
    }

    if (list.GetCount() == 0) {
        EnableControl(IDC_DRIVE_LIST, false);
        SetControlText(IDC_NOTICE, text(msg::FormatErasesAllData));
        EnableControl(IDC_FORMAT, false);
        showPicture(PictureNoDrive);
        SetControlText(IDC_CAPACITY_VALUE, u"");
        SetControlText(IDC_CAPACITY_UNIT, u"");
        SetControlText(IDC_LABEL_EDIT, u"");
        EnableControl(IDC_LABEL_EDIT, false);
        return;
    }
    const int found = remembered.empty() ? -1 : list.FindStringExact(remembered);
    list.SetCurSel(found >= 0 ? found : 0);
    EnableControl(IDC_DRIVE_LIST, true);
    const std::u16string root = selectedRoot();
    showDriveCapacity(root);
    IsEraseAvailable(root);
}

void CBrindlecardDlg::onDriveSelChange() {
    BeginWaitCursor();
    const std::u16string root = selectedRoot();
    showDriveCapacity(root);
    IsEraseAvailable(root);
    sizeAdjustment = 0;
    UpdateOptionsText();
    EndWaitCursor();
}

void CBrindlecardDlg::showDriveCapacity(const std::u16string& rootPath) {
    bool usable = false;
    uint64_t size = 0;
    if (rebindDriverLibrary(probe_, rootPath) == 0) {
        ClusterSpace ignored;
        app_.os.clusterSpace(rootPath, ignored);
        uint32_t sectors = 0;
        uint16_t bytesPerSector = 0;
        if (readCardGeometry(probe_, rootPath, sectors, bytesPerSector)) {
            usable = isUsableCard(sectors, bytesPerSector);
            size = uint64_t{bytesPerSector} * sectors;
        }
    }
    if (!usable) {
        showPicture(PictureUnusable);
        SetControlText(IDC_NOTICE, text(msg::DriveNotSupported));
        EnableControl(IDC_FORMAT, false);
        SetControlText(IDC_CAPACITY_VALUE, text(msg::Blank));
        SetControlText(IDC_CAPACITY_UNIT, u"");
        SetControlText(IDC_LABEL_EDIT, u"");
        EnableControl(IDC_LABEL_EDIT, false);
        return;
    }
    showPicture(pictureForSize(size));
    SetControlText(IDC_NOTICE, text(msg::FormatErasesAllData));
    EnableControl(IDC_FORMAT, true);
    const CapacityText shown = capacityText(size);
    if (shown.unknown) {
        SetControlText(IDC_CAPACITY_VALUE, text(msg::UnknownCapacity));
        SetControlText(IDC_CAPACITY_UNIT, shown.unit);
        SetControlText(IDC_LABEL_EDIT, u"");
        EnableControl(IDC_LABEL_EDIT, false);
        return;
    }
    SetControlText(IDC_CAPACITY_VALUE, shown.value);
    SetControlText(IDC_CAPACITY_UNIT, shown.unit);
    VolumeInfo info;
    // The label as the system shows it, in the 31 characters it is read into.
    SetControlText(IDC_LABEL_EDIT,
                   app_.os.volumeInfo(rootPath, info) ? info.label.substr(0, 30) : u"");
    EnableControl(IDC_LABEL_EDIT, true);
}

int CBrindlecardDlg::IsEraseAvailable(const std::u16string& rootPath) {
    if (app_.checkApiMode == 0) return 1;
    if (probeEraseSupport(probe_, rootPath)) return 1;
    formatType = withoutErase(formatType);
    UpdateOptionsText();
    return 0;
}

void CBrindlecardDlg::UpdateOptionsText() {
    SetControlText(IDC_OPTIONS_SUMMARY, text(optionsSummaryId(formatType, sizeAdjustment != 0)));
    UpdateWindow();
}

void CBrindlecardDlg::EnableControls(bool enable) {
    for (int id : {IDC_LABEL_EDIT, IDC_FORMAT, IDC_REFRESH, IDC_OPTION, IDC_DRIVE_LIST, IDC_EXIT})
        EnableControl(id, enable);
}

void CBrindlecardDlg::OnRefresh() {
    BeginWaitCursor();
    for (int id : {IDC_REFRESH, IDC_FORMAT, IDC_OPTION, IDC_DRIVE_LIST, IDC_EXIT})
        EnableControl(id, false);
    unbindDriver(app_.driver);
    if (bindDriver(app_.driver, 2) == BindResult::Bound) {
        refreshDriveList();
        for (int id : {IDC_REFRESH, IDC_OPTION, IDC_EXIT}) EnableControl(id, true);
    } else {
        const std::u16string message = text(msg::CardInUse);
        if (app_.shell)
            app_.shell->ShowAppMessage(message, kAppCaption, ui::MbIconError | ui::MbSetForeground);
        PostWindowMessage(ui::WmClose);
    }
    EndWaitCursor();
}

void CBrindlecardDlg::OnOption() {
    const std::u16string root = selectedRoot();
    const int eraseAvailable = IsEraseAvailable(root);
    NewSetting options(System(), app_.messages);
    options.formatType = formatType;
    options.sizeAdjustment = sizeAdjustment;
    options.eraseAvailable = static_cast<uint32_t>(eraseAvailable);
    options.DoModal(this);
    sizeAdjustment = options.sizeAdjustment;
    formatType = options.formatType;
    UpdateOptionsText();
}

void CBrindlecardDlg::OnFormat() {
    ui::ComboBox list = Combo(IDC_DRIVE_LIST);
    const int selected = list.GetCurSel();
    FormatRequest request;
    request.drive = selected < 0 ? std::u16string() : list.GetItemText(selected);
    request.label = GetControlText(IDC_LABEL_EDIT);
    request.formatType = formatType;
    request.sizeAdjustment = sizeAdjustment != 0;
    FormatEnvironment env{app_.driver, app_.sys, app_.flags, app_.messages, app_.os.oemCodePage()};
    lastFormat_ = FormatCommand(env, *this).run(request);
}

bool CBrindlecardDlg::confirm(uint32_t, const std::u16string& question, uint32_t style) {
    return ShowMessageBox(question, kAppCaption, style) == ui::IdOk;
}

void CBrindlecardDlg::showMessage(uint32_t, const std::u16string& message, uint32_t style) {
    ShowMessageBox(message, kAppCaption, style);
}

void CBrindlecardDlg::stopPollTimer() {
    if (pollTimer) KillTimer(pollTimer);
    pollTimer = 0;
}

void CBrindlecardDlg::startPollTimer() { pollTimer = SetTimer(kPollTimerId, 1000); }

void CBrindlecardDlg::repaintNow() {
    Repaint();
    UpdateWindow();
}

bool CBrindlecardDlg::OnCommand(int controlId, uint32_t notification) {
    if (notification == ui::BnClicked) {
        switch (controlId) {
        case IDC_FORMAT: OnFormat(); return true;
        case IDC_REFRESH: OnRefresh(); return true;
        case IDC_OPTION: OnOption(); return true;
        default: break;
        }
    }
    if (controlId == IDC_DRIVE_LIST && notification == ui::CbnSelChange) {
        onDriveSelChange();
        return true;
    }
    return ui::Dialog::OnCommand(controlId, notification);
}

bool CBrindlecardDlg::PreTranslateMessage(const ui::Message& message) {
    if (message.message == ui::WmKeyDown && message.wParam == ui::VkF5) {
        // Always taken, so no control sees it; a refresh only while no format runs.
        if (pollTimer) {
            BeginWaitCursor();
            refreshDriveList();
            EndWaitCursor();
        }
        return true;
    }
    return ui::Dialog::PreTranslateMessage(message);
}

void CBrindlecardDlg::onTimer(uintptr_t timerId) {
    if (timerId != pollTimer || Combo(IDC_DRIVE_LIST).GetCount() <= 0) return;
    VolumeInfo info;
    if (!app_.os.volumeInfo(selectedRoot(), info) && app_.os.lastError() == kErrorNotReady) {
        BeginWaitCursor(); // the card was pulled
        refreshDriveList();
        EndWaitCursor();
    }
}

void CBrindlecardDlg::paint() {
    const ui::DeviceContext dc = System().beginPaint(Handle());
    if (IsMinimized()) {
        SendWindowMessage(ui::WmIconEraseBkgnd, dc, 0);
        const ui::Rect client = GetClientRect();
        const int x = (client.right - client.left - System().systemMetric(ui::SmCxIcon) + 1) / 2;
        const int y = (client.bottom - client.top - System().systemMetric(ui::SmCyIcon) + 1) / 2;
        System().drawIcon(dc, x, y, appIcon_);
    } else {
        System().drawRoundRect(dc, MapDialogRect(kPanel), kGrey, 10, 10);
    }
    System().endPaint(Handle(), dc);
}

ui::Reply CBrindlecardDlg::WindowProc(uint32_t message, uintptr_t wParam, intptr_t lParam) {
    switch (message) {
    case ui::WmSysCommand:
        if ((wParam & 0xFFF0) == IDM_ABOUTBOX) {
            CAboutBox about(System(), app_.os, app_.languageTag);
            about.DoModal(this);
            return {true, 0};
        }
        break;
    case ui::WmPaint: paint(); return {true, 0};
    case ui::WmQueryDragIcon: return {true, static_cast<intptr_t>(appIcon_)};
    case ui::WmTimer: onTimer(wParam); return {true, 0};
    case ui::WmDestroy: {
        const ui::Reply reply = ui::Dialog::WindowProc(message, wParam, lParam);
        stopPollTimer();
        return reply;
    }
    case ui::WmDeviceChange: {
        const auto* header = reinterpret_cast<const ui::DeviceBroadcastHeader*>(lParam);
        if ((wParam == ui::DbtDeviceArrival || wParam == ui::DbtDeviceRemoveComplete) && header &&
            header->deviceType == ui::DbtDevTypVolume && pollTimer) {
            BeginWaitCursor();
            refreshDriveList();
            EndWaitCursor();
        }
        break;
    }
    case ui::WmQueryCancelAutoPlay:
        // Explorer would offer to open the card, or to format it, while it is half written.
        if (writingCard_) return {true, 1};
        break;
    case ui::WmPowerBroadcast:
        // Set whether or not a format runs; the next Format clears the abort.
        if (wParam == ui::PbtApmSuspend || wParam == ui::PbtApmResumeSuspend) {
            app_.flags.powerEvent = 4;
            app_.flags.powerAbort = 1;
        } else if (wParam == ui::PbtApmStandby || wParam == ui::PbtApmResumeStandby) {
            app_.flags.powerEvent = 5;
            app_.flags.powerAbort = 1;
        }
        break;
    default:
        if (ui::isCtlColorMessage(message)) {
            const ui::Reply reply = ui::Dialog::WindowProc(message, wParam, lParam);
            const int id = System().controlIdOf(Handle(), lParam);
            if (id == IDC_NOTICE || id == IDC_TRADEMARK) {
                System().setTextColors(static_cast<ui::DeviceContext>(wParam), kBlack, kWhite);
                return {true, System().whiteBrush()};
            }
            return reply;
        }
        break;
    }
    return ui::Dialog::WindowProc(message, wParam, lParam);
}

} // namespace brc
