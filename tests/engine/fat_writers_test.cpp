#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tests/support/system_os.h"
#include "device/driver_binding.h"
#include "engine/chunk_stream.h"
#include "engine/fat_writers.h"
#include "engine/layout.h"
#include "progress/progress.h"
#include "tests/support/fake_card.h"
#include "tests/support/mounted_fat32.h"

#if !defined(_WIN32)
#include <sys/wait.h>
#include <unistd.h>
#endif

using namespace brc;

namespace {

using test::Op;
using test::Sector;
using Bytes = std::vector<uint8_t>;
constexpr uint32_t kNone = 0xFFFFFFFFu;
constexpr uint32_t kIoError = 0x105;

// A scripted clock: srand must come first, rand then hands out the script.
struct TestClock {
    LocalTime local{2023, 7, 14, 13, 45, 58, 250};
    uint32_t seconds = 1700000000, seed = 0, drawn = 0;
    bool seeded = false;
    std::vector<uint32_t> script{0x1234, 0x7F56, 0x0078, 0x229A};
    FormatClock clock() {
        return FormatClock{[this] { return local; }, [this] { return seconds; },
                           [this](uint32_t s) {
                               seed = s;
                               seeded = true;
                           },
                           [this]() -> uint32_t {
                               EXPECT_TRUE(seeded) << "rand before srand";
                               return drawn < script.size() ? script[drawn++] : 0xDEAD;
                           }};
    }
};

// The fake card bound as the driver, a chunk stream and the layout computed for the card.
struct Rig {
    test::FakeCard card;
    DriverBinding driver{test::systemOs()};
    RunFlags flags;
    Progress progress{flags, nullptr};
    Bytes buffer = Bytes(kChunkBytes);
    ChunkStream stream{driver, progress, buffer.data(), 0};
    FormatParameters params{};
    uint32_t userSectors = 0;
    TestClock testClock;
    FormatClock clock = testClock.clock();

    explicit Rig(uint32_t user, uint32_t prot = 0, bool adjust = false, uint32_t route = 2)
        : card(user, prot) {
        card.install(driver, route);
        FormatPlan plan;
        EXPECT_EQ(planFormat(driver, u"", adjust, &plan), 0u);
        params = plan.params;
        userSectors = plan.userSectors;
        fillChunkFields(params);
    }

    // Sector s as it stands: still in the buffer when it lies in the current chunk.
    Sector at(uint32_t s) const {
        if (s / kChunkSectors != stream.currentChunk()) return card.get(s);
        Sector v;
        std::memcpy(v.data(), buffer.data() + (s % kChunkSectors) * 512, 512);
        return v;
    }
    uint32_t fat1() const { return params.partitionStart + params.reservedSectors; }
    uint32_t root() const { return fat1() + 2 * params.fatSectors; }

    // The system area in the order the write sequence runs the writers.
    uint32_t format(const VolumeLabelForms& label = {}) {
        stream.writePosition = 0;
        uint32_t r = writePartitionTable(stream, params, userSectors);
        if (params.fsType == Fat32) {
            for (uint32_t copy = 1; copy <= 2 && r == 0; ++copy) {
                if (r == 0) r = writeFat32BootSector(stream, params, userSectors, copy, clock);
                if (r == 0) r = writeFat32FsInfo(stream, params, copy);
                if (r == 0) r = writeFat32ThirdSector(stream, params, copy);
            }
        } else if (r == 0) {
            r = writeFatBootSector(stream, params, userSectors, clock);
        }
        if (r == 0) r = writeFats(stream, params);
        if (r == 0) r = writeRootDirectory(stream, params, label, clock);
        return r;
    }
};

Bytes bytesAt(const Sector& s, size_t offset, size_t n) {
    return Bytes(s.begin() + static_cast<std::ptrdiff_t>(offset), s.begin() + static_cast<std::ptrdiff_t>(offset + n));
}
Bytes le(uint64_t v, size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(v >> (8 * i));
    return b;
}
Bytes text(const char* t) { return Bytes(t, t + std::strlen(t)); }

// Every byte outside the listed fields must be zero.
void expectOnlyFields(const Sector& s, const std::map<size_t, Bytes>& fields) {
    std::vector<bool> covered(512, false);
    for (const auto& [offset, value] : fields) {
        EXPECT_EQ(bytesAt(s, offset, value.size()), value) << "field at " << offset;
        for (size_t i = 0; i < value.size(); ++i) covered[offset + i] = true;
    }
    for (size_t i = 0; i < 512; ++i)
        if (!covered[i]) {
            EXPECT_EQ(s[i], 0) << "byte " << i;
        }
}

} // namespace

