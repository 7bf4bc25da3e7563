// The Format command through a scripted host over a virtual card: what the user is asked and
// shown, in which order, and that a cancelled or refused attempt writes nothing.
#include <gtest/gtest.h>

#include <cstdlib>
#include <algorithm>
#include <filesystem>
#include <functional>
#include <memory>
#include <fstream>
#include <string>
#include <vector>

#include "app/format_command.h"
#include "base/code_page.h"
#include "device/driver_binding.h"
#include "device/system_checks.h"
#include "platform/posix/posix_os.h"
#include "progress/progress.h"
#include "tests/support/fake_card.h"
#include "tests/support/mounted_fat32.h"
#include "tests/support/recording_view.h"
#include "tests/support/scratch_dir.h"

namespace brc {
namespace {

// Records every call as a word, answers the questions from a script, and lets a test raise a
// power broadcast at any message pump.
class ScriptedHost : public FormatHost, public ProgressWindowHost {
public:
    std::vector<std::string> log;
    std::vector<bool> answers;  // confirmations in order; missing answers are OK
    std::function<void(int)> onPump;
    test::RecordingView view;

    bool confirm(uint32_t id, const std::u16string& text, uint32_t style) override {
        EXPECT_FALSE(text.empty());
        EXPECT_EQ(style, kStyleQuestion);
        log.push_back("confirm " + std::to_string(id));
        const bool ok = asked_ < answers.size() ? answers[asked_] : true;
        ++asked_;
        return ok;
    }
    void showMessage(uint32_t id, const std::u16string& text, uint32_t style) override {
        EXPECT_FALSE(text.empty());
        log.push_back("show " + std::to_string(id) + (style == kStyleError ? " error" : " info"));
        shown = text;
    }
    void EnableControls(bool enable) override { log.push_back(enable ? "enable" : "disable"); }
    void stopPollTimer() override { log.push_back("stop timer"); }
    void startPollTimer() override { log.push_back("start timer"); }
    void refreshDriveList() override { log.push_back("refresh"); }
    void BeginWaitCursor() override { log.push_back("wait"); }
    void EndWaitCursor() override { log.push_back("end wait"); }
    void repaintNow() override { log.push_back("repaint"); }
    // The command's own pumps (around the label step) count with the progress window's.
    void pumpPendingMessages() override {
        view.onPump = onPump;
        view.pumpPendingMessages();
    }
    ProgressWindowHost& progressWindow() override { return *this; }
    ProgressView* createProgressWindow() override {
        log.push_back("window");
        view.onPump = onPump;
        return &view;
    }
    void destroyProgressWindow() override { log.push_back("close window"); }

    std::u16string shown;

private:
    size_t asked_ = 0;
};

// The posix services with Windows' label call: it leaves a FAT32 card mounted (dirty, FSInfo
// counted), which the command's repair after the label must undo.
class MountingLabelOs : public OsServices {
public:
    MountingLabelOs(std::unique_ptr<OsServices> os, std::filesystem::path image)
        : os_(std::move(os)), image_(std::move(image)) {}
    bool mounted = false;  // the last label call left a FAT32 volume mounted

    bool setVolumeLabel(const std::u16string& root, const std::u16string& label) override {
        if (!os_->setVolumeLabel(root, label)) return false;
        mounted = test::markFat32Mounted(test::sectorsOf(image_));
        return true;
    }

