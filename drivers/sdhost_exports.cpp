// The exported operations of our SD host driver libraries. Built once per flavour:
//   BRC_DRV_ROUTE 1: plain names (quillhost);
//   BRC_DRV_ROUTE 2: "SD_W2k_" names, DDErase under its plain name, no DDGetMID, and the drive
//                    lock functions (qhost32; qhost32retry with BRC_DRV_RETRY 1);
//   BRC_DRV_NAME:    the library's name, the prefix of its messages on stderr.
// Cards are served by drivers/virtual_card from the images named in the drive map (the front
// end's, else BRINDLECARD_CARDS), on Linux by drivers/linux/block_card from the block devices named
// there, and on Windows by drivers/windows/disk_card from the system's own disk behind a letter the
// map leaves out; the map is read at every DDInit and DDChkSDCard. The libraries are used from one
// thread.
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>

#include "base/code_page.h"
#include "device/card_map.h"
#include "device/driver_context.h"
#include "device/driver_settings.h"
#include "device/sdhost_abi.h"
#include "drivers/virtual_card.h"
#if defined(_WIN32)
#include "drivers/image_file.h"
#include "drivers/windows/disk_card.h"
#else
#include <sys/stat.h>

#include "drivers/linux/block_card.h"
#endif

#if !defined(BRC_DRV_ROUTE) || !defined(BRC_DRV_RETRY) || !defined(BRC_DRV_NAME)
#error "BRC_DRV_ROUTE, BRC_DRV_RETRY and BRC_DRV_NAME must be defined"
#endif

#ifdef _WIN32
#define BRC_DRV_EXPORT extern "C" __declspec(dllexport)
#else
#define BRC_DRV_EXPORT extern "C" __attribute__((visibility("default")))
#endif

// The exported name of an operation on this route.
#if BRC_DRV_ROUTE == 2
#define BRC_DRV_OP(name) SD_W2k_##name
#else
#define BRC_DRV_OP(name) name
#endif

using namespace brc::sdhost;

