#include "passes/overwrite.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "device/driver_binding.h"
#include "device/written_sectors.h"
#include "base/format_types.h"
#include "base/mix64.h"
#include "base/on_card_fields.h"
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

// The pass over the user area: whole chunks, then the sectors left over. With a check first, it
// sweeps the card three times (the pattern, its read-back, the fill) and counts them as one.
struct OverwritePass {
    OverwritePass(DriverBinding& d, Progress& p, uint8_t* b, uint64_t userSectors,
                  unsigned sweepCount = 1)
        : driver(d),
          progress(p),
          buffer(b),
          total(userSectors),
          fullChunks(userSectors / kOverwriteChunkSectors),
          remainder(static_cast<uint32_t>(userSectors % kOverwriteChunkSectors)),
          steps(fullChunks + (remainder > 0 ? 1 : 0)),
          sweeps(sweepCount),
          drawing(p.view != nullptr) {}

    DriverBinding& driver;
    Progress& progress;
    uint8_t* buffer;
    const uint64_t total;
    const uint64_t fullChunks;
    const uint32_t remainder;
    const uint64_t steps;
    const unsigned sweeps;
    const bool drawing;
    uint64_t chunksWritten = 0;
    unsigned sweep = 0;               // sweeps done before this one
    const uint8_t* sector0 = nullptr; // what the fill carries back to sector 0, where saved

    // An empty user area has nothing left to do: it is complete, not a division by zero.
    uint64_t percentOf(uint64_t chunks) const {
        return steps ? (sweep * steps + chunks) * 100 / (sweeps * steps) : 100;
    }
    void draw(uint64_t chunks, uint64_t sectorsDone) const {
        drawCounts(progress, percentOf(chunks), sweep * total + sectorsDone, sweeps * total);
    }
    // A failed read leaves the buffer as it was.
    void readSector0() {
        if (sector0) std::memcpy(buffer, sector0, kSectorBytes);
        else driver.api.DDReadPT(buffer, 1, 0, driver.driverHandle);
    }
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
            pass.draw(i + 1, (i + 1) * kOverwriteChunkSectors);
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
    if (pass.drawing) pass.draw(pass.chunksWritten, pass.total);
    return 0;
}

// Sector `s` of the check's pattern: its number and the tag, then bytes that follow from both,
// so that neither 0xFF, zeros nor another sector's pattern passes for it.
void patternSector(uint8_t* p, uint64_t s, uint64_t tag) {
    uint64_t x = mix64(tag ^ mix64(s));
    for (size_t i = 0; i < kSectorBytes; i += 8, x = mix64(x)) std::memcpy(p + i, &x, 8);
    std::memcpy(p, &s, 8);
    std::memcpy(p + 8, &tag, 8);
}

void patternChunk(uint8_t* buffer, uint64_t first, uint32_t count, uint64_t tag) {
    for (uint32_t k = 0; k < count; ++k)
        patternSector(buffer + size_t{k} * kSectorBytes, first + k, tag);
}

// Sweeps [0, total) in chunks, `step` doing one; false when it says the pass ends. A cancel
// seen while drawing ends it too (`cancelled`).
template <class Step>
bool sweepChunks(OverwritePass& pass, bool& cancelled, Step step) {
    uint64_t chunk = 0;
    for (uint64_t first = 0; first < pass.total; first += kOverwriteChunkSectors, ++chunk) {
        const auto n =
            static_cast<uint32_t>(std::min<uint64_t>(kOverwriteChunkSectors, pass.total - first));
        if (!step(first, n)) return false;
        if (!pass.drawing) continue;
        pass.draw(chunk + 1, first + n);
        if (cancelSeen(pass.progress.flags)) {
            drawCancel(pass.progress);
            cancelled = true;
            return false;
        }
    }
    return true;
}

