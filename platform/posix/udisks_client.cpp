#include "platform/posix/udisks_client.h"

#if defined(BRC_HAVE_SDBUS)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <systemd/sd-bus.h>

#include <cerrno>
#include <cstring>
#endif

namespace brc {

UdisksFailure classifyUdisksError(std::string_view name) {
    const auto startsWith = [&](std::string_view prefix) {
        return name.substr(0, prefix.size()) == prefix;
    };
    // NotAuthorized, NotAuthorizedCanObtain (a password would do, but nobody may be asked),
    // NotAuthorizedDismissed (the user closed polkit's question); the bus's own policy and a
    // service that wanted to ask are refusals just the same.
    if (startsWith("org.freedesktop.UDisks2.Error.NotAuthorized") ||
        name == "org.freedesktop.DBus.Error.AccessDenied" ||
        name == "org.freedesktop.DBus.Error.InteractiveAuthorizationRequired")
        return UdisksFailure::Denied;
    // Nobody owns the name and the bus cannot start it: not installed, or its start failed
    // (directly or through systemd).
    if (name == "org.freedesktop.DBus.Error.ServiceUnknown" ||
        name == "org.freedesktop.DBus.Error.NameHasNoOwner" ||
        name == "org.freedesktop.DBus.Error.NoServer" ||
        name == "org.freedesktop.DBus.Error.Disconnected" ||
        startsWith("org.freedesktop.DBus.Error.Spawn.") || startsWith("org.freedesktop.systemd1."))
        return UdisksFailure::Unavailable;
    return UdisksFailure::Failed;
}

#if defined(BRC_HAVE_SDBUS)
namespace {

constexpr const char* kService = "org.freedesktop.UDisks2";
constexpr const char* kManager = "/org/freedesktop/UDisks2/Manager";
// polkit's question may wait for a person as long as its agent lets it.
constexpr uint64_t kInteractiveMicroseconds = 10ull * 60 * 1000 * 1000;

struct BusError {
    sd_bus_error e = SD_BUS_ERROR_NULL;
    BusError() = default;
    BusError(const BusError&) = delete;
    BusError& operator=(const BusError&) = delete;
    ~BusError() { sd_bus_error_free(&e); }
};

struct Message {
    sd_bus_message* m = nullptr;
    Message() = default;
    Message(const Message&) = delete;
    Message& operator=(const Message&) = delete;
    ~Message() { sd_bus_message_unref(m); }
};

UdisksAnswer unavailable(const std::string& why) {
    UdisksAnswer a;
    a.unavailable = true;
    a.error = why;
    return a;
}

// What a call that came back with `r` (and `error`, where the bus or the service said one) means.
UdisksAnswer answerOf(int r, const sd_bus_error& error) {
    UdisksAnswer a;
    if (!sd_bus_error_is_set(&error)) {
        // No error from the other side: the connection itself failed.
        return unavailable(std::string("udisks2 is not running (the system bus does not answer: ") +
                           std::strerror(-r) + ")");
    }
    switch (classifyUdisksError(error.name)) {
    case UdisksFailure::Unavailable: return unavailable("udisks2 is not running");
    case UdisksFailure::Denied:
        a.denied = true;
        a.error =
            std::strcmp(error.name, "org.freedesktop.UDisks2.Error.NotAuthorizedCanObtain") == 0
                ? "not allowed by polkit without authentication"
            : std::strcmp(error.name, "org.freedesktop.UDisks2.Error.NotAuthorizedDismissed") == 0
                ? "not allowed by polkit: its question was dismissed"
                : "not allowed by polkit";
        return a;
    case UdisksFailure::Failed: break;
    }
    a.error = error.message && *error.message ? error.message : error.name;
    return a;
}

// The system bus, closed on every path.
class Connection {
public:
    explicit Connection(const UdisksRequest& request) : request_(request) {
        const int r = sd_bus_open_system(&bus_);
        if (r < 0) {
            bus_ = nullptr;
            failure_ = unavailable(std::string("udisks2 is not running (no system bus: ") +
                                   std::strerror(-r) + ")");
            return;
        }
        sd_bus_set_allow_interactive_authorization(bus_, request.interactive);
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection() { sd_bus_flush_close_unref(bus_); }

    // Why the bus could not be had; done() when it is there.
    const UdisksAnswer& failure() const { return failure_; }

    // `member` of `interface` on the object at `path`, with the options every udisks2 call
    // takes (and `flags` for OpenDevice) after `text`, when it is not empty.
    UdisksAnswer call(const char* path, const char* interface, const char* member, const char* text,
                      int flags, Message& reply) {
        Message m;
        int r = sd_bus_message_new_method_call(bus_, &m.m, kService, path, interface, member);
        if (r >= 0 && text) r = sd_bus_message_append(m.m, "s", text);
        if (r >= 0) r = sd_bus_message_open_container(m.m, 'a', "{sv}");
        if (r >= 0)
            r = sd_bus_message_append(m.m, "{sv}", "auth.no_user_interaction", "b",
                                      !request_.interactive);
        if (r >= 0 && flags) r = sd_bus_message_append(m.m, "{sv}", "flags", "i", flags);
        if (r >= 0) r = sd_bus_message_close_container(m.m);
        if (r < 0) return failed(r);
        BusError error;
        r = sd_bus_call(bus_, m.m, request_.interactive ? kInteractiveMicroseconds : 0, &error.e,
                        &reply.m);
        return r < 0 ? answerOf(r, error.e) : UdisksAnswer{};
    }

    // The object udisks2 keeps for the device at `devicePath`, into `object`.
    UdisksAnswer resolve(const std::string& devicePath, std::string& object) {
        Message m, reply;
        int r = sd_bus_message_new_method_call(bus_, &m.m, kService, kManager,
                                               "org.freedesktop.UDisks2.Manager", "ResolveDevice");
        if (r >= 0)
            r = sd_bus_message_append(m.m, "a{sv}a{sv}", 1, "path", "s", devicePath.c_str(), 0);
        if (r < 0) return failed(r);
        BusError error;
        r = sd_bus_call(bus_, m.m, 0, &error.e, &reply.m);
        if (r < 0) return answerOf(r, error.e);
        const char* found = nullptr;
        if (sd_bus_message_enter_container(reply.m, 'a', "o") < 0 ||
            sd_bus_message_read(reply.m, "o", &found) <= 0 || !found) {
            UdisksAnswer a;
            a.error = "udisks2 knows no device " + devicePath;
            return a;
        }
        object = found;
        return {};
    }

    // Block.HintSystem of udisks2's object `object`, into `system`.
    bool hintSystem(const std::string& object, bool& system) {
        BusError error;
        int hint = 0;
        if (sd_bus_get_property_trivial(bus_, kService, object.c_str(),
                                        "org.freedesktop.UDisks2.Block", "HintSystem", &error.e,
                                        'b', &hint) < 0)
            return false;
        system = hint != 0;
        return true;
    }

    // polkit's CheckAuthorization of `action`, without interaction, for this connection's own
    // name on the bus: the subject udisks2 asks about when this process calls it.
    UdisksPermission checkAuthorization(const char* action) {
        const char* self = nullptr;
        if (sd_bus_get_unique_name(bus_, &self) < 0 || !self) return UdisksPermission::Refused;
        Message m, reply;
        int r = sd_bus_message_new_method_call(
            bus_, &m.m, "org.freedesktop.PolicyKit1", "/org/freedesktop/PolicyKit1/Authority",
            "org.freedesktop.PolicyKit1.Authority", "CheckAuthorization");
        if (r >= 0)
            r = sd_bus_message_append(m.m, "(sa{sv})", "system-bus-name", 1, "name", "s", self);
        if (r >= 0) r = sd_bus_message_append(m.m, "sa{ss}us", action, 0, 0u, "");
        BusError error;
        if (r >= 0) r = sd_bus_call(bus_, m.m, 0, &error.e, &reply.m);
        int authorized = 0, challenge = 0;
        if (r >= 0) r = sd_bus_message_enter_container(reply.m, 'r', "bba{ss}");
        if (r >= 0) r = sd_bus_message_read(reply.m, "bb", &authorized, &challenge);
        if (r < 0) return UdisksPermission::Refused;
        return authorized  ? UdisksPermission::Allowed
               : challenge ? UdisksPermission::WithPassword
                           : UdisksPermission::Refused;
    }

private:
    static UdisksAnswer failed(int r) {
        UdisksAnswer a;
        a.error = std::string("the call to udisks2 could not be made: ") + std::strerror(-r);
        return a;
    }

    sd_bus* bus_ = nullptr;
    UdisksRequest request_;
    UdisksAnswer failure_;
};

// The descriptor in OpenDevice's reply, copied out of the message (which closes its own) and
// checked to be open on the device at `devicePath`.
UdisksAnswer takeDescriptor(sd_bus_message* reply, const std::string& devicePath) {
    UdisksAnswer a;
    int received = -1;
    if (sd_bus_message_read(reply, "h", &received) <= 0 || received < 0) {
        a.error = "udisks2 answered without a descriptor";
        return a;
    }
    a.fd = ::fcntl(received, F_DUPFD_CLOEXEC, 10);
    struct stat opened {
    }, named{};
    if (a.fd < 0 || ::fstat(a.fd, &opened) != 0 || ::stat(devicePath.c_str(), &named) != 0 ||
        !S_ISBLK(opened.st_mode) || opened.st_rdev != named.st_rdev) {
        if (a.fd >= 0) ::close(a.fd);
        a.fd = -1;
        a.error = "udisks2 handed a descriptor that is not open on " + devicePath;
    }
    return a;
}

// `member` of `interface` on udisks2's object for the device at `devicePath` (see
// Connection::call for `text` and `flags`); `read` takes what the reply holds while the bus is
// still open.
template <class Read>
UdisksAnswer callOnDevice(const std::string& devicePath, const UdisksRequest& request,
                          const char* interface, const char* member, const char* text, int flags,
                          Read read) {
    Connection bus(request);
    if (!bus.failure().done()) return bus.failure();
    std::string object;
    if (UdisksAnswer a = bus.resolve(devicePath, object); !a.done()) return a;
    Message reply;
    UdisksAnswer a = bus.call(object.c_str(), interface, member, text, flags, reply);
    return a.done() ? read(reply.m) : a;
}

UdisksAnswer nothingToRead(sd_bus_message*) { return {}; }

} // namespace

UdisksAnswer udisksOpenDevice(const std::string& devicePath, const UdisksRequest& request) {
    // The device is the caller's alone while it writes: O_EXCL, as the driver library takes it.
    const int flags = O_CLOEXEC | (request.write ? O_EXCL : 0);
    return callOnDevice(devicePath, request, "org.freedesktop.UDisks2.Block", "OpenDevice",
                        request.write ? "rw" : "r", flags,
                        [&](sd_bus_message* reply) { return takeDescriptor(reply, devicePath); });
}

UdisksAnswer udisksUnmount(const std::string& filesystem, const UdisksRequest& request) {
    return callOnDevice(filesystem, request, "org.freedesktop.UDisks2.Filesystem", "Unmount",
                        nullptr, 0, nothingToRead);
}

UdisksAnswer udisksRescan(const std::string& devicePath, const UdisksRequest& request) {
    return callOnDevice(devicePath, request, "org.freedesktop.UDisks2.Block", "Rescan", nullptr, 0,
                        nothingToRead);
}

UdisksPermission udisksMayOpen(const std::string& devicePath) {
    Connection bus(UdisksRequest{});
    if (!bus.failure().done()) return UdisksPermission::Refused;
    std::string object;
    bool system = false;
    if (!bus.resolve(devicePath, object).done() || !bus.hintSystem(object, system))
        return UdisksPermission::Refused;
    return bus.checkAuthorization(system ? "org.freedesktop.udisks2.open-device-system"
                                         : "org.freedesktop.udisks2.open-device");
}

bool udisksAnswers() {
    sd_bus* bus = nullptr;
    if (sd_bus_open_system(&bus) < 0) return false;
    Message m, reply;
    BusError error;
    int r = sd_bus_message_new_method_call(bus, &m.m, kService, kManager,
                                           "org.freedesktop.DBus.Peer", "Ping");
    // A few seconds: the bus may have to start udisks2 first.
    if (r >= 0) r = sd_bus_call(bus, m.m, 5ull * 1000 * 1000, &error.e, &reply.m);
    sd_bus_flush_close_unref(bus);
    return r >= 0;
}

#else

namespace {
UdisksAnswer notBuilt() {
    UdisksAnswer a;
    a.unavailable = true;
    a.error = "this brindlecard was built without udisks2";
    return a;
}
} // namespace

UdisksAnswer udisksOpenDevice(const std::string&, const UdisksRequest&) { return notBuilt(); }
UdisksAnswer udisksUnmount(const std::string&, const UdisksRequest&) { return notBuilt(); }
UdisksAnswer udisksRescan(const std::string&, const UdisksRequest&) { return notBuilt(); }
bool udisksAnswers() { return false; }
UdisksPermission udisksMayOpen(const std::string&) { return UdisksPermission::Refused; }

#endif

} // namespace brc
