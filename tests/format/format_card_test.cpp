// formatCard as a whole, on a virtual card served by the real driver libraries: how every way out
// leaves the card, the volume and the progress window, and what the full formats leave on the
// card. The bound library's operations, and those of the erase's own instance, run through fake
// cards in front of them that log them into the scripted system's call log, count opens and
// closes, and can fail a call or raise a power abort.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "base/environment.h"
#include "device/card_map.h"
#include "tests/support/system_os.h"
#include "device/driver_binding.h"
#include "device/system_checks.h"
#include "format/format_card.h"
#include "tests/support/fake_os.h"
#include "res/message_ids.h"
#include "tests/format/format_rig.h"
#include "tests/support/recording_view.h"

namespace brc::format_test {
namespace {

constexpr uint32_t kSectors = 20480;  // FAT12, three erase chunks, eighty overwrite chunks
const std::u16string kRoot = u"Z:\\";

std::string text(uint32_t id) { return utf16ToUtf8(builtinMessages().text(id)); }

// ---- the system, the window ------------------------------------------------------------------

// Lets a test act right after a volume call, as a power broadcast arriving then would.
class HookedOs : public FakeOs {
public:
    std::function<void(const std::string&)> after;
    void* openVolume(char16_t letter) override {
        void* v = FakeOs::openVolume(letter);
        if (after) after(calls.back());
        return v;
    }
    bool volumeRequest(void* volume, VolumeRequest request) override {
        const bool ok = FakeOs::volumeRequest(volume, request);
        if (after) after(calls.back());
        return ok;
    }
};

class CountingHost : public ProgressWindowHost {
public:
    test::RecordingView view;
    uint32_t created = 0, destroyed = 0;
    bool open = false;
    ProgressView* createProgressWindow() override {
        ++created;
        EXPECT_FALSE(open) << "a second progress window";
        open = true;
        return &view;
    }
    void destroyProgressWindow() override {
        ++destroyed;
        EXPECT_TRUE(open) << "destroying a window that does not exist";
        open = false;
    }
};

// ---- one card, one system, one bound library -------------------------------------------------

int gRunCount = 0;
struct CardRun;
CardRun* gHolding = nullptr; // the run whose library hears DDHoldVolumes

// The bound library's DDHoldVolumes: noted in the run's call log, answered as the run says.
uint32_t SDHOST_CALL recordHold(uint32_t drive, uint32_t on);

struct CardRun {
    std::filesystem::path dir, image;
    std::optional<CardsVariable> cards;
    HookedOs os;
    SystemState sys{os};
    DriverBinding driver{test::systemOs()};
    uint32_t status = 0;
    RunFlags flags;
    Progress progress{flags, nullptr};
    CountingHost host;
    ExFatState exfat;
    ReportValues report;
    FormatServices svc{driver, sys, progress, host, exfat, report};
    FormatFigures figures;
    test::FakeCard bound, priv;  // in front of the bound library and of the erase's own instance
    std::function<void(const std::string&)> hook;  // with each driver call, before it runs
    uint32_t holdEndAnswer = SDHOST_OK;            // DDHoldVolumes(drive, 0)'s
    void* privateLibrary = nullptr;
    const std::string privatePath = BRC_QUILLHOST_PATH;
    bool verify = false;                           // the run reads back what it wrote

