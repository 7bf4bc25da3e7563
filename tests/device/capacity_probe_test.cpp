// The capacity probe against virtual cards served by the real driver library: genuine cards,
// counterfeit ones of both kinds with real parts from a few MiB to just under the announced
// size, behind a write cache; the card's content byte for byte the same afterwards, also after
// a stop, and after a pulled card through the saved file.
#include "device/capacity_probe.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "base/environment.h"
#include "device/driver_binding.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/system_os.h"

namespace brc {
namespace {

namespace fs = std::filesystem;
constexpr uint64_t kMiB = 1 << 20;
constexpr uint32_t kDriveZ = 26;

// What the user had on the card: every sector different, none zero.
void fillUserData(const fs::path& image, uint64_t bytes) {
    std::ofstream out(image, std::ios::binary | std::ios::in | std::ios::out);
    std::vector<uint8_t> chunk(kMiB);
    for (uint64_t at = 0; at < bytes; at += chunk.size()) {
        for (size_t i = 0; i < chunk.size(); i += 8) {
            const uint64_t v = (at + i) * 0x9E3779B97F4A7C15u + 1;
            std::memcpy(chunk.data() + i, &v, 8);
        }
        out.write(reinterpret_cast<const char*>(chunk.data()),
                  static_cast<std::streamsize>(std::min<uint64_t>(chunk.size(), bytes - at)));
    }
}

std::vector<uint8_t> contents(const fs::path& image) {
    std::vector<uint8_t> bytes(fs::file_size(image));
    std::ifstream(image, std::ios::binary)
        .read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return bytes;
}

// A sparse image with its sidecar, the user's data on its real part.
struct Card {
    fs::path image;
    Card(const fs::path& dir, uint64_t bytes, const std::string& sidecar, uint64_t userBytes)
        : image(dir / "card.img") {
        { std::ofstream create(image, std::ios::binary | std::ios::trunc); }
        fs::resize_file(image, bytes);
        std::ofstream(image.string() + ".card", std::ios::trunc) << sidecar;
        fillUserData(image, userBytes);
    }
    void setSidecar(const std::string& text) const {
        std::ofstream(image.string() + ".card", std::ios::trunc) << text;
    }
};

// The route-1 library serving the image as drive Z:, opened for writing.
struct Rig {
    DriverBinding driver{test::systemOs()};
    bool open = false;
    explicit Rig(const fs::path& image) {
        setEnvironmentVariable("BRINDLECARD_CARDS", "Z=" + fs::absolute(image).string());
        if (bindDriverFile(driver, 1, BRC_QUILLHOST_PATH) != BindResult::Bound) {
            ADD_FAILURE() << driver.lastError;
            return;
        }
        uint32_t handle = 0;
        open = driver.api.DDInit(&handle, kDriveZ) == 0;
        EXPECT_TRUE(open);
        driver.driverHandle = handle;
    }
    ~Rig() {
        if (open) driver.api.DDFini(driver.driverHandle);
        unsetEnvironmentVariable("BRINDLECARD_CARDS");
    }
};

// The write path of the Linux and Windows libraries (drivers/write_queue.h) over the rig's: a
// write is taken at once and its failure reported by a later call, which fails, as does every
// call after it until the card is opened again. Here the write is done at once and its result
// told by the next call, the earliest a queue can tell it. One at a time.
struct QueuedWrites {
    static inline DriverApi real;
    static inline uint32_t untold = 0, failing = 0;
    static uint32_t told() {
        if (!failing) failing = std::exchange(untold, 0);
        return failing;
    }
    static uint32_t SDHOST_CALL write(const void* data, uint32_t count, uint32_t first,
                                      uint32_t handle) {
        if (const uint32_t rc = told()) return rc;
        untold = real.DDWritePT(data, count, first, handle);
        return 0;
    }
    static uint32_t SDHOST_CALL read(void* data, uint32_t count, uint32_t first, uint32_t handle) {
        if (const uint32_t rc = told()) return rc;
        return real.DDReadPT(data, count, first, handle);
    }
    static uint32_t SDHOST_CALL fini(uint32_t handle) {
        const uint32_t rc = told();
        untold = failing = 0;
        const uint32_t closed = real.DDFini(handle);
        return rc ? rc : closed;
    }
    static void install(DriverBinding& driver) {
        real = driver.api;
        untold = failing = 0;
        driver.api.DDWritePT = write;
        driver.api.DDReadPT = read;
        driver.api.DDFini = fini;
    }
};

// Opens the rig's card again, as the command's probe does after a refused write.
uint32_t reopenZ(DriverBinding& driver) {
    driver.api.DDFini(driver.driverHandle);
    uint32_t handle = 0;
    const uint32_t rc = driver.api.DDInit(&handle, kDriveZ);
    driver.driverHandle = handle;
    return rc;
}

// A first filler of 2 MiB, confirmed under one of 16 MiB: more than any card's cache below
// but those the confirmation is there for.
ProbeOptions smallCache() {
    ProbeOptions o;
    o.nonce = 0x1234567890ABCDEFu;
    o.cacheBytes = 2 * kMiB;
    o.cacheLimitBytes = 16 * kMiB;
    return o;
}

struct Case {
    const char* name;
    const char* kind; // "" genuine, "wraparound", "limbo"
    uint64_t announced, real, cache;
    const char* more = ""; // sidecar lines: how the card misbehaves besides
};
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class Probe : public testing::TestWithParam<Case> {};

TEST_P(Probe, FindsTheRealPartAndLeavesTheCardAsItWas) {
    const Case& c = GetParam();
    test::ScratchDir dir("capacity_probe");
    std::string sidecar = "cache = " + std::to_string(c.cache) + "\n" + c.more;
    if (*c.kind)
        sidecar += std::string("counterfeit = ") + c.kind + " " + std::to_string(c.real) + "\n";
    const Card card(dir.path, c.announced, sidecar, c.real);
    const std::vector<uint8_t> before = contents(card.image);
    ProbeUndo undo;
    ProbeResult r;
    {
        Rig rig(card.image);
        ASSERT_TRUE(rig.open);
        r = probeCapacity(rig.driver, smallCache(), undo);
    }
    EXPECT_EQ(r.announcedSectors, c.announced / 512);
    ASSERT_EQ(r.verdict, *c.kind ? ProbeVerdict::Counterfeit : ProbeVerdict::Genuine) << r.cause;
    const ProbeKind kind = std::string(c.kind) == "wraparound" ? ProbeKind::Wraparound
                           : *c.kind                           ? ProbeKind::Limbo
                                                               : ProbeKind::None;
    EXPECT_EQ(r.kind, kind);
    if (kind == ProbeKind::Wraparound) {
        // Where it wrapped: a sector past the real part showing one a whole number of wrapped
        // parts away (the real part, less what the card spares of its start).
        const std::string spares = "wrap_spares = ";
        const size_t at = std::string(c.more).find(spares);
        const uint64_t spared = at == std::string::npos ? 0 : std::stoull(c.more + at + spares.size());
        EXPECT_GE(r.wrapSector, c.real / 512);
        EXPECT_EQ((r.wrapSector - r.wrapShows) % ((c.real - spared) / 512), 0u)
            << r.wrapSector << " " << r.wrapShows;
    }
    // Never more than is real, and within 1 % below it.
    EXPECT_LE(r.usableSectors, c.real / 512);
    EXPECT_GE(r.usableSectors, c.real / 512 * 99 / 100);
    // The filler is the costly part. A card that neither caches nor wraps needs none; others
    // are found under one and confirmed under the longest one, or found under that at once.
    if (kind == ProbeKind::Limbo && c.cache == 0 && !*c.more) {
        EXPECT_EQ(r.fillers, 0u);
    } else if (c.real > smallCache().cacheBytes && c.cache < smallCache().cacheBytes) {
        EXPECT_LE(r.fillers, 2u);
    }
    // No cache the last filler was as long as fooled it.
    // No cache as long as the last filler fooled it: the limit, or half the usable part.
    EXPECT_GE(r.cacheRuledOutBytes,
              std::min(smallCache().cacheLimitBytes, r.usableSectors * 256) * 9 / 10);
    EXPECT_TRUE(r.restored);
    EXPECT_TRUE(undo.empty());
    EXPECT_TRUE(contents(card.image) == before) << "the card's content changed";
}

INSTANTIATE_TEST_SUITE_P(
    Cards, Probe,
    testing::Values(Case{"Genuine", "", 128 * kMiB, 128 * kMiB, 1 * kMiB},
                    Case{"GenuineWithoutCache", "", 96 * kMiB + 4096, 96 * kMiB + 4096, 0},
                    Case{"WraparoundTiny", "wraparound", 128 * kMiB, 3 * kMiB, 256 << 10},
                    Case{"LimboTiny", "limbo", 128 * kMiB, 3 * kMiB, 256 << 10},
                    Case{"WraparoundSmallerThanTheFiller", "wraparound", 128 * kMiB,
                         kMiB / 2 + 4096, 64 << 10},
                    Case{"WraparoundMiddling", "wraparound", 128 * kMiB, 50 * kMiB + 777 * 512,
                         1 * kMiB},
                    Case{"LimboMiddling", "limbo", 128 * kMiB, 50 * kMiB + 777 * 512, 1 * kMiB},
                    Case{"LimboWithoutCache", "limbo", 128 * kMiB, 50 * kMiB + 777 * 512, 0},
                    Case{"WraparoundJustUnder", "wraparound", 128 * kMiB, 127 * kMiB, 1 * kMiB},
                    Case{"LimboJustUnder", "limbo", 128 * kMiB, 128 * kMiB - 4096, 1 * kMiB},
                    Case{"WraparoundOneSectorShort", "wraparound", 64 * kMiB, 64 * kMiB - 512, 0},
                    // Caches the first filler cannot push the blocks out of.
                    Case{"LimboBehindACacheLongerThanTheFirstFiller", "limbo", 128 * kMiB,
                         40 * kMiB, 6 * kMiB},
                    Case{"WraparoundBehindACacheLongerThanTheFirstFiller", "wraparound",
                         128 * kMiB, 48 * kMiB + 4096, 6 * kMiB},
                    // Wraps that keep the card's first part out: past the real part, blocks land
                    // beyond the first filler.
                    Case{"WraparoundSparingItsStart", "wraparound", 128 * kMiB, 60 * kMiB, 0,
                         "wrap_spares = 6291456\n"},
                    Case{"WraparoundSparingItsStartBehindACache", "wraparound", 128 * kMiB,
                         50 * kMiB + 777 * 512, 1 * kMiB, "wrap_spares = 4194304\n"},
                    // What a limbo card's lost part reads as.
                    Case{"LimboReadingOnes", "limbo", 128 * kMiB, 50 * kMiB, 1 * kMiB,
                         "lost_reads = ones\n"},
                    Case{"LimboReadingAStaleBuffer", "limbo", 128 * kMiB, 50 * kMiB + 4096,
                         1 * kMiB, "lost_reads = stale\n"},
                    Case{"LimboFailingReads", "limbo", 128 * kMiB, 50 * kMiB, 1 * kMiB,
                         "lost_reads = fail\n"},
                    Case{"LimboFailingWrites", "limbo", 128 * kMiB, 50 * kMiB, 0,
                         "lost_writes = fail\n"},
                    Case{"LimboFailingWritesAndReads", "limbo", 128 * kMiB, 30 * kMiB, 1 * kMiB,
                         "lost_writes = fail\nlost_reads = fail\n"}));

TEST(ProbeCache, ACacheLongerThanEveryFillerIsNamedAsNotRuledOut) {
    // The cache is why the filler is there: a card whose cache holds more than the longest
    // filler reads the blocks back from the cache and finds nothing wrong. The result says how
    // large a cache it ruled out, so the verdict is never taken for more than it is.
    test::ScratchDir dir("capacity_probe");
    const Card card(dir.path, 64 * kMiB, "cache = 8388608\ncounterfeit = limbo 16777216\n",
                    16 * kMiB);
    Rig rig(card.image);
    ASSERT_TRUE(rig.open);
    ProbeOptions o = smallCache();
    o.cacheBytes = 256 << 10;
    o.cacheLimitBytes = 4 * kMiB;
    ProbeUndo fooled;
    const ProbeResult wrong = probeCapacity(rig.driver, o, fooled);
    EXPECT_NE(wrong.verdict, ProbeVerdict::Counterfeit);
    EXPECT_LE(wrong.cacheRuledOutBytes, 4 * kMiB);
    o.cacheLimitBytes = 16 * kMiB;
    ProbeUndo undo;
    const ProbeResult r = probeCapacity(rig.driver, o, undo);
    EXPECT_EQ(r.verdict, ProbeVerdict::Counterfeit);
    EXPECT_LE(r.usableSectors, 16 * kMiB / 512);
    EXPECT_GE(r.usableSectors, 16 * kMiB / 512 * 99 / 100);
}

TEST(ProbeDestructive, SavesNothingAndFindsTheSame) {
    test::ScratchDir dir("capacity_probe");
    const Card card(dir.path, 64 * kMiB, "counterfeit = wraparound 8388608\n", 0);
    Rig rig(card.image);
    ASSERT_TRUE(rig.open);
    ProbeOptions o = smallCache();
    o.destructive = true;
    ProbeUndo undo;
    const ProbeResult r = probeCapacity(rig.driver, o, undo);
    EXPECT_EQ(r.verdict, ProbeVerdict::Counterfeit);
    EXPECT_EQ(r.kind, ProbeKind::Wraparound);
    EXPECT_FALSE(r.restored);
    EXPECT_TRUE(undo.empty());
    EXPECT_GT(r.usableSectors, 8388608u / 512 * 99 / 100);
    EXPECT_LE(r.usableSectors, 8388608u / 512);
}

struct StopCase {
    const char* name;
    const char* sidecar;
    unsigned stopAfter; // transfers before the stop
};
void PrintTo(const StopCase& c, std::ostream* os) { *os << c.name; }
class ProbeStopped : public testing::TestWithParam<StopCase> {};

TEST_P(ProbeStopped, PutsBackWhatItWroteOver) {
    const StopCase& c = GetParam();
    test::ScratchDir dir("capacity_probe");
    const Card card(dir.path, 64 * kMiB, c.sidecar, 8 * kMiB);
    const std::vector<uint8_t> before = contents(card.image);
    Rig rig(card.image);
    ASSERT_TRUE(rig.open);
    ProbeOptions o = smallCache();
    unsigned transfers = 0;
    o.stopRequested = [&] { return ++transfers > c.stopAfter; };
    ProbeUndo undo;
    const ProbeResult r = probeCapacity(rig.driver, o, undo);
    EXPECT_EQ(r.verdict, ProbeVerdict::NotProbed);
    EXPECT_TRUE(r.stopped);
    EXPECT_TRUE(r.restored);
    EXPECT_TRUE(contents(card.image) == before);
}

INSTANTIATE_TEST_SUITE_P(
    Stops, ProbeStopped,
    testing::Values(StopCase{"WhileSaving", "counterfeit = wraparound 8388608\n", 3},
                    StopCase{"AfterTheFirstRoundsWrites", "counterfeit = wraparound 8388608\n",
                             120},
                    StopCase{"InALaterRound", "counterfeit = wraparound 8388608\n", 200},
                    StopCase{"LimboInALaterRound", "counterfeit = limbo 8388608\n", 200}));

TEST(ProbePulled, KeepsWhatItCouldNotPutBackInAStoreThatPutsItBackLater) {
    test::ScratchDir dir("capacity_probe");
    const std::string counterfeit = "counterfeit = wraparound 8388608\n";
    const Card card(dir.path, 64 * kMiB, counterfeit + "vanish_after_writes = 60\n", 8 * kMiB);
    const std::vector<uint8_t> before = contents(card.image);
    MemoryUndoStore store;
    ProbeResult r;
    {
        Rig rig(card.image);
        ASSERT_TRUE(rig.open);
        ProbeUndo undo(store);
        r = probeCapacity(rig.driver, smallCache(), undo);
        EXPECT_EQ(r.verdict, ProbeVerdict::NotProbed);
        EXPECT_EQ(r.driverResult, SDHOST_ERR_NO_CARD);
        EXPECT_FALSE(r.restored);
        ASSERT_FALSE(undo.empty());
    }
    EXPECT_FALSE(contents(card.image) == before); // the probe's writes are on it
    // What a store holds was flushed before the card was written: it is all a later run needs.
    const std::vector<uint8_t> kept = store.bytes();
    // Another card of the same size holds neither what was saved nor the probe's tags.
    {
        fs::create_directory(dir.path / "other");
        const Card other(dir.path / "other", 64 * kMiB, counterfeit, 0);
        Rig rig(other.image);
        ASSERT_TRUE(rig.open);
        ProbeUndo undo(store);
        std::string error;
        ASSERT_TRUE(undo.load(error)) << error;
        EXPECT_NE(undo.otherCard(rig.driver, undo.card()), "");
        UndoCard larger = undo.card();
        larger.announced += 8;
        EXPECT_NE(undo.otherCard(rig.driver, larger).find("announces"), std::string::npos);
    }
    card.setSidecar(counterfeit); // back in the reader
    Rig rig(card.image);
    ASSERT_TRUE(rig.open);
    ProbeUndo undo(store);
    std::string error;
    ASSERT_TRUE(undo.load(error)) << error;
    EXPECT_EQ(undo.card().announced, 64 * kMiB / 512);
    EXPECT_EQ(undo.card().nonce, smallCache().nonce);
    EXPECT_EQ(undo.otherCard(rig.driver, undo.card()), ""); // the same card, half probed
    EXPECT_EQ(undo.restore(rig.driver, 0), 0u);
    EXPECT_TRUE(undo.empty());
    EXPECT_TRUE(contents(card.image) == before);
    EXPECT_TRUE(store.bytes() == kept); // a restore leaves the store as it was
}

TEST(ProbeUndoStore, WhatWasSealedIsReadBackAndWhatCameAfterIsLeftOut) {
    MemoryUndoStore store;
    std::vector<uint8_t> data(3 * 512, 0x5A);
    {
        ProbeUndo undo(store);
        ASSERT_TRUE(undo.begin({1000, true, {1, 2, 3}, 42}));
        ASSERT_TRUE(undo.save(1, 100, 2, data.data(), true));
        ASSERT_TRUE(undo.save(1, 7, 1, data.data(), false));
        ASSERT_TRUE(undo.seal());
        // A batch saved but never sealed was never written to the card.
        ASSERT_TRUE(undo.save(2, 300, 3, data.data(), false));
    }
    const std::vector<uint8_t> whole = store.bytes();
    ProbeUndo back(store);
    std::string error;
    ASSERT_TRUE(back.load(error)) << error;
    EXPECT_EQ(back.sectors(), 3u);
    EXPECT_EQ(back.card().announced, 1000u);
    EXPECT_EQ(back.card().nonce, 42u);
    // Damage where it was sealed is refused; past the sealed end it does not matter.
    const size_t sealedData = 64 + 32 + 2 * 512 - 3;
    struct Damage {
        const char* name;
        size_t at;
        bool refused;
    };
    for (const Damage& d : {Damage{"magic", 2, true}, Damage{"announced", 9, true},
                            Damage{"a sector", sealedData, true}, Damage{"fields", 64 + 9, true},
                            Damage{"unsealed", whole.size() - 5, false}}) {
        store.bytes() = whole;
        store.bytes()[d.at] ^= 1;
        ProbeUndo none(store);
        error.clear();
        EXPECT_EQ(!none.load(error), d.refused) << d.name;
        EXPECT_EQ(error.empty(), !d.refused) << d.name;
    }
    // Cut within what was sealed.
    store.bytes().assign(whole.begin(), whole.begin() + 64 + 40);
    ProbeUndo cut(store);
    EXPECT_FALSE(cut.load(error));
    store.bytes() = {'x'};
    ProbeUndo junk(store);
    EXPECT_FALSE(junk.load(error));
}

TEST(ProbeUndoStore, ARestoreGoesOnPastAFailingSectorAndKeepsOnlyThatOne) {
    // The card takes the probe's writes, then one sector of what is put back fails: the rest
    // goes back all the same and only that sector stays to be put back.
    test::ScratchDir dir("capacity_probe");
    const Card card(dir.path, 32 * kMiB, "", 4 * kMiB);
    const std::vector<uint8_t> before = contents(card.image);
    ProbeUndo undo;
    {
        Rig rig(card.image);
        ASSERT_TRUE(rig.open);
        std::vector<uint8_t> sectors(256 * 512), junk(256 * 512, 0xEE);
        ASSERT_TRUE(undo.begin({32 * kMiB / 512, false, {}, 7}));
        for (const uint32_t first : {0u, 1000u, 5000u}) {
            ASSERT_EQ(rig.driver.api.DDReadPT(sectors.data(), 256, first, rig.driver.driverHandle), 0u);
            ASSERT_TRUE(undo.save(1, first, 256, sectors.data(), true));
        }
        ASSERT_TRUE(undo.seal());
        for (const uint32_t first : {0u, 1000u, 5000u}) {
            ASSERT_EQ(rig.driver.api.DDWritePT(junk.data(), 256, first, rig.driver.driverHandle), 0u);
            undo.wrote(first, 256);
        }
    }
    card.setSidecar("unwritable_sectors = 1100 1\n");
    {
        Rig rig(card.image);
        ASSERT_TRUE(rig.open);
        EXPECT_EQ(undo.restore(rig.driver, 0), SDHOST_ERR_IO);
        EXPECT_EQ(undo.sectors(), 1u);
    }
    std::vector<uint8_t> after = contents(card.image);
    const size_t bad = 1100 * 512;
    EXPECT_TRUE(std::equal(after.begin(), after.begin() + bad, before.begin()));
    EXPECT_TRUE(std::equal(after.begin() + bad + 512, after.end(), before.begin() + bad + 512));
    card.setSidecar("");
    Rig rig(card.image);
    ASSERT_TRUE(rig.open);
    EXPECT_EQ(undo.restore(rig.driver, 0), 0u);
    EXPECT_TRUE(contents(card.image) == before);
}

TEST(ProbeBadSectors, FailingSectorsNeverGiveAGenuineVerdictAndTheContentStays) {
    // Sectors that fail below sectors that keep their data are bad sectors, no verdict; a card
    // whose writes fail from some point to its end keeps nothing past that point. The same
    // through a driver that queues writes, where a refusal is told late and stops the driver.
    struct BadCase {
        const char* name;
        const char* sidecar;
        ProbeVerdict verdict;
        const char* cause = "sector"; // in the cause, where the card is not probed
    };
    for (const bool queued : {false, true})
    for (const BadCase& c :
         {BadCase{"UnwritableInTheFiller", "unwritable_sectors = 1000 1\n", ProbeVerdict::NotProbed},
          BadCase{"UnreadableInTheFiller", "bad_sectors = 3000 8\n", ProbeVerdict::NotProbed},
          BadCase{"UnreadableAmongThePoints", "bad_sectors = 60000 600\n",
                  ProbeVerdict::NotProbed},
          BadCase{"UnwritableToTheEnd", "unwritable_sectors = 40000 100000\n",
                  ProbeVerdict::Counterfeit},
          // Nothing written, nothing lost: no size to tell, and nothing to put back.
          BadCase{"UnwritableEverywhere", "unwritable_sectors = 0 131072\n",
                  ProbeVerdict::NotProbed, "refused"}}) {
        SCOPED_TRACE(std::string(c.name) + (queued ? " through queued writes" : ""));
        test::ScratchDir dir("capacity_probe");
        const Card card(dir.path, 64 * kMiB, std::string("cache = 1048576\n") + c.sidecar,
                        16 * kMiB);
        const std::vector<uint8_t> before = contents(card.image);
        Rig rig(card.image);
        ASSERT_TRUE(rig.open);
        ProbeOptions options = smallCache();
        if (queued) {
            QueuedWrites::install(rig.driver);
            options.reopen = [&] { return reopenZ(rig.driver); };
        }
        ProbeUndo undo;
        const ProbeResult r = probeCapacity(rig.driver, options, undo);
        EXPECT_EQ(r.verdict, c.verdict) << r.cause;
        if (r.verdict == ProbeVerdict::Counterfeit) {
            EXPECT_LE(r.usableSectors, 40000u);
            EXPECT_GE(r.usableSectors, 40000u * 99 / 100);
        } else {
            EXPECT_NE(r.cause.find(c.cause), std::string::npos) << r.cause;
        }
        EXPECT_TRUE(r.restored);
        EXPECT_TRUE(contents(card.image) == before) << "the card's content changed";
    }
}

TEST(ProbeRefused, AWriteProtectedCardIsNotProbedAndNotWritten) {
    test::ScratchDir dir("capacity_probe");
    const Card card(dir.path, 32 * kMiB, "write_protect_switch = 1\n", 1 * kMiB);
    const std::vector<uint8_t> before = contents(card.image);
    Rig rig(card.image);
    ASSERT_TRUE(rig.open);
    ProbeUndo undo;
    const ProbeResult r = probeCapacity(rig.driver, smallCache(), undo);
    EXPECT_EQ(r.verdict, ProbeVerdict::NotProbed);
    EXPECT_NE(r.cause.find("read-only"), std::string::npos) << r.cause;
    EXPECT_TRUE(contents(card.image) == before);
}

} // namespace
} // namespace brc

