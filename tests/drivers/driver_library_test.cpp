// The built driver libraries, loaded with dlopen as the host loads them, serving virtual cards
// made under a per-test temporary directory.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "device/driver_context.h"
#include "device/sdhost_abi.h"

namespace {

struct Flavour {
    const char* name;
    const char* path;
    int route;
    uint32_t writeProtectCode;
};

void PrintTo(const Flavour& flavour, std::ostream* os) { *os << flavour.name; }

const Flavour kQuillhost{"quillhost", BRC_QUILLHOST_PATH, 1, SDHOST_ERR_WRITE_PROTECT_R1};
const Flavour kQhost32{"qhost32", BRC_QHOST32_PATH, 2, SDHOST_ERR_WRITE_PROTECT_R2};
const Flavour kQhost32Retry{"qhost32retry", BRC_QHOST32RETRY_PATH, 2, SDHOST_ERR_WRITE_PROTECT_R2};

const std::vector<std::string> kRoute1Names = {
    "DDSysInit", "DDSysFini",  "DDInit",      "DDFini",  "DDIdentify", "DDSecureIdentify",
    "DDReadPT",  "DDWritePT", "DDGetMID",     "DDChkSDCard", "DDErase"};
const std::vector<std::string> kRoute2Names = {
    "SD_W2k_DDSysInit",   "SD_W2k_DDSysFini",        "SD_W2k_DDInit",
    "SD_W2k_DDFini",      "SD_W2k_DDIdentify",       "SD_W2k_DDSecureIdentify",
    "SD_W2k_DDReadPT",    "SD_W2k_DDWritePT",        "SD_W2k_DDChkSDCard",
    "DDErase",            "SD_W2k_DrvLock",          "SD_W2k_DrvLock2",
    "SD_W2k_DrvUnlock"};

// One loaded library's operations, looked up under its route's names.
struct Library {
    void* module = nullptr;
    DDSysInit_t sysInit = nullptr;
    DDSysFini_t sysFini = nullptr;
    DDInit_t init = nullptr;
    DDFini_t fini = nullptr;
    DDIdentify_t identify = nullptr;
    DDSecureIdentify_t secureIdentify = nullptr;
    DDReadPT_t read = nullptr;
    DDWritePT_t write = nullptr;
    DDGetMID_t getMid = nullptr; // route 1
    DDChkSDCard_t chkSdCard = nullptr;
    DDErase_t erase = nullptr;
    DrvLock_t lock = nullptr; // route 2
    DrvLock_t lock2 = nullptr;
    DrvLock_t unlock = nullptr;
    BrcDriverContext_t handContext = nullptr;
};

template <class F> void lookUp(void* module, F& fn, const std::string& name) {
    fn = reinterpret_cast<F>(dlsym(module, name.c_str()));
}

// Loads a flavour once for the whole run.
const Library& load(const Flavour& flavour) {
    static std::map<std::string, Library> loaded;
    auto [it, added] = loaded.try_emplace(flavour.name);
    Library& lib = it->second;
    if (!added) return lib;
    lib.module = dlopen(flavour.path, RTLD_NOW | RTLD_LOCAL);
    if (!lib.module) return lib;
    std::string p = flavour.route == 2 ? "SD_W2k_" : "";
    lookUp(lib.module, lib.sysInit, p + "DDSysInit");
    lookUp(lib.module, lib.sysFini, p + "DDSysFini");
    lookUp(lib.module, lib.init, p + "DDInit");
    lookUp(lib.module, lib.fini, p + "DDFini");
    lookUp(lib.module, lib.identify, p + "DDIdentify");
    lookUp(lib.module, lib.secureIdentify, p + "DDSecureIdentify");
    lookUp(lib.module, lib.read, p + "DDReadPT");
    lookUp(lib.module, lib.write, p + "DDWritePT");
    lookUp(lib.module, lib.chkSdCard, p + "DDChkSDCard");
    lookUp(lib.module, lib.erase, "DDErase");
    lookUp(lib.module, lib.handContext, BRC_DRIVER_CONTEXT_EXPORT);
    if (flavour.route == 1) {
        lookUp(lib.module, lib.getMid, "DDGetMID");
    } else {
        lookUp(lib.module, lib.lock, "SD_W2k_DrvLock");
        lookUp(lib.module, lib.lock2, "SD_W2k_DrvLock2");
        lookUp(lib.module, lib.unlock, "SD_W2k_DrvUnlock");
    }
    return lib;
}

// Byte at `offset` of a patterned image: differs from sector to sector and within one.
uint8_t patternByte(uint64_t offset) {
    return static_cast<uint8_t>((offset >> 9) * 31 + (offset & 511) * 7 + 1);
}

std::vector<uint8_t> fileBytes(const std::string& path, uint64_t offset, size_t length) {
    std::vector<uint8_t> bytes(length);
    int fd = ::open(path.c_str(), O_RDONLY);
    EXPECT_GE(fd, 0) << path;
    EXPECT_EQ(::pread(fd, bytes.data(), length, static_cast<off_t>(offset)),
              static_cast<ssize_t>(length));
    ::close(fd);
    return bytes;
}

// All an image's bytes, its size and modification time: what a refused request must not change.
struct Snapshot {
    std::vector<uint8_t> bytes;
    off_t size;
    struct timespec mtime;

    explicit Snapshot(const std::string& path) {
        struct stat st;
        EXPECT_EQ(::stat(path.c_str(), &st), 0);
        size = st.st_size;
        mtime = st.st_mtim;
        if (size <= (off_t{64} << 20)) bytes = fileBytes(path, 0, static_cast<size_t>(size));
    }
    bool operator==(const Snapshot& o) const {
        return bytes == o.bytes && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
               mtime.tv_nsec == o.mtime.tv_nsec;
    }
};

uint32_t drive(char letter) { return static_cast<uint32_t>(letter - 'A' + 1); }

class DriverLibrary : public testing::TestWithParam<Flavour> {
protected:
    void SetUp() override {
        lib = &load(GetParam());
        ASSERT_NE(lib->module, nullptr) << GetParam().path << ": " << dlerror();
        std::string pattern = testing::TempDir() + "brc-drivers-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir = pattern;
        ::unsetenv("BRINDLECARD_CARDS");
        // Each test is a front end of its own: what one is told or vetted is not the next's.
        context.version = BRC_DRIVER_CONTEXT_VERSION;
        context.size = sizeof context;
        ASSERT_NE(lib->handContext, nullptr);
        ASSERT_EQ(lib->handContext(&context), SDHOST_OK);
        ASSERT_EQ(lib->sysInit(), SDHOST_OK);
    }
    void TearDown() override {
        if (!lib->module) return;
        lib->sysFini(); // closes what a test left open
        lib->handContext(nullptr);
        ::unsetenv("BRINDLECARD_CARDS");
        std::filesystem::remove_all(dir);
    }

