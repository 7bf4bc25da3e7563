// Runs the brindlecard command as a user would and collects what it prints.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "tests/support/scratch_dir.h"

// Each test process runs the command under a runtime folder of its own: the single-instance
// lock lives there, and ctest runs tests side by side.
struct OwnRuntimeDir {
    std::string path;
    OwnRuntimeDir() {
        char pattern[] = "/tmp/brc-runtime-XXXXXX";
        if (mkdtemp(pattern)) {
            path = pattern;
            setenv("XDG_RUNTIME_DIR", pattern, 1);
        }
    }
    ~OwnRuntimeDir() {
        std::error_code ignored;
        if (!path.empty()) std::filesystem::remove_all(path, ignored);
    }
};
inline OwnRuntimeDir ownRuntimeDir;

// The command speaks the locale's language: the suites expect the system's own (Russian) texts
// unless a run asks for another locale, and code page 437, the C locale's, for labels.
struct SystemLanguage {
    SystemLanguage() {
        for (const char* name : {"LANGUAGE", "LC_ALL", "LC_CTYPE"}) unsetenv(name);
        setenv("LANG", "C", 1);
        setenv("LC_MESSAGES", "ru_RU.UTF-8", 1);
    }
};
inline SystemLanguage systemLanguage;

struct CliRun {
    int status = -1;
    std::string out;
};

// A shell command line: its standard output and exit status.
inline CliRun runShell(const std::string& command) {
    CliRun r;
    FILE* p = popen(command.c_str(), "r");
    if (!p) return r;
    char buf[4096];
    while (size_t n = fread(buf, 1, sizeof buf, p)) r.out.append(buf, n);
    const int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

// `withErrors` keeps standard error in `out`, after standard output's lines as they come;
// `environment` (NAME=value ...) is set for this run only.
inline CliRun runCli(const std::string& args, bool withErrors = false,
                     const std::string& environment = "") {
    return runShell(environment + " " + std::string(BRINDLECARD_EXE) + " " + args +
                    (withErrors ? " 2>&1 </dev/null" : " 2>/dev/null </dev/null"));
}

// The command started in the background with `args`, its standard output into `outFile` and
// its standard error there too (`withErrors`) or nowhere, in `folder` when one is given; the
// child's pid.
inline pid_t startCli(const std::vector<std::string>& args, const std::string& outFile,
                      bool withErrors = false, const std::string& folder = "") {
    const pid_t pid = fork();
    if (pid == 0) {
        if ((!folder.empty() && chdir(folder.c_str()) != 0) ||
            !std::freopen(outFile.c_str(), "w", stdout) ||
            (withErrors ? dup2(fileno(stdout), 2) < 0 : !std::freopen("/dev/null", "w", stderr)))
            _exit(127);
        std::vector<char*> argv{const_cast<char*>(BRINDLECARD_EXE)};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(BRINDLECARD_EXE, argv.data());
        _exit(127);
    }
    return pid;
}

// Whether a card's sector 0 is still all zeros: nothing was written to it.
inline bool sectorZeroBlank(const std::string& img) {
    std::ifstream in(img, std::ios::binary);
    std::string sector(512, '\1');
    in.read(sector.data(), 512);
    return sector == std::string(512, '\0');
}

// Flat JSON object of numbers and strings, as the command prints it.
inline std::map<std::string, std::string> parseFlatJson(const std::string& text) {
    std::map<std::string, std::string> out;
    size_t i = text.find('{');
    if (i == std::string::npos) return out;
    ++i;
    while (i < text.size() && text[i] != '}') {
        size_t k1 = text.find('"', i), k2 = text.find('"', k1 + 1);
        std::string key = text.substr(k1 + 1, k2 - k1 - 1);
        i = k2 + 2; // past the colon
        std::string value;
        if (text[i] == '"') {
            size_t e = text.find('"', i + 1);
            value = text.substr(i + 1, e - i - 1);
            i = e + 1;
        } else {
            size_t e = text.find_first_of(",}", i);
            value = text.substr(i, e - i);
            i = e;
        }
        out[key] = value;
        if (text[i] == ',') ++i;
    }
    return out;
}

// A per-test scratch directory, removed afterwards.
using brc::test::ScratchDir;