TEST(PartitionTable, EntryChsTypeAndFlush) {
    const struct {
        uint32_t user, prot;
        bool adjust;
        uint32_t start;
        Bytes startChs;
        uint8_t type;
        Bytes endChs;
        uint32_t count;
    } cases[] = {
        {15360, 0, false, 25, {0x00, 0x1A, 0x00}, 0x01, {0x01, 0x20, 0xEF}, 15335},
        {130800, 0, false, 39, {0x01, 0x08, 0x00}, 0x01, {0x06, 0x60, 0xFE}, 130745},
        {1984000, 30720, false, 249, {0x03, 0x3D, 0x00}, 0x06, {0x04, 0xC4, 0xD8}, 1983751},
        {1984000, 30720, true, 249, {0x03, 0x3D, 0x00}, 0x06, {0x1F, 0xFF, 0xD7}, 1983495},
        {7744512, 0, false, 8192, {0x02, 0x03, 0x01}, 0x0B, {0x30, 0xF0, 0xC0}, 7736320},
        {16450560, 0, false, 8192, {0x82, 0x03, 0x00}, 0x0B, {0xFE, 0xFF, 0xFF}, 16442368},
        {16450561, 0, false, 8192, {0x82, 0x03, 0x00}, 0x0C, {0xFE, 0xFF, 0xFF}, 16442369},
        {67108864, 0, false, 8192, {0x82, 0x03, 0x00}, 0x07, {0xFE, 0xFF, 0xFF}, 67100672},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.user << (c.adjust ? " adjusted" : ""));
        Rig rig(c.user, c.prot, c.adjust);
        ASSERT_EQ(rig.params.partitionStart, c.start);
        ASSERT_EQ(writePartitionTable(rig.stream, rig.params, rig.userSectors), 0u);
        expectOnlyFields(rig.at(0), {{447, c.startChs}, {450, {c.type}}, {451, c.endChs},
                                     {454, le(c.start, 4)}, {458, le(c.count, 4)},
                                     {510, {0x55, 0xAA}}});
        // Chunk 0 and zero chunks up to the boot sector's chunk, each once; none when the
        // partition starts in chunk 0.
        const uint32_t bootChunk = c.start / 64;
        const auto writes = rig.card.written();
        ASSERT_EQ(writes.size(), bootChunk);
        for (uint32_t k = 0; k < bootChunk; ++k)
            EXPECT_EQ(writes[k], std::make_pair(k * 64, 64u));
        EXPECT_EQ(rig.stream.writePosition, bootChunk * 64);
        EXPECT_EQ(rig.card.sectors.size(), bootChunk > 0 ? 1u : 0u) << "only the MBR non-zero";
    }
}

TEST(PartitionTable, VerificationComparesAndNeverWrites) {
    Sector good;
    {
        Rig rig(1984000, 30720);
        ASSERT_EQ(writePartitionTable(rig.stream, rig.params, rig.userSectors), 0u);
        good = rig.card.get(0);
    }
    const struct {
        int offset; // -1: unchanged; -2: blank card; -3: read fails
        uint32_t expected;
    } cases[] = {{-1, 0}, {0, 0},   {440, 0},  {510, 0},  {511, 0},  {446, 1},   {447, 1},
                 {448, 1}, {449, 1}, {450, 1}, {453, 1}, {454, 1}, {461, 1}, {462, 1},
                 {477, 1}, {509, 1}, {-2, 1},  {-3, 0x105}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.offset);
        Rig rig(1984000, 30720);
        Sector onCard = good;
        if (c.offset >= 0) onCard[static_cast<size_t>(c.offset)] ^= 0x5A;
        if (c.offset == -2) onCard = Sector{};
        if (c.offset == -3) rig.card.failSector(Op::Read, 0, kIoError);
        rig.card.put(0, onCard.data());
        rig.params.verifyOnly = 1;
        EXPECT_EQ(writePartitionTable(rig.stream, rig.params, rig.userSectors), c.expected);
        EXPECT_TRUE(rig.card.written().empty());
        EXPECT_EQ(rig.card.get(0), onCard);
        EXPECT_EQ(rig.card.transfers(Op::Read), (std::vector<test::Span>{{0, 1}}));
    }
}

