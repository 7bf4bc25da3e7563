// The full overwrite: which sectors it writes in which calls, what the card holds afterwards,
// its progress line, cancel and suspend, and write failures; over the fake card and
// over the real virtual-card library.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <unistd.h>

#include "tests/support/system_os.h"
#include "device/driver_binding.h"
#include "device/system_checks.h"
#include "passes/flash_erase.h"
#include "passes/overwrite.h"
#include "progress/progress.h"
#include "res/message_ids.h"
#include "tests/support/fake_os.h"
#include "tests/support/counting_messages.h"
#include "tests/support/fake_card.h"
#include "tests/support/recording_view.h"

namespace brc {
namespace {

namespace fs = std::filesystem;

constexpr size_t kSector = 512;

using test::Drawn;
using test::Op;
using test::RecordingView;
using test::Sector;
using test::Span;

std::u16string overwriteLine(const std::string& suffix) {
    return builtinMessages().text(msg::OverwriteLineCaption) + asciiToUtf16(suffix);
}

class OverwriteTest : public ::testing::Test {
protected:
    OverwriteTest() {
        flags.formatStatus = &status;
        os.tickStep = 250;
    }

    // A card of `sectors` sectors: sector 0 holds a recognisable record, the rest 0x5A. Cards
    // too large to hold keep no data.
    void insertCard(uint32_t sectors) {
        fake.userSectors = sectors;
        fake.keepData = sectors <= 65536;
        if (fake.keepData) {
            Sector fill;
            fill.fill(0x5A);
            for (uint32_t s = 1; s < sectors; ++s) fake.put(s, fill.data());
            for (size_t i = 0; i < kSector; ++i) sectorZero[i] = static_cast<uint8_t>(i * 7 + 1);
            fake.put(0, sectorZero.data());
        }
        fake.install(driver, 1);
    }

    int32_t run(bool withWindow = true) {
        Progress progress{flags, withWindow ? &view : nullptr};
        return overwriteCard(driver, elapsed, progress, os);
    }

    // Sectors [from, to) all hold `value`.
    bool sectorsHold(uint32_t from, uint32_t to, uint8_t value) const {
        for (uint32_t s = from; s < to; ++s)
            for (uint8_t b : fake.get(s))
                if (b != value) return false;
        return true;
    }