namespace {

// The front end's run, as the last driver context handed says; none before one is.
BrcDriverContext* context = nullptr;

bool stopRequested() {
    return context && context->stopRequested && context->stopRequested(context->user) != 0;
}

void cardAbandoned() {
    if (context) context->cardAbandoned = 1;
}

constexpr RunWatch kRun{stopRequested, cardAbandoned};

const Host kHost{BRC_DRV_NAME,
                 BRC_DRV_ROUTE == 2 ? SDHOST_ERR_WRITE_PROTECT_R2 : SDHOST_ERR_WRITE_PROTECT_R1,
                 BRC_DRV_RETRY ? 2u : 0u, &kRun};

constexpr uint32_t kSlots = 16; // handles are 1 to kSlots
// Users of the library between DDSysInit and DDSysFini. A private instance loaded by file name
// is the same module as the bound one, so each start needs its own finish.
uint32_t users = 0;
bool ready() { return users != 0; }
#if defined(_WIN32)
// Defined before the cards, so destroyed after them when the library unloads (route 2's front
// end never calls DDSysFini).
struct Unloading {
    ~Unloading() { unloadDiskCards(); }
} unloading;
#endif
std::unique_ptr<Card> cards[kSlots];

// When a route falls back, the other library opens the same card and meets the same problem:
// the user is told once (the front end's context keeps the last line for both).
void report(const std::string& text) {
    const std::string line = brc::shownText(text); // one line, whatever a path in it holds
    if (!brc::isNewReport(line)) return;
    std::fprintf(stderr, "%s: %s\n", kHost.name, line.c_str());
}

// Index (0 = A:) of a drive number that may carry the DDInit flags.
uint32_t driveIndex(uint32_t drive, size_t& index) {
    if (!ready()) return SDHOST_ERR_NOT_READY;
    uint32_t number = drive & SDHOST_DRIVE_MASK;
    if ((drive & ~(SDHOST_DRIVE_MASK | SDHOST_INIT_PROBE | SDHOST_INIT_ROUTE2)) != 0 ||
        number < 1 || number > 26)
        return SDHOST_ERR_PARAM;
    index = number - 1;
    return SDHOST_OK;
}

// The image or device behind a drive, as BRINDLECARD_CARDS says now: on Windows an empty path
// for a letter it leaves to the system.
uint32_t mappedPath(uint32_t drive, std::string& path, size_t& index) {
    if (uint32_t rc = driveIndex(drive, index)) return rc;
    brc::CardMap map = brc::readCardMap();
    if (!map.error.empty()) {
        report(map.error);
        return SDHOST_ERR_CONFIG;
    }
    path = map.paths[index];
#if defined(_WIN32)
    return SDHOST_OK;
#else
    return path.empty() ? SDHOST_ERR_NO_CARD : SDHOST_OK;
#endif
}

#if !defined(_WIN32)
// What the command vetted behind a drive: only that very file or device is served, and a device
// it did not look at never is.
uint32_t vettedFor(size_t index, const std::string& path,
                   std::optional<brc::CardIdentity>& vetted) {
    vetted = brc::vettedIdentity(static_cast<unsigned>(index));
    struct stat st {};
    if (!vetted && ::stat(path.c_str(), &st) == 0 && S_ISBLK(st.st_mode)) {
        report(path + " is a device that was not checked as a card; it is not opened");
        return SDHOST_ERR_CONFIG;
    }
    return SDHOST_OK;
}
#endif

// Opens the card behind a drive.
uint32_t openDrive(uint32_t drive, std::unique_ptr<Card>& card) {
    // A probe only reads.
    const bool probe = (drive & SDHOST_INIT_PROBE) != 0;
    std::string path, error;
    size_t index = 0;
    if (uint32_t rc = mappedPath(drive, path, index)) return rc;
    uint32_t rc;
#if defined(_WIN32)
    if (path.empty()) {
        rc = openDiskCard(static_cast<unsigned>(index), probe, kHost, card, error);
        if (!error.empty()) report(error);
        return rc;
    }
    if (!probe) {
        // Not an administrator: the image may be one the volume service serves.
        std::unique_ptr<VirtualCard> served;
        rc = openServedImage(static_cast<unsigned>(index), path, kHost, served, error);
        if (!error.empty()) report(error);
        if (rc != SDHOST_OK || served) {
            card = std::move(served);
            return rc;
        }
    }
    const brc::CardIdentity* vetted = nullptr;
#else
    std::optional<brc::CardIdentity> identity;
    if ((rc = vettedFor(index, path, identity))) return rc;
    const brc::CardIdentity* vetted = identity ? &*identity : nullptr;
    if (vetted && vetted->blockDevice) {
        rc = openBlockCard(path, *vetted, kHost, card, error, probe);
        if (!error.empty()) report(error);
        return rc;
    }
#endif
    std::unique_ptr<VirtualCard> image;
    rc = openVirtualCard(path, kHost, image, error, probe ? OpenFor::Probe : OpenFor::Format,
                         vetted);
    if (!error.empty()) report(error);
    card = std::move(image);
    return rc;
}

// The open card of a handle; a card that has gone away is SDHOST_ERR_NO_CARD.
uint32_t cardOf(uint32_t handle, Card*& card) {
    if (!ready()) return SDHOST_ERR_NOT_READY;
    if (handle == 0 || handle > kSlots || !cards[handle - 1]) return SDHOST_ERR_HANDLE;
    card = cards[handle - 1].get();
    if (!card->vanished()) return SDHOST_OK;
    report("the card has gone away, as its sidecar's vanish_after_writes asks");
    return SDHOST_ERR_NO_CARD;
}

} // namespace

BRC_DRV_EXPORT uint32_t SDHOST_CALL BRC_DRV_OP(DDSysInit)(void) {
    ++users;
    return SDHOST_OK;
}

BRC_DRV_EXPORT uint32_t SDHOST_CALL BRC_DRV_OP(DDSysFini)(void) {
    if (!ready()) return SDHOST_ERR_NOT_READY;
    if (--users == 0) {
        for (auto& card : cards) card.reset();
#if defined(_WIN32)
        releaseParkedDiskVolumes();
#endif
    }
    return SDHOST_OK;
}

BRC_DRV_EXPORT uint32_t SDHOST_CALL BRC_DRV_OP(DDInit)(uint32_t* handle, uint32_t drive) {
    if (!ready()) return SDHOST_ERR_NOT_READY;
    if (!handle) return SDHOST_ERR_PARAM;
    *handle = 0;
    uint32_t slot = 0;
    while (slot < kSlots && cards[slot]) ++slot;
    if (slot == kSlots) return SDHOST_ERR_TOO_MANY;
    if (uint32_t rc = openDrive(drive, cards[slot])) return rc;
    *handle = slot + 1;
    return SDHOST_OK;
}

