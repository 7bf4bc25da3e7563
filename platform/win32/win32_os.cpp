// OsServices over the Win32 API. The program must run on Windows XP x64 (NT 5.2): everything
// called directly here exists in XP's kernel32 and advapi32; anything newer would have to be
// looked up at run time.
//
// Drive letters that BRINDLECARD_CARDS maps to an image file are virtual cards: no system
// volume stands behind them, so the volume calls are answered here (the labels and sizes from
// the card's own file system) and the system is never asked about such a letter. The system's
// volume queries wait for a hung card reader only so long.
#include "platform/win32/win32_os.h"

#include <windows.h>
#include <sddl.h>

#include <algorithm>
#include <climits>
#include <string>
#include <utility>
#include <vector>

#include "base/on_card_fields.h"
#include "base/native_text.h"
#include "device/card_map.h"
#include "platform/virtual_volume.h"
#include "platform/win32/bounded_call.h"

namespace brc {

namespace {

// ---- Strings ------------------------------------------------------------------------------

// Windows' wchar_t is a UTF-16 unit; copies keep the two string types apart.
std::wstring wide(const std::u16string& text) { return std::wstring(text.begin(), text.end()); }

std::u16string narrowUnits(const wchar_t* text, size_t length) {
    std::u16string out;
    out.reserve(length);
    for (size_t i = 0; i < length; ++i) out.push_back(static_cast<char16_t>(text[i]));
    return out;
}

// A zero-terminated buffer of `capacity` units, read up to its first zero.
std::u16string fromBuffer(const wchar_t* buffer, size_t capacity) {
    size_t length = 0;
    while (length < capacity && buffer[length] != 0) ++length;
    return narrowUnits(buffer, length);
}

// Paths, the card map's among them, are UTF-8 (base/native_text.h converts them).

// Index 0 (A:) to 25 (Z:) of a drive letter, or -1.
int letterIndex(char16_t letter) {
    if (letter >= u'a' && letter <= u'z') return letter - u'a';
    if (letter >= u'A' && letter <= u'Z') return letter - u'A';
    return -1;
}

int rootIndex(const std::u16string& rootPath) {
    return rootPath.empty() ? -1 : letterIndex(rootPath[0]);
}

// ---- Volume queries -----------------------------------------------------------------------

// A card reader that hangs holds whoever asks about its volume for good, and the program asks
// from its one window thread (the one-second poll, the drive list). Each query runs on a worker
// and is given up after this long: it then fails with ERROR_TIMEOUT, a drive that did not
// answer.
constexpr DWORD kVolumeQueryWaitMs = 5000;

// Per drive letter, the queries given up on whose workers have not come back. While one is out,
// the drive's next query fails at once the same way instead of leaving another worker behind
// it every second. Plain static memory, never destroyed: a worker may come back at any time.
volatile LONG queriesOut[26];

// `call(answer)` bounded as above; false with the call's error, or ERROR_TIMEOUT, in
// GetLastError. `call` owns what it uses: it may finish after this returns.
template <class Answer, class Call>
bool boundedQuery(const std::u16string& rootPath, Answer& answer, Call call) {
    const int index = rootPath.size() >= 2 && rootPath[1] == u':' ? rootIndex(rootPath) : -1;
    volatile LONG* out = index >= 0 ? &queriesOut[index] : nullptr;
    if (out && InterlockedCompareExchange(out, 0, 0) > 0) {
        SetLastError(ERROR_TIMEOUT);
        return false;
    }
    return callBounded(kVolumeQueryWaitMs, answer, std::move(call), out);
}

struct FreeClusters {
    DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, totalClusters = 0;
};

struct FreeBytes {
    ULARGE_INTEGER available{}, total{}, totalFree{};
};

struct VolumeAnswer {
    wchar_t label[MAX_PATH + 1] = {};
    wchar_t fileSystem[MAX_PATH + 1] = {};
    DWORD serial = 0, maxComponentLength = 0, flags = 0;
};

// ---- OEM code page ------------------------------------------------------------------------

class OemCodePage final : public CodePage {
public:
    OemCodePage() {
        // UTF-7 and UTF-8 take no conversion flags; a system set to UTF-8 reports it as OEM page.
        const UINT page = GetOEMCP();
        encodeFlags_ = (page == CP_UTF8 || page == CP_UTF7) ? 0 : WC_NO_BEST_FIT_CHARS;
        CPINFO info{};
        if (GetCPInfo(CP_OEMCP, &info) && info.DefaultChar[0] != 0) {
            defaultChar_.assign(1, static_cast<char>(info.DefaultChar[0]));
            if (info.DefaultChar[1] != 0) defaultChar_ += static_cast<char>(info.DefaultChar[1]);
        }
    }

