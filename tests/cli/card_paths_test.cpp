// The command's own handling of image paths outside the ANSI code page: card create writes the
// image and sidecar where the UTF-8 path says, and a target resolves to that same path, mapped
// to a drive letter in the environment.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "base/environment.h"
#include "base/native_text.h"
#include "cli/arguments.h"
#include "cli/card_files.h"
#include "cli/card_lock.h"
#include "cli/commands.h"
#include "cli/targets.h"
#include "device/card_map.h"
#include "tests/support/cyrillic.h"
#include "tests/support/scratch_dir.h"

namespace brc::cli {
namespace {

namespace fs = std::filesystem;

class CardPaths : public testing::Test {
protected:
    void SetUp() override {
        saved_ = environmentVariable("BRINDLECARD_CARDS");
        unsetEnvironmentVariable("BRINDLECARD_CARDS");
        fs::create_directories(folder_);
    }
    void TearDown() override {
        if (saved_) setEnvironmentVariable("BRINDLECARD_CARDS", *saved_);
        else unsetEnvironmentVariable("BRINDLECARD_CARDS");
    }

    std::optional<std::string> saved_;
    test::ScratchDir dir_{"card-paths"};
    const fs::path folder_ = dir_.path / pathFromUtf8(test::kCyrillicFolder);
    const fs::path image_ = folder_ / pathFromUtf8(test::kCyrillicImage);
};

TEST_F(CardPaths, CardCreateWritesImageAndSidecarAtTheUtf8Path) {
    testing::internal::CaptureStdout();
    const int status = cardCommand({"create", utf8FromPath(image_), "--size", "1M"});
    const std::string said = testing::internal::GetCapturedStdout();
    ASSERT_EQ(status, kExitOk);
    EXPECT_NE(said.find(utf8FromPath(image_)), std::string::npos) << said;
    ASSERT_TRUE(fs::is_regular_file(image_));
    EXPECT_EQ(fs::file_size(image_), uint64_t{1} << 20);
    EXPECT_TRUE(fs::is_regular_file(fs::path(image_).concat(".card")));

    // A second run refuses, naming the path as given; a discarded new file is gone again.
    std::string error;
    CardFile again;
    EXPECT_FALSE(again.open(utf8FromPath(image_), false, error));
    EXPECT_EQ(error, "'" + utf8FromPath(image_) + "' already exists; use --force to replace it");
    const fs::path other = folder_ / pathFromUtf8(std::string(test::kCyrillicImage) + "2");
    CardFile fresh;
    ASSERT_TRUE(fresh.open(utf8FromPath(other), false, error)) << error;
    EXPECT_TRUE(fs::exists(other));
    fresh.discard();
    EXPECT_FALSE(fs::exists(other));
}

TEST_F(CardPaths, AnImageTargetIsMappedByItsUtf8Path) {
    testing::internal::CaptureStdout();
    ASSERT_EQ(cardCommand({"create", utf8FromPath(image_), "--sectors", "2048"}), kExitOk);
    testing::internal::GetCapturedStdout();

    const Target target = resolveTarget(utf8FromPath(image_));
#if defined(_WIN32)
    EXPECT_EQ(target.path, utf8FromPath(fs::absolute(image_).lexically_normal()));
#else
    EXPECT_EQ(target.path, utf8FromPath(fs::canonical(image_)));
#endif
    ASSERT_GE(target.driveNumber, 1u);
    EXPECT_EQ(readCardMap().paths[target.driveNumber - 1], target.path);
    EXPECT_EQ(resolveTarget(utf8FromPath(image_)).driveNumber, target.driveNumber)
        << "mapped a second time";
}

TEST_F(CardPaths, WhatIsNoImageIsNamedForWhatItIs) {
    struct Case {
        fs::path path;
        std::string problem;
    };
    for (const Case& c : {Case{folder_, " is a directory, not an image"},
                          Case{image_, "there is no image at "}}) {
        const std::string path = utf8FromPath(c.path);
        SCOPED_TRACE(path);
        try {
            resolveTarget(path);
            ADD_FAILURE() << "resolved";
        } catch (const UsageError& e) {
            EXPECT_NE(e.message.find(c.problem), std::string::npos) << e.message;
            EXPECT_NE(e.message.find("'" + path + "'"), std::string::npos) << e.message;
        }
    }
}

// Names Windows would turn into another file or into a device. The rule is the same on every
// system; only the Windows build applies it.
TEST(WindowsNames, EndsInADotOrBlankOrAReservedDeviceNameAreNamed) {
    struct Case {
        const char* path;
        const char* problem; // part of the sentence, or empty for a fine name
    };
    const Case cases[] = {
        {"C:\\cards\\x.img", ""},
        {"C:\\cards\\x.img.", "ends in a dot or a blank"},
        {"C:\\cards\\x.img  ", "ends in a dot or a blank"},
        {"x.", "ends in a dot or a blank"},
        {"C:\\cards\\NUL", "reserved device name"},
        {"C:/cards/nul.img", "reserved device name"},
        {"Con", "reserved device name"},
        {"C:prn.x.y", "reserved device name"},
        {"aux .img", "reserved device name"},
        {"D:\\com1", "reserved device name"},
        {"lpt9.card", "reserved device name"},
        {"COM\xC2\xB9", "reserved device name"},
        {"COM0", ""},
        {"LPT10", ""},
        {"NULL.img", ""},
        {"C:\\con\\card.img", ""},
        {"C:\\cards\\.img", ""},
    };
    for (const Case& c : cases) {
        const std::string problem = windowsNameProblem(c.path);
        if (*c.problem == '\0') {
            EXPECT_EQ(problem, "") << c.path;
        } else {
            EXPECT_NE(problem.find(c.problem), std::string::npos) << c.path << ": " << problem;
            EXPECT_EQ(problem.rfind("'" + std::string(c.path) + "'", 0), 0u) << problem;
        }
    }
}

// The lock a format holds on its image for the whole run: a second holder is told, reading
// and writing the image go on, and it is free again once the first lets go.
TEST_F(CardPaths, ACardLockIsHeldAgainstASecondLockOnly) {
    testing::internal::CaptureStdout();
    ASSERT_EQ(cardCommand({"create", utf8FromPath(image_), "--sectors", "8"}), kExitOk);
    testing::internal::GetCapturedStdout();
    {
        const CardFileLock first(utf8FromPath(image_));
        EXPECT_FALSE(first.heldElsewhere());
        EXPECT_TRUE(CardFileLock(utf8FromPath(image_)).heldElsewhere());
        std::fstream image(image_, std::ios::in | std::ios::out | std::ios::binary);
        image.seekp(512) << "written";
        char back[8] = {};
        image.seekg(512).read(back, 7);
        EXPECT_EQ(std::string(back), "written");
    }
    EXPECT_FALSE(CardFileLock(utf8FromPath(image_)).heldElsewhere());
    EXPECT_FALSE(CardFileLock(utf8FromPath(folder_ / "none.img")).heldElsewhere());
}

} // namespace
} // namespace brc::cli