BRC_DRV_EXPORT uint32_t SDHOST_CALL BRC_DRV_OP(DDFini)(uint32_t handle) {
    Card* card = nullptr;
    uint32_t rc = cardOf(handle, card);
    if (rc == SDHOST_OK) rc = card->finish();
    if (card) cards[handle - 1].reset(); // released even when the card has gone away
    return rc;
}

BRC_DRV_EXPORT uint32_t SDHOST_CALL
BRC_DRV_OP(DDIdentify)(uint32_t* userSectors, uint32_t* cylinders, uint32_t* totalSectors,
                       uint32_t* heads, uint16_t* bytesPerSector, uint32_t* sectorsPerTrack,
                       uint8_t* cardType, uint32_t* protectedSectors, uint8_t* busWidth,
                       uint32_t* eraseBlockSectors, uint32_t* reserved, uint32_t handle) {
    Card* card = nullptr;
    if (uint32_t rc = cardOf(handle, card)) return rc;
    if (!userSectors || !cylinders || !totalSectors || !heads || !bytesPerSector ||
        !sectorsPerTrack || !cardType || !protectedSectors || !busWidth || !eraseBlockSectors ||
        !reserved)
        return SDHOST_ERR_PARAM;
    CardGeometry g;
    if (uint32_t rc = card->identify(g)) return rc;
    *userSectors = g.userSectors;
    *cylinders = g.cylinders;
    *totalSectors = g.totalSectors;
    *heads = g.heads;
    *bytesPerSector = card->bytesPerSector();
    *sectorsPerTrack = g.sectorsPerTrack;
    *cardType = g.cardType;
    *protectedSectors = g.protectedSectors;
    *busWidth = 4;
    *eraseBlockSectors = g.eraseBlockSectors;
    *reserved = 0;
    return SDHOST_OK;
}

BRC_DRV_EXPORT uint32_t SDHOST_CALL BRC_DRV_OP(DDSecureIdentify)(uint32_t* protectedSectors,
                                                                 uint32_t handle) {
    Card* card = nullptr;
    if (uint32_t rc = cardOf(handle, card)) return rc;
    if (!protectedSectors) return SDHOST_ERR_PARAM;
    return card->secureIdentify(*protectedSectors);
}

BRC_DRV_EXPORT uint32_t SDHOST_CALL BRC_DRV_OP(DDReadPT)(void* buffer, uint32_t count,
                                                         uint32_t firstSector, uint32_t handle) {
    Card* card = nullptr;
    if (uint32_t rc = cardOf(handle, card)) return rc;
    return card->read(buffer, count, firstSector);
}

BRC_DRV_EXPORT uint32_t SDHOST_CALL BRC_DRV_OP(DDWritePT)(const void* buffer, uint32_t count,
                                                          uint32_t firstSector, uint32_t handle) {
    Card* card = nullptr;
    if (uint32_t rc = cardOf(handle, card)) return rc;
    return card->write(buffer, count, firstSector);
}

BRC_DRV_EXPORT uint32_t SDHOST_CALL BRC_DRV_OP(DDChkSDCard)(uint32_t drive, uint32_t* flags) {
    if (!ready()) return SDHOST_ERR_NOT_READY;
    if (!flags) return SDHOST_ERR_PARAM;
    *flags = 0;
    std::string path;
    size_t index = 0;
    if (uint32_t rc = mappedPath(drive, path, index)) return rc;
#if defined(_WIN32)
    if (path.empty()) return diskCardFlags(static_cast<unsigned>(index), *flags);
    const brc::CardIdentity* vetted = nullptr;
#else
    std::optional<brc::CardIdentity> identity;
    if (uint32_t rc = vettedFor(index, path, identity)) return rc;
    const brc::CardIdentity* vetted = identity ? &*identity : nullptr;
    if (vetted && vetted->blockDevice) {
        // Asked while the card is open: a second exclusive open would be refused.
        std::string error;
        const uint32_t rc = blockCardFlags(path, *vetted, *flags, error);
        if (!error.empty()) report(error);
        return rc;
    }
#endif
    std::unique_ptr<VirtualCard> card;
    std::string error;
    const uint32_t rc = openVirtualCard(path, kHost, card, error, OpenFor::Flags, vetted);
    if (!error.empty()) report(error);
    if (rc) return rc;
    *flags = SDHOST_CHK_QUALIFIES | (card->writeRefused() ? SDHOST_CHK_REFUSED : 0u);
    return SDHOST_OK;
}

