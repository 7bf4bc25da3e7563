// Images and sidecars whose paths lie outside the ANSI code page: opened by their UTF-8 paths,
// named in UTF-8 in the libraries' messages, and a problem reported once though both routes
// meet it (the libraries keep the last report in the environment).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>

#include "base/environment.h"
#include "base/native_text.h"
#include "device/driver_binding.h"
#include "device/driver_settings.h"
#include "drivers/virtual_card.h"
#include "tests/support/cyrillic.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/system_os.h"

namespace brc {
namespace {

namespace fs = std::filesystem;

constexpr uint32_t kSectors = 4096;
constexpr uint32_t kDriveK = 11;

// The environment variables a test changes, put back afterwards.
class SavedVariables {
public:
    SavedVariables() {
        for (const char* name : kNames) saved_.push_back(environmentVariable(name));
    }
    ~SavedVariables() {
        for (size_t i = 0; i < saved_.size(); ++i) {
            if (saved_[i]) setEnvironmentVariable(kNames[i], *saved_[i]);
            else unsetEnvironmentVariable(kNames[i]);
        }
    }
    SavedVariables(const SavedVariables&) = delete;
    SavedVariables& operator=(const SavedVariables&) = delete;

private:
    static constexpr const char* kNames[] = {"BRINDLECARD_CARDS"};
    std::vector<std::optional<std::string>> saved_;
};

class Utf8Paths : public testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(folder_);
        frontEndContext().lastReport[0] = '\0';
    }

    // An image whose sector 3 starts with "sector3", and its sidecar.
    std::string makeCard(const std::string& sidecar) {
        const fs::path image = folder_ / pathFromUtf8(test::kCyrillicImage);
        {
            std::ofstream file(image, std::ios::binary | std::ios::trunc);
            file.seekp(3 * 512);
            file << "sector3";
        }
        fs::resize_file(image, uint64_t{kSectors} * 512);
        std::ofstream(fs::path(image).concat(".card"), std::ios::trunc) << sidecar;
        return utf8FromPath(image);
    }

    SavedVariables saved_;
    test::ScratchDir dir_{"utf8-paths"};
    const fs::path folder_ = dir_.path / pathFromUtf8(test::kCyrillicFolder);
};

TEST_F(Utf8Paths, ImageAndSidecarOpenByTheirPaths) {
    const std::string image = makeCard("protected_sectors = 5\n");
    std::unique_ptr<sdhost::VirtualCard> card;
    std::string error;
    const sdhost::Host host{"test", SDHOST_ERR_WRITE_PROTECT_R2, 0};
    ASSERT_EQ(sdhost::openVirtualCard(image, host, card, error), SDHOST_OK) << error;
    uint32_t protectedSectors = 0;
    ASSERT_EQ(card->secureIdentify(protectedSectors), SDHOST_OK);
    EXPECT_EQ(protectedSectors, 5u) << "the sidecar was not read";
    char sector[512] = {};
    ASSERT_EQ(card->read(sector, 1, 3), SDHOST_OK);
    EXPECT_EQ(std::string(sector), "sector3");
}

TEST_F(Utf8Paths, AProblemIsReportedOnceInUtf8ThoughBothRoutesMeetIt) {
    const std::string image = makeCard("colour = blue\n");
    setEnvironmentVariable("BRINDLECARD_CARDS", "K=" + image);
    DriverBinding driver{test::systemOs()};
    ASSERT_EQ(bindDriver(driver, 2), BindResult::Bound) << driver.lastError;

    testing::internal::CaptureStderr();
    const uint32_t opened = openCard(driver, kDriveK);
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(opened, SDHOST_ERR_CONFIG);
    EXPECT_EQ(driver.driverRoute, 1u) << "the card was not tried on the other route";

    const std::string line = image + ".card:1: unknown key 'colour'";
    EXPECT_NE(said.find(line), std::string::npos) << said;
    EXPECT_EQ(said.find(line), said.rfind(line)) << "reported more than once:\n" << said;
    EXPECT_EQ(std::string(frontEndContext().lastReport), line);
}

#if defined(_WIN32)
// A format's open keeps every other writer out, in this process as in another, until the card
// is closed; probes (check) and DDChkSDCard's look still open the image alongside it.
TEST_F(Utf8Paths, AFormatHoldsTheImageAgainstOtherWritersOnly) {
    const std::string image = makeCard("");
    const sdhost::Host host{"test", SDHOST_ERR_WRITE_PROTECT_R2, 0};
    std::unique_ptr<sdhost::VirtualCard> format, second, probe, flags;
    std::string error;
    ASSERT_EQ(sdhost::openVirtualCard(image, host, format, error), SDHOST_OK) << error;
    EXPECT_EQ(sdhost::openVirtualCard(image, host, second, error), SDHOST_ERR_BUSY);
    EXPECT_EQ(error, image + ": in use: another program holds it open");
    EXPECT_EQ(second, nullptr);
    error.clear();
    ASSERT_EQ(sdhost::openVirtualCard(image, host, probe, error, sdhost::OpenFor::Probe), SDHOST_OK) << error;
    ASSERT_EQ(sdhost::openVirtualCard(image, host, flags, error, sdhost::OpenFor::Flags), SDHOST_OK) << error;
    EXPECT_FALSE(flags->writeRefused()) << "a card being formatted is no write-protected card";

    char sector[512] = "formatted";
    ASSERT_EQ(format->write(sector, 1, 3), SDHOST_OK);
    char back[512] = {};
    ASSERT_EQ(probe->read(back, 1, 3), SDHOST_OK);
    EXPECT_STREQ(back, "formatted");

    format.reset();
    EXPECT_EQ(sdhost::openVirtualCard(image, host, second, error), SDHOST_OK) << error;
}
#endif

} // namespace
} // namespace brc
