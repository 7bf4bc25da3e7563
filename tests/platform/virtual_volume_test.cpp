// The virtual-volume code against volumes made by mkfs.fat and mkfs.exfat, with mtools,
// fatlabel, exfatlabel, dump.exfat and the fsck tools as independent readers and checkers.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>

#include "base/little_endian.h"
#include "platform/virtual_volume.h"

using namespace brc;
namespace fs = std::filesystem;

namespace {

struct Run {
    int status = -1;
    std::string out;
};

Run run(const std::string& command) {
    Run r;
    if (FILE* pipe = ::popen((command + " 2>&1").c_str(), "r")) {
        char chunk[512];
        while (size_t n = std::fread(chunk, 1, sizeof chunk, pipe)) r.out.append(chunk, n);
        const int status = ::pclose(pipe);
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    return r;
}

std::string tool(const char* name) {
    for (const char* dir : {"/usr/sbin/", "/sbin/", "/usr/bin/"})
        if (::access((std::string(dir) + name).c_str(), X_OK) == 0) return std::string(dir) + name;
    return {};
}

bool toolsPresent() {
    for (const char* t : {"mkfs.fat", "mkfs.exfat", "fsck.fat", "fsck.exfat", "mlabel", "mcopy",
                          "fatlabel", "exfatlabel", "dump.exfat"})
        if (tool(t).empty()) return false;
    return true;
}

// The text after `key` to the end of its line, without surrounding blanks.
std::string after(const std::string& out, const std::string& key) {
    const size_t at = out.find(key);
    if (at == std::string::npos) return "<" + key + " missing>";
    std::string v = out.substr(at + key.size(), out.find('\n', at) - at - key.size());
    v.erase(v.find_last_not_of(" \t\n") + 1);
    return v.substr(std::min(v.size(), v.find_first_not_of(" \t")));
}

void put32(std::vector<uint8_t>& b, uint64_t at, uint32_t v) { brc::put32(&b[at], v); }
uint32_t get32(const std::vector<uint8_t>& b, uint64_t at) { return le32(&b[at]); }

// A card in memory that records every write and fails reads or writes on request.
struct MemCard {
    explicit MemCard(std::vector<uint8_t> b) : bytes(std::move(b)) {}
    std::vector<uint8_t> bytes;
    std::vector<std::pair<uint64_t, uint32_t>> writes;
    uint64_t failReadsFrom = UINT64_MAX;
    bool failWrites = false;

    CardSectors sectors() {
        CardSectors c;
        c.count = bytes.size() / 512;
        c.read = [this](uint64_t first, uint32_t n, uint8_t* data) {
            if (first + n > bytes.size() / 512 || first + n > failReadsFrom) return false;
            std::copy_n(bytes.begin() + static_cast<long>(first * 512), n * 512, data);
            return true;
        };
        c.write = [this](uint64_t first, uint32_t n, const uint8_t* data) {
            if (failWrites || first + n > bytes.size() / 512) return false;
            writes.emplace_back(first, n);
            std::copy_n(data, n * 512, bytes.begin() + static_cast<long>(first * 512));
            return true;
        };
        return c;
    }
};

void save(const fs::path& p, const std::vector<uint8_t>& b) {
    std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(b.data()),
                                             static_cast<long>(b.size()));
}
std::vector<uint8_t> load(const fs::path& p) {
    std::vector<uint8_t> b(fs::file_size(p));
    std::ifstream(p, std::ios::binary).read(reinterpret_cast<char*>(b.data()),
                                            static_cast<long>(b.size()));
    return b;
}

struct ImageCase {
    const char* name;
    VirtualFsType type;
    uint32_t start, sectors;  // the partition; start 0: no partition table
    uint32_t fsSector;
    const char* mkfs;         // mkfs.fat options
    const char* label;
    uint32_t serial;
};
void PrintTo(const ImageCase& c, std::ostream* os) { *os << c.name; }

const ImageCase kCases[] = {
    {"Fat12Superfloppy", VirtualFsType::Fat12, 0, 16384, 512, "-F 12", "SUPER", 0x0BADF00D},
    {"Fat12", VirtualFsType::Fat12, 63, 16384, 512, "-F 12", "TWELVE", 0x12121212},
    {"Fat16", VirtualFsType::Fat16, 2048, 32768, 512, "-F 16 -s 1", "BRINDLE16", 0x16161616},
    {"Fat16Sector4K", VirtualFsType::Fat16, 2048, 40960, 4096, "-F 16 -S 4096 -s 1", "BIG SECT",
     0xB16B16B1},
    {"Fat32", VirtualFsType::Fat32, 8192, 69632, 512, "-F 32 -s 1", "THIRTYTWO", 0x32323232},
    {"ExFat", VirtualFsType::ExFat, 8192, 81920, 512, "", "Ünïcode", 0xE0E0E0E0},
    {"ExFatSuperfloppy", VirtualFsType::ExFat, 0, 81920, 512, "", "Whole", 0x0E0E0E0E},
};
constexpr uint32_t kTail = 64;  // card sectors after a partition
const LocalTime kNow{2024, 5, 17, 13, 45, 58, 0};

// One case's card, built by the tools, and what the tools read back from it.
struct Image {
    const ImageCase& c;
    fs::path dir = fs::temp_directory_path() / ("brc_vv_" + std::to_string(::getpid()));
    fs::path card = dir / "card.img", part = dir / "part.img";
    uint64_t base = uint64_t{c.start} * 512;  // the partition's first byte

