// The stream through which every structure reaches the card: the system area front to back in
// whole 64-sector chunks through one 32 KiB buffer.
#pragma once

#include <cstdint>

#include "base/format_types.h"
#include "base/on_card_fields.h"

namespace brc {

struct DriverBinding;
struct Progress;

constexpr uint32_t kChunkSectors = 64;
constexpr uint32_t kChunkBytes = kChunkSectors * kSectorBytes;

// One pass's stream. The write sequence owns the buffer; writers build sectors in place.
struct ChunkStream {
    DriverBinding& driver; // driverHandle and driverRoute
    Progress& progress;
    uint8_t* workBuffer;        // kChunkBytes, stands for the chunk at writePosition
    uint32_t writePosition = 0; // first sector of that chunk; a multiple of 64

    // Where sector s is built; s must lie in the current chunk.
    uint8_t* sector(uint32_t s) { return workBuffer + (s % kChunkSectors) * kSectorBytes; }
    uint32_t currentChunk() const { return writePosition / kChunkSectors; }
};

// The stream's results are 0, the driver's result of a failed write, or this: on route 1 the
// card no longer answered before a flush. It shares the driver's number space, which the format
// path maps by number (a card gone is Failed like any other failed write).
constexpr uint32_t kCardGone = 2;

// DDWritePT of the whole buffer at writePosition; on success writePosition += 64.
uint32_t writeChunk(ChunkStream& stream);

// Writes the current chunk and zero chunks up to target chunk t (nothing when t is current).
uint32_t flushToChunk(ChunkStream& stream, uint32_t targetChunk, const FormatParameters& params);

// Writes `count` chunks from the current one on, each as the root-directory writers do: the
// card check on route 1 first, then the write, clearing and progress. Ends the system area.
uint32_t writeFinalChunks(ChunkStream& stream, uint32_t count, const FormatParameters& params);

} // namespace brc
