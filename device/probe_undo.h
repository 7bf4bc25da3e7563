// What a capacity probe wrote over, saved before each of its batches of writes so the card can
// be put back byte for byte afterwards. The saved sectors live in a store, on the disk for a
// real run: a batch is written to the card only once the store holds all it will write over,
// so a probe killed at any point leaves what a later run puts back.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace brc {

struct DriverBinding;

// Bytes kept for a probe: appended to, rewritten at their start, flushed, read by position.
class UndoStore {
public:
    virtual ~UndoStore() = default;
    virtual bool append(const void* data, size_t length) = 0;
    virtual bool writeAt(const void* data, size_t length, uint64_t offset) = 0;
    // Everything written so far survives a crash of the process or of the system.
    virtual bool sync() = 0;
    virtual bool readAt(void* data, size_t length, uint64_t offset) = 0;
    virtual uint64_t size() const = 0;
    // The system's reason for the last failure, for the message.
    virtual std::string reason() const { return {}; }
};

// A store in memory: for a probe that keeps nothing past its own run, and for tests.
class MemoryUndoStore : public UndoStore {
public:
    bool append(const void* data, size_t length) override;
    bool writeAt(const void* data, size_t length, uint64_t offset) override;
    bool sync() override { return true; }
    bool readAt(void* data, size_t length, uint64_t offset) override;
    uint64_t size() const override { return bytes_.size(); }
    std::vector<uint8_t>& bytes() { return bytes_; }

private:
    std::vector<uint8_t> bytes_;
};

// The card a store was saved from, as far as the system and the card tell.
struct UndoCard {
    uint64_t announced = 0; // sectors
    bool midKnown = false;  // the card's manufacturer id, where the reader gives it
    std::array<uint8_t, 8> mid{};
    uint64_t nonce = 0; // the run's tag: sectors it wrote carry it
};

// Whether `sector` holds a tag the probe of run `nonce` wrote (device/capacity_probe.cpp).
bool probeTagged(const uint8_t* sector, uint64_t nonce);

class ProbeUndo {
public:
    // Kept in memory only (nothing of the card survives the process).
    ProbeUndo();
    // Kept in `store`, which starts empty for a probe or holds what an earlier probe saved.
    explicit ProbeUndo(UndoStore& store);

    // A probe's store starts with what it is saved from; false where the store failed.
    bool begin(const UndoCard& card);
    // Sectors [first, first + count) as they read before batch `batch` wrote anything; `known`
    // where they lie in the part of the card already seen keeping its data. False where the
    // store failed.
    bool save(uint32_t batch, uint32_t first, uint32_t count, const uint8_t* data, bool known);
    // Everything saved so far is in the store for good: the batch may be written.
    bool seal();
    // The card took a write of sectors [first, first + count): what was saved of them is to be
    // written back. A write the card refused changed nothing and is not put back.
    void wrote(uint32_t first, uint32_t count);

    // Nothing is left to write back.
    bool empty() const { return pending_.empty(); }
    // The sectors left to write back.
    uint64_t sectors() const;
    // Everything written over is to be written back again: what was written back did not reach
    // the card (its flush failed). Writing back twice does no harm: the oldest batch wins.
    void rearm();

    // Writes back what is pending, the latest batch first, so that a card that keeps sectors
    // past its real part over its start ends up as it was before the first batch whatever
    // aliased what; within a batch the sectors from `usable` on go first and the real ones
    // last. A transfer that fails is tried again sector by sector; only the sectors that
    // failed stay pending, unless the card is gone. Returns 0 or the first failing result.
    // With `reopen` (which closes the card and opens it again: 0 or the driver's result), each
    // batch is settled by a read, for a driver that queues writes reports a failure at a later
    // call and takes nothing more after it: after a failure the card is opened again and the
    // batch written once more a transfer at a time, each settled.
    uint32_t restore(DriverBinding& driver, uint64_t usable,
                     const std::function<uint32_t()>& reopen = {});

    // Reads what an earlier probe kept in the store; false with `error` for a store that is not
    // one or is damaged where it was sealed. What was saved after the last seal was never
    // written to the card and is left out.
    bool load(std::string& error);
    const UndoCard& card() const { return card_; }
    // Why the open card is not the one the store was saved from, or empty: its size or its
    // manufacturer id differ, or a sector of its known part holds neither what was saved from
    // it nor what the probe wrote.
    std::string otherCard(DriverBinding& driver, const UndoCard& now);
    // What is left to write back, into a fresh store of its own, sealed; false where it failed.
    bool keepLeft(UndoStore& into);
    std::string storeReason() const { return store_->reason(); }

private:
    struct Stretch {
        uint32_t batch = 0;
        uint32_t first = 0;
        uint32_t count = 0;
        bool known = false;
        bool written = false;
        uint64_t offset = 0; // of its sectors in the store
    };
    bool writeHeader(uint64_t sealedEnd);
    bool readData(const Stretch& s, std::vector<uint8_t>& data);
    class WriteBack; // restore()'s writes and what they met

    std::unique_ptr<MemoryUndoStore> own_;
    UndoStore* store_;
    UndoCard card_;
    std::vector<Stretch> saved_;              // in the order they were saved
    std::vector<Stretch> pending_;            // to be written back, in the order they were saved
    std::multimap<uint32_t, size_t> byFirst_; // saved_ by first sector
};

} // namespace brc
