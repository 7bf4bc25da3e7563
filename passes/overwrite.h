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

// The overwrite with a check that the card keeps every sector: before the fill, each sector of
// the user area is written with its own number and the run's tag, and all of it is read back. A
// card that loses writes past some point reads back 0xFF or zeros there, which the fill alone
// would pass. The fill then goes unnoted by the binding: what it could show, this showed.
struct KeptCheck {
    uint64_t tag = 0;        // in: this run's, so that no older run's pattern passes
    bool done = false;       // every sector was written and read back (no cancel, no failure)
    bool kept = true;        // every sector read back as written
    bool unreadable = false; // `sector` could not be read at all
    uint32_t sector = 0;     // the first sector that did not
    uint64_t sectors = 0;    // sectors read back
};
// As above, the progress's counts over all three sweeps. A sector not kept ends the pass before
// the fill with Failed; the check says which.
int32_t overwriteCardChecked(DriverBinding& driver, uint32_t& elapsedMs, Progress& progress,
                             OsServices& os, KeptCheck& check);

} // namespace brc
