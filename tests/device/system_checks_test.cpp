#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "device/system_checks.h"
#include "tests/support/fake_os.h"

namespace brc {
namespace {

constexpr uint32_t kWin9x = 1, kNt = 2;
constexpr uint32_t kWorkstation = 1, kDomainController = 2, kServer = 3;

struct OsKindCase {
    const char* name;
    std::optional<OsVersion> version;
    bool result;
    OsKind osKind;
};

TEST(SystemChecks, QueryOsKindMapsEachVersion) {
    const OsKindCase cases[] = {
        {"Windows 95", OsVersion{kWin9x, 4, 0, 0}, false, OsKind9x},
        {"Windows Me", OsVersion{kWin9x, 4, 90, 0}, false, OsKind9x},
        {"NT 3.51", OsVersion{kNt, 3, 51, kWorkstation}, false, OsKindNt4},
        {"NT 4.0", OsVersion{kNt, 4, 0, kWorkstation}, false, OsKindNt4},
        {"Windows 2000", OsVersion{kNt, 5, 0, kWorkstation}, false, OsKind2000},
        {"Windows XP", OsVersion{kNt, 5, 1, kWorkstation}, true, OsKindXp},
        {"Server 2003", OsVersion{kNt, 5, 2, kServer}, true, OsKindXp},
        {"Vista", OsVersion{kNt, 6, 0, kWorkstation}, true, OsKindVistaTo8},
        {"Windows 7", OsVersion{kNt, 6, 1, kWorkstation}, true, OsKindVistaTo8},
        {"Windows 8", OsVersion{kNt, 6, 2, kWorkstation}, true, OsKindVistaTo8},
        {"NT 5.3 (unlisted)", OsVersion{kNt, 5, 3, kWorkstation}, true, OsKindUnknown},
        {"NT 10.0 (unlisted)", OsVersion{kNt, 10, 0, kWorkstation}, true, OsKindUnknown},
        {"Win32s platform", OsVersion{0, 3, 10, 0}, true, OsKindUnknown},
        {"GetVersionExW fails", std::nullopt, true, OsKindUnknown},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeOs os;
        os.version = c.version;
        SystemState sys(os);
        EXPECT_EQ(queryOsKind(sys), c.result);
        EXPECT_EQ(sys.osKind, c.osKind);
    }
}

TEST(SystemChecks, QueryOsKindAsksOnceAfterSuccess) {
    FakeOs os;
    os.version = OsVersion{kNt, 6, 2, kWorkstation};
    SystemState sys(os);
    EXPECT_TRUE(queryOsKind(sys));
    EXPECT_EQ(sys.osKind, OsKindVistaTo8);
    os.version = std::nullopt;  // would fail if asked again
    EXPECT_TRUE(queryOsKind(sys));
    EXPECT_EQ(sys.osKind, OsKindVistaTo8);
    EXPECT_EQ(os.versionQueries, 1u);

    // An old system's cached answer stays 0 as well.
    FakeOs old;
    old.version = OsVersion{kNt, 5, 0, kWorkstation};
    SystemState oldSys(old);
    EXPECT_FALSE(queryOsKind(oldSys));
    old.version = OsVersion{kNt, 6, 1, kWorkstation};
    EXPECT_FALSE(queryOsKind(oldSys));
    EXPECT_EQ(oldSys.osKind, OsKind2000);
    EXPECT_EQ(old.versionQueries, 1u);
}

TEST(SystemChecks, QueryOsKindFailureIsNotCached) {
    FakeOs os;
    os.version = std::nullopt;
    SystemState sys(os);
    EXPECT_TRUE(queryOsKind(sys));
    EXPECT_EQ(sys.osKind, OsKindUnknown);
    os.version = OsVersion{kNt, 5, 0, kWorkstation};
    EXPECT_FALSE(queryOsKind(sys)) << "the second call must ask again";
    EXPECT_EQ(sys.osKind, OsKind2000);
    EXPECT_EQ(os.versionQueries, 2u);
}

struct WorkstationCase {
    const char* name;
    std::optional<OsVersion> version;
    bool result;
};

TEST(SystemChecks, IsSupportedWorkstation) {
    const WorkstationCase cases[] = {
        {"Windows XP", OsVersion{kNt, 5, 1, kWorkstation}, true},
        {"XP x64 (5.2 workstation)", OsVersion{kNt, 5, 2, kWorkstation}, true},
        {"Vista", OsVersion{kNt, 6, 0, kWorkstation}, true},
        {"Windows 7 Professional", OsVersion{kNt, 6, 1, kWorkstation}, true},
        {"Windows 8", OsVersion{kNt, 6, 2, kWorkstation}, true},
        {"Server 2003", OsVersion{kNt, 5, 2, kServer}, false},
        {"Server 2008 R2", OsVersion{kNt, 6, 1, kServer}, false},
        {"domain controller", OsVersion{kNt, 6, 1, kDomainController}, false},
        {"Windows 8.1 (6.3)", OsVersion{kNt, 6, 3, kWorkstation}, false},
        {"Windows 2000", OsVersion{kNt, 5, 0, kWorkstation}, false},
        {"NT 4.0", OsVersion{kNt, 4, 0, kWorkstation}, false},
        {"NT 10.0", OsVersion{kNt, 10, 0, kWorkstation}, false},
        {"9x platform with an NT version", OsVersion{kWin9x, 5, 1, kWorkstation}, false},
        {"GetVersionExW fails", std::nullopt, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeOs os;
        os.version = c.version;
        SystemState sys(os);
        EXPECT_EQ(isSupportedWorkstation(sys), c.result);
        EXPECT_EQ(sys.osKind, OsKindUnknown) << "the edition check leaves osKind alone";
    }
}

TEST(SystemChecks, IsSupportedWorkstationAsksEveryTime) {
    FakeOs os;
    os.version = OsVersion{kNt, 6, 1, kWorkstation};
    SystemState sys(os);
    EXPECT_TRUE(isSupportedWorkstation(sys));
    os.version = OsVersion{kNt, 6, 1, kServer};
    EXPECT_FALSE(isSupportedWorkstation(sys));
    EXPECT_EQ(os.versionQueries, 2u);
}

struct AdminCase {
    const char* name;
    std::optional<std::vector<std::string>> groups;
    AdminLevel level;
};

TEST(SystemChecks, QueryAdminLevel) {
    const AdminCase cases[] = {
        {"Administrators", std::vector<std::string>{"S-1-1-0", "S-1-5-32-544"},
         AdminLevel::Administrator},
        {"Power Users", std::vector<std::string>{"S-1-5-32-547", "S-1-5-11"},
         AdminLevel::PowerUser},
        {"both, Power Users listed first", std::vector<std::string>{"S-1-5-32-547", "S-1-5-32-544"},
         AdminLevel::Administrator},
        {"Users only", std::vector<std::string>{"S-1-5-32-545", "S-1-5-4"}, AdminLevel::None},
        {"no groups", std::vector<std::string>{}, AdminLevel::None},
        {"similar but different SIDs",
         std::vector<std::string>{"S-1-5-32-5440", "S-1-5-21-544", "S-1-5-32-54"},
         AdminLevel::None},
        {"token unreadable", std::nullopt, AdminLevel::None},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeOs os;
        os.groups = c.groups;
        SystemState sys(os);
        EXPECT_EQ(queryAdminLevel(sys), c.level);
    }
}

TEST(SystemChecks, StartVolumeService) {
    struct Case {
        const char* name;
        uint32_t error;
        bool result;
    };
    const Case cases[] = {
        {"started", 0, true},
        {"already running", kErrorServiceAlreadyRunning, true},
        {"not installed (ERROR_SERVICE_DOES_NOT_EXIST)", 1060, false},
        {"disabled (ERROR_SERVICE_DISABLED)", 1058, false},
        {"no access to the manager", 5, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeOs os;
        os.startServiceError = c.error;
        SystemState sys(os);
        EXPECT_EQ(startVolumeService(sys), c.result);
        EXPECT_EQ(os.calls, std::vector<std::string>{"startService KVOSDFSVC"});
    }
}

TEST(SystemChecks, TestVolumeServicePipe) {
    for (bool opens : {true, false}) {
        SCOPED_TRACE(opens);
        FakeOs os;
        os.pipeOpensResult = opens;
        SystemState sys(os);
        EXPECT_EQ(testVolumeServicePipe(sys), opens);
        EXPECT_EQ(os.calls, std::vector<std::string>{"pipeOpens \\\\.\\pipe\\kvosdsvc"});
    }
}

// A POSIX system is asked none of the Windows questions: it is supported as it is, has a kind
// of its own that treats the volume as Vista to 8 do, root is its administrator, and anyone
// else needs read-write access to the card.
TEST(SystemChecks, PosixAnswersWithoutWindowsFacts) {
    for (bool root : {true, false}) {
        for (bool access : {true, false}) {
            SCOPED_TRACE(std::string(root ? "root" : "user") + (access ? ", card opens" : ""));
            FakeOs os;
            os.family = SystemFamily::Posix;
            os.superuser = root;
            os.mayOpenCardResult = access;
            SystemState sys(os);
            EXPECT_TRUE(isSupportedWorkstation(sys));
            EXPECT_TRUE(queryOsKind(sys));
            EXPECT_EQ(sys.osKind, OsKindPosix);
            EXPECT_EQ(queryAdminLevel(sys), root ? AdminLevel::Administrator : AdminLevel::None);
            EXPECT_EQ(cardReachableWithoutAdmin(sys), access);
            EXPECT_FALSE(sys.volumesServed);
            EXPECT_EQ(os.calls, (std::vector<std::string>{"isSuperuser", "mayOpenCard"}));
        }
    }
    const VolumePolicy& posix = volumePolicy(OsKindPosix);
    const VolumePolicy& vista = volumePolicy(OsKindVistaTo8);
    EXPECT_EQ(
        std::vector<bool>({posix.touchesVolume, posix.asksVolumeReady,
                           posix.preliminaryPassBeforeOverwrite, posix.closeCardForPrivateErase}),
        std::vector<bool>({vista.touchesVolume, vista.asksVolumeReady,
                           vista.preliminaryPassBeforeOverwrite, vista.closeCardForPrivateErase}));
}

// Windows users who are no administrators reach the card through the volume service: it is
// started whatever its answer, and only the pipe decides.
TEST(SystemChecks, CardReachableWithoutAdminOnWindowsAsksTheService) {
    for (bool opens : {true, false}) {
        FakeOs os;
        os.startServiceError = 1060;
        os.pipeOpensResult = opens;
        SystemState sys(os);
        EXPECT_EQ(cardReachableWithoutAdmin(sys), opens);
        // Served, the card's volumes are the service's: on XP the program leaves them alone.
        EXPECT_EQ(sys.volumesServed, opens);
        sys.osKind = OsKindXp;
        EXPECT_EQ(sys.policy().touchesVolume, !opens);
        EXPECT_EQ(os.calls, (std::vector<std::string>{"startService KVOSDFSVC",
                                                      "pipeOpens \\\\.\\pipe\\kvosdsvc"}));
    }
}

} // namespace
} // namespace brc
