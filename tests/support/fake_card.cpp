#include "tests/support/fake_card.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <stdexcept>

#include "platform/fake/fake_os.h"

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
    const auto n = [](uint32_t v) { return std::to_string(v); };
    switch (c.op) {
    case Op::SysInit: return "DDSysInit";
    case Op::SysFini: return "DDSysFini";
    case Op::Init: return "DDInit " + n(c.drive);
    case Op::Fini: return "DDFini";
    case Op::Identify: return "DDIdentify";
    case Op::SecureIdentify: return "DDSecureIdentify";
    case Op::Read: return "DDReadPT " + n(c.first) + "+" + n(c.count);
    case Op::Write: return "DDWritePT " + n(c.first) + "+" + n(c.count);
    case Op::GetMid: return "DDGetMID";
    case Op::CheckCard: return "DDChkSDCard";
    case Op::Erase: return "DDErase " + n(c.first) + "-" + n(c.last);
    case Op::Lock: return "DrvLock " + n(c.drive);
    case Op::Lock2: return "DrvLock2 " + n(c.drive);
    case Op::Unlock: return "DrvUnlock " + n(c.drive);
    }
    return "?";
}

namespace {

// The driver interface has no context pointer: each live card owns a slot, and the slot's
// trampolines find it there. Two cards at once serve a bound library and a private instance.
constexpr int kSlots = 4;
FakeCard* gSlots[kSlots] = {};

uint32_t gone(const char* op) {
    ADD_FAILURE() << op << " called on a fake card that no longer exists";
    return SDHOST_ERR_NOT_READY;
}

} // namespace

