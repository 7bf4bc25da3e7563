#include "drivers/virtual_card.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <string_view>
#include <vector>

#include "drivers/image_file.h"

namespace brc::sdhost {

namespace {

// ---- sidecar ----------------------------------------------------------------------------------

// Text from the sidecar as a message quotes it: control bytes as \xNN, so that a NUL or an
// escape sequence in the file neither cuts the line short nor reaches the terminal.
std::string shown(std::string_view text) {
    std::string out;
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out;
}

std::string_view trim(std::string_view s) {
    const char* space = " \t\r\n\f\v";
    size_t begin = s.find_first_not_of(space);
    if (begin == std::string_view::npos) return {};
    return s.substr(begin, s.find_last_not_of(space) - begin + 1);
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A decimal or 0x-hex number; false when the text is none. Values past `limit` give limit + 1.
bool unsignedValue(std::string_view text, uint64_t limit, uint64_t& out) {
    std::string_view digits = text;
    unsigned base = 10;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        digits.remove_prefix(2);
        base = 16;
    }
    if (digits.empty()) return false;
    uint64_t value = 0;
    for (char c : digits) {
        int d = hexDigit(c);
        if (d < 0 || static_cast<unsigned>(d) >= base) return false;
        if (value <= limit) value = value * base + static_cast<unsigned>(d); // stays past limit
    }
    out = value > limit ? limit + 1 : value;
    return true;
}

// Parses a decimal or 0x-hex number in [min, 0xFFFFFFFF]; returns the problem, empty when fine.
std::string number(std::string_view key, std::string_view text, uint32_t min, uint32_t& out) {
    std::string quoted = cat("value '", shown(text), "' of '", shown(key), "'");
    uint64_t value = 0;
    if (!unsignedValue(text, 0xFFFFFFFFu, value))
        return cat(quoted, " is not a decimal or 0x-hex number");
    if (value > 0xFFFFFFFFu || value < min)
        return cat(quoted, " is out of range (", std::to_string(min), " to 4294967295)");
    out = static_cast<uint32_t>(value);
    return {};
}

// "wraparound BYTES" or "limbo BYTES": the kind and the real part, whole sectors of a card of at
// most 0xFFFFFFFF sectors. Whether it is less than the card is seen when the image is opened.
std::string counterfeitValue(std::string_view text, CardConfig& config) {
    const std::string quoted = cat("value '", shown(text), "' of 'counterfeit'");
    const size_t gap = text.find_first_of(" \t");
    const std::string_view kind = text.substr(0, gap);
    const std::string_view bytes = gap == std::string_view::npos ? "" : trim(text.substr(gap));
    const bool known = kind == "wraparound" || kind == "limbo";
    if (!known || bytes.empty() || bytes.find_first_of(" \t") != std::string_view::npos)
        return cat(quoted, " is not 'wraparound BYTES' or 'limbo BYTES'");
    constexpr uint64_t kMaxBytes = uint64_t{0xFFFFFFFFu} * kSectorSize;
    uint64_t real = 0;
    if (!unsignedValue(bytes, kMaxBytes, real))
        return cat(quoted, " does not give its bytes as a decimal or 0x-hex number");
    if (real == 0 || real > kMaxBytes || real % kSectorSize != 0)
        return cat(quoted, " does not give a multiple of 512 bytes from 512 to ",
                   std::to_string(kMaxBytes));
    config.counterfeit = kind == "limbo" ? Counterfeit::Limbo : Counterfeit::Wraparound;
    config.realBytes = real;
    return {};
}

std::string flag(std::string_view key, std::string_view text, bool& out) {
    if (text != "0" && text != "1")
        return cat("value '", shown(text), "' of '", key, "' is not 0 or 1");
    out = text == "1";
    return {};
}

std::string midBytes(std::string_view text, std::optional<std::array<uint8_t, 8>>& mid) {
    if (text == "none") {
        mid.reset();
        return {};
    }
    std::array<uint8_t, 8> out{};
    bool hex = true;
    for (char c : text) hex = hex && hexDigit(c) >= 0;
    if (!hex || text.empty() || text.size() > 16 || text.size() % 2 != 0)
        return cat("value '", shown(text), "' of 'mid' is not an even count of 2 to 16 hex digits");
    for (size_t i = 0; i < text.size() / 2; ++i)
        out[i] = static_cast<uint8_t>(hexDigit(text[2 * i]) * 16 + hexDigit(text[2 * i + 1]));
    mid = out;
    return {};
}

// The keys of counterfeits and failing media beyond the plain kinds; nullopt for another key.
std::optional<std::string> mediaKey(std::string_view key, std::string_view value,
                                    CardConfig& config) {
    if (key == "wrap_spares") {
        constexpr uint64_t kMaxBytes = uint64_t{0xFFFFFFFFu} * kSectorSize;
        if (!unsignedValue(value, kMaxBytes, config.wrapSpares) ||
            config.wrapSpares % kSectorSize != 0)
            return cat("value '", shown(value),
                       "' of 'wrap_spares' is not a multiple of 512 bytes");
        return std::string();
    }
    if (key == "lost_reads") {
        static const std::pair<const char*, LostReads> kReads[] = {{"zeros", LostReads::Zeros},
                                                                   {"ones", LostReads::Ones},
                                                                   {"stale", LostReads::Stale},
                                                                   {"fail", LostReads::Fail}};
        for (const auto& [name, reads] : kReads)
            if (value == name) return config.lostReads = reads, std::string();
        return cat("value '", shown(value), "' of 'lost_reads' is not zeros, ones, stale or fail");
    }
    if (key == "lost_writes") {
        if (value != "fail" && value != "lost")
            return cat("value '", shown(value), "' of 'lost_writes' is not lost or fail");
        config.lostWritesFail = value == "fail";
        return std::string();
    }
    if (key == "bad_sectors" || key == "unwritable_sectors") {
        const bool bad = key == "bad_sectors";
        uint64_t& first = bad ? config.badFirst : config.unwritableFirst;
        uint64_t& count = bad ? config.badCount : config.unwritableCount;
        const size_t gap = value.find(' ');
        const std::string_view n = gap == std::string_view::npos ? "" : trim(value.substr(gap));
        if (!unsignedValue(value.substr(0, gap), 0xFFFFFFFFu, first) ||
            !unsignedValue(n, 0xFFFFFFFFu, count) || count == 0)
            return cat("value '", shown(value), "' of '", key, "' is not 'FIRST COUNT'");
        return std::string();
    }
    return std::nullopt;
}

// Applies one key's value to `config`; returns the problem, empty when fine.
std::string applyKey(std::string_view key, std::string_view value, CardConfig& config) {
    if (key == "protected_sectors") return number(key, value, 0, config.protectedSectors);
    if (key == "write_protect_switch") return flag(key, value, config.writeProtectSwitch);
    if (key == "erase") return flag(key, value, config.eraseSupported);
    if (key == "mid") return midBytes(value, config.mid);
    if (key == "fail_write_call") return number(key, value, 1, config.failWriteCall);
    if (key == "fail_write_code") return number(key, value, 1, config.failWriteCode);
    if (key == "fail_erase_call") return number(key, value, 1, config.failEraseCall);
    if (key == "fail_identify") return number(key, value, 1, config.failIdentify);
    if (key == "drop_write_call") return number(key, value, 1, config.dropWriteCall);
    if (key == "counterfeit") return counterfeitValue(value, config);
    if (std::optional<std::string> problem = mediaKey(key, value, config)) return *problem;
    if (key == "cache") {
        // At most 1 GiB: the cache is held in memory.
        constexpr uint64_t kMaxCache = uint64_t{1} << 30;
        if (!unsignedValue(value, kMaxCache, config.cacheBytes) || config.cacheBytes > kMaxCache)
            return cat("value '", shown(value),
                       "' of 'cache' is not a number of bytes from 0 to 1073741824");
        return {};
    }
    if (key == "vanish_after_writes") {
        uint32_t n = 0;
        std::string problem = number(key, value, 0, n);
        if (problem.empty()) config.vanishAfterWrites = n;
        return problem;
    }
    return cat("unknown key '", shown(key), "'");
}

// True when all `length` bytes at `p` are zero.
bool allZero(const uint8_t* p, size_t length) {
    return length == 0 || (p[0] == 0 && std::memcmp(p, p + 1, length - 1) == 0);
}

// Reads the sidecar of `image` into `config`; a missing sidecar leaves the defaults.
bool readSidecar(const std::string& image, CardConfig& config, std::string& error) {
    const std::string path = image + ".card";
    std::string text;
    bool missing = false;
    if (!readSidecarText(path, missing, text, error)) return false;
    if (missing) return true;
    if (text.size() > kMaxSidecarBytes) {
        error = cat(path, ": larger than ", std::to_string(kMaxSidecarBytes),
                    " bytes, too large for a sidecar");
        return false;
    }
    return parseSidecar(text, path, config, error);
}

} // namespace

bool writeZeros(BackingFile& file, uint64_t offset, uint64_t length) {
    const std::vector<char> zeros(size_t{1} << 20);
    while (length > 0) {
        size_t n = length < zeros.size() ? static_cast<size_t>(length) : zeros.size();
        if (!file.write(zeros.data(), n, offset)) return false;
        offset += n;
        length -= n;
    }
    return true;
}

bool parseSidecar(const std::string& text, const std::string& path, CardConfig& config,
                  std::string& error) {
    std::map<std::string, unsigned, std::less<>> seen; // key -> line it was given on
    unsigned codeLine = 0;
    unsigned lineNumber = 0;
    for (size_t pos = 0; pos < text.size();) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string_view line = trim(std::string_view(text).substr(pos, end - pos));
        pos = end + 1;
        ++lineNumber;
        if (line.empty() || line.front() == '#') continue;

        auto fail = [&](const std::string& problem) {
            error = cat(path, ":", std::to_string(lineNumber), ": ", problem);
            return false;
        };
        size_t eq = line.find('=');
        std::string_view key = trim(line.substr(0, eq == std::string_view::npos ? 0 : eq));
        if (eq == std::string_view::npos || key.empty())
            return fail(cat("'", shown(line), "' is not of the form key = value"));
        std::string problem = applyKey(key, trim(line.substr(eq + 1)), config);
        if (!problem.empty()) return fail(problem);
        auto [it, added] = seen.emplace(std::string(key), lineNumber);
        if (!added)
            return fail(cat("duplicate key '", shown(key), "' (first on line ",
                            std::to_string(it->second), ")"));
        if (key == "fail_write_code") codeLine = lineNumber;
        if (key == "counterfeit") config.counterfeitLine = lineNumber;
    }
    if (codeLine != 0 && config.failWriteCall == 0) {
        error =
            cat(path, ":", std::to_string(codeLine), ": fail_write_code without fail_write_call");
        return false;
    }
    return true;
}

