// A per-test scratch directory under the test framework's temporary directory, named
// `<name>-<pid>`, created on construction and removed with everything in it afterwards.
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <string>

namespace brc::test {

struct ScratchDir {
    std::filesystem::path path;
    explicit ScratchDir(const std::string& name)
        : path(std::filesystem::path(::testing::TempDir()) / (name + "-" + std::to_string(::getpid()))) {
        std::filesystem::create_directories(path);
    }
    ~ScratchDir() { std::filesystem::remove_all(path); }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
};

} // namespace brc::test