template <int S> struct Trampolines {
    static uint32_t SDHOST_CALL sysInit() {
        FakeCard* c = gSlots[S];
        if (!c) return gone("DDSysInit");
        return c->serve(Call{Op::SysInit}, false,
                        [c](Call&) { return c->wrapped_ ? c->real_.DDSysInit() : 0u; });
    }
    static uint32_t SDHOST_CALL sysFini() {
        FakeCard* c = gSlots[S];
        if (!c) return gone("DDSysFini");
        return c->serve(Call{Op::SysFini}, false,
                        [c](Call&) { return c->wrapped_ ? c->real_.DDSysFini() : 0u; });
    }
    static uint32_t SDHOST_CALL init(uint32_t* h, uint32_t drive) {
        FakeCard* c = gSlots[S];
        if (!c) return gone("DDInit");
        Call call{Op::Init};
        call.drive = drive;
        const uint32_t r = c->serve(call, false, [c, h, drive](Call& done) {
            if (c->wrapped_) {
                const uint32_t rr = c->real_.DDInit(h, drive);
                if (rr == 0) done.handle = *h;
                return rr;
            }
            if (!h) return SDHOST_ERR_PARAM;
            done.handle = *h = c->handle;
            return 0u;
        });
        if (r != 0 && h) *h = 0;
        return r;
    }
    static uint32_t SDHOST_CALL fini(uint32_t h) {
        FakeCard* c = gSlots[S];
        if (!c) return gone("DDFini");
        Call call{Op::Fini};
        call.handle = h;
        return c->serve(call, true, [c, h](Call&) { return c->wrapped_ ? c->real_.DDFini(h) : 0u; });
    }
    static uint32_t SDHOST_CALL identify(uint32_t* user, uint32_t* cylinders, uint32_t* total,
                                         uint32_t* heads, uint16_t* bytesPerSector,
                                         uint32_t* sectorsPerTrack, uint8_t* cardType,
                                         uint32_t* prot, uint8_t* busWidth, uint32_t* eraseBlock,
                                         uint32_t* reserved, uint32_t h) {
        FakeCard* c = gSlots[S];
        if (!c) return gone("DDIdentify");
        Call call{Op::Identify};
        call.handle = h;
        return c->serve(call, true, [&](Call&) {
            if (c->wrapped_)
                return c->real_.DDIdentify(user, cylinders, total, heads, bytesPerSector,
                                           sectorsPerTrack, cardType, prot, busWidth, eraseBlock,
                                           reserved, h);
            if (!user || !cylinders || !total || !heads || !bytesPerSector || !sectorsPerTrack ||
                !cardType || !prot || !busWidth || !eraseBlock || !reserved)
                return SDHOST_ERR_PARAM;
            const uint64_t all = uint64_t{c->userSectors} + c->protectedSectors;
            *user = c->userSectors;
            *cylinders = c->userSectors / (c->heads * c->sectorsPerTrack);
            *total = static_cast<uint32_t>(std::min<uint64_t>(all, 0xFFFFFFFFu));
            *heads = c->heads;
            *bytesPerSector = c->bytesPerSector;
            *sectorsPerTrack = c->sectorsPerTrack;
            *cardType = c->cardType;
            *prot = c->protectedSectors;
            *busWidth = c->busWidth;
            *eraseBlock = c->eraseBlockSectors;
            *reserved = 0;
            return 0u;
        });
    }
    static uint32_t SDHOST_CALL secureIdentify(uint32_t* prot, uint32_t h) {
        FakeCard* c = gSlots[S];
        if (!c) return gone("DDSecureIdentify");
        Call call{Op::SecureIdentify};
        call.handle = h;
        return c->serve(call, true, [c, prot, h](Call&) {
            if (c->wrapped_) return c->real_.DDSecureIdentify(prot, h);
            if (!prot) return SDHOST_ERR_PARAM;
            *prot = c->protectedSectors;
            return 0u;
        });
    }
    static uint32_t SDHOST_CALL read(void* buffer, uint32_t count, uint32_t first, uint32_t h) {
        FakeCard* c = gSlots[S];
        if (!c) return gone("DDReadPT");
        Call call{Op::Read};
        call.first = first;
        call.count = count;
        call.handle = h;
        return c->serve(call, true, [=](Call&) {
            if (c->wrapped_) return c->real_.DDReadPT(buffer, count, first, h);
            if (const uint32_t r = c->checkTransfer(buffer, count, first)) return r;
            for (uint32_t i = 0; i < count; ++i)
                std::memcpy(static_cast<uint8_t*>(buffer) + size_t{512} * i, c->get(first + i).data(), 512);
            return 0u;
        });
    }
    static uint32_t SDHOST_CALL write(const void* buffer, uint32_t count, uint32_t first, uint32_t h) {
        FakeCard* c = gSlots[S];
        if (!c) return gone("DDWritePT");
        Call call{Op::Write};
        call.first = first;
        call.count = count;
        call.handle = h;
        call.data = static_cast<const uint8_t*>(buffer);
        return c->serve(call, true, [=](Call&) {
            if (c->wrapped_) return c->real_.DDWritePT(buffer, count, first, h);
            if (const uint32_t r = c->checkTransfer(buffer, count, first)) return r;
            if (c->keepData)
                for (uint32_t i = 0; i < count; ++i)
                    c->put(first + i, static_cast<const uint8_t*>(buffer) + size_t{512} * i);
            return 0u;
        });
    }
    static uint32_t SDHOST_CALL getMid(uint8_t mid[8], uint32_t zero, uint32_t h) {
        FakeCard* c = gSlots[S];
        if (!c) return gone("DDGetMID");
        Call call{Op::GetMid};
        call.handle = h;
        return c->serve(call, true, [c, mid, zero, h](Call&) {
            if (c->wrapped_) return c->real_.DDGetMID(mid, zero, h);
            if (!mid) return SDHOST_ERR_PARAM;
            std::memcpy(mid, c->mid.data(), c->mid.size());
            return 0u;
        });
    }
    static uint32_t SDHOST_CALL checkCard(uint32_t drive, uint32_t* flags) {
        FakeCard* c = gSlots[S];
        if (!c) return gone("DDChkSDCard");
        Call call{Op::CheckCard};
        call.drive = drive;
        return c->serve(call, false, [c, drive, flags](Call&) {
            if (c->wrapped_) return c->real_.DDChkSDCard(drive, flags);
            if (!flags) return SDHOST_ERR_PARAM;
            *flags = SDHOST_CHK_QUALIFIES;
            return 0u;
        });
    }
    static uint32_t SDHOST_CALL erase(uint32_t first, uint32_t last, uint32_t h) {
        FakeCard* c = gSlots[S];
        if (!c) return gone("DDErase");
        Call call{Op::Erase};
        call.first = first;
        call.last = last;
        call.handle = h;
        return c->serve(call, true, [c, first, last, h](Call&) {
            if (c->wrapped_) return c->real_.DDErase(first, last, h);
            if (first > last || last >= c->userSectors) return SDHOST_ERR_RANGE;
            c->sectors.erase(c->sectors.lower_bound(first), c->sectors.upper_bound(last));
            return 0u;
        });
    }
    template <Op kOp, DrvLock_t DriverApi::*kReal> static uint32_t SDHOST_CALL lock(uint32_t drive) {
        FakeCard* c = gSlots[S];
        if (!c) return gone("DrvLock");
        Call call{kOp};
        call.drive = drive;
        return c->serve(call, false, [c, drive](Call&) { return c->wrapped_ ? (c->real_.*kReal)(drive) : 0u; });
    }

    static DriverApi table() {
        DriverApi a;
        a.DDSysInit = sysInit;
        a.DDSysFini = sysFini;
        a.DDInit = init;
        a.DDFini = fini;
        a.DDIdentify = identify;
        a.DDSecureIdentify = secureIdentify;
        a.DDReadPT = read;
        a.DDWritePT = write;
        a.DDGetMID = getMid;
        a.DDChkSDCard = checkCard;
        a.DDErase = erase;
        a.DrvLock = lock<Op::Lock, &DriverApi::DrvLock>;
        a.DrvLock2 = lock<Op::Lock2, &DriverApi::DrvLock2>;
        a.DrvUnlock = lock<Op::Unlock, &DriverApi::DrvUnlock>;
        return a;
    }
};

