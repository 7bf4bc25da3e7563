// The full overwrite: 0xFF over the card's user area before a full format writes its file
// system. The card's first sector keeps its content.
#pragma once

#include <cstddef>
#include <cstdint>

namespace brc {

struct DriverBinding;
struct Progress;
class OsServices;

constexpr uint32_t kOverwriteChunkSectors = 256;  // one DDWritePT call, 128 KiB
constexpr size_t kOverwriteBufferBytes = 0x40000; // the pattern buffer; half of it is written

// Writes 0xFF over every sector of the user area through the bound library's DDWritePT, using
// the card opened in driver.driverHandle. Reports its stage after each chunk when progress.view is
// set, polls cancelRequested / powerAbort there, and ORs 0x01 (write failed) or 0x04 (cancelled)
// into the status word. Returns 0 (also on cancel), OutOfMemory, the capacity query's code or the
// first failing write's code. elapsedMs is set on 0.
int32_t overwriteCard(DriverBinding& driver, uint32_t& elapsedMs, Progress& progress,
                      OsServices& os);

} // namespace brc