    SystemFamily systemFamily() override { return os_->systemFamily(); }
    bool isSuperuser() override { return os_->isSuperuser(); }
    bool mayOpenCard() override { return os_->mayOpenCard(); }
    bool systemVersion(OsVersion& out) override { return os_->systemVersion(out); }
    bool isInGroup(const std::string& sid, bool& member) override {
        return os_->isInGroup(sid, member);
    }
    uint32_t startService(const std::u16string& name) override { return os_->startService(name); }
    bool pipeOpens(const std::u16string& pipe) override { return os_->pipeOpens(pipe); }
    void* createNamedMutex(const std::u16string& name, bool& existed) override {
        return os_->createNamedMutex(name, existed);
    }
    bool namedMutexHeld(const std::u16string& name) override { return os_->namedMutexHeld(name); }
    void releaseNamedMutex(void* mutex) override { os_->releaseNamedMutex(mutex); }
    void* openVolume(char16_t drive) override { return os_->openVolume(drive); }
    bool volumeRequest(void* volume, VolumeRequest request) override {
        return os_->volumeRequest(volume, request);
    }
    void closeVolume(void* volume) override { os_->closeVolume(volume); }
    std::optional<std::u16string> driveDevicePath(char16_t drive) override {
        return os_->driveDevicePath(drive);
    }
    std::vector<std::u16string> driveRoots() override { return os_->driveRoots(); }
    uint32_t driveType(const std::u16string& root) override { return os_->driveType(root); }
    bool clusterSpace(const std::u16string& root, ClusterSpace& out) override {
        return os_->clusterSpace(root, out);
    }
    bool freeSpace(const std::u16string& root, uint64_t& free, uint64_t& total) override {
        return os_->freeSpace(root, free, total);
    }
    bool volumeInfo(const std::u16string& root, VolumeInfo& out) override {
        return os_->volumeInfo(root, out);
    }
    void wakeDrive(const std::u16string& path) override { os_->wakeDrive(path); }
    uint32_t lastError() override { return os_->lastError(); }
    std::string driverLibraryFolder() override { return os_->driverLibraryFolder(); }
    void* loadLibrary(const std::string& path) override { return os_->loadLibrary(path); }
    void* libraryProc(void* library, const char* name) override {
        return os_->libraryProc(library, name);
    }
    void freeLibrary(void* library) override { os_->freeLibrary(library); }
    uint16_t uiLanguage(bool systemDefault) override { return os_->uiLanguage(systemDefault); }
    uint32_t milliseconds() override { return os_->milliseconds(); }
    LocalTime localTime() override { return os_->localTime(); }
    const CodePage& oemCodePage() override { return os_->oemCodePage(); }
    std::optional<ProgramVersion> programVersion() override { return os_->programVersion(); }

private:
    std::unique_ptr<OsServices> os_;
    std::filesystem::path image_;
};

// A virtual card in drive Z: and the process state of one program run.
struct Rig {
    test::ScratchDir dir{"format-command"};
    std::filesystem::path image = dir.path / "card.img";
    std::unique_ptr<OsServices> os;
    std::unique_ptr<SystemState> sys;
    std::unique_ptr<DriverBinding> driver;
    RunFlags flags;
    ScriptedHost host;

    explicit Rig(uint64_t sectors, const std::string& sidecar = "", bool labelMounts = false) {
        { std::ofstream create(image, std::ios::binary); }
        std::filesystem::resize_file(image, sectors * 512);
        std::ofstream(image.string() + ".card") << sidecar;
        ::setenv("BRINDLECARD_CARDS", ("Z=" + image.string()).c_str(), 1);
        os = makePosixOsServices(image.string());
        if (labelMounts) os = std::make_unique<MountingLabelOs>(std::move(os), image);
        sys = std::make_unique<SystemState>(*os);
        driver = std::make_unique<DriverBinding>(*os);
        EXPECT_EQ(bindDriver(*driver, 2), BindResult::Bound) << driver->lastError;
    }
    ~Rig() { ::unsetenv("BRINDLECARD_CARDS"); }

