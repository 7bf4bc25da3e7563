#include "drivers/winsvc/card_host.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include "device/sdhost_abi.h"
#include "drivers/windows/windows_disks.h"

namespace brc::winsvc {
namespace {

using sdhost::Handle;
using sdhost::Inside;

// Answers with a client's process and its handles: what DuplicateHandle needs of the target.
constexpr DWORD kTargetAccess = PROCESS_DUP_HANDLE | SYNCHRONIZE;

std::wstring wideText(const std::string& s) {
    std::wstring w(s.size() + 1, L'\0');
    const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(),
                                      static_cast<int>(w.size()));
    w.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return w;
}

std::string utf8(const wchar_t* w) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1) return {};
    std::string s(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w, -1, s.data(), n, nullptr, nullptr);
    s.pop_back();
    return s;
}

// The path the system gives the open file, without its \\?\ prefix; empty on XP, which has no
// way to ask.
std::string finalPathOf(HANDLE h) {
    using FinalPath = DWORD(WINAPI*)(HANDLE, LPWSTR, DWORD, DWORD);
    static const FinalPath f = reinterpret_cast<FinalPath>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetFinalPathNameByHandleW")));
    wchar_t path[1024];
    if (!f) return {};
    const DWORD n = f(h, path, 1024, 0); // FILE_NAME_NORMALIZED | VOLUME_NAME_DOS
    if (n == 0 || n >= 1024) return "(a path the system cannot give)";
    std::string text = utf8(path);
    if (text.rfind("\\\\?\\UNC\\", 0) == 0) return "\\" + text.substr(7);
    if (text.rfind("\\\\?\\", 0) == 0) return text.substr(4);
    return text;
}

// Wine keeps no file security of its own: what it answers is made up of the Unix modes, and
// every file is its user's.
bool underWine() {
    return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

std::string sidText(PSID sid) {
    wchar_t* text = nullptr;
    if (!sid || !ConvertSidToStringSidW(sid, &text)) return {};
    std::string s = utf8(text);
    LocalFree(text);
    return s;
}

// The owner and access list of `path` (or of the open file `h`).
volsvc::Guard guardOf(const std::string& path, HANDLE h, bool folder) {
    volsvc::Guard g;
    g.path = path;
    g.folder = folder;
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    constexpr SECURITY_INFORMATION kWhat = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    std::wstring wide = wideText(path);
    const DWORD rc =
        h ? GetSecurityInfo(h, SE_FILE_OBJECT, kWhat, &owner, nullptr, &dacl, nullptr, &sd)
          : GetNamedSecurityInfoW(wide.data(), SE_FILE_OBJECT, kWhat, &owner, nullptr, &dacl,
                                  nullptr, &sd);
    if (rc != ERROR_SUCCESS) return g; // no owner: refused
    g.owner = sidText(owner);
    if (dacl) {
        g.dacl.emplace();
        for (DWORD i = 0; i < dacl->AceCount; ++i) {
            void* ace = nullptr;
            if (!GetAce(dacl, i, &ace)) continue;
            const auto* header = static_cast<const ACE_HEADER*>(ace);
            volsvc::AccessEntry e;
            e.inheritOnly = (header->AceFlags & INHERIT_ONLY_ACE) != 0;
            if (header->AceType == ACCESS_ALLOWED_ACE_TYPE) {
                const auto* a = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
                e.mask = a->Mask;
                e.sid = sidText(const_cast<DWORD*>(&a->SidStart));
            } else if (header->AceType == ACCESS_DENIED_ACE_TYPE) {
                e.allows = false;
            } else {
                // An entry of a kind not read here (a callback or object entry) may allow
                // anything: taken as allowing everything to someone unknown.
                e.mask = 0xFFFFFFFF;
            }
            g.dacl->push_back(std::move(e));
        }
    }
    LocalFree(sd);
    return g;
}

} // namespace

