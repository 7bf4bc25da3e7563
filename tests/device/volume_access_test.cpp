#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/system_os.h"
#include "device/driver_binding.h"
#include "device/volume_access.h"
#include "platform/fake/fake_os.h"

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
    const Case cases[] = {
        {u"a:\\", 1}, {u"A:\\", 1}, {u"E:\\", 5}, {u"e:\\", 5}, {u"z:\\", 26}, {u"Z:\\", 26},
        {u"1:\\", 0}, {u"@:\\", 0}, {u"[:\\", 0}, {u"`:\\", 0}, {u"{:\\", 0}, {u"", 0},
        {u"\u00C4:\\", 0},
    };
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

    EXPECT_EQ(openVolume(sys, kDriveE), 0u);
    EXPECT_EQ(lockVolume(sys, kDriveE), 0u);
    EXPECT_EQ(dismountVolume(sys, kDriveE), 0u);
    EXPECT_EQ(unlockVolume(sys, kDriveE), 0u);
    EXPECT_EQ(closeVolume(sys), 0u);
    EXPECT_EQ(releaseVolume(sys, kDriveE), 0u);
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
    uint32_t result;
    Calls calls;
    bool handleAfter;  // a handle is open afterwards
};

TEST(VolumeAccess, OperationsBeforeVista) {
    const OpCase cases[] = {
        {"open", Op::Open, false, true, true, 0, {"openVolume E"}, true},
        {"open fails", Op::Open, false, false, true, 1, {"openVolume E"}, false},
        {"open when already open", Op::Open, true, false, true, 0, {}, true},
        {"lock opens first", Op::Lock, false, true, true, 0,
         {"openVolume E", "volumeRequest Lock"}, true},
        {"lock refused", Op::Lock, false, true, false, 2,
         {"openVolume E", "volumeRequest Lock"}, true},
        {"lock cannot open", Op::Lock, false, false, true, 1, {"openVolume E"}, false},
        {"lock on an open handle", Op::Lock, true, false, true, 0, {"volumeRequest Lock"}, true},
        {"unlock", Op::Unlock, false, true, true, 0,
         {"openVolume E", "volumeRequest Unlock"}, true},
        {"unlock refused", Op::Unlock, true, true, false, 2, {"volumeRequest Unlock"}, true},
        {"unlock cannot open", Op::Unlock, false, false, true, 1, {"openVolume E"}, false},
        {"dismount", Op::Dismount, false, true, true, 0,
         {"openVolume E", "volumeRequest Dismount"}, true},
        {"dismount refused", Op::Dismount, true, true, false, 2, {"volumeRequest Dismount"},
         true},
        {"dismount cannot open", Op::Dismount, false, false, true, 1, {"openVolume E"}, false},
    };
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

        uint32_t r = 0;
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

        EXPECT_EQ(closeVolume(sys), 0u);
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
    uint32_t result;
    Calls calls;
};

