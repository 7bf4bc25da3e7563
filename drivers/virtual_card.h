// A virtual card served from an image file: the file holds the user area (sector k at byte
// 512 k) and an optional sidecar "<image>.card" of key = value lines gives what an image cannot
// (protected area, write-protect switch, erase support, manufacturer id, fault injection).
// Results are the codes of device/sdhost_abi.h. The logic is portable; only the image file
// (drivers/image_file.h) knows the operating system.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <utility>
#include <vector>
#include <memory>
#include <optional>
#include <string>

#include "base/on_card_fields.h"
#include "device/card_map.h"
#include "device/sdhost_abi.h"

namespace brc::sdhost {

// 64-bit, so that byte offsets made from it do not wrap.
constexpr uint64_t kSectorSize = kSectorBytes;
// Zero sectors written in aligned runs of this many are punched out of the image: 4 KiB, the
// block of the usual file systems, so a punch frees whole blocks rather than zeroing parts.
constexpr uint32_t kHoleSectors = 8;

// The most a sidecar may hold: a few key = value lines and comments need far less, and nothing
// larger is read into memory.
constexpr size_t kMaxSidecarBytes = 4096;

// A card that announces more than it holds: past its real part a wraparound card keeps sector s
// at s mod realSectors (overwriting the start), a limbo card acknowledges writes, keeps nothing
// and reads zeros.
enum class Counterfeit { None, Wraparound, Limbo };
// What sectors a limbo card lost read as: zeros, 0xFF (erased flash), the last sector the card
// was given (a stale buffer), or an error.
enum class LostReads { Zeros, Ones, Stale, Fail };

// What the sidecar says. Defaults are those of a card without a sidecar.
struct CardConfig {
    uint32_t protectedSectors = 0;
    bool writeProtectSwitch = false;
    bool eraseSupported = true;
    std::optional<std::array<uint8_t, 8>> mid{{0x03}}; // none: a reader that gives no CID
    uint32_t failWriteCall = 0;             // 0: none; else the N-th DDWritePT call fails
    uint32_t failWriteCode = SDHOST_ERR_IO; // what that call returns
    std::optional<uint32_t> vanishAfterWrites;
    uint32_t failEraseCall = 0; // 0: none; else the N-th DDErase call fails
    uint32_t failIdentify = 0;  // 0: none; else DDIdentify's result
    uint32_t dropWriteCall = 0; // 0: none; else the N-th DDWritePT call is lost
    Counterfeit counterfeit = Counterfeit::None;
    uint64_t realBytes = 0;  // the counterfeit's real part: 512 k, k >= 1
    uint64_t wrapSpares = 0; // a wraparound card's first bytes kept out of the wrap: past
                             // the real part sector s is kept at K + (s - K) mod (R - K)
    LostReads lostReads = LostReads::Zeros; // what a limbo card's lost sectors read as
    bool lostWritesFail = false;            // a limbo card refuses writes past its real part
    uint64_t badFirst = 0, badCount = 0;    // sectors whose reads and writes fail
    uint64_t unwritableFirst = 0, unwritableCount = 0; // sectors whose writes fail
    uint64_t cacheBytes = 0;      // a controller's write cache: the sectors of the last this
                                  // many bytes written read back from it, wherever they went
    unsigned counterfeitLine = 0; // its sidecar line, for the check against the size
};

// Parses sidecar text. On failure returns false and sets `error` to "<path>:<line>: <problem>".
bool parseSidecar(const std::string& text, const std::string& path, CardConfig& config,
                  std::string& error);

// The image file. Each call is one attempt at the whole transfer: true when every byte moved.
class BackingFile {
public:
    virtual ~BackingFile() = default;
    virtual bool read(void* buffer, size_t length, uint64_t offset) = 0;
    virtual bool write(const void* buffer, size_t length, uint64_t offset) = 0;
    // Makes [offset, offset + length) read as zeros, deallocating it where the system can.
    virtual bool zero(uint64_t offset, uint64_t length) = 0;
    // Deallocates [offset, offset + length) so it reads as zeros. False where the system cannot
    // or did not; the range may then be partly zeroed, so the caller writes the zeros itself.
    virtual bool punch(uint64_t /*offset*/, uint64_t /*length*/) { return false; }
    // Whether the last failed write failed for want of room on the disk holding the image.
    virtual bool full() const { return false; }
};

// What the front end's run tells the library while it waits on a card (through the driver
// context, device/driver_context.h): whether it was told to stop, and where to say that a card
// that gave nothing back after that was given up on.
struct RunWatch {
    bool (*stopRequested)();
    void (*cardAbandoned)();
};

// How the library around the card behaves: its name for messages, its route's write-protect
// code, how many more times a failed transfer on the backing file is tried, and the run it
// serves (none: nothing ever asks it to stop).
struct Host {
    const char* name;
    uint32_t writeProtectCode;
    unsigned retries;
    const RunWatch* run = nullptr;
};

// A transfer of a device card, tried again on an I/O failure as the flavour's retries allow; a
// card that has gone (or any other answer) is not tried again.
template <class Attempt>
uint32_t withDeviceRetries(const Host& host, Attempt attempt) {
    uint32_t rc = SDHOST_OK;
    for (unsigned i = 0; i <= host.retries; ++i) {
        rc = attempt();
        if (rc != SDHOST_ERR_IO) break;
    }
    return rc;
}

struct CardGeometry {
    uint32_t userSectors, cylinders, totalSectors, heads, sectorsPerTrack;
    uint8_t cardType;
    uint32_t protectedSectors, eraseBlockSectors;
};

// Identification figures of a card with `userSectors` sectors and `protectedSectors` more.
CardGeometry geometryOf(uint32_t userSectors, uint32_t protectedSectors);

// SDHOST_ERR_PARAM or SDHOST_ERR_RANGE for a transfer a card of `userSectors` refuses, else 0.
uint32_t checkTransfer(const void* buffer, uint32_t count, uint32_t first, uint32_t userSectors);

// A card behind a drive letter, as the exported operations see it: a virtual card, or on Linux
// a block device (drivers/linux/block_card.h).
class Card {
public:
    virtual ~Card() = default;
    // True once the card has gone away: the library then fails every operation on its handle
    // with SDHOST_ERR_NO_CARD.
    virtual bool vanished() const { return false; }
    // DDIdentify's output 5. A card of any other size than 512 reports a user area of 0.
    virtual uint16_t bytesPerSector() const { return static_cast<uint16_t>(kSectorSize); }
    virtual uint32_t identify(CardGeometry& out) const = 0;
    virtual uint32_t secureIdentify(uint32_t& protectedSectors) const = 0;
    // Transfers of 1 to 256 sectors inside the user area; a refused one touches nothing.
    virtual uint32_t read(void* buffer, uint32_t count, uint32_t first) = 0;
    virtual uint32_t write(const void* buffer, uint32_t count, uint32_t first) = 0;
    // Sectors first to last inclusive; what they read as afterwards is the card's business.
    virtual uint32_t erase(uint32_t first, uint32_t last) = 0;
    virtual uint32_t getMid(uint8_t mid[8]) const = 0;
    // DDFini: everything written is on the card when this returns 0.
    virtual uint32_t finish() { return SDHOST_OK; }
};

class VirtualCard final : public Card {
public:
    VirtualCard(std::unique_ptr<BackingFile> file, uint32_t userSectors, bool readOnly,
                CardConfig config, const Host& host);

