// Everything the format path asks of the operating system, behind one interface. Three
// implementations: win32 (the real calls), posix (Linux) and a scripted fake for tests.
// Strings are UTF-16 as on Windows; paths of libraries and images are UTF-8.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/code_page.h"
#include "base/format_clock.h"

namespace brc {

// The system's version and edition.
struct OsVersion {
    uint32_t platformId = 0; // 1 VER_PLATFORM_WIN32_WINDOWS, 2 VER_PLATFORM_WIN32_NT
    uint32_t major = 0;
    uint32_t minor = 0;
    uint32_t productType = 0; // 1 VER_NT_WORKSTATION, 2 domain controller, 3 server
};

// Windows error codes the callers test for.
constexpr uint32_t kErrorNotReady = 21; // ERROR_NOT_READY
constexpr uint32_t kErrorServiceAlreadyRunning = 1056;
constexpr uint32_t kErrorServiceDoesNotExist = 1060;

// What may be asked of an open volume: take it for this process alone, give it back, or make the
// system let go of its file system (it mounts the card afresh when next asked).
enum class VolumeRequest { Lock, Unlock, Dismount };

// What kind of drive a root is, in the values Windows gives them.
enum DriveType : uint32_t {
    DriveUnknown = 0,
    DriveNoRootDir = 1,
    DriveRemovable = 2,
    DriveFixed = 3,
    DriveRemote = 4,
    DriveCdrom = 5,
    DriveRamdisk = 6
};

// The mounted file system of a drive, as the system sees it.
struct VolumeInfo {
    std::u16string label;
    uint32_t serial = 0;
    uint32_t maxComponentLength = 0;
    uint32_t flags = 0;
    std::u16string fileSystem;
};

// A drive's size and free space in clusters.
struct ClusterSpace {
    uint32_t sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, totalClusters = 0;
};

// The program file's own version resource.
struct ProgramVersion {
    uint32_t productMs = 0, productLs = 0;        // dwProductVersionMS and LS
    std::optional<std::u16string> legalCopyright; // "\StringFileInfo\041104B0\LegalCopyright"
};

// Which kind of system answers: it decides the start-up checks and how the card's volume is
// treated. Windows answers the version, token and service questions; a POSIX system has none of
// those and answers the rights questions of its own instead. The other family's questions answer
// as a system that lacks them, so each backend implements only its own.
enum class SystemFamily { Windows, Posix };

class OsServices {
public:
    virtual ~OsServices() = default;

    virtual SystemFamily systemFamily() = 0;

    // ---- Windows: version, rights, volume service ----
    // Version and edition; false when they cannot be read or the system is no Windows.
    virtual bool systemVersion(OsVersion&) { return false; }
    // Whether this process is a member of group `sid` ("S-1-5-32-544") as the system's access
    // checks count it (a deny-only membership, an administrator's under UAC before elevation,
    // does not count); false when it cannot be told.
    virtual bool isInGroup(const std::string& /*sid*/, bool& /*member*/) { return false; }
    // Starts the named service: 0 started, else the Windows error (1056 already running; any
    // failure to reach the service manager or the service gives a non-zero error).
    virtual uint32_t startService(const std::u16string&) { return kErrorServiceDoesNotExist; }
    // Whether the named pipe opens for reading and writing, after giving its server the
    // system's default wait; true when it opened (it is closed again).
    virtual bool pipeOpens(const std::u16string&) { return false; }

    // ---- POSIX: rights ----
    // The effective user is root, who may format any card.
    virtual bool isSuperuser() { return false; }
    // This user may open the card for reading and writing; false on a system that does not ask.
    virtual bool mayOpenCard() { return false; }

    // Named mutex, created and owned: a non-null token when created; `alreadyExisted` when it
    // existed before (the token is then valid but does not own it).
    virtual void* createNamedMutex(const std::u16string& name, bool& alreadyExisted) = 0;
    // Whether another process holds a mutex of that name; nothing is kept open.
    virtual bool namedMutexHeld(const std::u16string& name) = 0;
    virtual void releaseNamedMutex(void* mutex) = 0;

    // The volume of drive X, opened for reading and writing, shared with others; null on
    // failure.
    virtual void* openVolume(char16_t driveLetter) = 0;
    // One request on an open volume; true when done.
    virtual bool volumeRequest(void* volume, VolumeRequest request) = 0;
    virtual void closeVolume(void* volume) = 0;

    // The device drive X stands for ("\Device\Floppy0"); nullopt on failure.
    virtual std::optional<std::u16string> driveDevicePath(char16_t driveLetter) = 0;
    // The root paths of the drives there are ("E:\"), in letter order.
    virtual std::vector<std::u16string> driveRoots() = 0;
    // The DriveType of a root.
    virtual uint32_t driveType(const std::u16string& rootPath) = 0;
    // Size and free space of the drive's file system in clusters; false on failure.
    virtual bool clusterSpace(const std::u16string& rootPath, ClusterSpace& out) = 0;
    // The bytes this user may still write on the drive and its file system's size; false on
    // failure.
    virtual bool freeSpace(const std::u16string& rootPath, uint64_t& freeBytes,
                           uint64_t& totalBytes) = 0;
    // The drive's file system and label; on failure false and lastError() tells why.
    virtual bool volumeInfo(const std::u16string& rootPath, VolumeInfo& out) = 0;
    virtual bool setVolumeLabel(const std::u16string& rootPath, const std::u16string& label) = 0;
    // Whether setVolumeLabel on this root is this program's own label writer on the card (a
    // mapped card; every card on Linux), which reaches the card whether or not the system's
    // volume came back after a format; false where the system's volume writes it.
    virtual bool labelsCardItself(const std::u16string&) { return false; }
    // Opens an existing file (`path`, on the drive) for reading and closes it at once, which
    // makes the system look at the drive's medium again. Nothing is reported.
    virtual void wakeDrive(const std::u16string& path) = 0;
    // The Windows error code of the last failed call of this interface.
    virtual uint32_t lastError() = 0;

    // The folder the program's own driver libraries lie in (UTF-8, no trailing separator): on
    // Windows the program's folder, where the system finds them by name; elsewhere where
    // driverDirectory() finds them. Empty when it cannot be told. The flash erase loads its
    // private instance of the route-1 library from here: nothing installs one anywhere else.
    virtual std::string driverLibraryFolder() = 0;

    // Dynamic libraries: null on failure.
    virtual void* loadLibrary(const std::string& path) = 0;
    virtual void* libraryProc(void* library, const char* name) = 0;
    virtual void freeLibrary(void* library) = 0;

    // The user's language of the user interface (a LANGID), or the system's when
    // `systemDefault`; 0 when the system cannot tell.
    virtual uint16_t uiLanguage(bool systemDefault) = 0;
    // A millisecond clock for measuring durations; it wraps every 49.7 days, so only the
    // difference of two readings means anything.
    virtual uint32_t milliseconds() = 0;
    virtual LocalTime localTime() = 0;         // the local date and time
    virtual const CodePage& oemCodePage() = 0; // the system's OEM code page
    // The version resource of the running program; nullopt when it cannot be read.
    virtual std::optional<ProgramVersion> programVersion() = 0;
};

// The real services of the platform this program was built for.
std::unique_ptr<OsServices> makeSystemOsServices();

} // namespace brc
