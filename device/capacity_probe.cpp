#include "device/capacity_probe.h"

#include <algorithm>
#include <cstring>
#include <numeric>
#include <optional>
#include <vector>

#include "base/mix64.h"
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
// half as long, down to a real part of a few blocks. The end found is then tested again under
// the longest filler it holds (1 GiB by default): a cache too large for the first filler, and a
// wrap that spares the card's start (its blocks land past a short filler), show there. A card
// whose real part is shorter than its write cache cannot be told from a genuine one this way;
// the result says how large a cache was ruled out.

namespace brc {
namespace {

constexpr char kMagic[8] = {'B', 'R', 'C', 'P', 'R', 'O', 'B', 'E'};
constexpr uint64_t kB = kProbeBlockSectors;
constexpr unsigned kRefinePoints = 32; // points per round once a gap is known
constexpr uint64_t kMaxPoints = 8192;  // points of the first round, at most
constexpr unsigned kMaxRounds = 64;

void put64(uint8_t* p, uint64_t v) { std::memcpy(p, &v, 8); }
uint64_t get64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

// Failed: the card refused the block's transfer (not the card gone or read-only).
enum class Seen { Own, Other, Junk, Failed };

struct Round {
    std::vector<uint64_t> ends; // ascending
    uint64_t filler = 0;        // sectors [0, filler)
};

constexpr uint32_t kStopped = 0xFFFFFFFFu;

class Prober {
public:
    Prober(DriverBinding& driver, const ProbeOptions& options, ProbeUndo& undo, ProbeResult& result)
        : d_(driver),
          o_(options),
          undo_(undo),
          r_(result),
          buffer_(SDHOST_MAX_TRANSFER * kSectorBytes),
          cache_(std::max<uint64_t>(kB, o_.cacheBytes / kSectorBytes / kB * kB)) {}

    void run();

private:
    void tag(uint8_t* sector, uint64_t s) const;
    void tagBuffer(uint64_t first, uint32_t count); // sectors [first, first + count) tagged
    bool noStore();                                 // the undo store failed: the probe ends; false
    Seen look(const uint8_t* sector, uint64_t s) const;
    uint32_t move(bool write, uint64_t first, uint32_t count, bool settle = false);
    uint32_t ended(uint32_t rc); // a transfer's result, with what ends the probe said
    // The card opened again after it refused sectors [first, first + count).
    bool reopened(uint64_t first, uint64_t count);
    bool fillerSettled(uint64_t filler);
    bool transfer(bool write, uint64_t first, uint32_t count);
    bool save(uint64_t first, uint64_t count, bool known);
    bool writeTagged(uint64_t first, uint64_t count);
    Seen readBlock(uint64_t end);
    void noteWrap(const uint8_t* sector, uint64_t s);
    std::optional<size_t> test(const Round& round, bool& sawOther);
    bool badSector(const Round& round, const std::vector<Seen>& seen);
    void quickLook(uint64_t& lo, uint64_t& hi, bool& sawOther);
    void narrow(uint64_t& lo, uint64_t& hi, bool& sawOther);
    bool confirm(uint64_t& lo, uint64_t& hi, bool& sawOther);
    void lowerEnd(uint64_t lo, uint64_t& hi, uint64_t failing, uint64_t filler);
    Round plan(uint64_t lo, uint64_t hi, uint64_t ratio = 128, bool filled = true) const;
    bool failed() const { return !r_.cause.empty(); }
    void tick(uint64_t sectors);

