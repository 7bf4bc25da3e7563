#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "base/environment.h"
#include "device/card_map.h"
#include "tests/support/cyrillic.h"

namespace brc {
namespace {

TEST(CardMap, ParsesLettersPathsAndRoundTrips) {
    CardMap map = parseCardMap("E=/abs/card.img;f=/dev/mmcblk0;;Z=C:\\cards\\x.img");
    ASSERT_EQ(map.error, "");
    EXPECT_EQ(map.paths[4], "/abs/card.img");
    EXPECT_EQ(map.paths[5], "/dev/mmcblk0");
    EXPECT_EQ(map.paths[25], "C:\\cards\\x.img");
    EXPECT_EQ(driveOfPath(map, "/dev/mmcblk0"), 6u);
    EXPECT_FALSE(driveOfPath(map, "/other").has_value());
    EXPECT_EQ(parseCardMap(formatCardMap(map)).paths, map.paths);
}

TEST(CardMap, RefusesMalformedEntries) {
    for (const char* bad : {"E", "E:/x", "1=/x", "E=relative.img", "E=/a;E=/b", "=/x", "EE=/x"})
        EXPECT_NE(parseCardMap(bad).error, "") << bad;
    EXPECT_EQ(parseCardMap("").error, "");
}

// Windows' long and UNC forms name files as absolutely as a drive path does; its device
// namespace names disks and volumes, never an image.
TEST(CardMap, TakesAbsoluteFilePathsOfEveryFormAndNoDevice) {
    struct Case {
        const char* path;
        bool file;   // an absolute path to a file
        bool device; // in the device namespace
    };
    const Case cases[] = {
        {"/abs/card.img", true, false},
        {"C:\\cards\\x.img", true, false},
        {"c:/cards/x.img", true, false},
        {"\\\\?\\C:\\cards\\x.img", true, false},
        {"\\\\?\\UNC\\server\\share\\x.img", true, false},
        {"\\\\server\\share\\x.img", true, false},
        {"C:x.img", false, false},
        {"relative.img", false, false},
        {"\\\\.\\PhysicalDrive0", false, true},
        {"\\\\.\\C:\\x.img", false, true},
        {"//./E:", false, true},
        {"//?/C:/x.img", false, true},
        {"\\\\?\\PhysicalDrive0", false, true},
        {"\\\\?\\E:", false, true},
        {"\\\\?\\GLOBALROOT\\Device\\Harddisk0\\Partition0", false, true},
        {"\\\\?\\Volume{0}\\x.img", false, true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(isAbsoluteFilePath(c.path), c.file) << c.path;
        EXPECT_EQ(isDeviceNamespacePath(c.path), c.device) << c.path;
        EXPECT_EQ(parseCardMap(std::string("E=") + c.path).error.empty(), c.file) << c.path;
    }
}

// The map is read as the user wrote it, whatever the system's ANSI code page: a path on Windows
// and one on Linux, both Cyrillic.
TEST(CardMap, ReadsPathsFromTheEnvironmentAsUtf8) {
    const std::optional<std::string> saved = environmentVariable("BRINDLECARD_CARDS");
    const std::string windows = std::string("C:\\") + test::kCyrillicFolder + "\\" + test::kCyrillicImage;
    const std::string posix = std::string("/") + test::kCyrillicFolder + "/" + test::kCyrillicImage;
    setEnvironmentVariable("BRINDLECARD_CARDS", "E=" + windows + ";F=" + posix);
    const CardMap map = readCardMap();
    EXPECT_EQ(map.error, "");
    EXPECT_EQ(map.paths[4], windows);
    EXPECT_EQ(map.paths[5], posix);

    unsetEnvironmentVariable("BRINDLECARD_CARDS");
    EXPECT_EQ(readCardMap().paths, CardMap{}.paths);
    if (saved) setEnvironmentVariable("BRINDLECARD_CARDS", *saved);
}

} // namespace
} // namespace brc
