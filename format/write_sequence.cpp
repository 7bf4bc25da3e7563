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

// The label as the writers stored it: exFAT's as typed, FAT's from its OEM bytes.
std::u16string labelAsWritten(const FormatParameters& params, const CodePage& oem) {
    if (params.fsType == ExFat) return params.labelForms.utf8Short;
    const char* bytes = reinterpret_cast<const char*>(params.labelForms.oemBytes);
    const void* end = std::memchr(bytes, 0, 11);
    const size_t length = end ? static_cast<size_t>(static_cast<const char*>(end) - bytes) : 11;
    return oem.decode(std::string(bytes, length)).substr(0, 63);
}

// A plan with nothing planned yet: every pass plans from the card's answer.
FormatPlan unplanned(bool sizeAdjustment) {
    FormatPlan plan;
    plan.sizeAdjustment = sizeAdjustment;
    return plan;
}

} // namespace

uint32_t writeFileSystem(WriteContext& ctx, const FormatPlan& plan, std::u16string& label,
                         bool verifyOnly) {
    RunFlags& flags = ctx.progress.flags;
    // The chunk stream's buffer: one chunk.
    std::unique_ptr<uint8_t, FreeDeleter> buffer(static_cast<uint8_t*>(std::malloc(kChunkBytes)));
    if (!buffer) return PassOutOfMemory;
    std::memset(buffer.get(), 0, kChunkBytes);

    // The card is asked again on every pass: since the plan it may have been reopened, overwritten
    // or erased, and a card that now answers otherwise gets the layout of what it answers.
    CardCapacity capacity;
    if (uint32_t r = readCardCapacity(ctx.driver, capacity)) return r;
    if (flags.powerAbort) return PassStopped;
    const bool asPlanned = plan.layoutDone && capacity == plan.capacity;
    FormatPlan replanned;
    if (!asPlanned) planFormat(capacity, label, plan.sizeAdjustment, &replanned, ctx.oem);
    const FormatPlan& used = asPlanned ? plan : replanned;
    if (!used.layoutDone) return PassStopped;
    // The pass's own copy: the writers fill in the serial and the checksum as they go.
    FormatParameters params = used.params;
    const uint32_t userSectors = used.userSectors;

    flags.labelRejected |= used.labelBits;
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

    label = labelAsWritten(params, ctx.oem);
    ctx.report.reportDataSectors = userSectors - params.partitionStart - params.systemSectors;
    ctx.report.reportPartitionSectors = userSectors - params.partitionStart;
    ctx.report.reportClusterBytes = params.sectorsPerCluster * kSectorBytes;
    ctx.report.reportFsType = params.fsType;
    return PassDone;
}

uint32_t writeFileSystem(WriteContext& ctx, std::u16string& label, bool verifyOnly,
                         bool sizeAdjustment) {
    return writeFileSystem(ctx, unplanned(sizeAdjustment), label, verifyOnly);
}

FormatResult formatVolume(WriteContext& ctx, std::u16string& label, bool sizeAdjustment) {
    return formatVolume(ctx, unplanned(sizeAdjustment), label);
}

FormatResult formatVolume(WriteContext& ctx, const FormatPlan& plan, std::u16string& label) {
    // Any answer but PassDone counts as a change, a failed read of sector 0 included.
    const bool changed = writeFileSystem(ctx, plan, label, true) != PassDone;
    if (ctx.progress.flags.powerAbort) return PowerInterrupted;
    const uint32_t result = writeFileSystem(ctx, plan, label, false);
    // A suspend between writers leaves a partial system area: abandoned, not failed.
    if (ctx.progress.flags.powerAbort) return PowerInterrupted;
    if (result == PassDone) return changed ? SuccessReinsertCard : Success;
    return failedStepResult(ctx.driver, result);
}

} // namespace brc