    std::string encode(const std::u16string& text, size_t maxBytes) const override {
        std::string out;
        size_t i = 0;
        while (i < text.size()) {
            // One character at a time (a surrogate pair is one), so none is ever cut in two.
            size_t units = 1;
            if (text[i] >= 0xD800 && text[i] <= 0xDBFF && i + 1 < text.size() &&
                text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF)
                units = 2;
            const wchar_t chars[2] = {static_cast<wchar_t>(text[i]),
                                      static_cast<wchar_t>(units == 2 ? text[i + 1] : 0)};
            char bytes[16];
            const int got =
                WideCharToMultiByte(CP_OEMCP, encodeFlags_, chars, static_cast<int>(units), bytes,
                                    static_cast<int>(sizeof bytes), nullptr, nullptr);
            const std::string encoded =
                got > 0 ? std::string(bytes, static_cast<size_t>(got)) : defaultChar_;
            if (maxBytes != std::string::npos && out.size() + encoded.size() > maxBytes) break;
            out += encoded;
            i += units;
        }
        return out;
    }

    std::u16string decode(const std::string& bytes) const override {
        const size_t length = std::min(bytes.find('\0'), bytes.size());
        if (length == 0 || length > static_cast<size_t>(INT_MAX)) return std::u16string();
        const int count = static_cast<int>(length);
        const int needed = MultiByteToWideChar(CP_OEMCP, 0, bytes.data(), count, nullptr, 0);
        if (needed <= 0) return std::u16string();
        std::vector<wchar_t> out(static_cast<size_t>(needed));
        const int done = MultiByteToWideChar(CP_OEMCP, 0, bytes.data(), count, out.data(), needed);
        return done > 0 ? narrowUnits(out.data(), static_cast<size_t>(done)) : std::u16string();
    }

private:
    DWORD encodeFlags_ = 0;
    std::string defaultChar_ = "?";
};

// ---- The services -------------------------------------------------------------------------

class Win32OsServices final : public OsServices {
public:
    SystemFamily systemFamily() override { return SystemFamily::Windows; }

    // GetVersionExW with OSVERSIONINFOEXW.
    bool systemVersion(OsVersion& out) override {
        OSVERSIONINFOEXW info{};
        info.dwOSVersionInfoSize = sizeof info;
        if (!GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&info))) return failed();
        out.platformId = info.dwPlatformId;
        out.major = info.dwMajorVersion;
        out.minor = info.dwMinorVersion;
        out.productType = info.wProductType;
        return true;
    }

    // CheckTokenMembership with no token given: the thread's impersonation token, else the
    // process's.
    bool isInGroup(const std::string& sid, bool& member) override {
        PSID parsed = nullptr;
        if (!ConvertStringSidToSidW(std::wstring(sid.begin(), sid.end()).c_str(), &parsed))
            return failed();
        BOOL is = FALSE;
        const bool ok = CheckTokenMembership(nullptr, parsed, &is) != 0;
        if (!ok) remember();
        LocalFree(parsed);
        member = ok && is;
        return ok;
    }

