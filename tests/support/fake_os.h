// A scripted OsServices for tests. A test sets the answers it needs in the public fields below,
// runs the code under test, then reads the call log and the handle counters. Every call is
// logged as one readable line ("openVolume E", "volumeRequest Lock", "closeVolume",
// "loadLibrary /x/quillhost.so"), so a test can check an exact sequence of calls and that every
// handle it handed out was closed exactly once.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "os/os_services.h"

namespace brc {

class FakeOs : public OsServices {
public:
    FakeOs();

    // ---- Script: system family; POSIX rights --------------------------------------------
    SystemFamily family = SystemFamily::Windows; // the Windows questions below answer as scripted
    bool superuser = false;
    bool mayOpenCardResult = true;

    // ---- Script: version, rights, volume service ----------------------------------------
    std::optional<OsVersion> version = OsVersion{2, 6, 1, 1};  // nullopt: systemVersion fails
    // The groups access checks count (deny-only ones left out); nullopt: token unreadable.
    std::optional<std::vector<std::string>> groups = std::vector<std::string>{};
    std::deque<uint32_t> startServiceErrors;  // one answer per call, front first
    uint32_t startServiceError = 0;           // once the queue is empty
    bool pipeOpensResult = true;

    // ---- Script: named mutex --------------------------------------------------------------
    bool mutexAlreadyExists = false;
    bool mutexCreateFails = false;
    bool mutexHeld = false;  // another process holds it

    // ---- Script: volumes ------------------------------------------------------------------
    std::map<char16_t, std::deque<bool>> openAnswers;  // per letter, one per openVolume call
    std::set<char16_t> unopenable;                     // letters that fail once their queue is empty
    uint32_t openVolumeError = 5;                      // lastError after a failed open
    std::map<VolumeRequest, std::deque<bool>> requestAnswers;  // per kind, one per request
    std::map<VolumeRequest, bool> requestDefault;              // once the queue is empty; true if unset

    // ---- Script: drives ---------------------------------------------------------------------
    std::map<char16_t, std::u16string> devicePaths;  // letter -> device; absent: the query fails
    std::vector<std::u16string> rootPaths;           // driveRoots: "E:\"
    std::map<std::u16string, uint32_t> driveTypes;   // absent: DriveNoRootDir
    std::map<std::u16string, ClusterSpace> clusterSpaces;  // absent: fails
    struct FreeBytes { uint64_t freeBytes = 0, totalBytes = 0; };
    std::map<std::u16string, FreeBytes> freeSpaces;        // absent: fails
    std::map<std::u16string, VolumeInfo> volumes;          // absent: fails
    std::map<std::u16string, uint32_t> volumeInfoErrors;   // per root, on failure
    uint32_t volumeInfoError = kErrorNotReady;             // otherwise
    bool setVolumeLabelResult = true;
    uint32_t setVolumeLabelError = 5;
    std::vector<std::pair<std::u16string, std::u16string>> labelsSet;  // (root, label), in order

    // ---- Script: libraries ------------------------------------------------------------
    std::string driverFolder = "C:\\Program Files\\Brindlecard"; // empty: cannot be told
    // path -> (operation name -> function); a path absent here fails to load.
    std::map<std::string, std::map<std::string, void*>> libraries;
    template <typename Fn>
    void addLibraryProc(const std::string& path, const std::string& name, Fn fn) {
        libraries[path][name] = reinterpret_cast<void*>(fn);
    }
    void addLibrary(const std::string& path) { libraries[path]; }

    // ---- Script: clock, language, code page -----------------------------------------------
    uint16_t uiLanguageValue = 0x0409;        // the user's UI language
    uint16_t systemUiLanguageValue = 0x0409;  // the system's
    std::optional<ProgramVersion> programVersionValue;  // nullopt: the resource cannot be read
    uint32_t tick = 1000;     // next milliseconds() answer
    uint32_t tickStep = 0;    // added after each milliseconds() call
    LocalTime time{2024, 5, 17, 10, 30, 15, 0};
    const CodePage* codePage;  // cp437() unless a test sets another

    // ---- Log and counters -----------------------------------------------------------------
    std::vector<std::string> calls;
    // Lets a test put its own lines (a fake driver's operations) into the same sequence.
    void note(const std::string& line) { calls.push_back(line); }
    // The logged calls that start with any of the given prefixes, in order.
    std::vector<std::string> callsStartingWith(const std::vector<std::string>& prefixes) const;
    size_t count(const std::string& call) const;  // calls equal to `call`

    uint32_t versionQueries = 0;
    uint32_t volumesOpened = 0, volumesClosed = 0;
    uint32_t librariesLoaded = 0, librariesFreed = 0;
    uint32_t mutexesCreated = 0, mutexesReleased = 0;
    // Misuse: closing, freeing or using a handle that is not open (or null).
    uint32_t badHandleUses = 0;
    size_t openVolumeCount() const { return openVolumes_.size(); }
    size_t loadedLibraryCount() const { return openLibraries_.size(); }
    // Nothing left open and no handle misused.
    bool allReleased() const {
        return openVolumes_.empty() && openLibraries_.empty() && openMutexes_.empty() &&
               badHandleUses == 0;
    }

    // ---- OsServices -----------------------------------------------------------------------
    SystemFamily systemFamily() override;
    bool isSuperuser() override;
    bool mayOpenCard() override;
    bool systemVersion(OsVersion& out) override;
    bool isInGroup(const std::string& sid, bool& member) override;
    uint32_t startService(const std::u16string& name) override;
    bool pipeOpens(const std::u16string& pipeName) override;
    void* createNamedMutex(const std::u16string& name, bool& alreadyExisted) override;
    bool namedMutexHeld(const std::u16string& name) override;
    void releaseNamedMutex(void* mutex) override;
    void* openVolume(char16_t driveLetter) override;
    bool volumeRequest(void* volume, VolumeRequest request) override;
    void closeVolume(void* volume) override;
    std::optional<std::u16string> driveDevicePath(char16_t driveLetter) override;
    std::vector<std::u16string> driveRoots() override;
    uint32_t driveType(const std::u16string& rootPath) override;
    bool clusterSpace(const std::u16string& rootPath, ClusterSpace& out) override;
    bool freeSpace(const std::u16string& rootPath, uint64_t& freeBytes,
                         uint64_t& totalBytes) override;
    bool volumeInfo(const std::u16string& rootPath, VolumeInfo& out) override;
    bool setVolumeLabel(const std::u16string& rootPath, const std::u16string& label) override;
    void wakeDrive(const std::u16string& path) override;
    uint32_t lastError() override;
    std::string driverLibraryFolder() override;
    void* loadLibrary(const std::string& path) override;
    void* libraryProc(void* library, const char* name) override;
    void freeLibrary(void* library) override;
    uint16_t uiLanguage(bool systemDefault) override;
    uint32_t milliseconds() override;
    LocalTime localTime() override;
    const CodePage& oemCodePage() override;
    std::optional<ProgramVersion> programVersion() override;

private:
    void* newToken();
    void fail(uint32_t error) { lastError_ = error; }

    uintptr_t nextToken_ = 0x1000;
    uint32_t lastError_ = 0;
    std::set<void*> openVolumes_;
    std::map<void*, std::string> openLibraries_;  // token -> path
    std::set<void*> openMutexes_;
};

} // namespace brc
