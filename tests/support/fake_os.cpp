#include "tests/support/fake_os.h"

#include <algorithm>

namespace brc {
namespace {

std::string text(const std::u16string& s) { return utf16ToUtf8(s); }
std::string letter(char16_t c) { return utf16ToUtf8(std::u16string(1, c)); }

const char* requestName(VolumeRequest r) {
    switch (r) {
    case VolumeRequest::Lock: return "Lock";
    case VolumeRequest::Unlock: return "Unlock";
    case VolumeRequest::Dismount: return "Dismount";
    }
    return "?";
}

// Pops the next scripted answer, or gives the fallback once the queue is empty.
template <typename T>
T next(std::deque<T>& queue, T fallback) {
    if (queue.empty()) return fallback;
    T v = queue.front();
    queue.pop_front();
    return v;
}

} // namespace

FakeOs::FakeOs() : codePage(&cp437()) {}

std::vector<std::string> FakeOs::callsStartingWith(const std::vector<std::string>& prefixes) const {
    std::vector<std::string> out;
    for (const auto& c : calls)
        for (const auto& p : prefixes)
            if (c.compare(0, p.size(), p) == 0) {
                out.push_back(c);
                break;
            }
    return out;
}

size_t FakeOs::count(const std::string& call) const {
    size_t n = 0;
    for (const auto& c : calls) n += c == call ? 1 : 0;
    return n;
}

void* FakeOs::newToken() {
    // Never dereferenced: a distinct non-null value per handle.
    void* t = reinterpret_cast<void*>(nextToken_);
    nextToken_ += 0x10;
    return t;
}

// A property of the system rather than a call to it: not logged, so that the Windows call
// sequences stay what Windows sees.
SystemFamily FakeOs::systemFamily() { return family; }

bool FakeOs::isSuperuser() {
    calls.push_back("isSuperuser");
    return superuser;
}

bool FakeOs::mayOpenCard() {
    calls.push_back("mayOpenCard");
    return mayOpenCardResult;
}

bool FakeOs::systemVersion(OsVersion& out) {
    calls.push_back("systemVersion");
    ++versionQueries;
    if (!version) {
        fail(87);
        return false;
    }
    out = *version;
    return true;
}

bool FakeOs::isInGroup(const std::string& sid, bool& member) {
    calls.push_back("isInGroup");
    if (!groups) {
        fail(5);
        return false;
    }
    member = std::find(groups->begin(), groups->end(), sid) != groups->end();
    return true;
}

uint32_t FakeOs::startService(const std::u16string& name) {
    calls.push_back("startService " + text(name));
    uint32_t e = next(startServiceErrors, startServiceError);
    if (e != 0) fail(e);
    return e;
}

bool FakeOs::pipeOpens(const std::u16string& pipeName) {
    calls.push_back("pipeOpens " + text(pipeName));
    if (!pipeOpensResult) fail(2);
    return pipeOpensResult;
}

void* FakeOs::createNamedMutex(const std::u16string& name, bool& alreadyExisted) {
    calls.push_back("createNamedMutex " + text(name));
    alreadyExisted = false;
    if (mutexCreateFails) {
        fail(5);
        return nullptr;
    }
    alreadyExisted = mutexAlreadyExists;
    if (alreadyExisted) fail(183);  // ERROR_ALREADY_EXISTS
    void* m = newToken();
    openMutexes_.insert(m);
    ++mutexesCreated;
    return m;
}

void FakeOs::releaseNamedMutex(void* mutex) {
    calls.push_back("releaseNamedMutex");
    if (openMutexes_.erase(mutex) == 0) {
        ++badHandleUses;
        return;
    }
    ++mutexesReleased;
}

void* FakeOs::openVolume(char16_t driveLetter) {
    calls.push_back("openVolume " + letter(driveLetter));
    bool ok = next(openAnswers[driveLetter], unopenable.count(driveLetter) == 0);
    if (!ok) {
        fail(openVolumeError);
        return nullptr;
    }
    void* v = newToken();
    openVolumes_.insert(v);
    ++volumesOpened;
    return v;
}

bool FakeOs::volumeRequest(void* volume, VolumeRequest request) {
    calls.push_back(std::string("volumeRequest ") + requestName(request));
    if (openVolumes_.count(volume) == 0) {
        ++badHandleUses;
        fail(6);  // ERROR_INVALID_HANDLE
        return false;
    }
    auto d = requestDefault.find(request);
    bool ok = next(requestAnswers[request], d == requestDefault.end() ? true : d->second);
    if (!ok) fail(5);
    return ok;
}

void FakeOs::closeVolume(void* volume) {
    calls.push_back("closeVolume");
    if (openVolumes_.erase(volume) == 0) {
        ++badHandleUses;
        return;
    }
    ++volumesClosed;
}

std::optional<std::u16string> FakeOs::driveDevicePath(char16_t driveLetter) {
    calls.push_back("driveDevicePath " + letter(driveLetter));
    auto it = devicePaths.find(driveLetter);
    if (it == devicePaths.end()) {
        fail(2);
        return std::nullopt;
    }
    return it->second;
}

std::vector<std::u16string> FakeOs::driveRoots() {
    calls.push_back("driveRoots");
    return rootPaths;
}

uint32_t FakeOs::driveType(const std::u16string& rootPath) {
    calls.push_back("driveType " + text(rootPath));
    auto it = driveTypes.find(rootPath);
    return it == driveTypes.end() ? DriveNoRootDir : it->second;
}

bool FakeOs::clusterSpace(const std::u16string& rootPath, ClusterSpace& out) {
    calls.push_back("clusterSpace " + text(rootPath));
    auto it = clusterSpaces.find(rootPath);
    if (it == clusterSpaces.end()) {
        fail(kErrorNotReady);
        return false;
    }
    out = it->second;
    return true;
}

bool FakeOs::freeSpace(const std::u16string& rootPath, uint64_t& freeBytes, uint64_t& totalBytes) {
    calls.push_back("freeSpace " + text(rootPath));
    auto it = freeSpaces.find(rootPath);
    if (it == freeSpaces.end()) {
        fail(kErrorNotReady);
        return false;
    }
    freeBytes = it->second.freeBytes;
    totalBytes = it->second.totalBytes;
    return true;
}

bool FakeOs::volumeInfo(const std::u16string& rootPath, VolumeInfo& out) {
    calls.push_back("volumeInfo " + text(rootPath));
    auto it = volumes.find(rootPath);
    if (it == volumes.end()) {
        auto e = volumeInfoErrors.find(rootPath);
        fail(e == volumeInfoErrors.end() ? volumeInfoError : e->second);
        return false;
    }
    out = it->second;
    return true;
}

bool FakeOs::setVolumeLabel(const std::u16string& rootPath, const std::u16string& label) {
    calls.push_back("setVolumeLabel " + text(rootPath) + " " + text(label));
    if (!setVolumeLabelResult) {
        fail(setVolumeLabelError);
        return false;
    }
    labelsSet.emplace_back(rootPath, label);
    return true;
}

void FakeOs::wakeDrive(const std::u16string& path) { calls.push_back("wakeDrive " + text(path)); }

uint32_t FakeOs::lastError() {
    calls.push_back("lastError");
    return lastError_;
}

std::string FakeOs::driverLibraryFolder() {
    calls.push_back("driverLibraryFolder");
    return driverFolder;
}

void* FakeOs::loadLibrary(const std::string& path) {
    calls.push_back("loadLibrary " + path);
    if (libraries.count(path) == 0) {
        fail(126);  // ERROR_MOD_NOT_FOUND
        return nullptr;
    }
    void* lib = newToken();
    openLibraries_[lib] = path;
    ++librariesLoaded;
    return lib;
}

void* FakeOs::libraryProc(void* library, const char* name) {
    calls.push_back(std::string("libraryProc ") + (name ? name : "(null)"));
    auto lib = openLibraries_.find(library);
    if (lib == openLibraries_.end() || !name) {
        ++badHandleUses;
        return nullptr;
    }
    const auto& table = libraries[lib->second];
    auto fn = table.find(name);
    if (fn == table.end()) {
        fail(127);  // ERROR_PROC_NOT_FOUND
        return nullptr;
    }
    return fn->second;
}

void FakeOs::freeLibrary(void* library) {
    auto lib = openLibraries_.find(library);
    if (lib == openLibraries_.end()) {
        calls.push_back("freeLibrary (not loaded)");
        ++badHandleUses;
        return;
    }
    calls.push_back("freeLibrary " + lib->second);
    openLibraries_.erase(lib);
    ++librariesFreed;
}

uint16_t FakeOs::uiLanguage(bool systemDefault) {
    calls.push_back(systemDefault ? "uiLanguage system" : "uiLanguage user");
    return systemDefault ? systemUiLanguageValue : uiLanguageValue;
}

std::optional<ProgramVersion> FakeOs::programVersion() {
    calls.push_back("programVersion");
    return programVersionValue;
}

bool FakeOs::namedMutexHeld(const std::u16string& name) {
    calls.push_back("namedMutexHeld " + text(name));
    return mutexHeld;
}

uint32_t FakeOs::milliseconds() {
    calls.push_back("milliseconds");
    uint32_t t = tick;
    tick += tickStep;
    return t;
}

LocalTime FakeOs::localTime() {
    calls.push_back("localTime");
    return time;
}

const CodePage& FakeOs::oemCodePage() {
    calls.push_back("oemCodePage");
    return *codePage;
}

} // namespace brc
