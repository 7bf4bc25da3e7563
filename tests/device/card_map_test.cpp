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
