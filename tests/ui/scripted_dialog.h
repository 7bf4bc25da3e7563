// A dialog whose handlers the test sets, recording what reached it, on the in-memory backend.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tests/ui/test_templates.h"
#include "ui/dialog.h"
#include "tests/support/headless_system.h"

namespace brc::test {

struct Received {
    uint32_t message = 0;
    uintptr_t wParam = 0;
    intptr_t lParam = 0;
    uint32_t deviceType = 0;  // WM_DEVICECHANGE: the broadcast header's, read while it lives
    bool operator==(const Received&) const = default;
};

using Command = std::pair<int, uint32_t>;

class ScriptedDialog : public ui::Dialog {
public:
    using Dialog::Dialog;

    std::function<void()> onInit;
    // Returns whether the command was handled; unset leaves every command to the defaults.
    std::function<bool(int controlId, uint32_t notification)> onCommand;
    // PreTranslateMessage's answer; unset consumes nothing.
    std::function<bool(const ui::Message&)> consume;
    // WindowProc before the default routing; a handled reply ends there.
    std::function<ui::Reply(uint32_t, uintptr_t, intptr_t)> onMessage;

    std::vector<Command> commands;
    std::vector<ui::Message> offered;
    std::vector<Received> received;  // every message but WM_INITDIALOG and WM_COMMAND
    int inits = 0;

protected:
    bool OnInitDialog() override {
        ++inits;
        if (onInit) onInit();
        return true;
    }
    bool OnCommand(int controlId, uint32_t notification) override {
        commands.emplace_back(controlId, notification);
        return onCommand && onCommand(controlId, notification);
    }
    bool PreTranslateMessage(const ui::Message& message) override {
        offered.push_back(message);
        return consume && consume(message);
    }
    ui::Reply WindowProc(uint32_t message, uintptr_t wParam, intptr_t lParam) override {
        if (message != ui::WmInitDialog && message != ui::WmCommand) {
            Received r{message, wParam, lParam, 0};
            if (message == ui::WmDeviceChange && lParam != 0) {
                r.deviceType = reinterpret_cast<const ui::DeviceBroadcastHeader*>(lParam)->deviceType;
                r.lParam = 0;
            }
            received.push_back(r);
        }
        if (onMessage) {
            const ui::Reply reply = onMessage(message, wParam, lParam);
            if (reply.handled) return reply;
        }
        return Dialog::WindowProc(message, wParam, lParam);
    }
};

// The backend on the suite's templates; every test ends by insisting on no misuse.
class UiTest : public ::testing::Test {
protected:
    ui::HeadlessSystem system{&findTestDialog};

    void TearDown() override {
        for (const std::string& fault : system.faults()) ADD_FAILURE() << fault;
    }
};

} // namespace brc::test