    CardRun(uint32_t route, OsKind osKind, const std::string& sidecar = "",
            uint32_t sectors = kSectors, bool pattern = false) {
        dir = std::filesystem::temp_directory_path() /
              ("brc-format-card-" + std::to_string(::getpid()) + "-" + std::to_string(gRunCount++));
        std::filesystem::create_directories(dir);
        image = dir / "card.img";
        createCard(image, sectors, sidecar);
        if (pattern) ImageFile(image).fillPattern(0, sectors);
        cards.emplace(image);
        sys.osKind = osKind;
        if (osKind == OsKindXp) os.volumes[kRoot] = VolumeInfo{};
        flags.formatStatus = &status;
        bound.onCall = [this](const test::Call& c) { log("", c); };
        priv.onCall = [this](const test::Call& c) { log("private ", c); };
        if (route != 0) {
            EXPECT_EQ(bindDriver(driver, route), BindResult::Bound) << driver.lastError;
            bound.wrap(driver);
            driver.api.holdVolumes = recordHold;
        }
        // The private instance an erase on route 2 loads through the system.
        privateLibrary = ::dlopen(BRC_QUILLHOST_PATH, RTLD_NOW | RTLD_LOCAL);
        if (!privateLibrary) {
            ADD_FAILURE() << ::dlerror();
            return;
        }
        DriverApi real;
        real.DDSysInit = reinterpret_cast<DDSysInit_t>(::dlsym(privateLibrary, "DDSysInit"));
        real.DDSysFini = reinterpret_cast<DDSysFini_t>(::dlsym(privateLibrary, "DDSysFini"));
        real.DDInit = reinterpret_cast<DDInit_t>(::dlsym(privateLibrary, "DDInit"));
        real.DDFini = reinterpret_cast<DDFini_t>(::dlsym(privateLibrary, "DDFini"));
        real.DDErase = reinterpret_cast<DDErase_t>(::dlsym(privateLibrary, "DDErase"));
        priv.wrap(real);
        os.driverFolder = std::filesystem::path(privatePath).parent_path().string();
        addPrivateLibrary(privatePath);
    }
    ~CardRun() {
        if (privateLibrary) ::dlclose(privateLibrary);
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    CardRun(const CardRun&) = delete;
    CardRun& operator=(const CardRun&) = delete;

    void addPrivateLibrary(const std::string& path) { priv.addTo(os, path); }

    // A zero sector 0 is how the full formats take the partition away; the line says so.
    void log(const std::string& prefix, const test::Call& c) {
        const bool zeros = c.op == Op::Write && c.first == 0 &&
                           std::all_of(c.data, c.data + 512, [](uint8_t v) { return v == 0; });
        const std::string line = prefix + test::describe(c) + (zeros ? " zeros" : "");
        os.note(line);
        if (hook) hook(line);
    }

    int32_t format(FormatType type, std::u16string label = u"") {
        status = 0;
        figures = FormatFigures{};
        figures.verify.asked = verify;
        gHolding = this;
        const int32_t result = formatCard(svc, kRoot, label, false, type, figures);
        gHolding = nullptr;
        return result;
    }
    std::vector<std::string> calls(const std::vector<std::string>& prefixes) const {
        return os.callsStartingWith(prefixes);
    }
    bool called(const std::string& prefix) const { return !calls({prefix}).empty(); }
    std::string line(uint32_t id) { return utf16ToUtf8(host.view.last(id)); }

    // Whatever way the run ended: every card closed once, no volume or library left, the
    // window gone.
    void expectAllClosed(uint32_t windows) const {
        for (const test::FakeCard* card : {&bound, &priv}) {
            const char* which = card == &priv ? "private " : "";
            EXPECT_EQ(card->balance().opened, card->balance().closed) << which << "card opens and closes";
            EXPECT_EQ(card->balance().strays, 0u) << which << "DDFini of a card not open";
        }
        EXPECT_TRUE(os.allReleased()) << "volumes " << os.volumesOpened << "/" << os.volumesClosed
                                      << ", libraries " << os.librariesLoaded << "/" << os.librariesFreed;
        EXPECT_EQ(sys.volumeHandle, nullptr);
        EXPECT_EQ(host.created, windows);
        EXPECT_EQ(host.destroyed, windows);
        EXPECT_EQ(progress.view, nullptr);
    }

    // The first sector of [first, end) that does not hold `byte` throughout; `end` if none.
    uint64_t firstNot(uint8_t byte, uint64_t first, uint64_t end) const {
        ImageFile file(image);
        for (uint64_t s = first; s < end; ++s) {
            const Sector v = file.read(s);
            if (std::any_of(v.begin(), v.end(), [byte](uint8_t b) { return b != byte; })) return s;
        }
        return end;
    }
    // Where the written file system ends, rounded to the chunk that holds its root directory.
    uint64_t fileSystemEnd() const {
        ImageFile file(image);
        return roundUpToChunk(rootFromCard(figures.fileSystemKind, [&](uint64_t s) { return file.read(s); }).end());
    }
};

uint32_t SDHOST_CALL recordHold(uint32_t drive, uint32_t on) {
    if (!gHolding) return SDHOST_ERR_NOT_READY;
    const std::string line = "DDHoldVolumes(" + std::to_string(drive) + (on ? ", on)" : ", off)");
    gHolding->os.note(line);
    if (gHolding->hook) gHolding->hook(line);
    return on ? SDHOST_OK : gHolding->holdEndAnswer;
}

// ---- scripted events ---------------------------------------------------------------------------

bool startsWith(const std::string& s, const std::string& p) { return s.rfind(p, 0) == 0; }

// A power broadcast arriving with the nth driver call that starts with `prefix`.
void abortOn(CardRun& r, const std::string& prefix, uint32_t nth = 1) {
    r.hook = [&flags = r.flags, prefix, nth, seen = 0u](const std::string& line) mutable {
        if (startsWith(line, prefix) && ++seen == nth) flags.powerAbort = 1;
    };
}
void abortAfterVolumeCall(CardRun& r, const std::string& prefix) {
    r.os.after = [&flags = r.flags, prefix](const std::string& line) {
        if (startsWith(line, prefix)) flags.powerAbort = 1;
    };
}
// Sets a flag once the overwrite has drawn k progress lines, as a click or broadcast would.
void onOverwriteLine(CardRun& r, uint32_t k, uint32_t RunFlags::*flag) {
    r.host.view.onLine = [&flags = r.flags, k, flag, seen = 0u](const test::Drawn& d) mutable {
        if (d.controlId == OverwriteLine && d.text.find(u'[') != std::u16string::npos && ++seen == k)
            flags.*flag = 1;
    };
}

// ---- every way out -------------------------------------------------------------------------------

enum class Volume { Untouched, Closed, Released };
using Setup = void (*)(CardRun&);

struct ExitRow {
    const char* name;
    uint32_t route;
    OsKind osKind;
    FormatType type;
    const char* sidecar;
    Setup setup;
    int32_t result;
    Volume volume;          // under OsKindXp: never opened, closed, or released (unlocked first)
    const char* notCalled;  // the call the exit must come before; null: none
    bool writes;            // whether anything was written to the card
    uint32_t sectors = kSectors;
    const char16_t* label = u"";
};
void PrintTo(const ExitRow& r, std::ostream* os) { *os << r.name; }

const ExitRow kExits[] = {
    {"NoLibraryBound", 0, OsKindXp, Quick, "", nullptr, Failed, Volume::Untouched, "DDInit", false},
    {"InitFailsOnBothRoutes", 1, OsKindXp, Quick, "", [](CardRun& r) { r.cards.emplace(r.dir / "absent.img"); },
     Failed, Volume::Untouched, "DDChkSDCard", false},
    {"IdentifyFails", 1, OsKindXp, Quick, "fail_identify = 261\n", nullptr, CardIdentifyFailed,
     Volume::Untouched, "DDChkSDCard", false},
    {"LastSectorUnreadable", 1, OsKindXp, Quick, "", [](CardRun& r) { r.bound.fail(Op::Read, SDHOST_ERR_IO, 1); },
     CardIdentifyFailed, Volume::Untouched, "DDChkSDCard", false},
    {"WriteProtectSwitch", 1, OsKindXp, Quick, "write_protect_switch = 1\n", nullptr, WriteProtectSwitch,
     Volume::Untouched, "DDGetMID", false},
    {"CardCheckFails", 2, OsKindXp, Quick, "", [](CardRun& r) { r.bound.fail(Op::CheckCard, SDHOST_ERR_NO_CARD, 1); },
     WriteProtectSwitch, Volume::Untouched, "volumeInfo", false},
    {"NoMidOnRoute1", 1, OsKindXp, Quick, "", [](CardRun& r) { r.bound.fail(Op::GetMid, SDHOST_ERR_NO_CARD, 1); },
     CardNotReady, Volume::Untouched, "openVolume", false},
    {"DriveNotReadyOnRoute2Xp", 2, OsKindXp, Quick, "", [](CardRun& r) { r.os.volumes.clear(); }, CardNotReady,
     Volume::Untouched, "openVolume", false},
    {"OtherVolumeInfoErrorIgnored", 2, OsKindXp, Quick, "",
     [](CardRun& r) {
         r.os.volumes.clear();
         r.os.volumeInfoError = 5;
     },
     SuccessReinsertCard,
     Volume::Released, nullptr, true},
    {"NotReadyNotAskedAfterXp", 2, OsKindVistaTo8, Quick, "", [](CardRun& r) { r.os.volumes.clear(); },
     SuccessReinsertCard, Volume::Untouched, "volumeInfo", true},
    {"VolumeWillNotOpen", 1, OsKindXp, Quick, "", [](CardRun& r) { r.os.openAnswers[u'Z'] = {false}; }, Failed,
     Volume::Untouched, "volumeRequest", false},
    {"VolumeWillNotReopenAfterRefusedLock", 1, OsKindXp, Quick, "",
     [](CardRun& r) {
         r.os.requestAnswers[VolumeRequest::Lock] = {false};
         r.os.openAnswers[u'Z'] = {true, false};
     },
     Failed, Volume::Closed, "DDReadPT 0+1", false},
    // A user who is no administrator may not open the volume; the volume service takes it.
    {"VolumeServedXp", 1, OsKindXp, Quick, "",
     [](CardRun& r) {
         r.sys.volumesServed = true;
         r.os.openAnswers[u'Z'] = {false};
     },
     SuccessReinsertCard, Volume::Untouched, "openVolume", true},
    {"VolumeServedXpFullFormat", 2, OsKindXp, FullOverwriteErase, "",
     [](CardRun& r) {
         r.sys.volumesServed = true;
         r.os.openAnswers[u'Z'] = {false};
     },
     SuccessReinsertCard, Volume::Untouched, "openVolume", true},
    {"RefusedLockRetried", 1, OsKindXp, Quick, "", [](CardRun& r) { r.os.requestAnswers[VolumeRequest::Lock] = {false}; },
     SuccessReinsertCard, Volume::Released, nullptr, true},
    // A power broadcast seen at each checkpoint: `notCalled` is what follows the checkpoint.
    {"PowerAfterCardReadable", 1, OsKindXp, Quick, "", [](CardRun& r) { abortOn(r, "DDReadPT"); },
     PowerInterrupted, Volume::Untouched, "DDChkSDCard", false},
    {"PowerAfterCardCheck", 1, OsKindXp, Quick, "", [](CardRun& r) { abortOn(r, "DDChkSDCard"); },
     PowerInterrupted, Volume::Untouched, "DDGetMID", false},
    {"PowerAfterOpenVolume", 1, OsKindXp, Quick, "", [](CardRun& r) { abortAfterVolumeCall(r, "openVolume"); },
     PowerInterrupted, Volume::Closed, "volumeRequest Lock", false},
    {"PowerAfterLock", 1, OsKindXp, Quick, "", [](CardRun& r) { abortAfterVolumeCall(r, "volumeRequest Lock"); },
     PowerInterrupted, Volume::Closed, "volumeRequest Dismount", false},
    {"PowerAfterPreCheck", 1, OsKindXp, Quick, "", [](CardRun& r) { abortAfterVolumeCall(r, "volumeRequest Dismount"); },
     PowerInterrupted, Volume::Released, "DDReadPT 0+1", false},
    {"PowerAfterOemParameters", 1, OsKindXp, FullOverwrite, "", [](CardRun& r) { abortOn(r, "DDReadPT 0+1"); },
     PowerInterrupted, Volume::Released, "DDWritePT", false},
    {"PowerAfterReopenXp", 1, OsKindXp, FullOverwrite, "", [](CardRun& r) { abortOn(r, "DDFini"); },
     PowerInterrupted, Volume::Closed, "DDWritePT 0+256", true},
    {"PowerAfterZeroingSectorZero", 1, OsKindVistaTo8, FullOverwrite, "", [](CardRun& r) { abortOn(r, "DDFini"); },
     PowerInterrupted, Volume::Untouched, "DDWritePT 0+256", true},
    {"PowerBeforeErase", 1, OsKindXp, FullErase, "", [](CardRun& r) { abortOn(r, "DDReadPT 0+1", 2); },
     PowerInterrupted, Volume::Released, "DDWritePT", false},
    {"PowerDuringOverwriteStopsBeforeErase", 1, OsKindXp, FullOverwriteErase, "",
     [](CardRun& r) { onOverwriteLine(r, 2, &RunFlags::powerAbort); }, PowerInterrupted,
     Volume::Released, "DDErase", true},
    {"PowerDuringOverwriteStopsFinalPass", 1, OsKindVistaTo8, FullOverwrite, "",
     [](CardRun& r) { onOverwriteLine(r, 2, &RunFlags::powerAbort); }, PowerInterrupted,
     Volume::Untouched, "DDWritePT 0+64", true},
    // The full-format stage's own failures.
    {"PreliminaryPassFailsXp", 1, OsKindXp, FullOverwrite, "fail_write_call = 1\n", nullptr, Failed,
     Volume::Closed, "DDWritePT 0+256", true},
    {"ZeroingSectorZeroFails", 1, OsKindVistaTo8, FullOverwrite, "fail_write_call = 1\n", nullptr, Failed,
     Volume::Untouched, "DDWritePT 0+256", true},
    {"CardWillNotReopenXp", 1, OsKindXp, FullOverwrite, "", [](CardRun& r) { r.bound.fail(Op::Init, SDHOST_ERR_NO_CARD, 2); },
     Failed, Volume::Closed, "DDWritePT 0+256", true},
    {"CardWillNotReopen", 2, OsKindVistaTo8, FullOverwrite, "", [](CardRun& r) { r.bound.fail(Op::Init, SDHOST_ERR_NO_CARD, 2); },
     Failed, Volume::Untouched, "DDWritePT 0+256", true},
    {"CardGoneAfterPrivateErase", 2, OsKindVistaTo8, FullErase, "", [](CardRun& r) { r.bound.fail(Op::Init, SDHOST_ERR_NO_CARD, 2); },
     Failed, Volume::Untouched, nullptr, true},
    // The pre-check, the final pass and the last close.
    {"CapacityRefused", 1, OsKindXp, Quick, "", nullptr, Failed, Volume::Released, "DDReadPT 0+1", false,
     kRefusedBandFirst},
    {"LabelRefused", 1, OsKindXp, Quick, "", nullptr, InvalidLabel, Volume::Released, "DDReadPT 0+1", false,
     kSectors, u"TWELVE CHARS"},
    {"FinalPassFails", 1, OsKindXp, Quick, "fail_write_call = 1\n", nullptr, Failed, Volume::Released, nullptr, true},
    {"FinalPassWriteProtectedRoute1", 1, OsKindXp, Quick, "fail_write_call = 1\nfail_write_code = 4101\n",
     nullptr, WriteProtected, Volume::Released, nullptr, true},
    {"FinalPassWriteProtectedRoute2", 2, OsKindVistaTo8, Quick, "fail_write_call = 1\nfail_write_code = 1543\n",
     nullptr, WriteProtected, Volume::Untouched, nullptr, true},
    {"LastCloseFails", 1, OsKindXp, Quick, "", [](CardRun& r) { r.bound.fail(Op::Fini, SDHOST_ERR_IO, 1); }, Failed,
     Volume::Released, nullptr, true},
    {"QuickFormatsBlankCard", 1, OsKindXp, Quick, "", nullptr, SuccessReinsertCard, Volume::Released, nullptr, true},
    // The card already holds this layout, but its volume does not come back after the format.
    {"VolumeGoneAfterFormat", 1, OsKindXp, Quick, "",
     [](CardRun& r) {
         ASSERT_EQ(r.format(Quick), SuccessReinsertCard);
         r.host.created = r.host.destroyed = 0;
         r.os.openAnswers[u'Z'] = {true, false};
     },
     SuccessReinsertCard, Volume::Released, nullptr, true},
};

class FormatCardExit : public ::testing::TestWithParam<ExitRow> {};

TEST_P(FormatCardExit, ClosesCardVolumeAndWindowExactlyOnce) {
    const ExitRow& row = GetParam();
    CardRun run(row.route, row.osKind, row.sidecar, row.sectors);
    if (row.setup) row.setup(run);

    EXPECT_EQ(run.format(row.type, row.label), row.result);
    run.expectAllClosed(row.route != 0 ? 1 : 0);
    // The library told of the run hears its end on every way out (one that a route switch
    // unloaded lets go of everything as it goes).
    if (row.route != 0 && run.driver.api.holdVolumes == recordHold) {
        const std::vector<std::string> holds = run.calls({"DDHoldVolumes"});
        ASSERT_FALSE(holds.empty());
        for (size_t i = 0; i < holds.size(); ++i)
            EXPECT_EQ(holds[i], i % 2 ? "DDHoldVolumes(26, off)" : "DDHoldVolumes(26, on)") << i;
        EXPECT_EQ(holds.size() % 2, 0u) << "the hold outlived the run";
    }
    if (row.notCalled) {
        EXPECT_FALSE(run.called(row.notCalled)) << "ended after " << row.notCalled;
    }
    EXPECT_EQ(run.called("DDWritePT"), row.writes);
    if (row.route == 0) {
        EXPECT_TRUE(run.os.calls.empty()) << "nothing is opened";
    }
    switch (row.volume) {
    case Volume::Untouched: EXPECT_EQ(run.os.volumesOpened, 0u); break;
    case Volume::Closed:
        EXPECT_GT(run.os.volumesOpened, 0u);
        EXPECT_FALSE(run.called("volumeRequest Unlock")) << "closed, not released";
        break;
    case Volume::Released: EXPECT_TRUE(run.called("volumeRequest Unlock")); break;
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, FormatCardExit, ::testing::ValuesIn(kExits),
                         [](const auto& p) { return std::string(p.param.name); });

// The window starts with the lines of the format type, before anything else is drawn.
TEST(FormatCardWindow, StartsWithTheLinesOfTheType) {
    const uint32_t overwriteLine[] = {msg::OverwriteLineOff, msg::OverwriteLineStart,
                                      msg::OverwriteLineStart, msg::OverwriteLineOff};
    const uint32_t eraseLine[] = {msg::EraseLineOff, msg::EraseLineOff, msg::EraseLineStart,
                                  msg::EraseLineStart};
    for (FormatType type : {Quick, FullOverwrite, FullOverwriteErase, FullErase}) {
        SCOPED_TRACE(type);
        CardRun run(1, OsKindVistaTo8);
        abortOn(run, "DDChkSDCard");
        ASSERT_EQ(run.format(type), PowerInterrupted);
        const MessageSource& m = builtinMessages();
        const std::vector<test::Drawn> expected = {
            {OverwriteLine, m.text(overwriteLine[type])},
            {EraseLine, m.text(eraseLine[type])},
            {FormatLine, m.text(msg::FormatLineStart)}};
        EXPECT_EQ(run.host.view.lines, expected);
    }
}

// ---- what the formats leave on the card ----------------------------------------------------------

const std::vector<std::string> kSequence = {"DDInit", "DDFini", "DDWritePT 0+", "openVolume",
                                            "closeVolume", "private DD", "loadLibrary", "freeLibrary"};

TEST(FormatCardQuick, TakesNoCopyOfSectorZeroAndLeavesTheDataArea) {
    CardRun run(1, OsKindVistaTo8, "", kSectors, true);
    EXPECT_EQ(run.format(Quick), SuccessReinsertCard);
    run.expectAllClosed(1);
    EXPECT_EQ(run.calls(kSequence), (std::vector<std::string>{"DDInit 26", "DDWritePT 0+64", "DDFini"}));
    // The card is identified by its check, by the pre-check that plans the run and by each of
    // the two passes that write the plan.
    EXPECT_EQ(run.calls({"DDIdentify"}).size(), 4u);
    EXPECT_EQ(run.calls({"DDSecureIdentify"}).size(), 3u);
    EXPECT_EQ(run.figures.plan.params.fsType, static_cast<uint32_t>(Fat12));
    EXPECT_EQ(run.figures.overwriteResult, -1);
    EXPECT_EQ(run.figures.eraseResult, -1);
    EXPECT_EQ(run.figures.fileSystemKind, static_cast<uint32_t>(Fat12));
    EXPECT_EQ(run.figures.totalSectors, run.report.reportDataSectors);
    EXPECT_EQ(run.figures.partitionSectors, run.report.reportPartitionSectors);
    EXPECT_EQ(run.figures.clusterBytes, run.report.reportClusterBytes);
    EXPECT_GT(run.figures.totalSectors, 0u);
    const uint64_t end = run.fileSystemEnd();
    EXPECT_EQ(ImageFile(run.image).findPattern(end, kSectors - end, false), kSectors);
    EXPECT_EQ(run.line(OverwriteLine), text(msg::OverwriteLineOff));
    EXPECT_EQ(run.line(EraseLine), text(msg::EraseLineOff));
    EXPECT_EQ(run.line(FormatLine), text(msg::FormatLineCaption) + " 100%");
}

struct OverwriteRow {
    const char* name;
    OsKind osKind;
    std::vector<std::string> sequence;
};
void PrintTo(const OverwriteRow& r, std::ostream* os) { *os << r.name; }

class FullOverwriteFormat : public ::testing::TestWithParam<OverwriteRow> {};

TEST_P(FullOverwriteFormat, KeepsSectorZeroAndLeavesEveryOtherSectorFF) {
    const OverwriteRow& row = GetParam();
    CardRun run(1, row.osKind, "", kSectors, true);
    // Just before the final pass writes: the old sector 0, and 0xFF everywhere else.
    bool checked = false;
    run.hook = [&](const std::string& line) {
        if (startsWith(line, "DDWritePT") && run.flags.formatProgressEnabled == 1 && !checked) {
            checked = true;
            EXPECT_EQ(ImageFile(run.image).read(0), patternSector(0));
            EXPECT_EQ(run.firstNot(0xFF, 1, kSectors), kSectors);
        }
    };

    EXPECT_EQ(run.format(FullOverwrite), SuccessReinsertCard);  // sector 0 held no partition
    EXPECT_TRUE(checked);
    run.expectAllClosed(1);
    EXPECT_EQ(run.calls(kSequence), row.sequence);
    EXPECT_EQ(run.figures.overwriteResult, 0);
    EXPECT_EQ(run.figures.eraseResult, -1);
    EXPECT_EQ(run.status, 0u);
    EXPECT_EQ(run.firstNot(0xFF, run.fileSystemEnd(), kSectors), kSectors);
    EXPECT_EQ(run.line(OverwriteLine), text(msg::OverwriteLineCaption) + " 100% [20480 / 20480]");
    EXPECT_EQ(run.line(EraseLine), text(msg::EraseLineOff));
}

INSTANTIATE_TEST_SUITE_P(
    OsKinds, FullOverwriteFormat,
    ::testing::Values(
        // A preliminary file system, the card and the volume closed and reopened.
        OverwriteRow{
            "Xp",
            OsKindXp,
            {"DDInit 26", "openVolume Z", "DDWritePT 0+64", "DDFini", "closeVolume", "DDInit 26",
             "openVolume Z", "DDWritePT 0+256", "DDWritePT 0+1", "DDWritePT 0+64", "DDFini",
             "closeVolume", "openVolume Z", "closeVolume", "openVolume Z", "closeVolume"}},
        // Sector 0 zeroed and the card reopened; the volume is never touched.
        OverwriteRow{"VistaAndLater",
                     OsKindVistaTo8,
                     {"DDInit 26", "DDWritePT 0+1 zeros", "DDFini", "DDInit 26",
                      "DDWritePT 0+256 zeros", "DDWritePT 0+1", "DDWritePT 0+64", "DDFini"}}),
    [](const auto& p) { return std::string(p.param.name); });

struct EraseRow {
    const char* name;
    uint32_t route;
    OsKind osKind;
    bool quickFirst;   // the card already holds the layout the format computes
    bool probeLocks;   // the volume-lock probe finds the route-1 library
    int32_t result;
    std::vector<std::string> sequence;  // empty: not checked
};
void PrintTo(const EraseRow& r, std::ostream* os) { *os << r.name; }

class FullEraseFormat : public ::testing::TestWithParam<EraseRow> {};

TEST_P(FullEraseFormat, LeavesTheDataAreaZeroAndRestoresSectorZero) {
    const EraseRow& row = GetParam();
    CardRun run(row.route, row.osKind, "", kSectors, true);
    if (row.probeLocks) run.addPrivateLibrary(driverFileName(1, false));
    if (row.quickFirst) {
        ASSERT_EQ(run.format(Quick), SuccessReinsertCard);
    }
    run.os.calls.clear();

    EXPECT_EQ(run.format(FullErase), row.result);
    run.expectAllClosed(row.quickFirst ? 2 : 1);
    if (!row.sequence.empty()) {
        EXPECT_EQ(run.calls(kSequence), row.sequence);
    }
    EXPECT_EQ(run.figures.overwriteResult, -1);
    EXPECT_EQ(run.figures.eraseResult, 0);
    EXPECT_EQ(run.status, 0u);
    EXPECT_EQ(run.firstNot(0, run.fileSystemEnd(), kSectors), kSectors);
    EXPECT_EQ(run.line(EraseLine), text(msg::EraseLineCaption) + " 100% [   20480 /    20480]");
    // Only the bound route-1 library erases with the format's own handle.
    EXPECT_EQ(run.called("DDErase"), row.route == 1);
    EXPECT_EQ(run.called("private DDErase"), row.route == 2);
}

INSTANTIATE_TEST_SUITE_P(
    Routes, FullEraseFormat,
    ::testing::Values(
        EraseRow{"BoundUnchangedLayout", 1, OsKindXp, true, false, Success, {}},
        EraseRow{"BoundBlankCard", 1, OsKindVistaTo8, false, false, SuccessReinsertCard, {}},
        EraseRow{"PrivateXpHoldsTheLock",
                 2,
                 OsKindXp,
                 true,
                 true,
                 Success,
                 {"loadLibrary quillhost.so",
                  "private DDInit 26",
                  "openVolume Z",
                  "closeVolume",
                  "private DDFini",
                  "freeLibrary quillhost.so",
                  "DDInit 4122",
                  "openVolume Z",
                  "DDWritePT 0+1",
                  "DDWritePT 0+64",
                  "loadLibrary " BRC_QUILLHOST_PATH,
                  "closeVolume",
                  "private DDInit 26",
                  "openVolume Z",
                  "private DDErase 0-8191",
                  "private DDErase 8192-16383",
                  "private DDErase 16384-20479",
                  "private DDFini",
                  "freeLibrary " BRC_QUILLHOST_PATH,
                  "DDWritePT 0+1",
                  "DDWritePT 0+64",
                  "DDFini",
                  "closeVolume",
                  "openVolume Z",
                  "closeVolume",
                  "openVolume Z",
                  "closeVolume"}},
        EraseRow{"PrivateVistaClosesAndReopens",
                 2,
                 OsKindVistaTo8,
                 false,
                 false,
                 SuccessReinsertCard,
                 {"loadLibrary quillhost.so", // the lock probe finds no library
                  "DDInit 4122", "DDWritePT 0+1", "DDWritePT 0+64", "DDFini",
                  "loadLibrary " BRC_QUILLHOST_PATH, "private DDInit 26", "private DDErase 0-8191",
                  "private DDErase 8192-16383", "private DDErase 16384-20479", "private DDFini",
                  "freeLibrary " BRC_QUILLHOST_PATH, "DDInit 4122", "DDWritePT 0+1",
                  "DDWritePT 0+64", "DDFini"}}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(FormatCardCancel, CancelledOverwriteStopsTheEraseAndStillWritesTheFileSystem) {
    constexpr uint32_t k = 3;
    CardRun run(1, OsKindXp, "", kSectors, true);
    onOverwriteLine(run, k, &RunFlags::cancelRequested);

    EXPECT_EQ(run.format(FullOverwriteErase), SuccessReinsertCard);
    run.expectAllClosed(1);
    EXPECT_EQ(run.status, uint32_t{StatusOverwriteCancelled | StatusEraseCancelled});
    EXPECT_EQ(run.figures.overwriteResult, 0);
    EXPECT_EQ(run.figures.eraseResult, 0);
    EXPECT_EQ(run.line(OverwriteLine), text(msg::OverwriteLineCaption) + " CANCEL");
    EXPECT_EQ(run.line(EraseLine), text(msg::EraseLineCaption) + " CANCEL");
    EXPECT_FALSE(run.called("DDErase"));
    const auto writes = run.calls({"DDWritePT"});
    EXPECT_EQ(std::count_if(writes.begin(), writes.end(),
                            [](const std::string& w) { return w.find("+256") != std::string::npos; }),
              static_cast<std::ptrdiff_t>(k));
    EXPECT_EQ(run.figures.fileSystemKind, static_cast<uint32_t>(Fat12));
    // Chunks 0 to k-1 became 0xFF; nothing after them was overwritten or erased.
    const uint64_t end = std::max<uint64_t>(run.fileSystemEnd(), k * 256);
    EXPECT_EQ(run.firstNot(0xFF, run.fileSystemEnd(), k * 256), k * 256);
    EXPECT_EQ(ImageFile(run.image).findPattern(end, kSectors - end, false), kSectors);
}

struct EraseFailureRow {
    const char* name;
    uint32_t route;
    OsKind osKind;
    const char* sidecar;
    int32_t eraseResult;
    uint32_t status;
};
void PrintTo(const EraseFailureRow& r, std::ostream* os) { *os << r.name; }

class FailedErase : public ::testing::TestWithParam<EraseFailureRow> {};

TEST_P(FailedErase, ShowsNotSupportedAndStillWritesTheFileSystem) {
    const EraseFailureRow& row = GetParam();
    CardRun run(row.route, row.osKind, row.sidecar, kSectors, true);
    EXPECT_EQ(run.format(FullErase), SuccessReinsertCard);
    run.expectAllClosed(1);
    EXPECT_EQ(run.figures.eraseResult, row.eraseResult);
    EXPECT_EQ(run.status, row.status);
    EXPECT_EQ(run.line(EraseLine), text(msg::EraseLineUnsupported));
    EXPECT_EQ(run.figures.fileSystemKind, static_cast<uint32_t>(Fat12));
    const Sector mbr = ImageFile(run.image).read(0);
    EXPECT_EQ(mbr[510], 0x55);
    EXPECT_EQ(mbr[511], 0xAA);
    EXPECT_EQ(le32(mbr.data() + 458), run.figures.partitionSectors);
}

INSTANTIATE_TEST_SUITE_P(
    Chunks, FailedErase,
    ::testing::Values(
        EraseFailureRow{"FirstChunk", 1, OsKindXp, "erase = 0\n", SDHOST_ERR_NO_ERASE, StatusEraseNotStarted},
        EraseFailureRow{"LaterChunk", 1, OsKindVistaTo8, "fail_erase_call = 2\n", SDHOST_ERR_IO, StatusEraseFailedLater},
        // An erase the card fails at once did not start, and failed: not one it cannot do.
        EraseFailureRow{"FirstChunkFails", 1, OsKindVistaTo8, "fail_erase_call = 1\n", SDHOST_ERR_IO,
                        StatusEraseNotStarted | StatusEraseFailedLater},
        EraseFailureRow{"PrivateFirstChunk", 2, OsKindVistaTo8, "erase = 0\n", SDHOST_ERR_NO_ERASE, StatusEraseNotStarted}),
    [](const auto& p) { return std::string(p.param.name); });

// An overwrite that fails on a write: no erase, the file system still written, and the result
// says the overwrite failed only when the card must be reinserted anyway.
TEST(FormatCardOverwriteFailure, ReportsTheFailedOverwriteWithAChangedPartition) {
    for (const bool sameLayout : {false, true}) {
        SCOPED_TRACE(sameLayout ? "same layout" : "blank card");
        CardRun run(1, OsKindVistaTo8, "", kSectors, true);
        if (sameLayout) {
            ASSERT_EQ(run.format(Quick), SuccessReinsertCard);
        }
        // Write 1 of the reopened card is overwrite chunk 0; write 2 is chunk 1.
        std::ofstream(run.image.string() + ".card", std::ios::trunc) << "fail_write_call = 2\n";

        EXPECT_EQ(run.format(FullOverwriteErase), sameLayout ? Success : SuccessReinsertCardOverwriteFailed);
        run.expectAllClosed(sameLayout ? 2 : 1);
        EXPECT_EQ(run.figures.overwriteResult, static_cast<int32_t>(SDHOST_ERR_IO));
        EXPECT_EQ(run.figures.eraseResult, -1);
        EXPECT_EQ(run.status, uint32_t{StatusWriteFailed});
        EXPECT_FALSE(run.called("DDErase"));
        EXPECT_EQ(run.figures.fileSystemKind, static_cast<uint32_t>(Fat12));
    }
}

// The card's closings in the middle of a full format (the sector-0 write and reopening, the
// private erase) happen under the run's hold, which begins before the first opening and ends
// only after the last closing: the library keeps one disk and its volumes for the whole run.
TEST(FormatCardVolumeHold, TheHoldSpansEveryOpeningAndClosingOfTheRun) {
    struct Row {
        uint32_t route;
        OsKind osKind;
        FormatType type;
    };
    for (const Row& row : {Row{1, OsKindVistaTo8, FullOverwrite}, Row{2, OsKindVistaTo8, FullErase},
                           Row{1, OsKindXp, FullOverwrite}, Row{2, OsKindVistaTo8, Quick}}) {
        SCOPED_TRACE(std::to_string(row.route) + " " + std::to_string(row.osKind));
        CardRun run(row.route, row.osKind);
        run.format(row.type);
        const std::vector<std::string> calls = run.calls({"DDHoldVolumes", "DDInit", "DDFini"});
        ASSERT_GE(calls.size(), 4u);
        EXPECT_EQ(calls.front(), "DDHoldVolumes(26, on)");
        EXPECT_EQ(calls.back(), "DDHoldVolumes(26, off)");
        EXPECT_EQ(std::count_if(calls.begin(), calls.end(),
                                [](const std::string& c) { return c.starts_with("DDHoldVolumes"); }),
                  2);
        EXPECT_GE(std::count_if(calls.begin(), calls.end(),
                                [](const std::string& c) { return c.starts_with("DDFini"); }),
                  row.type == Quick ? 1 : 2);
    }
}

// A volume the library did not see come back at the hold's end: reinsert the card, the format
// itself done.
TEST(FormatCardVolumeHold, AVolumeThatDoesNotComeBackAsksForTheCardAgain) {
    for (const OsKind osKind : {OsKindVistaTo8, OsKindXp}) {
        CardRun run(1, osKind);
        ASSERT_EQ(run.format(Quick), SuccessReinsertCard); // a blank card changes its layout
        ASSERT_EQ(run.format(Quick), Success);
        run.holdEndAnswer = SDHOST_VOLUME_NOT_BACK;
        EXPECT_EQ(run.format(Quick), SuccessReinsertCard) << osKind;
        run.holdEndAnswer = SDHOST_OK;
        EXPECT_EQ(run.format(Quick), Success) << osKind;
    }
}

// ---- reading back what the run wrote -------------------------------------------------------------

struct VerifyRow {
    const char* name;
    uint32_t route;
    const char* sidecar;
    FormatType type;
    int32_t result;
    int64_t notKept;   // the first sector that did not read back as written; -1: all did
    bool unreadable;   // that sector could not be read
    bool wholeCard;    // every sector is read back (an overwrite's check) before the system area
};
void PrintTo(const VerifyRow& r, std::ostream* os) { *os << r.name; }

class VerifiedFormat : public ::testing::TestWithParam<VerifyRow> {};

// The counterfeits keep half the card: 10240 sectors.
TEST_P(VerifiedFormat, ReadsBackEverySectorWrittenAndFailsACardThatDidNotKeepOne) {
    const VerifyRow& row = GetParam();
    CardRun run(row.route, OsKindVistaTo8, row.sidecar, kSectors, true);
    if (row.unreadable) run.bound.failSector(Op::Read, 15000, SDHOST_ERR_IO);
    run.verify = true;
    EXPECT_EQ(run.format(row.type), row.result);
    run.expectAllClosed(1);
    const VerifyFigures& v = run.figures.verify;
    EXPECT_TRUE(v.done);
    EXPECT_EQ(v.kept, row.notKept < 0);
    EXPECT_EQ(v.unreadable, row.unreadable);
    if (row.notKept >= 0) {
        EXPECT_EQ(v.sector, row.notKept);
    } else {
        EXPECT_EQ(v.sectors, (row.wholeCard ? kSectors : 0) + run.fileSystemEnd());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cards, VerifiedFormat,
    ::testing::Values(
        VerifyRow{"GenuineQuick", 1, "", Quick, SuccessReinsertCard, -1, false, false},
        VerifyRow{"GenuineOverwrite", 1, "", FullOverwrite, SuccessReinsertCard, -1, false, true},
        // The erase leaves the sectors to the card: of what is written, only what follows it is
        // expected, after the overwrite's check read the whole card back.
        VerifyRow{"GenuineOverwriteErase", 1, "", FullOverwriteErase, SuccessReinsertCard, -1, false,
                  true},
        VerifyRow{"LimboOverwrite", 1, "counterfeit = limbo 5242880\n", FullOverwrite, Failed, 10240,
                  false, true},
        VerifyRow{"WraparoundOverwrite", 2, "counterfeit = wraparound 5242880\n", FullOverwrite,
                  Failed, 10240, false, true},
        // The quick format's one write, acknowledged and lost: the card still holds its pattern.
        VerifyRow{"DroppedWriteQuick", 1, "drop_write_call = 1\n", Quick, Failed, 0, false, false},
        VerifyRow{"UnreadableSector", 1, "", FullOverwrite, Failed, 15000, true, true}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(VerifiedFormat, UnaskedNothingIsNotedAndALimboCardFormatsAsBefore) {
    CardRun run(1, OsKindVistaTo8, "counterfeit = limbo 5242880\n", kSectors, true);
    run.bound.onCall = [&](const test::Call& c) {
        EXPECT_EQ(run.driver.written, nullptr) << test::describe(c);
        run.log("", c);
    };
    EXPECT_EQ(run.format(FullOverwrite), SuccessReinsertCard);
    EXPECT_FALSE(run.figures.verify.done);
    EXPECT_EQ(ImageFile(run.image).findPattern(10240, kSectors - 10240, false), kSectors)
        << "the overwrite of the lost part was kept";
}

} // namespace
} // namespace brc::format_test
