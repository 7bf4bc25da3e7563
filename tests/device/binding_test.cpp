#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>

#include <unistd.h>

#include "tests/support/system_os.h"
#include "device/driver_binding.h"
#include "tests/support/fake_os.h"
#include "tests/support/fake_card.h"

namespace brc {
namespace {

namespace fs = std::filesystem;

// A virtual card mapped to drive E: for the duration of a test.
class MappedCard {
public:
    MappedCard() {
        dir_ = fs::path(testing::TempDir()) / ("binding-" + std::to_string(::getpid()));
        fs::create_directories(dir_);
        image_ = dir_ / "card.img";
        std::ofstream(image_, std::ios::binary).close();
        fs::resize_file(image_, 1 << 20);
        setenv("BRINDLECARD_CARDS", ("E=" + image_.string()).c_str(), 1);
    }
    ~MappedCard() {
        unsetenv("BRINDLECARD_CARDS");
        fs::remove_all(dir_);
    }

private:
    fs::path dir_, image_;
};

TEST(Binding, BindsEachRouteAndUnbinds) {
    DriverBinding b{test::systemOs()};
    ASSERT_EQ(bindDriver(b, 2), BindResult::Bound) << b.lastError;
    EXPECT_EQ(b.driverRoute, 2u);
    EXPECT_NE(b.api.DrvLock, nullptr);
    EXPECT_EQ(b.api.DDGetMID, nullptr) << "route 2 has no DDGetMID";
    EXPECT_NE(b.api.DDErase, nullptr) << "DDErase is looked up under its plain name";
    ASSERT_EQ(bindDriver(b, 1), BindResult::Bound) << b.lastError;
    EXPECT_EQ(b.driverRoute, 1u);
    EXPECT_NE(b.api.DDGetMID, nullptr);
    unbindDriver(b);
    EXPECT_EQ(b.driverRoute, 0u);
    EXPECT_EQ(b.library, nullptr);
}

TEST(Binding, RetryModeBindsTheRetryLibrary) {
    DriverBinding b{test::systemOs()};
    b.retryMode = 1;
    EXPECT_EQ(driverFileName(2, true), "qhost32retry.so");
    ASSERT_EQ(bindDriver(b, 2), BindResult::Bound) << b.lastError;
    EXPECT_EQ(b.driverRoute, 2u);
}

// A route-2 library that is wrong on purpose, offered by the scripted system.
constexpr const char* kBroken = "/opt/broken/qhost32.so";

TEST(Binding, RefusesLibraryWithoutRequiredOperation) {
    FakeOs os;
    test::FakeCard card;
    card.addTo(os, kBroken, 2);
    os.libraries[kBroken].erase("SD_W2k_DrvLock");
    DriverBinding b{os};
    testing::internal::CaptureStdout();
    EXPECT_EQ(bindDriverFile(b, 2, kBroken), BindResult::Missing);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), " GetProcAddress Error \n");
    EXPECT_EQ(b.driverRoute, 0u);
    EXPECT_EQ(b.library, nullptr);
    EXPECT_TRUE(os.allReleased()) << "the library is unloaded again";
}

TEST(Binding, RefusesLibraryWhoseStartFails) {
    FakeOs os;
    test::FakeCard card;
    card.addTo(os, kBroken, 2);
    card.fail(test::Op::SysInit, 1);
    DriverBinding b{os};
    EXPECT_EQ(bindDriverFile(b, 2, kBroken), BindResult::StartFailed);
    EXPECT_EQ(b.driverRoute, 0u);
    EXPECT_TRUE(os.allReleased()) << "the library is unloaded again";
    EXPECT_EQ(bindDriverFile(b, 2, "/nonexistent/qhost32.so"), BindResult::Missing);
}

TEST(Binding, SwitchingCyclesThroughTheRoutes) {
    DriverBinding b{test::systemOs()};
    EXPECT_EQ(switchDriverRoute(b), 2u);
    EXPECT_EQ(switchDriverRoute(b), 1u);
    EXPECT_EQ(switchDriverRoute(b), 2u);
    unbindDriver(b);
    FakeOs noLibraries;  // every load fails
    b.os = &noLibraries;
    EXPECT_EQ(switchDriverRoute(b), 0u) << "nothing bound when the library cannot be loaded";
    EXPECT_EQ(b.driverRoute, 0u);
    EXPECT_EQ(noLibraries.calls.back(), "loadLibrary " + driverFileName(2, false))
        << "the library is loaded through the system's services";
}

TEST(Binding, OpenCardFallsBackToTheOtherRouteWithThePlainNumber) {
    MappedCard mapped;
    test::FakeCard card;
    card.fail(test::Op::Init, SDHOST_ERR_NO_CARD);
    DriverBinding b{test::systemOs()};
    card.install(b, 2);
    ASSERT_EQ(openCard(b, 5), 0u);
    EXPECT_EQ(card.lines(), std::vector<std::string>{"DDInit " + std::to_string(5u | 0x1000u)});
    EXPECT_EQ(b.driverRoute, 1u) << "route 2 failed, so route 1 was bound";
    EXPECT_NE(b.driverHandle, 0u);
    EXPECT_EQ(b.api.DDFini(b.driverHandle), 0u);
}

TEST(Binding, OpenCardProbeUsesTheProbeFlagAndReportsFailure) {
    FakeOs noLibraries;  // the other route cannot be loaded
    test::FakeCard card;
    card.fail(test::Op::Init, SDHOST_ERR_NO_CARD);
    DriverBinding b{noLibraries};
    card.install(b, 2);
    EXPECT_EQ(openCard(b, 7, true), SDHOST_ERR_NO_CARD);
    EXPECT_EQ(card.lines(), std::vector<std::string>{"DDInit " + std::to_string(7u | 0x8000u)});
    EXPECT_EQ(b.driverRoute, 0u);
}

} // namespace
} // namespace brc