    DriverBinding& d_;
    const ProbeOptions& o_;
    ProbeUndo& undo_;
    ProbeResult& r_;
    std::vector<uint8_t> buffer_;
    std::vector<uint8_t> settle_ = std::vector<uint8_t>(kSectorBytes);
    uint64_t cache_; // the longest filler a round may write, in sectors
    uint32_t round_ = 0;
    uint64_t fillerSaved_ = 0; // the filler's sectors saved so far: [0, fillerSaved_)
    uint64_t roundTotal_ = 0, roundDone_ = 0;
    bool noCache_ = false; // the card returns a lost block as lost at once: no filler needed
    uint64_t period_ = 0;  // a multiple of the real part on a plain wraparound card
    uint64_t seenFailing_ = UINT64_MAX;    // the lowest end of a block seen failing
    bool periodUsed_ = false;              // a wrap's period set the bracket's top
    uint64_t shortestFiller_ = UINT64_MAX; // of the filled rounds since the last confirmation
    bool sawLost_ = false;                 // a block read back otherwise than written, not refused
};

void Prober::tag(uint8_t* sector, uint64_t s) const {
    std::memcpy(sector, kMagic, 8);
    put64(sector + 8, o_.nonce);
    put64(sector + 16, s);
    put64(sector + 24, round_);
    uint64_t x = mix64(o_.nonce ^ mix64(s ^ (uint64_t{round_} << 48)));
    for (size_t i = 32; i < kSectorBytes; i += 8, x = mix64(x)) put64(sector + i, x);
}

// Another sector's tag of this run means the card keeps that sector here: it wraps around.
// Anything else that is not this sector's tag of this round is junk or old data.
Seen Prober::look(const uint8_t* sector, uint64_t s) const {
    uint8_t want[kSectorBytes];
    tag(want, s);
    if (std::memcmp(want, sector, kSectorBytes) == 0) return Seen::Own;
    return probeTagged(sector, o_.nonce) && get64(sector + 16) != s ? Seen::Other : Seen::Junk;
}

void Prober::tick(uint64_t sectors) {
    roundDone_ += sectors;
    if (o_.progress && roundTotal_ > 0)
        o_.progress(round_,
                    static_cast<unsigned>(std::min<uint64_t>(100, roundDone_ * 100 / roundTotal_)));
}

// One transfer of at most 256 sectors through buffer_: 0 or the driver's result. What ends the
// probe (a stop, the card gone or read-only) also says why; an ordinary failure is left to the
// caller, for a tested block fails as lost blocks do.
// With `settle`, a write is on the card (or has failed) when it returns: one sector of it is
// read back, and only then is it noted as written.
uint32_t Prober::move(bool write, uint64_t first, uint32_t count, bool settle) {
    if (o_.stopRequested && o_.stopRequested()) {
        r_.stopped = true;
        r_.cause = "stopped by a signal before the probe was finished";
        return kStopped;
    }
    const auto at = static_cast<uint32_t>(first);
    uint32_t rc = write ? d_.api.DDWritePT(buffer_.data(), count, at, d_.driverHandle)
                        : d_.api.DDReadPT(buffer_.data(), count, at, d_.driverHandle);
    if (rc == 0 && write && settle && o_.reopen) {
        rc = d_.api.DDReadPT(settle_.data(), 1, at, d_.driverHandle);
        // A card gone after the write may have taken it: it is put back with the rest. A
        // refusal the read tells is the write's own, which changed nothing.
        if (rc == SDHOST_ERR_NO_CARD) undo_.wrote(at, count);
    }
    if (rc != 0) return ended(rc);
    (write ? r_.bytesWritten : r_.bytesRead) += uint64_t{count} * kSectorBytes;
    if (write) undo_.wrote(at, count);
    tick(count);
    return 0;
}

uint32_t Prober::ended(uint32_t rc) {
    if (rc == SDHOST_ERR_NO_CARD) r_.cause = "the card is gone (pulled out)";
    else if (rc == SDHOST_ERR_WRITE_PROTECT_R1 || rc == SDHOST_ERR_WRITE_PROTECT_R2)
        r_.cause = "the card is read-only (write-protected)";
    r_.driverResult = rc;
    return rc;
}

bool Prober::reopened(uint64_t first, uint64_t count) {
    if (!o_.reopen) return true;
    const uint32_t rc = o_.reopen();
    if (rc == 0) return true;
    r_.cause = "the card could not be opened again after it refused sectors " +
               std::to_string(first) + " to " + std::to_string(first + count - 1);
    r_.driverResult = rc;
    return false;
}

bool Prober::transfer(bool write, uint64_t first, uint32_t count) {
    if (move(write, first, count) == 0) return true;
    if (!failed())
        r_.cause = std::string("the card failed to ") + (write ? "write" : "read") + " sector " +
                   std::to_string(first) +
                   (count > 1 ? " or one of the " + std::to_string(count - 1) + " after it" : "");
    return false;
}

void Prober::tagBuffer(uint64_t first, uint32_t count) {
    for (uint32_t k = 0; k < count; ++k) tag(buffer_.data() + size_t{k} * kSectorBytes, first + k);
}

bool Prober::noStore() {
    r_.cause = "what the probe would write over could not be saved: " + undo_.storeReason();
    return false;
}

bool Prober::save(uint64_t first, uint64_t count, bool known) {
    if (o_.destructive) return true;
    for (uint64_t s = first; s < first + count;) {
        const auto n =
            static_cast<uint32_t>(std::min<uint64_t>(SDHOST_MAX_TRANSFER, first + count - s));
        if (!transfer(false, s, n)) return false;
        if (!undo_.save(round_, static_cast<uint32_t>(s), n, buffer_.data(), known))
            return noStore();
        s += n;
    }
    return true;
}

bool Prober::writeTagged(uint64_t first, uint64_t count) {
    for (uint64_t s = first; s < first + count;) {
        const auto n =
            static_cast<uint32_t>(std::min<uint64_t>(SDHOST_MAX_TRANSFER, first + count - s));
        tagBuffer(s, n);
        if (!transfer(true, s, n)) return false;
        s += n;
    }
    return true;
}

// The filler's writes, on their way at once, are settled by one read: a refusal among them comes
// out here rather than at a tested block's read. It is then looked for a transfer at a time and
// a sector at a time, so that the bad sector is named; the filler lies in what the card keeps.
bool Prober::fillerSettled(uint64_t filler) {
    if (!o_.reopen) return true;
    uint32_t rc = d_.api.DDReadPT(settle_.data(), 1, 0, d_.driverHandle);
    if (rc == 0) return true;
    ended(rc);
    if (failed() || !reopened(0, filler)) return false;
    for (uint64_t s = 0; s < filler;) {
        const auto n = static_cast<uint32_t>(std::min<uint64_t>(SDHOST_MAX_TRANSFER, filler - s));
        tagBuffer(s, n);
        if ((rc = move(true, s, n, true)) != 0) {
            if (failed() || !reopened(s, n)) return false;
            for (uint64_t k = s; k < s + n; ++k) {
                tagBuffer(k, 1);
                if (move(true, k, 1, true) == 0) continue;
                if (!failed())
                    r_.cause = "the card failed to write sector " + std::to_string(k) +
                               " though sectors past it keep their data: it has bad sectors";
                return false;
            }
        }
        s += n;
    }
    return true;
}

// The worst of what the block ending at `end` reads back as.
Seen Prober::readBlock(uint64_t end) {
    if (move(false, end - kB, kB) != 0) return Seen::Failed;
    Seen worst = Seen::Own;
    std::optional<uint32_t> other; // the block's first sector showing another's tag
    for (uint32_t k = 0; k < kB; ++k) {
        const uint8_t* sector = buffer_.data() + size_t{k} * kSectorBytes;
        const Seen seen = look(sector, end - kB + k);
        if (seen == Seen::Junk) worst = seen;
        if (seen != Seen::Other) continue;
        // A wrap keeps sectors side by side: those showing others' tags show sectors as far
        // apart as they are. A stale buffer shows one sector over and over: junk, not a wrap.
        const uint8_t* first = buffer_.data() + size_t{other.value_or(k)} * kSectorBytes;
        if (other && get64(sector + 16) - get64(first + 16) != k - *other) return Seen::Junk;
        if (!other) other = k;
    }
    if (!other) return worst;
    noteWrap(buffer_.data() + size_t{*other} * kSectorBytes, end - kB + *other);
    return Seen::Other;
}

// The lowest sector of a round found holding another's tag says where the card wraps.
void Prober::noteWrap(const uint8_t* sector, uint64_t s) {
    const uint64_t shows = get64(sector + 16);
    period_ = std::gcd(period_, s > shows ? s - shows : shows - s);
    if (r_.wrapSector != 0 && r_.wrapSector < s) return;
    r_.wrapSector = s;
    r_.wrapShows = shows;
}

// The points of a round in (lo, hi), hi excluded, each the end of an aligned 4 KiB block but
// the card's last; the filler, unless the round goes without (`filled` false, or a card that
// caches nothing), before the lowest point's block. Points lie at most 1/ratio of their own end
// apart, 1/128 by default, so one round usually brackets the real end closely enough: a card
// costs one filler, not one per round. They lie at most a filler apart too (a wrapped block must
// land in the filler), and no closer than an even split of the range in kRefinePoints needs.
Round Prober::plan(uint64_t lo, uint64_t hi, uint64_t ratio, bool filled) const {
    Round round;
    const uint64_t top = hi > r_.announcedSectors ? r_.announcedSectors : (hi - 1) / kB * kB;
    // The filler must lie in the real part: inside what is known to be good, else in the lower
    // half of what is in question (a real part shorter than that fails every point, and the
    // next round halves the filler).
    const uint64_t room = std::max(top / 2, lo > kB ? lo - kB : 0) / kB * kB;
    uint64_t filler = std::clamp<uint64_t>(room, kB, cache_);
    // A card too large for kMaxPoints spaced a cache apart gets a longer filler instead.
    filler = std::max(filler, std::min<uint64_t>(top / 2, top / kMaxPoints) / kB * kB);
    round.filler = filled && !noCache_ ? filler : 0;
    const uint64_t base = std::max(lo, round.filler + kB - 1); // points above base
    if (top <= base) return round;
    const uint64_t even =
        std::max<uint64_t>(kB, std::min(round.filler != 0 ? filler : top,
                                        (top - base + kRefinePoints - 1) / kRefinePoints));
    const auto add = [&](uint64_t e) {
        e = e / kB * kB;
        if (e > base && e < top && (round.ends.empty() || e > round.ends.back()))
            round.ends.push_back(e);
    };
    for (uint64_t e = base + std::min(even, std::max(kB, base / ratio)); e < top;) {
        if (round.ends.size() == kMaxPoints) {
            // Too many for one round: an even split, narrowed down by the rounds after.
            round.ends.clear();
            for (e = base + even; e < top; e += even) add(e);
            break;
        }
        add(e);
        e += std::min(even, std::max(kB, e / ratio));
    }
    round.ends.push_back(top);
    return round;
}

// A block the card refused below one that kept its data is a bad sector of a card that keeps
// what lies past it, not the end of its real part: the card cannot be probed.
bool Prober::badSector(const Round& round, const std::vector<Seen>& seen) {
    for (size_t i = 0; i < seen.size(); ++i) {
        if (seen[i] != Seen::Failed) continue;
        if (std::find(seen.begin() + static_cast<std::ptrdiff_t>(i), seen.end(), Seen::Own) ==
            seen.end())
            return false;
        r_.cause = "the card failed a transfer of sectors " + std::to_string(round.ends[i] - kB) +
                   " to " + std::to_string(round.ends[i] - 1) +
                   " though sectors past them keep their data: it has bad sectors";
        return true;
    }
    return false;
}

// The index of the lowest point that did not keep its block, nullopt when all did; `sawOther`
// when a failing block read back another sector's tag.
std::optional<size_t> Prober::test(const Round& round, bool& sawOther) {
    ++round_;
    ++r_.rounds;
    if (round.filler != 0) ++r_.fillers;
    if (round.filler != 0) shortestFiller_ = std::min(shortestFiller_, round.filler);
    const uint64_t points = round.ends.size() * kB;
    const uint64_t newFiller = round.filler > fillerSaved_ ? round.filler - fillerSaved_ : 0;
    roundTotal_ = (o_.destructive ? 0 : points + newFiller) + points + round.filler + points;
    roundDone_ = 0;
    // Saved before anything of this round is written: undone in reverse, batch by batch. A
    // block the card will not read is not written either: it is past the real part, or bad.
    std::vector<Seen> seen(round.ends.size(), Seen::Own);
    for (size_t i = 0; i < round.ends.size() && !o_.destructive; ++i) {
        const uint64_t e = round.ends[i];
        const uint32_t rc = move(false, e - kB, kB);
        if (rc != 0 && failed()) return std::nullopt;
        if (rc != 0) seen[i] = Seen::Failed;
        else if (!undo_.save(round_, static_cast<uint32_t>(e - kB), kB, buffer_.data(), false))
            return noStore(), std::nullopt;
    }
    if (newFiller && !save(fillerSaved_, newFiller, true)) return std::nullopt;
    fillerSaved_ = std::max(fillerSaved_, round.filler);
    // On the disk before the card is touched: a probe killed from here on leaves it all.
    if (!o_.destructive && !undo_.seal()) return noStore(), std::nullopt;
    for (size_t i = round.ends.size(); i-- > 0;) {
        if (seen[i] == Seen::Failed) continue;
        const uint64_t e = round.ends[i];
        tagBuffer(e - kB, kB);
        // Settled: a refusal is this block's, not one the driver reports later for it.
        const uint32_t rc = move(true, e - kB, kB, true);
        if (rc != 0 && failed()) return std::nullopt;
        if (rc != 0) seen[i] = Seen::Failed;
        if (rc != 0 && !reopened(e - kB, kB)) return std::nullopt;
    }
    if (!writeTagged(0, round.filler)) return std::nullopt;
    if (round.filler != 0 && !fillerSettled(round.filler)) return std::nullopt;
    // This round's lowest wrapped sector, the nearest the real part's end, else the last one's.
    const uint64_t wrapSector = r_.wrapSector, wrapShows = r_.wrapShows;
    r_.wrapSector = r_.wrapShows = 0;
    std::optional<size_t> lowest;
    for (size_t i = 0; i < round.ends.size(); ++i) {
        if (seen[i] != Seen::Failed) seen[i] = readBlock(round.ends[i]);
        if (failed()) return std::nullopt;
        if (seen[i] == Seen::Own) continue;
        sawOther = sawOther || seen[i] == Seen::Other;
        sawLost_ = sawLost_ || seen[i] != Seen::Failed;
        if (!lowest) lowest = i;
    }
    if (r_.wrapSector == 0) r_.wrapSector = wrapSector, r_.wrapShows = wrapShows;
    if (badSector(round, seen)) return std::nullopt;
    if (lowest) seenFailing_ = std::min(seenFailing_, round.ends[*lowest]);
    return lowest;
}

// A failing point lies past the real part. Sectors a plain wraparound card keeps in one place
// lie a whole number of real parts apart, so a real part shorter than the filler, which the
// filler's own writes wrapped over, is bracketed at once, not by halving the filler. Where the
// card wraps otherwise (it spares its start) or the pairs are not wraps at all (a stale buffer),
// the bracket is too low, never too high; the confirming round finds the rest.
void Prober::lowerEnd(uint64_t lo, uint64_t& hi, uint64_t failing, uint64_t filler) {
    hi = std::min(hi, failing);
    if (period_ > lo && period_ < hi && period_ <= filler && period_ >= kB) {
        hi = period_ + 1;
        periodUsed_ = true;
    }
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
    lowerEnd(lo, hi, end, 0);
    if (sawOther || *lowest == 0) return;
    // Saved with the round; written again, nothing between the write and the read. A card that
    // refuses the write says nothing of its cache.
    tagBuffer(end - kB, kB);
    if (const uint32_t rc = move(true, end - kB, kB, true); rc != 0) {
        if (!failed()) reopened(end - kB, kB);
        return;
    }
    if (readBlock(end) != Seen::Junk) return;
    noCache_ = true;
    lo = round.ends[*lowest - 1];
}

// Rounds under a filler until the gap between the highest point that kept its block and the
// lowest that did not is under 1/128 of what is known to be good.
void Prober::narrow(uint64_t& lo, uint64_t& hi, bool& sawOther) {
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
        lowerEnd(lo, hi, round.ends[*lowest], round.filler);
    }
}

// What was found, tested once more under the longest filler the part found holds (up to the
// cache limit): a cache that fooled the shorter fillers cannot hold this one, and a wrap that
// spares the card's start lands in it. The points reach up to the lowest block ever seen
// failing, so a bracket set too low from a wrap's period moves up. True when the round moved
// the bracket: it is narrowed again under this filler. Skipped where the rounds since the last
// such test all had a filler as long and no period set the bracket.
bool Prober::confirm(uint64_t& lo, uint64_t& hi, bool& sawOther) {
    if (noCache_) {
        r_.cacheRuledOutBytes = lo * kSectorBytes;
        return false;
    }
    const uint64_t filler = std::min(o_.cacheLimitBytes / kSectorBytes, lo / 2) / kB * kB;
    if (filler < kB || r_.rounds >= kMaxRounds) return false;
    if (!periodUsed_ && shortestFiller_ >= filler) {
        r_.cacheRuledOutBytes = shortestFiller_ * kSectorBytes;
        return false;
    }
    const uint64_t longest = cache_;
    cache_ = filler;
    const Round round = plan(0, std::min(seenFailing_, r_.announcedSectors + 1));
    cache_ = std::max(longest, filler);
    if (round.ends.empty()) return false;
    const std::optional<size_t> lowest = test(round, sawOther);
    if (failed()) return false;
    r_.cacheRuledOutBytes = round.filler * kSectorBytes;
    periodUsed_ = false;
    shortestFiller_ = round.filler;
    // Under this filler the real end lies between the highest point that kept its block below
    // the lowest that did not, or past the last point where all did.
    const uint64_t newLo = !lowest ? round.ends.back() : *lowest > 0 ? round.ends[*lowest - 1] : 0;
    const uint64_t newHi =
        !lowest ? std::min(seenFailing_, r_.announcedSectors + 1) : round.ends[*lowest];
    const bool moved = newLo != lo || newHi != hi;
    lo = newLo;
    hi = newHi;
    return moved;
}

void Prober::run() {
    uint64_t lo = 0, hi = r_.announcedSectors + 1; // R in [lo, hi)
    bool sawOther = false;
    quickLook(lo, hi, sawOther);
    if (failed()) return;
    // A card with no block failing so far is tested under the longest filler at once: a genuine
    // card costs one filler, and a cache as large cannot hide a lost part.
    if (seenFailing_ == UINT64_MAX)
        cache_ =
            std::max(cache_, std::min(o_.cacheLimitBytes, r_.announcedSectors / 2 * kSectorBytes) /
                                 kSectorBytes / kB * kB);
    for (unsigned pass = 0; pass < 4; ++pass) {
        narrow(lo, hi, sawOther);
        if (failed() || !confirm(lo, hi, sawOther)) break;
    }
    if (failed()) return;
    // A card that refused every block and lost none says nothing of its size: a worn-out card
    // that locked itself does so too.
    if (lo == 0 && !sawLost_) {
        r_.cause = "the card refused to write or read every block the probe tried";
        return;
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

bool probeTagged(const uint8_t* sector, uint64_t nonce) {
    return std::memcmp(sector, kMagic, 8) == 0 && get64(sector + 8) == nonce;
}

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

UndoCard undoCardOf(DriverBinding& driver, uint64_t announced, uint64_t nonce) {
    UndoCard card;
    card.announced = announced;
    card.nonce = nonce;
    card.midKnown =
        driver.api.DDGetMID && driver.api.DDGetMID(card.mid.data(), 0, driver.driverHandle) == 0;
    return card;
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
    if (!options.destructive) {
        if (!undo.begin(undoCardOf(driver, result.announcedSectors, options.nonce))) {
            result.cause =
                "what the probe would write over could not be saved: " + undo.storeReason() +
                "; nothing was written";
            return result;
        }
    }
    Prober(driver, options, undo, result).run();
    if (options.destructive) return result;
    // What the card refused to take (a read-only card refuses the first write) changed nothing:
    // only what it took is put back.
    if (undo.empty()) {
        result.restored = true;
        return result;
    }
    // A stop or a failed transfer leaves the card as it was as far as it still takes writes.
    const uint64_t realEnd = result.verdict == ProbeVerdict::NotProbed ? 0 : result.usableSectors;
    const uint32_t back = undo.restore(driver, realEnd, options.reopen);
    result.restored = back == 0;
    if (back != 0 && result.verdict != ProbeVerdict::NotProbed) {
        // The verdict stands; the card is not as it was.
        result.driverResult = back;
    }
    return result;
}

} // namespace brc
