// The volume service's pipe: what a client asks, what the service answers, and why it refuses.
// The service runs as LocalSystem and opens a card's disk for a user who may not; everything a
// client sends is untrusted, so each message is read with bounds on its size and fields and
// anything that does not parse exactly is refused. Messages are little-endian, laid out byte
// by byte, and portable: the rules are tested on every build without a pipe or a service.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "drivers/windisk/disk_run.h"

namespace brc::volsvc {

// Where start-up and the driver library find the service.
constexpr const char* kServiceName = "KVOSDFSVC";
constexpr const char* kPipeName = "\\\\.\\pipe\\kvosdsvc";

constexpr uint32_t kRequestMagic = 0x51435242; // "BRCQ"
constexpr uint32_t kAnswerMagic = 0x41435242;  // "BRCA"
constexpr uint16_t kProtocolVersion = 1;

// The pipe's buffers: a request never needs more, so a longer one is refused unread.
constexpr size_t kMaxRequestBytes = 256;
constexpr size_t kMaxAnswerBytes = 512;
constexpr size_t kMaxMessageText = 300; // an answer's reason, in bytes of UTF-8
// What one connection may ask in all, and hold at once; a client wanting more connects again.
constexpr unsigned kMaxRequestsPerClient = 32;
constexpr unsigned kMaxCardsPerClient = 4;
// A connected client that holds no card and sends nothing for this long is let go. One holding
// a card keeps it while its process lives, however long its run writes without a word.
constexpr uint32_t kIdleLimitMs = 10 * 60 * 1000;
// Connections one user may have at once, of the pipe's instances: the rest stay for others.
constexpr unsigned kMaxConnectionsPerUser = 4;
// A request must arrive whole within this after its first byte.
constexpr uint32_t kRequestTimeLimitMs = 5000;

enum class Kind : uint16_t {
    OpenCard = 1,    // open the card behind a drive letter and hand its disk handle over
    ReleaseCard = 2, // give the card back: its volumes unlocked, the service's handle closed
};

// What the handed handle may do: the service opens the disk with exactly this.
enum Access : uint32_t { kRead = 1, kWrite = 2 };

struct Request {
    Kind kind = Kind::OpenCard;
    uint32_t drive = 0; // 0 = A:
    uint32_t access = kRead;
    // The client's own process id. The service hands the disk handle into the process the
    // system says is at the pipe's other end; where the system cannot tell (XP) it takes this
    // one, opened under the client's own identity, so that a client can name only a process it
    // could hand handles into itself.
    uint32_t process = 0;
    // The disk the client's run fixed at its first opening: the service hands no other.
    std::optional<windisk::DiskIdentity> expected;
    // With a release that ends the run: where the partition it wrote begins, in bytes. The
    // service waits for the card's new volume there before it answers, as a run of the client's
    // own waits for it.
    std::optional<uint64_t> partition;
};

// Every way a request is refused. The table (ruleOf) gives each its driver code, whether it
// goes to the event log, and its words.
enum class Refusal : uint16_t {
    None = 0,
    Malformed,     // not a request: bad magic, bad length, a field out of range, bytes left over
    TooLarge,      // longer than any request
    Version,       // a protocol version the service does not speak
    UnknownKind,   // a request it does not know
    TooMany,       // past the requests a connection may make
    TooManyCards,  // past the cards a connection may hold
    NotACard,      // not a card by the library's rules: a fixed or system disk, a spanned volume
    NoMedium,      // nothing in the slot, or no disk behind the letter
    NotTheRunDisk, // the letter now leads to another disk than the client's run began on
    Busy,          // another client holds this card
    NotHeld,       // a release of a card this client does not hold
    SystemFailed,  // the system refused to open, lock or hand the disk
    VolumeNotBack, // a release done, but the card's new volume did not come back in time
};
constexpr uint16_t kLastRefusal = static_cast<uint16_t>(Refusal::VolumeNotBack);

struct RefusalRule {
    Refusal refusal;
    uint32_t driverCode; // the code the client's driver library returns for it
    bool logged;         // written to the event log with the client's user and process
    uint16_t eventId;    // the event log's id for it
    const char* text;    // why, in a few words
};
const RefusalRule& ruleOf(Refusal refusal);

struct Answer {
    Refusal refusal = Refusal::None;
    uint64_t handle = 0;        // the disk handle's value in the client's process
    windisk::DiskIdentity disk; // the disk handed (or the one refused)
    std::string message;        // why, for a refusal; cut to kMaxMessageText
};

struct ParsedRequest {
    std::optional<Request> request;
    Refusal refusal = Refusal::None; // when there is no request
};

std::vector<uint8_t> encodeRequest(const Request& request);
ParsedRequest parseRequest(const uint8_t* data, size_t length);
std::vector<uint8_t> encodeAnswer(const Answer& answer);
// nullopt for anything that is not an answer of this version.
std::optional<Answer> parseAnswer(const uint8_t* data, size_t length);

} // namespace brc::volsvc
