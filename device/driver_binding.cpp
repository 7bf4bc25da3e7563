#include "device/driver_binding.h"

#include <cstdio>
#include <filesystem>

#include "base/native_text.h"
#include "device/driver_settings.h"
#include "os/os_services.h"

namespace brc {
namespace {

// Looks up every operation; false when a required one is missing.
bool lookUpAll(LoadedLibrary& lib, uint32_t route, DriverApi& api) {
    const std::string p = route == 2 ? "SD_W2k_" : "";
    bool ok = lib.lookUp(p + "DDSysInit", api.DDSysInit);
    ok = lib.lookUp(p + "DDSysFini", api.DDSysFini) && ok;
    ok = lib.lookUp(p + "DDInit", api.DDInit) && ok;
    ok = lib.lookUp(p + "DDFini", api.DDFini) && ok;
    ok = lib.lookUp(p + "DDIdentify", api.DDIdentify) && ok;
    ok = lib.lookUp(p + "DDSecureIdentify", api.DDSecureIdentify) && ok;
    ok = lib.lookUp(p + "DDReadPT", api.DDReadPT) && ok;
    ok = lib.lookUp(p + "DDWritePT", api.DDWritePT) && ok;
    ok = lib.lookUp(p + "DDChkSDCard", api.DDChkSDCard) && ok;
    lib.lookUp("DDErase", api.DDErase);                      // optional, and plain on both routes
    lib.lookUp(BRC_DRIVER_CONTEXT_EXPORT, api.handContext);  // ours only
    lib.lookUp(SDHOST_HOLD_VOLUMES_EXPORT, api.holdVolumes); // ours only
    if (route == 1) {
        ok = lib.lookUp("DDGetMID", api.DDGetMID) && ok;
    } else {
        ok = lib.lookUp("SD_W2k_DrvLock", api.DrvLock) && ok;
        ok = lib.lookUp("SD_W2k_DrvLock2", api.DrvLock2) && ok;
        ok = lib.lookUp("SD_W2k_DrvUnlock", api.DrvUnlock) && ok;
    }
    return ok;
}

// A card identified as no larger than its usable part: the library's own DDIdentify, and the cap.
DDIdentify_t announcedIdentify = nullptr;
uint32_t identifyCap = 0;

uint32_t SDHOST_CALL cappedIdentify(uint32_t* user, uint32_t* cylinders, uint32_t* total,
                                    uint32_t* heads, uint16_t* bytesPerSector, uint32_t* spt,
                                    uint8_t* cardType, uint32_t* prot, uint8_t* busWidth,
                                    uint32_t* eraseBlock, uint32_t* reserved, uint32_t handle) {
    const uint32_t rc = announcedIdentify(user, cylinders, total, heads, bytesPerSector, spt,
                                          cardType, prot, busWidth, eraseBlock, reserved, handle);
    if (rc == 0 && user && *user > identifyCap) {
        if (total) *total -= *user - identifyCap;
        *user = identifyCap;
    }
    return rc;
}

void capIdentify(DriverBinding& binding) {
    if (binding.usableSectors == 0 || !binding.api.DDIdentify) return;
    announcedIdentify = binding.api.DDIdentify;
    identifyCap = binding.usableSectors;
    binding.api.DDIdentify = cappedIdentify;
}

} // namespace

DriverBinding::~DriverBinding() { unbindDriver(*this); }

std::string driverFileName(uint32_t route, bool retry) {
#if defined(_WIN32)
    if (route == 1) return "quillhost.dll";
    return retry ? "QHOST32RETRY.DLL" : "QHOST32.DLL";
#else
    if (route == 1) return "quillhost.so";
    return retry ? "qhost32retry.so" : "qhost32.so";
#endif
}

std::string driverPathIn(const std::string& folder, uint32_t route, bool retry) {
    const char separator = folder.find('\\') != std::string::npos ? '\\' : '/';
    return folder + separator + driverFileName(route, retry);
}

std::string driverDirectory(const std::string& programDirectory) {
    if (programDirectory.empty()) return programDirectory;
    const auto holdsALibrary = [](const std::filesystem::path& folder) {
        std::error_code ec;
        for (const auto& [route, retry] : {std::pair{1u, false}, {2u, false}, {2u, true}})
            if (std::filesystem::is_regular_file(folder / driverFileName(route, retry), ec))
                return true;
        return false;
    };
    std::filesystem::path beside = pathFromUtf8(programDirectory);
    if (holdsALibrary(beside)) return programDirectory;
    if (!beside.has_filename()) beside = beside.parent_path(); // "PREFIX/bin/"
    // The folder is a real path, so its parent is the prefix: no link to resolve first.
    const std::filesystem::path installed =
        (beside.parent_path() / kInstalledDriverFolder).make_preferred();
    if (holdsALibrary(installed)) return utf8FromPath(installed);
    return programDirectory;
}

LoadedLibrary::LoadedLibrary(OsServices& os, const std::string& path)
    : os_(os), library_(os.loadLibrary(path)) {}

void* LoadedLibrary::operation(const std::string& name) {
    return os_.libraryProc(library_, name.c_str());
}

void* LoadedLibrary::keep() {
    void* library = library_;
    library_ = nullptr;
    return library;
}

void LoadedLibrary::unload() {
    if (library_) os_.freeLibrary(keep());
}

PrivateDriver::PrivateDriver(OsServices& os, const std::string& path, bool withErase)
    : library_(os, path) {
    ready_ = library_ && library_.lookUp("DDInit", api_.DDInit) &&
             library_.lookUp("DDFini", api_.DDFini) &&
             library_.lookUp("DDSysInit", api_.DDSysInit) &&
             library_.lookUp("DDSysFini", api_.DDSysFini) &&
             (!withErase || library_.lookUp("DDErase", api_.DDErase));
    if (!ready_) library_.unload();
    // Another module than the bound library's (on route 2) learns the run's settings too.
    else if (library_.lookUp(BRC_DRIVER_CONTEXT_EXPORT, api_.handContext))
        api_.handContext(&frontEndContext());
}

uint32_t PrivateDriver::open(uint32_t driveNumber, bool finiAfterFailedStart) {
    const uint32_t started = api_.DDSysInit();
    started_ = started == 0 || finiAfterFailedStart;
    if (started != 0) return started;
    const uint32_t opened = api_.DDInit(&handle_, driveNumber);
    cardOpen_ = opened == 0;
    return opened;
}

void PrivateDriver::close() {
    if (cardOpen_) api_.DDFini(handle_);
    if (started_) api_.DDSysFini();
    cardOpen_ = started_ = false;
    library_.unload();
}

BindResult bindDriverFile(DriverBinding& binding, uint32_t route, const std::string& path) {
    unbindDriver(binding);
    if (!binding.os) {
        binding.lastError = "no system services to load the driver library " + path + " with";
        return BindResult::Missing;
    }
    LoadedLibrary lib(*binding.os, path);
    if (!lib) {
        binding.lastError = "cannot load the driver library " + path;
        return BindResult::Missing;
    }
    DriverApi api;
    if (!lookUpAll(lib, route, api)) {
        if (route == 2) std::fputs(" GetProcAddress Error \n", stdout);
        binding.lastError = "the driver library " + path + " lacks a required operation";
        return BindResult::Missing;
    }
    if (api.DDSysInit() != 0) {
        binding.lastError = "the driver library " + path + " failed to start";
        return BindResult::StartFailed;
    }
    binding.api = api;
    capIdentify(binding);
    binding.library = lib.keep();
    binding.driverRoute = route;
    binding.lastError.clear();
    if (api.handContext) api.handContext(&frontEndContext());
    return BindResult::Bound;
}

BindResult bindDriver(DriverBinding& binding, uint32_t route) {
    const bool retry = route == 2 && binding.retryMode != 0;
    // A bare name: the system's search order, which looks beside the program first.
    const std::string& dir = binding.directory;
    const std::string path = dir.empty() ? std::string() : driverPathIn(dir, route, retry);
    std::error_code ec;
    if (!path.empty() && std::filesystem::exists(pathFromUtf8(path), ec))
        return bindDriverFile(binding, route, path);
    return bindDriverFile(binding, route, driverFileName(route, retry));
}

void installDriverTable(DriverBinding& binding, uint32_t route, const DriverApi& api) {
    unbindDriver(binding);
    binding.api = api;
    capIdentify(binding);
    binding.driverRoute = route;
}

void unbindDriver(DriverBinding& binding) {
    if (binding.driverRoute == 1 && binding.api.DDSysFini) binding.api.DDSysFini();
    if (binding.library && binding.os) binding.os->freeLibrary(binding.library);
    binding.library = nullptr;
    binding.api = DriverApi{};
    binding.driverRoute = 0;
}

uint32_t switchDriverRoute(DriverBinding& binding) {
    uint32_t next = binding.driverRoute == 2 ? 1 : 2;
    unbindDriver(binding);
    if (bindDriver(binding, next) != BindResult::Bound) {
        binding.driverRoute = 0;
        return 0;
    }
    return binding.driverRoute;
}

uint32_t openCard(DriverBinding& binding, uint32_t driveNumber, bool probe) {
    uint32_t drive = driveNumber;
    if (probe) drive |= SDHOST_INIT_PROBE;
    else if (binding.driverRoute == 2) drive |= SDHOST_INIT_ROUTE2;
    uint32_t handle = 0;
    uint32_t r = binding.driverRoute ? binding.api.DDInit(&handle, drive) : SDHOST_ERR_NOT_READY;
    if (r != 0) {
        if (switchDriverRoute(binding) == 0) return r;
        const uint32_t retried = binding.api.DDInit(&handle, driveNumber);
        // The other library cannot help a user the system refused: that is what to tell.
        if (retried != 0) return r == SDHOST_ERR_ACCESS ? r : retried;
    }
    binding.driverHandle = handle;
    return 0;
}

} // namespace brc
