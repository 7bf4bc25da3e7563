#include "device/driver_binding.h"

#include <cstdio>
#include <filesystem>

#include "base/native_text.h"
#include "os/os_services.h"

namespace brc {
namespace {

template <typename Fn>
bool lookUp(OsServices& os, void* lib, const std::string& name, Fn& out) {
    out = reinterpret_cast<Fn>(os.libraryProc(lib, name.c_str()));
    return out != nullptr;
}

// Looks up every operation; false when a required one is missing.
bool lookUpAll(OsServices& os, void* lib, uint32_t route, DriverApi& api) {
    const std::string p = route == 2 ? "SD_W2k_" : "";
    bool ok = lookUp(os, lib, p + "DDSysInit", api.DDSysInit);
    ok = lookUp(os, lib, p + "DDSysFini", api.DDSysFini) && ok;
    ok = lookUp(os, lib, p + "DDInit", api.DDInit) && ok;
    ok = lookUp(os, lib, p + "DDFini", api.DDFini) && ok;
    ok = lookUp(os, lib, p + "DDIdentify", api.DDIdentify) && ok;
    ok = lookUp(os, lib, p + "DDSecureIdentify", api.DDSecureIdentify) && ok;
    ok = lookUp(os, lib, p + "DDReadPT", api.DDReadPT) && ok;
    ok = lookUp(os, lib, p + "DDWritePT", api.DDWritePT) && ok;
    ok = lookUp(os, lib, p + "DDChkSDCard", api.DDChkSDCard) && ok;
    lookUp(os, lib, "DDErase", api.DDErase); // optional, and plain on both routes
    if (route == 1) {
        ok = lookUp(os, lib, "DDGetMID", api.DDGetMID) && ok;
    } else {
        ok = lookUp(os, lib, "SD_W2k_DrvLock", api.DrvLock) && ok;
        ok = lookUp(os, lib, "SD_W2k_DrvLock2", api.DrvLock2) && ok;
        ok = lookUp(os, lib, "SD_W2k_DrvUnlock", api.DrvUnlock) && ok;
    }
    return ok;
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

uint32_t bindDriverFile(DriverBinding& binding, uint32_t route, const std::string& path) {
    unbindDriver(binding);
    if (!binding.os) {
        binding.lastError = "no system services to load the driver library " + path + " with";
        return 1;
    }
    OsServices& os = *binding.os;
    void* lib = os.loadLibrary(path);
    if (!lib) {
        binding.lastError = "cannot load the driver library " + path;
        return 1;
    }
    DriverApi api;
    if (!lookUpAll(os, lib, route, api)) {
        if (route == 2) std::fputs(" GetProcAddress Error \n", stdout);
        os.freeLibrary(lib);
        binding.lastError = "the driver library " + path + " lacks a required operation";
        return 1;
    }
    if (api.DDSysInit() != 0) {
        os.freeLibrary(lib);
        binding.lastError = "the driver library " + path + " failed to start";
        return 2;
    }
    binding.api = api;
    binding.library = lib;
    binding.driverRoute = route;
    binding.lastError.clear();
    return 0;
}

uint32_t bindDriver(DriverBinding& binding, uint32_t route) {
    const std::string name = driverFileName(route, route == 2 && binding.retryMode != 0);
    // A bare name: the system's search order, which looks beside the program first.
    const std::string& dir = binding.directory;
    const char separator = dir.find('\\') != std::string::npos ? '\\' : '/';
    std::error_code ec;
    if (!dir.empty() && std::filesystem::exists(pathFromUtf8(dir + separator + name), ec))
        return bindDriverFile(binding, route, dir + separator + name);
    return bindDriverFile(binding, route, name);
}

void installDriverTable(DriverBinding& binding, uint32_t route, const DriverApi& api) {
    unbindDriver(binding);
    binding.api = api;
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
    if (bindDriver(binding, next) != 0) {
        binding.driverRoute = 0;
        return 0;
    }
    return binding.driverRoute;
}

uint32_t openCard(DriverBinding& binding, uint32_t driveNumber, bool probe) {
    uint32_t drive = driveNumber;
    if (probe)
        drive |= SDHOST_INIT_PROBE;
    else if (binding.driverRoute == 2)
        drive |= SDHOST_INIT_ROUTE2;
    uint32_t handle = 0;
    uint32_t r = binding.driverRoute ? binding.api.DDInit(&handle, drive) : SDHOST_ERR_NOT_READY;
    if (r != 0) {
        if (switchDriverRoute(binding) == 0) return r;
        r = binding.api.DDInit(&handle, driveNumber);
        if (r != 0) return r;
    }
    binding.driverHandle = handle;
    return 0;
}

} // namespace brc
