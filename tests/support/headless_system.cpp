#include "tests/support/headless_system.h"

#include <algorithm>
#include <utility>

#include "base/upcase_table.h"
#include "ui/dialog.h"

namespace brc::ui {

struct HeadlessSystem::Control {
    const res::ControlTemplate* source = nullptr;
    std::u16string text;
    bool enabled = true;
    bool visible = true;
    std::vector<std::u16string> items;
    int selection = -1;
    int imageId = 0;
    AnimationState animation;
    int redraws = 0;

    res::ControlKind kind() const { return source->kind; }
    int id() const { return source->id; }
};

// The state of one modal run, kept apart from the window so a run whose window was destroyed
// under it still ends cleanly.
struct ModalRun {
    bool ended = false;
    intptr_t result = -1;
};

struct HeadlessSystem::Window {
    uintptr_t number = 0;
    Dialog* dialog = nullptr;
    const res::DialogTemplate* source = nullptr;
    uintptr_t owner = 0;
    ModalRun* run = nullptr;  // null for a modeless window
    bool enabled = true;
    bool visible = false;
    bool minimized = false;
    bool destroying = false;
    std::u16string caption;
    std::vector<Control> controls;
    std::map<uintptr_t, uint32_t> timers;
    std::vector<std::pair<uint32_t, std::u16string>> systemMenu;
    IconHandle icon = 0;
    int repaints = 0;
    int updates = 0;
    std::vector<KeyRecord> keys;
    std::vector<PaintRecord> paints;
};

namespace {

constexpr intptr_t kWhiteBrush = 0x57B1;     // stands for GetStockObject(WHITE_BRUSH)
constexpr IconHandle kIconBase = 0x10000;    // icon handles are this plus the resource id
constexpr int kIconPixels = 32;              // SM_CXICON and SM_CYICON at 96 dpi

std::u16string fromTemplate(const char16_t* text) {
    return text ? std::u16string(text) : std::u16string();
}

// List boxes compare without regard to case.
int compareNoCase(const std::u16string& a, const std::u16string& b) {
    const size_t common = std::min(a.size(), b.size());
    for (size_t i = 0; i < common; ++i) {
        const char16_t x = upcaseUnit(a[i]);
        const char16_t y = upcaseUnit(b[i]);
        if (x != y) return x < y ? -1 : 1;
    }
    if (a.size() == b.size()) return 0;
    return a.size() < b.size() ? -1 : 1;
}

bool startsWithNoCase(const std::u16string& text, const std::u16string& prefix) {
    return text.size() >= prefix.size() && compareNoCase(text.substr(0, prefix.size()), prefix) == 0;
}

// MulDiv: the product in 64 bits, rounded half away from zero.
int mulDiv(int value, int numerator, int denominator) {
    const long long product = static_cast<long long>(value) * numerator;
    const long long half = denominator / 2;
    return static_cast<int>((product >= 0 ? product + half : product - half) / denominator);
}

bool isButton(res::ControlKind kind) {
    return kind == res::ControlKind::PushButton || kind == res::ControlKind::CheckBox ||
           kind == res::ControlKind::RadioButton;
}

std::string idText(int id) { return std::to_string(id); }

} // namespace

HeadlessSystem::HeadlessSystem(TemplateLookup lookup) : lookup_(lookup) {}

HeadlessSystem::~HeadlessSystem() {
    // Dialogs that outlive the system keep no handle into it.
    for (auto& entry : windows_) detach(*entry.second->dialog);
}

void HeadlessSystem::queueAnswers(std::initializer_list<int> answers) {
    answers_.insert(answers_.end(), answers.begin(), answers.end());
}

void HeadlessSystem::fault(std::string text) { faults_.push_back(std::move(text)); }

// ---- Windows ------------------------------------------------------------------------------------

HeadlessSystem::Window* HeadlessSystem::byNumber(uintptr_t number) const {
    const auto it = windows_.find(number);
    return it == windows_.end() ? nullptr : it->second.get();
}

HeadlessSystem::Window* HeadlessSystem::find(WindowHandle window) const {
    return byNumber(static_cast<uintptr_t>(window));
}

HeadlessSystem::Window* HeadlessSystem::find(const Dialog& dialog) const {
    Window* window = find(dialog.Handle());
    return window && window->dialog == &dialog ? window : nullptr;
}

uintptr_t HeadlessSystem::create(Dialog& dialog, uintptr_t owner, bool modal) {
    const int id = templateId(dialog);
    const res::DialogTemplate* source = lookup_ ? lookup_(id) : nullptr;
    if (!source) {
        fault("no dialog template " + idText(id));
        return 0;
    }
    if (dialog.HasWindow()) {
        fault("dialog " + idText(id) + " already has a window");
        return 0;
    }
    auto window = std::make_unique<Window>();
    window->number = nextWindow_++;
    window->dialog = &dialog;
    window->source = source;
    window->owner = owner;
    window->caption = fromTemplate(source->caption);
    window->enabled = (source->style & WsDisabled) == 0;
    window->visible = !modal && (source->style & WsVisible) != 0;
    for (size_t i = 0; i < source->controlCount; ++i) {
        const res::ControlTemplate& item = source->controls[i];
        Control control;
        control.source = &item;
        control.text = fromTemplate(item.text);
        control.enabled = (item.style & WsDisabled) == 0;
        control.visible = (item.style & WsVisible) != 0;
        control.imageId = item.imageId;
        window->controls.push_back(std::move(control));
    }
    const uintptr_t number = window->number;
    windows_[number] = std::move(window);
    attach(dialog, WindowHandle{number});
    return number;
}

intptr_t HeadlessSystem::runModal(Dialog& dialog, Dialog* parent) {
    uintptr_t owner = 0;
    if (parent && parent->HasWindow()) {
        owner = static_cast<uintptr_t>(parent->Handle());
    } else if (!modalStack_.empty()) {
        owner = modalStack_.back();
    } else if (main_ && main_ != &dialog && main_->HasWindow()) {
        owner = static_cast<uintptr_t>(main_->Handle());
    }
    ModalRun run;
    const uintptr_t number = create(dialog, owner, true);
    if (number == 0) return -1;
    byNumber(number)->run = &run;
    Window* ownerWindow = byNumber(owner);
    const bool ownerDisabled = ownerWindow && ownerWindow->enabled;
    if (ownerDisabled) ownerWindow->enabled = false;
    modalStack_.push_back(number);

    const auto over = [this, number, &run] { return run.ended || !byNumber(number); };
    deliver(number, WmInitDialog, 0, 0);
    // A modal dialog is shown after its initialisation, and told so.
    if (!over()) {
        byNumber(number)->visible = true;
        deliver(number, WmShowWindow, 1, 0);
    }
    drain(over);
    if (!over() && onModalDialog) onModalDialog(dialog);
    drain(over);
    if (!over()) {
        fault("dialog " + idText(templateId(dialog)) + ": modal run still open, nothing to deliver");
        run.ended = true;
    }

    const auto entry = std::find(modalStack_.begin(), modalStack_.end(), number);
    if (entry != modalStack_.end()) modalStack_.erase(entry);
    if (ownerDisabled) {
        if (Window* again = byNumber(owner)) again->enabled = true;
    }
    if (Window* window = byNumber(number)) {
        window->run = nullptr;
        destroyWindow(WindowHandle{number});
    }
    return run.result;
}

bool HeadlessSystem::createModeless(Dialog& dialog, Dialog* parent) {
    const uintptr_t owner =
        parent && parent->HasWindow() ? static_cast<uintptr_t>(parent->Handle()) : 0;
    const uintptr_t number = create(dialog, owner, false);
    if (number == 0) return false;
    deliver(number, WmInitDialog, 0, 0);
    return byNumber(number) != nullptr;
}

void HeadlessSystem::destroyWindow(WindowHandle handle) {
    const uintptr_t number = static_cast<uintptr_t>(handle);
    Window* window = byNumber(number);
    if (!window || window->destroying) return;
    window->destroying = true;
    // The windows it owns go first, as the system destroys them.
    std::vector<uintptr_t> owned;
    for (const auto& entry : windows_) {
        if (entry.second->owner == number) owned.push_back(entry.first);
    }
    for (uintptr_t child : owned) destroyWindow(WindowHandle{child});
    deliver(number, WmDestroy, 0, 0);
    deliver(number, WmNcDestroy, 0, 0);
    if ((window = byNumber(number)) == nullptr) return;
    detach(*window->dialog);
    windows_.erase(number);
}

void HeadlessSystem::endDialog(WindowHandle handle, intptr_t result) {
    Window* window = find(handle);
    if (!window) return;
    if (window->run) {
        window->run->ended = true;
        window->run->result = result;
    } else {
        window->visible = false;
    }
}

void HeadlessSystem::showWindow(WindowHandle handle, bool show) {
    if (Window* window = find(handle)) window->visible = show;
}

bool HeadlessSystem::isOpen(const Dialog& dialog) const { return find(dialog) != nullptr; }

bool HeadlessSystem::isModal(const Dialog& dialog) const {
    const Window* window = find(dialog);
    return window && window->run;
}

bool HeadlessSystem::isWindowEnabled(const Dialog& dialog) const {
    const Window* window = find(dialog);
    return window && window->enabled;
}

bool HeadlessSystem::isWindowVisible(const Dialog& dialog) const {
    const Window* window = find(dialog);
    return window && window->visible;
}

Dialog* HeadlessSystem::activeModal() const {
    if (modalStack_.empty()) return nullptr;
    const Window* window = byNumber(modalStack_.back());
    return window ? window->dialog : nullptr;
}

// ---- Delivery -----------------------------------------------------------------------------------

Reply HeadlessSystem::deliver(uintptr_t number, uint32_t message, uintptr_t wParam,
                              intptr_t lParam) {
    Window* window = byNumber(number);
    if (!window) return {};
    const Reply reply = route(*window->dialog, message, wParam, lParam);
    if (!reply.handled) defaultProcessing(number, message, wParam);
    return reply;
}

Reply HeadlessSystem::defaultProcessing(uintptr_t number, uint32_t message, uintptr_t wParam) {
    Window* window = byNumber(number);
    if (!window) return {};
    if (message == WmClose) {
        // The dialog manager posts the Cancel button's command for the close box.
        intptr_t cancel = 0;
        for (const Control& control : window->controls) {
            if (control.id() == IdCancel) cancel = controlWindow(*window, control);
        }
        post(number, [this, number, cancel] {
            deliver(number, WmCommand, makeWParam(IdCancel, BnClicked), cancel);
        });
        return {true, 0};
    }
    if (message == WmSysCommand && (wParam & 0xFFF0) == ScClose) {
        return deliver(number, WmClose, 0, 0);
    }
    return {};
}

bool HeadlessSystem::offerToDialogs(uintptr_t number, const Message& message) {
    // From the window the message is for up through its owners, as a message loop walks the
    // window tree.
    Message offered = message;
    for (const Window* window = byNumber(number); window; window = byNumber(number)) {
        number = window->owner;
        if (preTranslate(*window->dialog, offered)) return true;
        offered.controlId = 0;
    }
    return false;
}

uintptr_t HeadlessSystem::loopDialog() const {
    if (!modalStack_.empty()) return modalStack_.back();
    return main_ && main_->HasWindow() ? static_cast<uintptr_t>(main_->Handle()) : 0;
}

void HeadlessSystem::post(uintptr_t window, std::function<void()> deliverIt) {
    queue_.push_back(Posted{window, std::move(deliverIt)});
}

void HeadlessSystem::drain(const std::function<bool()>& until) {
    while (!queue_.empty() && !(until && until())) {
        Posted next = std::move(queue_.front());
        queue_.pop_front();
        // A message for a window that is gone is dropped, as the system drops it.
        if (next.window != 0 && !byNumber(next.window)) continue;
        next.deliver();
    }
}

void HeadlessSystem::pumpPendingMessages() {
    if (onPump) onPump();
    drain(nullptr);
}

bool HeadlessSystem::postMessage(WindowHandle handle, uint32_t message, uintptr_t wParam,
                                 intptr_t lParam) {
    const Window* window = find(handle);
    if (!window) return false;
    const uintptr_t number = window->number;
    post(number, [this, number, message, wParam, lParam] {
        deliver(number, message, wParam, lParam);
    });
    return true;
}

intptr_t HeadlessSystem::sendMessage(WindowHandle handle, uint32_t message, uintptr_t wParam,
                                     intptr_t lParam) {
    const Window* window = find(handle);
    if (!window) return 0;
    return deliver(window->number, message, wParam, lParam).result;
}

// ---- The user and the system --------------------------------------------------------------------

bool HeadlessSystem::click(Dialog& dialog, int controlId) {
    Window* window = find(dialog);
    Control* target = control(window, controlId, "click");
    if (!target) return false;
    if (!isButton(target->kind())) {
        fault("click: control " + idText(controlId) + " is no button");
        return false;
    }
    if (!target->enabled || !target->visible || !window->enabled || !window->visible) return false;
    deliver(window->number, WmCommand, makeWParam(static_cast<uint32_t>(controlId), BnClicked),
            controlWindow(*window, *target));
    return true;
}

bool HeadlessSystem::typeText(Dialog& dialog, int controlId, const std::u16string& text) {
    Window* window = find(dialog);
    Control* target = control(window, controlId, "typeText");
    if (!target) return false;
    if (target->kind() != res::ControlKind::Edit) {
        fault("typeText: control " + idText(controlId) + " is no edit");
        return false;
    }
    if (!target->enabled || !target->visible || !window->enabled) return false;
    target->text = text;
    deliver(window->number, WmCommand, makeWParam(static_cast<uint32_t>(controlId), EnChange),
            controlWindow(*window, *target));
    return true;
}

bool HeadlessSystem::selectItem(Dialog& dialog, int controlId, int index) {
    Window* window = find(dialog);
    Control* target = control(window, controlId, "selectItem");
    if (!target) return false;
    if (target->kind() != res::ControlKind::ComboBox) {
        fault("selectItem: control " + idText(controlId) + " is no combo box");
        return false;
    }
    if (!target->enabled || !target->visible || !window->enabled) return false;
    if (index < 0 || static_cast<size_t>(index) >= target->items.size()) return false;
    target->selection = index;
    deliver(window->number, WmCommand, makeWParam(static_cast<uint32_t>(controlId), CbnSelChange),
            controlWindow(*window, *target));
    return true;
}

KeyFate HeadlessSystem::pressKey(Dialog& dialog, uint32_t key, int controlId) {
    const KeyFate fate = sendKey(dialog, WmKeyDown, key, controlId);
    sendKey(dialog, WmKeyUp, key, controlId);
    return fate;
}

KeyFate HeadlessSystem::sendKey(Dialog& dialog, uint32_t message, uint32_t key, int controlId) {
    Window* window = find(dialog);
    // The keyboard focus is never in a disabled window or control.
    if (!window || !window->enabled) return KeyFate::Dropped;
    Control* focus = nullptr;
    if (controlId != 0) {
        focus = control(window, controlId, "key");
        if (!focus || !focus->enabled || !focus->visible) return KeyFate::Dropped;
    }
    const uintptr_t number = window->number;
    const intptr_t keyData = message == WmKeyDown ? 1 : static_cast<intptr_t>(0xC0000001u);
    if (offerToDialogs(number, Message{message, key, keyData, controlId})) return KeyFate::Consumed;
    window = byNumber(number);
    if (!window) return KeyFate::Dropped;

    if (message == WmKeyDown && number == loopDialog() && (key == VkReturn || key == VkEscape)) {
        // The dialog manager: Escape is IDCANCEL; Enter clicks the focused push button, else the
        // default push button, else sends IDOK.
        uint32_t command = key == VkEscape ? IdCancel : IdOk;
        const Control* button = nullptr;
        if (key == VkReturn) {
            if (focus && focus->kind() == res::ControlKind::PushButton) button = focus;
            for (const Control& c : window->controls) {
                if (button) break;
                if (c.kind() == res::ControlKind::PushButton &&
                    (c.source->style & BsTypeMask) == BsDefPushButton) {
                    button = &c;
                }
            }
            if (button && !button->enabled) return KeyFate::Dropped;
            if (button) command = static_cast<uint32_t>(button->id());
        } else {
            for (const Control& c : window->controls) {
                if (c.id() == IdCancel) button = &c;
            }
        }
        deliver(number, WmCommand, makeWParam(command, BnClicked),
                button ? controlWindow(*window, *button) : 0);
        return KeyFate::Command;
    }
    window->keys.push_back(KeyRecord{controlId, message, key});
    return KeyFate::Control;
}

bool HeadlessSystem::fireTimer(Dialog& dialog, uintptr_t timerId) {
    Window* window = find(dialog);
    if (!window || window->timers.count(timerId) == 0) return false;
    deliver(window->number, WmTimer, timerId, 0);
    return true;
}

bool HeadlessSystem::chooseSystemMenuItem(Dialog& dialog, uint32_t commandId) {
    Window* window = find(dialog);
    if (!window) return false;
    const bool appended =
        std::any_of(window->systemMenu.begin(), window->systemMenu.end(),
                    [commandId](const auto& item) { return item.first == commandId; });
    const bool builtIn = commandId == ScClose && (window->source->style & WsSysMenu) != 0;
    if (commandId == 0 || !(appended || builtIn)) return false;
    deliver(window->number, WmSysCommand, commandId, 0);
    return true;
}

Reply HeadlessSystem::sendPowerBroadcast(Dialog& dialog, uint32_t event) {
    return send(dialog, WmPowerBroadcast, event, 0);
}

Reply HeadlessSystem::sendDeviceChange(Dialog& dialog, uint32_t event, uint32_t deviceType) {
    DeviceBroadcastHeader header{sizeof(DeviceBroadcastHeader), deviceType, 0};
    return send(dialog, WmDeviceChange, event, reinterpret_cast<intptr_t>(&header));
}

Reply HeadlessSystem::send(Dialog& dialog, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    const Window* window = find(dialog);
    if (!window) return {};
    return deliver(window->number, message, wParam, lParam);
}

CtlColorOutcome HeadlessSystem::ctlColor(Dialog& dialog, int controlId, uint32_t message) {
    CtlColorOutcome outcome;
    Window* window = find(dialog);
    const Control* target = control(window, controlId, "ctlColor");
    if (!target) return outcome;
    const DeviceContext dc = nextContext_++;
    outcome.reply = deliver(window->number, message, dc, controlWindow(*window, *target));
    const auto colors = colors_.find(dc);
    if (colors != colors_.end()) {
        outcome.colorsSet = true;
        outcome.textColor = colors->second.first;
        outcome.backColor = colors->second.second;
        colors_.erase(colors);
    }
    outcome.whiteBrush = outcome.reply.handled && outcome.reply.result == kWhiteBrush;
    return outcome;
}

void HeadlessSystem::setMinimized(Dialog& dialog, bool minimized) {
    if (Window* window = find(dialog)) window->minimized = minimized;
}

void HeadlessSystem::postClick(Dialog& dialog, int controlId) {
    const Window* window = find(dialog);
    if (!window) return fault("postClick: no window");
    const uintptr_t number = window->number;
    post(number, [this, number, controlId] { click(*byNumber(number)->dialog, controlId); });
}

void HeadlessSystem::postKey(Dialog& dialog, uint32_t key, int controlId) {
    const Window* window = find(dialog);
    if (!window) return fault("postKey: no window");
    const uintptr_t number = window->number;
    post(number, [this, number, key, controlId] {
        pressKey(*byNumber(number)->dialog, key, controlId);
    });
}

void HeadlessSystem::postTimer(Dialog& dialog, uintptr_t timerId) {
    const Window* window = find(dialog);
    if (!window) return fault("postTimer: no window");
    const uintptr_t number = window->number;
    post(number, [this, number, timerId] { fireTimer(*byNumber(number)->dialog, timerId); });
}

void HeadlessSystem::postPowerBroadcast(Dialog& dialog, uint32_t event) {
    const Window* window = find(dialog);
    if (!window) return fault("postPowerBroadcast: no window");
    const uintptr_t number = window->number;
    post(number, [this, number, event] { sendPowerBroadcast(*byNumber(number)->dialog, event); });
}

void HeadlessSystem::postDeviceChange(Dialog& dialog, uint32_t event, uint32_t deviceType) {
    const Window* window = find(dialog);
    if (!window) return fault("postDeviceChange: no window");
    const uintptr_t number = window->number;
    post(number, [this, number, event, deviceType] {
        sendDeviceChange(*byNumber(number)->dialog, event, deviceType);
    });
}

void HeadlessSystem::postAction(std::function<void()> action) { post(0, std::move(action)); }

// ---- Controls -----------------------------------------------------------------------------------

HeadlessSystem::Control* HeadlessSystem::control(Window* window, int controlId, const char* what) {
    if (!window) {
        fault(std::string(what) + ": no window");
        return nullptr;
    }
    for (Control& c : window->controls) {
        if (c.id() == controlId) return &c;
    }
    fault(std::string(what) + ": dialog " + idText(window->source->id) + " has no control " +
          idText(controlId));
    return nullptr;
}

HeadlessSystem::Control* HeadlessSystem::combo(WindowHandle window, int controlId,
                                               const char* what) {
    Control* c = control(find(window), controlId, what);
    if (c && c->kind() != res::ControlKind::ComboBox) {
        fault(std::string(what) + ": control " + idText(controlId) + " is no combo box");
        return nullptr;
    }
    return c;
}

intptr_t HeadlessSystem::controlWindow(const Window& window, const Control& control) const {
    // Unique per control, and the control is found again from it: window number and index.
    const auto index = static_cast<uintptr_t>(&control - window.controls.data());
    return static_cast<intptr_t>((window.number << 16) | (index + 1));
}

int HeadlessSystem::controlIdOf(WindowHandle handle, intptr_t value) {
    const Window* window = find(handle);
    const auto bits = static_cast<uintptr_t>(value);
    if (!window || (bits >> 16) != window->number) return 0;
    const uintptr_t index = (bits & 0xFFFF) - 1;
    return index < window->controls.size() ? window->controls[index].id() : 0;
}

void HeadlessSystem::setCaption(WindowHandle handle, const std::u16string& text) {
    if (Window* window = find(handle)) window->caption = text;
}

std::u16string HeadlessSystem::caption(WindowHandle handle) {
    const Window* window = find(handle);
    return window ? window->caption : std::u16string();
}

void HeadlessSystem::setControlText(WindowHandle handle, int controlId, const std::u16string& text) {
    Control* c = control(find(handle), controlId, "setControlText");
    if (!c) return;
    if (c->kind() == res::ControlKind::ComboBox) {
        fault("setControlText: combo box " + idText(controlId) + " shows its selection");
        return;
    }
    c->text = text;
}

std::u16string HeadlessSystem::controlText(WindowHandle handle, int controlId) {
    const Control* c = control(find(handle), controlId, "controlText");
    if (!c) return {};
    if (c->kind() == res::ControlKind::ComboBox) {
        return c->selection >= 0 ? c->items[static_cast<size_t>(c->selection)] : std::u16string();
    }
    return c->text;
}

void HeadlessSystem::enableControl(WindowHandle handle, int controlId, bool enable) {
    if (Control* c = control(find(handle), controlId, "enableControl")) c->enabled = enable;
}

bool HeadlessSystem::controlEnabled(WindowHandle handle, int controlId) {
    const Control* c = control(find(handle), controlId, "controlEnabled");
    return c && c->enabled;
}

void HeadlessSystem::showControl(WindowHandle handle, int controlId, bool show) {
    if (Control* c = control(find(handle), controlId, "showControl")) c->visible = show;
}

bool HeadlessSystem::controlVisible(WindowHandle handle, int controlId) {
    const Control* c = control(find(handle), controlId, "controlVisible");
    return c && c->visible;
}

void HeadlessSystem::comboReset(WindowHandle handle, int controlId) {
    if (Control* c = combo(handle, controlId, "comboReset")) {
        c->items.clear();
        c->selection = -1;
    }
}

int HeadlessSystem::comboAdd(WindowHandle handle, int controlId, const std::u16string& text) {
    Control* c = combo(handle, controlId, "comboAdd");
    if (!c) return -1;
    size_t at = c->items.size();
    if (c->source->style & CbsSort) {
        // After the entries that sort before it or equal it.
        at = 0;
        while (at < c->items.size() && compareNoCase(c->items[at], text) <= 0) ++at;
    }
    c->items.insert(c->items.begin() + static_cast<std::ptrdiff_t>(at), text);
    // The selected entry stays selected when another goes in before it.
    if (c->selection >= static_cast<int>(at)) ++c->selection;
    return static_cast<int>(at);
}

int HeadlessSystem::comboCount(WindowHandle handle, int controlId) {
    const Control* c = combo(handle, controlId, "comboCount");
    return c ? static_cast<int>(c->items.size()) : -1;
}

int HeadlessSystem::comboSelection(WindowHandle handle, int controlId) {
    const Control* c = combo(handle, controlId, "comboSelection");
    return c ? c->selection : -1;
}

int HeadlessSystem::comboSelect(WindowHandle handle, int controlId, int index) {
    Control* c = combo(handle, controlId, "comboSelect");
    if (!c) return -1;
    const bool inRange = index >= 0 && static_cast<size_t>(index) < c->items.size();
    c->selection = inRange ? index : -1;
    return c->selection;
}

std::u16string HeadlessSystem::comboItemText(WindowHandle handle, int controlId, int index) {
    const Control* c = combo(handle, controlId, "comboItemText");
    if (!c || index < 0 || static_cast<size_t>(index) >= c->items.size()) return {};
    return c->items[static_cast<size_t>(index)];
}

int HeadlessSystem::comboFindExact(WindowHandle handle, int controlId, const std::u16string& text) {
    const Control* c = combo(handle, controlId, "comboFindExact");
    if (!c) return -1;
    for (size_t i = 0; i < c->items.size(); ++i) {
        if (compareNoCase(c->items[i], text) == 0) return static_cast<int>(i);
    }
    return -1;
}

int HeadlessSystem::comboSelectString(WindowHandle handle, int controlId,
                                      const std::u16string& text) {
    Control* c = combo(handle, controlId, "comboSelectString");
    if (!c) return -1;
    for (size_t i = 0; i < c->items.size(); ++i) {
        if (startsWithNoCase(c->items[i], text)) {
            c->selection = static_cast<int>(i);
            return c->selection;
        }
    }
    return -1;  // the selection stays as it was
}

bool HeadlessSystem::setControlImage(WindowHandle handle, int controlId, int bitmapId) {
    Control* c = control(find(handle), controlId, "setControlImage");
    if (!c) return false;
    if (c->kind() != res::ControlKind::Bitmap) {
        fault("setControlImage: control " + idText(controlId) + " is no bitmap static");
        return false;
    }
    if (missingResources.count(bitmapId)) return false;
    c->imageId = bitmapId;
    return true;
}

bool HeadlessSystem::animationOpen(WindowHandle handle, int controlId, int resourceId) {
    Control* c = control(find(handle), controlId, "animationOpen");
    if (!c) return false;
    if (c->kind() != res::ControlKind::Animation) {
        fault("animationOpen: control " + idText(controlId) + " is no animation");
        return false;
    }
    c->animation = AnimationState{};
    if (missingResources.count(resourceId)) return false;
    c->animation.resourceId = resourceId;
    return true;
}

bool HeadlessSystem::animationPlay(WindowHandle handle, int controlId, int repeat, uint32_t from,
                                   uint32_t to) {
    Control* c = control(find(handle), controlId, "animationPlay");
    if (!c || c->kind() != res::ControlKind::Animation || c->animation.resourceId == 0) {
        return false;
    }
    c->animation.playing = true;
    c->animation.repeat = repeat;
    c->animation.from = from;
    c->animation.to = to;
    return true;
}

bool HeadlessSystem::animationStop(WindowHandle handle, int controlId) {
    Control* c = control(find(handle), controlId, "animationStop");
    if (!c || c->kind() != res::ControlKind::Animation) return false;
    c->animation.playing = false;
    return true;
}

IconHandle HeadlessSystem::loadIcon(int resourceId) {
    if (resourceId <= 0 || missingResources.count(resourceId)) return 0;
    const IconHandle icon = kIconBase + static_cast<IconHandle>(resourceId);
    icons_[icon] = resourceId;
    return icon;
}

void HeadlessSystem::setWindowIcon(WindowHandle handle, IconHandle icon) {
    if (Window* window = find(handle)) window->icon = icon;
}

bool HeadlessSystem::appendSystemMenuItem(WindowHandle handle, uint32_t commandId,
                                          const std::u16string& text) {
    Window* window = find(handle);
    if (!window || (window->source->style & WsSysMenu) == 0) return false;
    window->systemMenu.emplace_back(0, std::u16string());  // the separator
    window->systemMenu.emplace_back(commandId, text);
    return true;
}

// ---- Timers, boxes, cursor ----------------------------------------------------------------------

uintptr_t HeadlessSystem::setTimer(WindowHandle handle, uintptr_t timerId, uint32_t milliseconds) {
    Window* window = find(handle);
    if (!window) return 0;
    window->timers[timerId] = milliseconds;
    return timerId;
}

bool HeadlessSystem::killTimer(WindowHandle handle, uintptr_t timerId) {
    Window* window = find(handle);
    return window && window->timers.erase(timerId) > 0;
}

int HeadlessSystem::messageBox(WindowHandle owner, const std::u16string& text,
                               const std::u16string& caption, uint32_t style) {
    MessageBoxRecord record;
    const Window* window = find(owner);
    record.ownerTemplate = window ? window->source->id : 0;
    record.text = text;
    record.caption = caption;
    record.style = style;
    record.answer = IdOk;
    if (!answers_.empty()) {
        record.answer = answers_.front();
        answers_.pop_front();
    }
    boxes_.push_back(record);
    return record.answer;
}

void HeadlessSystem::beginWaitCursor() {
    ++waitDepth_;
    ++waitBegins_;
}

void HeadlessSystem::endWaitCursor() {
    if (waitDepth_ == 0) return fault("endWaitCursor without beginWaitCursor");
    --waitDepth_;
}

// ---- Painting -----------------------------------------------------------------------------------

void HeadlessSystem::repaint(WindowHandle handle) {
    if (Window* window = find(handle)) ++window->repaints;
}

void HeadlessSystem::updateWindow(WindowHandle handle) {
    if (Window* window = find(handle)) ++window->updates;
}

void HeadlessSystem::redrawControl(WindowHandle handle, int controlId) {
    if (Control* c = control(find(handle), controlId, "redrawControl")) ++c->redraws;
}

Rect HeadlessSystem::mapDialogRect(WindowHandle /*handle*/, const Rect& units) {
    return Rect{mulDiv(units.left, baseUnitX, 4), mulDiv(units.top, baseUnitY, 8),
                mulDiv(units.right, baseUnitX, 4), mulDiv(units.bottom, baseUnitY, 8)};
}

Rect HeadlessSystem::clientRect(WindowHandle handle) {
    const Window* window = find(handle);
    if (!window) return {};
    return mapDialogRect(handle, Rect{0, 0, window->source->cx, window->source->cy});
}

bool HeadlessSystem::isMinimized(WindowHandle handle) {
    const Window* window = find(handle);
    return window && window->minimized;
}

int HeadlessSystem::systemMetric(int index) {
    return index == SmCxIcon || index == SmCyIcon ? kIconPixels : 0;
}

DeviceContext HeadlessSystem::beginPaint(WindowHandle handle) {
    const Window* window = find(handle);
    if (!window) return 0;
    const DeviceContext dc = nextContext_++;
    paintContexts_[dc] = window->number;
    return dc;
}

void HeadlessSystem::endPaint(WindowHandle /*handle*/, DeviceContext dc) {
    if (paintContexts_.erase(dc) == 0) fault("endPaint without beginPaint");
}

void HeadlessSystem::drawRoundRect(DeviceContext dc, const Rect& pixels, uint32_t penColor,
                                   int ellipseWidth, int ellipseHeight) {
    const auto painted = paintContexts_.find(dc);
    Window* window = painted == paintContexts_.end() ? nullptr : byNumber(painted->second);
    if (!window) return fault("drawRoundRect outside beginPaint");
    PaintRecord record;
    record.kind = PaintRecord::RoundRect;
    record.rect = pixels;
    record.penColor = penColor;
    record.ellipseWidth = ellipseWidth;
    record.ellipseHeight = ellipseHeight;
    window->paints.push_back(record);
}

void HeadlessSystem::drawIcon(DeviceContext dc, int x, int y, IconHandle icon) {
    const auto painted = paintContexts_.find(dc);
    Window* window = painted == paintContexts_.end() ? nullptr : byNumber(painted->second);
    if (!window) return fault("drawIcon outside beginPaint");
    PaintRecord record;
    record.kind = PaintRecord::Icon;
    record.rect = Rect{x, y, x + kIconPixels, y + kIconPixels};
    record.icon = icon;
    window->paints.push_back(record);
}

void HeadlessSystem::setTextColors(DeviceContext dc, uint32_t textColor, uint32_t backColor) {
    colors_[dc] = {textColor, backColor};
}

intptr_t HeadlessSystem::whiteBrush() { return kWhiteBrush; }

// ---- What happened ------------------------------------------------------------------------------

std::vector<KeyRecord> HeadlessSystem::keysReceived(const Dialog& dialog) const {
    const Window* window = find(dialog);
    return window ? window->keys : std::vector<KeyRecord>();
}

std::map<uintptr_t, uint32_t> HeadlessSystem::timers(const Dialog& dialog) const {
    const Window* window = find(dialog);
    return window ? window->timers : std::map<uintptr_t, uint32_t>();
}

int HeadlessSystem::controlImage(const Dialog& dialog, int controlId) const {
    const Window* window = find(dialog);
    if (!window) return 0;
    for (const Control& c : window->controls) {
        if (c.id() == controlId) return c.imageId;
    }
    return 0;
}

AnimationState HeadlessSystem::animation(const Dialog& dialog, int controlId) const {
    const Window* window = find(dialog);
    if (!window) return {};
    for (const Control& c : window->controls) {
        if (c.id() == controlId) return c.animation;
    }
    return {};
}

std::vector<std::pair<uint32_t, std::u16string>> HeadlessSystem::systemMenu(
    const Dialog& dialog) const {
    const Window* window = find(dialog);
    return window ? window->systemMenu : std::vector<std::pair<uint32_t, std::u16string>>();
}

IconHandle HeadlessSystem::windowIcon(const Dialog& dialog) const {
    const Window* window = find(dialog);
    return window ? window->icon : 0;
}

int HeadlessSystem::iconResource(IconHandle icon) const {
    const auto it = icons_.find(icon);
    return it == icons_.end() ? 0 : it->second;
}

int HeadlessSystem::repaintCount(const Dialog& dialog) const {
    const Window* window = find(dialog);
    return window ? window->repaints : 0;
}

int HeadlessSystem::updateCount(const Dialog& dialog) const {
    const Window* window = find(dialog);
    return window ? window->updates : 0;
}

int HeadlessSystem::redrawCount(const Dialog& dialog, int controlId) const {
    const Window* window = find(dialog);
    if (!window) return 0;
    for (const Control& c : window->controls) {
        if (c.id() == controlId) return c.redraws;
    }
    return 0;
}

std::vector<PaintRecord> HeadlessSystem::paints(const Dialog& dialog) const {
    const Window* window = find(dialog);
    return window ? window->paints : std::vector<PaintRecord>();
}

} // namespace brc::ui