CardGeometry geometryOf(uint32_t userSectors, uint32_t protectedSectors) {
    // Heads and sectors per track by capacity, as SD cards are commonly laid out; 255 / 63
    // above 8,257,536 sectors. Informational only.
    struct Band {
        uint32_t upTo;
        uint32_t heads, sectorsPerTrack;
    };
    static const Band bands[] = {
        {4096, 2, 16},      {32768, 2, 32},         {65536, 4, 32},    {262144, 8, 32},
        {524288, 16, 32},   {1032192, 16, 63},      {2064384, 32, 63}, {4128768, 64, 63},
        {8257536, 128, 63}, {0xFFFFFFFFu, 255, 63},
    };
    const Band* band = bands;
    while (userSectors > band->upTo) ++band;

    CardGeometry g{};
    g.userSectors = userSectors;
    g.heads = band->heads;
    g.sectorsPerTrack = band->sectorsPerTrack;
    g.cylinders = userSectors / (g.heads * g.sectorsPerTrack);
    uint64_t total = uint64_t{userSectors} + protectedSectors;
    g.totalSectors = total > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(total);
    g.cardType = userSectors <= 4194304u ? 0 : userSectors <= 67108864u ? 1 : 2; // 2 GiB, 32 GiB
    g.protectedSectors = protectedSectors;
    g.eraseBlockSectors = g.cardType == 0 ? 128 : 8192;
    return g;
}

