// The one fake SD card of the test suites: its sectors in memory, what its driver reports about
// it, failures scripted by operation, call number or sector, and a log of every call. It serves
// the driver library's operations through static trampolines, so it can stand in a binding
// (install), in a library of the scripted system (addTo), or in front of a real library whose
// calls it records and can fail (wrap).
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "device/driver_binding.h"

namespace brc {
class FakeOs;
}

namespace brc::test {

using Sector = std::array<uint8_t, 512>;

struct SectorMap {
    std::map<uint32_t, Sector> sectors;  // absent sectors read as zero

    Sector get(uint32_t s) const {
        auto it = sectors.find(s);
        return it == sectors.end() ? Sector{} : it->second;
    }
    // Stores one sector from `data`; an all-zero sector is dropped from the map.
    void put(uint32_t s, const uint8_t* data) {
        Sector v;
        std::memcpy(v.data(), data, v.size());
        if (v == Sector{}) sectors.erase(s);
        else sectors[s] = v;
    }
    // Sectors [first, first + count) as a sparse image file; false when it cannot be written.
    bool writeImage(const std::filesystem::path& path, uint32_t first, uint64_t count) const;
};

enum class Op { SysInit, SysFini, Init, Fini, Identify, SecureIdentify, Read, Write, GetMid,
                CheckCard, Erase, Lock, Lock2, Unlock };  // Unlock last: it sizes the call counts

struct Call {
    Op op;
    uint32_t drive = 0;    // DDInit, DDChkSDCard, the drive locks
    uint32_t first = 0;    // DDReadPT, DDWritePT, DDErase
    uint32_t count = 0;    // DDReadPT, DDWritePT
    uint32_t last = 0;     // DDErase
    uint32_t handle = 0;   // the handle passed in; for DDInit the one handed out
    uint32_t result = 0;
    const uint8_t* data = nullptr;  // DDWritePT's sectors, only while onCall runs
};

// One line per call: "DDInit 5", "DDReadPT 0+1", "DDErase 0-8191", "DDFini".
std::string describe(const Call& call);
inline void PrintTo(const Call& call, std::ostream* os) { *os << describe(call); }

using Span = std::pair<uint32_t, uint32_t>;

template <int> struct Trampolines;

class FakeCard : public SectorMap {
public:
    static constexpr uint32_t kEveryCall = 0;

    // What DDIdentify, DDSecureIdentify and DDGetMID report.
    uint32_t userSectors = 0;
    uint32_t protectedSectors = 0;
    uint16_t bytesPerSector = 512;
    uint8_t cardType = 2;  // 0 SDSC, 1 SDHC, 2 SDXC
    uint32_t heads = 255, sectorsPerTrack = 63;
    uint8_t busWidth = 4;
    uint32_t eraseBlockSectors = 8192;
    std::array<uint8_t, 8> mid{3};
    uint32_t checkFlags = SDHOST_CHK_QUALIFIES;  // what DDChkSDCard reports
    uint32_t handle = 7;    // handed out by DDInit; every card operation must be given it
    bool keepData = true;   // false: writes are answered but not stored (cards too large to hold)

    std::vector<Call> calls;                  // every call in order, failed ones too
    std::function<void(const Call&)> onCall;  // before each call runs

    FakeCard();
    explicit FakeCard(uint32_t userSectors, uint32_t protectedSectors = 0);
    ~FakeCard();
    FakeCard(const FakeCard&) = delete;
    FakeCard& operator=(const FakeCard&) = delete;

    // The nth call of `op` (counted from the card's making; kEveryCall: every call) answers
    // `code` and does nothing, except that a failed DDFini still closes the card. Code 0
    // scripts nothing.
    void fail(Op op, uint32_t code, uint32_t nth = kEveryCall);
    // Every DDReadPT, DDWritePT or DDErase that touches `sector` answers `code`.
    void failSector(Op op, uint32_t sector, uint32_t code);

    // Installs the card as the bound library of `route`, started and opened with `handle`.
    void install(DriverBinding& binding, uint32_t route);
    // Puts the card in front of a real library: calls pass through, recorded and failable.
    // The first form keeps the binding's library bound and reroutes its operations.
    void wrap(DriverBinding& binding);
    void wrap(const DriverApi& real);
    // Offers the card as a library of the scripted system under the route's export names. A
    // wrapped library's start and finish are offered as they are, unrecorded.
    void addTo(FakeOs& os, const std::string& path, uint32_t route = 1) const;
    // Notes every call into the scripted system's call log, after `prefix`.
    void logTo(FakeOs& os, const std::string& prefix = "");

    std::vector<Call> callsOf(Op op) const;
    size_t countOf(Op op) const;
    // (first, count) of each DDReadPT or DDWritePT, (first, last) of each DDErase.
    std::vector<Span> transfers(Op op) const;
    std::vector<Span> written() const;  // (first, count) of the writes that succeeded
    std::vector<std::string> lines() const;  // describe() of each call
    // Cards DDInit opened, DDFini closed, and DDFini calls for a card not open.
    struct Balance { uint32_t opened = 0, closed = 0, strays = 0; };
    Balance balance() const;

private:
    template <int> friend struct Trampolines;
    struct Failure { Op op; uint32_t code, nth; bool bySector; uint32_t sector; };

    template <class Run> uint32_t serve(Call call, bool cardCall, Run run);
    uint32_t scripted(const Call& call, uint32_t nth) const;
    uint32_t checkTransfer(const void* buffer, uint32_t count, uint32_t first) const;
    DriverApi table(bool onlyReal) const;

    int slot_ = -1;
    bool wrapped_ = false;
    DriverApi real_;
    std::vector<Failure> failures_;
    std::array<uint32_t, static_cast<size_t>(Op::Unlock) + 1> seen_{};  // calls so far, per operation
};

} // namespace brc::test
