#include <gtest/gtest.h>

#include "device/card_map.h"

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

} // namespace
} // namespace brc
