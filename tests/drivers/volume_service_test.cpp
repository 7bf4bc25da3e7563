// The volume service's pipe messages (bounds, refusals) and its decisions over recorded answers:
// which requests it serves, who holds a card, what is logged and what is given back.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "device/sdhost_abi.h"
#include "drivers/volsvc/image_cards.h"
#include "drivers/volsvc/pipe_protocol.h"
#include "drivers/volsvc/service_desk.h"

namespace brc::volsvc {
namespace {

using Bytes = std::vector<uint8_t>;

windisk::DiskIdentity reader(uint32_t number, const std::string& serial = "058F63666485") {
    return {number, "Generic-", "SD/MMC", serial, 31914983424ull};
}

Request openRequest(uint32_t drive, std::optional<windisk::DiskIdentity> expected = std::nullopt) {
    return {Kind::OpenCard, drive, kRead | kWrite, 4242, expected, std::nullopt};
}

void put32(Bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
// A message with `extra` appended and its declared length made to match.
Bytes grown(Bytes b, const Bytes& extra) {
    b.insert(b.end(), extra.begin(), extra.end());
    put32(b, 8, static_cast<uint32_t>(b.size()));
    return b;
}

TEST(VolumeServiceProtocol, RequestsAndAnswersComeBackAsSent) {
    for (const Request& q : {openRequest(4), openRequest(25, reader(3)),
                             Request{Kind::ReleaseCard, 0, kRead, 1, std::nullopt, std::nullopt},
                             Request{Kind::ReleaseCard, 4, kRead, 1, reader(3), 4194304}}) {
        const Bytes b = encodeRequest(q);
        ASSERT_LE(b.size(), kMaxRequestBytes);
        const ParsedRequest p = parseRequest(b.data(), b.size());
        ASSERT_TRUE(p.request);
        EXPECT_EQ(p.request->kind, q.kind);
        EXPECT_EQ(p.request->drive, q.drive);
        EXPECT_EQ(p.request->access, q.access);
        EXPECT_EQ(p.request->process, q.process);
        EXPECT_EQ(p.request->expected, q.expected);
        EXPECT_EQ(p.request->partition, q.partition);
    }
    // A partition ends a run: an opening carries none, and it lies on a sector's boundary.
    Request opening = openRequest(4);
    opening.partition = 4194304;
    Bytes b0 = encodeRequest(opening);
    EXPECT_EQ(parseRequest(b0.data(), b0.size()).refusal, Refusal::Malformed);
    const Request odd{Kind::ReleaseCard, 4, kRead, 1, std::nullopt, 4194305};
    b0 = encodeRequest(odd);
    EXPECT_EQ(parseRequest(b0.data(), b0.size()).refusal, Refusal::Malformed);
    Answer a;
    a.refusal = Refusal::Busy;
    a.handle = 0x1234'5678'9abcull;
    a.disk = reader(2);
    a.message = "E: in use";
    const Bytes b = encodeAnswer(a);
    const auto back = parseAnswer(b.data(), b.size());
    ASSERT_TRUE(back);
    EXPECT_EQ(back->refusal, a.refusal);
    EXPECT_EQ(back->handle, a.handle);
    EXPECT_EQ(back->disk, a.disk);
    EXPECT_EQ(back->message, a.message);
}

TEST(VolumeServiceProtocol, LongestFieldsFitTheBuffersAndLongerOnesAreCut) {
    windisk::DiskIdentity d{7, std::string(200, 'v'), std::string(200, 'p'), std::string(200, 's'),
                            1};
    const Bytes q = encodeRequest(openRequest(3, d));
    EXPECT_LE(q.size(), kMaxRequestBytes);
    const ParsedRequest p = parseRequest(q.data(), q.size());
    ASSERT_TRUE(p.request);
    EXPECT_TRUE(sameDisk(d, *p.request->expected));

    Answer a;
    a.disk = d;
    a.message = std::string(5000, 'm');
    const Bytes b = encodeAnswer(a);
    EXPECT_LE(b.size(), kMaxAnswerBytes);
    const auto back = parseAnswer(b.data(), b.size());
    ASSERT_TRUE(back);
    EXPECT_EQ(back->message.size(), kMaxMessageText);
}

struct BadRequest {
    const char* name;
    std::function<Bytes(Bytes)> change; // of a valid open request with an expected disk
    Refusal refusal;
};

TEST(VolumeServiceProtocol, EveryFaultyRequestIsRefusedWithItsReason) {
    const Bytes good = encodeRequest(openRequest(4, reader(2)));
    const size_t vendorLength = 40; // after the header, drive, access, process, flags, number, size
    ASSERT_EQ(good[vendorLength], 8u);
    const BadRequest cases[] = {
        {"longer than any request", [](Bytes b) { return grown(b, Bytes(kMaxRequestBytes, 0)); },
         Refusal::TooLarge},
        {"another magic",
         [](Bytes b) {
             b[0] ^= 1;
             return b;
         },
         Refusal::Malformed},
        {"an answer sent back", [](Bytes) { return encodeAnswer({}); }, Refusal::Malformed},
        {"declared length short",
         [](Bytes b) {
             put32(b, 8, static_cast<uint32_t>(b.size() - 1));
             return b;
         },
         Refusal::Malformed},
        {"declared length long",
         [](Bytes b) {
             put32(b, 8, static_cast<uint32_t>(b.size() + 1));
             return b;
         },
         Refusal::Malformed},
        {"bytes after the request", [](Bytes b) { return grown(b, {0}); }, Refusal::Malformed},
        {"version 2",
         [](Bytes b) {
             b[4] = 2;
             return b;
         },
         Refusal::Version},
        {"kind 0",
         [](Bytes b) {
             b[6] = 0;
             return b;
         },
         Refusal::UnknownKind},
        {"kind 3",
         [](Bytes b) {
             b[6] = 3;
             return b;
         },
         Refusal::UnknownKind},
        {"drive past Z:",
         [](Bytes b) {
             put32(b, 12, 26);
             return b;
         },
         Refusal::Malformed},
        {"drive far past Z:",
         [](Bytes b) {
             put32(b, 12, 0xFFFFFFFF);
             return b;
         },
         Refusal::Malformed},
        {"no access",
         [](Bytes b) {
             put32(b, 16, 0);
             return b;
         },
         Refusal::Malformed},
        {"unknown access",
         [](Bytes b) {
             put32(b, 16, 4 | kRead);
             return b;
         },
         Refusal::Malformed},
        {"unknown flag",
         [](Bytes b) {
             b[24] |= 2;
             return b;
         },
         Refusal::Malformed},
        {"identity flag without identity",
         [](Bytes) {
             Bytes b = encodeRequest(openRequest(4));
             b[24] = 1;
             return b;
         },
         Refusal::Malformed},
        {"vendor longer than kept",
         [&](Bytes b) {
             b[vendorLength] = 48;
             return grown(b, Bytes(40, 'x'));
         },
         Refusal::Malformed},
        {"vendor past the end",
         [&](Bytes b) {
             b[vendorLength] = 200;
             return b;
         },
         Refusal::Malformed},
        {"NUL in the vendor",
         [&](Bytes b) {
             b[vendorLength + 3] = 0;
             return b;
         },
         Refusal::Malformed},
    };
    for (const BadRequest& c : cases) {
        const Bytes b = c.change(good);
        const ParsedRequest p = parseRequest(b.data(), b.size());
        EXPECT_FALSE(p.request) << c.name;
        EXPECT_EQ(p.refusal, c.refusal) << c.name;
    }
    // Every cut of a valid request is refused, down to nothing.
    for (size_t n = 0; n < good.size(); ++n) {
        Bytes cut(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(n));
        if (n >= 12) put32(cut, 8, static_cast<uint32_t>(n));
        EXPECT_FALSE(parseRequest(cut.data(), cut.size()).request) << n << " bytes";
    }
}

TEST(VolumeServiceProtocol, FaultyAnswersAreNotTaken) {
    Answer a;
    a.disk = reader(1);
    a.message = "x";
    const Bytes good = encodeAnswer(a);
    for (size_t n = 0; n < good.size(); ++n)
        EXPECT_FALSE(parseAnswer(good.data(), n)) << n << " bytes";
    Bytes unknown = good;
    unknown[6] = kLastRefusal + 1;
    EXPECT_FALSE(parseAnswer(unknown.data(), unknown.size()));
    const Bytes longer = grown(good, {0});
    EXPECT_FALSE(parseAnswer(longer.data(), longer.size()));
    const Bytes huge = grown(good, Bytes(kMaxAnswerBytes, 0));
    EXPECT_FALSE(parseAnswer(huge.data(), huge.size()));
}

TEST(VolumeServiceProtocol, RefusalTableCoversEachRefusalOnce) {
    std::set<uint16_t> ids;
    for (uint16_t i = 0; i <= kLastRefusal; ++i) {
        const RefusalRule& rule = ruleOf(static_cast<Refusal>(i));
        EXPECT_EQ(static_cast<uint16_t>(rule.refusal), i);
        EXPECT_TRUE(rule.text && *rule.text);
        if (i == 0) continue;
        EXPECT_NE(rule.driverCode, SDHOST_OK) << rule.text;
        EXPECT_TRUE(ids.insert(rule.eventId).second) << rule.text;
    }
    // What the service's safety rests on is logged; a client's ordinary answers are not.
    EXPECT_TRUE(ruleOf(Refusal::NotACard).logged);
    EXPECT_TRUE(ruleOf(Refusal::Malformed).logged);
    EXPECT_FALSE(ruleOf(Refusal::Busy).logged);
    EXPECT_EQ(ruleOf(Refusal::Busy).driverCode, SDHOST_ERR_BUSY);
    EXPECT_EQ(ruleOf(Refusal::NotACard).driverCode, SDHOST_ERR_CONFIG);
    // An id from a newer service is read as malformed, never past the table.
    EXPECT_EQ(ruleOf(static_cast<Refusal>(999)).refusal, Refusal::Malformed);
}

// The system as recorded answers: drives by index, and what the service did with them.
class RecordedHost : public CardHost {
public:
    std::map<unsigned, windisk::Vetting> drives;
    std::set<uint32_t> failing; // disks the system will not open
    std::vector<std::string> calls;
    std::vector<LogEntry> logged;
    uint64_t nextHandle = 0x100;

    void card(unsigned drive, const windisk::DiskIdentity& d, uint32_t code = SDHOST_OK,
              const std::string& why = "") {
        windisk::Vetting v;
        v.facts.number = windisk::DeviceNumber{windisk::kFileDeviceDisk, d.number, 0};
        v.facts.descriptor =
            windisk::StorageDescriptor{windisk::BusUsb, true, d.vendor, d.product, d.serial};
        v.facts.length = d.bytes;
        v.verdict = {code, why};
        drives[drive] = v;
    }
    windisk::Vetting vet(unsigned drive) override {
        calls.push_back("vet " + windisk::driveName(drive));
        const auto it = drives.find(drive);
        if (it != drives.end()) return it->second;
        windisk::Vetting none;
        none.verdict = {SDHOST_ERR_NO_CARD, "no disk"};
        return none;
    }
    std::optional<uint64_t> hand(const Client& c, const Request&, const windisk::DiskFacts&,
                                 const windisk::DiskIdentity& d, std::string& why) override {
        calls.push_back("hand " + std::to_string(d.number) + " to " + std::to_string(c.id));
        if (failing.count(d.number)) {
            why = "access denied";
            return std::nullopt;
        }
        return nextHandle += 4;
    }
    std::set<uint64_t> notBackAt; // partitions whose volume does not come back
    bool giveBack(const Client& c, const windisk::DiskIdentity& d, uint64_t partition) override {
        calls.push_back("give back " + std::to_string(d.number) + " from " + std::to_string(c.id) +
                        (partition ? " at " + std::to_string(partition) : ""));
        return notBackAt.count(partition) == 0;
    }
    void log(const LogEntry& e) override { logged.push_back(e); }
};

struct Desk {
    RecordedHost host;
    ServiceDesk desk{host};
    Answer ask(const Client& c, const Request& q) {
        const Bytes b = encodeRequest(q);
        const Bytes out = desk.serve(c, b.data(), b.size());
        EXPECT_LE(out.size(), kMaxAnswerBytes);
        return parseAnswer(out.data(), out.size()).value_or(Answer{Refusal::Malformed, 0, {}, "?"});
    }
    size_t handed() const {
        size_t n = 0;
        for (const std::string& call : host.calls) n += call.rfind("hand ", 0) == 0;
        return n;
    }
};

const Client alice{1, 4242, "PC\\alice"}, bob{2, 777, "PC\\bob"};

TEST(VolumeServiceDesk, HandsACardAndRefusesWhatIsNotOneWithoutOpeningIt) {
    struct Case {
        const char* name;
        uint32_t code;
        std::optional<windisk::DiskIdentity> expected;
        Refusal refusal;
        bool logged;
    };
    const Case cases[] = {
        {"a card", SDHOST_OK, std::nullopt, Refusal::None, false},
        {"the run's card", SDHOST_OK, reader(2), Refusal::None, false},
        {"a fixed disk", SDHOST_ERR_CONFIG, std::nullopt, Refusal::NotACard, true},
        {"an empty slot", SDHOST_ERR_NO_CARD, std::nullopt, Refusal::NoMedium, false},
        {"another disk than the run's", SDHOST_OK, reader(2, "OTHER"), Refusal::NotTheRunDisk,
         true},
        {"another number than the run's", SDHOST_OK, reader(3), Refusal::NotTheRunDisk, true},
    };
    for (const Case& c : cases) {
        Desk d;
        d.host.card(4, reader(2), c.code, "PhysicalDrive2 is a fixed disk");
        const Answer a = d.ask(alice, openRequest(4, c.expected));
        EXPECT_EQ(a.refusal, c.refusal) << c.name << ": " << a.message;
        EXPECT_EQ(d.handed(), c.refusal == Refusal::None ? 1u : 0u) << c.name;
        EXPECT_EQ(a.handle != 0, c.refusal == Refusal::None) << c.name;
        EXPECT_EQ(d.desk.cardsHeld(), c.refusal == Refusal::None ? 1u : 0u) << c.name;
        ASSERT_EQ(d.host.logged.size(), c.logged ? 1u : 0u) << c.name;
        if (c.logged) {
            EXPECT_NE(d.host.logged[0].text.find("PC\\alice (process 4242)"), std::string::npos);
            EXPECT_NE(d.host.logged[0].text.find("E:"), std::string::npos) << d.host.logged[0].text;
        }
    }
    // A letter with nothing behind it: no disk to open.
    Desk d;
    EXPECT_EQ(d.ask(alice, openRequest(7)).refusal, Refusal::NoMedium);
    EXPECT_EQ(d.handed(), 0u);
}

TEST(VolumeServiceDesk, ASecondClientFindsTheCardBusyUntilTheFirstGoes) {
    Desk d;
    d.host.card(4, reader(2));
    d.host.card(5, reader(2)); // another letter of the same disk
    ASSERT_EQ(d.ask(alice, openRequest(4)).refusal, Refusal::None);
    EXPECT_EQ(d.ask(bob, openRequest(4)).refusal, Refusal::Busy);
    EXPECT_EQ(d.ask(bob, openRequest(5)).refusal, Refusal::Busy);
    EXPECT_EQ(d.desk.holder(2), alice.id);

    d.desk.letGo(alice);
    EXPECT_EQ(d.host.calls.back(), "give back 2 from 1");
    EXPECT_FALSE(d.desk.holder(2));
    EXPECT_EQ(d.ask(bob, openRequest(4)).refusal, Refusal::None);
    EXPECT_EQ(d.desk.holder(2), bob.id);
}

TEST(VolumeServiceDesk, ConnectionsOfOneProcessShareItsCardAndNoOtherProcessGetsIt) {
    Desk d;
    d.host.card(4, reader(2));
    const Client eraser{3, alice.process, alice.user}; // the erase's own library instance
    // Processes the system could not name (XP).
    const Client unknown{4, 0, alice.user}, other{5, 0, alice.user};
    Request unnamed = openRequest(4), another = openRequest(4);
    unnamed.process = 0;
    another.process = bob.process;
    ASSERT_EQ(d.ask(alice, openRequest(4)).refusal, Refusal::None);
    EXPECT_EQ(d.ask(eraser, openRequest(4)).refusal, Refusal::None);
    EXPECT_EQ(d.ask(bob, openRequest(4)).refusal, Refusal::Busy);
    // There the process the client names counts: one naming none, or another, is busy.
    EXPECT_EQ(d.ask(unknown, unnamed).refusal, Refusal::Busy);
    EXPECT_EQ(d.ask(other, another).refusal, Refusal::Busy);
    EXPECT_EQ(d.ask(unknown, openRequest(4)).refusal, Refusal::None);
    // A connection names one process for good: the one the service opened for it.
    EXPECT_EQ(d.ask(other, openRequest(4)).refusal, Refusal::Malformed);
    EXPECT_EQ(d.desk.holder(2), alice.id);
    d.desk.letGo(unknown);
    d.desk.letGo(alice);
    EXPECT_EQ(d.desk.holder(2), eraser.id);
    EXPECT_EQ(d.ask(bob, openRequest(4)).refusal, Refusal::Busy);
    d.desk.letGo(eraser);
    EXPECT_EQ(d.ask(bob, openRequest(4)).refusal, Refusal::None);
}

// On XP both of a process's connections are unnamed by the system: the card goes to the
// process they name.
TEST(VolumeServiceDesk, OnXpTheProcessTheClientNamesHoldsTheCard) {
    Desk d;
    d.host.card(4, reader(2));
    const Client bound{5, 0, alice.user}, eraser{6, 0, alice.user}, other{7, 0, bob.user};
    ASSERT_EQ(d.ask(bound, openRequest(4)).refusal, Refusal::None);
    EXPECT_EQ(d.ask(eraser, openRequest(4)).refusal, Refusal::None);
    Request bobs = openRequest(4);
    bobs.process = bob.process;
    EXPECT_EQ(d.ask(other, bobs).refusal, Refusal::Busy);
    EXPECT_EQ(d.ask(bob, openRequest(4)).refusal, Refusal::Busy);
}

TEST(VolumeServiceDesk, ReopeningIsOneHoldGivenBackAtTheLastRelease) {
    Desk d;
    d.host.card(4, reader(2));
    d.host.card(5, reader(2)); // another letter of the same disk
    const Answer first = d.ask(alice, openRequest(4));
    // Held, the card's volumes are taken and its letter gone: the hold still reaches it.
    d.host.drives.erase(4);
    const size_t vetted = d.host.calls.size();
    const Answer again = d.ask(alice, openRequest(4, reader(2)));
    ASSERT_EQ(again.refusal, Refusal::None);
    EXPECT_EQ(d.host.calls.at(vetted), "hand 2 to 1");
    // ... as that very disk, which the run's disk must still be.
    EXPECT_EQ(d.ask(alice, openRequest(4, reader(2, "OTHER"))).refusal, Refusal::NotTheRunDisk);
    // One hold per disk, also through another letter.
    EXPECT_EQ(d.ask(alice, openRequest(5)).refusal, Refusal::Busy);
    EXPECT_NE(first.handle, again.handle);
    EXPECT_EQ(d.desk.cardsHeld(), 1u);
    const Request release{Kind::ReleaseCard, 4, kRead, 4242, std::nullopt, std::nullopt};
    EXPECT_EQ(d.ask(alice, release).refusal, Refusal::None);
    EXPECT_EQ(d.desk.holder(2), alice.id);
    EXPECT_EQ(d.ask(alice, release).refusal, Refusal::None);
    EXPECT_FALSE(d.desk.holder(2));
    EXPECT_EQ(d.host.calls.back(), "give back 2 from 1");
    EXPECT_EQ(d.ask(alice, release).refusal, Refusal::NotHeld);
    EXPECT_EQ(d.ask(bob, release).refusal, Refusal::NotHeld);
}

// A served run ends as a run of the client's own: its last release waits for the card's new
// volume where the run wrote the partition, and says when it did not come back.
TEST(VolumeServiceDesk, TheRunsLastReleaseWaitsForTheNewVolumeAtItsPartition) {
    Desk d;
    d.host.card(4, reader(2));
    ASSERT_EQ(d.ask(alice, openRequest(4)).refusal, Refusal::None);
    ASSERT_EQ(d.ask(alice, openRequest(4, reader(2))).refusal, Refusal::None);
    const Request release{Kind::ReleaseCard, 4, kRead, 4242, std::nullopt, std::nullopt};
    Request last = release;
    last.partition = 4194304;
    d.host.notBackAt.insert(4194304);
    EXPECT_EQ(d.ask(alice, release).refusal, Refusal::None);
    EXPECT_EQ(d.host.calls.back(), "hand 2 to 1"); // still held: nothing given back
    const Answer a = d.ask(alice, last);
    EXPECT_EQ(a.refusal, Refusal::VolumeNotBack);
    EXPECT_EQ(ruleOf(a.refusal).driverCode, SDHOST_VOLUME_NOT_BACK);
    EXPECT_EQ(d.host.calls.back(), "give back 2 from 1 at 4194304");
    // Given back all the same: the card is free for the next client.
    EXPECT_FALSE(d.desk.holder(2));
    EXPECT_EQ(d.ask(bob, openRequest(4)).refusal, Refusal::None);
    EXPECT_TRUE(d.host.logged.empty());
}

TEST(VolumeServiceDesk, BoundsWhatOneClientMayAskAndHold) {
    Desk d;
    for (unsigned i = 0; i <= kMaxCardsPerClient; ++i) d.host.card(4 + i, reader(10 + i));
    for (unsigned i = 0; i < kMaxCardsPerClient; ++i)
        EXPECT_EQ(d.ask(alice, openRequest(4 + i)).refusal, Refusal::None);
    EXPECT_EQ(d.ask(alice, openRequest(4 + kMaxCardsPerClient)).refusal, Refusal::TooManyCards);
    EXPECT_EQ(d.ask(bob, openRequest(4 + kMaxCardsPerClient)).refusal, Refusal::None);

    // Requests, refused ones included, count up to the bound; past it nothing is asked.
    const Bytes junk{1, 2, 3};
    for (unsigned i = kMaxCardsPerClient + 1; i < kMaxRequestsPerClient; ++i)
        d.desk.serve(alice, junk.data(), junk.size());
    const size_t vetted = d.host.calls.size();
    EXPECT_EQ(d.ask(alice, openRequest(4)).refusal, Refusal::TooMany);
    EXPECT_EQ(d.host.calls.size(), vetted);
    // One connection writes to the event log once: the first junk, after which it is dropped.
    ASSERT_EQ(d.host.logged.size(), 1u);
    EXPECT_EQ(d.host.logged[0].refusal, Refusal::Malformed);
    EXPECT_TRUE(d.desk.dropping(alice));
    EXPECT_FALSE(d.desk.dropping(bob));

    // Going gives back every card of the client and none of another's.
    d.desk.letGo(alice);
    EXPECT_EQ(d.desk.cardsHeld(), 1u);
    EXPECT_EQ(d.desk.holder(10 + kMaxCardsPerClient), bob.id);
}

TEST(VolumeServiceDesk, ACardTheSystemWillNotOpenIsRefusedAndNotHeld) {
    Desk d;
    d.host.card(4, reader(2));
    d.host.failing.insert(2);
    const Answer a = d.ask(alice, openRequest(4));
    EXPECT_EQ(a.refusal, Refusal::SystemFailed);
    EXPECT_NE(a.message.find("access denied"), std::string::npos);
    EXPECT_EQ(d.desk.cardsHeld(), 0u);
    d.host.failing.clear();
    EXPECT_EQ(d.ask(bob, openRequest(4)).refusal, Refusal::None);
}

// The service's connection threads share one desk. Its locks as the service's critical
// sections behave: exclusive, and told apart by the thread holding them.
class ThreadLocks : public DeskLocks {
public:
    std::atomic<std::thread::id> deskOwner{};
    void enterDesk() override {
        desk_.lock();
        deskOwner = std::this_thread::get_id();
    }
    void leaveDesk() override {
        deskOwner = std::thread::id();
        desk_.unlock();
    }
    void enterDisk(uint32_t number) override { disk(number).lock(); }
    void leaveDisk(uint32_t number) override { disk(number).unlock(); }

private:
    std::mutex& disk(uint32_t number) {
        const std::lock_guard<std::mutex> g(made_);
        return disks_[number];
    }
    std::mutex desk_, made_;
    std::map<uint32_t, std::mutex> disks_;
};

// A host whose disk 2 hangs in its opening, as a reader that stops answering does, until let go;
// it counts the calls that came with the desk's lock held by the calling thread.
class HangingHost : public CardHost {
public:
    explicit HangingHost(ThreadLocks& locks) : locks_(locks) {}
    std::promise<void> hanging, release;
    std::atomic<int> underDesk{0};
    windisk::Vetting vet(unsigned drive) override {
        note();
        windisk::Vetting v;
        v.facts.number = windisk::DeviceNumber{windisk::kFileDeviceDisk, drive - 2, 0};
        v.facts.descriptor = windisk::StorageDescriptor{windisk::BusUsb, true, "Generic-",
                                                        "SD/MMC", std::to_string(drive)};
        v.facts.length = 31914983424ull;
        return v;
    }
    std::optional<uint64_t> hand(const Client&, const Request&, const windisk::DiskFacts&,
                                 const windisk::DiskIdentity& d, std::string&) override {
        note();
        if (d.number == 2) {
            hanging.set_value();
            release.get_future().wait();
        }
        return 0x100 + d.number;
    }
    bool giveBack(const Client&, const windisk::DiskIdentity&, uint64_t) override {
        note();
        return true;
    }
    void log(const LogEntry&) override {}

private:
    void note() { underDesk += locks_.deskOwner.load() == std::this_thread::get_id(); }
    ThreadLocks& locks_;
};

TEST(VolumeServiceDesk, ACardThatHangsHoldsUpNoOtherDisksClient) {
    ThreadLocks locks;
    HangingHost host(locks);
    ServiceDesk desk(host, &locks);
    const auto ask = [&](const Client& c, unsigned drive) {
        return std::async(std::launch::async, [&desk, c, drive] {
            const Bytes b = encodeRequest(openRequest(drive));
            const Bytes out = desk.serve(c, b.data(), b.size());
            return parseAnswer(out.data(), out.size()).value_or(Answer{}).refusal;
        });
    };
    const Client carol{3, 999, "PC\\carol"};
    std::future<Refusal> alices = ask(alice, 4); // E: is disk 2, which hangs
    ASSERT_EQ(host.hanging.get_future().wait_for(std::chrono::seconds(10)),
              std::future_status::ready);
    std::future<Refusal> bobs = ask(bob, 5), carols = ask(carol, 4);
    const bool answered = bobs.wait_for(std::chrono::seconds(10)) == std::future_status::ready &&
                          carols.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    host.release.set_value(); // whatever happened, nothing is left waiting
    ASSERT_TRUE(answered) << "another disk's client waited behind the hanging card";
    EXPECT_EQ(bobs.get(), Refusal::None);
    // The card being opened is held meanwhile: a second client finds it busy, not opened twice.
    EXPECT_EQ(carols.get(), Refusal::Busy);
    EXPECT_EQ(alices.get(), Refusal::None);
    EXPECT_EQ(desk.holder(2), alice.id);
    EXPECT_EQ(desk.holder(3), bob.id);
    desk.letGo(alice);
    desk.letGo(bob);
    EXPECT_EQ(desk.cardsHeld(), 0u);
    EXPECT_EQ(host.underDesk.load(), 0) << "the host was called with the desk's lock held";
}

TEST(VolumeServiceImages, TheAdministratorsMapNamesImageFilesOnly) {
    struct Case {
        const char* text;
        bool ok;
        const char* e; // E:'s image when ok
    };
    const Case cases[] = {
        {"", true, ""},
        {"E=C:\\cards\\e.img", true, "C:\\cards\\e.img"},
        {"e=Z:\\tmp\\card.img;F=C:\\f.img", true, "Z:\\tmp\\card.img"},
        {"E=\\\\.\\PhysicalDrive1", false, ""},
        {"E=//./PhysicalDrive0", false, ""},
        {"F=C:\\f.img;E=\\\\?\\GLOBALROOT\\Device\\Harddisk1\\DR1", false, ""},
        {"E=card.img", false, ""},
        {"E=C:\\a.img;e=C:\\b.img", false, ""},
        {"7=C:\\a.img", false, ""},
    };
    for (const Case& c : cases) {
        const CardMap map = parseServedImages(c.text);
        EXPECT_EQ(map.error.empty(), c.ok) << c.text << ": " << map.error;
        EXPECT_EQ(map.paths[4], c.e) << c.text;
        // A map that does not parse serves nothing at all.
        if (!c.ok) {
            for (const std::string& path : map.paths) EXPECT_TRUE(path.empty()) << c.text;
        }
    }
}

// Access lists as Windows gives them on a card image's folders.
const char* kSystem = "S-1-5-18";
const char* kAdmins = "S-1-5-32-544";
const char* kUsers = "S-1-5-32-545";
const char* kAuthenticated = "S-1-5-11";
const char* kCreatorOwner = "S-1-3-0";
const char* kTrustedInstaller = "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
constexpr uint32_t kFull = 0x1F01FF, kModify = 0x1301BF, kReadExecute = 0x1200A9;
constexpr uint32_t kAddSubfolder = 0x4, kGenericAll = 0x10000000;

// C:\ of Windows 10: users may add folders to it, and what they add is theirs.
Guard systemDriveRoot() {
    return {"C:\\", kTrustedInstaller,
            std::vector<AccessEntry>{{kAdmins, kFull},
                                     {kSystem, kFull},
                                     {kUsers, kReadExecute},
                                     {kAuthenticated, kModify, true, true},
                                     {kAuthenticated, kAddSubfolder},
                                     {kCreatorOwner, kGenericAll, true, true}},
            true};
}
// A folder an administrator made in C:\: it inherits the authenticated users' Modify.
Guard usersModify(const std::string& path) {
    return {path, kAdmins,
            std::vector<AccessEntry>{{kAdmins, kFull},
                                     {kSystem, kFull},
                                     {kUsers, kReadExecute},
                                     {kAuthenticated, kModify}},
            true};
}
// The same with inheritance cut off: administrators and SYSTEM change it, users read.
Guard adminsOnly(const std::string& path, bool folder = true) {
    return {path, kAdmins,
            std::vector<AccessEntry>{{kAdmins, kFull}, {kSystem, kFull}, {kUsers, kReadExecute}},
            folder};
}

ImageFacts withPath(ImageFacts f, const std::string& path) {
    f.finalPath = path;
    return f;
}
ImageFacts throughLink(ImageFacts f) {
    f.throughLink = true;
    return f;
}
ImageFacts withLinks(ImageFacts f, uint32_t links) {
    f.links = links;
    return f;
}
ImageFacts guarded(ImageFacts f, const Guard& folder) {
    f.guards = {adminsOnly("C:\\cards\\e.img", false), folder, systemDriveRoot()};
    return f;
}

ImageFacts imageFile(bool found, bool regular, uint64_t bytes, uint32_t volume, uint64_t index) {
    ImageFacts f;
    f.found = found;
    f.regular = regular;
    f.bytes = bytes;
    f.volumeSerial = volume;
    f.fileIndex = index;
    return f;
}

TEST(VolumeServiceImages, OnlyAdministratorsAndSystemMayChangeAnImageOrItsPath) {
    struct Case {
        const char* what;
        std::vector<Guard> guards;
        const char* writer; // empty: nobody else
    };
    Guard userFile = adminsOnly("C:\\cards\\e.img", false);
    userFile.owner = "S-1-5-21-1004336348-1177238915-682003330-1001";
    Guard usersWrite = adminsOnly("C:\\cards\\e.img", false);
    usersWrite.dacl->push_back({kUsers, 0x2}); // FILE_WRITE_DATA
    Guard usersDeleteChild = adminsOnly("C:\\cards");
    usersDeleteChild.dacl->push_back({kUsers, 0x40});
    Guard deniedAndInheritOnly = adminsOnly("C:\\cards");
    deniedAndInheritOnly.dacl->push_back({kUsers, kFull, false});
    deniedAndInheritOnly.dacl->push_back({kUsers, kFull, true, true});
    Guard nullDacl = adminsOnly("C:\\cards");
    nullDacl.dacl.reset();
    Guard unreadable = adminsOnly("C:\\cards");
    unreadable.owner.clear();
    Guard userAddsFiles = adminsOnly("C:\\cards");
    userAddsFiles.dacl->push_back({kUsers, 0x2 | 0x4}); // add files and folders, on a folder
    const Case cases[] = {
        {"the system drive's root and an administrators' folder",
         {systemDriveRoot(), adminsOnly("C:\\cards")}, ""},
        {"users may add entries to a folder", {userAddsFiles}, ""},
        {"a deny entry and an entry for what is created inside", {deniedAndInheritOnly}, ""},
        {"a folder that inherits users' Modify", {usersModify("C:\\cards")}, "S-1-5-11 on C:\\cards"},
        {"an image a user owns", {userFile}, "(its owner) on C:\\cards\\e.img"},
        {"an image users may write", {usersWrite}, "S-1-5-32-545 on C:\\cards\\e.img"},
        {"a folder whose entries users may delete", {usersDeleteChild}, "S-1-5-32-545"},
        {"no access list", {nullDacl}, "everyone (no access list)"},
        {"security that cannot be read", {unreadable}, "an owner that cannot be read"},
    };
    for (const Case& c : cases) {
        const std::string writer = otherWriter(c.guards);
        if (*c.writer == 0) {
            EXPECT_EQ(writer, "") << c.what;
        } else {
            EXPECT_NE(writer.find(c.writer), std::string::npos) << c.what << ": " << writer;
        }
    }
}

TEST(VolumeServiceImages, AnImageIsHandedLikeACardAndAnythingElseIsRefused) {
    const ImageFacts good = imageFile(true, true, 64ull << 20, 0x1234ABCD, 77);
    struct Case {
        const char* name;
        ImageFacts facts;
        Refusal refusal;
    };
    const Case cases[] = {
        {"an image", good, Refusal::None},
        {"a missing file", {}, Refusal::NoMedium},
        {"a directory or device", imageFile(true, false, 64ull << 20, 1, 2), Refusal::NotACard},
        {"an empty file", imageFile(true, true, 0, 1, 2), Refusal::NotACard},
        {"a part of a sector", imageFile(true, true, (64ull << 20) + 100, 1, 2), Refusal::NotACard},
        {"past 2 TiB", imageFile(true, true, (0xFFFFFFFFull + 1) * 512, 1, 2), Refusal::NotACard},
        // The service writes it as LocalSystem: only the very file configured.
        {"the path configured, as the system gives it", withPath(good, "c:\\CARDS\\E.IMG"),
         Refusal::None},
        {"a symbolic link or junction on the path", throughLink(good), Refusal::NotACard},
        {"a file the path does not name (a link followed)",
         withPath(good, "C:\\Windows\\System32\\config\\SAM"), Refusal::NotACard},
        {"a file of two names", withLinks(good, 2), Refusal::NotACard},
        {"a folder users may change", guarded(good, usersModify("C:\\cards")),
         Refusal::NotACard},
        {"folders only administrators may change", guarded(good, adminsOnly("C:\\cards")),
         Refusal::None},
    };
    for (const Case& c : cases) {
        Desk d;
        d.host.drives[4] = vetImage(4, "C:\\cards\\e.img", c.facts);
        const Answer a = d.ask(alice, openRequest(4));
        EXPECT_EQ(a.refusal, c.refusal) << c.name << ": " << a.message;
        EXPECT_EQ(d.handed(), c.refusal == Refusal::None ? 1u : 0u) << c.name;
        if (c.refusal != Refusal::None) continue;
        EXPECT_TRUE(isImageDisk(a.disk.number)) << c.name;
        EXPECT_FALSE(isImageDisk(a.disk.number - 4 - 1));
        EXPECT_EQ(a.disk.bytes, c.facts.bytes);
    }
}

TEST(VolumeServiceImages, AnImageIsOneClientsAtATimeAndTheRunKeepsToTheSameFile) {
    const ImageFacts file = imageFile(true, true, 64ull << 20, 0x1234ABCD, 77);
    Desk d;
    d.host.drives[4] = vetImage(4, "C:\\cards\\e.img", file);
    d.host.drives[5] = vetImage(5, "C:\\cards\\f.img", imageFile(true, true, 64ull << 20, 0x1234ABCD, 78));
    const Answer first = d.ask(alice, openRequest(4));
    ASSERT_EQ(first.refusal, Refusal::None);
    EXPECT_EQ(d.ask(bob, openRequest(4)).refusal, Refusal::Busy);
    // Each letter's image is a card of its own.
    EXPECT_EQ(d.ask(bob, openRequest(5)).refusal, Refusal::None);
    d.desk.letGo(alice);
    EXPECT_EQ(d.ask(bob, openRequest(4)).refusal, Refusal::None);

    // The letter mapped to another file since the run began (same path, another file): refused.
    Desk later;
    ImageFacts replaced = file;
    replaced.fileIndex = 99;
    later.host.drives[4] = vetImage(4, "C:\\cards\\e.img", replaced);
    EXPECT_EQ(later.ask(alice, openRequest(4, first.disk)).refusal, Refusal::NotTheRunDisk);
    EXPECT_EQ(later.handed(), 0u);
}

} // namespace
} // namespace brc::volsvc