TEST(FatBootSector, Fat12And16Fields) {
    const struct {
        uint32_t user, prot, sc, fat, spt, heads, start, total16, total32;
        const char* type;
    } cases[] = {
        {15360, 0, 16, 3, 32, 2, 25, 15335, 0, "FAT12   "},
        {65586, 0, 32, 6, 32, 8, 51, 65535, 0, "FAT12   "},
        {65587, 0, 32, 6, 32, 8, 51, 0, 65536, "FAT12   "},
        {130800, 0, 32, 12, 32, 8, 39, 0, 130745, "FAT12   "},
        {130900, 0, 32, 16, 32, 8, 63, 0, 130837, "FAT16   "},
        {1984000, 30720, 32, 243, 63, 32, 249, 0, 1983751, "FAT16   "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.user);
        Rig rig(c.user, c.prot);
        ASSERT_EQ(writePartitionTable(rig.stream, rig.params, rig.userSectors), 0u);
        ASSERT_EQ(writeFatBootSector(rig.stream, rig.params, rig.userSectors, rig.clock), 0u);
        EXPECT_EQ(rig.testClock.seed, rig.testClock.seconds);
        EXPECT_EQ(rig.testClock.drawn, 4u);
        EXPECT_EQ(rig.params.volumeSerial, 0u);
        expectOnlyFields(rig.at(c.start),
                         {{0, {0xEB, 0x00, 0x90}}, {3, text("        ")}, {11, le(512, 2)},
                          {13, {static_cast<uint8_t>(c.sc)}}, {14, le(1, 2)}, {16, {2}},
                          {17, le(512, 2)}, {19, le(c.total16, 2)}, {21, {0xF8}},
                          {22, le(c.fat, 2)}, {24, le(c.spt, 2)}, {26, le(c.heads, 2)},
                          {28, le(c.start, 4)}, {32, le(c.total32, 4)}, {36, {0x80}},
                          {38, {0x29}}, {39, {0x34, 0x56, 0x78, 0x9A}},
                          {43, text("NO NAME    ")}, {54, text(c.type)}, {510, {0x55, 0xAA}}});
    }
}

TEST(Fat32Writers, ReservedAreaCopiesAndChunks) {
    // The layout always starts FAT32 on a chunk; the last rows move the start back so that each
    // flush target in turn separates two chunks.
    const struct { uint32_t user, sc, reserved, fat, spt, heads, start; } cases[] = {
        {7744512, 64, 6304, 944, 63, 128, 8192},
        {62333952, 64, 1170, 7607, 63, 255, 8192},
        {7744512, 64, 6312, 944, 63, 128, 8184},
        {7744512, 64, 6311, 944, 63, 128, 8185},
        {7744512, 64, 6307, 944, 63, 128, 8189},
        {7744512, 64, 6306, 944, 63, 128, 8190},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.user << " at " << c.start);
        Rig rig(c.user);
        ASSERT_EQ(rig.params.partitionStart, 8192u);
        rig.params.reservedSectors += rig.params.partitionStart - c.start;
        rig.params.systemSectors += rig.params.partitionStart - c.start;
        rig.params.partitionStart = c.start;
        fillChunkFields(rig.params);
        const uint32_t p = c.start;
        ASSERT_EQ(rig.format(), 0u);
        const Sector boot = rig.card.get(p);
        expectOnlyFields(boot, {{0, {0xEB, 0x00, 0x90}}, {3, text("        ")}, {11, le(512, 2)},
                                {13, {static_cast<uint8_t>(c.sc)}}, {14, le(c.reserved, 2)},
                                {16, {2}}, {21, {0xF8}}, {24, le(c.spt, 2)},
                                {26, le(c.heads, 2)}, {28, le(p, 4)}, {32, le(c.user - p, 4)},
                                {36, le(c.fat, 4)}, {44, le(2, 4)}, {48, le(1, 2)},
                                {50, le(6, 2)}, {64, {0x80}}, {66, {0x29}},
                                {67, {0x9A, 0x78, 0x56, 0x34}}, {71, text("NO NAME    ")},
                                {82, text("FAT32   ")}, {510, {0x55, 0xAA}}});
        EXPECT_EQ(rig.params.volumeSerial, 0x3456789Au);
        EXPECT_EQ(rig.testClock.drawn, 4u) << "copy 2 must reuse the serial";
        expectOnlyFields(rig.card.get(p + 1),
                         {{0, text("RRaA")}, {484, text("rrAa")}, {488, le(0xFFFFFFFF, 4)},
                          {492, le(0xFFFFFFFF, 4)}, {510, {0x55, 0xAA}}});
        expectOnlyFields(rig.card.get(p + 2), {{510, {0x55, 0xAA}}});
        for (uint32_t i = 0; i < 3; ++i) EXPECT_EQ(rig.card.get(p + 6 + i), rig.card.get(p + i));
        for (uint32_t s = p + 3; s < p + c.reserved; ++s)
            if (s < p + 6 || s > p + 8) {
                ASSERT_EQ(rig.card.get(s), Sector{}) << s;
            }
        // Every chunk from 0 to the root cluster's last, once each, in order.
        const uint32_t last = (rig.root() + c.sc - 1) / 64;
        const auto writes = rig.card.written();
        ASSERT_EQ(writes.size(), last + 1);
        for (uint32_t k = 0; k <= last; ++k)
            ASSERT_EQ(writes[k], std::make_pair(k * 64, 64u)) << k;
        EXPECT_EQ(rig.stream.writePosition, (last + 1) * 64);
    }
}

