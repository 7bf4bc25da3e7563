// The Windows OS services: letters mapped in BRINDLECARD_CARDS appear as removable drives
// holding their images, answered from the image's own file system, and image paths outside
// the ANSI code page (Cyrillic) work as UTF-8 everywhere.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "base/environment.h"
#include "base/native_text.h"
#include "device/driver_binding.h"
#include "platform/win32/win32_os.h"
#include "tests/format/format_rig.h"
#include "tests/support/cyrillic.h"
#include "tests/support/scratch_dir.h"

namespace brc {
namespace {

namespace fs = std::filesystem;

constexpr uint32_t kCardSectors = 131072;  // 64 MiB: FAT16

// The folder of this test program, where the driver libraries are built.
fs::path programFolder() {
    wchar_t name[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, name, MAX_PATH);
    return fs::path(name).parent_path();
}

// A freshly formatted card labelled `label`, written out as a sparse image.
void writeFormattedImage(const fs::path& image, const std::u16string& label) {
    format_test::FakeRig rig(kCardSectors, 0);
    std::u16string text = label;
    ASSERT_EQ(formatVolume(rig.ctx, text, false), SuccessReinsertCard);
    ASSERT_TRUE(rig.card.writeImage(image, 0, kCardSectors));
}

class Win32Os : public testing::Test {
protected:
    void SetUp() override { saved_ = environmentVariable("BRINDLECARD_CARDS"); }
    void TearDown() override {
        if (saved_) setEnvironmentVariable("BRINDLECARD_CARDS", *saved_);
        else unsetEnvironmentVariable("BRINDLECARD_CARDS");
    }

