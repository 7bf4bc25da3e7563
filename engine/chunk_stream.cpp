#include "engine/chunk_stream.h"

#include <cstring>

#include "device/driver_binding.h"
#include "device/written_sectors.h"
#include "progress/progress.h"

namespace brc {
namespace {

// On route 1 a removed card is noticed before each flush: the card must still answer.
uint32_t checkCardPresent(ChunkStream& stream) {
    if (stream.driver.driverRoute != 1) return 0;
    uint8_t mid[8] = {};
    return stream.driver.api.DDGetMID(mid, 0, stream.driver.driverHandle) == 0 ? 0 : kCardGone;
}

} // namespace

uint32_t writeChunk(ChunkStream& stream) {
    uint32_t r =
        writeSectors(stream.driver, stream.workBuffer, kChunkSectors, stream.writePosition);
    if (r == 0) stream.writePosition += kChunkSectors;
    return r;
}

uint32_t flushToChunk(ChunkStream& stream, uint32_t targetChunk, const FormatParameters& params) {
    if (targetChunk == stream.currentChunk()) return 0;
    if (uint32_t r = checkCardPresent(stream)) return r;
    if (uint32_t r = writeChunk(stream)) return r;
    reportFormatProgress(stream.progress, stream.writePosition, params);
    std::memset(stream.workBuffer, 0, kChunkBytes);
    while (stream.currentChunk() < targetChunk) {
        if (uint32_t r = writeChunk(stream)) return r;
        reportFormatProgress(stream.progress, stream.writePosition, params);
    }
    return 0;
}

uint32_t writeFinalChunks(ChunkStream& stream, uint32_t count, const FormatParameters& params) {
    for (uint32_t i = 0; i < count; ++i) {
        if (uint32_t r = checkCardPresent(stream)) return r;
        if (uint32_t r = writeChunk(stream)) return r;
        std::memset(stream.workBuffer, 0, kChunkBytes);
        reportFormatProgress(stream.progress, stream.writePosition, params);
    }
    return 0;
}

} // namespace brc