    // Makes an image of `sectors` sectors, every byte patterned, or sparse (all holes). Its
    // modification time is set in the past, so that any write shows.
    std::string image(const std::string& name, uint64_t sectors, bool patterned = true) {
        std::string path = dir + "/" + name;
        int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(::ftruncate(fd, static_cast<off_t>(sectors * 512)), 0);
        if (patterned) {
            std::vector<uint8_t> chunk(1 << 16);
            for (uint64_t at = 0; at < sectors * 512; at += chunk.size()) {
                size_t n = std::min<uint64_t>(chunk.size(), sectors * 512 - at);
                for (size_t i = 0; i < n; ++i) chunk[i] = patternByte(at + i);
                EXPECT_EQ(::pwrite(fd, chunk.data(), n, static_cast<off_t>(at)),
                          static_cast<ssize_t>(n));
            }
        }
        const struct timespec past[2] = {{978307200, 0}, {978307200, 0}}; // 2001-01-01
        EXPECT_EQ(::futimens(fd, past), 0);
        ::close(fd);
        return path;
    }
    void sidecar(const std::string& image, const std::string& text) {
        std::ofstream(image + ".card") << text;
    }
    void map(const std::string& text) { ::setenv("BRINDLECARD_CARDS", text.c_str(), 1); }

    // Maps E: to the image and opens it; 0 on failure (after a test failure).
    uint32_t open(const std::string& path) {
        map("E=" + path);
        uint32_t handle = 0;
        EXPECT_EQ(lib->init(&handle, drive('E')), SDHOST_OK);
        return handle;
    }

    uint32_t identify(uint32_t handle, uint32_t& user, uint32_t& total, uint8_t& type) {
        uint32_t cylinders, heads, spt, prot, eraseBlock, reserved;
        uint16_t bps;
        uint8_t bus;
        return lib->identify(&user, &cylinders, &total, &heads, &bps, &spt, &type, &prot, &bus,
                             &eraseBlock, &reserved, handle);
    }

    // Runs `call` and returns what it printed on stderr.
    template <class F> std::string stderrOf(F call) {
        testing::internal::CaptureStderr();
        call();
        return testing::internal::GetCapturedStderr();
    }