    // OpenSCManagerW, OpenServiceW, StartServiceW; then, for a service just started, waits (10 s
    // at most) while it says it is starting: StartServiceW comes back before the service is
    // ready, and its pipe is asked for right after.
    uint32_t startService(const std::u16string& name) override {
        SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
        if (!manager) return errorOrFailure();
        uint32_t result = 0;
        SC_HANDLE service =
            OpenServiceW(manager, wide(name).c_str(), SERVICE_START | SERVICE_QUERY_STATUS);
        if (!service) {
            result = errorOrFailure();
        } else {
            if (!StartServiceW(service, 0, nullptr)) result = errorOrFailure();
            SERVICE_STATUS status{};
            for (int i = 0; result == 0 && i < 100 && QueryServiceStatus(service, &status) &&
                            status.dwCurrentState == SERVICE_START_PENDING;
                 ++i)
                Sleep(100);
            CloseServiceHandle(service);
        }
        CloseServiceHandle(manager);
        return result;
    }

    // WaitNamedPipeW (its answer ignored), then CreateFileW.
    bool pipeOpens(const std::u16string& pipeName) override {
        const std::wstring name = wide(pipeName);
        WaitNamedPipeW(name.c_str(), NMPWAIT_USE_DEFAULT_WAIT); // only gives the server a moment
        // Read and write the messages, not GENERIC_WRITE: that includes creating instances of
        // the pipe, which the volume service allows no user.
        HANDLE pipe = CreateFileW(
            name.c_str(), GENERIC_READ | FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES, 0, nullptr,
            OPEN_EXISTING, SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
        if (pipe == INVALID_HANDLE_VALUE) return failed();
        CloseHandle(pipe);
        return true;
    }

    // CreateMutexW, initially owned; `alreadyExisted` as GetLastError says.
    void* createNamedMutex(const std::u16string& name, bool& alreadyExisted) override {
        SetLastError(ERROR_SUCCESS); // only a fresh ERROR_ALREADY_EXISTS may count
        HANDLE mutex = CreateMutexW(nullptr, TRUE, wide(name).c_str());
        const DWORD error = GetLastError();
        alreadyExisted = error == ERROR_ALREADY_EXISTS;
        if (!mutex) lastError_ = error;
        return mutex;
    }

    // OpenMutexW: the handle is closed again at once.
    bool namedMutexHeld(const std::u16string& name) override {
        HANDLE mutex = OpenMutexW(MUTEX_ALL_ACCESS, FALSE, wide(name).c_str());
        if (!mutex) return failed();
        CloseHandle(mutex);
        return true;
    }

    void releaseNamedMutex(void* mutex) override {
        if (!mutex) return;
        ReleaseMutex(mutex); // fails harmlessly when another process owned it first
        CloseHandle(mutex);
    }

    // CreateFileW of \\.\X:, read/write, sharing read and write.
    void* openVolume(char16_t driveLetter) override {
        const int index = letterIndex(driveLetter);
        if (index < 0) {
            lastError_ = ERROR_INVALID_DRIVE;
            return nullptr;
        }
        if (cardPath(index)) return &virtualVolumes_[index];
        wchar_t name[] = L"\\\\.\\A:";
        name[4] = static_cast<wchar_t>(L'A' + index);
        HANDLE volume =
            CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (volume == INVALID_HANDLE_VALUE) {
            remember();
            return nullptr;
        }
        return volume;
    }

    // DeviceIoControl without buffers: FSCTL_LOCK_VOLUME, FSCTL_UNLOCK_VOLUME or
    // FSCTL_DISMOUNT_VOLUME.
    bool volumeRequest(void* volume, VolumeRequest request) override {
        if (!volume) {
            lastError_ = ERROR_INVALID_HANDLE;
            return false;
        }
        if (isVirtual(volume)) return true; // an image has nothing to lock or dismount
        DWORD code = FSCTL_LOCK_VOLUME;
        if (request == VolumeRequest::Unlock) code = FSCTL_UNLOCK_VOLUME;
        if (request == VolumeRequest::Dismount) code = FSCTL_DISMOUNT_VOLUME;
        DWORD returned = 0;
        if (!DeviceIoControl(volume, code, nullptr, 0, nullptr, 0, &returned, nullptr))
            return failed();
        return true;
    }

    void closeVolume(void* volume) override {
        if (volume && !isVirtual(volume)) CloseHandle(volume);
    }

    // QueryDosDeviceW("X:").
    std::optional<std::u16string> driveDevicePath(char16_t driveLetter) override {
        const int index = letterIndex(driveLetter);
        if (index >= 0) {
            // A mapped letter reads like a substituted drive: the image it stands for.
            if (const std::string* path = cardPath(index)) return u"\\??\\" + utf8ToUtf16(*path);
        }
        const wchar_t name[3] = {static_cast<wchar_t>(driveLetter), L':', 0};
        wchar_t target[260] = {};
        const DWORD got = QueryDosDeviceW(name, target, 260);
        if (got == 0) {
            remember();
            return std::nullopt;
        }
        return fromBuffer(target, std::min<size_t>(got, 260));
    }

    // GetLogicalDriveStringsW, and the mapped letters.
    std::vector<std::u16string> driveRoots() override {
        std::vector<std::u16string> roots;
        std::vector<wchar_t> buffer;
        DWORD needed = GetLogicalDriveStringsW(0, nullptr);
        // The set of drives can grow between the two calls; ask again until it fits.
        for (int attempt = 0; attempt < 4 && needed > 0; ++attempt) {
            buffer.assign(static_cast<size_t>(needed) + 1, L'\0');
            const DWORD got = GetLogicalDriveStringsW(needed, buffer.data());
            if (got == 0) {
                remember();
                buffer.clear();
                break;
            }
            if (got < needed) {
                buffer.resize(got);
                break;
            }
            needed = got + 1;
            buffer.clear();
        }
        size_t start = 0;
        for (size_t i = 0; i < buffer.size(); ++i) {
            if (buffer[i] != 0) continue;
            if (i > start) roots.push_back(narrowUnits(buffer.data() + start, i - start));
            start = i + 1;
        }
        if (start < buffer.size())
            roots.push_back(narrowUnits(buffer.data() + start, buffer.size() - start));

        // Mapped letters are drives as well, in letter order with the system's.
        const CardMap map = readCardMap();
        if (map.error.empty()) {
            for (int index = 0; index < 26; ++index) {
                if (map.paths[static_cast<size_t>(index)].empty()) continue;
                const bool listed = std::any_of(roots.begin(), roots.end(), [&](const auto& r) {
                    return rootIndex(r) == index;
                });
                if (!listed)
                    roots.push_back(
                        std::u16string{static_cast<char16_t>(u'A' + index), u':', u'\\'});
            }
            std::stable_sort(roots.begin(), roots.end(), [](const auto& a, const auto& b) {
                return rootIndex(a) < rootIndex(b);
            });
        }
        return roots;
    }

    // GetDriveTypeW.
    uint32_t driveType(const std::u16string& rootPath) override {
        if (cardPath(rootIndex(rootPath))) return DriveRemovable;
        return GetDriveTypeW(wide(rootPath).c_str());
    }

    // GetDiskFreeSpaceW, bounded in time.
    bool clusterSpace(const std::u16string& rootPath, ClusterSpace& out) override {
        if (const std::string* path = cardPath(rootIndex(rootPath)))
            return mappedClusterSpace(*path, out);
        FreeClusters space;
        if (!boundedQuery(rootPath, space, [root = wide(rootPath)](FreeClusters& s) {
                return GetDiskFreeSpaceW(root.c_str(), &s.sectorsPerCluster, &s.bytesPerSector,
                                         &s.freeClusters, &s.totalClusters) != 0;
            }))
            return failed();
        out.sectorsPerCluster = space.sectorsPerCluster;
        out.bytesPerSector = space.bytesPerSector;
        out.freeClusters = space.freeClusters;
        out.totalClusters = space.totalClusters;
        return true;
    }

    // GetDiskFreeSpaceExW, bounded in time.
    bool freeSpace(const std::u16string& rootPath, uint64_t& freeBytes,
                   uint64_t& totalBytes) override {
        if (const std::string* path = cardPath(rootIndex(rootPath))) {
            ClusterSpace space;
            if (!mappedClusterSpace(*path, space)) return false;
            const uint64_t cluster = uint64_t{space.sectorsPerCluster} * space.bytesPerSector;
            freeBytes = cluster * space.freeClusters;
            totalBytes = cluster * space.totalClusters;
            return true;
        }
        FreeBytes space;
        if (!boundedQuery(rootPath, space, [root = wide(rootPath)](FreeBytes& s) {
                return GetDiskFreeSpaceExW(root.c_str(), &s.available, &s.total, &s.totalFree) != 0;
            }))
            return failed();
        freeBytes = space.available.QuadPart; // what this user may still write
        totalBytes = space.total.QuadPart;
        return true;
    }

    // GetVolumeInformationW, bounded in time.
    bool volumeInfo(const std::u16string& rootPath, VolumeInfo& out) override {
        if (const std::string* path = cardPath(rootIndex(rootPath)))
            return mappedVolumeInfo(*path, out);
        VolumeAnswer v;
        if (!boundedQuery(rootPath, v, [root = wide(rootPath)](VolumeAnswer& a) {
                return GetVolumeInformationW(root.c_str(), a.label, MAX_PATH + 1, &a.serial,
                                             &a.maxComponentLength, &a.flags, a.fileSystem,
                                             MAX_PATH + 1) != 0;
            }))
            return failed();
        out.label = fromBuffer(v.label, MAX_PATH + 1);
        out.serial = v.serial;
        out.maxComponentLength = v.maxComponentLength;
        out.flags = v.flags;
        out.fileSystem = fromBuffer(v.fileSystem, MAX_PATH + 1);
        return true;
    }

    bool labelsCardItself(const std::u16string& rootPath) override {
        return cardPath(rootIndex(rootPath)) != nullptr;
    }

    // SetVolumeLabelW.
    bool setVolumeLabel(const std::u16string& rootPath, const std::u16string& label) override {
        if (const std::string* path = cardPath(rootIndex(rootPath)))
            return mappedSetVolumeLabel(*path, label);
        const std::wstring text = wide(label);
        // No name at all is what removes a label.
        if (!SetVolumeLabelW(wide(rootPath).c_str(), text.empty() ? nullptr : text.c_str()))
            return failed();
        return true;
    }

    // CreateFileW (GENERIC_READ, share read, OPEN_EXISTING), then CloseHandle.
    void wakeDrive(const std::u16string& path) override {
        if (cardPath(rootIndex(path))) return; // an image has no medium to look at
        HANDLE file = CreateFileW(wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    }

    // GetLastError as it was after the last failed call, or our own code for a mapped card.
    uint32_t lastError() override { return lastError_; }

    // The program's own folder: the programs come with their driver libraries beside them, and
    // the system looks there first for the route libraries they bind by name.
    std::string driverLibraryFolder() override {
        std::wstring path(MAX_PATH, L'\0');
        for (;;) {
            const DWORD got =
                GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
            if (got == 0) {
                remember();
                return {};
            }
            // A long path is cut to the buffer: try again with room for it.
            if (got < path.size()) {
                path.resize(got);
                break;
            }
            if (path.size() >= 32768) return {};
            path.resize(path.size() * 2);
        }
        const size_t cut = path.find_last_of(L"\\/");
        return cut == std::wstring::npos ? std::string() : utf8FromWide(path.substr(0, cut));
    }

    // A bare name (a driver or language library) is the program's own, from its own folder:
    // the system's search would go on to the working folder and PATH, where anyone may put a
    // library of that name.
    void* loadLibrary(const std::string& path) override {
        const bool bare = path.find_first_of("\\/:") == std::string::npos;
        const std::string folder = bare ? driverLibraryFolder() : std::string();
        const std::wstring name =
            wideFromUtf8(bare && !folder.empty() ? folder + "\\" + path : path);
        if (name.empty()) {
            lastError_ = ERROR_INVALID_NAME;
            return nullptr;
        }
        HMODULE module = LoadLibraryExW(name.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
        if (!module) remember();
        return reinterpret_cast<void*>(module);
    }

    void* libraryProc(void* library, const char* name) override {
        if (!library || !name) return nullptr;
        FARPROC proc = GetProcAddress(static_cast<HMODULE>(library), name);
        if (!proc) remember();
        return reinterpret_cast<void*>(proc);
    }

    void freeLibrary(void* library) override {
        if (library) FreeLibrary(static_cast<HMODULE>(library));
    }

    // GetUserDefaultUILanguage, or GetSystemDefaultUILanguage when `systemDefault`, looked up
    // at run time; 0 when the entry point is missing.
    uint16_t uiLanguage(bool systemDefault) override {
        using Query = LANGID(WINAPI*)();
        HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
        if (!kernel) return 0;
        const FARPROC entry = GetProcAddress(
            kernel, systemDefault ? "GetSystemDefaultUILanguage" : "GetUserDefaultUILanguage");
        if (!entry) return 0;
        return reinterpret_cast<Query>(reinterpret_cast<void (*)()>(entry))();
    }

    std::optional<ProgramVersion> programVersion() override {
        wchar_t path[MAX_PATH] = {};
        if (GetModuleFileNameW(nullptr, path, MAX_PATH) == 0) return std::nullopt;
        DWORD ignored = 0;
        const DWORD size = GetFileVersionInfoSizeW(path, &ignored);
        if (size == 0) return std::nullopt;
        std::vector<uint8_t> block(size);
        if (!GetFileVersionInfoW(path, 0, size, block.data())) return std::nullopt;
        VS_FIXEDFILEINFO* fixed = nullptr;
        UINT length = 0;
        if (!VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) ||
            !fixed || length < sizeof *fixed)
            return std::nullopt;
        ProgramVersion v;
        v.productMs = fixed->dwProductVersionMS;
        v.productLs = fixed->dwProductVersionLS;
        // Only the Japanese-language block is looked at, as the program has always done.
        wchar_t* text = nullptr;
        if (VerQueryValueW(block.data(), L"\\StringFileInfo\\041104B0\\LegalCopyright",
                           reinterpret_cast<void**>(&text), &length) &&
            text && length > 0)
            v.legalCopyright = fromBuffer(text, length);
        return v;
    }

    uint32_t milliseconds() override { return GetTickCount(); }

    LocalTime localTime() override {
        SYSTEMTIME now{};
        GetLocalTime(&now);
        LocalTime out;
        out.year = now.wYear;
        out.month = now.wMonth;
        out.day = now.wDay;
        out.hour = now.wHour;
        out.minute = now.wMinute;
        out.second = now.wSecond;
        out.milliseconds = now.wMilliseconds;
        return out;
    }

    const CodePage& oemCodePage() override { return win32OemCodePage(); }

private:
    // The card mapped to a drive (index 0 = A:), read afresh as the driver libraries do, or null.
    // A malformed map maps nothing here; the driver libraries report it when a card is opened.
    const std::string* cardPath(int index) {
        if (index < 0 || index >= 26) return nullptr;
        cards_ = readCardMap();
        if (!cards_.error.empty()) return nullptr;
        const std::string& path = cards_.paths[static_cast<size_t>(index)];
        return path.empty() ? nullptr : &path;
    }

    bool isVirtual(const void* volume) const {
        for (const char& slot : virtualVolumes_)
            if (volume == &slot) return true;
        return false;
    }

    bool mappedVolumeInfo(const std::string& path, VolumeInfo& out);
    bool mappedSetVolumeLabel(const std::string& path, const std::u16string& label);
    bool mappedClusterSpace(const std::string& path, ClusterSpace& out);

    void remember() { lastError_ = GetLastError(); }
    bool failed() {
        remember();
        return false;
    }
    // GetLastError, never 0: a failed step must not read as success.
    uint32_t errorOrFailure() {
        remember();
        if (lastError_ == 0) lastError_ = ERROR_GEN_FAILURE;
        return lastError_;
    }

    uint32_t lastError_ = 0;
    CardMap cards_;
    // Tokens handed out for mapped letters: their addresses tell them from real handles.
    char virtualVolumes_[26] = {};
};

// ---- Virtual cards ------------------------------------------------------------------------

// The image behind a mapped letter, opened as the driver libraries open it: the path is UTF-8,
// and only a regular file whose size is whole sectors is a card.
class ImageSectors {
public:
    ImageSectors(const std::string& path, bool writable) {
        handle_ =
            CreateFileW(wideFromUtf8(path).c_str(), GENERIC_READ | (writable ? GENERIC_WRITE : 0),
                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                        FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle_ == INVALID_HANDLE_VALUE) {
            error_ = GetLastError() == ERROR_ACCESS_DENIED && writable ? ERROR_WRITE_PROTECT
                                                                       : ERROR_NOT_READY;
            return;
        }
        LARGE_INTEGER bytes{};
        if (GetFileType(handle_) != FILE_TYPE_DISK || !GetFileSizeEx(handle_, &bytes) ||
            bytes.QuadPart <= 0 || bytes.QuadPart % kSectorBytes != 0) {
            error_ = ERROR_NOT_READY; // the driver libraries refuse such a card as well
            return;
        }
        card_.count = static_cast<uint64_t>(bytes.QuadPart) / kSectorBytes;
        card_.read = [this](uint64_t first, uint32_t n, uint8_t* data) {
            return transfer(first, n, data, false);
        };
        card_.write = [this](uint64_t first, uint32_t n, const uint8_t* data) {
            return transfer(first, n, const_cast<uint8_t*>(data), true);
        };
        error_ = 0;
    }
    ~ImageSectors() {
        if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    }
    ImageSectors(const ImageSectors&) = delete;
    ImageSectors& operator=(const ImageSectors&) = delete;

    uint32_t error() const { return error_; } // 0 when the card is open
    const CardSectors& card() const { return card_; }

private:
    bool transfer(uint64_t first, uint32_t n, uint8_t* data, bool writing) {
        if (first > card_.count || n > card_.count - first) return false;
        uint64_t offset = first * kSectorBytes;
        uint64_t left = uint64_t{n} * kSectorBytes;
        while (left > 0) {
            OVERLAPPED at{};
            at.Offset = static_cast<DWORD>(offset);
            at.OffsetHigh = static_cast<DWORD>(offset >> 32);
            const DWORD want = static_cast<DWORD>(std::min<uint64_t>(left, uint64_t{1} << 30));
            DWORD done = 0;
            const BOOL ok = writing ? WriteFile(handle_, data, want, &done, &at)
                                    : ReadFile(handle_, data, want, &done, &at);
            if (!ok || done == 0) return false;
            data += done;
            offset += done;
            left -= done;
        }
        return true;
    }

    HANDLE handle_ = INVALID_HANDLE_VALUE;
    uint32_t error_ = ERROR_NOT_READY;
    CardSectors card_;
};

bool Win32OsServices::mappedVolumeInfo(const std::string& path, VolumeInfo& out) {
    ImageSectors image(path, false);
    uint32_t rc = image.error();
    if (rc == 0) rc = virtualVolumeInformation(image.card(), win32OemCodePage(), out);
    if (rc != 0) lastError_ = rc;
    return rc == 0;
}

bool Win32OsServices::mappedSetVolumeLabel(const std::string& path, const std::u16string& label) {
    ImageSectors image(path, true);
    uint32_t rc = image.error();
    if (rc == 0) rc = setVirtualVolumeLabel(image.card(), win32OemCodePage(), label, localTime());
    if (rc != 0) lastError_ = rc;
    return rc == 0;
}

bool Win32OsServices::mappedClusterSpace(const std::string& path, ClusterSpace& out) {
    ImageSectors image(path, false);
    uint32_t rc = image.error();
    if (rc == 0) rc = virtualFreeSpace(image.card(), out);
    if (rc != 0) lastError_ = rc;
    return rc == 0;
}

} // namespace

const CodePage& win32OemCodePage() {
    static const OemCodePage page;
    return page;
}

void prepareWin32Process() {
    // GetErrorMode is Vista's: the mode is read by setting none and then set again with ours.
    const UINT inherited = SetErrorMode(0);
    SetErrorMode(inherited | SEM_FAILCRITICALERRORS);
}

std::unique_ptr<OsServices> makeWin32OsServices() { return std::make_unique<Win32OsServices>(); }

#if defined(_WIN32)
std::unique_ptr<OsServices> makeSystemOsServices() { return makeWin32OsServices(); }
#endif

} // namespace brc