TEST(VolumeAccess, ReleaseVolumePaths) {
    const ReleaseCase cases[] = {
        {"normal", true, {}, true, {}, 0,
         {"volumeRequest Unlock", "closeVolume", "openVolume E", "volumeRequest Lock",
          "volumeRequest Dismount", "volumeRequest Unlock", "closeVolume", "openVolume E",
          "closeVolume"}},
        {"lock refused, reopened and locked again", true, {}, true, {false, true}, 0,
         {"volumeRequest Unlock", "closeVolume", "openVolume E", "volumeRequest Lock",
          "volumeRequest Dismount", "closeVolume", "openVolume E", "volumeRequest Lock",
          "volumeRequest Dismount", "volumeRequest Unlock", "closeVolume", "openVolume E",
          "closeVolume"}},
        {"second lock refused too: its answer is not looked at", true, {}, true, {false, false},
         0,
         {"volumeRequest Unlock", "closeVolume", "openVolume E", "volumeRequest Lock",
          "volumeRequest Dismount", "closeVolume", "openVolume E", "volumeRequest Lock",
          "volumeRequest Dismount", "volumeRequest Unlock", "closeVolume", "openVolume E",
          "closeVolume"}},
        {"lock refused and the volume does not reopen", true, {true, false}, false, {false}, 1,
         {"volumeRequest Unlock", "closeVolume", "openVolume E", "volumeRequest Lock",
          "volumeRequest Dismount", "closeVolume", "openVolume E", "openVolume E"}},
        {"does not reopen after the lock, but the final test opens", true, {true, false}, true,
         {false}, 0,
         {"volumeRequest Unlock", "closeVolume", "openVolume E", "volumeRequest Lock",
          "volumeRequest Dismount", "closeVolume", "openVolume E", "openVolume E",
          "closeVolume"}},
        {"cannot reopen after the unlock", true, {}, false, {}, 1,
         {"volumeRequest Unlock", "closeVolume", "openVolume E"}},
        {"final test fails", true, {true}, false, {}, 1,
         {"volumeRequest Unlock", "closeVolume", "openVolume E", "volumeRequest Lock",
          "volumeRequest Dismount", "volumeRequest Unlock", "closeVolume", "openVolume E"}},
        {"entered without a handle", false, {}, true, {}, 0,
         {"openVolume E", "volumeRequest Unlock", "closeVolume", "openVolume E",
          "volumeRequest Lock", "volumeRequest Dismount", "volumeRequest Unlock", "closeVolume",
          "openVolume E", "closeVolume"}},
        {"entered without a handle, volume gone", false, {}, false, {}, 1,
         {"openVolume E", "openVolume E"}},
    };
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
        uint32_t result;
    };
    const Case cases[] = {
        {"Floppy0", u"\\Device\\Floppy0", 1},
        {"lower case floppy1", u"\\device\\floppy1", 1},
        {"upper case, exactly the prefix", u"\\DEVICE\\FLOPPY", 1},
        {"hard disk volume", u"\\Device\\HarddiskVolume3", 0},
        {"removable media", u"\\Device\\Harddisk1\\DP(1)0-0+6", 0},
        {"shorter than the prefix", u"\\Device\\Flopp", 0},
        {"prefix not at the start", u"\\??\\Device\\Floppy0", 0},
        {"empty target", u"", 0},
        {"query fails", std::nullopt, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeOs os;
        if (c.target) os.dosDevices[u'A'] = *c.target;
        os.dosDevices[u'E'] = u"\\Device\\HarddiskVolume9";
        SystemState sys(os);
        EXPECT_EQ(isFloppyDrive(sys, 1), c.result);
        EXPECT_EQ(os.calls, Calls{"queryDosDevice A"});
    }
}

// ---- probeVolumeLock over a scripted private library ---------------------------------------

struct FakeDriver {
    FakeOs* os = nullptr;
    uint32_t sysInit = 0;
    uint32_t init = 0;
};
FakeDriver g_driver;

uint32_t SDHOST_CALL fakeSysInit() {
    g_driver.os->note("DDSysInit");
    return g_driver.sysInit;
}
uint32_t SDHOST_CALL fakeSysFini() {
    g_driver.os->note("DDSysFini");
    return 0;
}
uint32_t SDHOST_CALL fakeInit(uint32_t* handle, uint32_t drive) {
    g_driver.os->note("DDInit " + std::to_string(drive));
    if (g_driver.init == 0) *handle = 77;
    return g_driver.init;
}
uint32_t SDHOST_CALL fakeFini(uint32_t handle) {
    g_driver.os->note("DDFini " + std::to_string(handle));
    return 0;
}