TEST(FatWriter, FirstEntriesOfBothCopies) {
    const Bytes fat12{0xF8, 0xFF, 0xFF}, fat16{0xF8, 0xFF, 0xFF, 0xFF};
    const Bytes fat32{0xF8, 0xFF, 0xFF, 0x0F, 0xFF, 0xFF, 0xFF, 0x0F, 0xFF, 0xFF, 0xFF, 0x0F};
    const struct { uint32_t user, prot; const Bytes& start; } cases[] = {
        {15360, 0, fat12}, {130800, 0, fat12}, {130900, 0, fat16},
        {1984000, 30720, fat16}, {7744512, 0, fat32}, {62333952, 0, fat32},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.user);
        Rig rig(c.user, c.prot);
        ASSERT_EQ(rig.format(), 0u);
        const uint32_t f = rig.params.fatSectors;
        for (uint32_t first : {rig.fat1(), rig.fat1() + f}) {
            expectOnlyFields(rig.card.get(first), {{0, c.start}});
            for (uint32_t s = first + 1; s < first + f; ++s)
                ASSERT_EQ(rig.card.get(s), Sector{}) << s;
        }
    }
}

TEST(RootDirectory, LabelEntryAndExtent) {
    VolumeLabelForms e5{};
    e5.oemBytes[0] = 0xE5;
    e5.oemBytes[1] = 'X';
    const struct {
        uint32_t user;
        VolumeLabelForms label;
        Bytes name; // empty: no entry
        uint32_t writes; // chunks written by the whole system area
        uint32_t shift = 0; // partition moved on: the directory then spans two chunks
    } cases[] = {
        {15360, makeLabelForms(u"ab"), text("AB         "), 1},
        {15360, VolumeLabelForms{}, {}, 1},
        {15360, makeLabelForms(u"ab"), text("AB         "), 2, 16},
        {130900, makeLabelForms(u"my card 123"), text("MY CARD 123"), 2},
        {1984000, e5, {0x05, 'X', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '}, 12},
        {7744512, makeLabelForms(u"Brindle"), text("BRINDLE    "), 257},
        {7744512, VolumeLabelForms{}, {}, 257},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.user << " " << c.name.size() << " +" << c.shift);
        Rig rig(c.user);
        rig.params.partitionStart += c.shift;
        fillChunkFields(rig.params);
        ASSERT_EQ(rig.format(c.label), 0u);
        const auto writes = rig.card.written();
        EXPECT_EQ(writes.size(), c.writes);
        const uint32_t sectors = rig.params.fsType == Fat32 ? rig.params.sectorsPerCluster : 32;
        if (c.name.empty()) {
            expectOnlyFields(rig.card.get(rig.root()), {});
        } else {
            expectOnlyFields(rig.card.get(rig.root()),
                             {{0, c.name}, {11, {0x08}}, {22, le(0x6DBD, 2)}, {24, le(0x56EE, 2)}});
        }
        for (uint32_t s = rig.root() + 1; s < rig.root() + sectors; ++s)
            ASSERT_EQ(rig.card.get(s), Sector{}) << s;
        // The last chunk written holds the directory's last sector.
        EXPECT_EQ(writes.back().first / 64, (rig.root() + sectors - 1) / 64);
    }
}

TEST(RootDirectory, TimeStampFromLocalTime) {
    const struct { LocalTime t; uint16_t time, date; } cases[] = {
        {{2023, 7, 14, 13, 45, 58, 0}, 0x6DBD, 0x56EE},
        {{2023, 7, 14, 13, 45, 59, 999}, 0x6DBD, 0x56EE},
        {{1980, 1, 1, 0, 0, 0, 0}, 0x0000, 0x0021},
        {{2107, 12, 31, 23, 59, 59, 0}, 0xBF7D, 0xFF9F},
        {{1979, 12, 31, 23, 59, 59, 0}, 0x0000, 0x0021}, // before FAT time: its first moment
        {{2108, 1, 1, 0, 0, 0, 0}, 0xBF7D, 0xFF9F},      // after it: its last
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.t.year);
        Rig rig(15360);
        rig.testClock.local = c.t;
        ASSERT_EQ(rig.format(makeLabelForms(u"x")), 0u);
        const Sector entry = rig.card.get(rig.root());
        EXPECT_EQ(bytesAt(entry, 22, 2), le(c.time, 2));
        EXPECT_EQ(bytesAt(entry, 24, 2), le(c.date, 2));
    }
}