// Writes the pattern over the user area, then reads it all back: the cache has long been
// flushed by the time a sector is read again. 0, or the result that ends the pass.
int32_t checkKept(OverwritePass& pass, KeptCheck& check, bool& cancelled) {
    DriverBinding& d = pass.driver;
    uint8_t* buffer = pass.buffer;
    uint32_t failed = 0;
    const bool written = sweepChunks(pass, cancelled, [&](uint64_t first, uint32_t n) {
        patternChunk(buffer, first, n, check.tag);
        failed = d.api.DDWritePT(buffer, n, static_cast<uint32_t>(first), d.driverHandle);
        if (failed) pass.progress.flags.orStatus(StatusWriteFailed);
        return failed == 0;
    });
    if (!written) return static_cast<int32_t>(failed);
    ++pass.sweep;
    uint8_t* expected = buffer + kOverwriteBufferBytes / 2;
    const auto notKept = [&](uint64_t s, bool unreadable) {
        check.kept = false;
        check.unreadable = unreadable;
        check.sector = static_cast<uint32_t>(s);
        return false;
    };
    const bool read = sweepChunks(pass, cancelled, [&](uint64_t first, uint32_t n) {
        const auto at = static_cast<uint32_t>(first);
        if (d.api.DDReadPT(buffer, n, at, d.driverHandle) != 0)
            for (uint32_t k = 0; k < n; ++k)
                if (d.api.DDReadPT(buffer + size_t{k} * kSectorBytes, 1, at + k, d.driverHandle))
                    return notKept(first + k, true);
        patternChunk(expected, first, n, check.tag);
        for (uint32_t k = 0; k < n; ++k) {
            const uint8_t* got = buffer + size_t{k} * kSectorBytes;
            if (std::memcmp(got, expected + size_t{k} * kSectorBytes, kSectorBytes) == 0) continue;
            // Another sector's pattern here: the card keeps that one in this one's place, and
            // of the two the higher is the one past what it really holds.
            uint64_t shows = 0, tag = 0;
            std::memcpy(&shows, got, 8);
            std::memcpy(&tag, got + 8, 8);
            return notKept(tag == check.tag ? std::max(first + k, shows) : first + k, false);
        }
        check.sectors += n;
        return true;
    });
    if (!check.kept) return Failed;
    if (!read) return 0; // cancelled
    ++pass.sweep;
    check.done = true;
    return 0;
}

} // namespace

namespace {

int32_t runOverwrite(DriverBinding& driver, uint32_t& elapsedMs, Progress& progress, OsServices& os,
                     KeptCheck* check) {
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[kOverwriteBufferBytes]);
    if (!buffer) return OutOfMemory;
    std::memset(buffer.get(), 0xFF, kOverwriteBufferBytes);

    uint32_t userSectors = 0;
    if (uint32_t rc = userAreaSectors(driver, userSectors)) return static_cast<int32_t>(rc);
    // A table without the transfer operations is no card to write to.
    if (driver.api.DDReadPT == nullptr || driver.api.DDWritePT == nullptr) return 1;

    OverwritePass pass(driver, progress, buffer.get(), userSectors, check ? 3 : 1);
    const uint32_t startTick = os.milliseconds();
    progress.flags.cancelRequested = 0;
    uint8_t sector0[kSectorBytes];
    std::memset(sector0, 0xFF, sizeof sector0);
    // Unnoted: the pattern is gone once the fill is written, and the fill is what the check
    // already showed the card keeps.
    WrittenSectors* const noted = driver.written;
    if (check) {
        driver.api.DDReadPT(sector0, 1, 0, driver.driverHandle);
        pass.sector0 = sector0;
        bool cancelled = false;
        const int32_t rc = checkKept(pass, *check, cancelled);
        if (rc != 0 || cancelled) return rc;
        std::memset(buffer.get(), 0xFF, kOverwriteBufferBytes);
        driver.written = nullptr;
    }
    uint32_t rc = writeFullChunks(pass);
    if (rc == 0) rc = writeRemainder(pass);
    driver.written = noted;
    if (rc != 0) return static_cast<int32_t>(rc);

    elapsedMs = os.milliseconds() - startTick;
    if (pass.drawing && progress.flags.cancelRequested == 0)
        pass.draw(pass.chunksWritten, pass.total);
    return 0;
}

} // namespace

int32_t overwriteCard(DriverBinding& driver, uint32_t& elapsedMs, Progress& progress,
                      OsServices& os) {
    return runOverwrite(driver, elapsedMs, progress, os, nullptr);
}

int32_t overwriteCardChecked(DriverBinding& driver, uint32_t& elapsedMs, Progress& progress,
                             OsServices& os, KeptCheck& check) {
    return runOverwrite(driver, elapsedMs, progress, os, &check);
}

} // namespace brc
