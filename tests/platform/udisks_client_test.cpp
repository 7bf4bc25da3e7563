// What a failed udisks2 call tells the user hangs on the D-Bus error's name: a refusal by
// polkit, a system without udisks2, or a failure of the call itself. And with no system bus at
// all every call says udisks2 is not there, without waiting.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>

#include "platform/posix/udisks_client.h"

namespace brc {
namespace {

struct ErrorRow {
    const char* name;
    UdisksFailure failure;
};

TEST(UdisksErrors, NamesReadAsRefusalsMissingServiceOrFailures) {
    const ErrorRow rows[] = {
        {"org.freedesktop.UDisks2.Error.NotAuthorized", UdisksFailure::Denied},
        {"org.freedesktop.UDisks2.Error.NotAuthorizedCanObtain", UdisksFailure::Denied},
        {"org.freedesktop.UDisks2.Error.NotAuthorizedDismissed", UdisksFailure::Denied},
        {"org.freedesktop.DBus.Error.AccessDenied", UdisksFailure::Denied},
        {"org.freedesktop.DBus.Error.InteractiveAuthorizationRequired", UdisksFailure::Denied},
        {"org.freedesktop.DBus.Error.ServiceUnknown", UdisksFailure::Unavailable},
        {"org.freedesktop.DBus.Error.NameHasNoOwner", UdisksFailure::Unavailable},
        {"org.freedesktop.DBus.Error.NoServer", UdisksFailure::Unavailable},
        {"org.freedesktop.DBus.Error.Disconnected", UdisksFailure::Unavailable},
        {"org.freedesktop.DBus.Error.Spawn.ChildExited", UdisksFailure::Unavailable},
        {"org.freedesktop.systemd1.NoSuchUnit", UdisksFailure::Unavailable},
        {"org.freedesktop.systemd1.UnitMasked", UdisksFailure::Unavailable},
        // The device is busy, gone, or the call wrong: udisks2 is there and allowed it.
        {"org.freedesktop.UDisks2.Error.Failed", UdisksFailure::Failed},
        {"org.freedesktop.UDisks2.Error.DeviceBusy", UdisksFailure::Failed},
        {"org.freedesktop.UDisks2.Error.NotMounted", UdisksFailure::Failed},
        {"org.freedesktop.DBus.Error.UnknownMethod", UdisksFailure::Failed},
        {"org.freedesktop.DBus.Error.UnknownObject", UdisksFailure::Failed},
        {"org.freedesktop.DBus.Error.NoReply", UdisksFailure::Failed},
        // Near misses of the names above.
        {"org.freedesktop.UDisks2.Error.NotAuthorize", UdisksFailure::Failed},
        {"org.freedesktop.DBus.Error.ServiceUnknownX", UdisksFailure::Failed},
        {"org.freedesktop.UDisks2.Error.AccessDenied", UdisksFailure::Failed},
        {"", UdisksFailure::Failed},
    };
    for (const ErrorRow& row : rows)
        EXPECT_EQ(classifyUdisksError(row.name), row.failure) << row.name;
}

// The variable for the length of one test.
class ScopedVariable {
public:
    ScopedVariable(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        ::setenv(name, value, 1);
    }
    ~ScopedVariable() {
        if (old_) ::setenv(name_, old_->c_str(), 1);
        else ::unsetenv(name_);
    }
    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;

private:
    const char* name_;
    std::optional<std::string> old_;
};

TEST(UdisksWithoutBus, EveryCallSaysUdisks2IsNotRunning) {
    const ScopedVariable bus("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/brindlecard-test-bus");
    const auto start = std::chrono::steady_clock::now();
    const UdisksAnswer answers[] = {
        udisksOpenDevice("/dev/loop0", {false, true}),
        udisksOpenDevice("/dev/loop0", {true, false}),
        udisksUnmount("/dev/loop0p1", {}),
        udisksRescan("/dev/loop0", {}),
    };
    for (const UdisksAnswer& a : answers) {
        EXPECT_TRUE(a.unavailable) << a.error;
        EXPECT_FALSE(a.denied);
        EXPECT_EQ(a.fd, -1);
        EXPECT_FALSE(a.done());
        EXPECT_NE(a.error.find("udisks2"), std::string::npos) << a.error;
    }
    EXPECT_FALSE(udisksAnswers());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

} // namespace
} // namespace brc
