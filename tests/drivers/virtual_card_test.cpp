// The virtual card's logic without a library around it: the sidecar parser, the identification
// figures, the retrying of failed transfers and the punching of zero writes, with a backing file
// that fails on demand.
#include "drivers/virtual_card.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <vector>

#include "device/sdhost_abi.h"

namespace brc::sdhost {
namespace {

const std::string kSidecar = "/cards/c.img.card";

CardConfig parsed(const std::string& text) {
    CardConfig config;
    std::string error;
    EXPECT_TRUE(parseSidecar(text, kSidecar, config, error)) << error;
    return config;
}

TEST(Sidecar, EmptyTextGivesTheDefaults) {
    CardConfig c = parsed("");
    EXPECT_EQ(c.protectedSectors, 0u);
    EXPECT_FALSE(c.writeProtectSwitch);
    EXPECT_TRUE(c.eraseSupported);
    EXPECT_EQ(c.mid, (std::array<uint8_t, 8>{0x03, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(c.failWriteCall, 0u);
    EXPECT_FALSE(c.vanishAfterWrites.has_value());
    EXPECT_EQ(c.failEraseCall, 0u);
    EXPECT_EQ(c.failIdentify, 0u);
}

TEST(Sidecar, ReadsEveryKeyWithCommentsBlankLinesAndSpacing) {
    CardConfig c = parsed("# a test card\r\n"
                          "\n"
                          "   # indented comment\n"
                          "protected_sectors = 0x10000\r\n"
                          "\twrite_protect_switch=1\n"
                          "erase   =   0   \n"
                          "mid = a1B2\n"
                          "fail_write_call = 7\n"
                          "fail_write_code = 0X9995\n"
                          "vanish_after_writes = 0\n"
                          "fail_erase_call = 012\n"
                          "fail_identify = 4100"); // no final newline
    EXPECT_EQ(c.protectedSectors, 65536u);
    EXPECT_TRUE(c.writeProtectSwitch);
    EXPECT_FALSE(c.eraseSupported);
    EXPECT_EQ(c.mid, (std::array<uint8_t, 8>{0xA1, 0xB2, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(c.failWriteCall, 7u);
    EXPECT_EQ(c.failWriteCode, 0x9995u);
    EXPECT_EQ(c.vanishAfterWrites, 0u);
    EXPECT_EQ(c.failEraseCall, 12u); // decimal, leading zero and all
    EXPECT_EQ(c.failIdentify, 4100u);
}

TEST(Sidecar, MidFillsEightBytesFromTheLeft) {
    EXPECT_EQ(parsed("mid = 0123456789abcdef").mid,
              (std::array<uint8_t, 8>{0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}));
    EXPECT_EQ(parsed("mid = 00").mid, (std::array<uint8_t, 8>{}));
    EXPECT_EQ(parsed("mid = none").mid, std::nullopt);
}

TEST(Sidecar, ReadsACounterfeitAndADroppedWrite) {
    CardConfig c = parsed("drop_write_call = 3\n\ncounterfeit =  wraparound \t 0x8000 ");
    EXPECT_EQ(c.dropWriteCall, 3u);
    EXPECT_EQ(c.counterfeit, Counterfeit::Wraparound);
    EXPECT_EQ(c.realBytes, 0x8000u);
    EXPECT_EQ(c.counterfeitLine, 3u);
    c = parsed("counterfeit = limbo 2199023255040"); // the most a card of 2^32 - 1 sectors holds
    EXPECT_EQ(c.counterfeit, Counterfeit::Limbo);
    EXPECT_EQ(c.realBytes, 2199023255040u);
    EXPECT_EQ(parsed("").counterfeit, Counterfeit::None);
    EXPECT_EQ(parsed("cache = 0x100000").cacheBytes, 1u << 20);
    EXPECT_EQ(parsed("").cacheBytes, 0u);
}

TEST(Sidecar, ReadsHowACounterfeitOrFailingCardMisbehaves) {
    const CardConfig c = parsed("wrap_spares = 4096\nlost_reads = stale\nlost_writes = fail\n"
                                "bad_sectors = 10 2\nunwritable_sectors = 0x20 1");
    EXPECT_EQ(c.wrapSpares, 4096u);
    EXPECT_EQ(c.lostReads, LostReads::Stale);
    EXPECT_TRUE(c.lostWritesFail);
    EXPECT_EQ(c.badFirst, 10u);
    EXPECT_EQ(c.badCount, 2u);
    EXPECT_EQ(c.unwritableFirst, 32u);
    EXPECT_EQ(c.unwritableCount, 1u);
    EXPECT_EQ(parsed("lost_reads = ones").lostReads, LostReads::Ones);
    EXPECT_EQ(parsed("").lostReads, LostReads::Zeros);
}

TEST(Sidecar, FailWriteCodeDefaultsToIo) {
    EXPECT_EQ(parsed("fail_write_call = 1").failWriteCode, SDHOST_ERR_IO);
}

TEST(Sidecar, LargestValuesAreAccepted) {
    EXPECT_EQ(parsed("protected_sectors = 4294967295").protectedSectors, 0xFFFFFFFFu);
    EXPECT_EQ(parsed("protected_sectors = 0xFFFFFFFF").protectedSectors, 0xFFFFFFFFu);
}

struct BadSidecar {
    const char* text;
    const char* message; // after "<path>:"
};

void PrintTo(const BadSidecar& c, std::ostream* os) { *os << '"' << c.text << '"'; }

class SidecarRefuses : public testing::TestWithParam<BadSidecar> {};

TEST_P(SidecarRefuses, NamingTheFileLineAndProblem) {
    CardConfig config;
    std::string error;
    EXPECT_FALSE(parseSidecar(GetParam().text, kSidecar, config, error));
    EXPECT_EQ(error, kSidecar + ":" + GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, SidecarRefuses,
    testing::Values(
        BadSidecar{"foo = 1", "1: unknown key 'foo'"},
        BadSidecar{"Erase = 1", "1: unknown key 'Erase'"},
        BadSidecar{"# c\n\nerase = 2\n", "3: value '2' of 'erase' is not 0 or 1"},
        BadSidecar{"write_protect_switch = yes",
                   "1: value 'yes' of 'write_protect_switch' is not 0 or 1"},
        BadSidecar{"erase = 1\nerase=1", "2: duplicate key 'erase' (first on line 1)"},
        BadSidecar{"protected_sectors", "1: 'protected_sectors' is not of the form key = value"},
        BadSidecar{" = 3", "1: '= 3' is not of the form key = value"},
        BadSidecar{"protected_sectors =",
                   "1: value '' of 'protected_sectors' is not a decimal or 0x-hex number"},
        BadSidecar{"protected_sectors = -1",
                   "1: value '-1' of 'protected_sectors' is not a decimal or 0x-hex number"},
        BadSidecar{"protected_sectors = 12abc",
                   "1: value '12abc' of 'protected_sectors' is not a decimal or 0x-hex number"},
        BadSidecar{"protected_sectors = 0x",
                   "1: value '0x' of 'protected_sectors' is not a decimal or 0x-hex number"},
        BadSidecar{"protected_sectors = 1 # comment",
                   "1: value '1 # comment' of 'protected_sectors' is not a decimal or 0x-hex "
                   "number"},
        BadSidecar{"protected_sectors = 4294967296",
                   "1: value '4294967296' of 'protected_sectors' is out of range (0 to "
                   "4294967295)"},
        BadSidecar{"protected_sectors = 0x100000000",
                   "1: value '0x100000000' of 'protected_sectors' is out of range (0 to "
                   "4294967295)"},
        BadSidecar{"fail_write_call = 0",
                   "1: value '0' of 'fail_write_call' is out of range (1 to 4294967295)"},
        BadSidecar{"fail_write_call = 1\nfail_write_code = 0",
                   "2: value '0' of 'fail_write_code' is out of range (1 to 4294967295)"},
        BadSidecar{"\nfail_write_code = 5", "2: fail_write_code without fail_write_call"},
        BadSidecar{"fail_erase_call = 0",
                   "1: value '0' of 'fail_erase_call' is out of range (1 to 4294967295)"},
        BadSidecar{"fail_identify = 0",
                   "1: value '0' of 'fail_identify' is out of range (1 to 4294967295)"},
        BadSidecar{"vanish_after_writes = ten",
                   "1: value 'ten' of 'vanish_after_writes' is not a decimal or 0x-hex number"},
        BadSidecar{"mid = 123",
                   "1: value '123' of 'mid' is not an even count of 2 to 16 hex digits"},
        BadSidecar{"mid = 001122334455667788",
                   "1: value '001122334455667788' of 'mid' is not an even count of 2 to 16 hex "
                   "digits"},
        BadSidecar{"mid = 0x12",
                   "1: value '0x12' of 'mid' is not an even count of 2 to 16 hex digits"},
        BadSidecar{"mid =", "1: value '' of 'mid' is not an even count of 2 to 16 hex digits"},
        BadSidecar{"drop_write_call = 0",
                   "1: value '0' of 'drop_write_call' is out of range (1 to 4294967295)"},
        BadSidecar{"counterfeit = sideways 1024",
                   "1: value 'sideways 1024' of 'counterfeit' is not 'wraparound BYTES' or 'limbo "
                   "BYTES'"},
        BadSidecar{"counterfeit = limbo",
                   "1: value 'limbo' of 'counterfeit' is not 'wraparound BYTES' or 'limbo BYTES'"},
        BadSidecar{"counterfeit = 1024",
                   "1: value '1024' of 'counterfeit' is not 'wraparound BYTES' or 'limbo BYTES'"},
        BadSidecar{"counterfeit = limbo 1024 2048",
                   "1: value 'limbo 1024 2048' of 'counterfeit' is not 'wraparound BYTES' or "
                   "'limbo BYTES'"},
        BadSidecar{"counterfeit = Limbo 1024",
                   "1: value 'Limbo 1024' of 'counterfeit' is not 'wraparound BYTES' or 'limbo "
                   "BYTES'"},
        BadSidecar{"counterfeit = wraparound 1G",
                   "1: value 'wraparound 1G' of 'counterfeit' does not give its bytes as a decimal "
                   "or 0x-hex number"},
        BadSidecar{"counterfeit = wraparound 1000",
                   "1: value 'wraparound 1000' of 'counterfeit' does not give a multiple of 512 "
                   "bytes from 512 to 2199023255040"},
        BadSidecar{"counterfeit = limbo 0",
                   "1: value 'limbo 0' of 'counterfeit' does not give a multiple of 512 bytes from "
                   "512 to 2199023255040"},
        BadSidecar{"counterfeit = limbo 2199023255552",
                   "1: value 'limbo 2199023255552' of 'counterfeit' does not give a multiple of "
                   "512 bytes from 512 to 2199023255040"},
        BadSidecar{"wrap_spares = 1000",
                   "1: value '1000' of 'wrap_spares' is not a multiple of 512 bytes"},
        BadSidecar{"lost_reads = random",
                   "1: value 'random' of 'lost_reads' is not zeros, ones, stale or fail"},
        BadSidecar{"lost_writes = maybe", "1: value 'maybe' of 'lost_writes' is not lost or fail"},
        BadSidecar{"bad_sectors = 5", "1: value '5' of 'bad_sectors' is not 'FIRST COUNT'"},
        BadSidecar{"unwritable_sectors = 5 0",
                   "1: value '5 0' of 'unwritable_sectors' is not 'FIRST COUNT'"},
        BadSidecar{"counterfeit = limbo 0x1000000000000000000",
                   "1: value 'limbo 0x1000000000000000000' of 'counterfeit' does not give a "
                   "multiple of 512 bytes from 512 to 2199023255040"}));

struct GeometryCase {
    uint32_t user, protectedSectors;
    uint32_t heads, sectorsPerTrack, cylinders, total;
    uint8_t cardType;
    uint32_t eraseBlock;
};

void PrintTo(const GeometryCase& c, std::ostream* os) {
    *os << c.user << " + " << c.protectedSectors << " sectors";
}

class Geometry : public testing::TestWithParam<GeometryCase> {};

TEST_P(Geometry, FollowsTheCapacity) {
    const GeometryCase& c = GetParam();
    CardGeometry g = geometryOf(c.user, c.protectedSectors);
    EXPECT_EQ(g.userSectors, c.user);
    EXPECT_EQ(g.heads, c.heads);
    EXPECT_EQ(g.sectorsPerTrack, c.sectorsPerTrack);
    EXPECT_EQ(g.cylinders, c.cylinders);
    EXPECT_EQ(g.totalSectors, c.total);
    EXPECT_EQ(g.cardType, c.cardType);
    EXPECT_EQ(g.protectedSectors, c.protectedSectors);
    EXPECT_EQ(g.eraseBlockSectors, c.eraseBlock);
}

INSTANTIATE_TEST_SUITE_P(
    Capacities, Geometry,
    testing::Values(GeometryCase{1, 0, 2, 16, 0, 1, 0, 128},
                    GeometryCase{4096, 0, 2, 16, 128, 4096, 0, 128},
                    GeometryCase{4097, 0, 2, 32, 64, 4097, 0, 128},
                    GeometryCase{1032192, 100, 16, 63, 1024, 1032292, 0, 128},
                    GeometryCase{4194304, 0, 128, 63, 520, 4194304, 0, 128},  // 2 GiB: SDSC
                    GeometryCase{4194305, 0, 128, 63, 520, 4194305, 1, 8192}, // SDHC
                    GeometryCase{8257536, 0, 128, 63, 1024, 8257536, 1, 8192},
                    GeometryCase{8257537, 0, 255, 63, 514, 8257537, 1, 8192},
                    GeometryCase{67108864, 0, 255, 63, 4177, 67108864, 1, 8192}, // 32 GiB
                    GeometryCase{67108865, 0, 255, 63, 4177, 67108865, 2, 8192}, // SDXC
                    GeometryCase{0xFFFFFFFFu, 10, 255, 63, 267349, 0xFFFFFFFFu, 2, 8192}));

// A backing file in memory whose next `failures` attempts fail.
class FlakyFile final : public BackingFile {
public:
    explicit FlakyFile(size_t sectors) : bytes(sectors * kSectorSize, 0x5A) {}
    bool read(void* buffer, size_t length, uint64_t offset) override {
        if (!attempt()) return false;
        std::memcpy(buffer, bytes.data() + offset, length);
        return true;
    }
    bool write(const void* buffer, size_t length, uint64_t offset) override {
        if (!attempt()) return false;
        std::memcpy(bytes.data() + offset, buffer, length);
        return true;
    }
    bool zero(uint64_t offset, uint64_t length) override {
        if (!attempt()) return false;
        std::memset(bytes.data() + offset, 0, length);
        return true;
    }
    bool punch(uint64_t offset, uint64_t length) override {
        if (!punchable || !attempt()) return false;
        std::memset(bytes.data() + offset, 0, length);
        punched.emplace_back(offset / kSectorSize, (offset + length) / kSectorSize);
        return true;
    }

    std::vector<uint8_t> bytes;
    unsigned failures = 0;
    unsigned attempts = 0;
    unsigned failOn = 0; // this attempt fails too (counted from 1)
    bool punchable = true;
    std::vector<std::pair<uint64_t, uint64_t>> punched; // sector ranges, end exclusive

private:
    bool attempt() {
        ++attempts;
        if (attempts == failOn) return false;
        if (failures == 0) return true;
        --failures;
        return false;
    }
};

const Host kPlain{"test", SDHOST_ERR_WRITE_PROTECT_R2, 0};
const Host kRetrying{"test", SDHOST_ERR_WRITE_PROTECT_R2, 2};

struct CardOnFlakyFile {
    explicit CardOnFlakyFile(const Host& host, const CardConfig& config = {},
                             bool readOnly = false) {
        auto owned = std::make_unique<FlakyFile>(64);
        file = owned.get();
        card = std::make_unique<VirtualCard>(std::move(owned), 64, readOnly, config, host);
    }
    FlakyFile* file;
    std::unique_ptr<VirtualCard> card;
};

using Operation = std::function<uint32_t(VirtualCard&)>;
const std::vector<std::pair<const char*, Operation>> kTransfers = {
    {"read",
     [](VirtualCard& c) {
         std::vector<uint8_t> b(2 * 512);
         return c.read(b.data(), 2, 3);
     }},
    {"write",
     [](VirtualCard& c) {
         std::vector<uint8_t> b(2 * 512, 1);
         return c.write(b.data(), 2, 3);
     }},
    {"erase", [](VirtualCard& c) { return c.erase(3, 4); }},
};

struct RetryCase {
    const Host* host;
    unsigned failures;
    uint32_t result;
    unsigned attempts;
};

void PrintTo(const RetryCase& c, std::ostream* os) {
    *os << c.host->retries << " retries, " << c.failures << " failures";
}

class Retries : public testing::TestWithParam<RetryCase> {};

TEST_P(Retries, AFailedTransferIsTriedAgainOnlyByTheRetryingHost) {
    const RetryCase& c = GetParam();
    for (const auto& [name, operation] : kTransfers) {
        CardOnFlakyFile card(*c.host);
        card.file->failures = c.failures;
        EXPECT_EQ(operation(*card.card), c.result) << name;
        EXPECT_EQ(card.file->attempts, c.attempts) << name;
    }
}

INSTANTIATE_TEST_SUITE_P(Hosts, Retries,
                         testing::Values(RetryCase{&kPlain, 0, SDHOST_OK, 1},
                                         RetryCase{&kPlain, 1, SDHOST_ERR_IO, 1},
                                         RetryCase{&kRetrying, 0, SDHOST_OK, 1},
                                         RetryCase{&kRetrying, 1, SDHOST_OK, 2},
                                         RetryCase{&kRetrying, 2, SDHOST_OK, 3},
                                         RetryCase{&kRetrying, 3, SDHOST_ERR_IO, 3}));

using SectorRanges = std::vector<std::pair<uint64_t, uint64_t>>;

struct ZeroWriteCase {
    const char* name;
    uint32_t first, count;
    std::vector<uint32_t> dataSectors; // card sectors holding data; the rest of the buffer is zero
    SectorRanges punched;
};

void PrintTo(const ZeroWriteCase& c, std::ostream* os) { *os << c.name; }

class ZeroWrites : public testing::TestWithParam<ZeroWriteCase> {};

TEST_P(ZeroWrites, PunchOnlyAlignedZeroBlocksAndLeaveExactlyTheBuffer) {
    const ZeroWriteCase& c = GetParam();
    // A data sector is zero but for its last byte, so a scan that stops short takes it for zero.
    std::vector<uint8_t> buffer(c.count * kSectorSize, 0);
    for (uint32_t s : c.dataSectors) buffer[(s - c.first + 1) * kSectorSize - 1] = 0xD0;
    for (bool punchable : {true, false}) {
        CardOnFlakyFile card(kPlain);
        card.file->punchable = punchable;
        ASSERT_EQ(card.card->write(buffer.data(), c.count, c.first), SDHOST_OK);
        EXPECT_EQ(card.file->punched, punchable ? c.punched : SectorRanges{});
        std::vector<uint8_t> expected(64 * kSectorSize, 0x5A);
        std::copy(buffer.begin(), buffer.end(), expected.begin() + c.first * kSectorSize);
        EXPECT_EQ(card.file->bytes, expected) << (punchable ? "punched" : "written");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Buffers, ZeroWrites,
    testing::Values(ZeroWriteCase{"one aligned block", 8, 8, {}, {{8, 16}}},
                    ZeroWriteCase{"blocks run together", 0, 64, {}, {{0, 64}}},
                    ZeroWriteCase{"unaligned ends written", 5, 22, {}, {{8, 24}}},
                    ZeroWriteCase{"less than a block", 8, 7, {}, {}},
                    ZeroWriteCase{"a block across no boundary", 4, 8, {}, {}},
                    ZeroWriteCase{"data inside", 0, 40, {13, 31}, {{0, 8}, {16, 24}, {32, 40}}},
                    ZeroWriteCase{"data at both ends", 8, 24, {8, 31}, {{16, 24}}},
                    ZeroWriteCase{"no zero block", 0, 16, {0, 8}, {}},
                    ZeroWriteCase{"last sector of the card", 56, 8, {}, {{56, 64}}}));

TEST(VirtualCard, AFailedPieceFailsTheWriteButAFailedPunchIsWrittenInstead) {
    // Data, two zero blocks, data: written head (attempt 1), punch (2), written tail (3).
    std::vector<uint8_t> buffer(24 * kSectorSize, 0);
    buffer[0] = 1;
    buffer.back() = 2;
    struct Case {
        unsigned failOn;
        const Host* host;
        uint32_t result;
    };
    const Case cases[] = {
        {1, &kPlain, SDHOST_ERR_IO}, {2, &kPlain, SDHOST_OK},    {3, &kPlain, SDHOST_ERR_IO},
        {1, &kRetrying, SDHOST_OK},  {3, &kRetrying, SDHOST_OK},
    };
    for (const Case& c : cases) {
        CardOnFlakyFile card(*c.host);
        card.file->failOn = c.failOn;
        EXPECT_EQ(card.card->write(buffer.data(), 24, 0), c.result) << "attempt " << c.failOn;
        if (c.result != SDHOST_OK) continue;
        const auto& bytes = card.file->bytes;
        EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 24 * 512), buffer)
            << "attempt " << c.failOn << ", " << c.host->retries << " retries";
    }
}

TEST(VirtualCard, InjectedFaultsAreNotRetried) {
    CardConfig config;
    config.failWriteCall = 1;
    config.failWriteCode = 0x4242;
    config.failEraseCall = 1;
    CardOnFlakyFile card(kRetrying, config);
    std::vector<uint8_t> sector(512, 7);
    EXPECT_EQ(card.card->write(sector.data(), 1, 0), 0x4242u);
    EXPECT_EQ(card.card->erase(0, 0), SDHOST_ERR_IO);
    EXPECT_EQ(card.file->attempts, 0u);
    EXPECT_EQ(card.card->write(sector.data(), 1, 0), SDHOST_OK);
    EXPECT_EQ(card.card->erase(0, 0), SDHOST_OK);
}

TEST(VirtualCard, FailedWritesDoNotCountTowardsVanishing) {
    CardConfig config;
    config.vanishAfterWrites = 1;
    CardOnFlakyFile card(kPlain, config);
    std::vector<uint8_t> sector(512, 7);
    card.file->failures = 1;
    EXPECT_EQ(card.card->write(sector.data(), 1, 0), SDHOST_ERR_IO);
    EXPECT_FALSE(card.card->vanished());
    EXPECT_EQ(card.card->write(sector.data(), 1, 0), SDHOST_OK);
    EXPECT_TRUE(card.card->vanished());
}

TEST(VirtualCard, AReadOnlyImageRefusesWritesAsWriteProtected) {
    CardOnFlakyFile card(kPlain, {}, true);
    std::vector<uint8_t> sector(512, 7);
    EXPECT_TRUE(card.card->writeRefused());
    EXPECT_EQ(card.card->write(sector.data(), 1, 0), SDHOST_ERR_WRITE_PROTECT_R2);
    EXPECT_EQ(card.card->erase(0, 0), SDHOST_ERR_WRITE_PROTECT_R2);
    EXPECT_EQ(card.card->read(sector.data(), 1, 0), SDHOST_OK);
    EXPECT_EQ(card.file->attempts, 1u);
}

TEST(VirtualCard, TheDroppedWriteIsAcknowledgedAndLost) {
    CardConfig config;
    config.dropWriteCall = 2;
    config.vanishAfterWrites = 3;
    CardOnFlakyFile card(kPlain, config);
    const std::vector<uint8_t> ones(512, 1), twos(512, 2);
    EXPECT_EQ(card.card->write(ones.data(), 1, 0), SDHOST_OK);
    EXPECT_EQ(card.card->write(twos.data(), 1, 1), SDHOST_OK);
    EXPECT_EQ(card.card->write(twos.data(), 1, 2), SDHOST_OK);
    EXPECT_EQ(card.file->bytes[0], 1);
    EXPECT_EQ(card.file->bytes[512], 0x5A) << "the dropped write was kept";
    EXPECT_EQ(card.file->bytes[1024], 2);
    EXPECT_TRUE(card.card->vanished()) << "a dropped write is a write the host saw succeed";
}

// A counterfeit of 64 announced sectors keeping 24: sector s is written as s + 1 in every byte.
constexpr uint32_t kRealSectors = 24;
using SectorBytes = std::vector<std::pair<uint32_t, uint8_t>>; // sector, its every byte

CardConfig counterfeit(Counterfeit kind) {
    CardConfig config;
    config.counterfeit = kind;
    config.realBytes = kRealSectors * kSectorSize;
    return config;
}

std::vector<uint8_t> marked(uint32_t first, uint32_t count) {
    std::vector<uint8_t> buffer(count * kSectorSize);
    for (uint32_t i = 0; i < count; ++i)
        std::fill_n(buffer.begin() + i * kSectorSize, kSectorSize,
                    static_cast<uint8_t>(first + i + 1));
    return buffer;
}

// The byte sector `s` of `bytes` holds throughout, or -1 when it is not one byte throughout.
int sectorByte(const std::vector<uint8_t>& bytes, uint32_t s) {
    const auto begin = bytes.begin() + s * kSectorSize;
    return std::all_of(begin, begin + kSectorSize, [&](uint8_t b) { return b == *begin; }) ? *begin
                                                                                           : -1;
}

struct CounterfeitCase {
    const char* name;
    Counterfeit kind;
    uint32_t first, count;   // one write, then one read of the same sectors
    SectorBytes image, read; // the image's sectors afterwards; what the read gave
};

void PrintTo(const CounterfeitCase& c, std::ostream* os) { *os << c.name; }

class Counterfeits : public testing::TestWithParam<CounterfeitCase> {};

TEST_P(Counterfeits, KeepSectorsPastTheRealPartWhereTheirKindDoes) {
    const CounterfeitCase& c = GetParam();
    CardOnFlakyFile card(kRetrying, counterfeit(c.kind));
    CardGeometry g{};
    ASSERT_EQ(card.card->identify(g), SDHOST_OK);
    EXPECT_EQ(g.userSectors, 64u) << "a counterfeit announces its full size";
    ASSERT_EQ(card.card->write(marked(c.first, c.count).data(), c.count, c.first), SDHOST_OK);
    for (auto [s, byte] : c.image)
        EXPECT_EQ(sectorByte(card.file->bytes, s), byte) << "image sector " << s;
    std::vector<uint8_t> back(c.count * kSectorSize, 0xEE);
    ASSERT_EQ(card.card->read(back.data(), c.count, c.first), SDHOST_OK);
    for (auto [s, byte] : c.read)
        EXPECT_EQ(sectorByte(back, s - c.first), byte) << "read sector " << s;
}

INSTANTIATE_TEST_SUITE_P(
    Transfers, Counterfeits,
    testing::Values(
        CounterfeitCase{"WraparoundLastRealSector",
                        Counterfeit::Wraparound,
                        23,
                        1,
                        {{23, 24}, {0, 0x5A}},
                        {{23, 24}}},
        CounterfeitCase{"WraparoundFirstLostSector",
                        Counterfeit::Wraparound,
                        24,
                        1,
                        {{0, 25}, {23, 0x5A}, {24, 0x5A}},
                        {{24, 25}}},
        CounterfeitCase{"WraparoundStraddling",
                        Counterfeit::Wraparound,
                        20,
                        10,
                        {{20, 21}, {23, 24}, {0, 25}, {5, 30}, {6, 0x5A}, {24, 0x5A}},
                        {{20, 21}, {23, 24}, {24, 25}, {29, 30}}},
        CounterfeitCase{"WraparoundTwiceRound",
                        Counterfeit::Wraparound,
                        0,
                        64,
                        {{0, 49}, {15, 64}, {16, 41}, {23, 48}, {40, 0x5A}},
                        {{0, 49}, {16, 41}, {24, 49}, {47, 48}, {48, 49}, {63, 64}}},
        CounterfeitCase{"LimboLastRealSector", Counterfeit::Limbo, 23, 1, {{23, 24}}, {{23, 24}}},
        CounterfeitCase{
            "LimboFirstLostSector", Counterfeit::Limbo, 24, 1, {{24, 0x5A}, {0, 0x5A}}, {{24, 0}}},
        CounterfeitCase{"LimboStraddling",
                        Counterfeit::Limbo,
                        20,
                        10,
                        {{20, 21}, {23, 24}, {24, 0x5A}, {29, 0x5A}, {0, 0x5A}},
                        {{20, 21}, {23, 24}, {24, 0}, {29, 0}}}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(VirtualCard, ACounterfeitErasesWhereItKeepsItsSectors) {
    struct Case {
        Counterfeit kind;
        uint32_t first, last;
        SectorBytes image;
    };
    const Case cases[] = {
        {Counterfeit::Wraparound, 30, 31, {{5, 0x5A}, {6, 0}, {7, 0}, {8, 0x5A}, {30, 0x5A}}},
        {Counterfeit::Wraparound, 20, 63, {{0, 0}, {19, 0}, {23, 0}, {24, 0x5A}, {63, 0x5A}}},
        {Counterfeit::Limbo, 30, 31, {{6, 0x5A}, {30, 0x5A}, {31, 0x5A}}},
        {Counterfeit::Limbo, 20, 63, {{19, 0x5A}, {20, 0}, {23, 0}, {24, 0x5A}, {0, 0x5A}}},
    };
    for (const Case& c : cases) {
        CardOnFlakyFile card(kPlain, counterfeit(c.kind));
        ASSERT_EQ(card.card->erase(c.first, c.last), SDHOST_OK);
        for (auto [s, byte] : c.image)
            EXPECT_EQ(sectorByte(card.file->bytes, s), byte)
                << (c.kind == Counterfeit::Limbo ? "limbo " : "wraparound ") << c.first << ".."
                << c.last << ", image sector " << s;
    }
}

TEST(VirtualCard, ACacheReadsBackTheLastWritesUntilNewerOnesPushThemOut) {
    // A limbo card of 24 real sectors with a cache of 4: what it loses reads back from the cache
    // while it is among the last 4 sectors written; a rewrite keeps its newest bytes; an erase
    // empties it.
    CardConfig config = counterfeit(Counterfeit::Limbo);
    config.cacheBytes = 4 * kSectorSize;
    CardOnFlakyFile card(kPlain, config);
    const auto readByte = [&](uint32_t s) {
        std::vector<uint8_t> back(kSectorSize, 0xEE);
        EXPECT_EQ(card.card->read(back.data(), 1, s), SDHOST_OK);
        return sectorByte(back, 0);
    };
    ASSERT_EQ(card.card->write(marked(30, 2).data(), 2, 30), SDHOST_OK); // lost, cached
    EXPECT_EQ(readByte(30), 31);
    EXPECT_EQ(readByte(31), 32);
    ASSERT_EQ(card.card->write(marked(30, 1).data(), 1, 30), SDHOST_OK); // rewritten: newest
    ASSERT_EQ(card.card->write(marked(2, 3).data(), 3, 2), SDHOST_OK);   // pushes 31 out
    EXPECT_EQ(readByte(30), 31);
    EXPECT_EQ(readByte(31), 0) << "out of the cache, lost";
    ASSERT_EQ(card.card->write(marked(5, 3).data(), 3, 5), SDHOST_OK); // pushes 30 out
    EXPECT_EQ(readByte(30), 0);
    EXPECT_EQ(readByte(3), 4) << "a real sector reads the same from the card";
    ASSERT_EQ(card.card->write(marked(40, 1).data(), 1, 40), SDHOST_OK);
    ASSERT_EQ(card.card->erase(40, 40), SDHOST_OK);
    EXPECT_EQ(readByte(40), 0) << "an erase empties the cache";
}


} // namespace
} // namespace brc::sdhost
