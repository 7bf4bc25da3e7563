// Runs one overwrite or one flash erase over a fresh sparse virtual card through the real
// route-1 library and prints its wall time and throughput as one line of key=value pairs:
//   overwrite_bench overwrite|erase <image path> <sectors>
// The image is created (sparse) and mapped to E: for the run; it is left in place so the caller
// can inspect or remove it.
#include <chrono>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "app/progress_texts.h"
#include "device/driver_binding.h"
#include "device/system_checks.h"
#include "passes/flash_erase.h"
#include "passes/overwrite.h"
#include "progress/progress.h"
#include "os/os_services.h"

#include <fcntl.h>
#include <unistd.h>

namespace {

// The pass draws a line per chunk; the text is built and dropped, as a window would take it.
class CountingView final : public brc::ProgressView {
public:
    void showStage(const brc::StageProgress& stage) override {
        ++lines;
        last = texts.render(stage);
    }
    void pumpPendingMessages() override {}
    uint64_t lines = 0;
    std::u16string last;
    brc::ProgressTexts texts{brc::builtinMessages()};
};

bool makeSparseImage(const std::string& path, uint64_t bytes) {
    const int fd = ::open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
    if (fd < 0) return false;
    const bool ok = ::ftruncate(fd, static_cast<off_t>(bytes)) == 0;
    return ::close(fd) == 0 && ok;
}

int usage() {
    std::fprintf(stderr, "usage: overwrite_bench overwrite|erase <image> <sectors>\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4) return usage();
    const std::string mode = argv[1], image = argv[2];
    const unsigned long long sectors = std::strtoull(argv[3], nullptr, 10);
    if ((mode != "overwrite" && mode != "erase") || sectors == 0 || sectors > 0xFFFFFFFFull)
        return usage();

    if (!makeSparseImage(image, sectors * 512)) {
        std::fprintf(stderr, "overwrite_bench: cannot create %s: %s\n", image.c_str(),
                     std::strerror(errno));
        return 1;
    }
    ::setenv("BRINDLECARD_CARDS", ("E=" + image).c_str(), 1);

    const std::unique_ptr<brc::OsServices> os = brc::makeSystemOsServices();
    brc::DriverBinding driver(*os);
    if (brc::bindDriver(driver, 1) != brc::BindResult::Bound) {
        std::fprintf(stderr, "overwrite_bench: %s\n", driver.lastError.c_str());
        return 1;
    }
    if (uint32_t rc = brc::openCard(driver, 5)) {
        std::fprintf(stderr, "overwrite_bench: cannot open the card: 0x%x\n", rc);
        return 1;
    }

    brc::SystemState sys(*os);
    brc::queryOsKind(sys);
    brc::RunFlags flags;
    uint32_t status = 0;
    flags.formatStatus = &status;
    CountingView view;
    brc::Progress progress{flags, &view};
    uint32_t elapsedMs = 0;

    const auto start = std::chrono::steady_clock::now();
    const int32_t result =
        mode == "overwrite"
            ? brc::overwriteCard(driver, elapsedMs, progress, *os)
            : brc::eraseFlash(brc::EraseBoundLibrary, 5, 0, static_cast<uint32_t>(sectors),
                              elapsedMs, driver, progress, 0, sys);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    driver.api.DDFini(driver.driverHandle);

    const double megabytes = static_cast<double>(sectors) * 512 / 1e6;
    std::printf("mode=%s sectors=%llu result=%d status=0x%x lines=%" PRIu64
                " seconds=%.3f elapsed_ms=%u mb_per_s=%.1f\n",
                mode.c_str(), sectors, result, status, view.lines, seconds, elapsedMs,
                megabytes / seconds);
    return result == 0 && status == 0 ? 0 : 1;
}