std::vector<volsvc::Guard> guardsOfPath(const std::string& path, HANDLE file, bool* throughLink) {
    std::vector<volsvc::Guard> guards;
    const bool guarded = !underWine();
    if (guarded) guards.push_back(guardOf(path, file, false));
    // Every folder above it, up to the drive's root: none a link (where XP cannot say the final
    // path, this is what tells), none that anyone else may change.
    for (size_t cut = path.find_last_of('\\'); cut != std::string::npos && cut > 2;
         cut = path.find_last_of('\\', cut - 1)) {
        const std::string folder = path.substr(0, cut);
        const DWORD attributes = GetFileAttributesW(wideText(folder).c_str());
        if (throughLink &&
            (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT)))
            *throughLink = true;
        if (guarded) guards.push_back(guardOf(folder, nullptr, true));
    }
    if (guarded && path.size() >= 3) guards.push_back(guardOf(path.substr(0, 3), nullptr, true));
    return guards;
}

namespace {

// What the system says of an open image file: whether it is one, its size and file identity,
// its names, the path it really has, and who may change it or its folders.
volsvc::ImageFacts factsOf(HANDLE h, const std::string& path) {
    volsvc::ImageFacts f;
    f.found = true;
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return f;
    f.regular = true;
    f.bytes = (uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
    f.volumeSerial = info.dwVolumeSerialNumber;
    f.fileIndex = (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
    f.links = info.nNumberOfLinks;
    f.throughLink = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    f.finalPath = finalPathOf(h);
    bool linked = false;
    f.guards = guardsOfPath(path, h, &linked);
    f.throughLink = f.throughLink || linked;
    return f;
}

// Opens a mapped image as the driver library opens its own: while written, nobody else writes.
// A link in the file's own place is opened as the link, and refused as one.
HANDLE openImageFile(const std::string& path, uint32_t access) {
    const bool write = (access & volsvc::kWrite) != 0;
    return CreateFileW(wideText(path).c_str(), write ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ,
                       write ? FILE_SHARE_READ : FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                       nullptr);
}

// The pipe client's token, read while impersonating it (at the identification level it
// connects with); null where it cannot be.
HANDLE clientToken(HANDLE pipe) {
    if (!ImpersonateNamedPipeClient(pipe)) return nullptr;
    HANDLE token = nullptr;
    const BOOL opened = OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token);
    RevertToSelf();
    return opened ? token : nullptr;
}

// The user of `token` as "S-1-5-21-...", and as DOMAIN\name; empty where it cannot be told.
std::string tokenUser(HANDLE token, bool named) {
    alignas(TOKEN_USER) unsigned char buffer[256];
    DWORD length = 0;
    if (!token || !GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &length)) return {};
    PSID sid = reinterpret_cast<const TOKEN_USER*>(buffer)->User.Sid;
    if (!named) return sidText(sid);
    wchar_t name[256], domain[256];
    DWORD nameLength = 256, domainLength = 256;
    SID_NAME_USE use;
    if (!LookupAccountSidW(nullptr, sid, name, &nameLength, domain, &domainLength, &use)) return {};
    return utf8(domain) + "\\" + utf8(name);
}

// A DWORD value of 1 under `key`.
bool flagSet(HKEY root, const std::wstring& key, const wchar_t* name) {
    HKEY h = nullptr;
    if (RegOpenKeyExW(root, key.c_str(), 0, KEY_QUERY_VALUE, &h) != ERROR_SUCCESS) return false;
    DWORD value = 0, type = 0, bytes = sizeof value;
    const bool set = RegQueryValueExW(h, name, nullptr, &type, reinterpret_cast<BYTE*>(&value),
                                      &bytes) == ERROR_SUCCESS &&
                     type == REG_DWORD && value == 1;
    RegCloseKey(h);
    return set;
}

// The removable-storage policy under `prefix` (HKLM's, or a user's hive's, Software key).
volsvc::StoragePolicy storagePolicy(HKEY root, const std::wstring& prefix) {
    const std::wstring key = prefix + L"\\Policies\\Microsoft\\Windows\\RemovableStorageDevices";
    const std::wstring disks = key + L"\\{53f5630d-b6bf-11d0-94f2-00a0c91efb8b}";
    return {flagSet(root, key, L"Deny_All"), flagSet(root, disks, L"Deny_Read"),
            flagSet(root, disks, L"Deny_Write")};
}

volsvc::FormatPolicy formatPolicy() {
    volsvc::FormatPolicy f;
    HKEY h = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                      L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon", 0,
                      KEY_QUERY_VALUE, &h) != ERROR_SUCCESS)
        return f;
    wchar_t text[8] = {};
    DWORD type = 0, bytes = sizeof text - sizeof(wchar_t);
    if (RegQueryValueExW(h, L"AllocateDASD", nullptr, &type, reinterpret_cast<BYTE*>(text),
                         &bytes) == ERROR_SUCCESS &&
        type == REG_SZ && bytes > 0)
        f.allocateDasd = text[0] >= L'0' && text[0] <= L'2' && text[1] == 0 ? text[0] - L'0' : 0;
    RegCloseKey(h);
    return f;
}