    test::FakeCard fake;
    DriverBinding driver{test::systemOs()};
    RunFlags flags;
    uint32_t status = 0;
    uint32_t elapsed = 0xDEAD;
    FakeOs os;
    RecordingView view;
    Sector sectorZero{};
};

struct ChunkRow {
    uint32_t sectors;
    std::vector<Span> writes;              // exact DDWritePT calls (first, count), in order
    std::vector<std::string> lines;        // every suffix drawn on 1028, in order
};

class OverwriteChunks : public OverwriteTest, public ::testing::WithParamInterface<ChunkRow> {};

TEST_P(OverwriteChunks, WritesEachChunkOnceAndKeepsSectorZero) {
    const ChunkRow& row = GetParam();
    insertCard(row.sectors);
    ASSERT_EQ(run(), 0);

    EXPECT_EQ(fake.transfers(Op::Write), row.writes);
    ASSERT_FALSE(fake.transfers(Op::Read).empty());
    EXPECT_EQ(fake.transfers(Op::Read).front(), (Span{0, 1})) << "sector 0 is read back before it is written";
    EXPECT_EQ(fake.get(0), sectorZero) << "sector 0 must keep its content";
    EXPECT_TRUE(sectorsHold(1, row.sectors, 0xFF));

    std::vector<std::u16string> expected;
    for (const std::string& s : row.lines) expected.push_back(overwriteLine(s));
    EXPECT_EQ(view.textsOf(OverwriteLine), expected);
    EXPECT_EQ(view.lines.size(), expected.size()) << "nothing but line 1028 is drawn";
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(elapsed, 250u);
}

INSTANTIATE_TEST_SUITE_P(
    UserAreaSizes, OverwriteChunks,
    ::testing::Values(
        ChunkRow{768, {{0, 256}, {256, 256}, {512, 256}},
                 {"  33% [256 / 768]", "  66% [512 / 768]", " 100% [768 / 768]",
                  " 100% [768 / 768]"}},
        ChunkRow{769, {{0, 256}, {256, 256}, {512, 256}, {768, 1}},
                 {"  25% [256 / 769]", "  50% [512 / 769]", "  75% [768 / 769]",
                  " 100% [769 / 769]", " 100% [769 / 769]"}},
        ChunkRow{256, {{0, 256}}, {" 100% [256 / 256]", " 100% [256 / 256]"}},
        ChunkRow{255, {{0, 255}}, {" 100% [255 / 255]", " 100% [255 / 255]"}},
        ChunkRow{1, {{0, 1}}, {" 100% [1 / 1]", " 100% [1 / 1]"}}),
    [](const auto& row) { return "Sectors" + std::to_string(row.param.sectors); });

TEST_F(OverwriteTest, LargeCardEndsWithItsRemainderChunk) {
    // 30252 full chunks and 88 sectors: 30253 progress steps.
    insertCard(7744600);
    ASSERT_EQ(run(), 0);
    const auto writes = fake.transfers(Op::Write);
    ASSERT_EQ(writes.size(), 30253u);
    EXPECT_EQ(writes[30251], (Span{7744256, 256}));
    EXPECT_EQ(writes.back(), (Span{7744512, 88}));
    const auto lines = view.textsOf(OverwriteLine);
    ASSERT_EQ(lines.size(), 30254u);
    EXPECT_EQ(lines[302], overwriteLine("   1% [77568 / 7744600]"));  // 303 × 100 / 30253
    EXPECT_EQ(lines[30251], overwriteLine("  99% [7744512 / 7744600]"));
    EXPECT_EQ(lines.back(), overwriteLine(" 100% [7744600 / 7744600]"));
}

TEST_F(OverwriteTest, LoadsItsCaptionOncePerPass) {
    insertCard(100 * 256 + 1);
    test::CountingMessages messages;
    RecordingView window(messages);
    Progress counted{flags, &window};
    EXPECT_EQ(overwriteCard(driver, elapsed, counted, os), 0);
    EXPECT_EQ(messages.loads[msg::OverwriteLineCaption], 1);
    const auto lines = window.textsOf(OverwriteLine);
    ASSERT_EQ(lines.size(), 102u) << "still one line per chunk and the final line";
    EXPECT_EQ(lines[49], overwriteLine("  49% [12800 / 25601]"));
    EXPECT_EQ(lines.back(), overwriteLine(" 100% [25601 / 25601]"));
}

// With the check, each sector first takes a pattern of its own, all of it is read back, and the
// fill comes last: the card ends as after the plain pass, and the progress counts the three
// sweeps as one.
TEST_F(OverwriteTest, TheCheckedPassShowsEverySectorKeptAndEndsAsThePlainOne) {
    insertCard(769);
    Progress progress{flags, &view};
    KeptCheck check;
    check.tag = 0x5EED;
    ASSERT_EQ(overwriteCardChecked(driver, elapsed, progress, os, check), 0);
    EXPECT_TRUE(check.done);
    EXPECT_TRUE(check.kept);
    EXPECT_EQ(check.sectors, 769u);
    const std::vector<Span> chunks{{0, 256}, {256, 256}, {512, 256}, {768, 1}};
    std::vector<Span> writes = chunks;
    writes.insert(writes.end(), chunks.begin(), chunks.end());
    EXPECT_EQ(fake.transfers(Op::Write), writes);
    EXPECT_EQ(fake.get(0), sectorZero) << "sector 0 must keep its content";
    EXPECT_TRUE(sectorsHold(1, 769, 0xFF));
    const auto lines = view.textsOf(OverwriteLine);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), overwriteLine("   8% [256 / 2307]"));
    EXPECT_EQ(lines.back(), overwriteLine(" 100% [2307 / 2307]"));
}

TEST_F(OverwriteTest, EmptyUserAreaCompletesWithoutWriting) {
    insertCard(0);
    ASSERT_EQ(run(), 0);
    EXPECT_EQ(fake.countOf(Op::Write), 0u);
    EXPECT_EQ(view.textsOf(OverwriteLine), std::vector<std::u16string>{overwriteLine(" 100% [0 / 0]")});
}

TEST_F(OverwriteTest, CapacityFailureWritesNothing) {
    insertCard(1024);
    fake.fail(Op::Identify, SDHOST_ERR_NO_CARD);
    EXPECT_EQ(run(), static_cast<int32_t>(SDHOST_ERR_NO_CARD));
    EXPECT_EQ(fake.countOf(Op::Write), 0u);
    EXPECT_TRUE(view.lines.empty());
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(elapsed, 0xDEADu);
}

struct FailRow {
    const char* name;
    uint32_t sectors;
    size_t failCall;
    uint32_t lastFFSector;  // sectors 1 .. this - 1 are 0xFF afterwards, the rest untouched
};

class OverwriteWriteFailure : public OverwriteTest, public ::testing::WithParamInterface<FailRow> {};

