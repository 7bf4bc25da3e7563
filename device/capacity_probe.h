// Whether a card holds what it announces: blocks tagged with their own sector number and a
// per-run nonce are written across the announced capacity and read back, and the end of the
// part that keeps them is narrowed down. Portable: everything goes through the driver binding,
// so one method serves virtual cards, Linux devices and Windows disks.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "device/probe_undo.h"

namespace brc {

struct DriverBinding;

enum class ProbeVerdict { Genuine, Counterfeit, NotProbed };
// Past the real part a wraparound card keeps writes over its start, a limbo card loses them.
enum class ProbeKind { None, Wraparound, Limbo };

// Sectors per tested block (4 KiB).
constexpr uint32_t kProbeBlockSectors = 8;

struct ProbeOptions {
    bool destructive = false; // nothing is saved or put back
    uint64_t nonce = 0;       // tells this run's tags from any earlier run's
    // Written between a block and its read-back, to push it out of a write cache: at most half
    // of what is still in question, and within what is known to be good.
    uint64_t cacheBytes = 64ull << 20;
    // What is found is tested once more under a filler this long (or half the part found, if
    // less), which a cache of that size cannot hold.
    uint64_t cacheLimitBytes = 1ull << 30;
    std::function<bool()> stopRequested; // checked between transfers
    // Closes the card and opens it again: 0, or the driver's result. A driver that queues
    // writes reports a refused write at a later call and takes nothing after it; with this, a
    // tested block's write is settled by a read, and the card opened again after one is
    // refused, so the probe goes on. Without it a refusal is seen where the driver reports it.
    std::function<uint32_t()> reopen;
    std::function<void(unsigned round, unsigned percent)> progress;
};

struct ProbeResult {
    ProbeVerdict verdict = ProbeVerdict::NotProbed;
    ProbeKind kind = ProbeKind::None;
    uint64_t announcedSectors = 0;
    uint64_t usableSectors = 0; // every sector below keeps what is written (within 1 % below the
                                // real part's end); the announced size on a genuine card; 0 on
                                // a counterfeit card none of whose tested blocks kept its data
    // The largest write cache that could not have fooled the verdict: the last filler's length,
    // or the usable size on a card seen losing a block right after it was written.
    uint64_t cacheRuledOutBytes = 0;
    // On a wraparound card: a sector past the real part, and the sector whose data it read back
    // (the two are kept in one place: the card wraps every wrapSector - wrapShows sectors, or a
    // divisor of that).
    uint64_t wrapSector = 0, wrapShows = 0;
    std::string cause;         // why it could not be probed
    uint32_t driverResult = 0; // the transfer that failed, if one did
    bool stopped = false;      // a stop was asked for
    bool restored = false;     // everything written over was put back
    uint64_t bytesWritten = 0, bytesRead = 0;
    unsigned rounds = 0;
    unsigned fillers = 0; // rounds that wrote the filler, a probe's costly part
};

// Probes the binding's open card. Unless destructive, what each batch writes over is saved in
// `undo` first (its store flushed before the batch is written) and written back at the end,
// also after a failure or a stop; what could not be written back stays in `undo` (`restored`
// false) for the caller to keep.
ProbeResult probeCapacity(DriverBinding& driver, const ProbeOptions& options, ProbeUndo& undo);

// The announced user-area sectors of the binding's open card, 0 when it does not say.
uint64_t announcedSectors(DriverBinding& driver, uint32_t& result);

// The binding's open card as an undo store records it: `announced`, its manufacturer id where
// the reader gives it, and the run's `nonce`.
UndoCard undoCardOf(DriverBinding& driver, uint64_t announced, uint64_t nonce);

} // namespace brc
