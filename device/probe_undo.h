// What a capacity probe wrote over, saved before each of its batches of writes so the card can
// be put back byte for byte afterwards, also by a later run from a file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace brc {

struct DriverBinding;

class ProbeUndo {
public:
    // Sectors [first, first + count) as they read before batch `batch` wrote anything.
    struct Stretch {
        uint32_t batch = 0;
        uint32_t first = 0;
        uint32_t count = 0;
        std::vector<uint8_t> data;
    };

    void save(uint32_t batch, uint32_t first, uint32_t count, const uint8_t* data);
    // Nothing is left to write back.
    bool empty() const { return pending_ == 0; }
    // The sectors left to write back.
    uint64_t sectors() const;
    // Everything saved is to be written back again: what was written back did not reach the
    // card (its flush failed). Writing back twice does no harm: the oldest batch wins.
    void rearm() { pending_ = stretches_.size(); }

    // Writes everything back, the latest batch first, so that a card that keeps sectors past its
    // real part over its start ends up as it was before the first batch whatever aliased what;
    // within a batch the sectors from `usable` on go first and the real ones last. Returns 0 or
    // the first failing driver result; what is left to write back is what stays pending.
    uint32_t restore(DriverBinding& driver, uint64_t usable);

    // What is left to write back in a file of its own, and back. `announced` is the card's
    // announced sectors, which a later restore checks against the card it is given. False with
    // `error` on failure.
    bool writeFile(const std::string& path, uint64_t announced, std::string& error) const;
    bool readFile(const std::string& path, uint64_t& announced, std::string& error);

private:
    std::vector<Stretch> stretches_; // in the order they were saved
    size_t pending_ = 0;             // the first this many are still to be written back
};

} // namespace brc
