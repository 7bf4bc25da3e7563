#include "cli/targets.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>

#include "app/format_report.h"
#include "base/code_page.h"
#include "device/driver_settings.h"
#include "base/on_card_fields.h"
#include "base/native_text.h"
#include "cli/arguments.h"
#include "engine/layout.h"
#if defined(_WIN32)
#include "cli/card_files.h"
#else
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/posix/block_volume.h"
#include "platform/posix/oem_code_pages.h"
#include "platform/posix/posix_os.h"
#endif

namespace brc::cli {

namespace {

// A path or name in quotes, as messages show it. Built by appending: GCC 12 for Windows sees a
// false overlap in "'" + a temporary string.
std::string inQuotes(const std::string& text) {
    std::string out(1, '\'');
    out += shownText(text);
    out += '\'';
    return out;
}

#if !defined(_WIN32)
bool isBlockDevice(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISBLK(st.st_mode);
}
#endif

// What keeps `path` from being a virtual card image, or empty; `where` names it for the user.
std::string notAnImage(const std::string& where, const std::string& path) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path file = pathFromUtf8(path);
    switch (fs::status(file, ec).type()) {
    case fs::file_type::regular: break;
    case fs::file_type::not_found: return "there is no image at " + where;
    case fs::file_type::directory: return where + " is a directory, not an image";
    case fs::file_type::fifo: return where + " is a FIFO, not an image";
    case fs::file_type::character: return where + " is a character device, not an image";
    default: return where + " is not a regular file";
    }
    const uintmax_t size = fs::file_size(file, ec);
    if (!ec && (size == 0 || size % kSectorBytes != 0 || size / kSectorBytes > UINT32_MAX))
        return where + " holds " + counted(size, "byte") +
               ", not a whole number of 512-byte sectors from 1 to 4,294,967,295";
    return {};
}

#if !defined(_WIN32)
// Resolves a card's path once, as the kernel does (every link, every ".." after a link), and
// says what is there: the one object every later step works on and the driver library checks.
std::string resolveOnce(const std::string& where, const std::string& path, std::string& canonical,
                        CardIdentity& identity) {
    char* real = ::realpath(path.c_str(), nullptr);
    if (!real) {
        const int err = errno;
        if (err == ENOENT) return "there is no image at " + where;
        if (err == ELOOP) return where + " leads through a loop of symbolic links";
        return "cannot look at " + where + ": " + std::strerror(err);
    }
    canonical = real;
    std::free(real);
    struct stat st {};
    if (::stat(canonical.c_str(), &st) != 0)
        return "cannot look at " + where + ": " + std::strerror(errno);
    identity.blockDevice = S_ISBLK(st.st_mode);
    identity.device = static_cast<uint64_t>(st.st_dev);
    identity.inode = static_cast<uint64_t>(st.st_ino);
    identity.rdev = identity.blockDevice ? static_cast<uint64_t>(st.st_rdev) : 0;
    if (!identity.blockDevice && !S_ISREG(st.st_mode)) return notAnImage(where, canonical);
    return {};
}
#endif

} // namespace

Target resolveTarget(const std::string& text, bool mapLetter) {
    CardMap map = readCardMap();
    if (!map.error.empty()) throw UsageError{map.error};
    Target target;
    target.display = shownText(text);
    // A drive letter ("E:") names a card already mapped; anything else is a path, "E" too.
    std::optional<unsigned> index;
    std::string where = inQuotes(text);
    std::string path = text;
    if (text.size() == 2 && text[1] == ':' && std::isalpha(static_cast<unsigned char>(text[0]))) {
        index = static_cast<unsigned>(std::toupper(static_cast<unsigned char>(text[0])) - 'A');
        path = map.paths[*index];
        if (path.empty())
            throw UsageError{"drive " + text.substr(0, 1) + ": has no card in BRINDLECARD_CARDS"};
        where = inQuotes(path) + " (behind " + text + ")";
    }
#if defined(_WIN32)
    // The system would open another file than the name says, and the sidecar would not match.
    if (std::string problem = windowsNameProblem(path); !problem.empty()) throw UsageError{problem};
    // A file of the wrong size goes on to the card's own checks, which fail the run with the
    // card's message and this same sentence.
    std::error_code ec;
    const std::filesystem::path file = pathFromUtf8(path);
    if (!std::filesystem::is_regular_file(file, ec)) throw UsageError{notAnImage(where, path)};
    // A long path ("\\?\X:\...") is passed on as it is: Windows takes it as it stands.
    if (path.rfind("\\\\?\\", 0) != 0)
        path = utf8FromPath(std::filesystem::absolute(file, ec).lexically_normal());
#else
    std::string canonical;
    CardIdentity identity;
    // A device name that names nothing is a card that is not there, not a mistyped command.
    if (path.rfind("/dev/", 0) == 0 && ::access(path.c_str(), F_OK) != 0 && errno == ENOENT)
        throw RunError{"no such device: " + path};
    if (std::string problem = resolveOnce(where, path, canonical, identity); !problem.empty())
        throw UsageError{problem};
    path = canonical;
    target.blockDevice = identity.blockDevice;
    target.identity = identity;
#endif
    // The drive map separates its entries with ';' and has no way to quote one.
    if (path.find(';') != std::string::npos)
        throw UsageError{where +
                         " has a ';' in its path, which the drive map cannot hold; "
                         "rename the image or reach it through a link without one"};
    target.path = path;
    if (!mapLetter) return target;
    if (!index)
        if (const auto drive = driveOfPath(map, path)) index = *drive - 1;
    // The first free letter from the back, away from the letters real drives use.
    for (unsigned i = 25; !index && i >= 3; --i)
        if (map.paths[i].empty()) index = i;
    if (!index) throw UsageError{"no free drive letter is left for " + where};
    map.paths[*index] = path;
    setCardMapSetting(formatCardMap(map));
    target.driveNumber = *index + 1;
#if !defined(_WIN32)
    setVettedIdentity(*index, identity);
#endif
    return target;
}