namespace {
using TableOf = DriverApi (*)();
constexpr TableOf kTables[kSlots] = {Trampolines<0>::table, Trampolines<1>::table,
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
        if (!f.bySector) {
            if (f.nth == kEveryCall || f.nth == nth) return f.code;
            continue;
        }
        const bool hit = c.op == Op::Erase ? c.first <= f.sector && f.sector <= c.last
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
    if (!onlyReal) return t;
    const auto keep = [](auto& mine, auto real) {
        if (!real) mine = nullptr;
    };
    keep(t.DDSysInit, real_.DDSysInit);
    keep(t.DDSysFini, real_.DDSysFini);
    keep(t.DDInit, real_.DDInit);
    keep(t.DDFini, real_.DDFini);
    keep(t.DDIdentify, real_.DDIdentify);
    keep(t.DDSecureIdentify, real_.DDSecureIdentify);
    keep(t.DDReadPT, real_.DDReadPT);
    keep(t.DDWritePT, real_.DDWritePT);
    keep(t.DDGetMID, real_.DDGetMID);
    keep(t.DDChkSDCard, real_.DDChkSDCard);
    keep(t.DDErase, real_.DDErase);
    keep(t.DrvLock, real_.DrvLock);
    keep(t.DrvLock2, real_.DrvLock2);
    keep(t.DrvUnlock, real_.DrvUnlock);
    return t;
}

void FakeCard::install(DriverBinding& binding, uint32_t route) {
    DriverApi api = table(wrapped_);
    // Installed as a library already started: unbinding never calls into a card gone by then.
    api.DDSysInit = nullptr;
    api.DDSysFini = nullptr;
    if (route == 1) api.DrvLock = api.DrvLock2 = api.DrvUnlock = nullptr;
    else api.DDGetMID = nullptr;
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
    const std::string p = route == 2 ? "SD_W2k_" : "";
    const auto add = [&](const std::string& name, auto fn) {
        if (fn) os.addLibraryProc(path, name, fn);
    };
    add(p + "DDSysInit", t.DDSysInit);
    add(p + "DDSysFini", t.DDSysFini);
    add(p + "DDInit", t.DDInit);
    add(p + "DDFini", t.DDFini);
    add(p + "DDIdentify", t.DDIdentify);
    add(p + "DDSecureIdentify", t.DDSecureIdentify);
    add(p + "DDReadPT", t.DDReadPT);
    add(p + "DDWritePT", t.DDWritePT);
    add(p + "DDChkSDCard", t.DDChkSDCard);
    add("DDErase", t.DDErase);
    if (route == 1) {
        add("DDGetMID", t.DDGetMID);
    } else {
        add("SD_W2k_DrvLock", t.DrvLock);
        add("SD_W2k_DrvLock2", t.DrvLock2);
        add("SD_W2k_DrvUnlock", t.DrvUnlock);
    }
}

void FakeCard::logTo(FakeOs& os, const std::string& prefix) {
    onCall = [&os, prefix](const Call& c) { os.note(prefix + describe(c)); };
}

std::vector<Call> FakeCard::callsOf(Op op) const {
    std::vector<Call> out;
    std::copy_if(calls.begin(), calls.end(), std::back_inserter(out), [op](const Call& c) { return c.op == op; });
    return out;
}

size_t FakeCard::countOf(Op op) const {
    return static_cast<size_t>(std::count_if(calls.begin(), calls.end(), [op](const Call& c) { return c.op == op; }));
}

std::vector<Span> FakeCard::transfers(Op op) const {
    std::vector<Span> out;
    for (const Call& c : calls)
        if (c.op == op) out.emplace_back(c.first, op == Op::Erase ? c.last : c.count);
    return out;
}

std::vector<Span> FakeCard::written() const {
    std::vector<Span> out;
    for (const Call& c : calls)
        if (c.op == Op::Write && c.result == 0) out.emplace_back(c.first, c.count);
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
        if (c.op == Op::Init && c.result == 0) {
            open.insert(c.handle);
            ++b.opened;
        } else if (c.op == Op::Fini) {
            const auto it = open.find(c.handle);
            if (it == open.end()) {
                ++b.strays;
            } else {
                open.erase(it);
                ++b.closed;
            }
        }
    }
    return b;
}

} // namespace brc::test