    // vanish_after_writes has been reached.
    bool vanished() const override;
    // Writes and erases are refused with the host's write-protect code: the switch is on, or
    // the image could only be opened read-only.
    bool writeRefused() const { return readOnly_ || config_.writeProtectSwitch; }

    uint32_t identify(CardGeometry& out) const override;
    uint32_t secureIdentify(uint32_t& protectedSectors) const override;
    // Sectors past a counterfeit's real part are read where it keeps them, or as zeros.
    uint32_t read(void* buffer, uint32_t count, uint32_t first) override;
    // Calls refused for their arguments, range or write protection do not count as calls for
    // fail_write_call; only successful ones count for vanish_after_writes. Aligned runs of zero
    // sectors are punched out of the image rather than written, so formats keep it sparse. The
    // drop_write_call-th call, and a counterfeit's lost sectors, are acknowledged and not kept.
    uint32_t write(const void* buffer, uint32_t count, uint32_t first) override;
    // Sectors first to last inclusive read as zeros afterwards. As with writes, only calls
    // that pass the range, erase-support and write-protect checks count for fail_erase_call.
    uint32_t erase(uint32_t first, uint32_t last) override;
    uint32_t getMid(uint8_t mid[8]) const override;

private:
    // A run of the sectors from `sector` (before `end`) that the image keeps one after another
    // from `physical`, or that a limbo card loses.
    struct Stretch {
        uint64_t physical;
        uint64_t count;
        bool lost;
    };
    Stretch stretchAt(uint64_t sector, uint64_t end) const;
    template <class Attempt>
    bool withRetries(Attempt attempt);
    bool writeOnce(const uint8_t* buffer, uint32_t count, uint32_t first);
    bool touchesBad(uint64_t first, uint64_t count, bool write) const;

