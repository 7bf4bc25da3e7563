// A per-test scratch directory under the test framework's temporary directory, named
// `<name>-<pid>`, created on construction and removed with everything in it afterwards.
#pragma once

#include <gtest/gtest.h>

#if defined(_WIN32)
#include <process.h>
#else
#include <unistd.h>
#endif

#include <filesystem>
#include <string>

namespace brc::test {

inline int processId() {
#if defined(_WIN32)
    return _getpid();
#else
    return ::getpid();
#endif
}

struct ScratchDir {
    std::filesystem::path path;
    explicit ScratchDir(const std::string& name)
        : path(std::filesystem::path(::testing::TempDir()) / (name + "-" + std::to_string(processId()))) {
        std::filesystem::create_directories(path);
    }
    ~ScratchDir() { std::filesystem::remove_all(path); }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
};

} // namespace brc::test
