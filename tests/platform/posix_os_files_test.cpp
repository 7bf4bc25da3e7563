// The Linux OS services when a mapped card or the mutex's lock file is not a plain file: a FIFO
// or a character device is no card, and neither it nor a FIFO lock file may block the program.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>

#include "platform/posix/posix_os.h"
#include "tests/support/fifo_watch.h"
#include "tests/support/scratch_dir.h"

using namespace brc;
using brc::test::blockedOnFifo;

namespace {

TEST(PosixOsFiles, AMappedFifoOrCharacterDeviceIsNoCard) {
    brc::test::ScratchDir dir("posix-files");
    const std::string fifo = (dir.path / "card.img").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path : {fifo, std::string("/dev/zero")}) {
        SCOPED_TRACE(path);
        ::setenv("BRINDLECARD_CARDS", ("E=" + path).c_str(), 1);
        auto os = makePosixOsServices(path);
        std::vector<std::pair<bool, uint32_t>> results;  // each call's answer and lastError
        const auto answer = [&](bool ok) { results.emplace_back(ok, os->lastError()); };
        EXPECT_FALSE(blockedOnFifo({fifo}, [&] {
            VolumeInfo info;
            ClusterSpace space;
            answer(os->volumeInfo(u"E:\\", info));
            answer(os->clusterSpace(u"E:\\", space));
            answer(os->setVolumeLabel(u"E:\\", u"X"));
            void* volume = os->openVolume(u'E');
            answer(volume != nullptr);
            if (volume) os->closeVolume(volume);
            results.emplace_back(os->mayOpenCard(), kErrorNotReady);
        })) << "an open waited on the FIFO";
        EXPECT_EQ(results, (std::vector<std::pair<bool, uint32_t>>(5, {false, kErrorNotReady})));
    }
    ::unsetenv("BRINDLECARD_CARDS");
}

TEST(PosixOsFiles, AFifoInPlaceOfTheMutexLockFileIsRefused) {
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
    ::unsetenv("XDG_RUNTIME_DIR");
}

} // namespace
