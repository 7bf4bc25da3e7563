#include "device/driver_binding.h"

#include <cstdio>
#include <filesystem>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>
#endif

namespace brc {
namespace {

#if defined(_WIN32)
std::wstring widen(const std::string& s) {
    if (s.empty()) return {};
    int n = MultiByteToWideChar(CP_UTF8, 0, s.c_str(), -1, nullptr, 0);
    std::wstring w(static_cast<size_t>(n > 0 ? n : 1), L'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, s.c_str(), -1, &w[0], n);
    w.resize(w.size() - 1);
    return w;
}
void* openLibrary(const std::string& path) { return LoadLibraryW(widen(path).c_str()); }
void* symbol(void* lib, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(lib), name));
}
void closeLibrary(void* lib) { FreeLibrary(static_cast<HMODULE>(lib)); }
std::string executableDirectory() {
    wchar_t buf[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, buf, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return {};
    std::wstring w(buf, n);
    size_t cut = w.find_last_of(L"\\/");
    if (cut == std::wstring::npos) return {};
    w.resize(cut);
    int len = WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<size_t>(len > 0 ? len : 1), '\0');
    if (len > 0) WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, &s[0], len, nullptr, nullptr);
    s.resize(s.size() - 1);
    return s;
}
const char kSeparator = '\\';
#else
void* openLibrary(const std::string& path) { return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL); }
void* symbol(void* lib, const char* name) { return dlsym(lib, name); }
void closeLibrary(void* lib) { dlclose(lib); }
std::string executableDirectory() {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return {};
    std::string s(buf, static_cast<size_t>(n));
    size_t cut = s.find_last_of('/');
    return cut == std::string::npos ? std::string() : s.substr(0, cut);
}
const char kSeparator = '/';
#endif

template <typename Fn>
bool lookUp(void* lib, const std::string& name, Fn& out) {
    out = reinterpret_cast<Fn>(symbol(lib, name.c_str()));
    return out != nullptr;
}

// Looks up every operation; false when a required one is missing.
bool lookUpAll(void* lib, uint32_t route, DriverApi& api) {
    const std::string p = route == 2 ? "SD_W2k_" : "";
    bool ok = lookUp(lib, p + "DDSysInit", api.DDSysInit);
    ok = lookUp(lib, p + "DDSysFini", api.DDSysFini) && ok;
    ok = lookUp(lib, p + "DDInit", api.DDInit) && ok;
    ok = lookUp(lib, p + "DDFini", api.DDFini) && ok;
    ok = lookUp(lib, p + "DDIdentify", api.DDIdentify) && ok;
    ok = lookUp(lib, p + "DDSecureIdentify", api.DDSecureIdentify) && ok;
    ok = lookUp(lib, p + "DDReadPT", api.DDReadPT) && ok;
    ok = lookUp(lib, p + "DDWritePT", api.DDWritePT) && ok;
    ok = lookUp(lib, p + "DDChkSDCard", api.DDChkSDCard) && ok;
    lookUp(lib, "DDErase", api.DDErase); // optional, and plain on both routes
    if (route == 1) {
        ok = lookUp(lib, "DDGetMID", api.DDGetMID) && ok;
    } else {
        ok = lookUp(lib, "SD_W2k_DrvLock", api.DrvLock) && ok;
        ok = lookUp(lib, "SD_W2k_DrvLock2", api.DrvLock2) && ok;
        ok = lookUp(lib, "SD_W2k_DrvUnlock", api.DrvUnlock) && ok;
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
    void* lib = openLibrary(path);
    if (!lib) {
        binding.lastError = "cannot load the driver library " + path;
        return 1;
    }
    DriverApi api;
    if (!lookUpAll(lib, route, api)) {
        if (route == 2) std::fputs(" GetProcAddress Error \n", stdout);
        closeLibrary(lib);
        binding.lastError = "the driver library " + path + " lacks a required operation";
        return 1;
    }
    if (api.DDSysInit() != 0) {
        closeLibrary(lib);
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
    const std::string dir = binding.directory.empty() ? executableDirectory() : binding.directory;
    // The copy beside the program comes first; otherwise the system's search order.
    std::error_code ec;
    if (!dir.empty() && std::filesystem::exists(dir + kSeparator + name, ec))
        return bindDriverFile(binding, route, dir + kSeparator + name);
    return bindDriverFile(binding, route, name);
}

void installDriverTable(DriverBinding& binding, uint32_t route, const DriverApi& api) {
    unbindDriver(binding);
    binding.api = api;
    binding.driverRoute = route;
}

void unbindDriver(DriverBinding& binding) {
    if (binding.driverRoute == 1 && binding.api.DDSysFini) binding.api.DDSysFini();
    if (binding.library) closeLibrary(binding.library);
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
