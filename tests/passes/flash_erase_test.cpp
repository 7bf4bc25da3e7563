// The flash erase: chunk bounds, progress line, status bits, cancel and suspend on the bound
// library; the private library's loading, volume handling and release through a scripted OS;
// and both paths over the real virtual-card library.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <dlfcn.h>
#include <unistd.h>

#include "tests/support/system_os.h"
#include "device/driver_binding.h"
#include "device/system_checks.h"
#include "passes/flash_erase.h"
#include "progress/progress.h"
#include "res/message_ids.h"
#include "tests/support/fake_os.h"
#include "tests/support/counting_messages.h"
#include "tests/support/fake_card.h"
#include "tests/support/recording_view.h"

namespace brc {
namespace {

namespace fs = std::filesystem;
using Range = std::pair<uint32_t, uint32_t>;  // first and last sector, inclusive

constexpr uint32_t kBoundHandle = 0x33;
constexpr uint32_t kPrivateHandle = 0x77;
constexpr uint32_t kDrive = 5;  // E:
constexpr uint32_t kSentinel = 0xDEAD;

using test::Drawn;
using test::Op;
using test::RecordingView;

// The lines drawn; the erase pass draws on its own line only.
std::vector<std::u16string> eraseTexts(const RecordingView& view) {
    std::vector<std::u16string> out;
    for (const Drawn& d : view.lines) {
        EXPECT_EQ(d.controlId, uint32_t{EraseLine});
        out.push_back(d.text);
    }
    return out;
}

std::u16string eraseLine(const std::string& suffix) {
    return builtinMessages().text(msg::EraseLineCaption) + asciiToUtf16(suffix);
}
const std::u16string kCancelLine = eraseLine(" CANCEL");

// Each chunk starts right after the previous one.
void expectContiguous(const std::vector<Range>& calls) {
    for (size_t i = 0; i < calls.size(); ++i) {
        EXPECT_LE(calls[i].first, calls[i].second) << "chunk " << i;
        if (i > 0) {
            EXPECT_EQ(calls[i].first, calls[i - 1].second + 1) << "chunk " << i;
        }
    }
}

// ---- The bound library -------------------------------------------------------------------------

class BoundErase : public ::testing::Test {
protected:
    BoundErase() : sys(os) {
        flags.formatStatus = &status;
        os.tickStep = 40;
        sys.osKind = OsKindXp;
        card.install(driver, 1);
    }

    int32_t run(uint32_t first, uint32_t end) {
        return eraseFlash(EraseBoundLibrary, kDrive, first, end, elapsed, driver, progress, 1, sys);
    }