// Whether `token` holds the group of `rid` (Administrators, Power Users) enabled, not for
// denying only.
bool holdsEnabled(HANDLE token, DWORD rid) {
    DWORD bytes = 0;
    GetTokenInformation(token, TokenGroups, nullptr, 0, &bytes);
    if (bytes == 0) return false;
    std::vector<unsigned char> buffer(bytes);
    if (!GetTokenInformation(token, TokenGroups, buffer.data(), bytes, &bytes)) return false;
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID wanted = nullptr;
    if (!AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, rid, 0, 0, 0, 0, 0, 0,
                                  &wanted))
        return false;
    const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(buffer.data());
    bool held = false;
    for (DWORD i = 0; i < groups->GroupCount && !held; ++i)
        held = EqualSid(groups->Groups[i].Sid, wanted) &&
               (groups->Groups[i].Attributes & SE_GROUP_ENABLED) &&
               !(groups->Groups[i].Attributes & SE_GROUP_USE_FOR_DENY_ONLY);
    FreeSid(wanted);
    return held;
}

std::string clientSid(HANDLE pipe) {
    const HANDLE token = clientToken(pipe);
    std::string sid = tokenUser(token, false);
    if (token) CloseHandle(token);
    return sid;
}

std::string processSid(HANDLE process) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(process, TOKEN_QUERY, &token)) return {};
    std::string sid = tokenUser(token, false);
    CloseHandle(token);
    return sid;
}

} // namespace

WindowsCardHost::WindowsCardHost(HANDLE eventLog, CardMap images, volsvc::ServicePolicy policy,
                                 std::wstring lettersKey)
    : eventLog_(eventLog),
      images_(std::move(images)),
      policy_(std::move(policy)),
      lettersKey_(std::move(lettersKey)) {
    InitializeCriticalSection(&maps_);
}

WindowsCardHost::~WindowsCardHost() {
    held_.clear();  // disks closed
    taken_.clear(); // volumes let go
    // Their letters go back to them as they were: no run of theirs goes on.
    std::vector<windisk::TakenLetter> left;
    for (const auto& [number, letters] : letters_)
        left.insert(left.end(), letters.begin(), letters.end());
    windisk::giveBackTaken(volumeSystem_, left);
    letters_.clear();
    writeLetters();
    for (auto& [id, c] : connections_)
        if (c.process) CloseHandle(c.process);
    volumeSystem_.unload();
    DeleteCriticalSection(&maps_);
}

void WindowsCardHost::connected(uint64_t client, HANDLE pipe, HANDLE process) {
    const Inside inside(maps_);
    connections_[client] = Connection{pipe, process};
}

void WindowsCardHost::disconnected(uint64_t client) {
    const Inside inside(maps_);
    const auto it = connections_.find(client);
    if (it == connections_.end()) return;
    if (it->second.process) CloseHandle(it->second.process);
    connections_.erase(it);
}