    void remember(const uint8_t* buffer, uint32_t count, uint32_t first);
    void recall(uint8_t* buffer, uint32_t count, uint32_t first) const;

    std::unique_ptr<BackingFile> file_;
    uint32_t userSectors_;
    uint64_t realSectors_; // the sectors the image keeps where they are announced
    bool readOnly_;
    CardConfig config_;
    Host host_;
    uint32_t writeCalls_ = 0;
    uint32_t writesDone_ = 0;
    uint32_t eraseCalls_ = 0;
    std::vector<uint8_t> lastSector_ = std::vector<uint8_t>(kSectorSize); // for a stale buffer
    // The write cache: sector -> (when written, bytes), and the order they came in.
    std::map<uint64_t, std::pair<uint64_t, std::vector<uint8_t>>> cached_;
    std::deque<std::pair<uint64_t, uint64_t>> cacheOrder_;
    uint64_t cacheClock_ = 0;
};

// What a card is opened for. Probe: reading only; the card then acts write-protected. Format:
// reading and writing; on Windows no other handle may write the image until the card is closed,
// and an image another program holds that way is SDHOST_ERR_BUSY. Flags: DDChkSDCard's look at
// whether a format could write, taken alongside a format's own open.
enum class OpenFor { Probe, Format, Flags };

// Opens the card whose image is at `path` (UTF-8): reads the sidecar, opens the image read/write
// (or read-only when writing is not allowed) and checks its size. On SDHOST_ERR_CONFIG and
// SDHOST_ERR_BUSY `error` holds one line saying what is wrong; a missing or unopenable image is
// SDHOST_ERR_NO_CARD. With `vetted`, the file opened must be that very file (Linux), or nothing
// is served.
uint32_t openVirtualCard(const std::string& path, const Host& host,
                         std::unique_ptr<VirtualCard>& card, std::string& error,
                         OpenFor use = OpenFor::Format, const CardIdentity* vetted = nullptr);

// The card of an image already open (`file`, `size` bytes, read-only or not), with the sidecar
// beside `path`: what openVirtualCard does once the image is open.
uint32_t cardOfImage(const std::string& path, std::unique_ptr<BackingFile> file, uint64_t size,
                     bool readOnly, const Host& host, std::unique_ptr<VirtualCard>& card,
                     std::string& error);

#if !defined(_WIN32)
// Whether the open file `fd` is the object the command vetted; `error` says what differs.
bool isVettedObject(int fd, const std::string& path, const CardIdentity& vetted,
                    std::string& error);
#endif

} // namespace brc::sdhost