TEST_P(OverwriteWriteFailure, StopsAtOnceWithTheDriversCode) {
    const FailRow& row = GetParam();
    insertCard(row.sectors);
    fake.fail(Op::Write, 0x4321, static_cast<uint32_t>(row.failCall));
    EXPECT_EQ(run(), 0x4321);
    EXPECT_EQ(fake.countOf(Op::Write), row.failCall);
    EXPECT_EQ(status, uint32_t{StatusWriteFailed});
    EXPECT_EQ(elapsed, 0xDEADu) << "no duration for a failed pass";
    EXPECT_TRUE(sectorsHold(1, row.lastFFSector, 0xFF));
    EXPECT_TRUE(sectorsHold(row.lastFFSector, row.sectors, 0x5A));
    for (const std::u16string& line : view.textsOf(OverwriteLine))
        EXPECT_EQ(line.find(u"100%"), std::u16string::npos);
    EXPECT_EQ(view.textsOf(OverwriteLine).size(), row.failCall - 1);
}

INSTANTIATE_TEST_SUITE_P(Chunks, OverwriteWriteFailure,
                         ::testing::Values(FailRow{"FirstChunk", 1024, 1, 1},
                                           FailRow{"ThirdChunk", 1024, 3, 512},
                                           FailRow{"Remainder", 600, 3, 512},
                                           FailRow{"OnlyRemainder", 100, 1, 1}),
                         [](const auto& row) { return std::string(row.param.name); });

struct CancelRow {
    const char* name;
    uint32_t sectors;
    int afterChunks;   // the flag is raised while the line of this chunk is pumped
    bool suspend;      // powerAbort instead of a Cancel click
};

class OverwriteCancel : public OverwriteTest, public ::testing::WithParamInterface<CancelRow> {};

TEST_P(OverwriteCancel, StopsAtTheNextChunkBoundaryAndStopsTheErase) {
    const CancelRow& row = GetParam();
    insertCard(row.sectors);
    view.onPump = [&](int pumps) {
        if (pumps != row.afterChunks) return;
        if (row.suspend)
            flags.powerAbort = 1;
        else
            flags.cancelRequested = 1;
    };
    ASSERT_EQ(run(), 0);

    EXPECT_EQ(fake.countOf(Op::Write), static_cast<size_t>(row.afterChunks));
    EXPECT_EQ(flags.cancelRequested, 1u);
    EXPECT_EQ(status, uint32_t{StatusOverwriteCancelled});
    EXPECT_EQ(elapsed, 250u) << "a cancelled pass still reports its duration";
    const auto lines = view.textsOf(OverwriteLine);
    ASSERT_GT(lines.size(), static_cast<size_t>(row.afterChunks));
    for (size_t i = static_cast<size_t>(row.afterChunks); i < lines.size(); ++i)
        EXPECT_EQ(lines[i], overwriteLine(" CANCEL"));
    const uint32_t written = static_cast<uint32_t>(row.afterChunks) * 256;
    EXPECT_TRUE(sectorsHold(written, row.sectors, 0x5A)) << "nothing after the cancel is written";

    // The erase of the same run starts with the flag still set and stops before its first chunk.
    view.lines.clear();
    view.onPump = nullptr;
    Progress progress{flags, &view};
    FakeOs eraseOs;
    SystemState sys(eraseOs);
    sys.osKind = OsKindXp;
    uint32_t eraseElapsed = 0xDEAD;
    const int32_t erased =
        eraseFlash(EraseBoundLibrary, 5, 0, row.sectors, eraseElapsed, driver, progress, 0, sys);
    EXPECT_EQ(erased, 0);
    EXPECT_EQ(fake.countOf(Op::Erase), 0u);
    EXPECT_EQ(status, uint32_t{StatusOverwriteCancelled | StatusEraseCancelled});
    const auto eraseLines = view.textsOf(EraseLine);
    ASSERT_FALSE(eraseLines.empty());
    for (const std::u16string& line : eraseLines)
        EXPECT_EQ(line, builtinMessages().text(msg::EraseLineCaption) + u" CANCEL");
}

INSTANTIATE_TEST_SUITE_P(Points, OverwriteCancel,
                         ::testing::Values(CancelRow{"AfterFirstChunk", 1000, 1, false},
                                           CancelRow{"BeforeRemainder", 1000, 3, false},
                                           CancelRow{"AfterLastChunk", 768, 3, false},
                                           CancelRow{"SuspendAfterSecondChunk", 1000, 2, true}),
                         [](const auto& row) { return std::string(row.param.name); });

TEST_F(OverwriteTest, EarlierCancelIsForgottenAtTheStart) {
    insertCard(600);
    flags.cancelRequested = 1;
    ASSERT_EQ(run(), 0);
    EXPECT_EQ(fake.countOf(Op::Write), 3u);
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(view.textsOf(OverwriteLine).back(), overwriteLine(" 100% [600 / 600]"));
}

