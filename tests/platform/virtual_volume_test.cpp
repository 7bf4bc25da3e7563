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
#include <string>
#include <vector>

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
    for (const char* dir : {"/usr/sbin/", "/sbin/", "/usr/bin/", "/bin/"})
        if (::access((std::string(dir) + name).c_str(), X_OK) == 0) return std::string(dir) + name;
    return {};
}

// The text after `key` up to the end of its line, trailing blanks removed.
std::string after(const std::string& out, const std::string& key) {
    const size_t at = out.find(key);
    if (at == std::string::npos) return "<" + key + " missing>";
    std::string v = out.substr(at + key.size(), out.find('\n', at) - at - key.size());
    while (!v.empty() && v.back() == ' ') v.pop_back();
    return v.substr(std::min(v.size(), v.find_first_not_of(" \t")));
}

void put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t get32(const std::vector<uint8_t>& b, size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t{b[at + 3]} << 24;
}

// A card in memory that records every write and can fail reads or writes on request.
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

struct ImageCase {
    const char* name;
    VirtualFsType type;
    uint32_t start;    // partition start; 0: the card has no partition table
    uint32_t sectors;  // partition sectors
    uint32_t fsSector; // the file system's sector size
    const char* mkfs;  // mkfs.fat options
    const char* label;
    uint32_t serial;
};

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
constexpr uint32_t kTail = 64;  // card sectors after the partition, filled with a pattern

const LocalTime kNow{2024, 5, 17, 13, 45, 58, 0};

class Image {
public:
    explicit Image(const ImageCase& c)
        : c_(c), dir_(fs::temp_directory_path() /
                       ("brc_vv_" + std::to_string(::getpid()) + "_" + c.name)) {
        fs::create_directories(dir_);
    }
    ~Image() { fs::remove_all(dir_); }

    static bool toolsPresent() {
        for (const char* t : {"mkfs.fat", "mkfs.exfat", "fsck.fat", "fsck.exfat", "mlabel",
                              "mcopy", "fatlabel", "exfatlabel", "dump.exfat"})
            if (tool(t).empty()) return false;
        return true;
    }
    bool fat() const { return c_.type != VirtualFsType::ExFat; }
    fs::path card() const { return dir_ / "card.img"; }
    fs::path part() const { return dir_ / "part.img"; }
    uint64_t partBytes() const { return uint64_t{c_.start} * 512; }

    // The card: MBR (when partitioned), the file system, a file on FAT volumes, and a pattern
    // before and after the partition that no write may touch.
    std::vector<uint8_t> build() {
        const uint64_t total = c_.start + c_.sectors + (c_.start ? kTail : 0);
        std::vector<uint8_t> b(total * 512);
        if (!fat()) {
            save(part(), std::vector<uint8_t>(uint64_t{c_.sectors} * 512));
            EXPECT_EQ(run(tool("mkfs.exfat") + " -L '" + c_.label + "' " + part().string()).status, 0);
            char serial[16];
            std::snprintf(serial, sizeof serial, "0x%08X", c_.serial);
            EXPECT_EQ(run(tool("exfatlabel") + " -i " + part().string() + " " + serial).status, 0);
            const std::vector<uint8_t> p = load(part());
            std::copy(p.begin(), p.end(), b.begin() + static_cast<long>(partBytes()));
            save(card(), b);
        } else {
            save(card(), b);
            char serial[16];
            std::snprintf(serial, sizeof serial, "%08X", c_.serial);
            const Run mk = run(tool("mkfs.fat") + " " + c_.mkfs + " --offset=" +
                               std::to_string(partBytes() / c_.fsSector) + " -n '" + c_.label +
                               "' -i " + serial + " " + card().string() + " " +
                               std::to_string(c_.sectors / 2));
            EXPECT_EQ(mk.status, 0) << mk.out;
            save(dir_ / "file.bin", std::vector<uint8_t>(200000, 0x42));
            EXPECT_EQ(run(tool("mcopy") + " -i " + mtoolsCard() + " " + (dir_ / "file.bin").string() +
                          " ::").status, 0);
            b = load(card());
        }
        if (c_.start) {
            const uint8_t type = c_.type == VirtualFsType::Fat12   ? 0x01
                                 : c_.type == VirtualFsType::Fat16 ? 0x06
                                 : c_.type == VirtualFsType::Fat32 ? 0x0C : 0x07;
            std::fill(b.begin() + 512, b.begin() + static_cast<long>(partBytes()), 0x5A);
            std::fill(b.end() - kTail * 512, b.end(), 0xA5);
            b[446 + 4] = type;
            put32(b, 446 + 8, c_.start);
            put32(b, 446 + 12, c_.sectors);
            b[510] = 0x55;
            b[511] = 0xAA;
        }
        return b;
    }