windisk::Vetting WindowsCardHost::vet(unsigned drive) {
    const sdhost::OpeningBudget budget;
    if (drive < images_.paths.size() && !images_.paths[drive].empty()) {
        const std::string& path = images_.paths[drive];
        volsvc::ImageFacts facts;
        const HANDLE h = openImageFile(path, volsvc::kRead);
        if (h != INVALID_HANDLE_VALUE) {
            facts = factsOf(h, path);
            CloseHandle(h);
        }
        return volsvc::vetImage(drive, path, facts);
    }
    // Outside any run: a client's run names its disk in the request, and the desk holds it to it.
    sdhost::WindowsDisks system;
    return volsvc::vetServed(system, drive, policy_);
}

std::string WindowsCardHost::policyRefusal(uint64_t client, uint32_t access) {
    HANDLE token = nullptr;
    {
        const Inside inside(maps_);
        const auto it = connections_.find(client);
        if (it != connections_.end()) token = clientToken(it->second.pipe);
    }
    if (!token) return "who the client is cannot be told";
    const std::string sid = tokenUser(token, false);
    const volsvc::ClientRights rights{holdsEnabled(token, DOMAIN_ALIAS_RID_ADMINS),
                                      holdsEnabled(token, DOMAIN_ALIAS_RID_POWER_USERS)};
    CloseHandle(token);
    return volsvc::policyRefusal(storagePolicy(HKEY_LOCAL_MACHINE, L"SOFTWARE"),
                                 storagePolicy(HKEY_USERS, wideText(sid) + L"\\Software"),
                                 formatPolicy(), rights, access);
}

HANDLE WindowsCardHost::watchedProcess(uint64_t client) {
    const Inside inside(maps_);
    const auto it = connections_.find(client);
    HANDLE copy = nullptr;
    if (it == connections_.end() || !it->second.process ||
        !DuplicateHandle(GetCurrentProcess(), it->second.process, GetCurrentProcess(), &copy,
                         SYNCHRONIZE, FALSE, 0))
        return nullptr;
    return copy;
}

// The process to hand the handle into: the one the system says is at the pipe's end, else (XP,
// which cannot tell) the one the client names, if it runs as the client's own user, so that the
// service reaches no process the client could not reach itself. Clients connect at the
// identification level: the service reads who they are but cannot act as them.
HANDLE WindowsCardHost::targetProcess(uint64_t client, uint32_t claimed, std::string& why) {
    const Inside inside(maps_);
    const auto it = connections_.find(client);
    if (it == connections_.end()) {
        why = "the connection is gone";
        return nullptr;
    }
    Connection& c = it->second;
    if (c.process) return c.process;
    const std::string user = claimed ? clientSid(c.pipe) : std::string();
    if (user.empty()) {
        why = "the client's process cannot be told";
        return nullptr;
    }
    HANDLE process = OpenProcess(kTargetAccess | PROCESS_QUERY_INFORMATION, FALSE, claimed);
    if (!process) {
        why = "process " + std::to_string(claimed) + " cannot be opened (error " +
              std::to_string(GetLastError()) + ")";
        return nullptr;
    }
    if (processSid(process) != user) {
        CloseHandle(process);
        why = "process " + std::to_string(claimed) + " is not the client's own";
        return nullptr;
    }
    c.process = process;
    return c.process;
}

// The image behind an image disk's letter, for the client's access; it must still be the very
// file the letter was vetted as (a path now leading to another file hands nothing).
Handle WindowsCardHost::openImage(const windisk::DiskIdentity& disk, uint32_t access,
                                  std::string& why) {
    const unsigned drive = disk.number - volsvc::kImageDiskBase;
    const std::string& path = images_.paths[drive];
    Handle h(path.empty() ? INVALID_HANDLE_VALUE : openImageFile(path, access));
    if (!h.ok()) {
        const DWORD err = GetLastError();
        why = err == ERROR_SHARING_VIOLATION
                  ? "another program is writing " + path
                  : "cannot open " + path + " (error " + std::to_string(err) + ")";
        return h;
    }
    const windisk::Vetting again = volsvc::vetImage(drive, path, factsOf(h.get(), path));
    const auto reached = windisk::identityOf(again.facts);
    if (again.verdict.code != SDHOST_OK || !reached || !volsvc::sameDisk(disk, *reached)) {
        why =
            again.verdict.code != SDHOST_OK ? again.verdict.message : path + " is another file now";
        h.reset();
    }
    return h;
}

