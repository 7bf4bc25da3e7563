#include "device/capacity_probe.h"

#include <algorithm>
#include <cstring>
#include <numeric>
#include <optional>
#include <vector>

#include "base/on_card_fields.h"
#include "device/driver_binding.h"

// The method. Let R be the number of sectors the card really keeps from its start; a block
// "ending at e" is sectors [e - 8, e), and it keeps its data only when e <= R. Each round tests
// blocks ending at points spread over the range still in question, (lo, hi): it saves them,
// writes them highest first (so a real block is written after any block that lands on it),
// then writes a filler over the card's first sectors, and reads the blocks back. The filler is
// tagged like the blocks and defeats a write cache: the blocks are read only after that much
// other data went to the card. A block past R on a wraparound card lands R sectors lower; the
// lowest failing point lies less than a spacing past R, and the spacing is at most the filler's
// length, so that block landed in the filler and reads back the filler's tag. A limbo card
// gives back zeros or old data. So the lowest point that fails is past R and the one below it
// is not: the range shrinks to the gap between them, until it is under 1/128 of what is known
// to be good. A card on which the first points already fail is probed again under a filler
// half as long, down to a real part of a few blocks. A card whose real part is shorter than its
// write cache cannot be told from a genuine one this way.

namespace brc {
namespace {

constexpr char kMagic[8] = {'B', 'R', 'C', 'P', 'R', 'O', 'B', 'E'};
constexpr uint64_t kB = kProbeBlockSectors;
constexpr unsigned kRefinePoints = 32; // points per round once a gap is known
constexpr uint64_t kMaxPoints = 8192;  // points of the first round, at most
constexpr unsigned kMaxRounds = 64;

uint64_t mix(uint64_t x) {
    x += 0x9E3779B97F4A7C15u;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9u;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBu;
    return x ^ (x >> 31);
}

void put64(uint8_t* p, uint64_t v) { std::memcpy(p, &v, 8); }
uint64_t get64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

enum class Seen { Own, Other, Junk };

struct Round {
    std::vector<uint64_t> ends; // ascending
    uint64_t filler = 0;        // sectors [0, filler)
};

class Prober {
public:
    Prober(DriverBinding& driver, const ProbeOptions& options, ProbeUndo& undo, ProbeResult& result)
        : d_(driver),
          o_(options),
          undo_(undo),
          r_(result),
          buffer_(SDHOST_MAX_TRANSFER * kSectorBytes) {}

    void run();

private:
    void tag(uint8_t* sector, uint64_t s) const;
    Seen look(const uint8_t* sector, uint64_t s) const;
    bool transfer(bool write, uint64_t first, uint32_t count);
    bool save(uint64_t first, uint64_t count);
    bool writeTagged(uint64_t first, uint64_t count);
    std::optional<Seen> readBlock(uint64_t end);
    void noteWrap(const uint8_t* sector, uint64_t s);
    std::optional<size_t> test(const Round& round, bool& sawOther);
    void quickLook(uint64_t& lo, uint64_t& hi, bool& sawOther);
    void lowerEnd(uint64_t lo, uint64_t& hi, uint64_t failing) const;
    Round plan(uint64_t lo, uint64_t hi, uint64_t ratio = 128, bool filled = true) const;
    bool failed() const { return !r_.cause.empty(); }
    void tick(uint64_t sectors);

