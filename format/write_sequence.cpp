#include "format/write_sequence.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "device/driver_binding.h"
#include "engine/chunk_stream.h"
#include "engine/fat_writers.h"
#include "engine/layout.h"
#include "exfat/exfat_writers.h"
#include "progress/progress.h"

namespace brc {
namespace {

struct FreeDeleter {
    void operator()(uint8_t* p) const { std::free(p); }
};

// Runs the writers of one file-system type in order, stopping at the first failure and at a
// power abort seen between two of them.
uint32_t writeStructures(ChunkStream& stream, FormatParameters& params, uint32_t userSectors,
                         WriteContext& ctx) {
    const uint32_t& powerAbort = ctx.progress.flags.powerAbort;
#define BRC_STEP(call)                       \
    do {                                     \
        if (uint32_t r_ = (call)) return r_; \
        if (powerAbort) return PassStopped;  \
    } while (0)
    switch (params.fsType) {
    case Fat12:
    case Fat16:
        BRC_STEP(writeFatBootSector(stream, params, userSectors, ctx.clock));
        BRC_STEP(writeFats(stream, params));
        BRC_STEP(writeRootDirectory(stream, params, params.labelForms, ctx.clock));
        return PassDone;
    case Fat32:
        for (uint32_t copy = 1; copy <= 2; ++copy) {
            BRC_STEP(writeFat32BootSector(stream, params, userSectors, copy, ctx.clock));
            BRC_STEP(writeFat32FsInfo(stream, params, copy));
            BRC_STEP(writeFat32ThirdSector(stream, params, copy));
        }
        BRC_STEP(writeFats(stream, params));
        BRC_STEP(writeRootDirectory(stream, params, params.labelForms, ctx.clock));
        return PassDone;
    case ExFat: {
        fillExFatFields(params);
        BRC_STEP(writeExFatBootRegion(stream, params, userSectors, 0, ctx.exfat));
        BRC_STEP(writeExFatBootRegion(stream, params, userSectors, kBootRegionSectors, ctx.exfat));
        BRC_STEP(writeExFatFat(stream, params));
        BRC_STEP(writeExFatBitmap(stream, params));
        const uint32_t upcaseSectors = (params.upcaseBytes + kSectorBytes - 1) / kSectorBytes;
        for (uint32_t k = 0; k < upcaseSectors; ++k)
            BRC_STEP(writeExFatUpcaseSector(stream, params, k, k + 1 == upcaseSectors));
        BRC_STEP(writeExFatRootDirectory(stream, params, params.labelForms.utf8Short));
        return PassDone;
    }
    default: return PassStopped;
    }
#undef BRC_STEP
}

} // namespace

uint32_t writeFileSystem(WriteContext& ctx, std::u16string& label, bool verifyOnly,
                         bool sizeAdjustment) {
    RunFlags& flags = ctx.progress.flags;
    // The chunk stream's buffer: one chunk.
    std::unique_ptr<uint8_t, FreeDeleter> buffer(static_cast<uint8_t*>(std::malloc(kChunkBytes)));
    if (!buffer) return PassOutOfMemory;
    std::memset(buffer.get(), 0, kChunkBytes);

    CardCapacity capacity;
    if (uint32_t r = readCardCapacity(ctx.driver, capacity)) return r;
    if (flags.powerAbort) return PassStopped;
    FormatPlan plan;
    planFormat(capacity, label, sizeAdjustment, &plan, ctx.oem);
    if (!plan.layoutDone) return PassStopped;
    FormatParameters& params = plan.params;
    uint32_t userSectors = plan.userSectors;

    flags.labelRejected |= plan.labelBits;
    if (flags.labelRejected) {
        clearLabelForms(params.labelForms);
        label.clear();
    }
    fillChunkFields(params);
    if (flags.powerAbort) return PassStopped;

    params.verifyOnly = verifyOnly ? 1 : 0;
    ChunkStream stream{ctx.driver, ctx.progress, buffer.get(), 0};
    // The card refusing the very first chunk with its protect code is a write-protected card,
    // whichever writer flushed that chunk (on small cards the partition table shares chunk 0
    // with the structures after it, so the first write comes later).
    auto firstWriteRefused = [&](uint32_t r) {
        return stream.writePosition == 0 &&
               (r == SDHOST_ERR_WRITE_PROTECT_R2 ||
                (r == SDHOST_ERR_WRITE_PROTECT_R1 && ctx.driver.driverRoute == 1));
    };
    if (uint32_t r = writePartitionTable(stream, params, userSectors))
        return firstWriteRefused(r) ? static_cast<uint32_t>(PassWriteProtected) : r;
    if (flags.powerAbort) return PassStopped;
    if (verifyOnly) return PassDone;

    if (uint32_t r = writeStructures(stream, params, userSectors, ctx))
        return firstWriteRefused(r) ? static_cast<uint32_t>(PassWriteProtected) : r;

    // Hand back the label as it was written.
    if (params.fsType == ExFat) {
        label = params.labelForms.utf8Short;
    } else {
        const char* bytes = reinterpret_cast<const char*>(params.labelForms.oemBytes);
        const void* end = std::memchr(bytes, 0, 11);
        const size_t length = end ? static_cast<size_t>(static_cast<const char*>(end) - bytes) : 11;
        label = ctx.oem.decode(std::string(bytes, length)).substr(0, 63);
    }
    ctx.report.reportDataSectors = userSectors - params.partitionStart - params.systemSectors;
    ctx.report.reportPartitionSectors = userSectors - params.partitionStart;
    ctx.report.reportClusterBytes = params.sectorsPerCluster * kSectorBytes;
    ctx.report.reportFsType = params.fsType;
    return PassDone;
}

FormatResult formatVolume(WriteContext& ctx, std::u16string& label, bool sizeAdjustment) {
    // Any answer but PassDone counts as a change, a failed read of sector 0 included.
    const bool changed = writeFileSystem(ctx, label, true, sizeAdjustment) != PassDone;
    if (ctx.progress.flags.powerAbort) return PowerInterrupted;
    const uint32_t result = writeFileSystem(ctx, label, false, sizeAdjustment);
    // A suspend between writers leaves a partial system area: abandoned, not failed.
    if (ctx.progress.flags.powerAbort) return PowerInterrupted;
    if (result == PassDone) return changed ? SuccessReinsertCard : Success;
    return failedStepResult(ctx.driver, result);
}

} // namespace brc