// A copy of a handle already held on image disk `number` with at least `access`. The desk lets
// a second connection reach a held card only from the holder's own process (the erase's library
// instance beside the bound one), and the first handle keeps every other writer out of the image.
Handle WindowsCardHost::sharedImage(uint32_t number, uint32_t access) {
    const Inside inside(maps_);
    for (const auto& [key, handles] : held_) {
        if (key.second != number) continue;
        for (const HeldHandle& held : handles) {
            HANDLE copy = nullptr;
            if ((held.access & access) == access &&
                DuplicateHandle(GetCurrentProcess(), held.handle.get(), GetCurrentProcess(), &copy,
                                0, FALSE, DUPLICATE_SAME_ACCESS))
                return Handle(copy);
        }
    }
    return Handle();
}

Handle WindowsCardHost::openDisk(const windisk::DiskFacts& vetted,
                                 const windisk::DiskIdentity& disk, uint32_t access,
                                 std::string& why) {
    if (volsvc::isImageDisk(disk.number)) return openImage(disk, access, why);
    DWORD rights = GENERIC_READ;
    if (access & volsvc::kWrite) rights |= GENERIC_WRITE;
    Handle h;
    // As the driver library opens its own: overlapped (every call bounded), unbuffered. What
    // opened is judged on the drive's vetted facts with its own answers over them.
    const windisk::Verdict opened = volsvc::openServed(
        vetted, policy_,
        [&](const std::string& path, windisk::DiskFacts& answered, std::string& error) {
            h = sdhost::openPath(sdhost::widened(path), rights,
                                 FILE_FLAG_NO_BUFFERING | FILE_FLAG_WRITE_THROUGH);
            if (!h.ok()) {
                error = "cannot open " + path.substr(4) + " (error " +
                        std::to_string(GetLastError()) + ")";
                return false;
            }
            sdhost::askDisk(h.get(), answered);
            return true;
        });
    if (opened.code != SDHOST_OK) {
        why = opened.message;
        h.reset();
    }
    return h;
}

// Every volume of the card locked and dismounted for the client's run: since Vista a write into a
// mounted volume's sectors fails, and nothing else may write meanwhile. A read takes them too:
// the sectors of a mounted volume hold files whose own rights the client would read past. Their
// letters are written down until they are given back.
void WindowsCardHost::takeVolumes(Taken& taken, uint32_t number, std::string& why) {
    auto volumes = std::make_unique<windisk::DiskVolumes>(volumeSystem_, number, false);
    if (volumes->take(SDHOST_ERR_BUSY, why) != SDHOST_OK) return;
    const Inside inside(maps_);
    letters_[number] = windisk::takenLetters(*volumes);
    writeLetters();
    taken.volumes = std::move(volumes);
}

