// What the volume service decides for its clients, apart from the system calls that carry it
// out: which requests it serves, which card each client holds, who is refused and logged, and
// what is given back when a client goes. The service's Windows side feeds it the pipe's
// messages and the system's answers; the tests feed it recorded ones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "drivers/volsvc/pipe_protocol.h"
#include "drivers/windisk/disk_run.h"

namespace brc::volsvc {

// Who is asking, as the system tells the service.
struct Client {
    uint64_t id = 0;      // the connection, unique for the service's life
    uint32_t process = 0; // the client's process id; 0 where the system cannot tell
    std::string user;     // DOMAIN\name of the client's token; empty where unknown
};

// One refusal for the event log.
struct LogEntry {
    uint16_t eventId = 0;
    Refusal refusal = Refusal::None;
    std::string text; // the client's user and process, the drive, and why
};

// The system as the service uses it.
class CardHost {
public:
    virtual ~CardHost() = default;
    // What the system answers about drive `drive` (0 = A:), outside any run.
    virtual windisk::Vetting vet(unsigned drive) = 0;
    // Opens `disk` with the request's access, checks that what opened is that very disk, takes
    // and dismounts its volumes (once, for the first writing connection) and duplicates the
    // handle into the client's process. The handle's value there, or nullopt with `why` (and
    // nothing more kept: what a failed first opening took is given back).
    // `vetted` is what the drive's vetting found; the host judges the opened disk against it.
    virtual std::optional<uint64_t> hand(const Client& client, const Request& request,
                                         const windisk::DiskFacts& vetted,
                                         const windisk::DiskIdentity& disk, std::string& why) = 0;
    // The client is done with `disk`: the handles the service holds on it for this client
    // closed and, once no connection holds the disk any more, its volumes unlocked and mounted
    // again, the new volume waited for (at `partition` bytes into the disk where the client's
    // run wrote a partition there; 0: any). False when it did not come back in time.
    virtual bool giveBack(const Client& client, const windisk::DiskIdentity& disk,
                          uint64_t partition = 0) = 0;
    virtual void log(const LogEntry& entry) = 0;
};

// How several connection threads share one desk: its own state is touched only with the desk
// lock held, and the host's calls that wait on a drive (a hung reader answers after seconds) are
// made with it left, a disk's under that disk's own lock, so that one slow card holds up nobody
// else's. A disk being opened or given back counts as held meanwhile: it is busy to others.
class DeskLocks {
public:
    virtual ~DeskLocks() = default;
    virtual void enterDesk() = 0;
    virtual void leaveDesk() = 0;
    virtual void enterDisk(uint32_t number) = 0;
    virtual void leaveDisk(uint32_t number) = 0;
};

class ServiceDesk {
public:
    // Without `locks`, the desk is one thread's.
    explicit ServiceDesk(CardHost& host, DeskLocks* locks = nullptr) : host_(host), locks_(locks) {}

    // A client that connected wrote its first message: false where its user has as many
    // connections as one user may, and the connection is to be closed unserved.
    bool connect(const Client& client);
    // The answer to one message `client` sent.
    std::vector<uint8_t> serve(const Client& client, const uint8_t* data, size_t length);
    // Whether the connection is to be closed after its last answer: a refusal of the kind that
    // is logged was its last, so that one connection writes to the event log once at most.
    bool dropping(const Client& client) const;
    // How long the connection may stay silent before it is let go: without limit while it holds
    // a card and its process is watched (a long overwrite says nothing for many minutes), else
    // the idle limit.
    std::optional<uint32_t> idleLimitMs(const Client& client, bool processWatched) const;
    // The client disconnected or its process ended: everything it holds is given back.
    void letGo(const Client& client);

    // The connection holding disk `number`, if any.
    std::optional<uint64_t> holder(uint32_t number) const;
    size_t cardsHeld() const;

private:
    class Locked;
    class Unlocked;
    struct Held {
        uint64_t client;
        uint32_t process; // as the system named it, else as the client did; 0 where neither
        unsigned drive;
        windisk::DiskIdentity disk;
        windisk::DiskFacts facts; // as the drive was vetted at the first opening
        unsigned opens;           // handles handed and not yet released; 0 while the first is
                                  // being handed or the last given back
    };
    using HeldList = std::list<Held>; // a connection's own entries stay put while it waits
    HeldList::iterator heldBy(const Client& client, unsigned drive);
    std::optional<Refusal> heldElsewhere(const Client& client, uint32_t process,
                                         uint32_t number) const;
    Answer open(const Client& client, const Request& request);
    // The disk behind the request's drive if it is a card, else nullopt and the refusal.
    std::optional<windisk::Vetting> vetted(const Client& client, const Request& request,
                                           Answer& refused);
    Answer release(const Client& client, const Request& request);
    Answer refuse(const Client& client, const Request* request, Refusal refusal,
                  const std::string& why, const windisk::DiskIdentity& disk = {});

    CardHost& host_;
    DeskLocks* locks_;
    HeldList held_;
    std::map<uint64_t, unsigned> requests_; // by connection
    std::map<uint64_t, std::string> users_; // connections admitted, with their users
    std::map<uint64_t, uint32_t> claims_;   // the process each connection named, where the
                                            // system cannot tell (XP)
    std::set<uint64_t> dropping_;
};

// Whether `reached` is the disk `expected` names, compared as a run's shelf keeps identities.
bool sameDisk(const windisk::DiskIdentity& expected, const windisk::DiskIdentity& reached);

} // namespace brc::volsvc
