#include "device/probe_undo.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "base/little_endian.h"
#include "base/on_card_fields.h"
#include "device/driver_binding.h"

// The store: a 64-byte header (magic, the card, where the last seal ended, its checksum), then
// records of 32 bytes of fields (batch and whether the sectors lie in the known part, first
// sector and count, the sectors' checksum, the fields' checksum) each followed by its sectors.
// The header is rewritten at each seal, after the records it covers are flushed and before it
// is flushed itself: what lies past the sealed end is a batch that was never written.

namespace brc {
namespace {

constexpr char kMagic[8] = {'B', 'R', 'C', 'U', 'N', 'D', 'O', '2'};
constexpr size_t kHeaderBytes = 64, kFieldBytes = 32;
// The most a loaded store shows the card at once, for the check of which card it is.
constexpr size_t kMostSamples = 256;

uint64_t fnv(const uint8_t* data, size_t n, uint64_t h = 0xCBF29CE484222325u) {
    for (size_t i = 0; i < n; ++i) h = (h ^ data[i]) * 0x100000001B3u;
    return h;
}

} // namespace

bool MemoryUndoStore::append(const void* data, size_t length) {
    const auto* p = static_cast<const uint8_t*>(data);
    bytes_.insert(bytes_.end(), p, p + length);
    return true;
}

bool MemoryUndoStore::writeAt(const void* data, size_t length, uint64_t offset) {
    // What a 32-bit process cannot address, it cannot hold.
    if (offset > SIZE_MAX - length) return false;
    const auto at = static_cast<size_t>(offset);
    if (at + length > bytes_.size()) bytes_.resize(at + length);
    std::memcpy(bytes_.data() + at, data, length);
    return true;
}

bool MemoryUndoStore::readAt(void* data, size_t length, uint64_t offset) {
    if (offset > bytes_.size() || length > bytes_.size() - offset) return false;
    std::memcpy(data, bytes_.data() + static_cast<size_t>(offset), length);
    return true;
}

ProbeUndo::ProbeUndo() : own_(std::make_unique<MemoryUndoStore>()), store_(own_.get()) {}
ProbeUndo::ProbeUndo(UndoStore& store) : store_(&store) {}

bool ProbeUndo::writeHeader(uint64_t sealedEnd) {
    uint8_t head[kHeaderBytes] = {};
    std::memcpy(head, kMagic, 8);
    put64(head + 8, card_.announced);
    put64(head + 16, card_.midKnown ? 1 : 0);
    std::memcpy(head + 24, card_.mid.data(), 8);
    put64(head + 32, card_.nonce);
    put64(head + 40, sealedEnd);
    put64(head + 56, fnv(head, 56));
    return store_->size() < kHeaderBytes ? store_->append(head, sizeof head)
                                         : store_->writeAt(head, sizeof head, 0);
}

bool ProbeUndo::begin(const UndoCard& card) {
    card_ = card;
    return writeHeader(kHeaderBytes) && store_->sync();
}

bool ProbeUndo::save(uint32_t batch, uint32_t first, uint32_t count, const uint8_t* data,
                     bool known) {
    if (store_->size() < kHeaderBytes && !writeHeader(kHeaderBytes)) return false;
    for (uint32_t done = 0; done < count;) {
        const uint32_t n = std::min(count - done, SDHOST_MAX_TRANSFER);
        const uint8_t* from = data + size_t{done} * kSectorBytes;
        uint8_t fields[kFieldBytes];
        put64(fields, uint64_t{batch} | uint64_t{known} << 32);
        put64(fields + 8, uint64_t{first + done} << 32 | n);
        put64(fields + 16, fnv(from, size_t{n} * kSectorBytes));
        put64(fields + 24, fnv(fields, 24));
        const uint64_t offset = store_->size() + kFieldBytes;
        if (!store_->append(fields, sizeof fields) ||
            !store_->append(from, size_t{n} * kSectorBytes))
            return false;
        byFirst_.emplace(first + done, saved_.size());
        saved_.push_back({batch, first + done, n, known, false, offset});
        done += n;
    }
    return true;
}

bool ProbeUndo::seal() {
    if (!store_->sync() || !writeHeader(store_->size()) || !store_->sync()) return false;
    return true;
}

void ProbeUndo::wrote(uint32_t first, uint32_t count) {
    const uint64_t end = uint64_t{first} + count;
    // A stretch is at most one transfer long: those that overlap start at most that far before.
    const uint32_t from = first > SDHOST_MAX_TRANSFER ? first - SDHOST_MAX_TRANSFER : 0;
    for (auto it = byFirst_.lower_bound(from); it != byFirst_.end() && it->first < end; ++it) {
        Stretch& s = saved_[it->second];
        if (s.written || uint64_t{s.first} + s.count <= first) continue;
        s.written = true;
        pending_.push_back(s);
    }
}

uint64_t ProbeUndo::sectors() const {
    uint64_t n = 0;
    for (const Stretch& s : pending_) n += s.count;
    return n;
}

void ProbeUndo::rearm() {
    pending_.clear();
    for (const Stretch& s : saved_)
        if (s.written) pending_.push_back(s);
}

bool ProbeUndo::readData(const Stretch& s, std::vector<uint8_t>& data) {
    data.resize(size_t{s.count} * kSectorBytes);
    return store_->readAt(data.data(), data.size(), s.offset);
}

// The writes back to the card, the card's answers to them, and whether it still takes any.
class ProbeUndo::WriteBack {
public:
    WriteBack(ProbeUndo& undo, DriverBinding& driver, const std::function<uint32_t()>& reopen)
        : undo_(undo), driver_(driver), reopen_(reopen) {}

