// The driver library's way to the volume service, on real pipes: without the service nothing is
// asked, and a pipe of the service's name that another process serves is not believed.
#include "drivers/windows/service_client.h"

#include <gtest/gtest.h>

#include <thread>

#include "device/sdhost_abi.h"
#include "drivers/volsvc/pipe_protocol.h"

namespace brc::sdhost {
namespace {

std::wstring pipeName() {
    const std::string n = volsvc::kPipeName;
    return std::wstring(n.begin(), n.end());
}

TEST(ServiceClient, WithoutTheServiceNothingIsHanded) {
    uint32_t code = 1;
    std::string why;
    const Handle h = diskFromService(4, true, std::nullopt, code, why);
    EXPECT_FALSE(h.ok());
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(why, "");
}

// Anyone logged on may serve an instance of the pipe; its "handle" would name whatever this
// process holds under that number.
TEST(ServiceClient, APipeServedByAnotherProcessThanTheServiceIsNotBelieved) {
    if (!GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetNamedPipeServerProcessId"))
        GTEST_SKIP() << "this system cannot tell a pipe's server (XP)";
    const HANDLE pipe = CreateNamedPipeW(pipeName().c_str(), PIPE_ACCESS_DUPLEX,
                                         PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1,
                                         512, 512, 0, nullptr);
    ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
    bool asked = false;
    std::thread impostor([&] {
        if (!ConnectNamedPipe(pipe, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) return;
        uint8_t request[volsvc::kMaxRequestBytes];
        DWORD length = 0;
        if (!ReadFile(pipe, request, sizeof request, &length, nullptr)) return;
        asked = true;
        volsvc::Answer a;
        a.handle = reinterpret_cast<uintptr_t>(GetCurrentProcess());
        const std::vector<uint8_t> out = volsvc::encodeAnswer(a);
        DWORD written = 0;
        WriteFile(pipe, out.data(), static_cast<DWORD>(out.size()), &written, nullptr);
    });
    uint32_t code = 1;
    std::string why;
    Handle h = diskFromService(4, true, std::nullopt, code, why);
    closeServiceConnection();
    impostor.join();
    CloseHandle(pipe);
    EXPECT_FALSE(asked);
    EXPECT_FALSE(h.ok());
    h.release(); // never closed: not ours
    EXPECT_NE(why.find("not the volume service's"), std::string::npos) << why;
}

} // namespace
} // namespace brc::sdhost