    // What the independent tools read from the card.
    struct View {
        std::string label;
        uint32_t serial = 0;
        Run fsck;
        long long freeClusters = -1, totalClusters = -1;
    };
    View inspect(const std::vector<uint8_t>& b) {
        save(card(), b);
        save(part(), std::vector<uint8_t>(b.begin() + static_cast<long>(partBytes()),
                                          b.begin() + static_cast<long>(partBytes()) +
                                              uint64_t{c_.sectors} * 512));
        View v;
        if (fat()) {
            const Run ml = run(tool("mlabel") + " -s -i " + mtoolsCard() + " ::");
            v.label = ml.out.find("has no label") != std::string::npos
                          ? "" : after(ml.out, "Volume label is ");
            std::string fl = run(tool("fatlabel") + " " + part().string()).out;
            while (!fl.empty() && (fl.back() == '\n' || fl.back() == ' ')) fl.pop_back();
            EXPECT_EQ(fl, v.label) << "mlabel and fatlabel disagree";
            v.serial = static_cast<uint32_t>(
                std::stoul(run(tool("fatlabel") + " -i " + part().string()).out, nullptr, 16));
            v.fsck = run(tool("fsck.fat") + " -n " + part().string());
            const std::string counts = after(v.fsck.out, " files, ");
            const size_t slash = counts.find('/');
            if (slash != std::string::npos) {
                v.totalClusters = std::stoll(counts.substr(slash + 1));
                v.freeClusters = v.totalClusters - std::stoll(counts.substr(0, slash));
            }
        } else {
            // exfatlabel prints nothing for an empty label: dump.exfat reads the entry.
            const std::string dump = run(tool("dump.exfat") + " " + part().string()).out;
            v.label = after(dump, "Volume label:");
            if (!v.label.empty()) {
                EXPECT_EQ(after(run(tool("exfatlabel") + " " + part().string()).out, "label: "),
                          v.label);
            }
            v.serial = static_cast<uint32_t>(std::stoul(
                after(run(tool("exfatlabel") + " -i " + part().string()).out, "serial : "),
                nullptr, 16));
            v.fsck = run(tool("fsck.exfat") + " -n " + part().string());
            v.freeClusters = std::stoll(after(dump, "Free Clusters:"));
            v.totalClusters = std::stoll(after(dump, "Total Clusters:"));
        }
        return v;
    }

private:
    std::string mtoolsCard() const { return card().string() + "@@" + std::to_string(partBytes()); }
    static void save(const fs::path& p, const std::vector<uint8_t>& b) {
        std::ofstream(p, std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(b.data()), static_cast<long>(b.size()));
    }
    static std::vector<uint8_t> load(const fs::path& p) {
        std::vector<uint8_t> b(fs::file_size(p));
        std::ifstream(p, std::ios::binary)
            .read(reinterpret_cast<char*>(b.data()), static_cast<long>(b.size()));
        return b;
    }

    const ImageCase& c_;
    fs::path dir_;
};

// FAT32 after a label write: FAT entry 1 lost its clean-shutdown bit, as the system leaves it
// while the volume is mounted. Checks that and puts the bit back, as the format's repair does.
void expectMountedAndRepair(std::vector<uint8_t>& b, uint64_t base) {
    const uint32_t reserved = b[base + 14] | b[base + 15] << 8, fatSectors = get32(b, base + 36);
    for (uint64_t fat : {base + reserved * 512ull, base + (reserved + fatSectors) * 512ull}) {
        EXPECT_EQ(get32(b, fat + 4), 0x07FFFFFFu);
        put32(b, fat + 4, 0x0FFFFFFF);
    }
}

class VirtualVolume : public testing::TestWithParam<ImageCase> {};

