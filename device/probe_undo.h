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
    bool empty() const { return stretches_.empty(); }
    uint64_t sectors() const;
    const std::vector<Stretch>& stretches() const { return stretches_; }

    // Writes everything back, the latest batch first, so that a card that keeps sectors past its
    // real part over its start ends up as it was before the first batch whatever aliased what;
    // within a batch the sectors from `usable` on go first and the real ones last. What was
    // written back leaves the log; returns 0 or the first failing driver result, the log then
    // holding what is still to be written.
    uint32_t restore(DriverBinding& driver, uint64_t usable);

    // The log in a file of its own, and back. `announced` is the card's announced sectors, which
    // a later restore checks against the card it is given. False with `error` on failure.
    bool writeFile(const std::string& path, uint64_t announced, std::string& error) const;
    bool readFile(const std::string& path, uint64_t& announced, std::string& error);

private:
    std::vector<Stretch> stretches_; // in the order they were saved
};

} // namespace brc
