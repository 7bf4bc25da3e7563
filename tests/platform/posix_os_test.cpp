// The Linux OS services: the answers the system checks rely on, the named mutex across
// processes, the drive map behind the volume calls, the library loader and the locale.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <thread>

#include "device/driver_binding.h"
#include "platform/posix/posix_os.h"
#include "platform/virtual_volume.h"

using namespace brc;
namespace fs = std::filesystem;

namespace {

// Runs `fn` in a child process, as `uid` when one is given; its result is the exit code.
int inChild(const std::function<int()>& fn, std::optional<uid_t> uid = std::nullopt) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (uid && (::setgid(*uid) != 0 || ::setuid(*uid) != 0)) ::_exit(99);
        ::_exit(fn());
    }
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

std::string shell(const std::string& command) {
    std::string out;
    if (FILE* pipe = ::popen((command + " 2>&1").c_str(), "r")) {
        char chunk[256];
        while (size_t n = std::fread(chunk, 1, sizeof chunk, pipe)) out.append(chunk, n);
        ::pclose(pipe);
    }
    return out;
}

class PosixOs : public testing::Test {
protected:
    void SetUp() override {
        for (const char* name : {"BRINDLECARD_CARDS", "LANG", "LC_ALL", "LC_MESSAGES",
                                 "XDG_RUNTIME_DIR"})
            saved_.emplace_back(name, std::getenv(name) ? std::getenv(name) : std::optional<std::string>());
        fs::create_directories(dir_);
        ::chmod(dir_.c_str(), 0755);  // other users may reach the files inside
    }
    void TearDown() override {
        for (const auto& [name, value] : saved_) setOrUnset(name, value ? value->c_str() : nullptr);
        fs::remove_all(dir_);
    }
    static void setOrUnset(const char* name, const char* value) {
        value ? ::setenv(name, value, 1) : ::unsetenv(name);
    }
    fs::path file(const char* name, size_t bytes, mode_t mode = 0644) {
        const fs::path p = dir_ / name;
        std::ofstream(p, std::ios::binary).write(std::string(bytes, '\0').data(),
                                                 static_cast<long>(bytes));
        ::chmod(p.c_str(), mode);
        return p;
    }

    std::vector<std::pair<const char*, std::optional<std::string>>> saved_;
    fs::path dir_ = fs::temp_directory_path() / ("brc_posix_" + std::to_string(::getpid()));
};