VirtualCard::VirtualCard(std::unique_ptr<BackingFile> file, uint32_t userSectors, bool readOnly,
                         CardConfig config, const Host& host)
    : file_(std::move(file)),
      userSectors_(userSectors),
      realSectors_(config.counterfeit == Counterfeit::None ? userSectors
                                                           : config.realBytes / kSectorSize),
      readOnly_(readOnly),
      config_(config),
      host_(host) {}

VirtualCard::Stretch VirtualCard::stretchAt(uint64_t sector, uint64_t end) const {
    if (sector < realSectors_) return {sector, std::min(end, realSectors_) - sector, false};
    if (config_.counterfeit == Counterfeit::Limbo) return {0, end - sector, true};
    // What the card spares of its start stays out of the wrap; the rest takes the writes past it.
    const uint64_t spared = std::min(config_.wrapSpares / kSectorSize, realSectors_ - 1);
    const uint64_t physical = spared + (sector - spared) % (realSectors_ - spared);
    return {physical, std::min(end - sector, realSectors_ - physical), false};
}

bool VirtualCard::vanished() const {
    return config_.vanishAfterWrites && writesDone_ >= *config_.vanishAfterWrites;
}

template <class Attempt>
bool VirtualCard::withRetries(Attempt attempt) {
    for (unsigned i = 0; i <= host_.retries; ++i)
        if (attempt()) return true;
    return false;
}