TEST_P(VirtualVolume, AgreesWithTheToolsAndWritesLabelsTheyRead) {
    if (!Image::toolsPresent()) GTEST_SKIP() << "dosfstools, exfatprogs or mtools missing";
    const ImageCase& c = GetParam();
    Image image(c);
    MemCard card{image.build()};
    const std::vector<uint8_t> original = card.bytes;
    const Image::View made = image.inspect(card.bytes);
    ASSERT_EQ(made.fsck.status, 0) << made.fsck.out;

    VirtualVolumeLayout layout;
    ASSERT_EQ(locateVirtualVolume(card.sectors(), layout), 0u);
    EXPECT_EQ(layout.type, c.type);
    EXPECT_EQ(layout.firstSector, c.start);
    EXPECT_EQ(layout.bytesPerSector, c.fsSector);

    VolumeInformation info;
    ASSERT_EQ(virtualVolumeInformation(card.sectors(), cp437(), info), 0u);
    EXPECT_EQ(utf16ToUtf8(info.label), made.label);
    EXPECT_EQ(made.label, c.label);
    EXPECT_EQ(info.serial, made.serial);
    EXPECT_EQ(info.serial, c.serial);
    EXPECT_EQ(info.fileSystem, c.type == VirtualFsType::ExFat   ? u"exFAT"
                               : c.type == VirtualFsType::Fat32 ? u"FAT32" : u"FAT");
    EXPECT_EQ(info.maxComponentLength, 255u);
    EXPECT_EQ(info.flags, 0x6u);

    DiskFreeSpace space;
    ASSERT_EQ(virtualFreeSpace(card.sectors(), space), 0u);
    EXPECT_EQ(space.totalClusters, made.totalClusters);
    EXPECT_EQ(space.freeClusters, made.freeClusters);
    EXPECT_EQ(space.bytesPerSector, c.fsSector);

    const bool fat = c.type != VirtualFsType::ExFat;
    const std::u16string labels[] = {fat ? u"new label" : u"Nouvel été", u"", u"x"};
    for (const std::u16string& label : labels) {
        SCOPED_TRACE(utf16ToUtf8(label));
        ASSERT_EQ(setVirtualVolumeLabel(card.sectors(), cp437(), label, kNow), 0u);
        for (const auto& [first, n] : card.writes) {
            EXPECT_GE(first, c.start);
            EXPECT_LE(first + n, uint64_t{c.start} + c.sectors);
        }
        EXPECT_TRUE(std::equal(original.begin(), original.begin() + image.partBytes(),
                               card.bytes.begin()));
        EXPECT_TRUE(std::equal(original.end() - (c.start ? kTail : 0) * 512, original.end(),
                               card.bytes.end() - (c.start ? kTail : 0) * 512));

        std::u16string expected = label;
        if (fat)
            for (char16_t& ch : expected)
                if (ch >= u'a' && ch <= u'z') ch = static_cast<char16_t>(ch - u'a' + u'A');
        ASSERT_EQ(virtualVolumeInformation(card.sectors(), cp437(), info), 0u);
        EXPECT_EQ(info.label, expected);

        std::vector<uint8_t> checked = card.bytes;
        if (c.type == VirtualFsType::Fat32) {
            // The FSInfo copies hold the true free count while the volume counts as mounted.
            const Image::View mounted = image.inspect(checked);
            for (uint64_t s : {1, 7})
                EXPECT_EQ(get32(checked, image.partBytes() + s * 512 + 488), mounted.freeClusters);
            expectMountedAndRepair(checked, image.partBytes());
        }
        const Image::View now = image.inspect(checked);
        EXPECT_EQ(now.label, utf16ToUtf8(expected));
        EXPECT_EQ(now.fsck.status, 0) << now.fsck.out;
        EXPECT_EQ(now.freeClusters, made.freeClusters);
    }
}

INSTANTIATE_TEST_SUITE_P(Tools, VirtualVolume, testing::ValuesIn(kCases),
                         [](const auto& p) { return std::string(p.param.name); });

// Labels the file system cannot hold are refused without a write; those it can hold read back.
TEST(VirtualVolumeLabels, RefusedOrStoredByTheFileSystemsRules) {
    if (!Image::toolsPresent()) GTEST_SKIP() << "dosfstools, exfatprogs or mtools missing";
    struct Case {
        size_t image;  // index into kCases
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
        Image image(kCases[which]);
        MemCard card{image.build()};
        for (const Case& t : cases) {
            if (t.image != which) continue;
            SCOPED_TRACE(utf16ToUtf8(t.label));
            card.writes.clear();
            const uint32_t rc = setVirtualVolumeLabel(card.sectors(), cp437(), t.label, kNow);
            VolumeInformation info;
            ASSERT_EQ(virtualVolumeInformation(card.sectors(), cp437(), info), 0u);
            if (t.stored.empty()) {
                EXPECT_EQ(rc, kErrorInvalidName);
                EXPECT_TRUE(card.writes.empty());
                EXPECT_EQ(utf16ToUtf8(info.label), kCases[which].label);
            } else {
                EXPECT_EQ(rc, 0u);
                EXPECT_EQ(info.label, t.stored);
                ASSERT_EQ(setVirtualVolumeLabel(card.sectors(), cp437(),
                                                utf8ToUtf16(kCases[which].label), kNow), 0u);
            }
        }
    }
}

