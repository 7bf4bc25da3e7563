// The Linux OS services when a mapped card or the mutex's lock file is not a plain file: a FIFO
// or a character device is no card, and neither it nor a FIFO lock file may block the program.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>

#include "platform/posix/posix_os.h"
#include "tests/support/fifo_watch.h"
#include "tests/support/scratch_dir.h"

using namespace brc;
namespace fs = std::filesystem;
using brc::test::blockedOnFifo;

namespace {

// Restores an environment variable on the way out.
struct SavedVariable {
    const char* name;
    std::optional<std::string> value;
    explicit SavedVariable(const char* n) : name(n) {
        if (const char* v = std::getenv(n)) value = v;
    }
    ~SavedVariable() { value ? ::setenv(name, value->c_str(), 1) : ::unsetenv(name); }
};

TEST(PosixOsFiles, AMappedFifoOrCharacterDeviceIsNoCard) {
    SavedVariable cards("BRINDLECARD_CARDS");
    brc::test::ScratchDir dir("posix-files");
    const std::string fifo = (dir.path / "card.img").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path : {fifo, std::string("/dev/zero")}) {
        SCOPED_TRACE(path);
        ::setenv("BRINDLECARD_CARDS", ("E=" + path).c_str(), 1);
        auto os = makePosixOsServices(path);
        VolumeInformation info;
        DiskFreeSpace space;
        void* volume = nullptr;
        bool pipe = true, infoOk = true, spaceOk = true, labelOk = true;
        uint32_t infoError = 0, spaceError = 0, labelError = 0, volumeError = 0;
        EXPECT_FALSE(blockedOnFifo({fifo}, [&] {
            pipe = os->pipeOpens(u"\\\\.\\pipe\\x");
            infoOk = os->volumeInformation(u"E:\\", info);
            infoError = os->lastError();
            spaceOk = os->diskFreeSpace(u"E:\\", space);
            spaceError = os->lastError();
            labelOk = os->setVolumeLabel(u"E:\\", u"X");
            labelError = os->lastError();
            volume = os->openVolume(u'E');
            volumeError = os->lastError();
        })) << "an open waited on the FIFO";
        EXPECT_FALSE(pipe);
        EXPECT_FALSE(infoOk);
        EXPECT_EQ(infoError, kErrorNotReady);
        EXPECT_FALSE(spaceOk);
        EXPECT_EQ(spaceError, kErrorNotReady);
        EXPECT_FALSE(labelOk);
        EXPECT_EQ(labelError, kErrorNotReady);
        EXPECT_EQ(volume, nullptr);
        EXPECT_EQ(volumeError, kErrorNotReady);
        if (volume) os->closeVolume(volume);
    }
}

TEST(PosixOsFiles, AFifoInPlaceOfTheMutexLockFileIsRefused) {
    SavedVariable runtime("XDG_RUNTIME_DIR");
    brc::test::ScratchDir dir("posix-lock");
    ::setenv("XDG_RUNTIME_DIR", dir.path.c_str(), 1);
    const std::string lock = (dir.path / "Brindlecard-test.lock").string();
    ASSERT_EQ(::mkfifo(lock.c_str(), 0644), 0);
    auto os = makePosixOsServices();
    void* mutex = nullptr;
    bool existed = true;
    EXPECT_FALSE(blockedOnFifo({lock}, [&] { mutex = os->createNamedMutex(u"Brindlecard-test", existed); }))
        << "the lock file's open waited on the FIFO";
    EXPECT_EQ(mutex, nullptr);
    EXPECT_EQ(os->lastError(), 5u);  // ERROR_ACCESS_DENIED
    if (mutex) os->releaseNamedMutex(mutex);
}

} // namespace
