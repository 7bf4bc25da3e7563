#include "tests/support/fake_card.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <stdexcept>

#include "tests/support/fake_os.h"

// Every operation: its DriverApi field and export name, its trampoline, under which names the
// routes export it (Both: plain on route 1, with the SD_W2k_ prefix on route 2), its Op.
#define BRC_FAKE_CARD_OPS(X)                                                                         \
    X(DDSysInit, sysInit, Both, SysInit) X(DDSysFini, sysFini, Both, SysFini)                      \
    X(DDInit, init, Both, Init) X(DDFini, fini, Both, Fini) X(DDIdentify, identify, Both, Identify) \
    X(DDSecureIdentify, secureIdentify, Both, SecureIdentify) X(DDReadPT, read, Both, Read)        \
    X(DDWritePT, write, Both, Write) X(DDChkSDCard, checkCard, Both, CheckCard)                     \
    X(DDErase, erase, Plain, Erase) X(DDGetMID, getMid, Route1Only, GetMid)                         \
    X(DrvLock, lock, Route2Only, Lock) X(DrvLock2, lock2, Route2Only, Lock2)                        \
    X(DrvUnlock, unlock, Route2Only, Unlock)

namespace brc::test {

bool SectorMap::writeImage(const std::filesystem::path& path, uint32_t first, uint64_t count) const {
    { std::ofstream create(path, std::ios::binary | std::ios::trunc); }
    std::error_code ec;
    std::filesystem::resize_file(path, count * 512, ec);
    if (ec) return false;
    std::fstream out(path, std::ios::binary | std::ios::in | std::ios::out);
    for (auto it = sectors.lower_bound(first); it != sectors.end() && it->first - first < count; ++it) {
        out.seekp(static_cast<std::streamoff>(uint64_t{it->first - first} * 512));
        out.write(reinterpret_cast<const char*>(it->second.data()), 512);
    }
    return out.good();
}

std::string describe(const Call& c) {
    std::string name;
    switch (c.op) {
#define BRC_NAME(field, trampoline, exported, op) case Op::op: name = #field; break;
        BRC_FAKE_CARD_OPS(BRC_NAME)
#undef BRC_NAME
    }
    const auto n = [](uint32_t v) { return std::to_string(v); };
    switch (c.op) {
    case Op::Read:
    case Op::Write: return name + " " + n(c.first) + "+" + n(c.count);
    case Op::Erase: return name + " " + n(c.first) + "-" + n(c.last);
    case Op::Init:
    case Op::Lock:
    case Op::Lock2:
    case Op::Unlock: return name + " " + n(c.drive);
    default: return name;
    }
}

namespace {

// The driver interface has no context pointer: each live card owns a slot, and the slot's
// trampolines find it there. Two cards at once serve a bound library and a private instance.
constexpr int kSlots = 4;
FakeCard* gSlots[kSlots] = {};

enum Exported { Both, Plain, Route1Only, Route2Only };

bool offered(Exported e, uint32_t route) {
    return e == Both || e == Plain || (e == Route1Only) == (route == 1);
}

} // namespace

template <int S> struct Trampolines {
    // Lets the slot's card serve the call with `run(card, call)`: its own answer, or the real
    // library's when it stands in front of one.
    template <class Run> static uint32_t go(Call call, bool cardCall, Run run) {
        FakeCard* c = gSlots[S];
        if (!c) {
            ADD_FAILURE() << describe(call) << " on a fake card that no longer exists";
            return SDHOST_ERR_NOT_READY;
        }
        return c->serve(call, cardCall, [&](Call& done) { return run(*c, done); });
    }

    static uint32_t SDHOST_CALL sysInit() {
        return go({.op = Op::SysInit}, false,
                  [](FakeCard& c, Call&) { return c.wrapped_ ? c.real_.DDSysInit() : 0u; });
    }
    static uint32_t SDHOST_CALL sysFini() {
        return go({.op = Op::SysFini}, false,
                  [](FakeCard& c, Call&) { return c.wrapped_ ? c.real_.DDSysFini() : 0u; });
    }
    static uint32_t SDHOST_CALL init(uint32_t* h, uint32_t drive) {
        const uint32_t r = go({.op = Op::Init, .drive = drive}, false, [=](FakeCard& c, Call& done) {
            const uint32_t rr = c.wrapped_ ? c.real_.DDInit(h, drive) : (*h = c.handle, 0u);
            if (rr == 0) done.handle = *h;
            return rr;
        });
        if (r != 0) *h = 0;
        return r;
    }
    static uint32_t SDHOST_CALL fini(uint32_t h) {
        return go({.op = Op::Fini, .handle = h}, true,
                  [=](FakeCard& c, Call&) { return c.wrapped_ ? c.real_.DDFini(h) : 0u; });
    }
    static uint32_t SDHOST_CALL identify(uint32_t* user, uint32_t* cylinders, uint32_t* total,
                                         uint32_t* heads, uint16_t* bytesPerSector,
                                         uint32_t* sectorsPerTrack, uint8_t* cardType,
                                         uint32_t* prot, uint8_t* busWidth, uint32_t* eraseBlock,
                                         uint32_t* reserved, uint32_t h) {
        return go({.op = Op::Identify, .handle = h}, true, [&](FakeCard& c, Call&) {
            if (c.wrapped_)
                return c.real_.DDIdentify(user, cylinders, total, heads, bytesPerSector,
                                          sectorsPerTrack, cardType, prot, busWidth, eraseBlock,
                                          reserved, h);
            const uint64_t all = uint64_t{c.userSectors} + c.protectedSectors;
            *user = c.userSectors;
            *cylinders = c.userSectors / (c.heads * c.sectorsPerTrack);
            *total = static_cast<uint32_t>(std::min<uint64_t>(all, 0xFFFFFFFFu));
            *heads = c.heads;
            *bytesPerSector = c.bytesPerSector;
            *sectorsPerTrack = c.sectorsPerTrack;
            *cardType = c.cardType;
            *prot = c.protectedSectors;
            *busWidth = c.busWidth;
            *eraseBlock = c.eraseBlockSectors;
            *reserved = 0;
            return 0u;
        });
    }
    static uint32_t SDHOST_CALL secureIdentify(uint32_t* prot, uint32_t h) {
        return go({.op = Op::SecureIdentify, .handle = h}, true, [=](FakeCard& c, Call&) {
            return c.wrapped_ ? c.real_.DDSecureIdentify(prot, h) : (*prot = c.protectedSectors, 0u);
        });
    }
    static uint32_t SDHOST_CALL read(void* buffer, uint32_t count, uint32_t first, uint32_t h) {
        const Call call{.op = Op::Read, .first = first, .count = count, .handle = h};
        return go(call, true, [=](FakeCard& c, Call&) {
            if (c.wrapped_) return c.real_.DDReadPT(buffer, count, first, h);
            if (const uint32_t r = c.checkTransfer(buffer, count, first)) return r;
            for (uint32_t i = 0; i < count; ++i)
                std::memcpy(static_cast<uint8_t*>(buffer) + size_t{512} * i, c.get(first + i).data(), 512);
            return 0u;
        });
    }
    static uint32_t SDHOST_CALL write(const void* buffer, uint32_t count, uint32_t first, uint32_t h) {
        const auto* bytes = static_cast<const uint8_t*>(buffer);
        const Call call{.op = Op::Write, .first = first, .count = count, .handle = h, .data = bytes};
        return go(call, true, [=](FakeCard& c, Call&) {
            if (c.wrapped_) return c.real_.DDWritePT(buffer, count, first, h);
            if (const uint32_t r = c.checkTransfer(buffer, count, first)) return r;
            for (uint32_t i = 0; i < count && c.keepData; ++i) c.put(first + i, bytes + size_t{512} * i);
            return 0u;
        });
    }
    static uint32_t SDHOST_CALL getMid(uint8_t mid[8], uint32_t zero, uint32_t h) {
        return go({.op = Op::GetMid, .handle = h}, true, [=](FakeCard& c, Call&) {
            return c.wrapped_ ? c.real_.DDGetMID(mid, zero, h) : (std::memcpy(mid, c.mid.data(), 8), 0u);
        });
    }
    static uint32_t SDHOST_CALL checkCard(uint32_t drive, uint32_t* flags) {
        return go({.op = Op::CheckCard, .drive = drive}, false, [=](FakeCard& c, Call&) {
            return c.wrapped_ ? c.real_.DDChkSDCard(drive, flags) : (*flags = c.checkFlags, 0u);
        });
    }
    static uint32_t SDHOST_CALL erase(uint32_t first, uint32_t last, uint32_t h) {
        return go({.op = Op::Erase, .first = first, .last = last, .handle = h}, true, [=](FakeCard& c, Call&) {
            if (c.wrapped_) return c.real_.DDErase(first, last, h);
            if (first > last || last >= c.userSectors) return SDHOST_ERR_RANGE;
            c.sectors.erase(c.sectors.lower_bound(first), c.sectors.upper_bound(last));
            return 0u;
        });
    }
    template <Op kOp, DrvLock_t DriverApi::*kReal> static uint32_t SDHOST_CALL anyLock(uint32_t drive) {
        return go({.op = kOp, .drive = drive}, false,
                  [=](FakeCard& c, Call&) { return c.wrapped_ ? (c.real_.*kReal)(drive) : 0u; });
    }
    static constexpr DrvLock_t lock = anyLock<Op::Lock, &DriverApi::DrvLock>;
    static constexpr DrvLock_t lock2 = anyLock<Op::Lock2, &DriverApi::DrvLock2>;
    static constexpr DrvLock_t unlock = anyLock<Op::Unlock, &DriverApi::DrvUnlock>;

    static DriverApi table() {
        DriverApi a;
#define BRC_SET(field, trampoline, exported, op) a.field = trampoline;
        BRC_FAKE_CARD_OPS(BRC_SET)
#undef BRC_SET
        return a;
    }
};

namespace {
constexpr DriverApi (*kTables[kSlots])() = {Trampolines<0>::table, Trampolines<1>::table,
                                              Trampolines<2>::table, Trampolines<3>::table};
} // namespace

FakeCard::FakeCard() {
    for (int s = 0; s < kSlots && slot_ < 0; ++s)
        if (!gSlots[s]) slot_ = s;
    if (slot_ < 0) throw std::logic_error("more fake cards at once than there are slots");
    gSlots[slot_] = this;
}

FakeCard::FakeCard(uint32_t user, uint32_t prot) : FakeCard() {
    userSectors = user;
    protectedSectors = prot;
}

FakeCard::~FakeCard() { gSlots[slot_] = nullptr; }

void FakeCard::fail(Op op, uint32_t code, uint32_t nth) {
    if (code != 0) failures_.push_back({op, code, nth, false, 0});
}

void FakeCard::failSector(Op op, uint32_t sector, uint32_t code) {
    if (code != 0) failures_.push_back({op, code, 0, true, sector});
}

template <class Run> uint32_t FakeCard::serve(Call call, bool cardCall, Run run) {
    const uint32_t nth = ++seen_[static_cast<size_t>(call.op)];
    if (onCall) onCall(call);
    call.data = nullptr;
    const uint32_t forced = scripted(call, nth);
    if (!wrapped_ && cardCall && call.handle != handle) {
        ADD_FAILURE() << describe(call) << " with handle " << call.handle << ", the card's is " << handle;
        call.result = SDHOST_ERR_HANDLE;
    } else if (forced != 0 && call.op != Op::Fini) {
        call.result = forced;
    } else {
        call.result = run(call);
        if (forced != 0) call.result = forced;
    }
    calls.push_back(call);
    return call.result;
}

uint32_t FakeCard::scripted(const Call& c, uint32_t nth) const {
    for (const Failure& f : failures_) {
        if (f.op != c.op) continue;
        const bool hit = !f.bySector ? f.nth == kEveryCall || f.nth == nth
                         : c.op == Op::Erase ? c.first <= f.sector && f.sector <= c.last
                                             : c.first <= f.sector && f.sector - c.first < c.count;
        if (hit) return f.code;
    }
    return 0;
}

uint32_t FakeCard::checkTransfer(const void* buffer, uint32_t count, uint32_t first) const {
    if (!buffer || count == 0 || count > SDHOST_MAX_TRANSFER) return SDHOST_ERR_PARAM;
    if (uint64_t{first} + count > userSectors) return SDHOST_ERR_RANGE;
    return 0;
}

DriverApi FakeCard::table(bool onlyReal) const {
    DriverApi t = kTables[slot_]();
#define BRC_KEEP(field, trampoline, exported, op) if (onlyReal && !real_.field) t.field = nullptr;
    BRC_FAKE_CARD_OPS(BRC_KEEP)
#undef BRC_KEEP
    return t;
}

void FakeCard::install(DriverBinding& binding, uint32_t route) {
    DriverApi api = table(wrapped_);
#define BRC_ROUTE(field, trampoline, exported, op) if (!offered(exported, route)) api.field = nullptr;
    BRC_FAKE_CARD_OPS(BRC_ROUTE)
#undef BRC_ROUTE
    // Installed as a library already started: unbinding never calls into a card gone by then.
    api.DDSysInit = nullptr;
    api.DDSysFini = nullptr;
    installDriverTable(binding, route, api);
    binding.driverHandle = handle;
}

void FakeCard::wrap(const DriverApi& real) {
    real_ = real;
    wrapped_ = true;
}

void FakeCard::wrap(DriverBinding& binding) {
    wrap(binding.api);
    DriverApi api = table(true);
    api.DDSysInit = real_.DDSysInit;
    api.DDSysFini = real_.DDSysFini;
    binding.api = api;
}

void FakeCard::addTo(FakeOs& os, const std::string& path, uint32_t route) const {
    DriverApi t = table(wrapped_);
    if (wrapped_) {
        t.DDSysInit = real_.DDSysInit;
        t.DDSysFini = real_.DDSysFini;
    }
    os.addLibrary(path);
    const std::string prefix = route == 2 ? "SD_W2k_" : "";
#define BRC_ADD(field, trampoline, exported, op)                                                   \
    if (t.field && offered(exported, route))                                                       \
        os.addLibraryProc(path, (exported == Plain ? "" : prefix) + #field, t.field);
    BRC_FAKE_CARD_OPS(BRC_ADD)
#undef BRC_ADD
}

void FakeCard::logTo(FakeOs& os, const std::string& prefix) {
    onCall = [&os, prefix](const Call& c) { os.note(prefix + describe(c)); };
}

std::vector<Call> FakeCard::callsOf(Op op) const {
    std::vector<Call> out;
    std::copy_if(calls.begin(), calls.end(), std::back_inserter(out), [op](const Call& c) { return c.op == op; });
    return out;
}

size_t FakeCard::countOf(Op op) const { return callsOf(op).size(); }

std::vector<Span> FakeCard::transfers(Op op) const {
    std::vector<Span> out;
    for (const Call& c : callsOf(op)) out.emplace_back(c.first, op == Op::Erase ? c.last : c.count);
    return out;
}

std::vector<Span> FakeCard::written() const {
    std::vector<Span> out;
    for (const Call& c : callsOf(Op::Write))
        if (c.result == 0) out.emplace_back(c.first, c.count);
    return out;
}

std::vector<std::string> FakeCard::lines() const {
    std::vector<std::string> out;
    for (const Call& c : calls) out.push_back(describe(c));
    return out;
}

FakeCard::Balance FakeCard::balance() const {
    Balance b;
    std::multiset<uint32_t> open;
    for (const Call& c : calls) {
        if (c.op == Op::Init && c.result == 0) ++b.opened, open.insert(c.handle);
        if (c.op != Op::Fini) continue;
        const auto it = open.find(c.handle);
        if (it == open.end()) {
            ++b.strays;
        } else {
            open.erase(it);
            ++b.closed;
        }
    }
    return b;
}

} // namespace brc::test
