// The volume service's hands on the system: the drives' answers, the disks it opens for its
// clients, the volumes it holds for them, and the event log.
#pragma once

#include <windows.h>

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "drivers/volsvc/image_cards.h"
#include "drivers/volsvc/served_disks.h"
#include "drivers/volsvc/service_desk.h"
#include "drivers/windisk/disk_volumes.h"
#include "drivers/windows/win_io.h"
#include "drivers/windows/windows_volumes.h"

namespace brc::winsvc {

// The value under the service's Parameters key that holds the letters of held cards.
constexpr wchar_t kTakenLettersValue[] = L"TakenLetters";

// One connected client as the pipe's side knows it.
struct Connection {
    HANDLE pipe = INVALID_HANDLE_VALUE; // for impersonating the client
    HANDLE process = nullptr;           // opened for handing handles into; null until known
};

class WindowsCardHost final : public volsvc::CardHost {
public:
    // `images`: the virtual cards the administrator configured, by letter; `policy`: the
    // readers the administrator allowed beside those the service serves anyway; `lettersKey`:
    // the registry key (under HKLM) where the letters of held cards are written down until they
    // are given back (empty: nowhere).
    WindowsCardHost(HANDLE eventLog, CardMap images, volsvc::ServicePolicy policy,
                    std::wstring lettersKey = {});
    ~WindowsCardHost() override;
    WindowsCardHost(const WindowsCardHost&) = delete;
    WindowsCardHost& operator=(const WindowsCardHost&) = delete;

    // The client's pipe and, where the system names it, its process (taken over here).
    void connected(uint64_t client, HANDLE pipe, HANDLE process);
    // Forgets the connection; the desk has given back its cards first.
    void disconnected(uint64_t client);

    windisk::Vetting vet(unsigned drive) override;
    std::optional<uint64_t> hand(const volsvc::Client& client, const volsvc::Request& request,
                                 const windisk::DiskFacts& vetted,
                                 const windisk::DiskIdentity& disk, std::string& why) override;
    // A process handle the connection's thread may wait on for the client's end (duplicated,
    // the caller's to close); null where none is known yet.
    HANDLE watchedProcess(uint64_t client);
    bool giveBack(const volsvc::Client& client, const windisk::DiskIdentity& disk,
                  uint64_t partition) override;
    void log(const volsvc::LogEntry& entry) override;
    // The letters an earlier run of the service wrote down (`written`, the value
    // kTakenLettersValue) and did not live to give back, given back now (see
    // windisk::giveBackTaken); the value goes.
    void giveBackLeftLetters(const std::string& written);

private:
    // The service's handles on a disk for one connection, one per handing, with the access
    // each was opened for.
    struct HeldHandle {
        sdhost::Handle handle;
        uint32_t access;
    };
    using Held = std::vector<HeldHandle>;
    // A disk's volumes, taken once for every connection that holds the disk.
    struct Taken {
        unsigned holders = 0;
        std::unique_ptr<windisk::DiskVolumes> volumes;
    };
    HANDLE targetProcess(uint64_t client, uint32_t claimed, std::string& why);
    // Why the removable-storage and format policies refuse the client `access`; empty if not.
    std::string policyRefusal(uint64_t client, uint32_t access);
    sdhost::Handle openDisk(const windisk::DiskFacts& vetted, const windisk::DiskIdentity& disk,
                            uint32_t access, std::string& why);
    sdhost::Handle openImage(const windisk::DiskIdentity& disk, uint32_t access, std::string& why);
    sdhost::Handle sharedImage(uint32_t number, uint32_t access);
    // Writes down the letters of every held disk; under maps_.
    void writeLetters();
    void takeVolumes(Taken& taken, uint32_t number, std::string& why);

    HANDLE eventLog_;
    CardMap images_;
    volsvc::ServicePolicy policy_;
    sdhost::WindowsVolumes volumeSystem_{false};
    // Over the three maps below, held for lookups and changes only, never while a drive is
    // waited on. A disk's own entries are changed by one thread at a time: the desk calls in
    // under the disk's lock.
    CRITICAL_SECTION maps_;
    std::map<uint64_t, Connection> connections_;
    std::map<std::pair<uint64_t, uint32_t>, Held> held_; // by client and disk number
    std::map<uint32_t, Taken> taken_;                    // by disk number
    std::wstring lettersKey_;
    std::map<uint32_t, std::vector<windisk::TakenLetter>> letters_; // by disk number
};

// The owner and access list of the file at `path` (through `file` where it is open) and of
// every folder above it up to the drive's root; none under Wine, which keeps no file security
// of its own. With `throughLink`, set where a folder on the path is a reparse point or cannot
// be looked at.
std::vector<volsvc::Guard> guardsOfPath(const std::string& path, HANDLE file = nullptr,
                                        bool* throughLink = nullptr);

// DOMAIN\name of the pipe's client, read while impersonating it; empty where it cannot be told.
std::string clientUser(HANDLE pipe);

} // namespace brc::winsvc