    test::ScratchDir dir_{"win32-os"};
    std::unique_ptr<OsServices> os_ = makeWin32OsServices();

private:
    std::optional<std::string> saved_;
};

// The erase's own instance of the route-1 library comes from the program's folder, where the
// build and the package put the driver libraries; it loads from the path that is named.
TEST_F(Win32Os, DriverLibrariesAreInTheProgramsFolder) {
    const std::string folder = os_->driverLibraryFolder();
    EXPECT_EQ(pathFromUtf8(folder), programFolder());
    void* loaded = os_->loadLibrary(driverPathIn(folder, 1, false));
    ASSERT_NE(loaded, nullptr) << "error " << os_->lastError();
    EXPECT_NE(os_->libraryProc(loaded, "DDErase"), nullptr);
    os_->freeLibrary(loaded);
}

// Group membership as CheckTokenMembership answers it.
TEST_F(Win32Os, TokenMembershipIsAnsweredForWellFormedSidsOnly) {
    bool member = false;
    ASSERT_TRUE(os_->isInGroup("S-1-1-0", member)); // Everyone
    EXPECT_TRUE(member);
    ASSERT_TRUE(os_->isInGroup("S-1-5-21-1-2-3-1000", member)); // a user of no domain here
    EXPECT_FALSE(member);
    EXPECT_FALSE(os_->isInGroup("Administrators", member));
}

// The programs' start-up: no system error box for an empty drive, and what the process inherited
// kept. The mode is the process's own, read back from the system.
TEST(Win32Start, CriticalErrorsComeBackAsErrorsAndInheritedModeBitsStay) {
    const UINT before = SetErrorMode(0);
    for (const UINT inherited : {0u, UINT{SEM_NOOPENFILEERRORBOX}}) {
        SetErrorMode(inherited);
        prepareWin32Process();
        const UINT mode = SetErrorMode(before);
        EXPECT_EQ(mode, inherited | SEM_FAILCRITICALERRORS) << inherited;
    }
}

// Q: holds a formatted card, R: names an image that is gone; both are drives of their own.
TEST_F(Win32Os, MappedLettersAreRemovableDrivesAnsweredFromTheirImages) {
    const fs::path image = dir_.path / "card.img";
    writeFormattedImage(image, u"WINECARD");
    setEnvironmentVariable("BRINDLECARD_CARDS", "Q=" + utf8FromPath(image) + ";R=" +
                                                    utf8FromPath(dir_.path / "gone.img"));

    const std::vector<std::u16string> roots = os_->driveRoots();
    for (const char16_t* root : {u"Q:\\", u"R:\\"}) {
        SCOPED_TRACE(utf16ToUtf8(root));
        EXPECT_NE(std::find(roots.begin(), roots.end(), root), roots.end());
        EXPECT_EQ(os_->driveType(root), DriveRemovable);
    }
    EXPECT_TRUE(std::is_sorted(roots.begin(), roots.end()));

    VolumeInfo info;
    ASSERT_TRUE(os_->volumeInfo(u"Q:\\", info)) << os_->lastError();
    EXPECT_EQ(info.label, u"WINECARD");
    EXPECT_EQ(info.fileSystem, u"FAT");
    ClusterSpace space;
    ASSERT_TRUE(os_->clusterSpace(u"Q:\\", space));
    EXPECT_GT(space.totalClusters, 0u);

    struct Gone {
        const char* call;
        bool answered;
    };
    VolumeInfo none;
    ClusterSpace noSpace;
    for (const Gone& g : {Gone{"volumeInfo", os_->volumeInfo(u"R:\\", none)},
                          Gone{"clusterSpace", os_->clusterSpace(u"R:\\", noSpace)},
                          Gone{"setVolumeLabel", os_->setVolumeLabel(u"R:\\", u"X")}}) {
        SCOPED_TRACE(g.call);
        EXPECT_FALSE(g.answered);
        EXPECT_EQ(os_->lastError(), kErrorNotReady);
    }
}

// An image in a Cyrillic folder, mapped in UTF-8: the volume calls reach it, its label can be
// changed, the letter reads as a link to it, and a library beside it loads by its UTF-8 path.
TEST_F(Win32Os, CyrillicImagePathsWork) {
    const fs::path folder = dir_.path / pathFromUtf8(test::kCyrillicFolder);
    fs::create_directories(folder);
    const fs::path image = folder / pathFromUtf8(test::kCyrillicImage);
    writeFormattedImage(image, u"CYRILLIC");
    const std::string path = utf8FromPath(image);
    setEnvironmentVariable("BRINDLECARD_CARDS", "K=" + path);

    EXPECT_EQ(os_->driveDevicePath(u'K'), u"\\??\\" + utf8ToUtf16(path));
    VolumeInfo info;
    ASSERT_TRUE(os_->volumeInfo(u"K:\\", info)) << "error " << os_->lastError();
    EXPECT_EQ(info.label, u"CYRILLIC");
    ASSERT_TRUE(os_->setVolumeLabel(u"K:\\", u"RENAMED")) << "error " << os_->lastError();
    ASSERT_TRUE(os_->volumeInfo(u"K:\\", info));
    EXPECT_EQ(info.label, u"RENAMED");

    const fs::path library = folder / "quillhost.dll";
    fs::copy_file(programFolder() / "quillhost.dll", library);
    void* loaded = os_->loadLibrary(utf8FromPath(library));
    ASSERT_NE(loaded, nullptr) << "error " << os_->lastError();
    EXPECT_NE(os_->libraryProc(loaded, "DDSysInit"), nullptr);
    os_->freeLibrary(loaded);
}

// The control file of the reader the suite hangs, replaced at once as the fault file reads it.
void setReaderFaults(const std::string& control, const char* text) {
    const fs::path path = pathFromUtf8(control);
    const fs::path next = path.wstring() + L".new";
    std::FILE* out = _wfopen(next.c_str(), L"wb");
    ASSERT_NE(out, nullptr);
    std::fputs(text, out);
    std::fclose(out);
    ASSERT_TRUE(MoveFileExW(next.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING));
}

// True once `query` succeeds, tried for a few seconds: the reader's worker is back.
template <class Query>
bool answersAgain(Query query) {
    for (int i = 0; i < 100; ++i) {
        if (query()) return true;
        Sleep(50);
    }
    return false;
}

// A card reader that hangs: BRC_TEST_HUNG_ROOT is a drive whose free-space queries wait while
// the control file BRC_TEST_HUNG_CONTROL says hang_statfs (tests/platform/hung_volume.sh serves
// one over FUSE; skipped without it). Each query comes back after its 5 s with ERROR_TIMEOUT,
// and while it is out the drive's other queries fail at once the same way.
TEST_F(Win32Os, VolumeQueriesOfAReaderThatHangsFailWithATimeout) {
    const std::optional<std::string> root = environmentVariable("BRC_TEST_HUNG_ROOT");
    const std::optional<std::string> control = environmentVariable("BRC_TEST_HUNG_CONTROL");
    if (!root || !control) GTEST_SKIP() << "no hung reader (tests/platform/hung_volume.sh)";
    const std::u16string rootPath = utf8ToUtf16(*root);
    // Wine's server asks a file system about itself the first time it meets it, inside the
    // server: the drive is met, and held, before it hangs, or Wine itself would wait.
    const HANDLE held =
        CreateFileW(wideFromUtf8(*root).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE) << GetLastError();
    uint64_t freeBytes = 0, totalBytes = 0;
    ClusterSpace space;
    VolumeInfo info;
    ASSERT_TRUE(os_->freeSpace(rootPath, freeBytes, totalBytes)) << os_->lastError();

    const auto givenUpWithin = [&](const char* what, DWORD lowMs, DWORD highMs, auto query) {
        const DWORD start = GetTickCount();
        EXPECT_FALSE(query()) << what;
        const DWORD took = GetTickCount() - start;
        EXPECT_EQ(os_->lastError(), static_cast<uint32_t>(ERROR_TIMEOUT)) << what;
        EXPECT_GE(took, lowMs) << what;
        EXPECT_LT(took, highMs) << what;
    };
    const auto ex = [&] { return os_->freeSpace(rootPath, freeBytes, totalBytes); };
    const auto clusters = [&] { return os_->clusterSpace(rootPath, space); };
    const auto volume = [&] { return os_->volumeInfo(rootPath, info); };

    setReaderFaults(*control, "hang_statfs\n");
    givenUpWithin("free bytes", 4900, 7000, ex);
    givenUpWithin("clusters, while the first is out", 0, 500, clusters);
    givenUpWithin("volume, while the first is out", 0, 500, volume);
    setReaderFaults(*control, "\n");
    EXPECT_TRUE(answersAgain(clusters)) << "the drive stays given up on";

    setReaderFaults(*control, "hang_statfs\n");
    givenUpWithin("clusters", 4900, 7000, clusters);
    setReaderFaults(*control, "\n");
    EXPECT_TRUE(answersAgain(ex)) << "the drive stays given up on";
    CloseHandle(held);
}

} // namespace
} // namespace brc
