#include "drivers/volsvc/pipe_protocol.h"

#include <algorithm>
#include <iterator>
#include <utility>

#include "device/sdhost_abi.h"

namespace brc::volsvc {
namespace {

// An identity's texts are bounded as the run's shelf keeps them.
constexpr size_t kVendorMax = sizeof(windisk::ShelfDrive::vendor) - 1;
constexpr size_t kProductMax = sizeof(windisk::ShelfDrive::product) - 1;
constexpr size_t kSerialMax = sizeof(windisk::ShelfDrive::serial) - 1;
constexpr uint32_t kHasExpected = 1, kHasPartition = 2;

class Writer {
public:
    void u16(uint64_t v) { put(v, 2); }
    void u32(uint64_t v) { put(v, 4); }
    void u64(uint64_t v) { put(v, 8); }
    void text8(const std::string& s, size_t max) {
        const size_t n = std::min(s.size(), max);
        put(n, 1);
        bytes_.insert(bytes_.end(), s.begin(), s.begin() + static_cast<std::ptrdiff_t>(n));
    }
    void text16(const std::string& s, size_t max) {
        const size_t n = std::min(s.size(), max);
        put(n, 2);
        bytes_.insert(bytes_.end(), s.begin(), s.begin() + static_cast<std::ptrdiff_t>(n));
    }
    // The total length, at its place in the header.
    std::vector<uint8_t> done() {
        const size_t n = bytes_.size();
        for (int i = 0; i < 4; ++i) bytes_[8 + i] = static_cast<uint8_t>(n >> (8 * i));
        return std::move(bytes_);
    }

private:
    void put(uint64_t v, int n) {
        for (int i = 0; i < n; ++i) bytes_.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
    std::vector<uint8_t> bytes_;
};

// Reads stop at the end: a field that would pass it fails the whole message.
class Reader {
public:
    Reader(const uint8_t* data, size_t length) : data_(data), left_(length) {}
    bool u16(uint16_t& v) { return get(v, 2); }
    bool u32(uint32_t& v) { return get(v, 4); }
    bool u64(uint64_t& v) { return get(v, 8); }
    bool text8(std::string& s, size_t max) {
        uint8_t n = 0;
        return get(n, 1) && n <= max && take(s, n);
    }
    bool text16(std::string& s, size_t max) {
        uint16_t n = 0;
        return get(n, 2) && n <= max && take(s, n);
    }
    bool atEnd() const { return left_ == 0; }

private:
    template <typename T>
    bool get(T& v, size_t n) {
        if (left_ < n) return false;
        uint64_t x = 0;
        for (size_t i = 0; i < n; ++i) x |= uint64_t{data_[i]} << (8 * i);
        v = static_cast<T>(x);
        data_ += n;
        left_ -= n;
        return true;
    }
    bool take(std::string& s, size_t n) {
        if (left_ < n) return false;
        s.assign(reinterpret_cast<const char*>(data_), n);
        // A text with a NUL would compare unlike what the system answers; refuse it.
        if (s.find('\0') != std::string::npos) return false;
        data_ += n;
        left_ -= n;
        return true;
    }
    const uint8_t* data_;
    size_t left_;
};

void writeIdentity(Writer& w, const windisk::DiskIdentity& d) {
    w.u32(d.number);
    w.u64(d.bytes);
    w.text8(d.vendor, kVendorMax);
    w.text8(d.product, kProductMax);
    w.text8(d.serial, kSerialMax);
}

bool readIdentity(Reader& r, windisk::DiskIdentity& d) {
    return r.u32(d.number) && r.u64(d.bytes) && r.text8(d.vendor, kVendorMax) &&
           r.text8(d.product, kProductMax) && r.text8(d.serial, kSerialMax);
}

// The header every message begins with; `length` must be the message's own.
bool readHeader(Reader& r, uint32_t magic, size_t length, uint16_t& version, uint16_t& word) {
    uint32_t m = 0, declared = 0;
    return r.u32(m) && m == magic && r.u16(version) && r.u16(word) && r.u32(declared) &&
           declared == length;
}

constexpr RefusalRule kRules[] = {
    {Refusal::None, SDHOST_OK, false, 0, "handed"},
    {Refusal::Malformed, SDHOST_ERR_PARAM, true, 101, "the request is malformed"},
    {Refusal::TooLarge, SDHOST_ERR_PARAM, true, 102, "the request is too large"},
    {Refusal::Version, SDHOST_ERR_PARAM, false, 103, "the service speaks another version"},
    {Refusal::UnknownKind, SDHOST_ERR_PARAM, true, 104, "the service knows no such request"},
    {Refusal::TooMany, SDHOST_ERR_TOO_MANY, true, 105, "too many requests on one connection"},
    {Refusal::TooManyCards, SDHOST_ERR_TOO_MANY, false, 106, "too many cards held at once"},
    {Refusal::NotACard, SDHOST_ERR_CONFIG, true, 107, "not a card"},
    {Refusal::NoMedium, SDHOST_ERR_NO_CARD, false, 108, "no card"},
    {Refusal::NotTheRunDisk, SDHOST_ERR_NO_CARD, true, 109, "not the card the run began on"},
    {Refusal::Busy, SDHOST_ERR_BUSY, false, 110, "another program is using the card"},
    {Refusal::NotHeld, SDHOST_ERR_HANDLE, false, 111, "the card is not held by this client"},
    {Refusal::SystemFailed, SDHOST_ERR_ACCESS, true, 112, "the system refused the disk"},
    {Refusal::VolumeNotBack, SDHOST_VOLUME_NOT_BACK, false, 114,
     "given back, but its volume did not come back"},
};
static_assert(std::size(kRules) == kLastRefusal + 1);

} // namespace

const RefusalRule& ruleOf(Refusal refusal) {
    const auto i = static_cast<size_t>(refusal);
    return i < std::size(kRules) ? kRules[i] : kRules[static_cast<size_t>(Refusal::Malformed)];
}

std::vector<uint8_t> encodeRequest(const Request& request) {
    Writer w;
    w.u32(kRequestMagic);
    w.u16(kProtocolVersion);
    w.u16(static_cast<uint16_t>(request.kind));
    w.u32(0);
    w.u32(request.drive);
    w.u32(request.access);
    w.u32(request.process);
    w.u32((request.expected ? kHasExpected : 0) | (request.partition ? kHasPartition : 0));
    if (request.expected) writeIdentity(w, *request.expected);
    if (request.partition) w.u64(*request.partition);
    return w.done();
}

ParsedRequest parseRequest(const uint8_t* data, size_t length) {
    if (length > kMaxRequestBytes) return {std::nullopt, Refusal::TooLarge};
    Reader r(data, length);
    uint16_t version = 0, kind = 0;
    if (!readHeader(r, kRequestMagic, length, version, kind))
        return {std::nullopt, Refusal::Malformed};
    if (version != kProtocolVersion) return {std::nullopt, Refusal::Version};
    if (kind != static_cast<uint16_t>(Kind::OpenCard) &&
        kind != static_cast<uint16_t>(Kind::ReleaseCard))
        return {std::nullopt, Refusal::UnknownKind};
    Request q;
    q.kind = static_cast<Kind>(kind);
    uint32_t flags = 0;
    if (!r.u32(q.drive) || !r.u32(q.access) || !r.u32(q.process) || !r.u32(flags))
        return {std::nullopt, Refusal::Malformed};
    const bool accessKnown = q.access != 0 && (q.access & ~uint32_t{kRead | kWrite}) == 0;
    // A partition offset only ends a run: an opening carries none.
    const bool partitionKnown = !(flags & kHasPartition) || q.kind == Kind::ReleaseCard;
    if (q.drive >= windisk::kShelfDrives || !accessKnown ||
        (flags & ~(kHasExpected | kHasPartition)) != 0 || !partitionKnown)
        return {std::nullopt, Refusal::Malformed};
    if (flags & kHasExpected) {
        windisk::DiskIdentity d;
        if (!readIdentity(r, d)) return {std::nullopt, Refusal::Malformed};
        q.expected = d;
    }
    if (flags & kHasPartition) {
        uint64_t offset = 0;
        if (!r.u64(offset) || offset % 512 != 0) return {std::nullopt, Refusal::Malformed};
        q.partition = offset;
    }
    if (!r.atEnd()) return {std::nullopt, Refusal::Malformed};
    return {q, Refusal::None};
}

std::vector<uint8_t> encodeAnswer(const Answer& answer) {
    Writer w;
    w.u32(kAnswerMagic);
    w.u16(kProtocolVersion);
    w.u16(static_cast<uint16_t>(answer.refusal));
    w.u32(0);
    w.u64(answer.handle);
    writeIdentity(w, answer.disk);
    w.text16(answer.message, kMaxMessageText);
    return w.done();
}

std::optional<Answer> parseAnswer(const uint8_t* data, size_t length) {
    if (length > kMaxAnswerBytes) return std::nullopt;
    Reader r(data, length);
    uint16_t version = 0, refusal = 0;
    if (!readHeader(r, kAnswerMagic, length, version, refusal) || version != kProtocolVersion ||
        refusal > kLastRefusal)
        return std::nullopt;
    Answer a;
    a.refusal = static_cast<Refusal>(refusal);
    if (!r.u64(a.handle) || !readIdentity(r, a.disk) || !r.text16(a.message, kMaxMessageText) ||
        !r.atEnd())
        return std::nullopt;
    return a;
}

} // namespace brc::volsvc