#if !defined(_WIN32)
std::string Target::changed() const {
    std::string canonical;
    CardIdentity now;
    if (std::string problem = resolveOnce(inQuotes(path), path, canonical, now); !problem.empty())
        return problem;
    if (canonical != path || now != identity)
        return inQuotes(path) + " is no longer the " + (blockDevice ? "device" : "file") +
               " that was checked: it was replaced or moved meanwhile";
    return {};
}
#endif

std::unique_ptr<OsServices> osServicesFor(const Target& target, unsigned codePage) {
#if defined(_WIN32)
    (void)target;
    (void)codePage;
    return makeSystemOsServices();
#else
    return makePosixOsServices(target.path, codePage != 0 ? oemCodePage(codePage) : nullptr);
#endif
}

uint32_t openTarget(DriverBinding& driver, const Target& target, std::string& error,
                    bool forReading) {
    if (driver.driverRoute == 0) {
        if (bindDriver(driver, 2) != BindResult::Bound) {
            error = driver.lastError.empty() || !verboseMessages()
                        ? "the card's driver library could not be loaded (-v says why)"
                        : driver.lastError;
            return SDHOST_ERR_NOT_READY;
        }
    }
    uint32_t r = openCard(driver, target.driveNumber, forReading);
    if (r != 0) error = "the card '" + target.display + "' could not be opened" + driverCodeNote(r);
    return r;
}

void closeTarget(DriverBinding& driver) {
    if (driver.driverRoute != 0) driver.api.DDFini(driver.driverHandle);
    driver.driverHandle = 0;
}

std::string imageProblem(const Target& target) {
    if (target.blockDevice) return {};
    const bool drive = target.display.size() == 2 && target.display[1] == ':';
    return notAnImage(inQuotes(target.path) + (drive ? " (behind " + target.display + ")" : ""),
                      target.path);
}

std::string explainCardProblem(DriverBinding& driver, const Target& target) {
    if (target.blockDevice) {
#if !defined(_WIN32)
        // The card may have been pulled out, or the device taken by someone else meanwhile.
        if (!isBlockDevice(target.path))
            return "the card is gone: " + target.path + " no longer exists";
        // The run's own checks passed before, a loop device's too.
        if (std::string problem = vetBlockVolume(target.path, true, false).refusal;
            !problem.empty())
            return problem;
#endif
    } else if (std::string problem = imageProblem(target); !problem.empty()) {
        return problem;
    }
    std::string error;
    if (const uint32_t r = openTarget(driver, target, error))
        return r == SDHOST_ERR_NO_CARD
                   ? "the card is gone: it no longer answers" + driverCodeNote(r)
               : r == SDHOST_ERR_BUSY
                   ? "'" + target.display + "' is in use: another program holds it open"
                   : error;
#if !defined(_WIN32)
    // A write into a sparse image fails when its file system runs out of room.
    if (!target.blockDevice) {
        struct statvfs fs {};
        const uint64_t room =
            ::statvfs(target.path.c_str(), &fs) != 0
                ? UINT64_MAX
                : uint64_t{::geteuid() == 0 ? fs.f_bfree : fs.f_bavail} * fs.f_frsize;
        if (room < SDHOST_MAX_TRANSFER * kSectorBytes) {
            closeTarget(driver);
            return "the disk holding the image is full";
        }
    }
#endif
    CardCapacity capacity;
    const uint32_t read = readCardCapacity(driver, capacity);
    closeTarget(driver);
    if (read != 0) return "the card did not report its capacity" + driverCodeNote(read);
    FormatPlan plan;
    planFormat(capacity, u"", false, &plan);
    return layoutRefusal(capacity, plan);
}

std::string layoutRefusal(const CardCapacity& capacity, const FormatPlan& plan) {
    if (!plan.capacityKnown)
        return "a user area of " + counted(capacity.userSectors, "sector") +
               " lies in the band from " + grouped(kRefusedBandFirst) + " to " +
               grouped(kRefusedBandLast) + " sectors, which the layout rules do not format";
    if (plan.layoutDone) return {};
    if (capacity.protectedSectors > capacity.userSectors)
        return "the protected area (" + grouped(capacity.protectedSectors) +
               " sectors) is larger than the user area (" +
               counted(capacity.userSectors, "sector") + "): no file system layout fits";
    return "no file system layout fits a user area of " + counted(capacity.userSectors, "sector");
}

} // namespace brc::cli