    test::FakeCard card{0xFFFFFFFFu};
    DriverBinding driver{test::systemOs()};
    RunFlags flags;
    uint32_t status = 0;
    uint32_t elapsed = kSentinel;
    FakeOs os;
    SystemState sys;
    RecordingView view;
    Progress progress{flags, &view};
};

struct RangeRow {
    const char* name;
    uint32_t first, end;
    size_t chunks;
    Range firstChunk, lastChunk;
    std::vector<std::pair<size_t, std::string>> probes;  // line index -> suffix
};

class EraseRanges : public BoundErase, public ::testing::WithParamInterface<RangeRow> {};

TEST_P(EraseRanges, ErasesEachChunkOnceWithInclusiveBounds) {
    const RangeRow& row = GetParam();
    ASSERT_EQ(run(row.first, row.end), 0);
    const std::vector<Range> calls = card.transfers(Op::Erase);
    ASSERT_EQ(calls.size(), row.chunks);
    if (row.chunks > 0) {
        EXPECT_EQ(calls.front(), row.firstChunk);
        EXPECT_EQ(calls.back(), row.lastChunk);
        expectContiguous(calls);
        for (size_t i = 0; i + 1 < calls.size(); ++i)
            EXPECT_EQ(calls[i].second - calls[i].first + 1, kEraseChunkSectors);
    }
    const auto lines = eraseTexts(view);
    ASSERT_EQ(lines.size(), row.chunks + 1) << "one line per chunk and the final line";
    for (const auto& [index, suffix] : row.probes) EXPECT_EQ(lines.at(index), eraseLine(suffix));
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(elapsed, 40u);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, EraseRanges,
    ::testing::Values(
        RangeRow{"ThreeFullChunks", 0, 3 * 8192, 3, {0, 8191}, {16384, 24575},
                 {{0, "  33% [    8192 /    24576]"},
                  {1, "  66% [   16384 /    24576]"},
                  {2, " 100% [   24576 /    24576]"},
                  {3, " 100% [   24576 /    24576]"}}},
        RangeRow{"ThreeChunksAndOneSector", 0, 3 * 8192 + 1, 4, {0, 8191}, {24576, 24576},
                 {{2, "  99% [   24576 /    24577]"},
                  {3, " 100% [   24577 /    24577]"},
                  {4, " 100% [   24577 /    24577]"}}},
        RangeRow{"OneChunk", 0, 8192, 1, {0, 8191}, {0, 8191},
                 {{0, " 100% [    8192 /     8192]"}}},
        RangeRow{"OneSector", 0, 1, 1, {0, 0}, {0, 0},
                 {{0, " 100% [       1 /        1]"}, {1, " 100% [       1 /        1]"}}},
        RangeRow{"FromAnInnerSector", 1000, 1000 + 8192 + 10, 2, {1000, 9191}, {9192, 9201},
                 {{0, "  99% [    8192 /     8202]"}, {1, " 100% [    8202 /     8202]"}}},
        RangeRow{"EmptyRange", 500, 500, 0, {}, {}, {{0, " 100% [       0 /        0]"}}},
        RangeRow{"EndBeforeStart", 600, 500, 0, {}, {}, {{0, " 100% [       0 /        0]"}}},
        RangeRow{"LastChunkFull", 0, 8388608, 1024, {0, 8191}, {8380416, 8388607},
                 {{1024, " 100% [ 8388608 /  8388608]"}}},
        RangeRow{"LastChunkPartial", 0, 7744512, 946, {0, 8191}, {7741440, 7744511},
                 {{945, " 100% [ 7744512 /  7744512]"}}},
        // done × 100 no longer fits 32 bits past 42949672 sectors.
        RangeRow{"PercentPastThirtyTwoBits", 0, 100000000, 12208, {0, 8191},
                 {99999744, 99999999},
                 {{6103, "  50% [50003968 / 100000000]"},
                  {12206, "  99% [99999744 / 100000000]"}}},
        RangeRow{"EndsAtTheLastSectorNumber", 0xFFFFFFFFu - 16387, 0xFFFFFFFFu, 3,
                 {0xFFFFFFFFu - 16387, 0xFFFFFFFFu - 8196}, {0xFFFFFFFFu - 3, 0xFFFFFFFEu},
                 {{3, " 100% [   16387 /    16387]"}}}),
    [](const auto& row) { return std::string(row.param.name); });

struct FailureRow {
    const char* name;
    uint32_t sectors;
    size_t failCall;
    uint32_t expectedStatus;
    std::vector<std::string> lines;
};

class EraseFailure : public BoundErase, public ::testing::WithParamInterface<FailureRow> {};

TEST_P(EraseFailure, StopsAtTheFailingChunk) {
    const FailureRow& row = GetParam();
    card.fail(Op::Erase, 0x0777, static_cast<uint32_t>(row.failCall));
    EXPECT_EQ(run(0, row.sectors), 0x0777);
    EXPECT_EQ(card.countOf(Op::Erase), row.failCall) << "nothing after the failing chunk";
    EXPECT_EQ(status, row.expectedStatus);
    std::vector<std::u16string> expected;
    for (const std::string& s : row.lines) expected.push_back(eraseLine(s));
    EXPECT_EQ(eraseTexts(view), expected) << "the line keeps the last good chunk";
    EXPECT_EQ(elapsed, kSentinel) << "no duration for a failed erase";
}

INSTANTIATE_TEST_SUITE_P(
    Chunks, EraseFailure,
    ::testing::Values(FailureRow{"First", 8 * 8192, 1, StatusEraseNotStarted, {}},
                      FailureRow{"OnlyChunk", 100, 1, StatusEraseNotStarted, {}},
                      FailureRow{"Fifth", 8 * 8192, 5, StatusEraseFailedLater,
                                 {"  12% [    8192 /    65536]", "  25% [   16384 /    65536]",
                                  "  37% [   24576 /    65536]", "  50% [   32768 /    65536]"}},
                      FailureRow{"Last", 2 * 8192 + 1, 3, StatusEraseFailedLater,
                                 {"  49% [    8192 /    16385]", "  99% [   16384 /    16385]"}}),
    [](const auto& row) { return std::string(row.param.name); });

struct CancelRow {
    const char* name;
    int atPump;    // 0: already set when the pass starts
    bool suspend;  // powerAbort instead of cancelRequested
    size_t chunksErased;
};

class EraseCancel : public BoundErase, public ::testing::WithParamInterface<CancelRow> {};

TEST_P(EraseCancel, StopsBeforeTheNextChunk) {
    const CancelRow& row = GetParam();
    auto raise = [&] { (row.suspend ? flags.powerAbort : flags.cancelRequested) = 1; };
    if (row.atPump == 0) raise();
    view.onPump = [&](int pumps) {
        if (pumps == row.atPump) raise();
    };
    EXPECT_EQ(run(0, 4 * 8192 + 5), 0);
    EXPECT_EQ(card.countOf(Op::Erase), row.chunksErased);
    EXPECT_EQ(flags.cancelRequested, 1u);
    EXPECT_EQ(status, uint32_t{StatusEraseCancelled});
    EXPECT_EQ(elapsed, 40u) << "a cancel is a success: the duration is stored";
    const auto lines = eraseTexts(view);
    ASSERT_EQ(lines.size(), row.chunksErased + 2) << "chunk lines, then CANCEL twice";
    EXPECT_EQ(lines[row.chunksErased], kCancelLine);
    EXPECT_EQ(lines.back(), kCancelLine);
}

INSTANTIATE_TEST_SUITE_P(Points, EraseCancel,
                         ::testing::Values(CancelRow{"AlreadySet", 0, false, 0},
                                           CancelRow{"AfterFirstChunk", 1, false, 1},
                                           CancelRow{"BeforeLastChunk", 4, false, 4},
                                           CancelRow{"SuspendAlreadyAnnounced", 0, true, 0},
                                           CancelRow{"SuspendAfterSecondChunk", 2, true, 2}),
                         [](const auto& row) { return std::string(row.param.name); });

TEST_F(BoundErase, CancelAfterTheLastChunkReplacesTheFinalLine) {
    view.onPump = [&](int pumps) {
        if (pumps == 2) flags.cancelRequested = 1;
    };
    EXPECT_EQ(run(0, 2 * 8192), 0);
    EXPECT_EQ(card.countOf(Op::Erase), 2u);
    EXPECT_EQ(status, uint32_t{StatusEraseCancelled});
    EXPECT_EQ(eraseTexts(view), (std::vector<std::u16string>{eraseLine("  50% [    8192 /    16384]"),
                                                         eraseLine(" 100% [   16384 /    16384]"),
                                                         kCancelLine}));
}

TEST_F(BoundErase, LoadsItsCaptionOncePerPass) {
    test::CountingMessages messages;
    RecordingView window(messages);
    Progress counted{flags, &window};
    for (int pass = 1; pass <= 2; ++pass) {
        const int32_t rc =
            eraseFlash(EraseBoundLibrary, kDrive, 0, 100 * 8192, elapsed, driver, counted, 1, sys);
        EXPECT_EQ(rc, 0);
        // The window keeps the caption it loaded for the first pass.
        EXPECT_EQ(messages.loads[msg::EraseLineCaption], 1) << pass;
    }
    const auto lines = eraseTexts(window);
    ASSERT_EQ(lines.size(), 2u * 101) << "still one line per chunk and the final line";
    EXPECT_EQ(lines[49], eraseLine("  50% [  409600 /   819200]"));
    EXPECT_EQ(lines.back(), eraseLine(" 100% [  819200 /   819200]"));
}

TEST_F(BoundErase, LibraryWithoutEraseDrawsNothing) {
    DriverApi api;  // no DDErase
    installDriverTable(driver, 1, api);
    EXPECT_EQ(run(0, 8192), 0x1001);
    EXPECT_TRUE(view.lines.empty());
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(elapsed, kSentinel);
    EXPECT_TRUE(os.calls.empty()) << "the bound path leaves the system alone";
}

// ---- The private library through a scripted system ---------------------------------------------

// The private instance is the route-1 library beside the program's other driver libraries; it is
// asked for the driver context too, which a library of ours takes.
const std::string kPrivatePath = "C:\\Program Files\\Brindlecard\\" + driverFileName(1, false);
const std::vector<std::string> kRequiredLookups = {
    "libraryProc DDInit", "libraryProc DDFini", "libraryProc DDSysInit", "libraryProc DDSysFini",
    "libraryProc DDErase"};
const std::vector<std::string> kLookups = [] {
    std::vector<std::string> all = kRequiredLookups;
    all.push_back("libraryProc BrcSetDriverContext");
    return all;
}();

std::vector<std::string> concat(std::initializer_list<std::vector<std::string>> parts) {
    std::vector<std::string> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

class PrivateErase : public ::testing::Test {
protected:
    PrivateErase() : sys(os) {
        flags.formatStatus = &status;
        os.tickStep = 10;
        sys.osKind = OsKindXp;
        card.handle = kPrivateHandle;
        card.addTo(os, kPrivatePath);
        card.logTo(os);
        // The bound library is route 2 and has no erase of its own; the path must not touch it.
        installDriverTable(driver, 2, DriverApi{});
        driver.driverHandle = kBoundHandle;
    }

    int32_t run(uint32_t sectors, uint32_t lockFlag) {
        testing::internal::CaptureStdout();
        const int32_t rc = eraseFlash(ErasePrivateLibrary, kDrive, 0, sectors, elapsed, driver,
                                      progress, lockFlag, sys);
        printed = testing::internal::GetCapturedStdout();
        return rc;
    }

    // The calls that matter here: libraries, the private operations, the volume.
    std::vector<std::string> log() const {
        return os.callsStartingWith({"driverLibraryFolder", "loadLibrary", "libraryProc",
                                     "freeLibrary", "DD", "openVolume", "volumeRequest",
                                     "closeVolume"});
    }

    void expectReleasedOnce() const {
        EXPECT_EQ(os.librariesFreed, os.librariesLoaded) << "every load is undone";
        EXPECT_LE(os.librariesLoaded, 1u);
        EXPECT_EQ(os.loadedLibraryCount(), 0u);
        EXPECT_EQ(os.badHandleUses, 0u);
    }

    FakeOs os;
    test::FakeCard card{0xFFFFFFFFu};  // behind the private library
    DriverBinding driver{test::systemOs()};
    RunFlags flags;
    uint32_t status = 0;
    uint32_t elapsed = kSentinel;
    SystemState sys;
    RecordingView view;
    Progress progress{flags, &view};
    std::string printed;
};

// Opening the library and letting go of the volume, common to every run that gets that far.
const std::vector<std::string> kOpened =
    concat({{"driverLibraryFolder", "loadLibrary " + kPrivatePath},
            kLookups,
            {"openVolume E", "volumeRequest Unlock", "closeVolume"}});

TEST_F(PrivateErase, HoldsTheVolumeLockedWhileErasingAndLeavesItLocked) {
    ASSERT_EQ(run(8192 + 1, 1), 0);
    EXPECT_EQ(log(), concat({kOpened,
                             {"DDSysInit", "DDInit 5", "openVolume E", "volumeRequest Lock",
                              "DDErase 0-8191", "DDErase 8192-8192", "volumeRequest Unlock",
                              "DDFini", "DDSysFini", "freeLibrary " + kPrivatePath,
                              "volumeRequest Lock"}}));
    EXPECT_EQ(printed, " Load DLL Name : " + kPrivatePath + " \n");
    EXPECT_EQ(status, 0u);
    EXPECT_NE(elapsed, kSentinel);
    EXPECT_EQ(eraseTexts(view).back(), eraseLine(" 100% [    8193 /     8193]"));
    EXPECT_NE(sys.volumeHandle, nullptr) << "left open and locked for the file-system write";
    EXPECT_EQ(os.openVolumeCount(), 1u);
    expectReleasedOnce();
}

// A binding that names its libraries' folder takes the private instance from there too, and the
// console line names the library that was loaded. Only that library answers here: one looked
// for anywhere else would not load, and the erase would not start.
TEST_F(PrivateErase, TakesTheInstanceFromTheBindingsOwnFolder) {
    os.libraries.clear();
    driver.directory = "D:\\tools\\brindlecard";
    const std::string path = driver.directory + "\\" + driverFileName(1, false);
    card.addTo(os, path);
    ASSERT_EQ(run(100, 0), 0);
    EXPECT_EQ(printed, " Load DLL Name : " + path + " \n");
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(card.countOf(Op::Erase), 1u);
    const std::vector<std::string> loads =
        os.callsStartingWith({"driverLibraryFolder", "loadLibrary"});
    EXPECT_EQ(loads, std::vector<std::string>{"loadLibrary " + path});
    expectReleasedOnce();
}

TEST_F(PrivateErase, WithoutTheLockFlagLocksOnlyAfterwards) {
    ASSERT_EQ(run(100, 0), 0);
    EXPECT_EQ(log(), concat({kOpened,
                             {"DDSysInit", "DDInit 5", "DDErase 0-99", "DDFini", "DDSysFini",
                              "freeLibrary " + kPrivatePath, "openVolume E",
                              "volumeRequest Lock"}}));
    EXPECT_EQ(os.openVolumeCount(), 1u);
    expectReleasedOnce();
}

TEST_F(PrivateErase, VistaAndLaterNeverTouchTheVolume) {
    sys.osKind = OsKindVistaTo8;
    ASSERT_EQ(run(100, 1), 0);
    EXPECT_EQ(log(), concat({{"driverLibraryFolder", "loadLibrary " + kPrivatePath},
                             kLookups,
                             {"DDSysInit", "DDInit 5", "DDErase 0-99", "DDFini", "DDSysFini",
                              "freeLibrary " + kPrivatePath}}));
    EXPECT_EQ(sys.volumeHandle, nullptr);
    EXPECT_TRUE(os.allReleased());
}

TEST_F(PrivateErase, SuspendDuringTheLastChunkCancels) {
    // Only this path looks at powerAbort once more after the loop.
    view.onPump = [&](int pumps) {
        if (pumps == 1) flags.powerAbort = 1;
    };
    ASSERT_EQ(run(8192, 0), 0);
    EXPECT_EQ(card.countOf(Op::Erase), 1u);
    EXPECT_EQ(flags.cancelRequested, 1u);
    EXPECT_EQ(status, uint32_t{StatusEraseCancelled});
    EXPECT_EQ(eraseTexts(view).back(), kCancelLine);
    expectReleasedOnce();

    // The bound path draws its final line in the same situation.
    FakeOs boundOs;
    SystemState boundSys(boundOs);
    test::FakeCard boundCard{0xFFFFFFFFu};
    DriverBinding bound{test::systemOs()};
    boundCard.install(bound, 1);
    flags = RunFlags{};
    flags.formatStatus = &status;
    status = 0;
    view.lines.clear();
    view.pumps = 0;
    EXPECT_EQ(eraseFlash(EraseBoundLibrary, kDrive, 0, 8192, elapsed, bound, progress, 0, boundSys),
              0);
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(eraseTexts(view).back(), eraseLine(" 100% [    8192 /     8192]"));
}

struct SetupFailureRow {
    std::string name;
    std::function<void(PrivateErase&, FakeOs&, test::FakeCard&)> setup;
    int32_t result;
    uint32_t status;
    std::vector<std::string> calls;
    size_t volumesLeftOpen;
};

class PrivateEraseFailure : public PrivateErase,
                            public ::testing::WithParamInterface<SetupFailureRow> {};

TEST_P(PrivateEraseFailure, ReleasesWhatItTook) {
    const SetupFailureRow& row = GetParam();
    row.setup(*this, os, card);
    EXPECT_EQ(run(3 * 8192, 1), row.result);
    EXPECT_EQ(status, row.status);
    EXPECT_EQ(log(), row.calls);
    EXPECT_EQ(os.openVolumeCount(), row.volumesLeftOpen);
    EXPECT_EQ(sys.volumeHandle != nullptr, row.volumesLeftOpen == 1);
    EXPECT_EQ(elapsed, kSentinel);
    for (const std::u16string& line : eraseTexts(view))
        EXPECT_EQ(line.find(u"100%"), std::u16string::npos);
    expectReleasedOnce();
}

std::vector<SetupFailureRow> setupFailureRows() {
    const std::string freed = "freeLibrary " + kPrivatePath;
    // After a failure the volume is dismounted and locked again for the file-system write.
    const std::vector<std::string> relock = {"openVolume E", "volumeRequest Dismount",
                                             "volumeRequest Lock"};
    std::vector<SetupFailureRow> rows = {
        {"NoDriverFolder",
         [](PrivateErase&, FakeOs& os, test::FakeCard&) { os.driverFolder.clear(); },
         1,
         StatusEraseNotStarted,
         {"driverLibraryFolder"},
         0},
        {"LibraryMissing",
         [](PrivateErase&, FakeOs& os, test::FakeCard&) { os.libraries.clear(); },
         1,
         StatusEraseNotStarted,
         {"driverLibraryFolder", "loadLibrary " + kPrivatePath},
         0},
        {"SysInitFails",
         [](PrivateErase&, FakeOs&, test::FakeCard& c) { c.fail(Op::SysInit, 0x0101); }, 0x0101,
         StatusEraseNotStarted, concat({kOpened, {"DDSysInit", "DDSysFini", freed}, relock}), 1},
        {"InitFails", [](PrivateErase&, FakeOs&, test::FakeCard& c) { c.fail(Op::Init, 0x0103); },
         0x0103, StatusEraseNotStarted,
         concat({kOpened, {"DDSysInit", "DDInit 5", "DDSysFini", freed}, relock}), 1},
        {"FirstChunkFails",
         [](PrivateErase&, FakeOs&, test::FakeCard& c) { c.fail(Op::Erase, 0x0107, 1); }, 0x0107,
         StatusEraseNotStarted,
         concat({kOpened,
                 {"DDSysInit", "DDInit 5", "openVolume E", "volumeRequest Lock", "DDErase 0-8191",
                  "volumeRequest Unlock", "DDFini", "DDSysFini", freed, "volumeRequest Dismount",
                  "volumeRequest Lock"}}),
         1},
        {"SecondChunkFails",
         [](PrivateErase&, FakeOs&, test::FakeCard& c) { c.fail(Op::Erase, 0x0105, 2); }, 0x0105,
         StatusEraseFailedLater,
         concat({kOpened,
                 {"DDSysInit", "DDInit 5", "openVolume E", "volumeRequest Lock", "DDErase 0-8191",
                  "DDErase 8192-16383", "volumeRequest Unlock", "DDFini", "DDSysFini", freed,
                  "volumeRequest Dismount", "volumeRequest Lock"}}),
         1},
        {"VolumeWillNotOpenForTheLock",
         [](PrivateErase&, FakeOs& os, test::FakeCard&) {
             os.openAnswers[u'E'] = {true, false};
         },
         -1, 0,
         concat({kOpened, {"DDSysInit", "DDInit 5", "openVolume E", "DDFini", "DDSysFini", freed}}),
         0},
        {"VolumeWillNotReopenAfterAFailure",
         [](PrivateErase&, FakeOs& os, test::FakeCard& c) {
             c.fail(Op::SysInit, 0x0101);
             os.unopenable.insert(u'E');
             os.openAnswers[u'E'] = {true};
         },
         -1, StatusEraseNotStarted,
         concat({kOpened, {"DDSysInit", "DDSysFini", freed, "openVolume E", "openVolume E"}}), 0},
    };
    // Each operation missing in turn: the lookups stop there and the library is unloaded.
    for (size_t missing = 0; missing < kRequiredLookups.size(); ++missing) {
        const std::string name = kRequiredLookups[missing].substr(std::string("libraryProc ").size());
        std::vector<std::string> calls = {"driverLibraryFolder", "loadLibrary " + kPrivatePath};
        calls.insert(calls.end(), kRequiredLookups.begin(), kRequiredLookups.begin() + static_cast<long>(missing) + 1);
        calls.push_back(freed);
        rows.push_back({"Missing" + name,
                        [name](PrivateErase&, FakeOs& os, test::FakeCard&) {
                            os.libraries[kPrivatePath].erase(name);
                        },
                        1, StatusEraseNotStarted, calls, 0});
    }
    return rows;
}

INSTANTIATE_TEST_SUITE_P(Setup, PrivateEraseFailure, ::testing::ValuesIn(setupFailureRows()),
                         [](const auto& row) { return row.param.name; });

TEST_F(PrivateErase, VolumeThatWillNotReopenAfterASuccessGivesMinusOne) {
    os.openAnswers[u'E'] = {true, false};
    EXPECT_EQ(run(100, 0), -1);
    EXPECT_EQ(card.countOf(Op::Erase), 1u);
    EXPECT_EQ(os.openVolumeCount(), 0u);
    expectReleasedOnce();
}

// ---- The real virtual-card library -------------------------------------------------------------

class VirtualCardErase : public ::testing::Test {
protected:
    static constexpr uint32_t kSectors = 2 * 8192 + 100;

    VirtualCardErase() : sys(os) {
        flags.formatStatus = &status;
        sys.osKind = OsKindXp;
    }
    void SetUp() override {
        dir_ = fs::path(testing::TempDir()) / ("erase-" + std::to_string(::getpid()));
        fs::create_directories(dir_);
        image_ = dir_ / "card.img";
    }
    void TearDown() override {
        unsetenv("BRINDLECARD_CARDS");
        fs::remove_all(dir_);
    }

    // A sparse card with data in the sectors on both sides of each chunk boundary.
    void makeCard(const std::string& sidecar) {
        std::ofstream(image_, std::ios::binary).close();
        fs::resize_file(image_, uint64_t{kSectors} * 512);
        std::fstream f(image_, std::ios::in | std::ios::out | std::ios::binary);
        for (uint32_t s : {0u, 8191u, 8192u, 16383u, 16384u, kSectors - 1}) {
            f.seekp(static_cast<std::streamoff>(uint64_t{s} * 512));
            f.write(std::string(512, 'D').data(), 512);
        }
        f.close();
        if (!sidecar.empty()) std::ofstream(image_.string() + ".card") << sidecar;
        setenv("BRINDLECARD_CARDS", ("E=" + image_.string()).c_str(), 1);
    }
    // Offset of the first byte that is not zero, or npos.
    size_t firstData() const {
        EXPECT_EQ(fs::file_size(image_), uint64_t{kSectors} * 512);
        std::string bytes(size_t{kSectors} * 512, '\x01');
        std::ifstream(image_, std::ios::binary).read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        return bytes.find_first_not_of('\0');
    }

    fs::path dir_, image_;
    RunFlags flags;
    uint32_t status = 0, elapsed = kSentinel;
    FakeOs os;
    SystemState sys;
    RecordingView view;
    Progress progress{flags, &view};
};

struct CardRow {
    const char* sidecar;
    int32_t result;
    uint32_t status;
    size_t firstData;  // byte offset of the first data left, npos when all is erased
};

class VirtualCardEraseRows : public VirtualCardErase, public ::testing::WithParamInterface<CardRow> {};

TEST_P(VirtualCardEraseRows, BoundLibrary) {
    const CardRow& row = GetParam();
    makeCard(row.sidecar);
    DriverBinding driver{test::systemOs()};
    ASSERT_EQ(bindDriver(driver, 1), BindResult::Bound) << driver.lastError;
    ASSERT_EQ(openCard(driver, kDrive), 0u);
    EXPECT_EQ(eraseFlash(EraseBoundLibrary, kDrive, 0, kSectors, elapsed, driver, progress, 1, sys),
              row.result);
    driver.api.DDFini(driver.driverHandle);
    EXPECT_EQ(status, row.status);
    EXPECT_EQ(firstData(), row.firstData);
    EXPECT_TRUE(os.callsStartingWith({"openVolume", "volumeRequest", "loadLibrary"}).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Sidecars, VirtualCardEraseRows,
    ::testing::Values(CardRow{"", 0, 0, std::string::npos},
                      CardRow{"erase = 0\n", static_cast<int32_t>(SDHOST_ERR_NO_ERASE),
                              StatusEraseNotStarted, 0},
                      CardRow{"fail_erase_call = 2\n", static_cast<int32_t>(SDHOST_ERR_IO),
                              StatusEraseFailedLater, 8192 * 512}),
    [](const auto& row) {
        return std::string(row.index == 0 ? "Erases" : row.index == 1 ? "Unsupported" : "SecondChunkFails");
    });

TEST_F(VirtualCardErase, PrivateLibraryInstanceErasesTheCard) {
    makeCard("");
    // The scripted system hands out the real route-1 library's operations as the private instance.
    void* lib = ::dlopen(QUILLHOST_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << ::dlerror();
    os.driverFolder = "/opt/brindlecard/lib";
    const std::string path = os.driverFolder + "/quillhost.so";
    for (const char* name : {"DDInit", "DDFini", "DDSysInit", "DDSysFini", "DDErase"}) {
        void* fn = ::dlsym(lib, name);
        ASSERT_NE(fn, nullptr) << name;
        os.libraries[path][name] = fn;
    }
    DriverBinding bound{test::systemOs()};  // route 2 bound, as when the private path is taken
    ASSERT_EQ(bindDriver(bound, 2), BindResult::Bound) << bound.lastError;

    testing::internal::CaptureStdout();
    const int32_t rc =
        eraseFlash(ErasePrivateLibrary, kDrive, 0, kSectors, elapsed, bound, progress, 1, sys);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), " Load DLL Name : " + path + " \n");
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(firstData(), std::string::npos);
    EXPECT_EQ(os.librariesLoaded, 1u);
    EXPECT_EQ(os.librariesFreed, 1u);
    EXPECT_EQ(os.openVolumeCount(), 1u);
    ::dlclose(lib);
}

} // namespace
} // namespace brc
