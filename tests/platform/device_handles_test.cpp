// Descriptors handed over for several block devices: the variable's list is read strictly, each
// device finds its own descriptor, and releasing one leaves the others. The cases on real
// descriptors need two block device nodes this user may open (loop nodes, as root); they are
// skipped without.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "platform/posix/block_volume.h"
#include "platform/posix/device_handles.h"

namespace brc {
namespace {

struct ListRow {
    const char* text;
    std::optional<std::vector<HandedEntry>> entries;
};

TEST(HandedEntries, ListsAreReadWholeOrNotAtAll) {
    using V = std::vector<HandedEntry>;
    const ListRow rows[] = {
        {"", V{}},
        {"9:7:0", V{{9, 7, 0}}},
        {"9:7:0,12:179:8", V{{9, 7, 0}, {12, 179, 8}}},
        {"10:259:65536,11:8:16,12:7:3", V{{10, 259, 65536}, {11, 8, 16}, {12, 7, 3}}},
        // Anything else takes no entry at all, not the ones before the fault.
        {"9:7", std::nullopt},
        {"9:7:0,", std::nullopt},
        {",9:7:0", std::nullopt},
        {"9:7:0;10:7:1", std::nullopt},
        {"9:7:0,,10:7:1", std::nullopt},
        {"9:7:0 ", std::nullopt},
        {" 9:7:0", std::nullopt},
        {"-1:7:0", std::nullopt},
        {"+9:7:0", std::nullopt},
        {"9:7:0:1", std::nullopt},
        {"9::0", std::nullopt},
        {"x:7:0", std::nullopt},
        {"99999999999:7:0", std::nullopt},
        {"2147483648:7:0", std::nullopt},
        {"9:4294967296:0", std::nullopt},
    };
    for (const ListRow& row : rows) {
        EXPECT_EQ(parseHandedEntries(row.text), row.entries) << "'" << row.text << "'";
        if (row.entries) {
            EXPECT_EQ(formatHandedEntries(*row.entries), row.text);
        }
    }
}

// Two block device nodes opened for this test, and the variable put back afterwards.
class HandedDevices : public ::testing::Test {
protected:
    void SetUp() override {
        if (const char* old = std::getenv(kHandedDevicesVariable)) saved_ = old;
        ::unsetenv(kHandedDevicesVariable);
        for (int n = 0; n < 64 && paths_.size() < 2; ++n) {
            const std::string path = "/dev/loop" + std::to_string(n);
            const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
            if (fd < 0) continue;
            paths_.push_back(path);
            fds_.push_back(fd);
        }
        if (paths_.size() < 2) GTEST_SKIP() << "no two block device nodes this user may open";
    }
    void TearDown() override {
        for (const int fd : fds_)
            if (fd >= 0) ::close(fd);
        if (saved_) ::setenv(kHandedDevicesVariable, saved_->c_str(), 1);
        else ::unsetenv(kHandedDevicesVariable);
    }
    static bool sameFile(int a, int b) {
        struct stat sa {}, sb {};
        return ::fstat(a, &sa) == 0 && ::fstat(b, &sb) == 0 && sa.st_rdev == sb.st_rdev;
    }
    std::vector<std::string> paths_;
    std::vector<int> fds_;
    std::optional<std::string> saved_;
};

TEST_F(HandedDevices, EachDeviceFindsItsOwnDescriptorUntilReleased) {
    ASSERT_TRUE(handOverDevice(fds_[0]));
    ASSERT_TRUE(handOverDevice(fds_[1]));
    EXPECT_EQ(handedDescriptor(paths_[0]), fds_[0]);
    EXPECT_EQ(handedDescriptor(paths_[1]), fds_[1]);
    EXPECT_EQ(handedDevices().size(), 2u);

    // A copy of the right descriptor, whatever the node would say.
    const int copy = openBlockDevice(paths_[1], O_RDONLY | O_CLOEXEC);
    ASSERT_GE(copy, 0);
    EXPECT_NE(copy, fds_[1]);
    EXPECT_TRUE(sameFile(copy, fds_[1]));
    ::close(copy);

    releaseHandedDevice(paths_[0]);
    EXPECT_LT(::fcntl(fds_[0], F_GETFD), 0) << "the released descriptor is still open";
    fds_[0] = -1;
    EXPECT_EQ(handedDescriptor(paths_[0]), -1);
    EXPECT_EQ(handedDescriptor(paths_[1]), fds_[1]);
    ASSERT_EQ(handedDevices().size(), 1u);
    EXPECT_EQ(handedDevices()[0].fd, fds_[1]);

    releaseHandedDevices();
    EXPECT_LT(::fcntl(fds_[1], F_GETFD), 0);
    fds_[1] = -1;
    EXPECT_EQ(std::getenv(kHandedDevicesVariable), nullptr);
}

TEST_F(HandedDevices, ANewDescriptorForTheSameDeviceReplacesTheEntry) {
    ASSERT_TRUE(handOverDevice(fds_[0]));
    const int again = ::fcntl(fds_[0], F_DUPFD_CLOEXEC, 20);
    ASSERT_GE(again, 0);
    fds_.push_back(again);
    ASSERT_TRUE(handOverDevice(again));
    ASSERT_EQ(handedDevices().size(), 1u);
    EXPECT_EQ(handedDescriptor(paths_[0]), again);
}

TEST_F(HandedDevices, AnEntryWhoseDescriptorNoLongerIsThatDeviceIsPassedOver) {
    ASSERT_TRUE(handOverDevice(fds_[0]));
    ASSERT_TRUE(handOverDevice(fds_[1]));
    // The first descriptor number now stands for the second device: a process that inherited
    // the variable but not the descriptors must not write to the wrong card.
    ASSERT_EQ(::dup2(fds_[1], fds_[0]), fds_[0]);
    EXPECT_EQ(handedDescriptor(paths_[0]), -1);
    EXPECT_EQ(handedDescriptor(paths_[1]), fds_[1]);
    ::close(fds_[0]);
    fds_[0] = -1;
    EXPECT_EQ(handedDevices().size(), 1u);
}

TEST(HandedDevice, OnlyABlockDeviceIsHandedOver) {
    const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_FALSE(handOverDevice(fd));
    ::close(fd);
}

} // namespace
} // namespace brc

namespace brc {
namespace {

// After a run the kernel is asked to read the card's new partition table. A card whose reader
// went away is told once, as gone, by the run's own cause: the ask says nothing of its own then;
// any other failure is said.
TEST(PartitionTableReread, AGoneCardAddsNoSentence) {
    std::string error = "untouched";
    EXPECT_FALSE(rereadPartitionTable("/dev/brindlecard-no-such-card", error));
    EXPECT_EQ(error, "");
    // Not a disk at all: the kernel refuses, and that is said.
    EXPECT_FALSE(rereadPartitionTable("/dev/null", error));
    EXPECT_NE(error.find("the kernel did not re-read the partition table of /dev/null"), std::string::npos) << error;
}

} // namespace
} // namespace brc