    FormatOutcome run(FormatType type, const std::u16string& drive = u"Z:", const std::u16string& label = u"") {
        FormatEnvironment env{*driver, *sys, flags, builtinMessages()};
        return FormatCommand(env, host).run({drive, label, type, false});
    }
    bool sectorZeroBlank() {
        std::ifstream in(image, std::ios::binary);
        std::string sector(512, '\1');
        in.read(sector.data(), 512);
        return sector == std::string(512, '\0');
    }
};

constexpr uint64_t k64MiB = 131072;

TEST(FormatCommand, QuickFormatAsksTwiceThenFormatsAndReports) {
    Rig rig(k64MiB);
    const FormatOutcome o = rig.run(Quick, u"Z:\\", u"card");
    EXPECT_EQ(o.end, FormatEnd::Formatted);
    EXPECT_EQ(o.result, SuccessReinsertCard) << "a blank card had no partition entry to keep";
    EXPECT_EQ(o.messageId, 0u);
    EXPECT_EQ(o.message, rig.host.shown);
    EXPECT_EQ(o.label, u"CARD");
    EXPECT_EQ(utf16ToUtf8(o.message).find("Форматирование карты памяти завершино !"), 0u);
    const std::vector<std::string> expected = {
        "stop timer", "wait", "disable", "enable", "end wait",  // the label check
        "confirm 269", "confirm 207",                           // quick: two questions
        "wait", "repaint", "disable", "window", "close window",  // the format
        "enable", "show 0 info", "repaint",                     // result 3: the report
        "refresh", "start timer", "end wait"};
    EXPECT_EQ(rig.host.log, expected);
    EXPECT_FALSE(rig.sectorZeroBlank());
}

// A first format asks for the card again, as the system's volume of it changed. Where the label
// is written by our own code on the card, it is written all the same; where the system's volume
// would write it, it waits for the card to come back.
TEST(FormatCommand, AFirstFormatLabelsTheCardWhereOurOwnCodeWritesTheLabel) {
    for (const bool ownWriter : {true, false}) {
        Rig rig(k64MiB, "", !ownWriter);
        const FormatOutcome o = rig.run(Quick, u"Z:", u"first");
        ASSERT_EQ(o.result, SuccessReinsertCard) << ownWriter;
        EXPECT_EQ(o.end, FormatEnd::Formatted) << ownWriter;
        const test::SectorAccess card = test::sectorsOf(rig.image);
        const uint64_t p = le32(card.read(0).data() + 454);
        const std::string bootLabel(reinterpret_cast<const char*>(card.read(p).data() + 43), 11);
        EXPECT_EQ(bootLabel, ownWriter ? "FIRST      " : "NO NAME    ") << ownWriter;
    }
}

TEST(FormatCommand, FullFormatAsksOnceAndSetsTheLabelAfterSuccess) {
    Rig rig(k64MiB);
    rig.run(Quick);
    rig.host.log.clear();
    const FormatOutcome o = rig.run(FullErase, u"Z:", u"again");
    EXPECT_EQ(o.end, FormatEnd::Formatted);
    EXPECT_EQ(o.result, Success) << "the card already holds the same partition entry";
    EXPECT_EQ(o.figures.eraseResult, 0);
    const std::vector<std::string> expected = {
        "stop timer", "wait", "disable", "enable", "end wait", "confirm 207",
        "wait", "repaint", "disable", "window", "close window",
        "repaint", "enable", "show 0 info", "refresh", "start timer", "end wait"};
    EXPECT_EQ(rig.host.log, expected);
    VolumeInfo info;
    ASSERT_TRUE(rig.os->volumeInfo(u"Z:\\", info));
    EXPECT_EQ(info.label, u"AGAIN") << "the label went on through the system";
}

// Where the system's label call leaves a FAT32 card mounted, the repair after it puts back what
// the format wrote: the clean-shutdown bit in both FATs, FSInfo's counts unset in both copies.
TEST(FormatCommand, RepairsFat32AfterTheSystemMountedItForTheLabel) {
    Rig rig(4300000, "", true);
    rig.run(Quick);  // a blank card asks to be reinserted: the label step comes with the second
    const FormatOutcome o = rig.run(Quick, u"Z:", u"card");
    ASSERT_EQ(o.result, Success);
    ASSERT_TRUE(static_cast<MountingLabelOs&>(*rig.os).mounted);
    const test::SectorAccess card = test::sectorsOf(rig.image);
    const uint64_t p = le32(card.read(0).data() + 454);
    const test::Sector boot = card.read(p);
    const uint64_t fat1 = p + le16(boot.data() + 14), fatSectors = le32(boot.data() + 36);
    for (uint64_t fat : {fat1, fat1 + fatSectors})
        EXPECT_EQ(le32(card.read(fat).data() + 4), 0x0FFFFFFFu) << "FAT at " << fat;
    for (uint64_t info : {p + 1, p + 7}) {
        EXPECT_EQ(le32(card.read(info).data() + 488), 0xFFFFFFFFu) << "FSInfo at " << info;
        EXPECT_EQ(le32(card.read(info).data() + 492), 0xFFFFFFFFu) << "FSInfo at " << info;
    }
}

TEST(FormatCommand, ACancelledQuestionWritesNothingAndRestartsTheTimer) {
    for (size_t cancelAt : {0u, 1u}) {
        SCOPED_TRACE(cancelAt == 0 ? "first question" : "second question");
        Rig rig(k64MiB);
        rig.host.answers.assign(cancelAt + 1, true);
        rig.host.answers[cancelAt] = false;
        const FormatOutcome o = rig.run(Quick);
        EXPECT_EQ(o.end, FormatEnd::Cancelled);
        EXPECT_TRUE(rig.sectorZeroBlank());
        EXPECT_EQ(rig.host.log.back(), "start timer");
        EXPECT_EQ(std::count(rig.host.log.begin(), rig.host.log.end(), "window"), 0);
        EXPECT_EQ(std::count(rig.host.log.begin(), rig.host.log.end(), "refresh"), 0);
    }
}

TEST(FormatCommand, ARefusedCardIsToldBeforeAnyQuestion) {
    Rig rig(k64MiB, "write_protect_switch = 1\n");
    const FormatOutcome o = rig.run(Quick);
    EXPECT_EQ(o.end, FormatEnd::Refused);
    EXPECT_EQ(o.result, WriteProtectSwitch);
    EXPECT_EQ(o.messageId, 209u);
    const std::vector<std::string> expected = {"stop timer", "wait", "disable", "enable", "end wait",
                                               "show 209 error", "start timer"};
    EXPECT_EQ(rig.host.log, expected);
    EXPECT_TRUE(rig.sectorZeroBlank());
}

// The plan a run ends with is the one its last pre-check made: that of the label check when
// the label is refused (the front end says why from it, without opening the card again), the
// format's own after a format.
TEST(FormatCommand, HandsBackThePlanOfItsLastPreCheck) {
    const struct {
        const char* label;
        FormatType type;
        int32_t result;
        uint32_t labelBits;
    } cases[] = {
        {"ABCDEFGHIJKLMN", Quick, InvalidLabel, kLabelTooLong},
        {"a.b", FullErase, InvalidLabel, kLabelForbiddenChar},
        {"card", Quick, SuccessReinsertCard, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        Rig rig(k64MiB);
        const FormatOutcome o = rig.run(c.type, u"Z:", utf8ToUtf16(c.label));
        EXPECT_EQ(o.result, c.result);
        const FormatPlan& plan = o.figures.plan;
        ASSERT_TRUE(plan.layoutDone);
        EXPECT_EQ(plan.capacity.userSectors, k64MiB);
        EXPECT_EQ(plan.params.fsType, static_cast<uint32_t>(Fat16));
        EXPECT_EQ(plan.labelBits, c.labelBits);
        if (c.result == InvalidLabel) {
            EXPECT_EQ(std::count(rig.host.log.begin(), rig.host.log.end(), "window"), 0);
            EXPECT_TRUE(rig.sectorZeroBlank());
        } else {
            EXPECT_EQ(o.figures.fileSystemKind, plan.params.fsType) << "the passes wrote the plan";
        }
    }
}

// A power broadcast during the format wins over the result: its message, never the report.
TEST(FormatCommand, APowerBroadcastDuringTheFormatShowsItsMessage) {
    for (uint32_t event : {4u, 5u}) {
        SCOPED_TRACE(event);
        Rig rig(k64MiB);
        rig.host.onPump = [&](int) {
            rig.flags.powerAbort = 1;
            rig.flags.powerEvent = event;
        };
        const FormatOutcome o = rig.run(FullOverwrite);
        EXPECT_EQ(o.end, FormatEnd::Failed);
        EXPECT_EQ(o.messageId, event == 4 ? 270u : 271u);
        EXPECT_EQ(std::count(rig.host.log.begin(), rig.host.log.end(), "show 0 info"), 0);
        EXPECT_EQ(rig.host.log.back(), "end wait");
    }
}

// A suspend at any point of any pass abandons the format with its message and result: never
// the report, never a plain failure. The sweep raises it at every message pump of a run.
TEST(FormatCommand, ASuspendAtAnyPumpEndsAsPowerInterrupted) {
    const struct { uint64_t sectors; FormatType type; } cases[] = {
        {32768, Quick},   {32768, FullOverwrite},   {32768, FullErase}, {32768, FullOverwriteErase},
        {k64MiB, Quick},  {4300000, Quick},          {70000000, Quick},
    };
    for (const auto& c : cases) {
        int pumps = 0;
        {
            Rig rig(c.sectors);
            ASSERT_EQ(rig.run(c.type).end, FormatEnd::Formatted);
            pumps = rig.host.view.pumps;
        }
        ASSERT_GT(pumps, 0);
        const int stride = std::max(1, pumps / 60);
        for (int at = 1; at <= pumps; at += stride) {
            SCOPED_TRACE(testing::Message() << c.sectors << " type " << c.type << " pump " << at << "/" << pumps);
            Rig rig(c.sectors);
            rig.host.onPump = [&](int n) {
                if (n < at) return;
                rig.flags.powerAbort = 1;
                rig.flags.powerEvent = 4;
            };
            const FormatOutcome o = rig.run(c.type);
            EXPECT_EQ(o.result, PowerInterrupted);
            EXPECT_EQ(o.end, FormatEnd::Failed);
            EXPECT_EQ(o.messageId, 270u);
        }
    }
}

// Every write of a quick format, on every file-system type, failed in turn by an I/O error, the
// route's write-protect code or the card going away: the command never ends in the report, and
// once a write has failed nothing more is written.
TEST(FormatCommand, AFaultAtAnyWriteEndsTheFormatAndNothingIsWrittenAfterIt) {
    const struct { const char* name; uint64_t sectors; } cards[] = {
        {"FAT12", 32768}, {"FAT16", k64MiB}, {"FAT32", 4300000}, {"exFAT", 67108864},
    };
    const struct { const char* name; const char* sidecar; bool vanish; } faults[] = {
        {"I/O error", "fail_write_call = N\n", false},
        {"protect code", "fail_write_call = N\nfail_write_code = 1543\n", false},
        {"card gone", "vanish_after_writes = M\n", true},
    };
    for (const auto& card : cards) {
        size_t writes = 0;
        {
            Rig rig(card.sectors);
            test::FakeCard spy;
            spy.wrap(*rig.driver);
            ASSERT_EQ(rig.run(Quick).end, FormatEnd::Formatted) << card.name;
            writes = spy.countOf(test::Op::Write);
        }
        ASSERT_GT(writes, 0u);
        for (const auto& fault : faults) {
            // A failing write call n leaves n - 1 written; a card gone after n writes leaves n.
            for (size_t n = 1; n <= writes; ++n) {
                if (fault.vanish && n == writes) break; // gone after the last write: formatted
                SCOPED_TRACE(testing::Message() << card.name << ", " << fault.name << ", n = " << n << " of " << writes);
                std::string sidecar = fault.sidecar;
                sidecar.replace(sidecar.find_first_of("NM"), 1, std::to_string(n));
                Rig rig(card.sectors, sidecar);
                test::FakeCard spy;
                spy.wrap(*rig.driver);
                const FormatOutcome o = rig.run(Quick);
                EXPECT_EQ(o.end, FormatEnd::Failed);
                EXPECT_NE(o.result, Success);
                EXPECT_NE(o.result, SuccessReinsertCard);
                const std::vector<test::Call> w = spy.callsOf(test::Op::Write);
                const size_t written = fault.vanish ? n : n - 1;
                ASSERT_GE(w.size(), written);
                for (size_t i = 0; i < written; ++i) {
                    EXPECT_EQ(w[i].result, 0u) << test::describe(w[i]);
                    if (i > 0) {
                        EXPECT_GT(w[i].first, w[i - 1].first) << "chunks out of order";
                    }
                }
                // At most the one attempt that failed follows; nothing after it.
                ASSERT_LE(w.size(), written + 1) << "written after the failed chunk: " << test::describe(w[written + 1]);
                if (w.size() == written + 1) {
                    EXPECT_NE(w[written].result, 0u);
                } else {
                    EXPECT_TRUE(fault.vanish) << "the failing write was never made";
                }
            }
        }
    }
}

TEST(FormatCommand, RootPathGetsItsBackslashOnlyWhenMissing) {
    EXPECT_EQ(rootPathOf(u"E:"), u"E:\\");
    EXPECT_EQ(rootPathOf(u"E:\\"), u"E:\\");
}

} // namespace
} // namespace brc