    explicit Image(const ImageCase& which) : c(which) { fs::create_directories(dir); }
    ~Image() { fs::remove_all(dir); }
    bool fat() const { return c.type != VirtualFsType::ExFat; }
    std::string mtools() const { return card.string() + "@@" + std::to_string(base); }

    // MBR (when partitioned), the file system (with a file on FAT), and patterns before and
    // after the partition that no write may touch.
    std::vector<uint8_t> build() {
        std::vector<uint8_t> b((c.start + c.sectors + (c.start ? kTail : 0)) * 512ull);
        char serial[16];
        std::snprintf(serial, sizeof serial, "%08X", c.serial);
        if (fat()) {
            save(card, b);
            EXPECT_EQ(run(tool("mkfs.fat") + " " + c.mkfs + " --offset=" +
                          std::to_string(base / c.fsSector) + " -n '" + c.label + "' -i " +
                          serial + " " + card.string() + " " + std::to_string(c.sectors / 2))
                          .status, 0);
            save(dir / "file.bin", std::vector<uint8_t>(200000, 0x42));
            EXPECT_EQ(run(tool("mcopy") + " -i " + mtools() + " " + (dir / "file.bin").string() +
                          " ::").status, 0);
            b = load(card);
        } else {
            save(part, std::vector<uint8_t>(c.sectors * 512ull));
            EXPECT_EQ(run(tool("mkfs.exfat") + " -L '" + c.label + "' " + part.string()).status, 0);
            EXPECT_EQ(run(tool("exfatlabel") + " -i " + part.string() + " 0x" + serial).status, 0);
            const std::vector<uint8_t> p = load(part);
            std::copy(p.begin(), p.end(), b.begin() + static_cast<long>(base));
        }
        if (c.start) {
            std::fill(b.begin() + 512, b.begin() + static_cast<long>(base), 0x5A);
            std::fill(b.end() - kTail * 512, b.end(), 0xA5);
            const uint8_t types[] = {0x01, 0x06, 0x0C, 0x07};
            b[450] = types[static_cast<int>(c.type)];
            put32(b, 454, c.start);
            put32(b, 458, c.sectors);
            b[510] = 0x55;
            b[511] = 0xAA;
        }
        return b;
    }

