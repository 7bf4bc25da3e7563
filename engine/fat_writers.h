// The master boot record and the FAT12, FAT16 and FAT32 structures. Each writer builds its
// sectors in place in the chunk stream's buffer, in ascending sector order, and then flushes the
// stream up to the chunk in which the next structure begins. Each returns what the stream gives
// (0, kCardGone or the driver's result of a failed chunk write) and leaves the stream ready for
// the next writer.
//
// The boot sectors always carry the label "NO NAME    ": the typed label goes only into the root
// directory and, after the format, through the operating system.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "engine/chunk_stream.h"
#include "base/code_page.h"
#include "base/format_clock.h"
#include "base/format_types.h"
#include "base/on_card_fields.h"

namespace brc {

struct DriverBinding;

// What the writers put in every FAT volume's structures, for the readers that check them.
constexpr uint32_t kFatRootEntries = 512;                                                // FAT12/16
constexpr uint32_t kFatRootDirSectors = kFatRootEntries * kDirEntryBytes / kSectorBytes; // 32
constexpr uint32_t kFat32RootCluster = 2; // a chain of one cluster
constexpr uint32_t kFat32EndOfChain = 0x0FFFFFFFu;
// FAT entries 0 and 1 as they start each FAT: the media byte F8h with the other bits set, then
// end of chain.
std::span<const uint8_t> fatReservedEntries(uint32_t fsType);

// The three CHS bytes of a partition entry for `sector` under the layout's heads and sectors per
// track (FE FF FF beyond what CHS can address).
void putChsAddress(uint8_t* p, uint32_t sector, const FormatParameters& params);
// The partition type byte for the layout's file system and partition end.
uint8_t partitionTypeByte(const FormatParameters& params, uint32_t userSectors);

// Sector 0: one partition entry from partitionStart to userSectors - 1, then a flush to
// bootChunk. Expects the stream at chunk 0. With params.verifyOnly set it writes nothing and
// compares the entry with the card's sector 0 instead: 0 equal, kPartitionEntryDiffers, or the
// failing DDReadPT result.
constexpr uint32_t kPartitionEntryDiffers = 1;
uint32_t writePartitionTable(ChunkStream& stream, const FormatParameters& params,
                             uint32_t userSectors);

// FAT12/FAT16 boot sector at partitionStart with a fresh pseudo-random serial; flushes to
// fat1Chunk.
uint32_t writeFatBootSector(ChunkStream& stream, const FormatParameters& params,
                            uint32_t userSectors, const FormatClock& clock = systemFormatClock());

// FAT32 reserved area. `copy` 1 builds the sectors at partitionStart + 0, 1, 2; copy 2 the backup
// at + 6, 7, 8 (any other copy number writes nothing and returns 1). Copy 1 of the boot sector
// draws params.volumeSerial; copy 2 reuses it.
uint32_t writeFat32BootSector(ChunkStream& stream, FormatParameters& params, uint32_t userSectors,
                              uint32_t copy, const FormatClock& clock = systemFormatClock());
uint32_t writeFat32FsInfo(ChunkStream& stream, const FormatParameters& params, uint32_t copy);
uint32_t writeFat32ThirdSector(ChunkStream& stream, const FormatParameters& params, uint32_t copy);

// Both FATs (FAT12, FAT16, FAT32): the first entries of each copy; flushes to fat2Chunk after
// copy 1 and to dataChunk after copy 2. The rest of each FAT reaches the card as zero.
uint32_t writeFats(ChunkStream& stream, const FormatParameters& params);

// The root directory (FAT12/16: 32 sectors; FAT32: cluster 2) with the volume-label entry when
// labelForms.oemBytes is not empty, stamped with the local time. Writes every chunk up to the
// one holding the directory's last sector; this ends the system area.
uint32_t writeRootDirectory(ChunkStream& stream, const FormatParameters& params,
                            const VolumeLabelForms& labelForms,
                            const FormatClock& clock = systemFormatClock());

// After the operating system has mounted a freshly formatted card to set its label, puts the
// FSInfo counts (both copies) and FAT entry 1 (both FATs) back to the values the writers wrote.
// The card is open in `driver`. Writes nothing unless the card's first partition is FAT32 as
// these writers lay it out. Returns Success, InvalidLabel (the label fails the check of the
// layout's type; the repair still runs), or what checkFormatPlan gives for a card whose layout
// cannot be computed (nothing is read or written then).
FormatResult repairFat32AfterLabel(const std::u16string& label, bool sizeAdjustment,
                                   DriverBinding& driver, const CodePage& oem = cp437());

} // namespace brc
