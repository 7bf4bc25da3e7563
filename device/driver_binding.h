// Run-time binding of the SD host driver library and the switching between its two routes.
// The engine reaches the card only through a DriverBinding, so a test can install a table of
// its own functions instead of a loaded library.
#pragma once

#include <cstdint>
#include <string>

#include "device/driver_context.h"
#include "device/sdhost_abi.h"

namespace brc {

struct DriverApi {
    DDSysInit_t DDSysInit = nullptr;
    DDSysFini_t DDSysFini = nullptr;
    DDInit_t DDInit = nullptr;
    DDFini_t DDFini = nullptr;
    DDIdentify_t DDIdentify = nullptr;
    DDSecureIdentify_t DDSecureIdentify = nullptr;
    DDReadPT_t DDReadPT = nullptr;
    DDWritePT_t DDWritePT = nullptr;
    DDGetMID_t DDGetMID = nullptr; // route 1 only
    DDChkSDCard_t DDChkSDCard = nullptr;
    DDErase_t DDErase = nullptr; // optional; plain name on both routes
    DrvLock_t DrvLock = nullptr; // route 2 only: required to bind, never called
    DrvLock_t DrvLock2 = nullptr;
    DrvLock_t DrvUnlock = nullptr;
    BrcDriverContext_t handContext = nullptr; // our libraries' private export; optional
    DDHoldVolumes_t holdVolumes = nullptr;    // ours only; optional
};

// The process's bound library: `driverRoute` 0 none, 1 route 1, 2 route 2; `driverHandle` the
// card opened by the last successful DDInit.
class OsServices;

class WrittenSectors;

struct DriverBinding {
    uint32_t driverRoute = 0;
    uint32_t driverHandle = 0;
    uint32_t retryMode = 0; // route 2 binds the retry library when set
    DriverApi api;
    OsServices* os = nullptr; // loads the libraries; without it only installed tables bind
    void* library = nullptr;  // the loaded library; null for an installed table
    std::string directory;    // where the libraries are looked up first; empty: the system's
                              // own place (driverDirectory on Linux)
    std::string lastError;    // why the last bind failed, for the user
    WrittenSectors* written = nullptr; // where writeSectors notes what a run wrote, while a
                                       // run asks for it to be read back
    // A counterfeit card's part that keeps what is written: the libraries bound from now on
    // identify the card as no larger (0: as the card announces itself). One binding per process.
    uint32_t usableSectors = 0;

    DriverBinding() = default;
    explicit DriverBinding(OsServices& services) : os(&services) {}
    DriverBinding(const DriverBinding&) = delete;
    DriverBinding& operator=(const DriverBinding&) = delete;
    ~DriverBinding();
};

// File names of the libraries for a route (platform-specific suffixes).
std::string driverFileName(uint32_t route, bool retry);

// The route's library in `folder`, joined with the separator the folder is written with.
std::string driverPathIn(const std::string& folder, uint32_t route, bool retry);

// The installed libraries' folder under the prefix, the parent of the program's folder:
// PREFIX/bin/brindlecard loads PREFIX/lib/brindlecard/quillhost.so.
constexpr char kInstalledDriverFolder[] = "lib/brindlecard";

// Where the driver libraries of a program in `programDirectory` (UTF-8, the real path of its
// folder) lie: beside it when one of them is there (a build tree), else in
// kInstalledDriverFolder when one is there, else beside it still, so that a missing library is
// looked for, and reported, where it always was.
std::string driverDirectory(const std::string& programDirectory);

// How binding a library ended.
enum class BindResult {
    Bound,
    Missing,     // the library or a required operation is missing
    StartFailed, // DDSysInit failed
};

// Loads the route's library, looks up its operations and calls DDSysInit.
BindResult bindDriver(DriverBinding& binding, uint32_t route);

// Loads a library from an explicit path as the given route (tests).
BindResult bindDriverFile(DriverBinding& binding, uint32_t route, const std::string& path);

// Installs a table of functions as the bound route (tests). No library is loaded.
void installDriverTable(DriverBinding& binding, uint32_t route, const DriverApi& api);

// DDSysFini on route 1, unload, driverRoute 0.
void unbindDriver(DriverBinding& binding);

// 0 binds route 2; 1 unbinds and binds 2; 2 unbinds and binds 1. Non-zero when a library is bound
// afterwards, else 0 with driverRoute 0.
uint32_t switchDriverRoute(DriverBinding& binding);

// A library loaded through the system: unloaded when the object goes, unless kept.
class LoadedLibrary {
public:
    LoadedLibrary(OsServices& os, const std::string& path);
    ~LoadedLibrary() { unload(); }
    LoadedLibrary(const LoadedLibrary&) = delete;
    LoadedLibrary& operator=(const LoadedLibrary&) = delete;

    explicit operator bool() const { return library_ != nullptr; }
    // Looks up an operation; false (and `out` null) when the library lacks it.
    template <typename Fn>
    bool lookUp(const std::string& name, Fn& out) {
        out = reinterpret_cast<Fn>(operation(name));
        return out != nullptr;
    }
    // Hands the library over to the caller, who unloads it.
    void* keep();
    void unload();

private:
    void* operation(const std::string& name);

    OsServices& os_;
    void* library_ = nullptr;
};

// A second instance of the route-1 library beside the bound one, holding one card of its own
// (the flash erase's instance, the volume-lock probe's). Closing shuts down in reverse order
// what was opened: DDFini, DDSysFini, unload; the object closes when it goes.
class PrivateDriver {
public:
    // Loads `path` and looks up DDInit, DDFini, DDSysInit, DDSysFini and, when asked, DDErase,
    // in that order, stopping at the first one missing.
    PrivateDriver(OsServices& os, const std::string& path, bool withErase);
    ~PrivateDriver() { close(); }
    PrivateDriver(const PrivateDriver&) = delete;
    PrivateDriver& operator=(const PrivateDriver&) = delete;

    // Loaded, with every operation asked for.
    bool ready() const { return ready_; }
    // DDSysInit, then DDInit on the plain drive number; 0 or the failing answer. After a failed
    // DDSysInit the library is shut down with DDSysFini only when `finiAfterFailedStart`: the
    // erase does so, the lock probe only unloads.
    uint32_t open(uint32_t driveNumber, bool finiAfterFailedStart);
    uint32_t handle() const { return handle_; }
    DDErase_t erase() const { return api_.DDErase; }
    void close();

private:
    LoadedLibrary library_;
    DriverApi api_;
    bool ready_ = false;
    bool started_ = false;
    bool cardOpen_ = false;
    uint32_t handle_ = 0;
};

// Opens the card in `driveNumber` (1 = A:): DDInit with 0x1000 on route 2 (0x8000 for a probe),
// on failure switch routes and retry with the plain number. Sets driverHandle on success and
// returns the last DDInit result (the first when it refused the user the rights).
uint32_t openCard(DriverBinding& binding, uint32_t driveNumber, bool probe = false);

} // namespace brc