struct ProbeCase {
    const char* name;
    bool libraryPresent;
    const char* missing;  // operation left out of the library, or null
    uint32_t sysInit, init;
    OsKind osKind;
    bool openable, lockGranted, unlockGranted;
    uint32_t result;
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
    const ProbeCase cases[] = {
        {"all good", true, nullptr, 0, 0, OsKindXp, true, true, true, 1,
         with({"openVolume E", "volumeRequest Lock", "volumeRequest Unlock", "closeVolume",
               "DDFini 77", "DDSysFini", "freeLibrary " + lib})},
        {"Vista and later: no volume, still 1", true, nullptr, 0, 0, OsKindVistaTo8, false, false,
         false, 1, with({"DDFini 77", "DDSysFini", "freeLibrary " + lib})},
        {"library missing", false, nullptr, 0, 0, OsKindXp, true, true, true, 0, {}},
        {"no DDSysInit", true, "DDSysInit", 0, 0, OsKindXp, true, true, true, 0,
         {"freeLibrary " + lib}},
        {"no DDInit", true, "DDInit", 0, 0, OsKindXp, true, true, true, 0, {"freeLibrary " + lib}},
        {"no DDFini", true, "DDFini", 0, 0, OsKindXp, true, true, true, 0, {"freeLibrary " + lib}},
        {"no DDSysFini", true, "DDSysFini", 0, 0, OsKindXp, true, true, true, 0,
         {"freeLibrary " + lib}},
        {"DDSysInit fails", true, nullptr, 0x101, 0, OsKindXp, true, true, true, 0,
         {"DDSysInit", "freeLibrary " + lib}},
        {"DDInit fails", true, nullptr, 0, 0x103, OsKindXp, true, true, true, 0,
         {"DDSysInit", "DDInit 5", "DDSysFini", "freeLibrary " + lib}},
        {"volume does not open", true, nullptr, 0, 0, OsKindXp, false, true, true, 0,
         with({"openVolume E", "DDFini 77", "DDSysFini", "freeLibrary " + lib})},
        {"lock refused: still unlocked and closed", true, nullptr, 0, 0, OsKindXp, true, false,
         true, 0,
         with({"openVolume E", "volumeRequest Lock", "volumeRequest Unlock", "closeVolume",
               "DDFini 77", "DDSysFini", "freeLibrary " + lib})},
        {"unlock refused", true, nullptr, 0, 0, OsKindXp, true, true, false, 0,
         with({"openVolume E", "volumeRequest Lock", "volumeRequest Unlock", "closeVolume",
               "DDFini 77", "DDSysFini", "freeLibrary " + lib})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeOs os;
        g_driver = FakeDriver{&os, c.sysInit, c.init};
        if (c.libraryPresent) {
            os.addLibrary(lib);
            if (!c.missing || std::strcmp(c.missing, "DDSysInit") != 0)
                os.addLibraryProc(lib, "DDSysInit", &fakeSysInit);
            if (!c.missing || std::strcmp(c.missing, "DDInit") != 0)
                os.addLibraryProc(lib, "DDInit", &fakeInit);
            if (!c.missing || std::strcmp(c.missing, "DDFini") != 0)
                os.addLibraryProc(lib, "DDFini", &fakeFini);
            if (!c.missing || std::strcmp(c.missing, "DDSysFini") != 0)
                os.addLibraryProc(lib, "DDSysFini", &fakeSysFini);
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
    g_driver = FakeDriver{};
}

// A handle left open by an earlier step is closed, not dropped: dropping it would leak it and
// keep the probe's own lock from ever being granted on a real system.
TEST(VolumeAccess, ProbeVolumeLockClosesAHandleLeftOpen) {
    FakeOs os;
    g_driver = FakeDriver{&os, 0, 0};
    const std::string lib = driverFileName(1, false);
    os.addLibraryProc(lib, "DDSysInit", &fakeSysInit);
    os.addLibraryProc(lib, "DDInit", &fakeInit);
    os.addLibraryProc(lib, "DDFini", &fakeFini);
    os.addLibraryProc(lib, "DDSysFini", &fakeSysFini);
    SystemState sys(os);
    sys.osKind = OsKindXp;
    sys.volumeHandle = os.openVolume(u'E');
    os.calls.clear();

    EXPECT_EQ(probeVolumeLock(sys, kDriveE), 1u);
    EXPECT_EQ(volumeCalls(os), (Calls{"closeVolume", "openVolume E", "volumeRequest Lock",
                                      "volumeRequest Unlock", "closeVolume"}));
    EXPECT_EQ(sys.volumeHandle, nullptr);
    EXPECT_TRUE(os.allReleased());
    g_driver = FakeDriver{};
}

// ---- checkCardReadable over a fake driver table ---------------------------------------------

struct FakeCard {
    uint32_t identify = 0;
    uint32_t userSectors = 0;
    uint32_t read = 0;
    std::vector<std::string> calls;
};
FakeCard g_card;

uint32_t SDHOST_CALL cardIdentify(uint32_t* userSectors, uint32_t* cylinders,
                                  uint32_t* totalSectors, uint32_t* heads,
                                  uint16_t* bytesPerSector, uint32_t* sectorsPerTrack,
                                  uint8_t* cardType, uint32_t* protectedSectors, uint8_t* busWidth,
                                  uint32_t* eraseBlockSectors, uint32_t* reserved,
                                  uint32_t handle) {
    g_card.calls.push_back("DDIdentify " + std::to_string(handle));
    // Every output is written, as a real library does: a missing output would crash here.
    *userSectors = g_card.userSectors;
    *cylinders = 1;
    *totalSectors = g_card.userSectors;
    *heads = 4;
    *bytesPerSector = 512;
    *sectorsPerTrack = 16;
    *cardType = 1;
    *protectedSectors = 0;
    *busWidth = 4;
    *eraseBlockSectors = 8192;
    *reserved = 0;
    return g_card.identify;
}

uint32_t SDHOST_CALL cardRead(void* buffer, uint32_t count, uint32_t firstSector,
                              uint32_t handle) {
    g_card.calls.push_back("DDReadPT " + std::to_string(count) + " " +
                           std::to_string(firstSector) + " " + std::to_string(handle));
    // Fills the whole transfer, so a buffer smaller than the sectors asked for shows up under
    // AddressSanitizer.
    std::memset(buffer, 0xA5, static_cast<size_t>(count) * 512);
    return g_card.read;
}

TEST(VolumeAccess, CheckCardReadable) {
    struct Case {
        const char* name;
        uint32_t identify, userSectors, read;
        uint32_t result;
        Calls calls;
    };
    const Case cases[] = {
        {"readable", 0, 0x3B0000, 0, 0, {"DDIdentify 42", "DDReadPT 1 3866623 42"}},
        {"one-sector card reads sector 0", 0, 1, 0, 0, {"DDIdentify 42", "DDReadPT 1 0 42"}},
        {"identify fails", SDHOST_ERR_NO_CARD, 0x3B0000, 0, SDHOST_ERR_NO_CARD,
         {"DDIdentify 42"}},
        {"last sector unreadable", 0, 0x3B0000, SDHOST_ERR_IO, SDHOST_ERR_IO,
         {"DDIdentify 42", "DDReadPT 1 3866623 42"}},
        {"empty user area is not read past its end", 0, 0, 0, SDHOST_ERR_RANGE,
         {"DDIdentify 42"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        g_card = FakeCard{c.identify, c.userSectors, c.read, {}};
        DriverApi api;
        api.DDIdentify = &cardIdentify;
        api.DDReadPT = &cardRead;
        DriverBinding driver{test::systemOs()};
        installDriverTable(driver, 2, api);
        driver.driverHandle = 42;
        EXPECT_EQ(checkCardReadable(driver), c.result);
        EXPECT_EQ(g_card.calls, c.calls);
    }
    g_card = FakeCard{};
}

TEST(VolumeAccess, CheckCardReadableWithoutLibrary) {
    DriverBinding driver{test::systemOs()};
    EXPECT_EQ(checkCardReadable(driver), SDHOST_ERR_NOT_READY);
}

} // namespace
} // namespace brc
