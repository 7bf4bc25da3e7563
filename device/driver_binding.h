// Run-time binding of the SD host driver library and the switching between its two routes.
// The engine reaches the card only through a DriverBinding, so a test can install a table of
// its own functions instead of a loaded library.
#pragma once

#include <cstdint>
#include <string>

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
    DDGetMID_t DDGetMID = nullptr;     // route 1 only
    DDChkSDCard_t DDChkSDCard = nullptr;
    DDErase_t DDErase = nullptr;       // optional; plain name on both routes
    DrvLock_t DrvLock = nullptr;       // route 2 only: required to bind, never called
    DrvLock_t DrvLock2 = nullptr;
    DrvLock_t DrvUnlock = nullptr;
};

// The process's bound library: `driverRoute` 0 none, 1 route 1, 2 route 2; `driverHandle` the
// card opened by the last successful DDInit.
class OsServices;

struct DriverBinding {
    uint32_t driverRoute = 0;
    uint32_t driverHandle = 0;
    uint32_t retryMode = 0;      // route 2 binds the retry library when set
    DriverApi api;
    OsServices* os = nullptr;    // loads the libraries; without it only installed tables bind
    void* library = nullptr;     // the loaded library; null for an installed table
    std::string directory;       // where the libraries are looked up first; empty: beside the executable
    std::string lastError;       // why the last bind failed, for the user

    DriverBinding() = default;
    explicit DriverBinding(OsServices& services) : os(&services) {}
    DriverBinding(const DriverBinding&) = delete;
    DriverBinding& operator=(const DriverBinding&) = delete;
    ~DriverBinding();
};

// File names of the libraries for a route (platform-specific suffixes).
std::string driverFileName(uint32_t route, bool retry);

// Loads the route's library, looks up its operations and calls DDSysInit.
// Returns 0 (bound), 1 (library missing or an operation missing) or 2 (DDSysInit failed).
uint32_t bindDriver(DriverBinding& binding, uint32_t route);

// Loads a library from an explicit path as the given route (tests, private instances).
uint32_t bindDriverFile(DriverBinding& binding, uint32_t route, const std::string& path);

// Installs a table of functions as the bound route (tests). No library is loaded.
void installDriverTable(DriverBinding& binding, uint32_t route, const DriverApi& api);

// DDSysFini on route 1, unload, driverRoute 0.
void unbindDriver(DriverBinding& binding);

// 0 binds route 2; 1 unbinds and binds 2; 2 unbinds and binds 1. Non-zero when a library is bound
// afterwards, else 0 with driverRoute 0.
uint32_t switchDriverRoute(DriverBinding& binding);

// Opens the card in `driveNumber` (1 = A:): DDInit with 0x1000 on route 2 (0x8000 for a probe),
// on failure switch routes and retry with the plain number. Sets driverHandle on success and
// returns the last DDInit result.
uint32_t openCard(DriverBinding& binding, uint32_t driveNumber, bool probe = false);

} // namespace brc
