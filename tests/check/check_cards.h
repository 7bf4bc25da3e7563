// Cards for the check's suites: virtual cards made by the built command, the general tools run
// through the shell.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>

#include "tests/cli/cli_run.h"

// The general tools live in sbin, which a test's PATH may lack.
inline int sh(const std::string& command) {
    return std::system(
        ("{ PATH=\"$PATH:/usr/sbin:/sbin\"; set -e; " + command + "; } >/dev/null 2>&1").c_str());
}

inline bool havePeers() { return sh("command -v mkfs.fat && command -v mkfs.exfat") == 0; }

// A new virtual card of `sectors` user sectors.
inline std::string card(const ScratchDir& dir, const std::string& name, uint64_t sectors,
                        uint32_t protectedSectors = 0) {
    const std::string img = (dir.path / name).string();
    EXPECT_EQ(runCli("card create " + img + " --force --sectors " + std::to_string(sectors) +
                     " --protected " + std::to_string(protectedSectors)).status, 0);
    return img;
}