    const Library* lib = nullptr;
    std::string dir;
    BrcDriverContext context{};
};

std::string flavourName(const testing::TestParamInfo<Flavour>& info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(AllFlavours, DriverLibrary,
                         testing::Values(kQuillhost, kQhost32, kQhost32Retry), flavourName);

class Route1Library : public DriverLibrary {};
INSTANTIATE_TEST_SUITE_P(Route1, Route1Library, testing::Values(kQuillhost), flavourName);

class Route2Library : public DriverLibrary {};
INSTANTIATE_TEST_SUITE_P(Route2, Route2Library, testing::Values(kQhost32, kQhost32Retry),
                         flavourName);

// ---- the card the command vetted -----------------------------------------------------------------

// The library serves the file the command checked and nothing else: another file now at the
// path, a device, or a device nobody checked is refused before a byte is read or written.
TEST_P(DriverLibrary, ServesOnlyTheVettedObject) {
    const std::string path = image("card.img", 2048);
    const std::string other = image("other.img", 2048);
    struct stat st {}, otherSt {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    ASSERT_EQ(::stat(other.c_str(), &otherSt), 0);
    char text[96];
    const auto vet = [&](const char* kind, const struct stat& s, unsigned long long rdev) {
        const auto dev = static_cast<unsigned long long>(s.st_dev);
        const auto ino = static_cast<unsigned long long>(s.st_ino);
        if (rdev) std::snprintf(text, sizeof text, "E=%s:%llx:%llx:%llx", kind, dev, ino, rdev);
        else std::snprintf(text, sizeof text, "E=%s:%llx:%llx", kind, dev, ino);
        context.vetted = text;
    };
    struct Row {
        const char* what;
        const char* kind;
        const struct stat* object;
        unsigned long long rdev;
        uint32_t expected;
    } rows[] = {
        {"the vetted file", "f", &st, 0, SDHOST_OK},
        {"another file vetted", "f", &otherSt, 0, SDHOST_ERR_CONFIG},
        {"a device vetted", "b", &st, 0x0701, SDHOST_ERR_CONFIG},
    };
    map("E=" + path);
    for (const Row& row : rows) {
        vet(row.kind, *row.object, row.rdev);
        uint32_t handle = 0;
        std::string said = stderrOf([&] { EXPECT_EQ(lib->init(&handle, drive('E')), row.expected) << row.what; });
        if (handle) {
            EXPECT_EQ(lib->fini(handle), SDHOST_OK);
        }
        if (row.expected != SDHOST_OK) {
            EXPECT_NE(said.find("that was checked"), std::string::npos) << said;
        }
        uint32_t flags = 0;
        EXPECT_EQ(lib->chkSdCard(drive('E'), &flags), row.expected) << row.what;
    }
    // A block device the command never looked at is not opened.
    context.vetted = nullptr;
    if (::access("/dev/loop0", F_OK) == 0) {
        map("E=/dev/loop0");
        uint32_t handle = 0;
        std::string said = stderrOf([&] { EXPECT_EQ(lib->init(&handle, drive('E')), SDHOST_ERR_CONFIG); });
        EXPECT_NE(said.find("not checked as a card"), std::string::npos) << said;
    }
}

// ---- exports ------------------------------------------------------------------------------------

TEST_P(DriverLibrary, ExportsItsRouteNamesOnly) {
    const auto& mine = GetParam().route == 1 ? kRoute1Names : kRoute2Names;
    const auto& other = GetParam().route == 1 ? kRoute2Names : kRoute1Names;
    for (const auto& name : mine) EXPECT_NE(dlsym(lib->module, name.c_str()), nullptr) << name;
    for (const auto& name : other) {
        if (name != "DDErase") {
            EXPECT_EQ(dlsym(lib->module, name.c_str()), nullptr) << name;
        }
    }
}

TEST_P(Route2Library, HasNoGetMidAndNoPrefixedErase) {
    EXPECT_EQ(dlsym(lib->module, "DDGetMID"), nullptr);
    EXPECT_EQ(dlsym(lib->module, "SD_W2k_DDGetMID"), nullptr);
    EXPECT_EQ(dlsym(lib->module, "SD_W2k_DDErase"), nullptr);
}

TEST_P(Route2Library, DriveLocksValidateTheDrive) {
    for (DrvLock_t fn : {lib->lock, lib->lock2, lib->unlock}) {
        EXPECT_EQ(fn(drive('E')), SDHOST_OK);
        EXPECT_EQ(fn(drive('Z')), SDHOST_OK);
        EXPECT_EQ(fn(0), SDHOST_ERR_PARAM);
        EXPECT_EQ(fn(27), SDHOST_ERR_PARAM);
    }
}

// ---- life cycle, handles, drive numbers ---------------------------------------------------------

TEST_P(DriverLibrary, NothingWorksBeforeSysInitOrAfterSysFini) {
    std::string img = image("c.img", 64);
    uint32_t handle = open(img);
    ASSERT_EQ(lib->sysFini(), SDHOST_OK);
    std::vector<uint8_t> buf(512);
    uint32_t h = 0, flags = 0, prot = 0;
    EXPECT_EQ(lib->init(&h, drive('E')), SDHOST_ERR_NOT_READY);
    EXPECT_EQ(lib->read(buf.data(), 1, 0, handle), SDHOST_ERR_NOT_READY);
    EXPECT_EQ(lib->write(buf.data(), 1, 0, handle), SDHOST_ERR_NOT_READY);
    EXPECT_EQ(lib->secureIdentify(&prot, handle), SDHOST_ERR_NOT_READY);
    EXPECT_EQ(lib->chkSdCard(drive('E'), &flags), SDHOST_ERR_NOT_READY);
    EXPECT_EQ(lib->erase(0, 0, handle), SDHOST_ERR_NOT_READY);
    EXPECT_EQ(lib->fini(handle), SDHOST_ERR_NOT_READY);
    EXPECT_EQ(lib->sysFini(), SDHOST_ERR_NOT_READY);
    ASSERT_EQ(lib->sysInit(), SDHOST_OK);
    EXPECT_EQ(lib->fini(handle), SDHOST_ERR_HANDLE); // SysFini closed it
}

TEST_P(DriverLibrary, APrivateInstanceFinishingLeavesTheBoundOneWorking) {
    // A second start (a private instance of the same module) and its finish must not close the
    // card the first user still holds.
    std::string img = image("c.img", 64);
    uint32_t handle = open(img);
    ASSERT_EQ(lib->sysInit(), SDHOST_OK);
    ASSERT_EQ(lib->sysFini(), SDHOST_OK);
    std::vector<uint8_t> buf(512);
    EXPECT_EQ(lib->read(buf.data(), 1, 0, handle), SDHOST_OK);
    ASSERT_EQ(lib->sysFini(), SDHOST_OK);
    EXPECT_EQ(lib->read(buf.data(), 1, 0, handle), SDHOST_ERR_NOT_READY);
    ASSERT_EQ(lib->sysInit(), SDHOST_OK);
}

TEST_P(DriverLibrary, UnknownHandlesAndNullPointersAreRefused) {
    std::string img = image("c.img", 64);
    uint32_t handle = open(img);
    std::vector<uint8_t> buf(512);
    for (uint32_t bad : {0u, 17u, 1000u, handle + 1}) {
        EXPECT_EQ(lib->read(buf.data(), 1, 0, bad), SDHOST_ERR_HANDLE) << bad;
        EXPECT_EQ(lib->fini(bad), SDHOST_ERR_HANDLE) << bad;
    }
    uint32_t u, t;
    uint8_t type;
    EXPECT_EQ(identify(handle, u, t, type), SDHOST_OK);
    EXPECT_EQ(lib->init(nullptr, drive('E')), SDHOST_ERR_PARAM);
    EXPECT_EQ(lib->read(nullptr, 1, 0, handle), SDHOST_ERR_PARAM);
    EXPECT_EQ(lib->write(nullptr, 1, 0, handle), SDHOST_ERR_PARAM);
    EXPECT_EQ(lib->secureIdentify(nullptr, handle), SDHOST_ERR_PARAM);
    EXPECT_EQ(lib->chkSdCard(drive('E'), nullptr), SDHOST_ERR_PARAM);
    uint32_t x;
    uint16_t bps;
    uint8_t b;
    EXPECT_EQ(lib->identify(&x, &x, &x, &x, &bps, &x, &b, &x, &b, &x, nullptr, handle),
              SDHOST_ERR_PARAM);
    EXPECT_EQ(lib->fini(handle), SDHOST_OK);
    EXPECT_EQ(lib->fini(handle), SDHOST_ERR_HANDLE);
}

TEST_P(DriverLibrary, SixteenCardsMayBeOpenAtOnce) {
    std::string img = image("c.img", 64);
    map("E=" + img);
    std::vector<uint32_t> handles;
    for (int i = 0; i < 16; ++i) {
        uint32_t h = 0;
        ASSERT_EQ(lib->init(&h, drive('E')), SDHOST_OK);
        EXPECT_GE(h, 1u);
        EXPECT_LE(h, 16u);
        handles.push_back(h);
    }
    std::sort(handles.begin(), handles.end());
    EXPECT_EQ(std::unique(handles.begin(), handles.end()), handles.end());
    uint32_t h = 99;
    EXPECT_EQ(lib->init(&h, drive('E')), SDHOST_ERR_TOO_MANY);
    EXPECT_EQ(h, 0u);
    EXPECT_EQ(lib->fini(handles[5]), SDHOST_OK);
    EXPECT_EQ(lib->init(&h, drive('E')), SDHOST_OK);
    EXPECT_EQ(h, handles[5]);
}

struct DriveCase {
    uint32_t drive;
    uint32_t result;
};

TEST_P(DriverLibrary, DriveNumbersAndFlags) {
    std::string img = image("c.img", 64);
    map("E=" + img + ";F=" + dir + "/missing.img");
    const DriveCase cases[] = {
        {drive('E'), SDHOST_OK},
        {drive('E') | SDHOST_INIT_PROBE, SDHOST_OK},
        {drive('E') | SDHOST_INIT_ROUTE2, SDHOST_OK},
        {drive('F'), SDHOST_ERR_NO_CARD}, // mapped, but no image
        {drive('G'), SDHOST_ERR_NO_CARD}, // not mapped
        {0, SDHOST_ERR_PARAM},
        {27, SDHOST_ERR_PARAM},
        {drive('E') | 0x20000u, SDHOST_ERR_PARAM},
    };
    for (const auto& c : cases) {
        uint32_t h = 0;
        EXPECT_EQ(lib->init(&h, c.drive), c.result) << std::hex << c.drive;
        if (h) {
            EXPECT_EQ(lib->fini(h), SDHOST_OK);
        }
    }
}

TEST_P(DriverLibrary, ReadsTheCardMapAtEachCall) {
    std::string img = image("c.img", 64);
    uint32_t h = 0, flags = 7;
    EXPECT_EQ(lib->init(&h, drive('E')), SDHOST_ERR_NO_CARD);
    EXPECT_EQ(lib->chkSdCard(drive('E'), &flags), SDHOST_ERR_NO_CARD);
    EXPECT_EQ(flags, 0u);
    map("e=" + img);
    EXPECT_EQ(lib->chkSdCard(drive('E'), &flags), SDHOST_OK);
    EXPECT_EQ(flags, SDHOST_CHK_QUALIFIES);
    EXPECT_EQ(lib->init(&h, drive('E')), SDHOST_OK);
    EXPECT_EQ(lib->fini(h), SDHOST_OK);
    map("F=" + img);
    EXPECT_EQ(lib->init(&h, drive('E')), SDHOST_ERR_NO_CARD);
}

TEST_P(DriverLibrary, AMalformedCardMapIsAConfigurationError) {
    map("E:/no/equals");
    uint32_t h = 0, flags = 0;
    std::string err = stderrOf([&] { EXPECT_EQ(lib->init(&h, drive('E')), SDHOST_ERR_CONFIG); });
    EXPECT_EQ(err.rfind(std::string(GetParam().name) + ": BRINDLECARD_CARDS", 0), 0u) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    stderrOf([&] { EXPECT_EQ(lib->chkSdCard(drive('E'), &flags), SDHOST_ERR_CONFIG); });
}

// The front end's drive map, vetted identity and last report come in its context: its map is
// served over the user's variable, a block of another version is refused (the variable then
// stands), and a problem told through one context is told again through the next.
TEST_P(DriverLibrary, TheFrontEndsSettingsComeThroughItsContext) {
    const std::string path = image("card.img", 2048);
    map("E=/no/such/card.img");
    const std::string own = "E=" + path;
    context.cardMap = own.c_str();
    uint32_t h = 0;
    ASSERT_EQ(lib->init(&h, drive('E')), SDHOST_OK) << "the context's map was not served";
    EXPECT_EQ(lib->fini(h), SDHOST_OK);

    BrcDriverContext older = context;
    older.version = 1;
    EXPECT_EQ(lib->handContext(&older), SDHOST_ERR_PARAM);
    stderrOf([&] { EXPECT_NE(lib->init(&h, drive('E')), SDHOST_OK) << "the variable's map was not read"; });

    map("E:/no/equals");
    for (int run = 0; run < 2; ++run) {
        BrcDriverContext fresh{};
        fresh.version = BRC_DRIVER_CONTEXT_VERSION;
        fresh.size = sizeof fresh;
        ASSERT_EQ(lib->handContext(&fresh), SDHOST_OK);
        const std::string said = stderrOf([&] { EXPECT_EQ(lib->init(&h, drive('E')), SDHOST_ERR_CONFIG); });
        EXPECT_NE(said.find("BRINDLECARD_CARDS entry"), std::string::npos) << "run " << run << ": " << said;
        EXPECT_EQ(std::string(fresh.lastReport).find("BRINDLECARD_CARDS entry"), 0u) << fresh.lastReport;
        stderrOf([&] { EXPECT_EQ(lib->chkSdCard(drive('E'), &h), SDHOST_ERR_CONFIG); });
    }
    lib->handContext(&context);
}

TEST_P(DriverLibrary, ImagesOfNoWholeSectorCountAreRefused) {
    std::string empty = dir + "/empty.img", odd = dir + "/odd.img";
    std::ofstream(empty).flush();
    std::ofstream(odd) << std::string(1000, 'x');
    std::string huge = image("huge.img", 0x100000000ull, false); // 2 TiB sparse: one too many
    std::filesystem::create_directory(dir + "/dir.img");
    for (const std::string& path : {empty, odd, huge, dir + "/dir.img"}) {
        map("E=" + path);
        uint32_t h = 0;
        std::string err =
            stderrOf([&] { EXPECT_EQ(lib->init(&h, drive('E')), SDHOST_ERR_CONFIG) << path; });
        EXPECT_EQ(err.rfind(std::string(GetParam().name) + ": " + path + ": ", 0), 0u) << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    }
}

// ---- reads and writes ---------------------------------------------------------------------------

TEST_P(DriverLibrary, WritesAndReadsRoundTrip) {
    std::string img = image("c.img", 300);
    uint32_t h = open(img);
    std::vector<uint8_t> data(256 * 512);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 131 + 17);

    ASSERT_EQ(lib->write(data.data(), 3, 10, h), SDHOST_OK);
    EXPECT_EQ(fileBytes(img, 10 * 512, 3 * 512),
              std::vector<uint8_t>(data.begin(), data.begin() + 3 * 512));
    std::vector<uint8_t> back(3 * 512);
    ASSERT_EQ(lib->read(back.data(), 3, 10, h), SDHOST_OK);
    EXPECT_EQ(back, fileBytes(img, 10 * 512, 3 * 512));

    // The largest transfer, ending on the last sector.
    ASSERT_EQ(lib->write(data.data(), 256, 300 - 256, h), SDHOST_OK);
    std::vector<uint8_t> all(256 * 512);
    ASSERT_EQ(lib->read(all.data(), 256, 300 - 256, h), SDHOST_OK);
    EXPECT_EQ(all, data);

    // Untouched sectors keep the pattern.
    std::vector<uint8_t> first(512);
    ASSERT_EQ(lib->read(first.data(), 1, 0, h), SDHOST_OK);
    for (size_t i = 0; i < 512; ++i) ASSERT_EQ(first[i], patternByte(i));
    EXPECT_EQ(lib->fini(h), SDHOST_OK);
}

TEST_P(DriverLibrary, HolesReadAsZeros) {
    std::string img = image("sparse.img", 4096, false);
    uint32_t h = open(img);
    std::vector<uint8_t> buf(256 * 512, 0xEE);
    ASSERT_EQ(lib->read(buf.data(), 256, 1000, h), SDHOST_OK);
    EXPECT_EQ(buf, std::vector<uint8_t>(buf.size(), 0));
}

struct Refused {
    uint32_t count, first;
    uint32_t result;
};

TEST_P(DriverLibrary, RefusedTransfersTouchNothing) {
    const uint32_t n = 1000;
    std::string img = image("c.img", n);
    Snapshot before(img);
    uint32_t h = open(img);
    const Refused cases[] = {
        {0, 0, SDHOST_ERR_PARAM},           {257, 0, SDHOST_ERR_PARAM},
        {0xFFFFFFFFu, 0, SDHOST_ERR_PARAM}, {1, n, SDHOST_ERR_RANGE},
        {2, n - 1, SDHOST_ERR_RANGE},       {256, n - 255, SDHOST_ERR_RANGE},
        {1, 0xFFFFFFFFu, SDHOST_ERR_RANGE}, {256, 0xFFFFFF80u, SDHOST_ERR_RANGE}, // would wrap
    };
    std::vector<uint8_t> buf(257 * 512, 0xC3);
    for (const auto& c : cases) {
        std::string what = std::to_string(c.count) + " at " + std::to_string(c.first);
        EXPECT_EQ(lib->write(buf.data(), c.count, c.first, h), c.result) << what;
        EXPECT_EQ(lib->read(buf.data(), c.count, c.first, h), c.result) << what;
        EXPECT_EQ(buf, std::vector<uint8_t>(buf.size(), 0xC3)) << "read wrote the buffer";
    }
    const std::pair<uint32_t, uint32_t> erases[] = {{5, 4}, {0, n}, {n, n}, {0, 0xFFFFFFFFu}};
    for (auto [first, last] : erases)
        EXPECT_EQ(lib->erase(first, last, h), SDHOST_ERR_RANGE) << first << ".." << last;
    EXPECT_EQ(lib->fini(h), SDHOST_OK);
    EXPECT_TRUE(Snapshot(img) == before);
}

// ---- identification -----------------------------------------------------------------------------

TEST_P(DriverLibrary, IdentifiesTheCard) {
    std::string img = image("c.img", 8257537, false); // just above 255-head geometry's threshold
    sidecar(img, "protected_sectors = 0x14000\n");
    uint32_t h = open(img);
    uint32_t user, cylinders, total, heads, spt, prot, eraseBlock, reserved = 9;
    uint16_t bps;
    uint8_t type, bus;
    ASSERT_EQ(lib->identify(&user, &cylinders, &total, &heads, &bps, &spt, &type, &prot, &bus,
                            &eraseBlock, &reserved, h),
              SDHOST_OK);
    EXPECT_EQ(user, 8257537u);
    EXPECT_EQ(heads, 255u);
    EXPECT_EQ(spt, 63u);
    EXPECT_EQ(cylinders, 8257537u / (255 * 63));
    EXPECT_EQ(total, 8257537u + 0x14000);
    EXPECT_EQ(bps, 512);
    EXPECT_EQ(type, 1); // SDHC
    EXPECT_EQ(prot, 0x14000u);
    EXPECT_EQ(bus, 4);
    EXPECT_EQ(eraseBlock, 8192u);
    EXPECT_EQ(reserved, 0u);
    uint32_t secure = 0;
    EXPECT_EQ(lib->secureIdentify(&secure, h), SDHOST_OK);
    EXPECT_EQ(secure, 0x14000u);
}

TEST_P(DriverLibrary, TotalSectorsSaturate) {
    std::string img = image("c.img", 0xFFFFFFFFull, false);
    sidecar(img, "protected_sectors = 10");
    uint32_t h = open(img);
    uint32_t user, total;
    uint8_t type;
    ASSERT_EQ(identify(h, user, total, type), SDHOST_OK);
    EXPECT_EQ(user, 0xFFFFFFFFu);
    EXPECT_EQ(total, 0xFFFFFFFFu);
    EXPECT_EQ(type, 2);
}

TEST_P(DriverLibrary, WithoutSidecarThereIsNoProtectedArea) {
    std::string img = image("c.img", 128);
    uint32_t h = open(img);
    uint32_t secure = 1, user, total;
    uint8_t type;
    EXPECT_EQ(lib->secureIdentify(&secure, h), SDHOST_OK);
    EXPECT_EQ(secure, 0u);
    ASSERT_EQ(identify(h, user, total, type), SDHOST_OK);
    EXPECT_EQ(total, 128u);
    EXPECT_EQ(type, 0);
}

TEST_P(Route1Library, GetMidGivesTheSidecarBytes) {
    std::string img = image("c.img", 64);
    uint32_t h = open(img);
    uint8_t mid[8];
    std::memset(mid, 0xEE, sizeof mid);
    ASSERT_EQ(lib->getMid(mid, 0, h), SDHOST_OK);
    EXPECT_EQ(std::vector<uint8_t>(mid, mid + 8), (std::vector<uint8_t>{3, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(lib->getMid(nullptr, 0, h), SDHOST_ERR_PARAM);
    EXPECT_EQ(lib->fini(h), SDHOST_OK);

    sidecar(img, "mid = 1A2b3C\n");
    h = open(img);
    ASSERT_EQ(lib->getMid(mid, 0, h), SDHOST_OK);
    EXPECT_EQ(std::vector<uint8_t>(mid, mid + 8),
              (std::vector<uint8_t>{0x1A, 0x2B, 0x3C, 0, 0, 0, 0, 0}));
}

// ---- sidecar ------------------------------------------------------------------------------------

struct BadLine {
    const char* text;
    const char* message; // after "<library>: <sidecar>:"
};

TEST_P(DriverLibrary, MalformedSidecarsAreRefusedWithOneLine) {
    const BadLine cases[] = {
        {"# card\nfoo = 1\n", "2: unknown key 'foo'"},
        {"erase = 0\nerase = 0\n", "2: duplicate key 'erase' (first on line 1)"},
        {"\n\nprotected_sectors\n", "3: 'protected_sectors' is not of the form key = value"},
        {"protected_sectors = 0x1FFFFFFFF",
         "1: value '0x1FFFFFFFF' of 'protected_sectors' is out of range (0 to 4294967295)"},
        {"mid = 12345", "1: value '12345' of 'mid' is not an even count of 2 to 16 hex digits"},
        {"fail_write_code = 3", "1: fail_write_code without fail_write_call"},
        {"counterfeit = limbo 1023",
         "1: value 'limbo 1023' of 'counterfeit' does not give a multiple of 512 bytes from 512 to "
         "2199023255040"},
        // Only the image says how large the card is.
        {"\ncounterfeit = wraparound 32768",
         "2: the real part of 32768 bytes of 'counterfeit' is not less than the card's 32768 "
         "bytes"},
        {"counterfeit = limbo 0x10000",
         "1: the real part of 65536 bytes of 'counterfeit' is not less than the card's 32768 "
         "bytes"},
        {"cache = 1073741825", "1: value '1073741825' of 'cache' is not a number of bytes from 0 to 1073741824"},
        {"cache = 1M", "1: value '1M' of 'cache' is not a number of bytes from 0 to 1073741824"},
    };
    std::string img = image("c.img", 64);
    map("E=" + img);
    for (const auto& c : cases) {
        sidecar(img, c.text);
        uint32_t h = 0, flags = 9;
        std::string err =
            stderrOf([&] { EXPECT_EQ(lib->init(&h, drive('E')), SDHOST_ERR_CONFIG); });
        EXPECT_EQ(err, std::string(GetParam().name) + ": " + img + ".card:" + c.message + "\n");
        EXPECT_EQ(h, 0u);
        stderrOf([&] { EXPECT_EQ(lib->chkSdCard(drive('E'), &flags), SDHOST_ERR_CONFIG); });
        EXPECT_EQ(flags, 0u);
    }
}

TEST_P(DriverLibrary, AnUnreadableSidecarIsRefused) {
    std::string img = image("c.img", 64);
    std::filesystem::create_directory(img + ".card");
    map("E=" + img);
    uint32_t h = 0;
    std::string err = stderrOf([&] { EXPECT_EQ(lib->init(&h, drive('E')), SDHOST_ERR_CONFIG); });
    EXPECT_EQ(err.rfind(std::string(GetParam().name) + ": " + img + ".card: cannot read", 0), 0u)
        << err;
}

// ---- fault injection ----------------------------------------------------------------------------

TEST_P(DriverLibrary, TheNthWriteFailsWithTheGivenCodeAndWritesNothing) {
    std::string img = image("c.img", 64);
    sidecar(img, "fail_write_call = 3\nfail_write_code = 0x4242\n");
    std::vector<uint8_t> data(512, 0xAB), zeros(8 * 512, 0); // zeros are punched, yet count
    for (int opening = 0; opening < 2; ++opening) { // the count starts again with each DDInit
        uint32_t h = open(img);
        EXPECT_EQ(lib->write(zeros.data(), 8, 8, h), SDHOST_OK);
        EXPECT_EQ(lib->write(data.data(), 1, 2, h), SDHOST_OK);
        std::vector<uint8_t> before = fileBytes(img, 16 * 512, 8 * 512);
        EXPECT_EQ(lib->write(zeros.data(), 8, 16, h), 0x4242u);
        EXPECT_EQ(fileBytes(img, 16 * 512, 8 * 512), before);
        EXPECT_EQ(lib->write(data.data(), 1, 4, h), SDHOST_OK);
        EXPECT_EQ(lib->fini(h), SDHOST_OK);
    }
    sidecar(img, "fail_write_call = 1\n");
    uint32_t h = open(img);
    EXPECT_EQ(lib->write(data.data(), 1, 5, h), SDHOST_ERR_IO);
}

TEST_P(DriverLibrary, TheCardVanishesAfterNWrites) {
    std::string img = image("c.img", 64);
    sidecar(img, "vanish_after_writes = 2\n");
    uint32_t h = open(img);
    std::vector<uint8_t> data(512, 0xAB), zeros(8 * 512, 0);
    uint32_t prot, user, total, flags;
    uint8_t type;
    EXPECT_EQ(lib->write(zeros.data(), 8, 8, h), SDHOST_OK); // punched, and counted
    EXPECT_EQ(lib->read(data.data(), 1, 1, h), SDHOST_OK);
    EXPECT_EQ(lib->write(data.data(), 1, 2, h), SDHOST_OK);

    EXPECT_EQ(lib->write(data.data(), 1, 3, h), SDHOST_ERR_NO_CARD);
    EXPECT_EQ(lib->read(data.data(), 1, 1, h), SDHOST_ERR_NO_CARD);
    EXPECT_EQ(identify(h, user, total, type), SDHOST_ERR_NO_CARD);
    EXPECT_EQ(lib->secureIdentify(&prot, h), SDHOST_ERR_NO_CARD);
    EXPECT_EQ(lib->erase(0, 1, h), SDHOST_ERR_NO_CARD);
    EXPECT_EQ(lib->write(nullptr, 0, 0, h), SDHOST_ERR_NO_CARD); // even a bad call
    if (lib->getMid) {
        uint8_t mid[8];
        EXPECT_EQ(lib->getMid(mid, 0, h), SDHOST_ERR_NO_CARD);
    }
    EXPECT_EQ(lib->fini(h), SDHOST_ERR_NO_CARD); // released all the same
    EXPECT_EQ(lib->fini(h), SDHOST_ERR_HANDLE);
    EXPECT_EQ(fileBytes(img, 3 * 512, 1)[0], patternByte(3 * 512)) << "sector 3 was written";

    // The card is back for the next opening.
    EXPECT_EQ(lib->chkSdCard(drive('E'), &flags), SDHOST_OK);
    h = open(img);
    EXPECT_EQ(lib->read(data.data(), 1, 1, h), SDHOST_OK);
}

// A card of 64 sectors keeping 40: sectors past them are kept at s mod 40, or lost.
TEST_P(DriverLibrary, ACounterfeitKeepsOrLosesWhatIsPastItsRealPart) {
    std::string img = image("c.img", 64);
    std::vector<uint8_t> data(8 * 512);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 13 + 5);
    const std::vector<uint8_t> head(data.begin(), data.begin() + 4 * 512),
        tail(data.begin() + 4 * 512, data.end());
    for (const char* kind : {"wraparound", "limbo"}) {
        sidecar(img, std::string("counterfeit = ") + kind + " 20480\n");
        uint32_t h = open(img), user = 0, total = 0;
        uint8_t type = 0;
        ASSERT_EQ(identify(h, user, total, type), SDHOST_OK);
        EXPECT_EQ(user, 64u) << kind;
        const std::vector<uint8_t> startBefore = fileBytes(img, 0, 4 * 512);
        ASSERT_EQ(lib->write(data.data(), 8, 36, h), SDHOST_OK) << kind; // 36..39 kept, 40..43 not
        std::vector<uint8_t> back(8 * 512);
        ASSERT_EQ(lib->read(back.data(), 8, 36, h), SDHOST_OK);
        EXPECT_EQ(fileBytes(img, 36 * 512, 4 * 512), head) << kind;
        EXPECT_EQ(std::vector<uint8_t>(back.begin(), back.begin() + 4 * 512), head) << kind;
        const bool wraps = std::string(kind) == "wraparound";
        EXPECT_EQ(fileBytes(img, 0, 4 * 512), wraps ? tail : startBefore) << kind;
        EXPECT_EQ(std::vector<uint8_t>(back.begin() + 4 * 512, back.end()),
                  wraps ? tail : std::vector<uint8_t>(4 * 512, 0))
            << kind;
        EXPECT_EQ(fileBytes(img, 40 * 512, 1)[0], patternByte(40 * 512)) << kind;
        EXPECT_EQ(lib->fini(h), SDHOST_OK);
    }
}

TEST_P(DriverLibrary, TheNthEraseFails) {
    std::string img = image("c.img", 64);
    sidecar(img, "fail_erase_call = 2\n");
    uint32_t h = open(img);
    EXPECT_EQ(lib->erase(0, 0, h), SDHOST_OK);
    EXPECT_EQ(lib->erase(1, 1, h), SDHOST_ERR_IO);
    EXPECT_EQ(fileBytes(img, 512, 512)[1], patternByte(513)) << "the failed erase erased";
    EXPECT_EQ(lib->erase(2, 2, h), SDHOST_OK);
    EXPECT_EQ(fileBytes(img, 0, 3 * 512)[2 * 512], 0);
}

TEST_P(DriverLibrary, IdentifyFailsWithTheGivenCode) {
    std::string img = image("c.img", 64);
    sidecar(img, "fail_identify = 0x9995\n");
    uint32_t h = open(img);
    uint32_t user = 7, total, prot;
    uint8_t type;
    EXPECT_EQ(identify(h, user, total, type), 0x9995u);
    EXPECT_EQ(user, 7u);
    EXPECT_EQ(lib->secureIdentify(&prot, h), SDHOST_OK);
}

// ---- write protection and erase -----------------------------------------------------------------

TEST_P(DriverLibrary, TheWriteProtectSwitchRefusesWritesAndErase) {
    std::string img = image("c.img", 64);
    sidecar(img, "write_protect_switch = 1\n");
    Snapshot before(img);
    uint32_t flags = 0;
    map("E=" + img);
    EXPECT_EQ(lib->chkSdCard(drive('E'), &flags), SDHOST_OK);
    EXPECT_EQ(flags, SDHOST_CHK_QUALIFIES | SDHOST_CHK_REFUSED);
    uint32_t h = open(img);
    std::vector<uint8_t> data(512, 0xAB);
    EXPECT_EQ(lib->write(data.data(), 1, 0, h), GetParam().writeProtectCode);
    EXPECT_EQ(lib->erase(0, 63, h), GetParam().writeProtectCode);
    EXPECT_EQ(lib->read(data.data(), 1, 0, h), SDHOST_OK);
    EXPECT_EQ(lib->fini(h), SDHOST_OK);
    EXPECT_TRUE(Snapshot(img) == before);
}

TEST_P(DriverLibrary, AReadOnlyImageActsWriteProtected) {
    if (::geteuid() == 0) GTEST_SKIP() << "root may write any file";
    std::string img = image("c.img", 64);
    ASSERT_EQ(::chmod(img.c_str(), 0444), 0);
    uint32_t flags = 0;
    map("E=" + img);
    EXPECT_EQ(lib->chkSdCard(drive('E'), &flags), SDHOST_OK);
    EXPECT_EQ(flags, SDHOST_CHK_QUALIFIES | SDHOST_CHK_REFUSED);
    uint32_t h = open(img);
    std::vector<uint8_t> data(512);
    EXPECT_EQ(lib->read(data.data(), 1, 0, h), SDHOST_OK);
    EXPECT_EQ(lib->write(data.data(), 1, 0, h), GetParam().writeProtectCode);
}

// A probe only reads: even an image the library could write is opened read-only, as for a
// card whose lock switch is on, and nothing reaches it.
TEST_P(DriverLibrary, AProbeOpensTheCardForReadingOnly) {
    std::string img = image("c.img", 64);
    map("E=" + img);
    Snapshot before(img);
    uint32_t h = 0;
    ASSERT_EQ(lib->init(&h, drive('E') | SDHOST_INIT_PROBE), SDHOST_OK);
    std::vector<uint8_t> data(512, 0x5A);
    EXPECT_EQ(lib->read(data.data(), 1, 0, h), SDHOST_OK);
    std::fill(data.begin(), data.end(), 0x5A);
    EXPECT_EQ(lib->write(data.data(), 1, 0, h), GetParam().writeProtectCode);
    EXPECT_EQ(lib->erase(0, 63, h), GetParam().writeProtectCode);
    EXPECT_EQ(lib->fini(h), SDHOST_OK);
    EXPECT_TRUE(Snapshot(img) == before);
}

TEST_P(DriverLibrary, EraseCanBeUnsupported) {
    std::string img = image("c.img", 64);
    sidecar(img, "erase = 0\n");
    Snapshot before(img);
    uint32_t h = open(img);
    EXPECT_EQ(lib->erase(0, 63, h), SDHOST_ERR_NO_ERASE);
    EXPECT_EQ(lib->fini(h), SDHOST_OK);
    EXPECT_TRUE(Snapshot(img) == before);
}

// Whether the file system under `dir` deallocates punched ranges.
bool canPunchHoles(const std::string& dir) {
    std::string probe = dir + "/probe";
    int fd = ::open(probe.c_str(), O_RDWR | O_CREAT, 0644);
    std::vector<char> data(1 << 16, 1);
    bool ok = fd >= 0 && ::pwrite(fd, data.data(), data.size(), 0) == ssize_t(data.size()) &&
              ::fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 0, 1 << 16) == 0;
    if (fd >= 0) ::close(fd);
    ::unlink(probe.c_str());
    return ok;
}

TEST_P(DriverLibrary, EraseMakesTheRangeReadZeroAndFreesIt) {
    std::string img = image("c.img", 4096);
    struct stat before, after;
    ASSERT_EQ(::stat(img.c_str(), &before), 0);
    uint32_t h = open(img);
    ASSERT_EQ(lib->erase(1024, 3071, h), SDHOST_OK);
    std::vector<uint8_t> buf(256 * 512, 0xEE);
    for (uint32_t s = 1024; s < 3072; s += 256) {
        ASSERT_EQ(lib->read(buf.data(), 256, s, h), SDHOST_OK);
        ASSERT_EQ(buf, std::vector<uint8_t>(buf.size(), 0)) << "sector " << s;
    }
    EXPECT_EQ(fileBytes(img, 1023 * 512 + 511, 1)[0], patternByte(1023 * 512 + 511));
    EXPECT_EQ(fileBytes(img, 3072 * 512, 1)[0], patternByte(3072 * 512));
    ASSERT_EQ(::stat(img.c_str(), &after), 0);
    EXPECT_EQ(after.st_size, before.st_size);
    if (!canPunchHoles(dir)) GTEST_SKIP() << "this file system does not deallocate";
    EXPECT_LE(after.st_blocks, before.st_blocks - 2048) << "1 MiB should have been freed";
}

TEST_P(DriverLibrary, ZeroWritesOverDataReadBackZeroAndFreeTheBlocks) {
    std::string img = image("c.img", 4096);
    struct stat before, after;
    ASSERT_EQ(::stat(img.c_str(), &before), 0);
    uint32_t h = open(img);
    const std::vector<uint8_t> zeros(256 * 512, 0);
    std::vector<uint8_t> back(256 * 512, 0xEE);
    for (uint32_t first : {1001u, 2048u}) { // unaligned ends, then whole blocks
        ASSERT_EQ(lib->write(zeros.data(), 256, first, h), SDHOST_OK);
        ASSERT_EQ(lib->read(back.data(), 256, first, h), SDHOST_OK);
        EXPECT_EQ(back, zeros) << "at " << first;
        const uint64_t lastBefore = uint64_t{first} * 512 - 1, firstAfter = (first + 256) * 512;
        EXPECT_EQ(fileBytes(img, lastBefore, 1)[0], patternByte(lastBefore));
        EXPECT_EQ(fileBytes(img, firstAfter, 1)[0], patternByte(firstAfter));
    }
    EXPECT_EQ(lib->fini(h), SDHOST_OK);
    ASSERT_EQ(::stat(img.c_str(), &after), 0);
    EXPECT_EQ(after.st_size, before.st_size);
    if (!canPunchHoles(dir)) GTEST_SKIP() << "this file system does not deallocate";
    EXPECT_LE(after.st_blocks, before.st_blocks - 2 * 240) << "240 KiB should have been freed";
}

TEST_P(DriverLibrary, LargeZeroWritesLeaveASparseImageSparse) {
    if (!canPunchHoles(dir)) GTEST_SKIP() << "this file system does not deallocate";
    std::string img = image("c.img", 1 << 20, false); // 512 MiB
    uint32_t h = open(img);
    const std::vector<uint8_t> zeros(256 * 512, 0);
    for (uint32_t first = 0; first < (64u << 11); first += 256) // 64 MiB, as a format writes
        ASSERT_EQ(lib->write(zeros.data(), 256, first, h), SDHOST_OK) << "at " << first;
    EXPECT_EQ(lib->fini(h), SDHOST_OK);
    struct stat st;
    ASSERT_EQ(::stat(img.c_str(), &st), 0);
    EXPECT_LE(st.st_blocks, 64) << "64 MiB of zeros should allocate next to nothing";
}

TEST_P(DriverLibrary, MixedBuffersReadBackExactly) {
    std::string img = image("c.img", 4096);
    uint32_t h = open(img);
    // Data with zero runs of every length and alignment: whole blocks, part blocks, one sector,
    // and zero bytes inside data sectors.
    std::vector<uint8_t> data(256 * 512);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 131 + 17) | 1;
    const std::pair<uint32_t, uint32_t> zeroRuns[] = {{0, 3}, {5, 21}, {30, 31}, {40, 200},
                                                       {201, 202}, {250, 256}};
    for (auto [from, to] : zeroRuns)
        std::fill(data.begin() + from * 512, data.begin() + to * 512, 0);
    data[210 * 512 + 100] = 0;
    std::vector<uint8_t> back(data.size());
    for (uint32_t first : {0u, 1u, 7u, 1000u, 4096u - 256u}) {
        ASSERT_EQ(lib->write(data.data(), 256, first, h), SDHOST_OK);
        ASSERT_EQ(lib->read(back.data(), 256, first, h), SDHOST_OK);
        EXPECT_EQ(back, data) << "at " << first;
        EXPECT_EQ(fileBytes(img, uint64_t{first} * 512, data.size()), data) << "at " << first;
    }
    EXPECT_EQ(fileBytes(img, 2000 * 512, 1)[0], patternByte(2000 * 512));
    EXPECT_EQ(lib->fini(h), SDHOST_OK);
}

TEST_P(DriverLibrary, ErasingATebibyteCardIsQuick) {
    if (!canPunchHoles(dir)) GTEST_SKIP() << "this file system does not deallocate";
    const uint32_t sectors = 0x80000000u; // 1 TiB
    std::string img = image("c.img", sectors, false);
    uint32_t h = open(img);
    std::vector<uint8_t> data(512, 0xAB), back(512);
    ASSERT_EQ(lib->write(data.data(), 1, 0, h), SDHOST_OK);
    ASSERT_EQ(lib->write(data.data(), 1, sectors - 1, h), SDHOST_OK);
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(lib->erase(0, sectors - 1, h), SDHOST_OK);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    for (uint32_t s : {0u, sectors - 1}) {
        ASSERT_EQ(lib->read(back.data(), 1, s, h), SDHOST_OK);
        EXPECT_EQ(back, std::vector<uint8_t>(512, 0)) << "sector " << s;
    }
}

} // namespace
