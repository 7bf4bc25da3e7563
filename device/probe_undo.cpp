#include "device/probe_undo.h"

#include <algorithm>
#include <cstring>
#include <fstream>

#include "base/on_card_fields.h"
#include "device/driver_binding.h"

namespace brc {
namespace {

constexpr char kMagic[8] = {'B', 'R', 'C', 'U', 'N', 'D', 'O', '1'};
// No stretch the probe saves is this long; a larger count is a damaged file, not a request
// for gigabytes of memory.
constexpr uint32_t kMaxStretchSectors = 1u << 20;

uint64_t fnv(const uint8_t* data, size_t n, uint64_t h = 0xCBF29CE484222325u) {
    for (size_t i = 0; i < n; ++i) h = (h ^ data[i]) * 0x100000001B3u;
    return h;
}

void put64(std::string& out, uint64_t v) {
    for (int i = 0; i < 8; ++i) out += static_cast<char>(v >> (8 * i));
}
uint64_t get64(const uint8_t* p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = v << 8 | p[i];
    return v;
}

} // namespace

void ProbeUndo::save(uint32_t batch, uint32_t first, uint32_t count, const uint8_t* data) {
    Stretch s{batch, first, count, std::vector<uint8_t>(data, data + size_t{count} * kSectorBytes)};
    stretches_.push_back(std::move(s));
    pending_ = stretches_.size();
}

uint64_t ProbeUndo::sectors() const {
    uint64_t n = 0;
    for (size_t i = 0; i < pending_; ++i) n += stretches_[i].count;
    return n;
}

uint32_t ProbeUndo::restore(DriverBinding& driver, uint64_t usable) {
    while (pending_ > 0) {
        // The latest batch still pending: [from, pending_).
        const uint32_t batch = stretches_[pending_ - 1].batch;
        size_t from = pending_;
        while (from > 0 && stretches_[from - 1].batch == batch) --from;
        const auto begin = stretches_.begin();
        std::stable_partition(begin + static_cast<std::ptrdiff_t>(from),
                              begin + static_cast<std::ptrdiff_t>(pending_),
                              [&](const Stretch& s) { return s.first < usable; });
        // Real ones sit first now and are written last: take the batch from its end.
        for (; pending_ > from; --pending_) {
            const Stretch& s = stretches_[pending_ - 1];
            for (uint32_t done = 0; done < s.count;) {
                const uint32_t n = std::min(s.count - done, SDHOST_MAX_TRANSFER);
                const uint32_t rc =
                    driver.api.DDWritePT(s.data.data() + size_t{done} * kSectorBytes, n,
                                         s.first + done, driver.driverHandle);
                if (rc != 0) return rc;
                done += n;
            }
        }
    }
    return 0;
}

bool ProbeUndo::writeFile(const std::string& path, uint64_t announced, std::string& error) const {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) {
        error = "cannot create '" + path + "'";
        return false;
    }
    std::string head(kMagic, sizeof kMagic);
    put64(head, announced);
    put64(head, pending_);
    out.write(head.data(), static_cast<std::streamsize>(head.size()));
    for (size_t i = 0; i < pending_; ++i) {
        const Stretch& s = stretches_[i];
        std::string fields;
        put64(fields, s.batch);
        put64(fields, uint64_t{s.first} << 32 | s.count);
        put64(fields, fnv(s.data.data(), s.data.size()));
        out.write(fields.data(), static_cast<std::streamsize>(fields.size()));
        out.write(reinterpret_cast<const char*>(s.data.data()),
                  static_cast<std::streamsize>(s.data.size()));
    }
    out.flush();
    if (!out) {
        error = "could not write all of '" + path + "'";
        return false;
    }
    return true;
}

bool ProbeUndo::readFile(const std::string& path, uint64_t& announced, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    uint8_t head[24];
    if (!in || !in.read(reinterpret_cast<char*>(head), sizeof head) ||
        std::memcmp(head, kMagic, 8) != 0) {
        error = "'" + path + "' is not a file a probe saved a card's sectors in";
        return false;
    }
    announced = get64(head + 8);
    const uint64_t count = get64(head + 16);
    std::vector<Stretch> read;
    for (uint64_t i = 0; i < count; ++i) {
        uint8_t fields[24];
        if (!in.read(reinterpret_cast<char*>(fields), sizeof fields)) break;
        const uint64_t span = get64(fields + 8);
        Stretch s{static_cast<uint32_t>(get64(fields)),
                  static_cast<uint32_t>(span >> 32),
                  static_cast<uint32_t>(span),
                  {}};
        if (s.count == 0 || s.count > kMaxStretchSectors || uint64_t{s.first} + s.count > announced)
            break;
        s.data.resize(size_t{s.count} * kSectorBytes);
        if (!in.read(reinterpret_cast<char*>(s.data.data()),
                     static_cast<std::streamsize>(s.data.size())) ||
            fnv(s.data.data(), s.data.size()) != get64(fields + 16))
            break;
        read.push_back(std::move(s));
    }
    if (read.size() != count) {
        error = "'" + path + "' is damaged or cut short at its saved stretch " +
                std::to_string(read.size() + 1) + " of " + std::to_string(count) +
                "; nothing was written";
        return false;
    }
    stretches_ = std::move(read);
    pending_ = stretches_.size();
    return true;
}

} // namespace brc