TEST(FatWriters, FailuresStopTheStream) {
    const struct {
        uint32_t user, route, midResult, failWriteAt, expected;
        size_t writes;
    } cases[] = {
        {1984000, 2, 0, 64, 0x105, 1},   // first zero chunk of the partition table
        {1984000, 1, 7, kNone, 2, 0},    // route 1: the card no longer answers
        {1984000, 2, 7, kNone, 0, 12},   // route 2 never asks
        {15360, 2, 0, 0, 0x105, 0},      // the only chunk, written by the root directory
        {7744512, 2, 0, 16384, 0x105, 256}, // the root cluster
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.user << " route " << c.route);
        Rig rig(c.user, 0, false, c.route);
        rig.card.fail(Op::GetMid, c.midResult);
        if (c.failWriteAt != kNone) rig.card.failSector(Op::Write, c.failWriteAt, kIoError);
        EXPECT_EQ(rig.format(), c.expected);
        EXPECT_EQ(rig.card.written().size(), c.writes);
        EXPECT_EQ(rig.stream.writePosition, c.writes * 64);
    }
}

TEST(RepairFat32AfterLabel, RestoresOnlyWhatChanged) {
    Rig probe(7744512);
    const uint32_t r = probe.params.reservedSectors, f = probe.params.fatSectors;
    // Bytes the operating system (or a damaged boot sector) changed: sector relative to the
    // partition start, offset, new value.
    struct Poke { uint32_t sector, offset; uint8_t value; };
    const Poke fsInfo{1, 488, 0x00}, fatEntry{r, 7, 0x07};
    const struct {
        const char* name;
        std::vector<Poke> pokes;
        std::u16string label;
        uint32_t failReadAt; // relative to the partition start
        int32_t expected;
        std::set<uint32_t> rewritten; // relative to the partition start
    } cases[] = {
        {"untouched", {}, u"ok", kNone, Success, {}},
        {"label set", {fsInfo, {1, 493, 0x00}, {7, 488, 0x12}, {7, 492, 0x03}, fatEntry,
                       {r + f, 7, 0x07}}, u"ok", kNone, Success, {1, 7, r, r + f}},
        {"backup next free", {{7, 495, 0x7F}}, u"ok", kNone, Success, {7}},
        {"second FAT", {{r + f, 4, 0xFE}}, u"ok", kNone, Success, {r + f}},
        {"bad label still repairs", {fsInfo, fatEntry}, u"a.b", kNone, InvalidLabel, {1, r}},
        {"FSInfo unreadable", {fsInfo, fatEntry}, u"", 1, Success, {r}},
        {"boot unreadable", {fsInfo, fatEntry}, u"", 0, Success, {}},
        {"backup boot not 6", {{0, 50, 7}, fsInfo, fatEntry}, u"", kNone, Success, {}},
        {"FSInfo not 1", {{0, 48, 2}, fsInfo, fatEntry}, u"", kNone, Success, {}},
        {"not FAT32", {{0, 84, 'X'}, fsInfo}, u"a.b", kNone, InvalidLabel, {}},
        {"reserved below 8", {{0, 14, 7}, {0, 15, 0}, fsInfo}, u"", kNone, Success, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig(7744512);
        ASSERT_EQ(rig.format(makeLabelForms(u"ok")), 0u);
        const uint32_t p = rig.params.partitionStart;
        const auto formatted = rig.card.sectors;
        for (const Poke& poke : c.pokes) {
            Sector s = rig.card.get(p + poke.sector);
            s[poke.offset] = poke.value;
            rig.card.put(p + poke.sector, s.data());
        }
        // Afterwards: the rewritten sectors are back to the format's bytes, nothing else moved.
        auto expected = rig.card.sectors;
        for (uint32_t rel : c.rewritten) expected[p + rel] = formatted.at(p + rel);
        rig.card.calls.clear();
        if (c.failReadAt != kNone) rig.card.failSector(Op::Read, p + c.failReadAt, kIoError);
        EXPECT_EQ(repairFat32AfterLabel(c.label, false, rig.driver), c.expected);
        std::set<uint32_t> written;
        for (const auto& [first, count] : rig.card.written()) {
            EXPECT_EQ(count, 1u);
            written.insert(first - p);
        }
        EXPECT_EQ(written, c.rewritten);
        EXPECT_TRUE(rig.card.sectors == expected);
    }
}

// The state Windows' label call leaves (test support's imitation of a mounted driver) is undone
// exactly: the format's bytes come back, and only the four sectors it changed are written.
TEST(RepairFat32AfterLabel, UndoesWhatAMountedLabelWriteLeaves) {
    for (uint32_t user : {4211712u, 7744512u, 67108863u}) {
        SCOPED_TRACE(user);
        Rig rig(user);
        ASSERT_EQ(rig.format(makeLabelForms(u"ok")), 0u);
        const uint32_t p = rig.params.partitionStart, r = rig.params.reservedSectors;
        const auto formatted = rig.card.sectors;
        ASSERT_TRUE(test::markFat32Mounted(test::sectorsOf(rig.card)));
        std::set<uint32_t> changed;
        for (const auto& [s, v] : rig.card.sectors)
            if (formatted.at(s) != v) changed.insert(s - p);
        const std::set<uint32_t> mounted{1, 7, r, r + rig.params.fatSectors};
        ASSERT_EQ(changed, mounted);
        EXPECT_EQ(le32(rig.card.get(p + r).data() + 4) & test::kFat32CleanShutdown, 0u);

        rig.card.calls.clear();
        EXPECT_EQ(repairFat32AfterLabel(u"ok", false, rig.driver), Success);
        std::set<uint32_t> written;
        for (const auto& [first, count] : rig.card.written()) written.insert(first - p);
        EXPECT_EQ(written, mounted);
        EXPECT_TRUE(rig.card.sectors == formatted);
    }
}

TEST(RepairFat32AfterLabel, OtherCardsAreLeftAlone) {
    const struct { uint32_t user; std::u16string label; int32_t expected; bool reads; } cases[] = {
        {1984000, u"ok", Success, true},      // FAT16: FAT entry 1 is not FAT32's
        {1984000, u"a.b", InvalidLabel, true},
        {15360, u"", Success, true},
        {4194304, u"", Failed, false},         // refused capacity: nothing read
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.user);
        // A card in the refused band is formatted as a small one, then reports the band.
        Rig rig(c.user >= kRefusedBandFirst ? 15360 : c.user);
        ASSERT_EQ(rig.format(), 0u);
        rig.card.userSectors = c.user;
        // What a mounted FAT12/16 volume may leave in entry 1: the clean bit cleared.
        Sector fat = rig.card.get(rig.fat1());
        fat[3] = 0x7F;
        rig.card.put(rig.fat1(), fat.data());
        rig.card.calls.clear();
        EXPECT_EQ(repairFat32AfterLabel(c.label, false, rig.driver), c.expected);
        EXPECT_TRUE(rig.card.written().empty());
        EXPECT_EQ(rig.card.countOf(Op::Read) != 0, c.reads);
    }
}

