// The volume service's pipe: its instances, one thread per connected client, and the desk
// (drivers/volsvc/service_desk.h) behind its lock and one lock per disk.
#pragma once

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <optional>

#include "drivers/volsvc/service_desk.h"
#include "drivers/winsvc/card_host.h"

namespace brc::winsvc {

// The desk's locks as critical sections; a disk's is made at its first use and kept.
class SectionLocks final : public volsvc::DeskLocks {
public:
    SectionLocks();
    ~SectionLocks() override;
    SectionLocks(const SectionLocks&) = delete;
    SectionLocks& operator=(const SectionLocks&) = delete;
    void enterDesk() override { EnterCriticalSection(&desk_); }
    void leaveDesk() override { LeaveCriticalSection(&desk_); }
    void enterDisk(uint32_t number) override;
    void leaveDisk(uint32_t number) override;

private:
    CRITICAL_SECTION desk_;
    CRITICAL_SECTION disksMade_; // over the map; never held while waiting for a disk
    std::map<uint32_t, CRITICAL_SECTION> disks_;
};

class PipeServer {
public:
    // Serves until `stop` is set, with the virtual cards `images` and the readers `policy`
    // allows; refusals go to `eventLog` (null: nowhere). With `console`, every answer is also
    // told there in one line.
    // `lettersKey`: see WindowsCardHost.
    PipeServer(HANDLE stop, HANDLE eventLog, CardMap images, volsvc::ServicePolicy policy,
               FILE* console, std::wstring lettersKey = {});
    ~PipeServer();
    PipeServer(const PipeServer&) = delete;
    PipeServer& operator=(const PipeServer&) = delete;

    // 0 once stopped, or the system's error when the pipe could not be made ours (another
    // process created it first: its clients would talk to that process instead).
    // Creates the pipe's first instance, so that the name is the service's before anything
    // else runs: 0, or the error as run() gives it. run() calls it where nobody did.
    DWORD listen();
    // `listening` is called once the pipe's first instance is ours.
    DWORD run(void (*listening)() = nullptr);
    void giveBackLeftLetters(const std::string& written) { host_.giveBackLeftLetters(written); }

    // One client's connection, from its thread (public for the thread's entry).
    void serveClient(HANDLE pipe, uint64_t id);

private:
    HANDLE createInstance(bool first, DWORD& error);
    // Who is at the pipe's end; nullopt where the system names a process the service cannot open.
    std::optional<volsvc::Client> identify(HANDLE pipe, uint64_t id);
    // The answer to one message.
    std::vector<uint8_t> answer(const volsvc::Client& client, const uint8_t* data, size_t length);
    void letGo(const volsvc::Client& client);
    void tell(const volsvc::Client& client, const uint8_t* data, size_t length,
              const std::vector<uint8_t>& out);

    HANDLE stop_;
    HANDLE eventLog_;
    FILE* console_;
    void* security_ = nullptr;            // the pipe's security descriptor (LocalFree)
    HANDLE first_ = INVALID_HANDLE_VALUE; // the first instance, from listen() until run()
    DWORD listenError_ = 0;
    SectionLocks locks_;
    WindowsCardHost host_;
    volsvc::ServiceDesk desk_{host_, &locks_};
};

} // namespace brc::winsvc
