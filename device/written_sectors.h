// What a run wrote to its card, as the writes passed through the binding, so that the card can be
// read back afterwards and compared: a card that drops writes, or keeps them somewhere else than
// it announces, formats without an error and is caught only so.
#pragma once

#include <cstdint>
#include <map>

namespace brc {

struct DriverBinding;

class WrittenSectors {
public:
    // `count` sectors from `first` were written with `data`; they replace what was noted there.
    void note(const uint8_t* data, uint32_t count, uint32_t first);
    // The card was erased: what was written before is no longer to be expected.
    void clear() { runs_.clear(); }
    uint64_t sectors() const;

    // How the read-back went: every sector as last written, or the first that is not.
    struct ReadBack {
        bool kept = true;
        bool unreadable = false; // the sector could not be read at all
        uint32_t sector = 0;
    };
    // Reads every noted sector through the binding's card, in ascending order.
    ReadBack readBack(DriverBinding& driver) const;

private:
    // Sectors [first, end): one byte throughout (`fill`), or a single sector of other bytes,
    // kept as a digest of them.
    struct Run {
        uint64_t end;
        bool uniform;
        uint8_t fill;
        uint64_t digest;
    };
    void cut(uint64_t at);
    bool matches(const Run& run, const uint8_t* sector) const;

    std::map<uint64_t, Run> runs_; // by first sector
};

// DDWritePT of the bound card; a write that succeeded is noted where the binding notes writes.
uint32_t writeSectors(DriverBinding& driver, const void* data, uint32_t count, uint32_t first);

} // namespace brc