    // One stretch on its way, not waited for.
    uint32_t put(const Stretch& s) {
        if (gone_) return SDHOST_ERR_NO_CARD;
        if (refusing_) return refusing_;
        if (!undo_.readData(s, data_)) return SDHOST_ERR_IO;
        return driver_.api.DDWritePT(data_.data(), s.count, s.first, driver_.driverHandle);
    }
    // Everything put so far is on the card, or the failure of some of it.
    uint32_t settled(uint32_t sector) {
        return reopen_ ? driver_.api.DDReadPT(one_.data(), 1, sector, driver_.driverHandle) : 0;
    }
    void failedWith(uint32_t rc) {
        gone_ = gone_ || rc == SDHOST_ERR_NO_CARD;
        if (++refusals_ >= kRefusalsInARow) refusing_ = rc;
        if (!gone_ && !refusing_ && reopen_ && reopen_() != 0) gone_ = true;
    }
    // Written and settled, the card opened again after a failure.
    uint32_t putOne(const Stretch& s) {
        uint32_t rc = put(s);
        if (rc == 0) rc = settled(s.first);
        if (rc != 0) failedWith(rc);
        else refusals_ = 0;
        return rc;
    }
    // A sector the card will not take may never have taken the probe's write either: reading
    // back as it was, it is as it was.
    bool keptAsItWas(const Stretch& sector) {
        return !gone_ && !refusing_ && undo_.readData(sector, data_) &&
               driver_.api.DDReadPT(one_.data(), 1, sector.first, driver_.driverHandle) == 0 &&
               std::memcmp(one_.data(), data_.data(), kSectorBytes) == 0;
    }
    // Stretch `s` again a transfer at a time, one sector at a time where it fails: one bad sector
    // keeps no other from going back. What did not go back joins `left`.
    void again(const Stretch& s, std::vector<Stretch>& left, uint32_t& first) {
        const uint32_t rc = putOne(s);
        if (rc != 0 && !gone_ && !refusing_ && s.count > 1) {
            for (uint32_t k = 0; k < s.count; ++k) {
                Stretch sector = s;
                sector.first = s.first + k;
                sector.count = 1;
                sector.offset = s.offset + uint64_t{k} * kSectorBytes;
                const uint32_t r = putOne(sector);
                if (r == 0 || keptAsItWas(sector)) continue;
                if (first == 0) first = r;
                left.push_back(sector);
            }
            return;
        }
        if (rc == 0 || (s.count == 1 && keptAsItWas(s))) return;
        if (first == 0) first = rc;
        left.push_back(s);
    }

private:
    // A card that refused this many transfers in a row takes no more writes (it failed, or
    // refuses whatever lies past its real part): what is left stays pending, untried, for a
    // later --restore rather than one opening of the card per sector.
    static constexpr unsigned kRefusalsInARow = 16;
    ProbeUndo& undo_;
    DriverBinding& driver_;
    const std::function<uint32_t()>& reopen_;
    std::vector<uint8_t> data_, one_ = std::vector<uint8_t>(kSectorBytes);
    bool gone_ = false;
    unsigned refusals_ = 0;
    uint32_t refusing_ = 0;
};

uint32_t ProbeUndo::restore(DriverBinding& driver, uint64_t usable,
                            const std::function<uint32_t()>& reopen) {
    // In the order saved: wrote() appends as writes come, not as saves did.
    std::stable_sort(pending_.begin(), pending_.end(),
                     [](const Stretch& a, const Stretch& b) { return a.offset < b.offset; });
    std::vector<Stretch> left;
    uint32_t first = 0;
    WriteBack back(*this, driver, reopen);
    for (size_t end = pending_.size(); end > 0;) {
        const uint32_t batch = pending_[end - 1].batch;
        size_t from = end;
        while (from > 0 && pending_[from - 1].batch == batch) --from;
        const auto begin = pending_.begin();
        std::stable_partition(begin + static_cast<std::ptrdiff_t>(from),
                              begin + static_cast<std::ptrdiff_t>(end),
                              [&](const Stretch& s) { return s.first < usable; });
        // Real ones sit first now and are written last: take the batch from its end, all of it
        // on its way at once, settled once; after a failure, again a transfer at a time.
        uint32_t rc = 0;
        for (size_t i = end; i-- > from && rc == 0;) rc = back.put(pending_[i]);
        if (rc == 0) rc = back.settled(pending_[from].first);
        if (rc != 0) {
            back.failedWith(rc);
            for (size_t i = end; i-- > from;) back.again(pending_[i], left, first);
        }
        end = from;
    }
    std::stable_sort(left.begin(), left.end(),
                     [](const Stretch& a, const Stretch& b) { return a.offset < b.offset; });
    pending_ = std::move(left);
    return first;
}

bool ProbeUndo::load(std::string& error) {
    const std::string notOne = "it is not a file a probe saved a card's sectors in";
    uint8_t head[kHeaderBytes];
    if (!store_->readAt(head, sizeof head, 0) || std::memcmp(head, kMagic, 8) != 0 ||
        le64(head + 56) != fnv(head, 56)) {
        error = notOne;
        return false;
    }
    card_.announced = le64(head + 8);
    card_.midKnown = le64(head + 16) != 0;
    std::memcpy(card_.mid.data(), head + 24, 8);
    card_.nonce = le64(head + 32);
    const uint64_t sealedEnd = le64(head + 40);
    if (sealedEnd < kHeaderBytes || sealedEnd > store_->size()) {
        error = "it is cut short: it ends before what it says it holds; nothing was written";
        return false;
    }
    std::vector<Stretch> read;
    std::vector<uint8_t> data;
    for (uint64_t at = kHeaderBytes; at < sealedEnd;) {
        uint8_t fields[kFieldBytes];
        Stretch s;
        const bool whole = at + kFieldBytes <= sealedEnd &&
                           store_->readAt(fields, sizeof fields, at) &&
                           le64(fields + 24) == fnv(fields, 24);
        if (whole) {
            s.batch = static_cast<uint32_t>(le64(fields));
            s.known = (le64(fields) >> 32) != 0;
            s.first = static_cast<uint32_t>(le64(fields + 8) >> 32);
            s.count = static_cast<uint32_t>(le64(fields + 8));
            s.written = true; // whether the card took it is not known any more
            s.offset = at + kFieldBytes;
        }
        const uint64_t bytes = uint64_t{s.count} * kSectorBytes;
        if (!whole || s.count == 0 || s.count > SDHOST_MAX_TRANSFER ||
            uint64_t{s.first} + s.count > card_.announced || s.offset + bytes > sealedEnd ||
            !readData(s, data) || fnv(data.data(), data.size()) != le64(fields + 16)) {
            error = "it is damaged at its saved stretch " + std::to_string(read.size() + 1) +
                    "; nothing was written";
            return false;
        }
        read.push_back(s);
        at = s.offset + bytes;
    }
    saved_ = read;
    pending_ = std::move(read);
    byFirst_.clear();
    for (size_t i = 0; i < saved_.size(); ++i) byFirst_.emplace(saved_[i].first, i);
    return true;
}

std::string ProbeUndo::otherCard(DriverBinding& driver, const UndoCard& now) {
    if (now.announced != card_.announced)
        return "it announces " + std::to_string(now.announced) + " sectors, not the " +
               std::to_string(card_.announced) + " of the card the file was saved from";
    if (now.midKnown && card_.midKnown && now.mid != card_.mid)
        return "its manufacturer id is not that of the card the file was saved from";
    // Each sector it wrote over holds what was saved from it or what the probe wrote there;
    // another card holds neither. The part that kept its data must show that everywhere; past
    // it a limbo card may read back anything, so there most must.
    const size_t step = std::max<size_t>(1, saved_.size() / kMostSamples);
    std::vector<uint8_t> data, sector(kSectorBytes);
    size_t unknown = 0, unlike = 0;
    for (size_t i = 0; i < saved_.size(); i += step) {
        const Stretch& s = saved_[i];
        if (driver.api.DDReadPT(sector.data(), 1, s.first, driver.driverHandle) != 0)
            return "its sector " + std::to_string(s.first) + " cannot be read";
        if (!readData(s, data)) return "the file cannot be read: " + store_->reason();
        const bool like = std::memcmp(sector.data(), data.data(), kSectorBytes) == 0 ||
                          probeTagged(sector.data(), card_.nonce);
        if (s.known && !like)
            return "its sector " + std::to_string(s.first) +
                   " holds neither what was saved from it nor what the probe wrote there";
        unknown += !s.known;
        unlike += !s.known && !like;
    }
    if (unlike * 2 > unknown)
        return std::to_string(unlike) + " of " + std::to_string(unknown) +
               " sectors looked at hold neither what was saved from them nor what the probe "
               "wrote there";
    return {};
}

bool ProbeUndo::keepLeft(UndoStore& into) {
    ProbeUndo copy(into);
    if (!copy.begin(card_)) return false;
    std::vector<uint8_t> data;
    for (const Stretch& s : pending_)
        if (!readData(s, data) || !copy.save(s.batch, s.first, s.count, data.data(), s.known))
            return false;
    return copy.seal();
}

} // namespace brc
