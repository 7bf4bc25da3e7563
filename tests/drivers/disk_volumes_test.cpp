// Which volumes a card's disk has, how they are taken before a write, kept over the closings in
// the middle of a format and let go at its end, on recorded answers and a clock that only moves
// when the code sleeps.
#include "drivers/windisk/disk_volumes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <map>

#include "device/sdhost_abi.h"

namespace brc::windisk {
namespace {

constexpr uint64_t kNever = std::numeric_limits<uint64_t>::max();
constexpr uint32_t kWriteProtect = 0x0107;

struct Volume {
    std::string name;
    std::vector<uint32_t> disks;
    std::vector<std::string> points;
    uint32_t openError = 0;
    uint64_t lockedUntil = 0; // another handle keeps the lock from being had until then
    uint64_t openErrorUntil = kNever; // the open fails with openError until then
    int extentAnswers = -1;           // how often it answers for its extents; -1: always
    bool lockHangs = false;           // its reader never answers the lock
    uint64_t offset = 4u << 20;       // where on its disks it begins
};

class RecordedVolumes final : public VolumeSystem {
public:
    explicit RecordedVolumes(std::vector<Volume> before, std::vector<Volume> after = {},
                             uint64_t backAfter = 0)
        : before_(std::move(before)), after_(std::move(after)), backAfter_(backAfter) {}

    std::vector<std::string> volumeNames() override {
        std::vector<std::string> names;
        for (const Volume& v : listed())
            if (find(v.name)) names.push_back(v.name);
        return names;
    }
    std::optional<std::vector<Extent>> extents(const std::string& name) override {
        const Volume* v = find(name);
        if (!v || (v->extentAnswers >= 0 && extentsAsked[name]++ >= v->extentAnswers)) return std::nullopt;
        std::vector<Extent> extents;
        for (const uint32_t disk : v->disks) extents.push_back({disk, v->offset, 0});
        return extents;
    }
    std::vector<std::string> mountPoints(const std::string& name) override {
        const Volume* v = find(name);
        return v ? v->points : std::vector<std::string>{};
    }
    uint32_t open(const std::string& name, VolumeHandle& handle) override {
        calls.push_back("open " + name);
        const Volume* v = find(name);
        if (!v) return 2;
        if (v->openError && now < v->openErrorUntil) return v->openError;
        handle = static_cast<VolumeHandle>(v - before_.data()) + 1;
        return 0;
    }
    uint32_t lock(VolumeHandle h, uint32_t waitMs) override {
        calls.push_back("lock " + before_[h - 1].name);
        const Volume& v = before_[h - 1];
        if (v.lockHangs) { // the reader keeps the request until the wait runs out
            now += waitMs;
            return kNoAnswer;
        }
        return now < v.lockedUntil ? 5 : 0;
    }
    bool dismount(VolumeHandle h) override {
        calls.push_back("dismount " + before_[h - 1].name);
        return true;
    }
    void release(VolumeHandle h) override {
        calls.push_back("release " + before_[h - 1].name);
        if (!releasedAt) releasedAt = now;
    }
    bool setMountPoint(const std::string& point, const std::string& name) override {
        calls.push_back("mount " + point + " " + name);
        return true;
    }
    bool removeMountPoint(const std::string& point) override {
        calls.push_back("unmount " + point);
        return true;
    }
    uint64_t milliseconds() override { return now; }
    void sleep(uint32_t ms) override { now += ms; }
    RunShelf& shelf() override { return shelf_; }
    bool programLocksVolumes() override { return xp; }

    // A volume the system mounts on its own while the card is held (a partition it found).
    void appear(Volume v) { before_.push_back(std::move(v)); }

    bool called(const std::string& prefix) const {
        return std::any_of(calls.begin(), calls.end(),
                           [&](const std::string& c) { return c.rfind(prefix, 0) == 0; });
    }

    uint64_t now = 0;
    bool xp = false;
    std::map<std::string, int> extentsAsked;
    std::optional<uint64_t> releasedAt;
    std::vector<std::string> calls;
    std::vector<std::string> gone; // pulled with the card, listed no more

private:
    // Until the volumes are let go the disk holds what it held; then, after a while, what the
    // system mounts anew.
    const std::vector<Volume>& listed() const {
        if (!releasedAt) return before_;
        static const std::vector<Volume> none;
        return now >= *releasedAt + backAfter_ ? after_ : none;
    }
    const Volume* find(const std::string& name) const {
        if (std::find(gone.begin(), gone.end(), name) != gone.end()) return nullptr;
        for (const Volume& v : listed())
            if (v.name == name) return &v;
        return nullptr;
    }