    struct View {
        std::string label;
        uint32_t serial = 0;
        Run fsck;
        long long freeClusters = -1, totalClusters = -1;
    };
    View inspect(const std::vector<uint8_t>& b) {
        save(card, b);
        save(part, std::vector<uint8_t>(b.begin() + static_cast<long>(base),
                                        b.begin() + static_cast<long>(base + c.sectors * 512ull)));
        View v;
        const std::string p = " " + part.string();
        if (fat()) {
            const Run ml = run(tool("mlabel") + " -s -i " + mtools() + " ::");
            v.label = ml.out.find("has no label") != std::string::npos
                          ? "" : after(ml.out, "Volume label is ");
            EXPECT_EQ(after(run(tool("fatlabel") + p).out, ""), v.label) << "readers disagree";
            v.serial = static_cast<uint32_t>(std::stoul(run(tool("fatlabel") + " -i" + p).out,
                                                        nullptr, 16));
            v.fsck = run(tool("fsck.fat") + " -n" + p);
            const std::string counts = after(v.fsck.out, " files, ");  // used/total clusters
            v.totalClusters = std::stoll(counts.substr(counts.find('/') + 1));
            v.freeClusters = v.totalClusters - std::stoll(counts);
        } else {
            // exfatlabel prints nothing for an empty label; dump.exfat shows the entry.
            const std::string dump = run(tool("dump.exfat") + p).out;
            v.label = after(dump, "Volume label:");
            if (!v.label.empty()) {
                EXPECT_EQ(after(run(tool("exfatlabel") + p).out, "label: "), v.label);
            }
            v.serial = static_cast<uint32_t>(
                std::stoul(after(run(tool("exfatlabel") + " -i" + p).out, "serial : "), nullptr, 16));
            v.fsck = run(tool("fsck.exfat") + " -n" + p);
            v.freeClusters = std::stoll(after(dump, "Free Clusters:"));
            v.totalClusters = std::stoll(after(dump, "Total Clusters:"));
        }
        return v;
    }
};

class VirtualVolume : public testing::TestWithParam<ImageCase> {};

TEST_P(VirtualVolume, AgreesWithTheToolsAndWritesLabelsTheyRead) {
    if (!toolsPresent()) GTEST_SKIP() << "dosfstools, exfatprogs or mtools missing";
    const ImageCase& c = GetParam();
    Image image(c);
    MemCard card(image.build());
    const std::vector<uint8_t> original = card.bytes;
    const Image::View made = image.inspect(card.bytes);
    ASSERT_EQ(made.fsck.status, 0) << made.fsck.out;

    VirtualVolumeLayout layout;
    ASSERT_EQ(locateVirtualVolume(card.sectors(), layout), 0u);
    EXPECT_EQ(layout.type, c.type);
    EXPECT_EQ(layout.firstSector, c.start);
    VolumeInfo info;
    ASSERT_EQ(virtualVolumeInformation(card.sectors(), cp437(), info), 0u);
    EXPECT_EQ(utf16ToUtf8(info.label), made.label);
    EXPECT_EQ(made.label, c.label);
    EXPECT_EQ(info.serial, made.serial);
    EXPECT_EQ(info.serial, c.serial);
    EXPECT_EQ(info.fileSystem, c.type == VirtualFsType::ExFat   ? u"exFAT"
                               : c.type == VirtualFsType::Fat32 ? u"FAT32" : u"FAT");
    EXPECT_EQ(info.maxComponentLength, 255u);
    EXPECT_EQ(info.flags, 0x6u);
    ClusterSpace space;
    ASSERT_EQ(virtualFreeSpace(card.sectors(), space), 0u);
    EXPECT_EQ(space.totalClusters, made.totalClusters);
    EXPECT_EQ(space.freeClusters, made.freeClusters);
    EXPECT_EQ(space.bytesPerSector, c.fsSector);

    // Replace the label, remove it, set one again.
    for (std::u16string label : {image.fat() ? u"new label" : u"Nouvel été", u"", u"x"}) {
        SCOPED_TRACE(utf16ToUtf8(label));
        ASSERT_EQ(setVirtualVolumeLabel(card.sectors(), cp437(), label, kNow), 0u);
        for (const auto& [first, n] : card.writes) {
            EXPECT_GE(first, c.start);
            EXPECT_LE(first + n, uint64_t{c.start} + c.sectors);
        }
        const auto tail = static_cast<long>((c.start ? kTail : 0) * 512);
        EXPECT_TRUE(std::equal(original.begin(), original.begin() + static_cast<long>(image.base),
                               card.bytes.begin()));
        EXPECT_TRUE(std::equal(original.end() - tail, original.end(), card.bytes.end() - tail));

        if (image.fat())
            for (char16_t& ch : label)
                if (ch >= u'a' && ch <= u'z') ch = static_cast<char16_t>(ch - u'a' + u'A');
        ASSERT_EQ(virtualVolumeInformation(card.sectors(), cp437(), info), 0u);
        EXPECT_EQ(info.label, label);

        if (c.type == VirtualFsType::Fat32) {
            // Unlike Windows' label call, which mounts the volume, this one leaves the card
            // clean: FSInfo (both copies) and FAT entry 1 of every FAT as mkfs.fat wrote them.
            const uint64_t reserved = le16(&original[image.base + 14]);
            const uint64_t fatSectors = get32(original, image.base + 36);
            for (uint64_t s : {uint64_t{1}, uint64_t{7}, reserved, reserved + fatSectors}) {
                const auto at = static_cast<long>(image.base + s * 512);
                EXPECT_TRUE(std::equal(original.begin() + at, original.begin() + at + 512,
                                       card.bytes.begin() + at)) << "sector " << s;
            }
            EXPECT_NE(get32(card.bytes, image.base + reserved * 512 + 4) & 0x08000000u, 0u);
        }
        const Image::View now = image.inspect(card.bytes);
        EXPECT_EQ(now.label, utf16ToUtf8(label));
        EXPECT_EQ(now.fsck.status, 0) << now.fsck.out;
        EXPECT_EQ(now.freeClusters, made.freeClusters);
    }
}

INSTANTIATE_TEST_SUITE_P(Tools, VirtualVolume, testing::ValuesIn(kCases),
                         [](const auto& p) { return std::string(p.param.name); });

// Labels the file system cannot hold are refused without a write; those it can hold read back.
TEST(VirtualVolumeLabels, RefusedOrStoredByTheFileSystemsRules) {
    if (!toolsPresent()) GTEST_SKIP() << "dosfstools, exfatprogs or mtools missing";
    struct Case {
        size_t image;                   // index into kCases
        std::u16string label, stored;  // stored empty: refused
    };
    const Case cases[] = {
        {2, u"a*b", u""}, {2, u"TWELVE CHARS", u""}, {2, u"ABC.DEF", u""}, {2, u"TAB\tX", u""},
        {2, u"x+y", u""}, {2, u"日本", u""}, {2, u"café", u"CAFé"}, {2, u"eleven char", u"ELEVEN CHAR"},
        {2, u"σ1", u"σ1"},  // 0xE5 in code page 437: stored as 0x05, not as a deleted entry
        {5, u"a*b", u""}, {5, u"twelve units", u""}, {5, u"ctl\x01", u""},
        {5, u"a.b+c,d;e=[]", u""}, {5, u"a.b+c,d;e=", u"a.b+c,d;e="}, {5, u"日本語ラベル", u"日本語ラベル"},
    };
    for (size_t which : {2u, 5u}) {
        MemCard card(Image(kCases[which]).build());
        for (const Case& t : cases) {
            if (t.image != which) continue;
            SCOPED_TRACE(utf16ToUtf8(t.label));
            card.writes.clear();
            const uint32_t rc = setVirtualVolumeLabel(card.sectors(), cp437(), t.label, kNow);
            VolumeInfo info;
            ASSERT_EQ(virtualVolumeInformation(card.sectors(), cp437(), info), 0u);
            EXPECT_EQ(rc, t.stored.empty() ? kErrorInvalidName : 0u);
            EXPECT_EQ(card.writes.empty(), t.stored.empty());
            EXPECT_EQ(info.label, t.stored.empty() ? utf8ToUtf16(kCases[which].label) : t.stored);
            setVirtualVolumeLabel(card.sectors(), cp437(), utf8ToUtf16(kCases[which].label), kNow);
        }
    }
}

// A damaged card gives an error code, never a crash, a hang or a write.
TEST(VirtualVolumeDamage, CleanFailures) {
    if (!toolsPresent()) GTEST_SKIP() << "dosfstools, exfatprogs or mtools missing";
    // Edits to exFAT boot fields keep the checksum valid, so the field checks are what fail.
    const auto checksum = [](std::vector<uint8_t>& b, uint64_t base) {
        uint32_t sum = 0;
        for (size_t i = 0; i < 11 * 512; ++i)
            if (i != 106 && i != 107 && i != 112)
                sum = ((sum & 1) ? 0x80000000u : 0) + (sum >> 1) + b[base + i];
        for (size_t i = 0; i < 512; i += 4) put32(b, base + 11 * 512 + i, sum);
    };
    using Edit = std::function<void(MemCard&, uint64_t base)>;
    struct Case {
        const char* name;
        size_t image;
        Edit edit;
        uint32_t info, space, label;  // expected results
    };
    constexpr uint32_t kBad = kErrorUnrecognizedVolume;
    const Case cases[] = {
        {"empty card", 2, [](MemCard& c, uint64_t) { c.bytes.clear(); }, kBad, kBad, kBad},
        {"all zero", 2, [](MemCard& c, uint64_t) { std::fill(c.bytes.begin(), c.bytes.end(), 0); },
         kBad, kBad, kBad},
        {"truncated", 2, [](MemCard& c, uint64_t b) { c.bytes.resize(b + 100 * 512); }, kBad, kBad, kBad},
        {"truncated, no partition table", 0, [](MemCard& c, uint64_t) { c.bytes.resize(40 * 512); },
         kBad, kBad, kBad},
        {"garbage boot sector", 2, [](MemCard& c, uint64_t b) {
             for (int i = 0; i < 512; ++i) c.bytes[b + i] = static_cast<uint8_t>(i * 97 + 13); },
         kBad, kBad, kBad},
        {"bytes per sector 0", 2, [](MemCard& c, uint64_t b) { c.bytes[b + 11] = c.bytes[b + 12] = 0; },
         kBad, kBad, kBad},
        {"3 sectors per cluster", 2, [](MemCard& c, uint64_t b) { c.bytes[b + 13] = 3; }, kBad, kBad, kBad},
        {"volume beyond partition", 4, [](MemCard& c, uint64_t b) { put32(c.bytes, b + 32, 0xFFFFFFF0); },
         kBad, kBad, kBad},
        {"huge cluster count for the FAT", 4, [](MemCard& c, uint64_t b) { put32(c.bytes, b + 36, 1); },
         kBad, kBad, kBad},
        {"root cluster outside the heap", 4, [](MemCard& c, uint64_t b) { put32(c.bytes, b + 44, 0x0FFFFFF0); },
         kBad, kBad, kBad},
        {"partition beyond the card", 2, [](MemCard& c, uint64_t) { put32(c.bytes, 458, 0xFFFFFF00); },
         kBad, kBad, kBad},
        {"no boot signature", 2, [](MemCard& c, uint64_t) { c.bytes[510] = 0; }, kBad, kBad, kBad},
        {"exFAT checksum wrong", 5, [](MemCard& c, uint64_t b) { c.bytes[b + 600] ^= 1; }, kBad, kBad, kBad},
        {"exFAT huge cluster count", 5, [&](MemCard& c, uint64_t b) {
             put32(c.bytes, b + 92, 0xFFFFFFF0); checksum(c.bytes, b); }, kBad, kBad, kBad},
        {"exFAT sector shift 30", 5, [&](MemCard& c, uint64_t b) {
             c.bytes[b + 108] = 30; checksum(c.bytes, b); }, kBad, kBad, kBad},
        {"exFAT root outside the heap", 5, [&](MemCard& c, uint64_t b) {
             put32(c.bytes, b + 96, 0x7FFFFFFF); checksum(c.bytes, b); }, kBad, kBad, kBad},
        // The root directory chains to itself and is full: a damaged volume, found without
        // reading the chain round and round.
        {"FAT32 root chain loop", 4, [](MemCard& c, uint64_t b) {
             const uint32_t res = le16(&c.bytes[b + 14]);
             put32(c.bytes, b + res * 512 + 8, 2);
             const uint64_t root = b + (res + 2ull * get32(c.bytes, b + 36)) * 512;
             for (uint64_t e = root; e < root + 512; e += 32) {
                 std::fill_n(c.bytes.begin() + static_cast<long>(e), 11, 'A');
                 c.bytes[e + 11] = 0x20;
             } },
         kBad, 0, kBad},
        {"FAT unreadable", 2, [](MemCard& c, uint64_t b) { c.failReadsFrom = b / 512 + 1; },
         kErrorReadFault, kErrorReadFault, kErrorReadFault},
        {"write refused", 2, [](MemCard& c, uint64_t) { c.failWrites = true; }, 0, 0, kErrorWriteFault},
    };
    std::vector<std::vector<uint8_t>> built(std::size(kCases));
    for (const Case& t : cases) {
        SCOPED_TRACE(t.name);
        if (built[t.image].empty()) built[t.image] = Image(kCases[t.image]).build();
        MemCard card(built[t.image]);
        t.edit(card, uint64_t{kCases[t.image].start} * 512);
        const std::vector<uint8_t> before = card.bytes;
        VolumeInfo info;
        ClusterSpace space;
        EXPECT_EQ(virtualVolumeInformation(card.sectors(), cp437(), info), t.info);
        EXPECT_EQ(virtualFreeSpace(card.sectors(), space), t.space);
        EXPECT_EQ(setVirtualVolumeLabel(card.sectors(), cp437(), u"LABEL", kNow), t.label);
        EXPECT_TRUE(card.bytes == before);
    }
}

} // namespace