#if !defined(_WIN32)
namespace {

std::string findTool(const std::string& name) {
    std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
    path += ":/usr/sbin:/sbin";
    size_t from = 0;
    while (from <= path.size()) {
        size_t to = path.find(':', from);
        if (to == std::string::npos) to = path.size();
        const std::string candidate = path.substr(from, to - from) + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
        from = to + 1;
    }
    return {};
}

// Runs a command; returns its exit status and leaves its output (both streams) in `output`.
int run(const std::string& command, std::string& output) {
    output.clear();
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (!pipe) return -1;
    char chunk[256];
    while (size_t n = std::fread(chunk, 1, sizeof chunk, pipe)) output.append(chunk, n);
    const int status = ::pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

// fsck.fat may only raise what the format requires: the boot sector keeps "NO NAME" while the
// root directory holds the label (the operating system sets both afterwards), and FAT32's FSInfo
// keeps no free count. Anything else it says is a fault.
TEST(FatWriters, IndependentCheckersAcceptTheVolume) {
    const std::string fsck = findTool("fsck.fat"), mlabel = findTool("mlabel");
    if (fsck.empty() || mlabel.empty()) GTEST_SKIP() << "fsck.fat or mlabel not installed";
    const auto dir = std::filesystem::temp_directory_path() /
                     ("brc_fat_writers_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const auto card = dir / "card.img", part = dir / "part.img";
    for (uint32_t user : {15360u, 130800u, 1984000u, 7744512u}) {
        for (const std::u16string& label : {std::u16string(u"Brindle 1"), std::u16string()}) {
            SCOPED_TRACE(testing::Message() << user << (label.empty() ? " no label" : ""));
            Rig rig(user);
            ASSERT_EQ(rig.format(makeLabelForms(label)), 0u);
            const uint32_t p = rig.params.partitionStart;
            const bool fat32 = rig.params.fsType == Fat32;
            ASSERT_TRUE(rig.card.writeImage(card, 0, rig.card.userSectors));
            ASSERT_TRUE(rig.card.writeImage(part, p, rig.userSectors - p));

            std::string out;
            const int status = run(fsck + " -n " + part.string(), out);
            EXPECT_EQ(status, label.empty() ? 0 : 1) << out;
            const std::string summary = part.string() + (label.empty() ? ": 0" : ": 1") + " files, " + (fat32 ? "1/" : "0/") +
                                        std::to_string(rig.params.maxCluster - 1) + " clusters";
            bool summarySeen = false;
            size_t from = 0;
            for (size_t to; (to = out.find('\n', from)) != std::string::npos; from = to + 1) {
                const std::string line = out.substr(from, to - from);
                summarySeen = summarySeen || line == summary;
                const bool expected =
                    line.empty() || line.rfind("fsck.fat ", 0) == 0 || line == summary ||
                    line == "Leaving filesystem unchanged." ||
                    (!label.empty() &&
                     (line == "There is no label in boot sector, but there is volume label "
                              "'BRINDLE 1' stored in root directory" ||
                      line == "  Auto-copying volume label from root directory to boot sector.")) ||
                    (fat32 && line.rfind("Free cluster summary uninitialized (should be ", 0) == 0);
                EXPECT_TRUE(expected) << "fsck.fat: " << line;
            }
            EXPECT_TRUE(summarySeen) << out;

            EXPECT_EQ(run(mlabel + " -s -i " + card.string() + "@@" +
                              std::to_string(uint64_t{p} * 512) + " ::", out), 0) << out;
            EXPECT_NE(out.find(label.empty() ? "Volume has no label"
                                             : "Volume label is BRINDLE 1"),
                      std::string::npos) << out;
        }
    }
    std::filesystem::remove_all(dir);
}
#endif