uint32_t checkTransfer(const void* buffer, uint32_t count, uint32_t first, uint32_t userSectors) {
    if (!buffer || count == 0 || count > SDHOST_MAX_TRANSFER) return SDHOST_ERR_PARAM;
    if (uint64_t{first} + count > userSectors) return SDHOST_ERR_RANGE;
    return SDHOST_OK;
}

uint32_t VirtualCard::identify(CardGeometry& out) const {
    if (config_.failIdentify != 0) return config_.failIdentify;
    out = geometryOf(userSectors_, config_.protectedSectors);
    return SDHOST_OK;
}

uint32_t VirtualCard::secureIdentify(uint32_t& protectedSectors) const {
    protectedSectors = config_.protectedSectors;
    return SDHOST_OK;
}

bool VirtualCard::touchesBad(uint64_t first, uint64_t count, bool write) const {
    const auto touches = [&](uint64_t from, uint64_t n) {
        return n != 0 && first < from + n && from < first + count;
    };
    return touches(config_.badFirst, config_.badCount) ||
           (write && touches(config_.unwritableFirst, config_.unwritableCount));
}

uint32_t VirtualCard::read(void* buffer, uint32_t count, uint32_t first) {
    if (uint32_t rc = checkTransfer(buffer, count, first, userSectors_)) return rc;
    if (touchesBad(first, count, false)) return SDHOST_ERR_IO;
    auto* bytes = static_cast<uint8_t*>(buffer);
    const uint64_t end = uint64_t{first} + count;
    for (uint64_t s = first; s < end;) {
        const Stretch part = stretchAt(s, end);
        // A transfer is at most 256 sectors, so its length fits any size_t.
        uint8_t* into = bytes + (s - first) * kSectorSize;
        const size_t length = static_cast<size_t>(part.count * kSectorSize);
        if (part.lost && config_.lostReads == LostReads::Fail) return SDHOST_ERR_IO;
        if (part.lost && config_.lostReads == LostReads::Stale)
            for (size_t at = 0; at < length; at += kSectorSize)
                std::memcpy(into + at, lastSector_.data(), kSectorSize);
        else if (part.lost)
            std::memset(into, config_.lostReads == LostReads::Ones ? 0xFF : 0, length);
        else if (!withRetries(
                     [&] { return file_->read(into, length, part.physical * kSectorSize); }))
            return SDHOST_ERR_IO;
        s += part.count;
    }
    recall(bytes, count, first);
    return SDHOST_OK;
}

