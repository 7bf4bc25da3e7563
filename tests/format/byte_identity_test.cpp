// Every format type over a sweep of cards, with the clock fixed through SOURCE_DATE_EPOCH so
// serials and time stamps repeat: the first 64 MiB and the system area of each image must hash
// exactly as recorded in byte_identity.txt. Any change to what reaches the card shows here.
//
// To record the table afresh (only for an intended change of the bytes on the card):
//   BRC_RECORD_BYTES=$PWD/tests/format/byte_identity.txt build/native/bin/test_format
//       --gtest_filter='ByteIdentity*'   (one command line)
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/cli/cli_run.h"

namespace brc::format_test {
namespace {

constexpr const char* kEpoch = "1767225600"; // 2026-01-01 00:00:00 UTC

enum Types : unsigned { Q = 1, O = 2, E = 4, OE = 8, AllTypes = Q | O | E | OE };

struct IdentityCase {
    const char* name;
    uint64_t userSectors, protectedSectors;
    bool sizeAdjust;
    const char* label;
    unsigned types;
    bool noErase = false;
};
void PrintTo(const IdentityCase& c, std::ostream* os) { *os << c.name; }

// Full overwrites write every sector: they run on the small cards only.
const IdentityCase kCases[] = {
    {"S80", 80, 0, false, "tiny", AllTypes},
    {"S100", 100, 0, false, "", AllTypes},
    {"S2048Adjusted", 2048, 0, true, "one meg", AllTypes},
    {"S4096", 4096, 0, false, "NAME_EXT", AllTypes},
    {"S16384", 16384, 0, false, "LIMIT16", AllTypes},
    {"S16000Protected", 16000, 385, false, "PROT", AllTypes},
    {"S32768", 32768, 0, false, "x", AllTypes, true},
    {"S65500Adjusted", 65500, 0, true, "ADJ", AllTypes},
    {"S100000", 100000, 0, false, "", AllTypes},
    {"S130800", 130800, 0, false, "LOWERED", AllTypes},
    {"S130900", 130900, 0, false, "FAT16 MIN", AllTypes},
    {"S131072", 131072, 0, false, "my card", AllTypes},
    {"S200000ProtectedAdjusted", 200000, 1000, true, "ADJ64", AllTypes},
    {"S262144NoErase", 262144, 0, false, "NOERASE", AllTypes, true},
    {"S500000Protected", 500000, 8192, false, "FAT16 250M", Q | E | OE},
    {"S524288", 524288, 0, false, "Q256", Q | E | OE},
    {"S1048576", 1048576, 0, false, "HALF GIG", Q | E},
    {"S1984000ProtectedAdjusted", 1984000, 30720, true, "SD 1G", Q | E},
    {"S2097152", 2097152, 0, false, "ONE GIG", Q | E},
    {"S3970048", 3970048, 0, false, "TWO GB", Q | E},
    {"S4153344", 4153344, 0, false, "BAND", Q},
    {"S4211712Adjusted", 4211712, 0, true, "LOW16", Q | E},
    {"S4211712", 4211712, 0, false, "MIN32", Q},
    {"S8388608", 8388608, 0, false, "FOUR GIG", Q},
    {"S7744512", 7744512, 0, false, "SDHC", Q | E},
    {"S15523840", 15523840, 0, false, "EIGHT", Q},
    {"S31116288Protected", 31116288, 4096, false, "SIXTEEN", Q | E},
    {"S33554432", 33554432, 0, false, "SIXTEEN2", Q},
    {"S62333952Adjusted", 62333952, 0, true, "THIRTY", Q},
    {"S62333952", 62333952, 0, false, "", Q | E},
    {"S67108863", 67108863, 0, false, "MAX32", Q},
    {"S67108864", 67108864, 0, false, "Ex 32G", Q | E},
    {"S67108864NoErase", 67108864, 0, false, "Ex NoErase", E, true},
    {"S122142720", 122142720, 0, false, "", Q},
    {"S124735488Adjusted", 124735488, 0, true, "sixty-four", Q},
    {"S134217728", 134217728, 0, false, "SDXC 64G", Q | E},
    {"S268435455Protected", 268435455, 2, false, "Grenze", Q},
    {"S268435456", 268435456, 0, false, "128G", Q},
    {"S536870912Protected", 536870912, 65536, true, "Vierteltera", Q},
    {"S1000000000", 1000000000, 0, false, "Giga", Q},
    {"S1073741824Adjusted", 1073741824, 0, true, "Half TiB", Q},
    {"S1073741825", 1073741825, 0, false, "BU128K", Q},
    {"S2147483648", 2147483648u, 0, false, "One TiB", Q},
    {"S4294967295Adjusted", 4294967295u, 0, true, "Max 2TiB", Q},
    {"S4294967295Protected", 4294967295u, 100000, false, "MaxProt", Q},
    {"S4294967295", 4294967295u, 0, false, "\xc3\x9c" "berall", Q},
};

struct TypeName {
    unsigned bit;
    const char* cli;
};
const TypeName kTypes[] = {{Q, "quick"}, {O, "overwrite"}, {E, "erase"}, {OE, "overwrite-erase"}};

std::string shellOut(const std::string& command) {
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (!p) return out;
    char buf[256];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
    return out.substr(0, out.find(' '));
}

// SHA-256 of `count` bytes of the image from byte `offset`; holes read as zeros.
std::string hashRange(const std::string& image, uint64_t offset, uint64_t count) {
    return shellOut("dd if='" + image + "' bs=1M iflag=skip_bytes,count_bytes skip=" +
                    std::to_string(offset) + " count=" + std::to_string(count) +
                    " status=none | sha256sum");
}

std::map<std::string, std::string> recordedTable() {
    std::map<std::string, std::string> table;
    std::ifstream in(std::string(BRC_SOURCE_DIR_PATH) + "/tests/format/byte_identity.txt");
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        const size_t space = line.find(' ');
        table[line.substr(0, space)] = line.substr(space + 1);
    }
    return table;
}

class ByteIdentity : public ::testing::TestWithParam<IdentityCase> {};

TEST_P(ByteIdentity, EveryFormatTypeWritesTheRecordedBytes) {
    const IdentityCase& c = GetParam();
    ::setenv("SOURCE_DATE_EPOCH", kEpoch, 1);
    const char* record = std::getenv("BRC_RECORD_BYTES");
    const auto table = record ? std::map<std::string, std::string>{} : recordedTable();
    ScratchDir dir(std::string("bytes-") + c.name);
    const std::string image = (dir.path / "card.img").string();
    const std::string options = std::string(" --label '") + c.label + "'" + (c.sizeAdjust ? " --size-adjust" : "");
    for (const TypeName& type : kTypes) {
        if (!(c.types & type.bit)) continue;
        SCOPED_TRACE(type.cli);
        ASSERT_EQ(runCli("card create " + image + " --force --sectors " + std::to_string(c.userSectors) +
                         " --protected " + std::to_string(c.protectedSectors) + (c.noErase ? " --no-erase" : ""))
                      .status, 0);
        auto plan = parseFlatJson(runCli("plan " + image + " --json" + options).out);
        ASSERT_EQ(plan["result"], "0");
        auto result = parseFlatJson(runCli("format " + image + " --yes --json --type " + type.cli + options).out);
        const uint64_t start = std::stoull(plan["partitionStart"]) * 512;
        const uint64_t system = std::stoull(plan["systemSectors"]) * 512;
        const uint64_t head = std::min<uint64_t>(c.userSectors * 512, uint64_t{64} << 20);
        const std::string key = std::string(c.name) + "/" + type.cli;
        const std::string got = "result=" + result["result"] + " status=" + result["status"] + " head=" +
                                hashRange(image, 0, head) + " system=" + hashRange(image, start, system);
        if (record) {
            std::ofstream(record, std::ios::app) << key << " " << got << "\n";
            continue;
        }
        const auto want = table.find(key);
        ASSERT_NE(want, table.end()) << key << " is not in byte_identity.txt";
        EXPECT_EQ(got, want->second) << key;
    }
}

INSTANTIATE_TEST_SUITE_P(Cards, ByteIdentity, ::testing::ValuesIn(kCases),
                         [](const auto& p) { return std::string(p.param.name); });

} // namespace
} // namespace brc::format_test
