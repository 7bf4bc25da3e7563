#include "passes/overwrite.h"

#include <cstring>
#include <memory>
#include <new>

#include "device/driver_binding.h"
#include "device/written_sectors.h"
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

// The user area in sectors, as the format computes it; else the driver's or the layout's code.
uint32_t userAreaSectors(DriverBinding& driver, uint32_t& userSectors) {
    CardCapacity capacity;
    if (uint32_t rc = readCardCapacity(driver, capacity)) return rc;
    FormatParameters params{};
    return computeCapacity(capacity, userSectors, params, false);
}

// The pass over the user area: whole chunks, then the sectors left over.
struct OverwritePass {
    OverwritePass(DriverBinding& d, Progress& p, uint8_t* b, uint64_t userSectors)
        : driver(d),
          progress(p),
          buffer(b),
          total(userSectors),
          fullChunks(userSectors / kOverwriteChunkSectors),
          remainder(static_cast<uint32_t>(userSectors % kOverwriteChunkSectors)),
          steps(fullChunks + (remainder > 0 ? 1 : 0)),
          drawing(p.view != nullptr) {}

    DriverBinding& driver;
    Progress& progress;
    uint8_t* buffer;
    const uint64_t total;
    const uint64_t fullChunks;
    const uint32_t remainder;
    const uint64_t steps;
    const bool drawing;
    uint64_t chunksWritten = 0;

    // An empty user area has nothing left to do: it is complete, not a division by zero.
    uint64_t percentOf(uint64_t chunks) const { return steps ? chunks * 100 / steps : 100; }
    // A failed read leaves the buffer as it was.
    void readSector0() { driver.api.DDReadPT(buffer, 1, 0, driver.driverHandle); }
    uint32_t write(uint32_t count, uint64_t first) {
        const uint32_t rc = writeSectors(driver, buffer, count, static_cast<uint32_t>(first));
        if (rc) progress.flags.orStatus(StatusWriteFailed);
        else ++chunksWritten;
        return rc;
    }
};

// The whole chunks, until a cancel seen while drawing.
uint32_t writeFullChunks(OverwritePass& pass) {
    for (uint64_t i = 0; i < pass.fullChunks; ++i) {
        if (i == 0) {
            // The first chunk carries sector 0 back unchanged; a failed read leaves 0xFF.
            pass.readSector0();
        } else if (i == 1) {
            std::memset(pass.buffer, 0xFF, kOverwriteBufferBytes);
        }
        if (uint32_t rc = pass.write(kOverwriteChunkSectors, i * kOverwriteChunkSectors)) return rc;
        if (pass.drawing) {
            drawCounts(pass.progress, pass.percentOf(i + 1), (i + 1) * kOverwriteChunkSectors,
                       pass.total);
            if (cancelSeen(pass.progress.flags)) {
                drawCancel(pass.progress);
                break;
            }
        }
    }
    return 0;
}

// The sectors after the last whole chunk, unless the pass was cancelled.
uint32_t writeRemainder(OverwritePass& pass) {
    if (pass.remainder == 0) return 0;
    if (cancelSeen(pass.progress.flags)) {
        if (pass.drawing) drawCancel(pass.progress);
        return 0;
    }
    // On a card smaller than one chunk this is the only write: it must carry sector 0 too.
    if (pass.fullChunks == 0) pass.readSector0();
    if (uint32_t rc = pass.write(pass.remainder, pass.fullChunks * kOverwriteChunkSectors))
        return rc;
    if (pass.drawing)
        drawCounts(pass.progress, pass.percentOf(pass.chunksWritten), pass.total, pass.total);
    return 0;
}

} // namespace

int32_t overwriteCard(DriverBinding& driver, uint32_t& elapsedMs, Progress& progress,
                      OsServices& os) {
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[kOverwriteBufferBytes]);
    if (!buffer) return OutOfMemory;
    std::memset(buffer.get(), 0xFF, kOverwriteBufferBytes);

    uint32_t userSectors = 0;
    if (uint32_t rc = userAreaSectors(driver, userSectors)) return static_cast<int32_t>(rc);
    // A table without the transfer operations is no card to write to.
    if (driver.api.DDReadPT == nullptr || driver.api.DDWritePT == nullptr) return 1;

    OverwritePass pass(driver, progress, buffer.get(), userSectors);
    const uint32_t startTick = os.milliseconds();
    progress.flags.cancelRequested = 0;
    if (uint32_t rc = writeFullChunks(pass)) return static_cast<int32_t>(rc);
    if (uint32_t rc = writeRemainder(pass)) return static_cast<int32_t>(rc);

    elapsedMs = os.milliseconds() - startTick;
    if (pass.drawing && progress.flags.cancelRequested == 0)
        drawCounts(progress, pass.percentOf(pass.chunksWritten), pass.total, pass.total);
    return 0;
}

} // namespace brc
