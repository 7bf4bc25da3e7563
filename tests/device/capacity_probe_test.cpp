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

ProbeOptions smallCache() {
    ProbeOptions o;
    o.nonce = 0x1234567890ABCDEFu;
    o.cacheBytes = 2 * kMiB; // more than any card's cache below
    return o;
}

struct Case {
    const char* name;
    const char* kind; // "" genuine, "wraparound", "limbo"
    uint64_t announced, real, cache;
};
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class Probe : public testing::TestWithParam<Case> {};

TEST_P(Probe, FindsTheRealPartAndLeavesTheCardAsItWas) {
    const Case& c = GetParam();
    test::ScratchDir dir("capacity_probe");
    std::string sidecar = "cache = " + std::to_string(c.cache) + "\n";
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
        // Where it wrapped: a sector past the real part showing one a whole number of real
        // parts away.
        EXPECT_GE(r.wrapSector, c.real / 512);
        EXPECT_EQ((r.wrapSector - r.wrapShows) % (c.real / 512), 0u) << r.wrapSector << " " << r.wrapShows;
    }
    // Never more than is real, and within 1 % below it.
    EXPECT_LE(r.usableSectors, c.real / 512);
    EXPECT_GE(r.usableSectors, c.real / 512 * 99 / 100);
    // The filler is the costly part: a real part longer than it is found under one filler.
    // The filler is the costly part. A card that neither caches nor wraps needs none; a real
    // part longer than the filler is found under one, and so is a wraparound card's shorter one,
    // whose period the first round, without the filler, showed.
    if (kind == ProbeKind::Limbo && c.cache == 0) {
        EXPECT_EQ(r.fillers, 0u);
    } else if (c.real > smallCache().cacheBytes || kind == ProbeKind::Wraparound) {
        EXPECT_EQ(r.fillers, 1u);
    }
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
                    Case{"WraparoundOneSectorShort", "wraparound", 64 * kMiB, 64 * kMiB - 512, 0}));

TEST(ProbeCache, AFillerShorterThanTheCardsCacheIsFooled) {
    // The cache is why the filler is there: one smaller than the card's cache reads the blocks
    // back from the cache and finds nothing wrong.
    test::ScratchDir dir("capacity_probe");
    const Card card(dir.path, 64 * kMiB, "cache = 8388608\ncounterfeit = limbo 16777216\n",
                    16 * kMiB);
    Rig rig(card.image);
    ASSERT_TRUE(rig.open);
    ProbeOptions o = smallCache();
    o.cacheBytes = 256 << 10;
    ProbeUndo undo;
    EXPECT_EQ(probeCapacity(rig.driver, o, undo).verdict, ProbeVerdict::Genuine);
    o.cacheBytes = 16 * kMiB;
    const ProbeResult r = probeCapacity(rig.driver, o, undo);
    EXPECT_EQ(r.verdict, ProbeVerdict::Counterfeit);
    EXPECT_LE(r.usableSectors, 16 * kMiB / 512);
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

TEST(ProbePulled, KeepsWhatItCouldNotPutBackInAFileThatPutsItBackLater) {
    test::ScratchDir dir("capacity_probe");
    const std::string counterfeit = "counterfeit = wraparound 8388608\n";
    const Card card(dir.path, 64 * kMiB, counterfeit + "vanish_after_writes = 60\n", 8 * kMiB);
    const std::vector<uint8_t> before = contents(card.image);
    const std::string saved = (dir.path / "card.undo").string();
    ProbeResult r;
    {
        Rig rig(card.image);
        ASSERT_TRUE(rig.open);
        ProbeUndo undo;
        r = probeCapacity(rig.driver, smallCache(), undo);
        EXPECT_EQ(r.verdict, ProbeVerdict::NotProbed);
        EXPECT_EQ(r.driverResult, SDHOST_ERR_NO_CARD);
        EXPECT_FALSE(r.restored);
        ASSERT_FALSE(undo.empty());
        std::string error;
        ASSERT_TRUE(undo.writeFile(saved, r.announcedSectors, error)) << error;
    }
    EXPECT_FALSE(contents(card.image) == before); // the probe's writes are on it
    card.setSidecar(counterfeit);                 // back in the reader
    Rig rig(card.image);
    ASSERT_TRUE(rig.open);
    ProbeUndo undo;
    uint64_t announced = 0;
    std::string error;
    ASSERT_TRUE(undo.readFile(saved, announced, error)) << error;
    EXPECT_EQ(announced, 64 * kMiB / 512);
    EXPECT_EQ(undo.restore(rig.driver, 0), 0u);
    EXPECT_TRUE(undo.empty());
    EXPECT_TRUE(contents(card.image) == before);
}

TEST(ProbeUndoFile, ADamagedOrCutFileIsRefused) {
    test::ScratchDir dir("capacity_probe");
    ProbeUndo undo;
    std::vector<uint8_t> data(2 * 512, 0x5A);
    undo.save(1, 100, 2, data.data());
    undo.save(2, 7, 1, data.data());
    const std::string path = (dir.path / "u").string();
    std::string error;
    ASSERT_TRUE(undo.writeFile(path, 1000, error));
    const std::vector<uint8_t> whole = contents(path);
    const auto rewrite = [&](std::vector<uint8_t> bytes) {
        std::ofstream(path, std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
    };
    ProbeUndo back;
    uint64_t announced = 0;
    ASSERT_TRUE(back.readFile(path, announced, error)) << error;
    EXPECT_EQ(back.sectors(), 3u);
    std::vector<uint8_t> flipped = whole;
    flipped[whole.size() - 3] ^= 1;
    std::vector<uint8_t> cut(whole.begin(), whole.end() - 100);
    std::vector<uint8_t> pastEnd = whole;
    pastEnd[8] = 50; // announced 50 sectors: the stretch at 100 lies past it
    pastEnd[9] = 0;
    for (const auto& bad : {flipped, cut, pastEnd, std::vector<uint8_t>{'x'}}) {
        rewrite(bad);
        ProbeUndo none;
        error.clear();
        EXPECT_FALSE(none.readFile(path, announced, error));
        EXPECT_FALSE(error.empty());
        EXPECT_TRUE(none.empty());
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
