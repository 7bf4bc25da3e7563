#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "device/system_checks.h"
#include "platform/fake/fake_os.h"

namespace brc {
namespace {

constexpr uint32_t kWin9x = 1, kNt = 2;
constexpr uint32_t kWorkstation = 1, kDomainController = 2, kServer = 3;

struct OsKindCase {
    const char* name;
    std::optional<OsVersion> version;
    uint32_t result;
    OsKind osKind;
};

TEST(SystemChecks, QueryOsKindMapsEachVersion) {
    const OsKindCase cases[] = {
        {"Windows 95", OsVersion{kWin9x, 4, 0, 0}, 0, OsKind9x},
        {"Windows Me", OsVersion{kWin9x, 4, 90, 0}, 0, OsKind9x},
        {"NT 3.51", OsVersion{kNt, 3, 51, kWorkstation}, 0, OsKindNt4},
        {"NT 4.0", OsVersion{kNt, 4, 0, kWorkstation}, 0, OsKindNt4},
        {"Windows 2000", OsVersion{kNt, 5, 0, kWorkstation}, 0, OsKind2000},
        {"Windows XP", OsVersion{kNt, 5, 1, kWorkstation}, 1, OsKindXp},
        {"Server 2003", OsVersion{kNt, 5, 2, kServer}, 1, OsKindXp},
        {"Vista", OsVersion{kNt, 6, 0, kWorkstation}, 1, OsKindVistaTo8},
        {"Windows 7", OsVersion{kNt, 6, 1, kWorkstation}, 1, OsKindVistaTo8},
        {"Windows 8", OsVersion{kNt, 6, 2, kWorkstation}, 1, OsKindVistaTo8},
        {"NT 5.3 (unlisted)", OsVersion{kNt, 5, 3, kWorkstation}, 1, OsKindUnknown},
        {"NT 10.0 (unlisted)", OsVersion{kNt, 10, 0, kWorkstation}, 1, OsKindUnknown},
        {"Win32s platform", OsVersion{0, 3, 10, 0}, 1, OsKindUnknown},
        {"GetVersionExW fails", std::nullopt, 1, OsKindUnknown},
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
    EXPECT_EQ(queryOsKind(sys), 1u);
    EXPECT_EQ(sys.osKind, OsKindVistaTo8);
    os.version = std::nullopt;  // would fail if asked again
    EXPECT_EQ(queryOsKind(sys), 1u);
    EXPECT_EQ(sys.osKind, OsKindVistaTo8);
    EXPECT_EQ(os.versionQueries, 1u);

    // An old system's cached answer stays 0 as well.
    FakeOs old;
    old.version = OsVersion{kNt, 5, 0, kWorkstation};
    SystemState oldSys(old);
    EXPECT_EQ(queryOsKind(oldSys), 0u);
    old.version = OsVersion{kNt, 6, 1, kWorkstation};
    EXPECT_EQ(queryOsKind(oldSys), 0u);
    EXPECT_EQ(oldSys.osKind, OsKind2000);
    EXPECT_EQ(old.versionQueries, 1u);
}

TEST(SystemChecks, QueryOsKindFailureIsNotCached) {
    FakeOs os;
    os.version = std::nullopt;
    SystemState sys(os);
    EXPECT_EQ(queryOsKind(sys), 1u);
    EXPECT_EQ(sys.osKind, OsKindUnknown);
    os.version = OsVersion{kNt, 5, 0, kWorkstation};
    EXPECT_EQ(queryOsKind(sys), 0u) << "the second call must ask again";
    EXPECT_EQ(sys.osKind, OsKind2000);
    EXPECT_EQ(os.versionQueries, 2u);
}

struct WorkstationCase {
    const char* name;
    std::optional<OsVersion> version;
    uint32_t result;
};

TEST(SystemChecks, IsSupportedWorkstation) {
    const WorkstationCase cases[] = {
        {"Windows XP", OsVersion{kNt, 5, 1, kWorkstation}, 1},
        {"XP x64 (5.2 workstation)", OsVersion{kNt, 5, 2, kWorkstation}, 1},
        {"Vista", OsVersion{kNt, 6, 0, kWorkstation}, 1},
        {"Windows 7 Professional", OsVersion{kNt, 6, 1, kWorkstation}, 1},
        {"Windows 8", OsVersion{kNt, 6, 2, kWorkstation}, 1},
        {"Server 2003", OsVersion{kNt, 5, 2, kServer}, 0},
        {"Server 2008 R2", OsVersion{kNt, 6, 1, kServer}, 0},
        {"domain controller", OsVersion{kNt, 6, 1, kDomainController}, 0},
        {"Windows 8.1 (6.3)", OsVersion{kNt, 6, 3, kWorkstation}, 0},
        {"Windows 2000", OsVersion{kNt, 5, 0, kWorkstation}, 0},
        {"NT 4.0", OsVersion{kNt, 4, 0, kWorkstation}, 0},
        {"NT 10.0", OsVersion{kNt, 10, 0, kWorkstation}, 0},
        {"9x platform with an NT version", OsVersion{kWin9x, 5, 1, kWorkstation}, 0},
        {"GetVersionExW fails", std::nullopt, 0},
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
    EXPECT_EQ(isSupportedWorkstation(sys), 1u);
    os.version = OsVersion{kNt, 6, 1, kServer};
    EXPECT_EQ(isSupportedWorkstation(sys), 0u);
    EXPECT_EQ(os.versionQueries, 2u);
}

struct AdminCase {
    const char* name;
    std::optional<std::vector<std::string>> groups;
    uint32_t level;
};

TEST(SystemChecks, QueryAdminLevel) {
    const AdminCase cases[] = {
        {"Administrators", std::vector<std::string>{"S-1-1-0", "S-1-5-32-544"}, 2},
        {"Power Users", std::vector<std::string>{"S-1-5-32-547", "S-1-5-11"}, 1},
        {"both, Power Users listed first",
         std::vector<std::string>{"S-1-5-32-547", "S-1-5-32-544"}, 2},
        {"Users only", std::vector<std::string>{"S-1-5-32-545", "S-1-5-4"}, 0},
        {"no groups", std::vector<std::string>{}, 0},
        {"similar but different SIDs",
         std::vector<std::string>{"S-1-5-32-5440", "S-1-5-21-544", "S-1-5-32-54"}, 0},
        {"token unreadable", std::nullopt, 0},
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
        uint32_t result;
    };
    const Case cases[] = {
        {"started", 0, 1},
        {"already running", kErrorServiceAlreadyRunning, 1},
        {"not installed (ERROR_SERVICE_DOES_NOT_EXIST)", 1060, 0},
        {"disabled (ERROR_SERVICE_DISABLED)", 1058, 0},
        {"no access to the manager", 5, 0},
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
        EXPECT_EQ(testVolumeServicePipe(sys), opens ? 1u : 0u);
        EXPECT_EQ(os.calls, std::vector<std::string>{"pipeOpens \\\\.\\pipe\\kvosdsvc"});
    }
}

} // namespace
} // namespace brc