// Linux answers as itself: no Windows version and no token groups. Root is the superuser;
// anyone else may open the card exactly when the target opens for reading and writing, or,
// with no target, when the drive map can be read.
TEST_F(PosixOs, SystemChecksSeeThePosixRights) {
    const auto os = makePosixOsServices(file("root.img", 512, 0600));
    EXPECT_EQ(os->systemFamily(), SystemFamily::Posix);
    OsVersion v;
    bool member = false;
    EXPECT_FALSE(os->systemVersion(v));
    EXPECT_FALSE(os->isInGroup("S-1-5-32-544", member));
    EXPECT_EQ(os->isSuperuser(), ::geteuid() == 0);
    EXPECT_TRUE(os->mayOpenCard());
    if (::geteuid() != 0) GTEST_SKIP() << "the other users' cases need root to switch user";

    struct Case {
        const char* name;
        std::optional<mode_t> target;  // none: no target
        const char* cards;
        bool mayOpen;
    };
    const Case cases[] = {
        {"private target", 0600, "", false},
        {"read-only target", 0644, "", false},
        {"shared target", 0666, "", true},
        {"no target", std::nullopt, "E=/dev/null", true},
        {"no target, bad map", std::nullopt, "E=relative", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ::setenv("BRINDLECARD_CARDS", c.cards, 1);
        const std::string target = c.target ? file("card.img", 512, *c.target).string() : "";
        const int result = inChild(
            [&] {
                auto user = makePosixOsServices(target);
                return (!user->isSuperuser() ? 0 : 1) | (user->mayOpenCard() == c.mayOpen ? 0 : 2);
            },
            65534);
        EXPECT_EQ(result, 0);
    }
}

TEST_F(PosixOs, NamedMutexIsHeldAcrossProcesses) {
    ::setenv("XDG_RUNTIME_DIR", dir_.c_str(), 1);
    auto os = makePosixOsServices();
    const auto tryInChild = [] {
        return inChild([] {
            auto other = makePosixOsServices();
            bool existed = false;
            void* m = other->createNamedMutex(u"BRC TEST/1", existed);
            other->releaseNamedMutex(m);
            return m == nullptr ? 2 : existed ? 1 : 0;
        });
    };
    bool existed = true;
    void* held = os->createNamedMutex(u"BRC TEST/1", existed);
    ASSERT_NE(held, nullptr);
    EXPECT_FALSE(existed);
    EXPECT_TRUE(fs::exists(dir_ / "BRC_TEST_1.lock"));
    EXPECT_EQ(tryInChild(), 1);

    void* again = os->createNamedMutex(u"BRC TEST/1", existed);
    EXPECT_NE(again, nullptr);
    EXPECT_TRUE(existed);
    EXPECT_EQ(os->lastError(), 183u);
    os->releaseNamedMutex(again);  // a handle that does not own it leaves the owner's lock
    EXPECT_EQ(tryInChild(), 1);

    os->releaseNamedMutex(held);
    EXPECT_EQ(tryInChild(), 0);
}

TEST_F(PosixOs, DriveLettersComeFromTheCardMap) {
    const fs::path image = file("card.img", 1 << 20), missing = dir_ / "gone.img";
    ::setenv("BRINDLECARD_CARDS", ("E=" + image.string() + ";F=" + missing.string()).c_str(), 1);
    auto os = makePosixOsServices();

    void* volume = os->openVolume(u'e');
    ASSERT_NE(volume, nullptr);
    for (VolumeRequest r : {VolumeRequest::Lock, VolumeRequest::Dismount, VolumeRequest::Unlock})
        EXPECT_TRUE(os->volumeRequest(volume, r));
    os->closeVolume(volume);

    struct Failing {
        char16_t letter;
        uint32_t openError, infoError;
    };
    // F: mapped but missing (not ready), G: unmapped, E: holds no file system.
    for (const Failing& f : {Failing{u'F', 21, 21}, Failing{u'G', 2, 3}, Failing{u'E', 0, 1005}}) {
        SCOPED_TRACE(static_cast<char>(f.letter));
        if (f.openError) {
            EXPECT_EQ(os->openVolume(f.letter), nullptr);
            EXPECT_EQ(os->lastError(), f.openError);
        }
        const std::u16string root{f.letter, u':', u'\\'};
        VolumeInfo info;
        EXPECT_FALSE(os->volumeInfo(root, info));
        EXPECT_EQ(os->lastError(), f.infoError);
        ClusterSpace space;
        EXPECT_FALSE(os->clusterSpace(root, space));
        EXPECT_EQ(os->lastError(), f.infoError);
        EXPECT_FALSE(os->setVolumeLabel(root, u"X"));
        EXPECT_EQ(os->lastError(), f.infoError);
    }

    EXPECT_EQ(os->driveDevicePath(u'E'), utf8ToUtf16(image.string()));
    EXPECT_EQ(os->driveDevicePath(u'G'), std::nullopt);
    EXPECT_EQ(os->driveRoots(), (std::vector<std::u16string>{u"E:\\", u"F:\\"}));
    EXPECT_EQ(os->driveType(u"E:\\"), DriveRemovable);
    EXPECT_EQ(os->driveType(u"F:\\"), DriveRemovable);
    EXPECT_EQ(os->driveType(u"G:\\"), DriveNoRootDir);

    ::setenv("BRINDLECARD_CARDS", "E=relative.img", 1);
    EXPECT_TRUE(os->driveRoots().empty());
    EXPECT_EQ(os->openVolume(u'E'), nullptr);
}

// The volume calls read and write the mapped image file itself.
TEST_F(PosixOs, VolumeCallsServeTheMappedImage) {
    if (::access("/usr/sbin/mkfs.fat", X_OK) != 0 || ::access("/usr/bin/mlabel", X_OK) != 0)
        GTEST_SKIP() << "mkfs.fat or mtools missing";
    const fs::path image = dir_ / "fat.img";
    shell("/usr/sbin/mkfs.fat -C -F 12 -n POSIX -i 0BADCAFE " + image.string() + " 8192");
    ::setenv("BRINDLECARD_CARDS", ("K=" + image.string()).c_str(), 1);
    auto os = makePosixOsServices();

    VolumeInfo info;
    ASSERT_TRUE(os->volumeInfo(u"K:\\", info));
    EXPECT_EQ(info.label, u"POSIX");
    EXPECT_EQ(info.serial, 0x0BADCAFEu);
    EXPECT_EQ(info.fileSystem, u"FAT");

    ClusterSpace space;
    uint64_t freeBytes = 0, totalBytes = 0;
    ASSERT_TRUE(os->clusterSpace(u"K:\\", space));
    ASSERT_TRUE(os->freeSpace(u"K:\\", freeBytes, totalBytes));
    const uint64_t cluster = uint64_t{space.sectorsPerCluster} * space.bytesPerSector;
    EXPECT_EQ(freeBytes, cluster * space.freeClusters);
    EXPECT_EQ(totalBytes, cluster * space.totalClusters);
    EXPECT_EQ(space.freeClusters, space.totalClusters);  // fresh FAT12: its root is not in the heap
    EXPECT_GT(space.totalClusters, 4000u);

    EXPECT_TRUE(os->setVolumeLabel(u"K:\\", u"renamed"));
    EXPECT_NE(shell("/usr/bin/mlabel -s -i " + image.string() + " ::").find("RENAMED"),
              std::string::npos);
    EXPECT_FALSE(os->setVolumeLabel(u"K:\\", u"bad*"));
    EXPECT_EQ(os->lastError(), kErrorInvalidName);
}

TEST_F(PosixOs, LoadsDriverLibrariesBesideTheProgram) {
    auto os = makePosixOsServices();
    char exe[PATH_MAX] = {};
    ASSERT_GT(::readlink("/proc/self/exe", exe, sizeof exe - 1), 0);
    const std::string dir = fs::path(exe).parent_path().string();
    EXPECT_EQ(os->driverLibraryFolder(), dir);
    EXPECT_EQ(driverPathIn(os->driverLibraryFolder(), 1, false), dir + "/quillhost.so");

    // Not on the loader's search path: found only because it lies beside the program.
    void* library = os->loadLibrary("quillhost.so");
    ASSERT_NE(library, nullptr);
    EXPECT_NE(os->libraryProc(library, "DDSysInit"), nullptr);
    EXPECT_EQ(os->libraryProc(library, "SD_W2k_DDSysInit"), nullptr);
    EXPECT_EQ(os->lastError(), 127u);
    os->freeLibrary(library);

    library = os->loadLibrary(driverPathIn(os->driverLibraryFolder(), 1, false));
    EXPECT_NE(library, nullptr);
    os->freeLibrary(library);
    library = os->loadLibrary("libc.so.6");  // the loader's search path
    EXPECT_NE(library, nullptr);
    os->freeLibrary(library);
    EXPECT_EQ(os->loadLibrary("brc-no-such-library.so"), nullptr);
    EXPECT_EQ(os->lastError(), 126u);
}

TEST_F(PosixOs, UiLanguageFollowsTheLocale) {
    struct Case {
        const char *all, *messages, *lang;
        uint16_t langId;
    };
    const Case cases[] = {
        {nullptr, nullptr, "ru_RU.UTF-8", 0x0419}, {nullptr, nullptr, "ja_JP.UTF-8", 0x0411},
        {nullptr, nullptr, "zh_CN.UTF-8", 0x0804}, {nullptr, nullptr, "zh_TW.UTF-8", 0x0404},
        {nullptr, nullptr, "de_DE.UTF-8", 0x0409}, {nullptr, nullptr, nullptr, 0x0409},
        {"ja_JP.UTF-8", "ru_RU", "ru_RU", 0x0411}, {"", "zh_TW", "ru_RU", 0x0404},
    };
    auto os = makePosixOsServices();
    for (const Case& c : cases) {
        setOrUnset("LC_ALL", c.all);
        setOrUnset("LC_MESSAGES", c.messages);
        setOrUnset("LANG", c.lang);
        EXPECT_EQ(os->uiLanguage(false), c.langId) << (c.lang ? c.lang : "(unset)");
    }
}

TEST_F(PosixOs, ClockAndCodePage) {
    ::setenv("LC_ALL", "C", 1);  // the locale picks the code page
    auto os = makePosixOsServices();
    const uint32_t before = os->milliseconds();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const uint32_t elapsed = os->milliseconds() - before;
    EXPECT_GE(elapsed, 50u);
    EXPECT_LT(elapsed, 5000u);

    const LocalTime t = os->localTime();
    const time_t now = std::time(nullptr);
    std::tm tm{};
    ::localtime_r(&now, &tm);
    EXPECT_EQ(t.year * 10000 + t.month * 100 + t.day,
              (tm.tm_year + 1900) * 10000 + (tm.tm_mon + 1) * 100 + tm.tm_mday);
    EXPECT_EQ(os->oemCodePage().encode(u"é", 11), "\x82");
}

} // namespace
