#include "base/environment.h"

#include <cstdlib>
#include <map>

#include "base/native_text.h"

namespace brc {

#if defined(_WIN32)

namespace {

void putWide(const char* name, const std::wstring& value) {
    // The entries stay alive in case the runtime keeps the caller's string rather than a copy.
    // _wputenv_s is newer than Windows XP's runtime.
    static std::map<std::string, std::wstring> entries;
    std::wstring& entry = entries[name];
    entry = wideFromUtf8(name) + L"=" + value;
    _wputenv(entry.c_str());
}

} // namespace

std::optional<std::string> environmentVariable(const char* name) {
    const wchar_t* value = _wgetenv(wideFromUtf8(name).c_str());
    if (value == nullptr) return std::nullopt;
    return utf8FromWide(value);
}

void setEnvironmentVariable(const char* name, const std::string& value) {
    putWide(name, wideFromUtf8(value));
}

void unsetEnvironmentVariable(const char* name) { putWide(name, L""); }

#else

std::optional<std::string> environmentVariable(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string(value);
}

void setEnvironmentVariable(const char* name, const std::string& value) {
    setenv(name, value.c_str(), 1);
}

void unsetEnvironmentVariable(const char* name) { unsetenv(name); }

#endif

} // namespace brc
