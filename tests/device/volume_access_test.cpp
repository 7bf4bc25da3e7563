#include <gtest/gtest.h>

#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/system_os.h"
#include "device/driver_binding.h"
#include "device/volume_access.h"
#include "tests/support/fake_os.h"
#include "tests/support/fake_card.h"

namespace brc {
namespace {

using Calls = std::vector<std::string>;
constexpr uint32_t kDriveE = 5;

// The calls that touch the volume, in order.
Calls volumeCalls(const FakeOs& os) {
    return os.callsStartingWith({"openVolume", "volumeRequest", "closeVolume"});
}

TEST(VolumeAccess, DriveNumberOf) {
    struct Case {
        std::u16string root;
        uint32_t number;
    };
    // clang-format off
    const Case cases[] = {
        {u"a:\\", 1}, {u"A:\\", 1}, {u"E:\\", 5}, {u"e:\\", 5}, {u"z:\\", 26}, {u"Z:\\", 26},
        {u"1:\\", 0}, {u"@:\\", 0}, {u"[:\\", 0}, {u"`:\\", 0}, {u"{:\\", 0}, {u"", 0},
        {u"\u00C4:\\", 0},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(utf16ToUtf8(c.root));
        EXPECT_EQ(driveNumberOf(c.root), c.number);
    }
}

// Under Vista and later the volume is never touched and every operation succeeds, even when the
// volume could not be opened or every request would be refused.
TEST(VolumeAccess, VistaAndLaterLeaveTheVolumeAlone) {
    FakeOs os;
    os.unopenable.insert(u'E');
    for (auto r : {VolumeRequest::Lock, VolumeRequest::Unlock, VolumeRequest::Dismount})
        os.requestDefault[r] = false;
    SystemState sys(os);
    sys.osKind = OsKindVistaTo8;

    EXPECT_EQ(openVolume(sys, kDriveE), VolumeResult::Done);
    EXPECT_EQ(lockVolume(sys, kDriveE), VolumeResult::Done);
    EXPECT_EQ(dismountVolume(sys, kDriveE), VolumeResult::Done);
    EXPECT_EQ(unlockVolume(sys, kDriveE), VolumeResult::Done);
    closeVolume(sys);
    EXPECT_EQ(releaseVolume(sys, kDriveE), VolumeResult::Done);
    EXPECT_EQ(sys.volumeHandle, nullptr);
    EXPECT_EQ(os.volumesOpened, 0u);
    EXPECT_TRUE(os.calls.empty()) << os.calls.front();
}

enum class Op { Open, Lock, Unlock, Dismount };

struct OpCase {
    const char* name;
    Op op;
    bool handleOpen;   // a handle is already open when the operation starts
    bool openable;
    bool granted;      // the request's answer
    VolumeResult result;
    Calls calls;
    bool handleAfter;  // a handle is open afterwards
};

TEST(VolumeAccess, OperationsBeforeVista) {
    // clang-format off
    const OpCase cases[] = {
        {"open", Op::Open, false, true, true, VolumeResult::Done, {"openVolume E"}, true},
        {"open fails", Op::Open, false, false, true, VolumeResult::CannotOpen,
         {"openVolume E"}, false},
        {"open when already open", Op::Open, true, false, true, VolumeResult::Done, {}, true},
        {"lock opens first", Op::Lock, false, true, true, VolumeResult::Done,
         {"openVolume E", "volumeRequest Lock"}, true},
        {"lock refused", Op::Lock, false, true, false, VolumeResult::Refused,
         {"openVolume E", "volumeRequest Lock"}, true},
        {"lock cannot open", Op::Lock, false, false, true, VolumeResult::CannotOpen,
         {"openVolume E"}, false},
        {"lock on an open handle", Op::Lock, true, false, true, VolumeResult::Done,
         {"volumeRequest Lock"}, true},
        {"unlock", Op::Unlock, false, true, true, VolumeResult::Done,
         {"openVolume E", "volumeRequest Unlock"}, true},
        {"unlock refused", Op::Unlock, true, true, false, VolumeResult::Refused,
         {"volumeRequest Unlock"}, true},
        {"unlock cannot open", Op::Unlock, false, false, true, VolumeResult::CannotOpen,
         {"openVolume E"}, false},
        {"dismount", Op::Dismount, false, true, true, VolumeResult::Done,
         {"openVolume E", "volumeRequest Dismount"}, true},
        {"dismount refused", Op::Dismount, true, true, false, VolumeResult::Refused,
         {"volumeRequest Dismount"}, true},
        {"dismount cannot open", Op::Dismount, false, false, true, VolumeResult::CannotOpen,
         {"openVolume E"}, false},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeOs os;
        SystemState sys(os);
        sys.osKind = OsKindXp;
        if (c.handleOpen) {
            sys.volumeHandle = os.openVolume(u'E');
            os.calls.clear();
        }
        if (!c.openable) os.unopenable.insert(u'E');
        for (auto r : {VolumeRequest::Lock, VolumeRequest::Unlock, VolumeRequest::Dismount})
            os.requestDefault[r] = c.granted;

        VolumeResult r = VolumeResult::Done;
        switch (c.op) {
        case Op::Open: r = openVolume(sys, kDriveE); break;
        case Op::Lock: r = lockVolume(sys, kDriveE); break;
        case Op::Unlock: r = unlockVolume(sys, kDriveE); break;
        case Op::Dismount: r = dismountVolume(sys, kDriveE); break;
        }
        EXPECT_EQ(r, c.result);
        EXPECT_EQ(os.calls, c.calls);
        EXPECT_EQ(sys.volumeHandle != nullptr, c.handleAfter);
        EXPECT_EQ(os.badHandleUses, 0u);

        closeVolume(sys);
        EXPECT_EQ(sys.volumeHandle, nullptr);
        EXPECT_TRUE(os.allReleased()) << "every opened handle is closed exactly once";
        EXPECT_EQ(os.volumesClosed, os.volumesOpened);
    }
}

struct ReleaseCase {
    const char* name;
    bool enterOpen;               // the take left the volume open (the usual case)
    std::deque<bool> opens;       // answers to the release's own opens, then always `later`
    bool later;
    std::deque<bool> locks;       // answers to the lock requests
    VolumeResult result;
    Calls calls;
};

TEST(VolumeAccess, ReleaseVolumePaths) {
    // clang-format off
    const ReleaseCase cases[] = {
        {"normal",
         true,
         {},
         true,
         {},
         VolumeResult::Done,
         {"volumeRequest Unlock", "closeVolume", "openVolume E", "volumeRequest Lock",
          "volumeRequest Dismount", "volumeRequest Unlock", "closeVolume", "openVolume E",
          "closeVolume"}},
        {"lock refused, reopened and locked again",
         true,
         {},
         true,
         {false, true},
         VolumeResult::Done,
         {"volumeRequest Unlock", "closeVolume", "openVolume E", "volumeRequest Lock",
          "volumeRequest Dismount", "closeVolume", "openVolume E", "volumeRequest Lock",
          "volumeRequest Dismount", "volumeRequest Unlock", "closeVolume", "openVolume E",
          "closeVolume"}},
        {"second lock refused too: its answer is not looked at",
         true,
         {},
         true,
         {false, false},
         VolumeResult::Done,
         {"volumeRequest Unlock", "closeVolume", "openVolume E", "volumeRequest Lock",
          "volumeRequest Dismount", "closeVolume", "openVolume E", "volumeRequest Lock",
          "volumeRequest Dismount", "volumeRequest Unlock", "closeVolume", "openVolume E",
          "closeVolume"}},
        {"lock refused and the volume does not reopen",
         true,
         {true, false},
         false,
         {false},
         VolumeResult::CannotOpen,
         {"volumeRequest Unlock", "closeVolume", "openVolume E", "volumeRequest Lock",
          "volumeRequest Dismount", "closeVolume", "openVolume E", "openVolume E"}},
        {"does not reopen after the lock, but the final test opens",
         true,
         {true, false},
         true,
         {false},
         VolumeResult::Done,
         {"volumeRequest Unlock", "closeVolume", "openVolume E", "volumeRequest Lock",
          "volumeRequest Dismount", "closeVolume", "openVolume E", "openVolume E", "closeVolume"}},
        {"cannot reopen after the unlock",
         true,
         {},
         false,
         {},
         VolumeResult::CannotOpen,
         {"volumeRequest Unlock", "closeVolume", "openVolume E"}},
        {"final test fails",
         true,
         {true},
         false,
         {},
         VolumeResult::CannotOpen,
         {"volumeRequest Unlock", "closeVolume", "openVolume E", "volumeRequest Lock",
          "volumeRequest Dismount", "volumeRequest Unlock", "closeVolume", "openVolume E"}},
        {"entered without a handle",
         false,
         {},
         true,
         {},
         VolumeResult::Done,
         {"openVolume E", "volumeRequest Unlock", "closeVolume", "openVolume E",
          "volumeRequest Lock", "volumeRequest Dismount", "volumeRequest Unlock", "closeVolume",
          "openVolume E", "closeVolume"}},
        {"entered without a handle, volume gone", false,
         {}, false, {}, VolumeResult::CannotOpen, {"openVolume E", "openVolume E"}},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeOs os;
        SystemState sys(os);
        sys.osKind = OsKindXp;
        if (c.enterOpen) {
            sys.volumeHandle = os.openVolume(u'E');
            os.calls.clear();
        }
        os.openAnswers[u'E'] = c.opens;
        if (!c.later) os.unopenable.insert(u'E');
        os.requestAnswers[VolumeRequest::Lock] = c.locks;

        EXPECT_EQ(releaseVolume(sys, kDriveE), c.result);
        EXPECT_EQ(volumeCalls(os), c.calls);
        EXPECT_EQ(sys.volumeHandle, nullptr);
        EXPECT_TRUE(os.allReleased()) << "every opened handle is closed exactly once";
        EXPECT_EQ(os.volumesClosed, os.volumesOpened);
    }
}

TEST(VolumeAccess, IsFloppyDrive) {
    struct Case {
        const char* name;
        std::optional<std::u16string> target;
        bool result;
    };
    // clang-format off
    const Case cases[] = {
        {"Floppy0", u"\\Device\\Floppy0", true},
        {"lower case floppy1", u"\\device\\floppy1", true},
        {"upper case, exactly the prefix", u"\\DEVICE\\FLOPPY", true},
        {"hard disk volume", u"\\Device\\HarddiskVolume3", false},
        {"removable media", u"\\Device\\Harddisk1\\DP(1)0-0+6", false},
        {"shorter than the prefix", u"\\Device\\Flopp", false},
        {"prefix not at the start", u"\\??\\Device\\Floppy0", false},
        {"empty target", u"", false},
        {"query fails", std::nullopt, false},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeOs os;
        if (c.target) os.devicePaths[u'A'] = *c.target;
        os.devicePaths[u'E'] = u"\\Device\\HarddiskVolume9";
        SystemState sys(os);
        EXPECT_EQ(isFloppyDrive(sys, 1), c.result);
        EXPECT_EQ(os.calls, Calls{"driveDevicePath A"});
    }
}

// ---- probeVolumeLock over the fake card as a private library -------------------------------

struct ProbeCase {
    const char* name;
    bool libraryPresent;
    const char* missing;  // operation left out of the library, or null
    uint32_t sysInit, init;
    OsKind osKind;
    bool openable, lockGranted, unlockGranted;
    bool result;
    Calls tail;  // the calls after loadLibrary, without the look-ups
};

TEST(VolumeAccess, ProbeVolumeLock) {
    const Calls bothInits = {"DDSysInit", "DDInit 5"};
    auto with = [&](Calls more) {
        Calls all = bothInits;
        all.insert(all.end(), more.begin(), more.end());
        return all;
    };
    const std::string lib = driverFileName(1, false);
    // clang-format off
    const ProbeCase cases[] = {
        {"all good", true, nullptr, 0, 0, OsKindXp, true, true, true, true,
         with({"openVolume E", "volumeRequest Lock", "volumeRequest Unlock", "closeVolume",
               "DDFini", "DDSysFini", "freeLibrary " + lib})},
        {"Vista and later: no volume, still 1", true, nullptr, 0, 0, OsKindVistaTo8, false, false,
         false, true, with({"DDFini", "DDSysFini", "freeLibrary " + lib})},
        {"library missing", false, nullptr, 0, 0, OsKindXp, true, true, true, false, {}},
        {"no DDSysInit", true, "DDSysInit", 0, 0, OsKindXp, true, true, true, false,
         {"freeLibrary " + lib}},
        {"no DDInit", true, "DDInit", 0, 0, OsKindXp, true, true, true, false,
         {"freeLibrary " + lib}},
        {"no DDFini", true, "DDFini", 0, 0, OsKindXp, true, true, true, false,
         {"freeLibrary " + lib}},
        {"no DDSysFini", true, "DDSysFini", 0, 0, OsKindXp, true, true, true, false,
         {"freeLibrary " + lib}},
        {"DDSysInit fails", true, nullptr, 0x101, 0, OsKindXp, true, true, true, false,
         {"DDSysInit", "freeLibrary " + lib}},
        {"DDInit fails", true, nullptr, 0, 0x103, OsKindXp, true, true, true, false,
         {"DDSysInit", "DDInit 5", "DDSysFini", "freeLibrary " + lib}},
        {"volume does not open", true, nullptr, 0, 0, OsKindXp, false, true, true, false,
         with({"openVolume E", "DDFini", "DDSysFini", "freeLibrary " + lib})},
        {"lock refused: still unlocked and closed", true, nullptr, 0, 0, OsKindXp, true, false,
         true, false,
         with({"openVolume E", "volumeRequest Lock", "volumeRequest Unlock", "closeVolume",
               "DDFini", "DDSysFini", "freeLibrary " + lib})},
        {"unlock refused", true, nullptr, 0, 0, OsKindXp, true, true, false, false,
         with({"openVolume E", "volumeRequest Lock", "volumeRequest Unlock", "closeVolume",
               "DDFini", "DDSysFini", "freeLibrary " + lib})},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeOs os;
        test::FakeCard card;
        card.fail(test::Op::SysInit, c.sysInit);
        card.fail(test::Op::Init, c.init);
        card.logTo(os);
        if (c.libraryPresent) {
            card.addTo(os, lib);
            if (c.missing) os.libraries[lib].erase(c.missing);
        }
        if (!c.openable) os.unopenable.insert(u'E');
        os.requestDefault[VolumeRequest::Lock] = c.lockGranted;
        os.requestDefault[VolumeRequest::Unlock] = c.unlockGranted;
        SystemState sys(os);
        sys.osKind = c.osKind;

        EXPECT_EQ(probeVolumeLock(sys, kDriveE), c.result);

        Calls expected{"loadLibrary " + lib};
        expected.insert(expected.end(), c.tail.begin(), c.tail.end());
        Calls seen;
        for (const auto& call : os.calls)
            if (call.rfind("libraryProc", 0) != 0) seen.push_back(call);
        EXPECT_EQ(seen, expected);
        EXPECT_EQ(os.librariesFreed, os.librariesLoaded);
        EXPECT_LE(os.librariesLoaded, 1u);
        EXPECT_EQ(sys.volumeHandle, nullptr);
        EXPECT_TRUE(os.allReleased()) << "every handle and library is released exactly once";
    }
}

// A handle left open by an earlier step is closed, not dropped: dropping it would leak it and
// keep the probe's own lock from ever being granted on a real system.
TEST(VolumeAccess, ProbeVolumeLockClosesAHandleLeftOpen) {
    FakeOs os;
    test::FakeCard card;
    card.addTo(os, driverFileName(1, false));
    SystemState sys(os);
    sys.osKind = OsKindXp;
    sys.volumeHandle = os.openVolume(u'E');
    os.calls.clear();

    EXPECT_TRUE(probeVolumeLock(sys, kDriveE));
    EXPECT_EQ(volumeCalls(os), (Calls{"closeVolume", "openVolume E", "volumeRequest Lock",
                                      "volumeRequest Unlock", "closeVolume"}));
    EXPECT_EQ(sys.volumeHandle, nullptr);
    EXPECT_TRUE(os.allReleased());
}

// ---- checkCardReadable over a fake card ----------------------------------------------------

TEST(VolumeAccess, CheckCardReadable) {
    struct Case {
        const char* name;
        uint32_t identify, userSectors, read;
        uint32_t result;
        Calls calls;
    };
    // clang-format off
    const Case cases[] = {
        {"readable", 0, 0x3B0000, 0, 0, {"DDIdentify", "DDReadPT 3866623+1"}},
        {"one-sector card reads sector 0", 0, 1, 0, 0, {"DDIdentify", "DDReadPT 0+1"}},
        {"identify fails", SDHOST_ERR_NO_CARD, 0x3B0000, 0, SDHOST_ERR_NO_CARD, {"DDIdentify"}},
        {"last sector unreadable", 0, 0x3B0000, SDHOST_ERR_IO, SDHOST_ERR_IO,
         {"DDIdentify", "DDReadPT 3866623+1"}},
        {"empty user area is not read past its end", 0, 0, 0, SDHOST_ERR_RANGE, {"DDIdentify"}},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::FakeCard card(c.userSectors);
        card.fail(test::Op::Identify, c.identify);
        card.fail(test::Op::Read, c.read);
        DriverBinding driver{test::systemOs()};
        card.install(driver, 2);
        EXPECT_EQ(checkCardReadable(driver), c.result);
        EXPECT_EQ(card.lines(), c.calls);
    }
}

TEST(VolumeAccess, CheckCardReadableWithoutLibrary) {
    DriverBinding driver{test::systemOs()};
    EXPECT_EQ(checkCardReadable(driver), SDHOST_ERR_NOT_READY);
}

} // namespace
} // namespace brc
