// formatCard as a whole, on a virtual card served by the real driver libraries: how every way out
// leaves the card, the volume and the progress window, and what the full formats leave on the
// card. The bound library's operations run through a tap that logs them into the scripted
// system's call log, counts opens and closes, and can fail a call or raise a power abort.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "tests/support/system_os.h"
#include "device/driver_binding.h"
#include "device/system_checks.h"
#include "format/format_card.h"
#include "platform/fake/fake_os.h"
#include "res/message_ids.h"
#include "tests/format/format_rig.h"

namespace brc::format_test {
namespace {

constexpr uint32_t kSectors = 20480;  // FAT12, three erase chunks, eighty overwrite chunks
const std::u16string kRoot = u"Z:\\";

std::string text(uint32_t id) { return utf16ToUtf8(builtinMessages().text(id)); }

// ---- the tap on the driver's operations ------------------------------------------------------

struct Tap {
    DriverApi real;
    FakeOs* os = nullptr;
    std::string prefix;                   // "private " for the erase's own library instance
    std::set<uint32_t> open;              // handles of cards opened and not yet closed
    uint32_t opened = 0, closed = 0, strayFini = 0;
    std::function<uint32_t(const std::string&)> hook;  // before each call; non-zero fails it

    // A forced DDFini failure still closes the card: only the answer is wrong.
    template <class F> uint32_t call(const std::string& line, bool alwaysReal, F op) {
        os->note(prefix + line);
        const uint32_t forced = hook ? hook(line) : 0;
        if (forced && !alwaysReal) return forced;
        const uint32_t r = op();
        return forced ? forced : r;
    }
};
Tap* gTap[2] = {};  // 0 the bound library, 1 the private instance

template <int W> uint32_t SDHOST_CALL tapInit(uint32_t* h, uint32_t drive) {
    Tap& t = *gTap[W];
    const uint32_t r = t.call("DDInit " + std::to_string(drive), false, [&] { return t.real.DDInit(h, drive); });
    if (r == 0) {
        ++t.opened;
        t.open.insert(*h);
    }
    return r;
}
template <int W> uint32_t SDHOST_CALL tapFini(uint32_t h) {
    Tap& t = *gTap[W];
    if (t.open.erase(h)) ++t.closed;
    else ++t.strayFini;
    return t.call("DDFini", true, [&] { return t.real.DDFini(h); });
}
template <int W> uint32_t SDHOST_CALL tapErase(uint32_t first, uint32_t last, uint32_t h) {
    Tap& t = *gTap[W];
    return t.call("DDErase " + std::to_string(first) + "-" + std::to_string(last), false,
                  [&] { return t.real.DDErase(first, last, h); });
}
uint32_t SDHOST_CALL tapIdentify(uint32_t* a, uint32_t* b, uint32_t* c, uint32_t* d, uint16_t* e,
                                 uint32_t* f, uint8_t* g, uint32_t* i, uint8_t* j, uint32_t* k,
                                 uint32_t* l, uint32_t h) {
    Tap& t = *gTap[0];
    return t.call("DDIdentify", false, [&] { return t.real.DDIdentify(a, b, c, d, e, f, g, i, j, k, l, h); });
}
uint32_t SDHOST_CALL tapRead(void* buffer, uint32_t count, uint32_t first, uint32_t h) {
    Tap& t = *gTap[0];
    return t.call("DDReadPT " + std::to_string(first) + "+" + std::to_string(count), false,
                  [&] { return t.real.DDReadPT(buffer, count, first, h); });
}
uint32_t SDHOST_CALL tapWrite(const void* buffer, uint32_t count, uint32_t first, uint32_t h) {
    Tap& t = *gTap[0];
    const auto* b = static_cast<const uint8_t*>(buffer);
    const bool zeros = first == 0 && std::all_of(b, b + 512, [](uint8_t v) { return v == 0; });
    return t.call("DDWritePT " + std::to_string(first) + "+" + std::to_string(count) + (zeros ? " zeros" : ""),
                  false, [&] { return t.real.DDWritePT(buffer, count, first, h); });
}
uint32_t SDHOST_CALL tapCheck(uint32_t drive, uint32_t* flags) {
    Tap& t = *gTap[0];
    return t.call("DDChkSDCard", false, [&] { return t.real.DDChkSDCard(drive, flags); });
}
uint32_t SDHOST_CALL tapMid(uint8_t mid[8], uint32_t zero, uint32_t h) {
    Tap& t = *gTap[0];
    return t.call("DDGetMID", false, [&] { return t.real.DDGetMID(mid, zero, h); });
}

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

class RecordingView : public ProgressView {
public:
    std::map<uint32_t, std::string> lines;                 // last text per control
    std::vector<std::pair<uint32_t, std::string>> history;
    std::function<void(uint32_t, const std::string&)> onLine;
    void setLineText(uint32_t id, const std::u16string& t) override {
        lines[id] = utf16ToUtf8(t);
        history.emplace_back(id, lines[id]);
        if (onLine) onLine(id, lines[id]);
    }
    void pumpPendingMessages() override {}
};

class CountingHost : public ProgressWindowHost {
public:
    RecordingView view;
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

struct CardRun {
    std::filesystem::path dir, image;
    std::optional<CardsVariable> cards;
    HookedOs os;
    SystemState sys{os};
    DriverBinding driver{test::systemOs()};
    uint32_t status = 0;
    RunFlags flags;
    Progress progress{flags, builtinMessages(), nullptr};
    CountingHost host;
    ExFatState exfat;
    ReportValues report;
    FormatServices svc{driver, sys, progress, host, exfat, report};
    FormatFigures figures;
    Tap bound, priv;
    void* privateLibrary = nullptr;
    const std::string privatePath = BRC_QUILLHOST_PATH;

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
        if (osKind == OsKindXp) os.volumes[kRoot] = VolumeInformation{};
        flags.formatStatus = &status;
        gTap[0] = &bound;
        gTap[1] = &priv;
        bound.os = priv.os = &os;
        priv.prefix = "private ";
        if (route != 0) {
            EXPECT_EQ(bindDriver(driver, route), 0u) << driver.lastError;
            bound.real = driver.api;
            DriverApi& a = driver.api;
            a.DDInit = tapInit<0>;
            a.DDFini = tapFini<0>;
            a.DDIdentify = tapIdentify;
            a.DDReadPT = tapRead;
            a.DDWritePT = tapWrite;
            a.DDChkSDCard = tapCheck;
            if (a.DDGetMID) a.DDGetMID = tapMid;
            if (a.DDErase) a.DDErase = tapErase<0>;
        }
        // The private instance an erase on route 2 loads through the system.
        privateLibrary = ::dlopen(BRC_QUILLHOST_PATH, RTLD_NOW | RTLD_LOCAL);
        if (!privateLibrary) {
            ADD_FAILURE() << ::dlerror();
            return;
        }
        priv.real.DDInit = reinterpret_cast<DDInit_t>(::dlsym(privateLibrary, "DDInit"));
        priv.real.DDFini = reinterpret_cast<DDFini_t>(::dlsym(privateLibrary, "DDFini"));
        priv.real.DDErase = reinterpret_cast<DDErase_t>(::dlsym(privateLibrary, "DDErase"));
        os.privateDriverPathValue = privatePath;
        addPrivateLibrary(privatePath);
    }
    ~CardRun() {
        gTap[0] = gTap[1] = nullptr;
        if (privateLibrary) ::dlclose(privateLibrary);
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    CardRun(const CardRun&) = delete;
    CardRun& operator=(const CardRun&) = delete;

    void addPrivateLibrary(const std::string& path) {
        os.addLibraryProc(path, "DDInit", tapInit<1>);
        os.addLibraryProc(path, "DDFini", tapFini<1>);
        os.addLibraryProc(path, "DDErase", tapErase<1>);
        os.addLibraryProc(path, "DDSysInit", ::dlsym(privateLibrary, "DDSysInit"));
        os.addLibraryProc(path, "DDSysFini", ::dlsym(privateLibrary, "DDSysFini"));
    }

    int32_t format(FormatType type, std::u16string label = u"") {
        status = 0;
        figures = FormatFigures{};
        return formatCard(svc, kRoot, label, false, type, figures);
    }
    std::vector<std::string> calls(const std::vector<std::string>& prefixes) const {
        return os.callsStartingWith(prefixes);
    }
    bool called(const std::string& prefix) const { return !calls({prefix}).empty(); }
    std::string line(uint32_t id) { return host.view.lines[id]; }

    // Whatever way the run ended: every card closed once, no volume or library left, the
    // window gone.
    void expectAllClosed(uint32_t windows) const {
        for (const Tap* t : {&bound, &priv}) {
            EXPECT_EQ(t->opened, t->closed) << t->prefix << "card opens and closes";
            EXPECT_EQ(t->strayFini, 0u) << t->prefix << "DDFini of a card not open";
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

// ---- scripted events ---------------------------------------------------------------------------

bool startsWith(const std::string& s, const std::string& p) { return s.rfind(p, 0) == 0; }

// A power broadcast arriving with the nth driver call that starts with `prefix`.
void abortOn(CardRun& r, const std::string& prefix, uint32_t nth = 1) {
    r.bound.hook = [&flags = r.flags, prefix, nth, seen = 0u](const std::string& line) mutable {
        if (startsWith(line, prefix) && ++seen == nth) flags.powerAbort = 1;
        return 0u;
    };
}
// The nth driver call that starts with `prefix` answers `code`.
void failOn(CardRun& r, const std::string& prefix, uint32_t nth, uint32_t code) {
    r.bound.hook = [prefix, nth, code, seen = 0u](const std::string& line) mutable {
        return startsWith(line, prefix) && ++seen == nth ? code : 0u;
    };
}
void abortAfterVolumeCall(CardRun& r, const std::string& prefix) {
    r.os.after = [&flags = r.flags, prefix](const std::string& line) {
        if (startsWith(line, prefix)) flags.powerAbort = 1;
    };
}
// Sets a flag once the overwrite has drawn k progress lines, as a click or broadcast would.
void onOverwriteLine(CardRun& r, uint32_t k, uint32_t RunFlags::*flag) {
    r.host.view.onLine = [&flags = r.flags, k, flag, seen = 0u](uint32_t id, const std::string& t) mutable {
        if (id == OverwriteLine && t.find('[') != std::string::npos && ++seen == k) flags.*flag = 1;
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
    {"LastSectorUnreadable", 1, OsKindXp, Quick, "", [](CardRun& r) { failOn(r, "DDReadPT", 1, SDHOST_ERR_IO); },
     CardIdentifyFailed, Volume::Untouched, "DDChkSDCard", false},
    {"WriteProtectSwitch", 1, OsKindXp, Quick, "write_protect_switch = 1\n", nullptr, WriteProtectSwitch,
     Volume::Untouched, "DDGetMID", false},
    {"CardCheckFails", 2, OsKindXp, Quick, "", [](CardRun& r) { failOn(r, "DDChkSDCard", 1, SDHOST_ERR_NO_CARD); },
     WriteProtectSwitch, Volume::Untouched, "volumeInformation", false},
    {"NoMidOnRoute1", 1, OsKindXp, Quick, "", [](CardRun& r) { failOn(r, "DDGetMID", 1, SDHOST_ERR_NO_CARD); },
     CardNotReady, Volume::Untouched, "openVolume", false},
    {"DriveNotReadyOnRoute2Xp", 2, OsKindXp, Quick, "", [](CardRun& r) { r.os.volumes.clear(); }, CardNotReady,
     Volume::Untouched, "openVolume", false},
    {"OtherVolumeInfoErrorIgnored", 2, OsKindXp, Quick, "",
     [](CardRun& r) {
         r.os.volumes.clear();
         r.os.volumeInformationError = 5;
     },
     SuccessReinsertCard,
     Volume::Released, nullptr, true},
    {"NotReadyNotAskedAfterXp", 2, OsKindVistaTo8, Quick, "", [](CardRun& r) { r.os.volumes.clear(); },
     SuccessReinsertCard, Volume::Untouched, "volumeInformation", true},
    {"VolumeWillNotOpen", 1, OsKindXp, Quick, "", [](CardRun& r) { r.os.openAnswers[u'Z'] = {false}; }, Failed,
     Volume::Untouched, "volumeRequest", false},
    {"VolumeWillNotReopenAfterRefusedLock", 1, OsKindXp, Quick, "",
     [](CardRun& r) {
         r.os.requestAnswers[VolumeRequest::Lock] = {false};
         r.os.openAnswers[u'Z'] = {true, false};
     },
     Failed, Volume::Closed, "DDReadPT 0+1", false},
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
    {"CardWillNotReopenXp", 1, OsKindXp, FullOverwrite, "", [](CardRun& r) { failOn(r, "DDInit", 2, SDHOST_ERR_NO_CARD); },
     Failed, Volume::Closed, "DDWritePT 0+256", true},
    {"CardWillNotReopen", 2, OsKindVistaTo8, FullOverwrite, "", [](CardRun& r) { failOn(r, "DDInit", 2, SDHOST_ERR_NO_CARD); },
     Failed, Volume::Untouched, "DDWritePT 0+256", true},
    {"CardGoneAfterPrivateErase", 2, OsKindVistaTo8, FullErase, "", [](CardRun& r) { failOn(r, "DDInit", 2, SDHOST_ERR_NO_CARD); },
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
    {"LastCloseFails", 1, OsKindXp, Quick, "", [](CardRun& r) { failOn(r, "DDFini", 1, SDHOST_ERR_IO); }, Failed,
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
        const std::vector<std::pair<uint32_t, std::string>> expected = {
            {CancelButton, text(msg::Cancel)},
            {NoticeLine, text(msg::DoNotRemoveDrive)},
            {OverwriteLine, text(overwriteLine[type])},
            {EraseLine, text(eraseLine[type])},
            {FormatLine, text(msg::FormatLineStart)}};
        EXPECT_EQ(run.host.view.history, expected);
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
    run.bound.hook = [&](const std::string& line) {
        if (startsWith(line, "DDWritePT") && run.flags.formatProgressEnabled == 1 && !checked) {
            checked = true;
            EXPECT_EQ(ImageFile(run.image).read(0), patternSector(0));
            EXPECT_EQ(run.firstNot(0xFF, 1, kSectors), kSectors);
        }
        return 0u;
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
        OverwriteRow{"Xp", OsKindXp,
                     {"DDInit 26", "openVolume Z", "DDWritePT 0+64", "DDFini", "closeVolume",
                      "DDInit 26", "openVolume Z", "DDWritePT 0+256", "DDWritePT 0+1",
                      "DDWritePT 0+64", "closeVolume", "openVolume Z", "closeVolume",
                      "openVolume Z", "closeVolume", "DDFini"}},
        // Sector 0 zeroed and the card reopened; the volume is never touched.
        OverwriteRow{"VistaAndLater", OsKindVistaTo8,
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
        EraseRow{"PrivateXpHoldsTheLock", 2, OsKindXp, true, true, Success,
                 {"loadLibrary quillhost.so", "private DDInit 26", "openVolume Z", "closeVolume",
                  "private DDFini", "freeLibrary quillhost.so",
                  "DDInit 4122", "openVolume Z", "DDWritePT 0+1", "DDWritePT 0+64",
                  "loadLibrary " BRC_QUILLHOST_PATH, "closeVolume", "private DDInit 26", "openVolume Z",
                  "private DDErase 0-8191", "private DDErase 8192-16383", "private DDErase 16384-20479",
                  "private DDFini", "freeLibrary " BRC_QUILLHOST_PATH, "DDWritePT 0+1", "DDWritePT 0+64",
                  "closeVolume", "openVolume Z", "closeVolume", "openVolume Z", "closeVolume", "DDFini"}},
        EraseRow{"PrivateVistaClosesAndReopens", 2, OsKindVistaTo8, false, false, SuccessReinsertCard,
                 {"loadLibrary quillhost.so",  // the lock probe finds no library
                  "DDInit 4122", "DDWritePT 0+1", "DDWritePT 0+64", "DDFini",
                  "loadLibrary " BRC_QUILLHOST_PATH, "private DDInit 26", "private DDErase 0-8191",
                  "private DDErase 8192-16383", "private DDErase 16384-20479", "private DDFini",
                  "freeLibrary " BRC_QUILLHOST_PATH, "DDInit 4122", "DDWritePT 0+1", "DDWritePT 0+64",
                  "DDFini"}}),
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

} // namespace
} // namespace brc::format_test