    std::vector<Volume> before_, after_;
    uint64_t backAfter_;
    RunShelf shelf_{}; // one process's modules share it
};

const Volume kSystem{"\\\\?\\Volume{c}\\", {0}, {"C:\\"}};

struct TakeCase {
    const char* name;
    std::vector<Volume> volumes;
    uint32_t code;
    std::vector<std::string> calls; // in order
    std::string why;                // a part of the line
    bool xp = false;                // the program locks the volume itself
};

TEST(DiskVolumes, EveryVolumeOnTheDiskIsLockedAndDismountedOrNothingIsWritten) {
    const std::string e = "\\\\?\\Volume{e}\\", f = "\\\\?\\Volume{f}\\";
    const std::vector<TakeCase> cases = {
        {"two partitions, one without a letter",
         {kSystem, {e, {1}, {"E:\\"}}, {f, {1}, {}}},
         SDHOST_OK,
         {"open " + e, "lock " + e, "dismount " + e, "unmount E:\\", "open " + f, "lock " + f, "dismount " + f},
         ""},
        {"a GPT card mounted in a folder",
         {kSystem, {e, {1}, {"C:\\mnt\\card\\"}}},
         SDHOST_OK,
         {"open " + e, "lock " + e, "dismount " + e},
         ""},
        {"the program's own lock (XP) counts as taken",
         {{e, {1}, {"E:\\"}, 5}},
         SDHOST_OK,
         {"open " + e},
         "",
         true},
        {"sharing refused by the program's own handle (XP)", {{e, {1}, {"E:\\"}, 32}}, SDHOST_OK, {"open " + e}, "", true},
        // Vista on: the program holds no lock of its own, so another program does.
        {"another program's lock beyond the wait",
         {{e, {1}, {"E:\\"}, 5}},
         SDHOST_ERR_BUSY,
         {"open " + e},
         "E:\\ is in use by another program (error 5)"},
        {"another program's handle beyond the wait",
         {{e, {1}, {"E:\\"}, 32}},
         SDHOST_ERR_BUSY,
         {"open " + e},
         "in use by another program (error 32)"},
        {"another program's handle for a moment",
         {{e, {1}, {"E:\\"}, 32, 0, 4000}},
         SDHOST_OK,
         {"open " + e, "lock " + e, "dismount " + e, "unmount E:\\"},
         ""},
        {"a volume gone between the two asks",
         {{e, {1}, {"E:\\"}, 0, 0, kNever, 1}, {f, {1}, {}}},
         SDHOST_OK,
         {"open " + e, "lock " + e, "dismount " + e, "unmount E:\\", "open " + f, "lock " + f, "dismount " + f},
         ""},
        {"write-protected", {{e, {1}, {"E:\\"}, 19}}, kWriteProtect, {"open " + e}, ""},
        {"a volume spanning the card and another disk",
         {{e, {1}, {"E:\\"}}, {f, {2, 1}, {"F:\\"}}},
         SDHOST_ERR_CONFIG,
         {},
         "F:\\ also lies"},
        {"a lock held beyond the wait",
         {{e, {1}, {"E:\\"}}, {f, {1}, {"G:\\"}, 0, kNever}},
         SDHOST_ERR_BUSY,
         {"open " + e, "lock " + e, "dismount " + e, "unmount E:\\", "open " + f, "lock " + f, "release " + f,
          "release " + e},
         "G:\\ is in use"},
        {"a lock the reader never answers",
         {{e, {1}, {"E:\\"}, 0, 0, kNever, -1, true}},
         SDHOST_ERR_NO_CARD,
         {"open " + e, "lock " + e, "release " + e},
         "E:\\ does not answer"},
        {"an open refused for another reason",
         {{e, {1}, {}, 1117}},
         SDHOST_ERR_BUSY,
         {"open " + e},
         e + " cannot be opened (error 1117)"},
    };
    for (const TakeCase& c : cases) {
        RecordedVolumes system(c.volumes);
        system.xp = c.xp;
        std::string why;
        {
            DiskVolumes volumes(system, 1, true);
            EXPECT_EQ(volumes.take(kWriteProtect, why), c.code) << c.name;
            std::vector<std::string> steps;
            for (const std::string& call : system.calls)
                if ((call.rfind("lock ", 0) != 0 && call.rfind("open ", 0) != 0) || steps.empty() || steps.back() != call)
                    steps.push_back(call); // a lock or an open tried again is one step
            EXPECT_EQ(steps, c.calls) << c.name;
        }
        EXPECT_NE(why.find(c.why), std::string::npos) << c.name << ": " << why;
        EXPECT_FALSE(system.called("open \\\\?\\Volume{c}")) << c.name;
        EXPECT_LE(system.now, kVolumeWaitMs + kVolumePollMs) << c.name;
    }
}

TEST(DiskVolumes, ALockHeldForAMomentIsTriedAgainForAboutTenSeconds) {
    for (const uint64_t heldFor : {uint64_t{3000}, uint64_t{9500}, uint64_t{10300}}) {
        RecordedVolumes system({{"\\\\?\\Volume{e}\\", {1}, {"E:\\"}, 0, heldFor}});
        DiskVolumes volumes(system, 1, true);
        std::string why;
        const bool had = heldFor < kVolumeWaitMs;
        EXPECT_EQ(volumes.take(kWriteProtect, why), had ? SDHOST_OK : SDHOST_ERR_BUSY) << heldFor;
        EXPECT_EQ(system.called("dismount"), had) << heldFor;
        EXPECT_LE(system.now, kVolumeWaitMs + kVolumePollMs) << heldFor;
    }
}

struct FinishCase {
    const char* name;
    std::vector<Volume> after;
    uint64_t backAfter;
    bool back;
    std::vector<std::string> letters; // what is done with drive letters once the locks go
    uint64_t partitionOffset = 0;     // where the partition just written begins; 0: unknown
};

// The card's letter is taken away while it is written (so Explorer shows nothing half-written)
// and given back to the volume that comes back where the new partition begins.
TEST(DiskVolumes, AfterTheLastClosingTheVolumeIsWaitedForAndGivenBackItsLetter) {
    const std::string e = "\\\\?\\Volume{e}\\", n = "\\\\?\\Volume{n}\\";
    constexpr uint64_t kNew = 8u << 20, kOld = 4u << 20;
    Volume stale{e, {1}, {}};
    Volume fresh{n, {1}, {}};
    fresh.offset = kNew;
    Volume freshWithF = fresh;
    freshWithF.points = {"F:\\"};
    Volume freshWithE = fresh;
    freshWithE.points = {"E:\\"};
    Volume freshInFolder = fresh;
    freshInFolder.points = {"C:\\mnt\\card\\"};
    const std::vector<FinishCase> cases = {
        {"back with its letter", {freshWithE}, 0, true, {}},
        {"back without a letter", {kSystem, fresh}, 2000, true, {"mount E:\\ " + n}},
        {"back in its folder only", {freshInFolder}, 0, true, {"mount E:\\ " + n}},
        {"back with a letter the system gave it", {freshWithF}, 0, true, {"unmount F:\\", "mount E:\\ " + n}},
        {"never back (the card pulled)", {kSystem}, 0, false, {}},
        {"back too late", {fresh}, kVolumeWaitMs + 1000, false, {}},
        {"only the old volume, where the old partition began", {stale}, 0, false, {}, kNew},
        {"the old volume and the new one", {stale, fresh}, 0, true, {"mount E:\\ " + n}, kNew},
        {"the new one where it was written", {fresh}, 0, true, {"mount E:\\ " + n}, kNew},
    };
    for (const FinishCase& c : cases) {
        Volume card{e, {1}, {"E:\\", "C:\\mnt\\card\\"}};
        card.offset = kOld;
        RecordedVolumes system({kSystem, card}, c.after, c.backAfter);
        DiskVolumes volumes(system, 1, true);
        std::string why;
        ASSERT_EQ(volumes.take(kWriteProtect, why), SDHOST_OK);
        EXPECT_TRUE(system.called("unmount E:\\")) << c.name << ": the letter stays while the card is written";
        const size_t taken = system.calls.size();
        EXPECT_EQ(volumes.finish(false, {kVolumeWaitMs, c.partitionOffset}), c.back) << c.name;
        EXPECT_TRUE(system.called("release " + e)) << c.name;
        std::vector<std::string> letters;
        for (size_t i = taken; i < system.calls.size(); ++i)
            if (system.calls[i].starts_with("mount ") || system.calls[i].starts_with("unmount "))
                letters.push_back(system.calls[i]);
        EXPECT_EQ(letters, c.letters) << c.name;
        EXPECT_LE(system.now, kVolumeWaitMs + kVolumePollMs) << c.name;
    }
    // A reader taken for gone: the locks go, nothing is waited for.
    RecordedVolumes system({kSystem, {e, {1}, {"E:\\"}}}, {fresh});
    DiskVolumes volumes(system, 1, true);
    std::string why;
    ASSERT_EQ(volumes.take(kWriteProtect, why), SDHOST_OK);
    EXPECT_FALSE(volumes.finish(false, {0, 0}));
    EXPECT_TRUE(system.called("release " + e));
    EXPECT_EQ(system.now, 0u);
}

// Nothing was held (a blank card, or on XP the program's own lock): nothing to wait for.
TEST(DiskVolumes, ACardWithoutAVolumeOfOursIsNotWaitedFor) {
    for (const std::vector<Volume>& volumes :
         {std::vector<Volume>{kSystem},
          std::vector<Volume>{{"\\\\?\\Volume{e}\\", {1}, {"E:\\"}, 5}}}) {
        RecordedVolumes system(volumes);
        system.xp = true;
        DiskVolumes card(system, 1, true);
        std::string why;
        ASSERT_EQ(card.take(kWriteProtect, why), SDHOST_OK);
        EXPECT_TRUE(card.finish(false));
        EXPECT_EQ(system.now, 0u);
    }
    // Nor is nothing parked: the next opening looks at the volume again.
    const std::string e = "\\\\?\\Volume{e}\\";
    RecordedVolumes system({{e, {1}, {"E:\\"}, 5}});
    system.xp = true;
    std::string why;
    for (int opening = 0; opening < 2; ++opening) {
        DiskVolumes card(system, 1, true);
        ASSERT_EQ(card.take(kWriteProtect, why), SDHOST_OK);
        card.finish(true);
    }
    EXPECT_EQ(std::count(system.calls.begin(), system.calls.end(), "open " + e), 2);
}

TEST(DiskVolumes, ClosingsInTheMiddleOfARunKeepTheLocksForTheNextOpening) {
    const std::string e = "\\\\?\\Volume{e}\\", f = "\\\\?\\Volume{f}\\";
    RecordedVolumes system({{e, {1}, {"E:\\"}}, {f, {1}, {}}}, {{e, {1}, {"E:\\"}}});
    std::string why;
    {
        DiskVolumes first(system, 1, true);
        ASSERT_EQ(first.take(kWriteProtect, why), SDHOST_OK);
        EXPECT_TRUE(first.finish(true));
    }
    // The sector-0 write and reopening, and the private erase: nothing is let go, nothing taken
    // twice, and another disk's opening adopts nothing.
    const size_t taken = system.calls.size();
    {
        DiskVolumes other(system, 2, true);
        ASSERT_EQ(other.take(kWriteProtect, why), SDHOST_OK);
    }
    for (int pair = 0; pair < 2; ++pair) {
        DiskVolumes again(system, 1, true);
        ASSERT_EQ(again.take(kWriteProtect, why), SDHOST_OK);
        EXPECT_TRUE(again.finish(true));
    }
    EXPECT_EQ(system.calls.size(), taken);
    EXPECT_FALSE(system.called("release"));
    {
        DiskVolumes last(system, 1, true);
        EXPECT_TRUE(last.finish(false));
    }
    EXPECT_TRUE(system.called("release " + e));
    EXPECT_TRUE(system.called("release " + f));
}

// A volume that appeared while the locks were parked (the system mounted a partition it found)
// is locked along with the adopted ones before the next write, and let go with them at the end.
TEST(DiskVolumes, AVolumeThatAppearedSinceTheLocksWereParkedIsTakenToo) {
    const std::string e = "\\\\?\\Volume{e}\\", g = "\\\\?\\Volume{g}\\";
    RecordedVolumes system({{e, {1}, {"E:\\"}}});
    std::string why;
    {
        DiskVolumes first(system, 1, true);
        ASSERT_EQ(first.take(kWriteProtect, why), SDHOST_OK);
        first.finish(true);
    }
    system.appear({g, {1}, {"G:\\"}});
    {
        DiskVolumes again(system, 1, true);
        ASSERT_EQ(again.take(kWriteProtect, why), SDHOST_OK);
        EXPECT_TRUE(system.called("lock " + g));
        EXPECT_TRUE(system.called("dismount " + g));
        EXPECT_EQ(std::count(system.calls.begin(), system.calls.end(), "open " + e), 1) << "taken twice";
        again.finish(true);
    }
    EXPECT_FALSE(system.called("release"));
    letGoOfParked(system, 1); // the run's end
    EXPECT_TRUE(system.called("release " + e));
    EXPECT_TRUE(system.called("release " + g));
}

// A probe's opening in between adopts nothing; a card swapped for another under the same disk
// number does not inherit the locks of the one before.
TEST(DiskVolumes, OnlyAWritingOpeningOfTheSameCardAdoptsTheLocks) {
    const std::string e = "\\\\?\\Volume{e}\\";
    RecordedVolumes system({{e, {1}, {"E:\\"}}});
    std::string why;
    const auto park = [&] {
        DiskVolumes volumes(system, 1, true);
        ASSERT_EQ(volumes.take(kWriteProtect, why), SDHOST_OK);
        volumes.finish(true);
    };
    park();
    { DiskVolumes probe(system, 1, false); }
    EXPECT_FALSE(system.called("release"));
    {
        DiskVolumes again(system, 1, true);
        EXPECT_EQ(again.take(kWriteProtect, why), SDHOST_OK);
        EXPECT_EQ(std::count(system.calls.begin(), system.calls.end(), "open " + e), 1);
        again.finish(true);
    }
    system.gone.push_back(e);
    DiskVolumes swapped(system, 1, true);
    EXPECT_TRUE(system.called("release " + e));
    EXPECT_EQ(swapped.take(kWriteProtect, why), SDHOST_OK);
    EXPECT_EQ(std::count(system.calls.begin(), system.calls.end(), "open " + e), 1);
}

TEST(DiskVolumes, WhatARunLeftParkedIsLetGoOf) {
    const std::string e = "\\\\?\\Volume{e}\\";
    RecordedVolumes system({{e, {1}, {"E:\\"}}});
    {
        DiskVolumes volumes(system, 1, true);
        std::string why;
        ASSERT_EQ(volumes.take(kWriteProtect, why), SDHOST_OK);
        volumes.finish(true);
    }
    releaseParkedVolumes(system);
    EXPECT_EQ(system.calls.back(), "release " + e);
    // Nothing is left to adopt: the next opening takes the volume anew.
    DiskVolumes next(system, 1, true);
    EXPECT_TRUE(next.finish(false));
    EXPECT_EQ(std::count(system.calls.begin(), system.calls.end(), "release " + e), 1);
}

// The volume service writes down the letters it takes; a service that died mid-run gives them
// back at its next start, to volumes still there and letters still free.
TEST(DiskVolumes, LettersARunTookAreWrittenDownAndGivenBackAfterACrash) {
    const std::string e = "\\\\?\\Volume{e}\\", f = "\\\\?\\Volume{f}\\",
                      g = "\\\\?\\Volume{g}\\", gone = "\\\\?\\Volume{gone}\\";
    RecordedVolumes before({{e, {1}, {"E:\\", "C:\\cards\\e\\"}}});
    DiskVolumes volumes(before, 1, false);
    std::string why;
    ASSERT_EQ(volumes.take(kWriteProtect, why), SDHOST_OK);
    const std::vector<TakenLetter> taken = takenLetters(volumes);
    ASSERT_EQ(taken, (std::vector<TakenLetter>{{"E:\\", e}})); // a folder mount point stays
    const std::string text = ledgerText(taken);
    EXPECT_EQ(parseLedger(text), taken);

    // After the crash: E's volume is there without a letter, F holds its own, G has none.
    RecordedVolumes after({{e, {1}, {}}, {f, {2}, {"F:\\"}}, {g, {3}, {}}});
    giveBackTaken(after, parseLedger(text + ";F:\\=" + g + ";H:\\=" + f + ";K:\\=" + gone));
    EXPECT_EQ(after.calls, (std::vector<std::string>{"mount E:\\ " + e}))
        << "F: is taken, F's volume has a letter already, and K:'s volume is gone";

    // What is not a letter and a volume's name is not read back.
    for (const std::string& junk : std::vector<std::string>{
             "E:=" + e, "e:\\=" + e, "EE:\\=" + e, "E:\\=C:\\Windows\\", "E:\\", "=" + e,
             "E:\\=\\\\?\\Volume{e}"})
        EXPECT_TRUE(parseLedger(junk).empty()) << junk;
    EXPECT_EQ(parseLedger(";;E:\\=" + e + ";x"), taken);
}

} // namespace
} // namespace brc::windisk