TEST_F(OverwriteTest, WithoutAWindowOnlyTheRemainderLooksAtTheFlags) {
    // Nothing is drawn, nothing pumped: a suspend already announced lets every full chunk
    // through and holds back only the remainder, without a status bit.
    insertCard(600);
    flags.powerAbort = 1;
    ASSERT_EQ(run(false), 0);
    EXPECT_EQ(fake.transfers(Op::Write), (std::vector<Span>{{0, 256}, {256, 256}}));
    EXPECT_EQ(flags.cancelRequested, 1u);
    EXPECT_EQ(status, 0u);
    EXPECT_TRUE(view.lines.empty());
}

// ---- The real virtual-card library ----------------------------------------------------------

class VirtualCardOverwrite : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::path(testing::TempDir()) / ("overwrite-" + std::to_string(::getpid()));
        fs::create_directories(dir_);
        image_ = dir_ / "card.img";
        flags.formatStatus = &status;
    }
    void TearDown() override {
        unsetenv("BRINDLECARD_CARDS");
        fs::remove_all(dir_);
    }

    // A sparse image of `sectors` with a record in sector 0 and junk in the last sector.
    void makeCard(uint32_t sectors, const std::string& sidecar = "") {
        std::ofstream(image_, std::ios::binary).close();
        fs::resize_file(image_, uint64_t{sectors} * kSector);
        std::fstream f(image_, std::ios::in | std::ios::out | std::ios::binary);
        std::string record(kSector, '\0');
        for (size_t i = 0; i < kSector; ++i) record[i] = static_cast<char>(i % 251 + 3);
        f.write(record.data(), kSector);
        f.seekp(static_cast<std::streamoff>((uint64_t{sectors} - 1) * kSector));
        f.write(std::string(kSector, 'J').data(), kSector);
        f.close();
        record_ = record;
        if (!sidecar.empty()) std::ofstream(image_.string() + ".card") << sidecar;
        setenv("BRINDLECARD_CARDS", ("E=" + image_.string()).c_str(), 1);
    }

    std::string image() const {
        std::string bytes(fs::file_size(image_), '\x01');
        std::ifstream(image_, std::ios::binary).read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        return bytes;
    }

    int32_t overwrite() {
        DriverBinding driver{test::systemOs()};
        if (bindDriver(driver, 1) != BindResult::Bound || openCard(driver, 5) != 0) {
            ADD_FAILURE() << "cannot open the virtual card: " << driver.lastError;
            return -999;
        }
        Progress progress{flags, &view};
        const int32_t rc = overwriteCard(driver, elapsed, progress, os);
        driver.api.DDFini(driver.driverHandle);
        return rc;
    }

    fs::path dir_, image_;
    std::string record_;
    RunFlags flags;
    uint32_t status = 0, elapsed = 0;
    FakeOs os;
    RecordingView view;
};

TEST_F(VirtualCardOverwrite, FillsTheUserAreaAndKeepsSectorZero) {
    makeCard(3 * 256 + 37);
    ASSERT_EQ(overwrite(), 0);
    const std::string bytes = image();
    ASSERT_EQ(bytes.size(), (3 * 256 + 37) * kSector);
    EXPECT_EQ(bytes.substr(0, kSector), record_);
    EXPECT_EQ(bytes.find_first_not_of('\xFF', kSector), std::string::npos);
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(view.textsOf(OverwriteLine).back(), overwriteLine(" 100% [805 / 805]"));
}

TEST_F(VirtualCardOverwrite, LibraryFailuresStopThePass) {
    struct Row {
        const char* sidecar;
        int32_t result;
        size_t firstNotFF;  // byte offset: only the chunks before it were written
    };
    for (const Row& row : {Row{"fail_write_call = 2\nfail_write_code = 4660\n", 4660, 256 * kSector},
                           Row{"vanish_after_writes = 3\n", SDHOST_ERR_NO_CARD, 768 * kSector}}) {
        SCOPED_TRACE(row.sidecar);
        status = 0;
        makeCard(1024, row.sidecar);
        EXPECT_EQ(overwrite(), row.result);
        EXPECT_EQ(status, uint32_t{StatusWriteFailed});
        const std::string bytes = image();
        EXPECT_EQ(bytes.find_first_not_of('\xFF', kSector), row.firstNotFF);
        EXPECT_EQ(bytes.find_first_not_of('\0', row.firstNotFF), 1023 * kSector) << "rest untouched";
    }
}

} // namespace
} // namespace brc
