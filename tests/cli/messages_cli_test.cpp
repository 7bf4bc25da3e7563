// Every refusal and failure says why in a sentence of its own, and says it once.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>

#include <fstream>

#include "tests/cli/cli_run.h"

namespace {

size_t countOf(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

struct Case {
    const char* name;
    const char* setup;    // what is made in the scratch folder before the run
    const char* command;  // run with @ replaced by the scratch folder
    int status;
    const char* says;     // a part of the sentence that gives the cause
};

const Case kCases[] = {
    // Arguments: exit 2.
    {"device node", "", "plan /dev/null", 2, "'/dev/null' is a character device, not an image"},
    {"directory", "", "plan @", 2, "is a directory, not an image"},
    {"fifo", "fifo", "format @/f --yes", 2, "is a FIFO, not an image"},
    {"one letter is a path", "", "plan E", 2, "there is no image at 'E'"},
    {"size quoted whole", "", "card create @/n.img --size 16MM", 2, "size '16MM' is not a number"},
    {"repeated value", "card", "plan @/c.img --label a --label=b", 2, "--label is given more than once"},
    {"repeated flag", "card", "format @/c.img --yes --yes", 2, "--yes is given more than once"},
    {"label not UTF-8", "card", "plan @/c.img --label \"$(printf '\\377\\376')\"", 2, "the label is not valid UTF-8"},
    {"semicolon in path", "semicolon", "plan '@/a;b.img'", 2, "has a ';' in its path"},
    {"semicolon in a new card's path", "", "card create '@/a;b.img' --size 1M", 2,
     "has a ';' in its path"},
    {"missing image", "", "format E: --yes", 2, "there is no image at '@/gone.img' (behind E:)"},
    {"missing image, plan", "", "plan E:", 2, "there is no image at '@/gone.img' (behind E:)"},
    {"missing image, check", "", "check E:", 2, "there is no image at '@/gone.img' (behind E:)"},
    {"card without a size", "", "card create @/n.img", 2,
     "give exactly one of --sectors and --size"},
    {"card of no sectors", "", "card create @/n.img --sectors 0", 2,
     "the user area must hold at least one sector"},
    {"card of part of a sector", "", "card create @/n.img --size 1000", 2,
     "the size 1000 is not a whole number of 512-byte sectors"},
    {"card past the largest", "", "card create @/n.img --size 4T", 2,
     "is above the largest user area"},
    {"format without a terminal", "card", "format @/c.img", 2,
     "without a terminal to confirm on, format needs --yes"},
    // Cards that cannot be formatted: the system's text, then the cause; exit 1.
    {"short image", "short", "format E: --yes", 1, "holds 1,000 bytes, not a whole number of 512-byte sectors"},
    {"protected area too large", "protected", "format @/c.img --yes", 1,
     "the protected area (2,000,000 sectors) is larger than the user area (140,000 sectors)"},
    {"refused band", "band", "format @/c.img --yes", 1, "a user area of 4,194,304 sectors lies in the band"},
    {"vanished card", "vanish", "format @/c.img --yes", 1, "the card failed a transfer during the format"},
    // Counts of one are singular.
    {"one sector", "", "card create @/one.img --size 512", 0, "1 sector (512 bytes), protected area 0 sectors"},
    // A device that is not there is a failure, not a usage error.
    {"no such device", "", "format /dev/brc-no-such-card --yes", 1, "no such device: /dev/brc-no-such-card"},
    {"check of no such device", "", "check /dev/brc-no-such-card", 1, "no such device: /dev/brc-no-such-card"},
    // A refused label says why, in words.
    {"label too long", "card", "format @/c.img --yes -L ABCDEFGHIJKLMN", 1,
     "'ABCDEFGHIJKLMN' has 14 characters; a FAT label holds 11; nothing was written"},
    {"label outside the code page", "card", "format @/c.img --yes -L ФОТО", 1,
     "'Ф' is not in code page 437; try --codepage 866"},
    {"label character plan refuses", "card", "plan @/c.img -L 'a*b'", 1, "'*' is not allowed in a FAT label"},
    // Upper-cased as the layout upper-cases it: ÿ becomes Ÿ, which code page 437 lacks.
    {"label that upper-cases outside the code page", "card", "format @/c.img --yes -L ÿ", 1,
     "'Ÿ' is not in code page 437"},
    // The driver library's code only with -v.
    {"identify fails", "identify", "format @/c.img --yes --json", 1, "the card did not report its capacity\""},
    {"identify fails, verbose", "identify", "format @/c.img -yv --json", 1,
     "the card did not report its capacity (driver code 0x103)"},
};

std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

class Messages : public testing::TestWithParam<Case> {};

TEST_P(Messages, SayWhyOnce) {
    const Case& c = GetParam();
    ScratchDir dir("messages");
    const std::string at = dir.path.string(), card = at + "/c.img";
    const std::string setup = c.setup;
    auto create = [&](const std::string& options) {
        ASSERT_EQ(runCli("card create " + card + " " + options).status, 0);
    };
    if (setup == "fifo") {
        ASSERT_EQ(::mkfifo((at + "/f").c_str(), 0600), 0);
    }
    if (setup == "card" || setup == "vanish" || setup == "identify") create("--size 64M");
    if (setup == "semicolon") {
        // Made as another program would: card create refuses the name.
        std::ofstream(at + "/a;b.img", std::ios::binary);
        std::filesystem::resize_file(at + "/a;b.img", 64 << 20);
    }
    if (setup == "protected") create("--sectors 140000 --protected 2000000");
    if (setup == "band") create("--size 2G");
    if (setup == "vanish" || setup == "identify") {
        std::ofstream sidecar(card + ".card", std::ios::app);
        sidecar << (setup == "vanish" ? "vanish_after_writes = 1\n" : "fail_identify = 0x103\n");
    }
    const bool drive = std::string(c.command).find("E:") != std::string::npos;
    if (drive) {
        if (setup == "short") {
            create("--size 64M");
            ASSERT_EQ(::truncate(card.c_str(), 1000), 0);
        }
        ::setenv("BRINDLECARD_CARDS", ("E=" + (setup == "short" ? card : at + "/gone.img")).c_str(), 1);
    }
    const CliRun run = runCli(replaceAll(c.command, "@", at), true);
    if (drive) ::unsetenv("BRINDLECARD_CARDS");
    EXPECT_EQ(run.status, c.status) << run.out;
    const std::string says = replaceAll(c.says, "@", at);
    EXPECT_EQ(countOf(run.out, says), 1u) << run.out;
    // A driver library's own line is not repeated by the library of the other route.
    for (const char* library : {"qhost32: ", "quillhost: "}) {
        const size_t first = run.out.find(library);
        if (first == std::string::npos) continue;
        const size_t end = run.out.find('\n', first);
        const std::string line = run.out.substr(first + std::strlen(library), end - first - std::strlen(library));
        EXPECT_EQ(countOf(run.out, line), 1u) << run.out;
    }
}

std::string caseName(const testing::TestParamInfo<Case>& param) {
    std::string name = param.param.name;
    for (char& ch : name)
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
    return name;
}

INSTANTIATE_TEST_SUITE_P(Cli, Messages, testing::ValuesIn(kCases), caseName);

} // namespace
