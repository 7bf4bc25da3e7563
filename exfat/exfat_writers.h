// The exFAT system area: both boot regions with their OEM parameters and checksum, the FAT, the
// allocation bitmap, the up-case table and the root directory. Every writer builds its sectors
// in place in the chunk stream's buffer, in ascending order, and flushes by the stream's rule.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/chunk_stream.h"
#include "base/format_clock.h"
#include "base/format_types.h"
#include "base/on_card_reader.h"
#include "volume/boot_sector.h"
#include "volume/volume_label.h"

namespace brc {

struct DriverBinding;

// FAT entry 0 (the media byte F8h, the other bits set) and the end of a cluster chain.
constexpr uint32_t kExFatMediaEntry = 0xFFFFFFF8u;
constexpr uint32_t kExFatEndOfChain = 0xFFFFFFFFu;

// Returned by the writers when the exFAT fields of FormatParameters are inconsistent (not
// derived) or a sector would land before the stream's current chunk. Nothing is written then.
constexpr uint32_t kExFatBadLayout = 1;

// Up to 10 OEM parameter records (16-byte GUID, 32 bytes of parameters) carried from the card's
// earlier exFAT volume to the new one.
struct OemParameterTable {
    uint8_t records[kOemMaxRecords][kOemRecordBytes] = {};
    uint32_t count = 0;
};

void clearOemParameters(OemParameterTable& table);
// Appends a copy; false when the table is full.
bool addOemParameter(OemParameterTable& table, const uint8_t record[kOemRecordBytes]);
// Appends a flash-parameters record with zero parameters unless one is held; whether one was
// appended.
bool ensureFlashParameters(OemParameterTable& table);
// Copies record `index` out; false when index >= count.
bool getOemParameter(const OemParameterTable& table, uint32_t index,
                     uint8_t record[kOemRecordBytes]);

// What the exFAT writers keep for one format: `oemParameterTable` lives from
// readOldOemParameters to the end of the format; `clock` makes the volume serial.
struct ExFatState {
    OemParameterTable oemParameterTable;
    const FormatClock* clock = &systemFormatClock();
};

// Fills the table from the card as it is before formatting (its exFAT volume's main OEM
// parameters sector), keeping at most one flash-parameters record and always holding one
// afterwards. Returns whether an exFAT OEM parameters sector was read (if not, the table holds
// what was gathered so far).
bool readOldOemParameters(DriverBinding& driver, ExFatState& state);

// Writes the boot region at relative sector regionBase (0 main, 12 backup): boot sector, eight
// extended boot sectors, OEM parameters, reserved sector, checksum sector. The main region
// makes params.volumeSerial and params.bootChecksum; the backup reuses both, so it must come
// second. Returns 0, kCardGone, kExFatBadLayout or the driver's result.
uint32_t writeExFatBootRegion(ChunkStream& stream, FormatParameters& params, uint32_t userSectors,
                              uint32_t regionBase, ExFatState& state);

// FAT entries 0 and 1 and the chains of the bitmap, the up-case table and the root directory.
uint32_t writeExFatFat(ChunkStream& stream, const FormatParameters& params);

// The allocation bitmap: clusters 2 up to the root directory's marked as used.
uint32_t writeExFatBitmap(ChunkStream& stream, const FormatParameters& params);

// Sector k (0 to 11) of the up-case table; `last` flushes to the root directory's chunk.
uint32_t writeExFatUpcaseSector(ChunkStream& stream, const FormatParameters& params, uint32_t k,
                                bool last);

// The root directory's cluster: volume label (up to 11 units of utf8ShortLabel, which may be
// null for none), allocation bitmap and up-case table entries. Writes the chunks that hold the
// whole cluster and so ends the system area.
uint32_t writeExFatRootDirectory(ChunkStream& stream, const FormatParameters& params,
                                 const char16_t* utf8ShortLabel);

} // namespace brc