namespace brc {
namespace {

TEST(UsablePart, EveryLibraryBoundIdentifiesTheCardNoLarger) {
    test::ScratchDir dir("capacity_probe");
    const Card card(dir.path, 64 * kMiB, "counterfeit = limbo 16777216\n", 0);
    setEnvironmentVariable("BRINDLECARD_CARDS", "Z=" + fs::absolute(card.image).string());
    for (const uint32_t cap : {0u, 30000u, 1u << 30}) {
        DriverBinding driver{test::systemOs()};
        driver.directory = fs::path(BRC_QUILLHOST_PATH).parent_path().string();
        driver.usableSectors = cap;
        const uint64_t expected = cap == 0 || cap > 131072 ? 131072 : cap;
        ASSERT_EQ(bindDriver(driver, 2), BindResult::Bound) << driver.lastError;
        for (int route = 0; route < 2; ++route) {
            ASSERT_EQ(openCard(driver, kDriveZ), 0u);
            uint32_t rc = 0;
            EXPECT_EQ(announcedSectors(driver, rc), expected)
                << "cap " << cap << " route " << driver.driverRoute;
            driver.api.DDFini(driver.driverHandle);
            ASSERT_NE(switchDriverRoute(driver), 0u); // the other library, bound afresh
        }
    }
    unsetEnvironmentVariable("BRINDLECARD_CARDS");
}

} // namespace
} // namespace brc
