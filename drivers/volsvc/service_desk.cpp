#include "drivers/volsvc/service_desk.h"

#include <algorithm>

#include "device/sdhost_abi.h"

namespace brc::volsvc {
namespace {

std::string who(const Client& c) {
    std::string s = c.user.empty() ? "an unknown user" : c.user;
    s += c.process ? " (process " + std::to_string(c.process) + ")" : " (process unknown)";
    return s;
}

} // namespace

// The desk's state held for one public call.
class ServiceDesk::Locked {
public:
    explicit Locked(const ServiceDesk& desk) : locks_(desk.locks_) {
        if (locks_) locks_->enterDesk();
    }
    ~Locked() {
        if (locks_) locks_->leaveDesk();
    }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

private:
    DeskLocks* locks_;
};

// The desk left while the host waits on a drive, and disk `disk`'s lock held (none: a drive's
// vetting, before its disk is known).
class ServiceDesk::Unlocked {
public:
    Unlocked(const ServiceDesk& desk, std::optional<uint32_t> disk)
        : locks_(desk.locks_), disk_(disk) {
        if (!locks_) return;
        locks_->leaveDesk();
        if (disk_) locks_->enterDisk(*disk_);
    }
    ~Unlocked() {
        if (!locks_) return;
        if (disk_) locks_->leaveDisk(*disk_);
        locks_->enterDesk();
    }
    Unlocked(const Unlocked&) = delete;
    Unlocked& operator=(const Unlocked&) = delete;

private:
    DeskLocks* locks_;
    std::optional<uint32_t> disk_;
};

bool sameDisk(const windisk::DiskIdentity& expected, const windisk::DiskIdentity& reached) {
    windisk::ShelfDrive kept{};
    windisk::DiskIdentity a = expected, b = reached;
    a.vendor = windisk::asKept(kept.vendor, a.vendor);
    b.vendor = windisk::asKept(kept.vendor, b.vendor);
    a.product = windisk::asKept(kept.product, a.product);
    b.product = windisk::asKept(kept.product, b.product);
    a.serial = windisk::asKept(kept.serial, a.serial);
    b.serial = windisk::asKept(kept.serial, b.serial);
    return a == b;
}

std::vector<uint8_t> ServiceDesk::serve(const Client& client, const uint8_t* data, size_t length) {
    const Locked locked(*this);
    unsigned& count = requests_[client.id];
    if (count >= kMaxRequestsPerClient)
        return encodeAnswer(refuse(client, nullptr, Refusal::TooMany, ""));
    ++count;
    const ParsedRequest parsed = parseRequest(data, length);
    if (!parsed.request) return encodeAnswer(refuse(client, nullptr, parsed.refusal, ""));
    const Request& q = *parsed.request;
    return encodeAnswer(q.kind == Kind::OpenCard ? open(client, q) : release(client, q));
}

bool ServiceDesk::connect(const Client& client) {
    const Locked locked(*this);
    const auto sameUser = [&](const auto& entry) { return entry.second == client.user; };
    const auto connections = std::count_if(users_.begin(), users_.end(), sameUser);
    if (static_cast<size_t>(connections) >= kMaxConnectionsPerUser) return false;
    users_[client.id] = client.user;
    return true;
}

bool ServiceDesk::dropping(const Client& client) const {
    const Locked locked(*this);
    return dropping_.count(client.id) != 0;
}

std::optional<uint32_t> ServiceDesk::idleLimitMs(const Client& client, bool processWatched) const {
    const Locked locked(*this);
    const bool holds = std::any_of(held_.begin(), held_.end(),
                                   [&](const Held& h) { return h.client == client.id; });
    if (holds && processWatched) return std::nullopt;
    return kIdleLimitMs;
}

std::optional<windisk::Vetting> ServiceDesk::vetted(const Client& client, const Request& q,
                                                    Answer& refused) {
    windisk::Vetting vet;
    {
        const Unlocked waiting(*this, std::nullopt);
        vet = host_.vet(q.drive);
    }
    const std::optional<windisk::DiskIdentity> reached = windisk::identityOf(vet.facts);
    if (vet.verdict.code == SDHOST_ERR_NO_CARD)
        refused = refuse(client, &q, Refusal::NoMedium, vet.verdict.message);
    else if (vet.verdict.code != SDHOST_OK || !reached)
        refused =
            refuse(client, &q, Refusal::NotACard,
                   vet.verdict.message.empty() ? "no disk answers for it" : vet.verdict.message);
    else return vet;
    return std::nullopt;
}

Answer ServiceDesk::open(const Client& client, const Request& q) {
    // A card the client holds through the drive (a run closes and reopens it) is the same hold,
    // opened again as the disk held: its volumes, and with them the drive's letter, are taken
    // while it is held. The host checks that what opens is still that disk.
    HeldList::iterator mine = heldBy(client, q.drive);
    std::optional<windisk::DiskIdentity> reached;
    windisk::DiskFacts facts;
    if (mine != held_.end()) {
        reached = mine->disk;
        facts = mine->facts;
    } else {
        Answer refused;
        std::optional<windisk::Vetting> vet = vetted(client, q, refused);
        if (!vet) return refused;
        reached = windisk::identityOf(vet->facts);
        facts = std::move(vet->facts);
    }
    if (q.expected && !sameDisk(*q.expected, *reached))
        return refuse(client, &q, Refusal::NotTheRunDisk, "it leads to another disk now", *reached);
    // Where the system cannot name the client's process (XP), the one the client names: the
    // host hands only into a process of the client's own user. A connection names one process
    // for good: the host opened the first it named.
    const uint32_t process = client.process ? client.process : q.process;
    if (!client.process && q.process) {
        const auto [claim, first] = claims_.emplace(client.id, q.process);
        if (!first && claim->second != q.process)
            return refuse(client, &q, Refusal::Malformed,
                          "it names process " + std::to_string(q.process) + " after process " +
                              std::to_string(claim->second));
    }
    const bool first = mine == held_.end();
    if (first) {
        if (const std::optional<Refusal> no = heldElsewhere(client, process, reached->number))
            return refuse(client, &q, *no, "", *reached);
        // Held from here: another client asking meanwhile finds the card busy.
        mine = held_.insert(held_.end(), {client.id, process, q.drive, *reached, facts, 0});
    }

    std::string why;
    std::optional<uint64_t> handle;
    {
        const Unlocked waiting(*this, reached->number);
        handle = host_.hand(client, q, facts, *reached, why);
    }
    if (!handle) {
        if (first) held_.erase(mine);
        return refuse(client, &q, Refusal::SystemFailed, why, *reached);
    }
    ++mine->opens;
    Answer a;
    a.handle = *handle;
    a.disk = *reached;
    return a;
}

// Why disk `number` may not become a new hold of `client` (in `process`): busy, or one card too
// many for the client.
std::optional<Refusal> ServiceDesk::heldElsewhere(const Client& client, uint32_t process,
                                                  uint32_t number) const {
    unsigned cards = 0;
    for (const Held& h : held_) {
        if (h.client == client.id) ++cards;
        if (h.disk.number != number) continue;
        // Another connection of the same process (the erase's own library instance beside the
        // bound one) shares the card: that process holds the disk already. Anyone else, and
        // this connection through another drive, finds it busy.
        const bool sameProcess = process != 0 && h.process == process;
        if (h.client == client.id || !sameProcess) return Refusal::Busy;
    }
    if (cards >= kMaxCardsPerClient) return Refusal::TooManyCards;
    return std::nullopt;
}

ServiceDesk::HeldList::iterator ServiceDesk::heldBy(const Client& client, unsigned drive) {
    return std::find_if(held_.begin(), held_.end(),
                        [&](const Held& h) { return h.client == client.id && h.drive == drive; });
}

Answer ServiceDesk::release(const Client& client, const Request& q) {
    const HeldList::iterator it = heldBy(client, q.drive);
    if (it == held_.end()) return refuse(client, &q, Refusal::NotHeld, "");
    Answer a;
    a.disk = it->disk;
    if (--it->opens == 0) {
        bool back;
        {
            const Unlocked waiting(*this, it->disk.number);
            back = host_.giveBack(client, it->disk, q.partition.value_or(0));
        }
        held_.erase(it);
        if (!back) a.refusal = Refusal::VolumeNotBack;
    }
    return a;
}

void ServiceDesk::letGo(const Client& client) {
    const Locked locked(*this);
    // Looked for afresh after each: other connections' entries come and go while the desk waits.
    for (;;) {
        const auto it = std::find_if(held_.begin(), held_.end(),
                                     [&](const Held& h) { return h.client == client.id; });
        if (it == held_.end()) break;
        {
            const Unlocked waiting(*this, it->disk.number);
            host_.giveBack(client, it->disk);
        }
        held_.erase(it);
    }
    requests_.erase(client.id);
    claims_.erase(client.id);
    users_.erase(client.id);
    dropping_.erase(client.id);
}

size_t ServiceDesk::cardsHeld() const {
    const Locked locked(*this);
    return held_.size();
}

std::optional<uint64_t> ServiceDesk::holder(uint32_t number) const {
    const Locked locked(*this);
    for (const Held& h : held_)
        if (h.disk.number == number) return h.client;
    return std::nullopt;
}

Answer ServiceDesk::refuse(const Client& client, const Request* q, Refusal refusal,
                           const std::string& why, const windisk::DiskIdentity& disk) {
    const RefusalRule& rule = ruleOf(refusal);
    Answer a;
    a.refusal = refusal;
    a.disk = disk;
    a.message = q ? windisk::driveName(q->drive) + " " + rule.text : std::string(rule.text);
    if (!why.empty()) a.message += " (" + why + ")";
    if (rule.logged && dropping_.insert(client.id).second)
        host_.log({rule.eventId, refusal, who(client) + " was refused " + a.message});
    return a;
}

} // namespace brc::volsvc