// A damaged card gives an error code, never a crash, a hang or a write.
TEST(VirtualVolumeDamage, CleanFailures) {
    if (!Image::toolsPresent()) GTEST_SKIP() << "dosfstools, exfatprogs or mtools missing";
    using Edit = std::function<void(MemCard&, uint64_t base)>;
    const auto exfatChecksum = [](std::vector<uint8_t>& b, uint64_t base) {
        uint32_t sum = 0;
        for (size_t i = 0; i < 11 * 512; ++i)
            if (i != 106 && i != 107 && i != 112)
                sum = ((sum & 1) ? 0x80000000u : 0) + (sum >> 1) + b[base + i];
        for (size_t i = 0; i < 512; i += 4) put32(b, base + 11 * 512 + i, sum);
    };
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
        {"truncated superfloppy", 0, [](MemCard& c, uint64_t) { c.bytes.resize(40 * 512); },
         kBad, kBad, kBad},
        {"garbage boot sector", 2, [](MemCard& c, uint64_t b) {
             for (int i = 0; i < 512; ++i) c.bytes[b + i] = static_cast<uint8_t>(i * 97 + 13); },
         kBad, kBad, kBad},
        {"bytes per sector 0", 2, [](MemCard& c, uint64_t b) { c.bytes[b + 11] = c.bytes[b + 12] = 0; },
         kBad, kBad, kBad},
        {"3 sectors per cluster", 2, [](MemCard& c, uint64_t b) { c.bytes[b + 13] = 3; }, kBad, kBad, kBad},
        {"volume beyond partition", 4, [](MemCard& c, uint64_t b) { put32(c.bytes, b + 32, 0xFFFFFFF0); },
         kBad, kBad, kBad},
        {"FAT too small for the clusters", 4, [](MemCard& c, uint64_t b) { put32(c.bytes, b + 36, 1); },
         kBad, kBad, kBad},
        {"root cluster outside the heap", 4, [](MemCard& c, uint64_t b) { put32(c.bytes, b + 44, 0x0FFFFFF0); },
         kBad, kBad, kBad},
        {"partition beyond the card", 2, [](MemCard& c, uint64_t) { put32(c.bytes, 446 + 12, 0xFFFFFF00); },
         kBad, kBad, kBad},
        {"no boot signature", 2, [](MemCard& c, uint64_t) { c.bytes[510] = 0; }, kBad, kBad, kBad},
        {"exFAT checksum wrong", 5, [](MemCard& c, uint64_t b) { c.bytes[b + 600] ^= 1; }, kBad, kBad, kBad},
        {"exFAT huge cluster count", 5, [&](MemCard& c, uint64_t b) {
             put32(c.bytes, b + 92, 0xFFFFFFF0); exfatChecksum(c.bytes, b); }, kBad, kBad, kBad},
        {"exFAT sector shift 30", 5, [&](MemCard& c, uint64_t b) {
             c.bytes[b + 108] = 30; exfatChecksum(c.bytes, b); }, kBad, kBad, kBad},
        {"exFAT root outside the heap", 5, [&](MemCard& c, uint64_t b) {
             put32(c.bytes, b + 96, 0x7FFFFFFF); exfatChecksum(c.bytes, b); }, kBad, kBad, kBad},
        // The root directory chains to itself and is full: bounded scan, no slot for a label.
        {"FAT32 root chain loop", 4, [](MemCard& c, uint64_t b) {
             const uint32_t res = c.bytes[b + 14] | c.bytes[b + 15] << 8;
             put32(c.bytes, b + res * 512 + 8, 2);
             const uint64_t root = b + (res + 2ull * get32(c.bytes, b + 36)) * 512;
             for (int e = 0; e < 16; ++e) std::fill_n(c.bytes.begin() + root + e * 32, 11, 'A');
             for (int e = 0; e < 16; ++e) c.bytes[root + e * 32 + 11] = 0x20; },
         0, 0, kErrorDiskFull},
        {"FAT unreadable", 2, [](MemCard& c, uint64_t b) { c.failReadsFrom = b / 512 + 1; },
         kErrorReadFault, kErrorReadFault, kErrorReadFault},
        {"write refused", 2, [](MemCard& c, uint64_t) { c.failWrites = true; }, 0, 0, kErrorWriteFault},
    };
    std::vector<std::vector<uint8_t>> built(std::size(kCases));
    for (const Case& t : cases) {
        SCOPED_TRACE(t.name);
        if (built[t.image].empty()) built[t.image] = Image(kCases[t.image]).build();
        MemCard card{built[t.image]};
        t.edit(card, uint64_t{kCases[t.image].start} * 512);
        const std::vector<uint8_t> before = card.bytes;
        VolumeInformation info;
        DiskFreeSpace space;
        EXPECT_EQ(virtualVolumeInformation(card.sectors(), cp437(), info), t.info);
        EXPECT_EQ(virtualFreeSpace(card.sectors(), space), t.space);
        EXPECT_EQ(setVirtualVolumeLabel(card.sectors(), cp437(), u"LABEL", kNow), t.label);
        EXPECT_TRUE(card.bytes == before);
    }
}

} // namespace