    DriverBinding& d_;
    const ProbeOptions& o_;
    ProbeUndo& undo_;
    ProbeResult& r_;
    std::vector<uint8_t> buffer_;
    uint32_t round_ = 0;
    uint64_t fillerSaved_ = 0; // the filler's sectors saved so far: [0, fillerSaved_)
    uint64_t roundTotal_ = 0, roundDone_ = 0;
    bool noCache_ = false; // the card returns a lost block as lost at once: no filler needed
    uint64_t period_ = 0;  // a multiple of the real part: sectors the card kept in one place
};

void Prober::tag(uint8_t* sector, uint64_t s) const {
    std::memcpy(sector, kMagic, 8);
    put64(sector + 8, o_.nonce);
    put64(sector + 16, s);
    put64(sector + 24, round_);
    uint64_t x = mix(o_.nonce ^ mix(s ^ (uint64_t{round_} << 48)));
    for (size_t i = 32; i < kSectorBytes; i += 8, x = mix(x)) put64(sector + i, x);
}

// Another sector's tag of this run means the card keeps that sector here: it wraps around.
// Anything else that is not this sector's tag of this round is junk or old data.
Seen Prober::look(const uint8_t* sector, uint64_t s) const {
    uint8_t want[kSectorBytes];
    tag(want, s);
    if (std::memcmp(want, sector, kSectorBytes) == 0) return Seen::Own;
    const bool ours = std::memcmp(sector, kMagic, 8) == 0 && get64(sector + 8) == o_.nonce;
    return ours && get64(sector + 16) != s ? Seen::Other : Seen::Junk;
}

void Prober::tick(uint64_t sectors) {
    roundDone_ += sectors;
    if (o_.progress && roundTotal_ > 0)
        o_.progress(round_,
                    static_cast<unsigned>(std::min<uint64_t>(100, roundDone_ * 100 / roundTotal_)));
}

// One transfer of at most 256 sectors through buffer_.
bool Prober::transfer(bool write, uint64_t first, uint32_t count) {
    if (o_.stopRequested && o_.stopRequested()) {
        r_.stopped = true;
        r_.cause = "stopped by a signal before the probe was finished";
        return false;
    }
    const auto at = static_cast<uint32_t>(first);
    const uint32_t rc = write ? d_.api.DDWritePT(buffer_.data(), count, at, d_.driverHandle)
                              : d_.api.DDReadPT(buffer_.data(), count, at, d_.driverHandle);
    if (rc != 0) {
        r_.driverResult = rc;
        r_.cause = rc == SDHOST_ERR_NO_CARD ? "the card is gone (pulled out)"
                   : rc == SDHOST_ERR_WRITE_PROTECT_R1 || rc == SDHOST_ERR_WRITE_PROTECT_R2
                       ? "the card is read-only (write-protected)"
                       : std::string("a transfer failed at sector ") + std::to_string(first);
        return false;
    }
    (write ? r_.bytesWritten : r_.bytesRead) += uint64_t{count} * kSectorBytes;
    tick(count);
    return true;
}

bool Prober::save(uint64_t first, uint64_t count) {
    if (o_.destructive) return true;
    for (uint64_t s = first; s < first + count;) {
        const auto n =
            static_cast<uint32_t>(std::min<uint64_t>(SDHOST_MAX_TRANSFER, first + count - s));
        if (!transfer(false, s, n)) return false;
        undo_.save(round_, static_cast<uint32_t>(s), n, buffer_.data());
        s += n;
    }
    return true;
}

bool Prober::writeTagged(uint64_t first, uint64_t count) {
    for (uint64_t s = first; s < first + count;) {
        const auto n =
            static_cast<uint32_t>(std::min<uint64_t>(SDHOST_MAX_TRANSFER, first + count - s));
        for (uint32_t k = 0; k < n; ++k) tag(buffer_.data() + size_t{k} * kSectorBytes, s + k);
        if (!transfer(true, s, n)) return false;
        s += n;
    }
    return true;
}

// The worst of what the block ending at `end` reads back as; nullopt when it cannot be read.
std::optional<Seen> Prober::readBlock(uint64_t end) {
    if (!transfer(false, end - kB, kB)) return std::nullopt;
    Seen worst = Seen::Own;
    for (uint32_t k = 0; k < kB; ++k) {
        const uint8_t* sector = buffer_.data() + size_t{k} * kSectorBytes;
        const Seen seen = look(sector, end - kB + k);
        if (seen == Seen::Other) {
            noteWrap(sector, end - kB + k);
            return seen;
        }
        if (seen == Seen::Junk) worst = seen;
    }
    return worst;
}

// The lowest sector of a round found holding another's tag says where the card wraps.
void Prober::noteWrap(const uint8_t* sector, uint64_t s) {
    const uint64_t shows = get64(sector + 16);
    period_ = std::gcd(period_, s > shows ? s - shows : shows - s);
    if (r_.wrapSector != 0 && r_.wrapSector < s) return;
    r_.wrapSector = s;
    r_.wrapShows = shows;
}

// The points of a round in (lo, hi), hi excluded; the filler, unless the round goes without
// (`filled` false, or a card that caches nothing), before the lowest point's block. Points lie
// at most 1/ratio of their own end apart, 1/128 by default, so one round usually brackets the
// real end closely enough: a card costs one filler, not one per round. They lie at most a filler
// apart too (a wrapped block must land in the filler), and no closer than an even split of the
// range in kRefinePoints needs.
Round Prober::plan(uint64_t lo, uint64_t hi, uint64_t ratio, bool filled) const {
    Round round;
    const uint64_t top = std::min(hi - 1, r_.announcedSectors);
    const uint64_t cache = std::max<uint64_t>(kB, o_.cacheBytes / kSectorBytes / kB * kB);
    // The filler must lie in the real part: inside what is known to be good, else in the lower
    // half of what is in question (a real part shorter than that fails every point, and the
    // next round halves the filler).
    const uint64_t room = std::max(top / 2, lo > kB ? lo - kB : 0) / kB * kB;
    uint64_t filler = std::clamp<uint64_t>(room, kB, cache);
    // A card too large for kMaxPoints spaced a cache apart gets a longer filler instead.
    filler = std::max(filler, std::min<uint64_t>(top / 2, top / kMaxPoints) / kB * kB);
    round.filler = filled && !noCache_ ? filler : 0;
    const uint64_t base = std::max(lo, round.filler + kB - 1); // points above base
    if (top <= base) return round;
    const uint64_t even =
        std::max<uint64_t>(1, std::min(round.filler != 0 ? filler : top,
                                       (top - base + kRefinePoints - 1) / kRefinePoints));
    for (uint64_t e = base + std::min(even, std::max(kB, base / ratio)); e < top;) {
        if (round.ends.size() == kMaxPoints) {
            // Too many for one round: an even split, narrowed down by the rounds after.
            round.ends.clear();
            for (e = base + even; e < top; e += even) round.ends.push_back(e);
            break;
        }
        round.ends.push_back(e);
        e += std::min(even, std::max(kB, e / ratio));
    }
    round.ends.push_back(top);
    return round;
}

// The index of the lowest point that did not keep its block, nullopt when all did; `sawOther`
// when a failing block read back another sector's tag.
std::optional<size_t> Prober::test(const Round& round, bool& sawOther) {
    ++round_;
    ++r_.rounds;
    if (round.filler != 0) ++r_.fillers;
    const uint64_t points = round.ends.size() * kB;
    const uint64_t newFiller = round.filler > fillerSaved_ ? round.filler - fillerSaved_ : 0;
    roundTotal_ = (o_.destructive ? 0 : points + newFiller) + points + round.filler + points;
    roundDone_ = 0;
    // Saved before anything of this round is written: undone in reverse, batch by batch.
    for (const uint64_t e : round.ends)
        if (!save(e - kB, kB)) return std::nullopt;
    if (newFiller && !save(fillerSaved_, newFiller)) return std::nullopt;
    fillerSaved_ = std::max(fillerSaved_, round.filler);
    for (auto e = round.ends.rbegin(); e != round.ends.rend(); ++e)
        if (!writeTagged(*e - kB, kB)) return std::nullopt;
    if (!writeTagged(0, round.filler)) return std::nullopt;
    // This round's lowest wrapped sector, the nearest the real part's end, else the last one's.
    const uint64_t wrapSector = r_.wrapSector, wrapShows = r_.wrapShows;
    r_.wrapSector = r_.wrapShows = 0;
    std::optional<size_t> lowest;
    for (size_t i = 0; i < round.ends.size(); ++i) {
        const std::optional<Seen> seen = readBlock(round.ends[i]);
        if (!seen) return std::nullopt;
        if (*seen == Seen::Own) continue;
        sawOther = sawOther || *seen == Seen::Other;
        if (!lowest) lowest = i;
    }
    if (r_.wrapSector == 0) r_.wrapSector = wrapSector, r_.wrapShows = wrapShows;
    return lowest;
}

// A failing point lies past the real part. Sectors a wraparound card keeps in one place lie a
// whole number of real parts apart, so a real part shorter than the filler is bracketed at once,
// not by halving the filler.
void Prober::lowerEnd(uint64_t lo, uint64_t& hi, uint64_t failing) const {
    hi = std::min(hi, failing);
    if (period_ > lo && period_ < hi) hi = period_ + 1;
}

// A first round without the filler, its points 1/8 of their position apart. A block that fails
// is past the real part whatever the card's cache does (a cache can only make a lost block look
// kept), but the blocks that passed are believed only when the card neither caches nor wraps:
// the failing block, written again, reads back lost at once. Then the rounds that narrow the
// gap need no filler either, and the filler, most of a probe's cost, is never written.
void Prober::quickLook(uint64_t& lo, uint64_t& hi, bool& sawOther) {
    const Round round = plan(lo, hi, 8, false);
    if (round.ends.empty()) return;
    const std::optional<size_t> lowest = test(round, sawOther);
    if (failed() || !lowest) return;
    const uint64_t end = round.ends[*lowest];
    lowerEnd(lo, hi, end);
    if (sawOther || *lowest == 0) return;
    // Saved with the round; written again, nothing between the write and the read.
    if (!writeTagged(end - kB, kB)) return;
    const std::optional<Seen> again = readBlock(end);
    if (!again || *again != Seen::Junk) return;
    noCache_ = true;
    lo = round.ends[*lowest - 1];
}

void Prober::run() {
    uint64_t lo = 0, hi = r_.announcedSectors + 1; // R in [lo, hi)
    bool sawOther = false;
    quickLook(lo, hi, sawOther);
    if (failed()) return;
    while (r_.rounds < kMaxRounds) {
        if (hi - lo <= std::max<uint64_t>(1, lo / 128)) break;
        const Round round = plan(lo, hi);
        if (round.ends.empty()) break; // too little left to place a block past the filler
        const std::optional<size_t> lowest = test(round, sawOther);
        if (failed()) return;
        if (!lowest) {
            lo = round.ends.back();
            if (lo == r_.announcedSectors) break;
            continue;
        }
        if (*lowest > 0) lo = std::max(lo, round.ends[*lowest - 1]);
        lowerEnd(lo, hi, round.ends[*lowest]);
    }
    r_.usableSectors = lo;
    if (lo >= r_.announcedSectors) {
        r_.verdict = ProbeVerdict::Genuine;
        return;
    }
    r_.verdict = ProbeVerdict::Counterfeit;
    r_.kind = sawOther ? ProbeKind::Wraparound : ProbeKind::Limbo;
}

} // namespace

uint64_t announcedSectors(DriverBinding& driver, uint32_t& result) {
    uint32_t user = 0, cylinders = 0, total = 0, heads = 0, spt = 0, prot = 0, eraseBlock = 0,
             reserved = 0;
    uint16_t bps = 0;
    uint8_t type = 0, bus = 0;
    if (!driver.api.DDIdentify) {
        result = SDHOST_ERR_NOT_READY;
        return 0;
    }
    result = driver.api.DDIdentify(&user, &cylinders, &total, &heads, &bps, &spt, &type, &prot,
                                   &bus, &eraseBlock, &reserved, driver.driverHandle);
    return result == 0 && bps == kSectorBytes ? user : 0;
}

ProbeResult probeCapacity(DriverBinding& driver, const ProbeOptions& options, ProbeUndo& undo) {
    ProbeResult result;
    uint32_t rc = 0;
    result.announcedSectors = announcedSectors(driver, rc);
    if (rc != 0 || result.announcedSectors < 4 * kB) {
        result.driverResult = rc;
        result.cause = rc != 0 ? "the card could not be identified"
                               : "the card announces too few sectors to probe";
        return result;
    }
    Prober(driver, options, undo, result).run();
    if (options.destructive) return result;
    // Nothing was written over (a read-only card refuses the first write): nothing to put back.
    if (result.bytesWritten == 0) {
        undo = ProbeUndo();
        result.restored = true;
        return result;
    }
    // A stop or a failed transfer leaves the card as it was as far as it still takes writes.
    const uint64_t realEnd = result.verdict == ProbeVerdict::NotProbed ? 0 : result.usableSectors;
    const uint32_t back = undo.restore(driver, realEnd);
    result.restored = back == 0;
    if (back != 0 && result.verdict != ProbeVerdict::NotProbed) {
        // The verdict stands; the card is not as it was.
        result.driverResult = back;
    }
    return result;
}

} // namespace brc