// Notes what a write call gave, as a controller's cache holds it until newer writes push it out.
void VirtualCard::remember(const uint8_t* buffer, uint32_t count, uint32_t first) {
    const uint64_t capacity = config_.cacheBytes / kSectorSize;
    if (capacity == 0) return;
    for (uint32_t k = 0; k < count; ++k) {
        const uint8_t* sector = buffer + size_t{k} * kSectorSize;
        cached_[first + k] = {++cacheClock_, std::vector<uint8_t>(sector, sector + kSectorSize)};
        cacheOrder_.emplace_back(first + k, cacheClock_);
    }
    while (cached_.size() > capacity && !cacheOrder_.empty()) {
        const auto [sector, when] = cacheOrder_.front();
        cacheOrder_.pop_front();
        if (auto it = cached_.find(sector); it != cached_.end() && it->second.first == when)
            cached_.erase(it);
    }
    // A rewritten sector leaves its older entry behind: the queue is rebuilt from what is held
    // before those pile up.
    if (cacheOrder_.size() > 2 * capacity + SDHOST_MAX_TRANSFER) {
        cacheOrder_.clear();
        for (const auto& [sector, entry] : cached_) cacheOrder_.emplace_back(sector, entry.first);
        std::sort(cacheOrder_.begin(), cacheOrder_.end(),
                  [](const auto& a, const auto& b) { return a.second < b.second; });
    }
}

void VirtualCard::recall(uint8_t* buffer, uint32_t count, uint32_t first) const {
    if (cached_.empty()) return;
    for (auto it = cached_.lower_bound(first);
         it != cached_.end() && it->first < uint64_t{first} + count; ++it)
        std::memcpy(buffer + (it->first - first) * kSectorSize, it->second.second.data(),
                    kSectorSize);
}

uint32_t VirtualCard::write(const void* buffer, uint32_t count, uint32_t first) {
    if (uint32_t rc = checkTransfer(buffer, count, first, userSectors_)) return rc;
    if (writeRefused()) return host_.writeProtectCode;
    if (++writeCalls_ == config_.failWriteCall) return config_.failWriteCode;
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    const uint64_t end = uint64_t{first} + count;
    if (touchesBad(first, count, true)) return SDHOST_ERR_IO;
    if (config_.lostWritesFail && end > realSectors_ && config_.counterfeit == Counterfeit::Limbo)
        return SDHOST_ERR_IO;
    std::memcpy(lastSector_.data(), bytes + size_t{count - 1} * kSectorSize, kSectorSize);
    for (uint64_t s = first; s < end && writeCalls_ != config_.dropWriteCall;) {
        const Stretch part = stretchAt(s, end);
        const uint8_t* from = bytes + (s - first) * kSectorSize;
        // Within one transfer, on a card of 32-bit sector numbers.
        const auto n = static_cast<uint32_t>(part.count), at = static_cast<uint32_t>(part.physical);
        if (!part.lost && !withRetries([&] { return writeOnce(from, n, at); })) {
            // Not the card's fault: say so, or the user blames a good card.
            if (file_->full())
                std::fprintf(stderr, "%s: the disk holding the image is full\n", host_.name);
            return SDHOST_ERR_IO;
        }
        s += part.count;
    }
    ++writesDone_;
    remember(bytes, count, first);
    return SDHOST_OK;
}

// One attempt at `count` sectors kept from image sector `first` on. Aligned blocks of zeros are
// punched, everything else is written; zeros the image cannot punch are written too.
bool VirtualCard::writeOnce(const uint8_t* buffer, uint32_t count, uint32_t first) {
    const uint64_t end = uint64_t{first} + count;
    const uint64_t blockBytes = uint64_t{kHoleSectors} * kSectorSize;
    auto at = [&](uint64_t sector) { return buffer + (sector - first) * kSectorSize; };
    auto put = [&](uint64_t from, uint64_t to) {
        return from == to || file_->write(at(from), static_cast<size_t>((to - from) * kSectorSize),
                                          from * kSectorSize);
    };
    auto zeroBlock = [&](uint64_t sector) {
        return sector + kHoleSectors <= end && allZero(at(sector), blockBytes);
    };

    uint64_t written = first; // sectors before this are on the image
    uint64_t block = (uint64_t{first} + kHoleSectors - 1) / kHoleSectors * kHoleSectors;
    while (block + kHoleSectors <= end) {
        if (!zeroBlock(block)) {
            block += kHoleSectors;
            continue;
        }
        uint64_t holeEnd = block + kHoleSectors;
        while (zeroBlock(holeEnd)) holeEnd += kHoleSectors;
        if (!put(written, block)) return false;
        if (!file_->punch(block * kSectorSize, (holeEnd - block) * kSectorSize) &&
            !put(block, holeEnd))
            return false;
        written = block = holeEnd;
    }
    return put(written, end);
}