std::optional<uint64_t> WindowsCardHost::hand(const volsvc::Client& client,
                                              const volsvc::Request& request,
                                              const windisk::DiskFacts& vetted,
                                              const windisk::DiskIdentity& disk, std::string& why) {
    const sdhost::OpeningBudget budget;
    const HANDLE target = targetProcess(client.id, request.process, why);
    if (!target) return std::nullopt;
    why = policyRefusal(client.id, request.access);
    if (!why.empty()) return std::nullopt;
    Handle h = openDisk(vetted, disk, request.access, why);
    if (!h.ok() && volsvc::isImageDisk(disk.number)) {
        h = sharedImage(disk.number, request.access);
        if (h.ok()) why.clear();
    }
    if (!h.ok()) return std::nullopt;
    const auto key = std::make_pair(client.id, disk.number);
    bool first;
    Taken* held;
    {
        const Inside inside(maps_);
        first = held_.find(key) == held_.end();
        held = &taken_[disk.number];
        if (first) ++held->holders;
    }
    Taken& taken = *held;
    // An image has no volumes of the system's to take: its handle keeps other writers out.
    const bool image = volsvc::isImageDisk(disk.number);
    if (!image && !taken.volumes) takeVolumes(taken, disk.number, why);
    // With exactly the access asked, whatever the service's own handle holds.
    const DWORD rights =
        FILE_GENERIC_READ | ((request.access & volsvc::kWrite) ? FILE_GENERIC_WRITE : 0);
    HANDLE theirs = nullptr;
    const bool handed =
        (image || taken.volumes) &&
        DuplicateHandle(GetCurrentProcess(), h.get(), target, &theirs, rights, FALSE, 0);
    if (!handed) {
        if (why.empty())
            why = "the handle cannot be handed over (error " + std::to_string(GetLastError()) + ")";
        if (first) {
            {
                const Inside inside(maps_);
                held_[key];
            }
            giveBack(client, disk, 0);
        }
        return std::nullopt;
    }
    const Inside inside(maps_);
    held_[key].push_back({std::move(h), request.access});
    return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(theirs));
}

bool WindowsCardHost::giveBack(const volsvc::Client& client, const windisk::DiskIdentity& disk,
                               uint64_t partition) {
    std::unique_ptr<windisk::DiskVolumes> volumes;
    {
        const Inside inside(maps_);
        const auto it = held_.find(std::make_pair(client.id, disk.number));
        if (it == held_.end()) return true;
        held_.erase(it);
        const auto taken = taken_.find(disk.number);
        if (taken == taken_.end() || --taken->second.holders > 0) return true;
        volumes = std::move(taken->second.volumes);
        taken_.erase(taken);
    }
    // The last connection holding the disk went: its volumes are mounted again and the card's
    // drive letter comes back, on the partition the client's run wrote.
    const bool back =
        !volumes || volumes->finish(false, windisk::ComingBack{windisk::kVolumeWaitMs, partition});
    const Inside inside(maps_);
    if (letters_.erase(disk.number)) writeLetters();
    return back;
}

void WindowsCardHost::writeLetters() {
    if (lettersKey_.empty()) return;
    std::vector<windisk::TakenLetter> all;
    for (const auto& [number, letters] : letters_)
        all.insert(all.end(), letters.begin(), letters.end());
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, lettersKey_.c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                        nullptr, &key, nullptr) != ERROR_SUCCESS)
        return;
    if (all.empty()) {
        RegDeleteValueW(key, kTakenLettersValue);
    } else {
        const std::wstring text = wideText(windisk::ledgerText(all));
        RegSetValueExW(key, kTakenLettersValue, 0, REG_SZ,
                       reinterpret_cast<const BYTE*>(text.c_str()),
                       static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    }
    RegCloseKey(key);
}

void WindowsCardHost::giveBackLeftLetters(const std::string& written) {
    if (lettersKey_.empty()) return;
    windisk::giveBackTaken(volumeSystem_, windisk::parseLedger(written));
    const Inside inside(maps_);
    writeLetters(); // nothing is held yet: the value goes
}

void WindowsCardHost::log(const volsvc::LogEntry& entry) {
    if (!eventLog_) return;
    const std::wstring text = wideText(entry.text);
    const wchar_t* strings[] = {text.c_str()};
    ReportEventW(eventLog_, EVENTLOG_WARNING_TYPE, 0, entry.eventId, nullptr, 1, 0, strings,
                 nullptr);
}

std::string clientUser(HANDLE pipe) {
    const HANDLE token = clientToken(pipe);
    std::string user = tokenUser(token, true);
    if (token) CloseHandle(token);
    return user;
}

} // namespace brc::winsvc
