#include "passes/overwrite.h"

#include <cstring>
#include <memory>
#include <new>

#include "device/driver_binding.h"
#include "base/format_types.h"
#include "engine/layout.h"
#include "progress/progress.h"
#include "os/os_services.h"

namespace brc {
namespace {

void drawCounts(Progress& progress, uint64_t percent, uint64_t done, uint64_t total) {
    reportStage(progress, {ProgressStage::Overwrite, StageState::Running, done, total,
                           static_cast<uint32_t>(percent)});
}

// A suspend counts as a cancel; true when the pass is to stop.
bool cancelSeen(RunFlags& flags) {
    if (flags.powerAbort) flags.cancelRequested = 1;
    return flags.cancelRequested == 1;
}

void drawCancel(Progress& progress) {
    reportStage(progress, {ProgressStage::Overwrite, StageState::Cancelled});
    progress.flags.orStatus(StatusOverwriteCancelled);
}

} // namespace

int32_t overwriteCard(DriverBinding& driver, uint32_t& elapsedMs, Progress& progress,
                      OsServices& os) {
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[kOverwriteBufferBytes]);
    if (!buffer) return OutOfMemory;
    std::memset(buffer.get(), 0xFF, kOverwriteBufferBytes);

    CardCapacity capacity;
    if (uint32_t rc = readCardCapacity(driver, capacity)) return static_cast<int32_t>(rc);
    uint32_t userSectors = 0;
    FormatParameters params{};
    if (uint32_t rc = computeCapacity(capacity, userSectors, params, false))
        return static_cast<int32_t>(rc);
    // A table without the transfer operations is no card to write to.
    if (driver.api.DDReadPT == nullptr || driver.api.DDWritePT == nullptr) return 1;

    const uint64_t total = userSectors;
    const uint64_t fullChunks = total / kOverwriteChunkSectors;
    const uint32_t remainder = static_cast<uint32_t>(total % kOverwriteChunkSectors);
    const uint64_t steps = fullChunks + (remainder > 0 ? 1 : 0);
    // An empty user area has nothing left to do: it is complete, not a division by zero.
    auto percentOf = [steps](uint64_t chunks) { return steps ? chunks * 100 / steps : 100; };

    RunFlags& flags = progress.flags;
    const bool drawing = progress.view != nullptr;
    const uint32_t handle = driver.driverHandle;
    const uint32_t startTick = os.tickCount();
    flags.cancelRequested = 0;
    uint64_t chunksWritten = 0;

    for (uint64_t i = 0; i < fullChunks; ++i) {
        if (i == 0) {
            // The first chunk carries sector 0 back unchanged; a failed read leaves 0xFF.
            driver.api.DDReadPT(buffer.get(), 1, 0, handle);
        } else if (i == 1) {
            std::memset(buffer.get(), 0xFF, kOverwriteBufferBytes);
        }
        const uint32_t first = static_cast<uint32_t>(i * kOverwriteChunkSectors);
        if (uint32_t rc = driver.api.DDWritePT(buffer.get(), kOverwriteChunkSectors, first, handle)) {
            flags.orStatus(StatusWriteFailed);
            return static_cast<int32_t>(rc);
        }
        ++chunksWritten;
        if (drawing) {
            drawCounts(progress, percentOf(i + 1), (i + 1) * kOverwriteChunkSectors, total);
            if (cancelSeen(flags)) {
                drawCancel(progress);
                break;
            }
        }
    }

    if (remainder > 0) {
        if (cancelSeen(flags)) {
            if (drawing) drawCancel(progress);
        } else {
            // On a card smaller than one chunk this is the only write: it must carry sector 0 too.
            if (fullChunks == 0) driver.api.DDReadPT(buffer.get(), 1, 0, handle);
            const uint32_t first = static_cast<uint32_t>(fullChunks * kOverwriteChunkSectors);
            if (uint32_t rc = driver.api.DDWritePT(buffer.get(), remainder, first, handle)) {
                flags.orStatus(StatusWriteFailed);
                return static_cast<int32_t>(rc);
            }
            ++chunksWritten;
            if (drawing) drawCounts(progress, percentOf(chunksWritten), total, total);
        }
    }

    elapsedMs = os.tickCount() - startTick;
    if (drawing && flags.cancelRequested == 0)
        drawCounts(progress, percentOf(chunksWritten), total, total);
    return 0;
}

} // namespace brc