// Both routes export DDErase under its plain name.
BRC_DRV_EXPORT uint32_t SDHOST_CALL DDErase(uint32_t firstSector, uint32_t lastSector,
                                            uint32_t handle) {
    Card* card = nullptr;
    if (uint32_t rc = cardOf(handle, card)) return rc;
    return card->erase(firstSector, lastSector);
}

// Private to our front ends, plain on both routes. A Linux card's device is held exclusively by
// each opening itself; the Windows disk path keeps the run's disk and volumes between openings.
BRC_DRV_EXPORT uint32_t SDHOST_CALL DDHoldVolumes(uint32_t drive, uint32_t on) {
    size_t index = 0;
    if (uint32_t rc = driveIndex(drive, index)) return rc;
#if defined(_WIN32)
    return holdDiskRun(static_cast<unsigned>(index), on != 0);
#else
    (void)on;
    return SDHOST_OK;
#endif
}

// Private to our front ends, under one name on both routes. Only the Linux device path waits
// on a run's stop; the Windows disk path bounds its waits itself.
BRC_DRV_EXPORT uint32_t SDHOST_CALL BrcSetDriverContext(BrcDriverContext* handed) {
    const bool known = !handed || (handed->version == BRC_DRIVER_CONTEXT_VERSION &&
                                   handed->size == sizeof(BrcDriverContext));
    context = known ? handed : nullptr;
    brc::readSettingsFrom(context);
    return known ? SDHOST_OK : SDHOST_ERR_PARAM;
}

static_assert(std::is_same_v<decltype(&BRC_DRV_OP(DDSysInit)), DDSysInit_t>);
static_assert(std::is_same_v<decltype(&BRC_DRV_OP(DDSysFini)), DDSysFini_t>);
static_assert(std::is_same_v<decltype(&BRC_DRV_OP(DDInit)), DDInit_t>);
static_assert(std::is_same_v<decltype(&BRC_DRV_OP(DDFini)), DDFini_t>);
static_assert(std::is_same_v<decltype(&BRC_DRV_OP(DDIdentify)), DDIdentify_t>);
static_assert(std::is_same_v<decltype(&BRC_DRV_OP(DDSecureIdentify)), DDSecureIdentify_t>);
static_assert(std::is_same_v<decltype(&BRC_DRV_OP(DDReadPT)), DDReadPT_t>);
static_assert(std::is_same_v<decltype(&BRC_DRV_OP(DDWritePT)), DDWritePT_t>);
static_assert(std::is_same_v<decltype(&BRC_DRV_OP(DDChkSDCard)), DDChkSDCard_t>);
static_assert(std::is_same_v<decltype(&DDErase), DDErase_t>);
static_assert(std::is_same_v<decltype(&DDHoldVolumes), DDHoldVolumes_t>);
static_assert(std::is_same_v<decltype(&BrcSetDriverContext), BrcDriverContext_t>);

#if BRC_DRV_ROUTE == 1

BRC_DRV_EXPORT uint32_t SDHOST_CALL DDGetMID(uint8_t mid[8], uint32_t zero, uint32_t handle) {
    Card* card = nullptr;
    if (uint32_t rc = cardOf(handle, card)) return rc;
    if (!mid || zero != 0) return SDHOST_ERR_PARAM;
    return card->getMid(mid);
}
static_assert(std::is_same_v<decltype(&DDGetMID), DDGetMID_t>);

#else

// The drive lock functions only check the drive number.
namespace {
uint32_t checkDrive(uint32_t drive) {
    size_t index = 0;
    return driveIndex(drive, index);
}
} // namespace

BRC_DRV_EXPORT uint32_t SDHOST_CALL SD_W2k_DrvLock(uint32_t drive) { return checkDrive(drive); }
BRC_DRV_EXPORT uint32_t SDHOST_CALL SD_W2k_DrvLock2(uint32_t drive) { return checkDrive(drive); }
BRC_DRV_EXPORT uint32_t SDHOST_CALL SD_W2k_DrvUnlock(uint32_t drive) { return checkDrive(drive); }
static_assert(std::is_same_v<decltype(&SD_W2k_DrvLock), DrvLock_t>);

#endif