uint32_t VirtualCard::erase(uint32_t first, uint32_t last) {
    if (last < first || last >= userSectors_) return SDHOST_ERR_RANGE;
    if (!config_.eraseSupported) return SDHOST_ERR_NO_ERASE;
    if (writeRefused()) return host_.writeProtectCode;
    if (++eraseCalls_ == config_.failEraseCall) return SDHOST_ERR_IO;
    // An erase goes past the cache: nothing written before it is read from there any more.
    cached_.clear();
    cacheOrder_.clear();
    const uint64_t end = uint64_t{last} + 1;
    const auto zero = [&](uint64_t physical, uint64_t count) {
        return withRetries(
            [&] { return file_->zero(physical * kSectorSize, count * kSectorSize); });
    };
    for (uint64_t s = first; s < end;) {
        const Stretch part = stretchAt(s, end);
        // A wrapped range as long as the real part erases all of it, however often it goes round.
        if (s >= realSectors_ && !part.lost && end - s >= realSectors_)
            return zero(0, realSectors_) ? SDHOST_OK : SDHOST_ERR_IO;
        if (!part.lost && !zero(part.physical, part.count)) return SDHOST_ERR_IO;
        s += part.count;
    }
    return SDHOST_OK;
}

uint32_t VirtualCard::getMid(uint8_t mid[8]) const {
    // As a card reader that cannot read the card's CID answers.
    if (!config_.mid) return SDHOST_ERR_NO_CARD;
    std::memcpy(mid, config_.mid->data(), config_.mid->size());
    return SDHOST_OK;
}

uint32_t openVirtualCard(const std::string& path, const Host& host,
                         std::unique_ptr<VirtualCard>& card, std::string& error, OpenFor use,
                         const CardIdentity* vetted) {
    std::unique_ptr<BackingFile> file;
    uint64_t size = 0;
    bool readOnly = true;
    if (uint32_t rc = openImage(path, use, file, size, readOnly, error, vetted)) return rc;
    return cardOfImage(path, std::move(file), size, readOnly, host, card, error);
}

uint32_t cardOfImage(const std::string& path, std::unique_ptr<BackingFile> file, uint64_t size,
                     bool readOnly, const Host& host, std::unique_ptr<VirtualCard>& card,
                     std::string& error) {
    if (size == 0 || size % kSectorSize != 0 || size / kSectorSize > 0xFFFFFFFFu) {
        error = cat(path, ": image size ", std::to_string(size), size == 1 ? " byte" : " bytes",
                    " is not a whole number of 512-byte sectors from 1 to 4294967295");
        return SDHOST_ERR_CONFIG;
    }
    CardConfig config;
    if (!readSidecar(path, config, error)) return SDHOST_ERR_CONFIG;
    if (config.counterfeit != Counterfeit::None && config.realBytes >= size) {
        error = cat(path, ".card:", std::to_string(config.counterfeitLine), ": the real part of ",
                    std::to_string(config.realBytes),
                    " bytes of 'counterfeit' is not less than the card's ", std::to_string(size),
                    " bytes");
        return SDHOST_ERR_CONFIG;
    }
    card = std::make_unique<VirtualCard>(std::move(file), static_cast<uint32_t>(size / kSectorSize),
                                         readOnly, config, host);
    return SDHOST_OK;
}

} // namespace brc::sdhost
