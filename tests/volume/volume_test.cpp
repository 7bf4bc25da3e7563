// The volume model: which boot sectors each reader takes and why it refuses the others, the
// FAT-type rule, the label codec and the exFAT boot checksum, on sectors built in memory.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

#include "base/little_endian.h"
#include "volume/boot_sector.h"
#include "volume/volume_label.h"

using namespace brc;

namespace {

using Sector = std::array<uint8_t, 512>;

// A FAT boot sector of these fields; FAT32's extended fields when fatSize16 is 0.
struct FatFields {
    uint16_t bytesPerSector = 512;
    uint8_t sectorsPerCluster = 8;
    uint16_t reserved = 1;
    uint8_t fats = 2;
    uint16_t rootEntries = 512;
    uint32_t totalSectors = 65536;
    uint16_t fatSize16 = 64;
    uint32_t fatSize32 = 0;
    uint8_t media = 0xF8;
    uint32_t rootCluster = 2;
};

Sector fatBoot(const FatFields& f) {
    Sector b{};
    b[0] = 0xEB;
    b[1] = 0x3C;
    b[2] = 0x90;
    put16(&b[11], f.bytesPerSector);
    b[13] = f.sectorsPerCluster;
    put16(&b[14], f.reserved);
    b[16] = f.fats;
    put16(&b[17], f.rootEntries);
    b[21] = f.media;
    put16(&b[22], f.fatSize16);
    put32(&b[32], f.totalSectors);
    const size_t ext = f.fatSize16 == 0 ? 64 : 36;  // drive number; signature, id, label follow
    if (f.fatSize16 == 0) {
        put32(&b[36], f.fatSize32);
        put32(&b[44], f.rootCluster);
        put16(&b[48], 1);
        put16(&b[50], 6);
    }
    b[ext + 2] = 0x29;
    put32(&b[ext + 3], 0x1234ABCD);
    std::memcpy(&b[ext + 7], "NO NAME    ", 11);
    b[510] = 0x55;
    b[511] = 0xAA;
    return b;
}

struct BootCase {
    const char* name;
    FatFields fields;
    FsType byClusters, bySystem;
    BootKind check;
    const char* checkWhy;  // words of the check's reason, when it refuses
    BootKind system;
};

// 65,536 sectors of 8-sector clusters make a FAT16 cluster count; 2,048 sectors a FAT12 one;
// 4,194,304 sectors of 8-sector clusters a FAT32 one.
const BootCase kBootCases[] = {
    {"FAT16", {}, Fat16, Fat16, BootKind::Volume, "", BootKind::Volume},
    {"FAT12", {.totalSectors = 2048, .fatSize16 = 2}, Fat12, Fat12, BootKind::Volume, "",
     BootKind::Volume},
    {"FAT32", {.rootEntries = 0, .totalSectors = 4194304, .fatSize16 = 0, .fatSize32 = 4096},
     Fat32, Fat32, BootKind::Volume, "", BootKind::Volume},
    // mkfs.fat -F 32 on a small card: FAT32's fields, FAT16's cluster count.
    {"FAT32 fields, FAT16 cluster count", {.rootEntries = 0, .fatSize16 = 0, .fatSize32 = 64},
     Fat16, Fat32, BootKind::Damaged, "FAT16's cluster count but no 16-bit FAT size",
     BootKind::Volume},
    {"FAT16 fields, FAT32 cluster count", {.totalSectors = 4194304, .fatSize16 = 4096}, Fat32,
     Fat16, BootKind::Damaged, "FAT32's cluster count but FAT16's fields", BootKind::Damaged},
    {"FAT32 with a fixed root directory",
     {.totalSectors = 4194304, .fatSize16 = 0, .fatSize32 = 4096}, Fat32, Fat32,
     BootKind::Damaged, "FAT32's cluster count but FAT16's fields", BootKind::Damaged},
    {"4096-byte sectors", {.bytesPerSector = 4096}, Fat16, Fat16,
     BootKind::Damaged, "512-byte sectors", BootKind::Volume},
    {"no media byte", {.media = 0x12}, Fat16, Fat16, BootKind::Volume, "", BootKind::Damaged},
    {"five FATs", {.fats = 5}, Fat16, Fat16, BootKind::Volume, "", BootKind::Damaged},
    {"cluster size no power of two", {.sectorsPerCluster = 6}, Fat16, Fat16, BootKind::Damaged,
     "not a power of two", BootKind::Damaged},
    {"FAT too small", {.fatSize16 = 8}, Fat16, Fat16, BootKind::Damaged, "cannot hold",
     BootKind::Damaged},
    {"no FAT", {.fats = 0}, Fat16, Fat16, BootKind::Damaged, "gives no FAT", BootKind::Damaged},
};

TEST(BootSector, EachReaderTakesWhatItMayAndSaysWhyNot) {
    for (const BootCase& c : kBootCases) {
        SCOPED_TRACE(c.name);
        const Sector b = fatBoot(c.fields);
        const auto boot = readFatBootSector(b);
        ASSERT_TRUE(boot);
        const FatTypeReading reading = fatTypeOf(*boot);
        EXPECT_EQ(reading.byClusters, c.byClusters);
        EXPECT_EQ(reading.bySystem, c.bySystem);
        const BootRecognition check = recognizeBootSector(b.data(), BootReader::Check);
        EXPECT_EQ(check.kind, c.check) << check.why;
        if (c.check == BootKind::Damaged) {
            EXPECT_NE(check.why.find(c.checkWhy), std::string::npos) << check.why;
        } else {
            EXPECT_EQ(check.volume.type, c.byClusters);
        }
        const BootRecognition system =
            recognizeBootSector(b.data(), BootReader::System, uint64_t{c.fields.totalSectors} * 4096);
        EXPECT_EQ(system.kind, c.system) << system.why;
        if (system.kind == BootKind::Volume) {
            EXPECT_EQ(system.volume.type, c.bySystem);
            EXPECT_EQ(system.volume.serial, 0x1234ABCDu);
        }
    }
}

TEST(BootSector, TheSystemReaderKeepsTheVolumeInsideItsPartition) {
    const Sector b = fatBoot({});
    EXPECT_EQ(recognizeBootSector(b.data(), BootReader::System, 65536 * 512).kind, BootKind::Volume);
    EXPECT_EQ(recognizeBootSector(b.data(), BootReader::System, 65535 * 512).kind, BootKind::Damaged);
    Sector noise{};
    noise[0] = 0x12;
    EXPECT_EQ(recognizeBootSector(noise.data(), BootReader::Check).kind, BootKind::None);
    EXPECT_EQ(recognizeBootSector(noise.data(), BootReader::System).kind, BootKind::None);
}

// An exFAT boot region of 12 sectors with its checksum in place.
std::vector<uint8_t> exFatRegion(size_t sectorBytes) {
    std::vector<uint8_t> region(12 * sectorBytes);
    for (size_t i = 0; i < 11 * sectorBytes; ++i) region[i] = static_cast<uint8_t>(i * 7 + 3);
    uint32_t sum = 0;
    for (size_t i = 0; i < 11 * sectorBytes; ++i) {
        if (i == 106 || i == 107 || i == 112) continue;
        sum = ((sum & 1) ? 0x80000000u : 0) + (sum >> 1) + region[i];
    }
    for (size_t i = 11 * sectorBytes; i < 12 * sectorBytes; i += 4) put32(&region[i], sum);
    return region;
}

TEST(ExFatBootChecksum, CoversTheRegionButTheFieldsThatChangeInUse) {
    struct Row {
        const char* name;
        size_t sectorBytes, offset;  // byte changed; SIZE_MAX: none
        bool matches;
    };
    const Row rows[] = {
        {"as written", 512, SIZE_MAX, true},
        {"4096-byte sectors as written", 4096, SIZE_MAX, true},
        {"a byte of an extended boot sector", 512, 512 + 40, false},
        {"the last byte summed", 512, 11 * 512 - 1, false},
        {"VolumeFlags", 512, 106, true},
        {"PercentInUse", 512, 112, true},
        {"one copy of the checksum", 512, 11 * 512 + 300, false},
        {"a byte of the OEM sector, 4096-byte sectors", 4096, 9 * 4096 + 5, false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        std::vector<uint8_t> region = exFatRegion(r.sectorBytes);
        if (r.offset != SIZE_MAX) region[r.offset] ^= 0x40;
        EXPECT_EQ(exFatBootChecksumMatches(region.data(), r.sectorBytes), r.matches);
    }
}

TEST(FatLabel, DecodesTheNameFieldAsStored) {
    struct Row {
        const char* name;
        const char bytes[12];
        FatLabelEnd end;
        std::u16string label;
    };
    const Row rows[] = {
        {"padded", "CARD       ", FatLabelEnd::Blanks, u"CARD"},
        {"05h stands for E5h (sigma in code page 437)", "\x05" "BC        ", FatLabelEnd::Blanks,
         u"\u03C3BC"},
        {"05h alone", "\x05          ", FatLabelEnd::NulOrBlanks, u"\u03C3"},
        {"blanks only", "           ", FatLabelEnd::Blanks, u""},
        {"inner blanks kept", "MY CARD    ", FatLabelEnd::NulOrBlanks, u"MY CARD"},
        {"00h ends it for the system", "AB\0\0\0\0\0\0\0\0\0", FatLabelEnd::NulOrBlanks, u"AB"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(decodeFatLabel(reinterpret_cast<const uint8_t*>(r.bytes), cp437(), r.end), r.label);
    }
    // Only the first byte stands for E5h.
    const char inner[12] = "A\x05         ";
    EXPECT_EQ(decodeFatLabel(reinterpret_cast<const uint8_t*>(inner), cp437()),
              u"A" + cp437().decode("\x05"));
}

TEST(FatLabel, EncodesWhatFatMayHoldAndStoresE5As05) {
    struct Row {
        std::u16string label;
        bool valid;
        const char* stored;  // the directory entry's name
    };
    const Row rows[] = {
        {u"card", true, "CARD       "},
        {u"\u03C3ABC", true, "\x05" "ABC       "},
        {u"ABCDEFGHIJK", true, "ABCDEFGHIJK"},
        {u"ABCDEFGHIJKL", false, nullptr},
        {u"A.B", false, nullptr},
        {u"A\tB", false, nullptr},
        {u"\u4E2D", false, nullptr},  // not in code page 437
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(utf16ToUtf8(r.label));
        std::string name;
        ASSERT_EQ(encodeFatLabel(r.label, cp437(), name), r.valid);
        if (!r.valid) continue;
        std::array<uint8_t, 11> entry{};
        std::memcpy(entry.data(), name.data(), 11);
        storeFatNameLead(entry.data());
        EXPECT_EQ(std::string(entry.begin(), entry.end()), r.stored);
        // What is stored reads back as the label, upper-cased.
        std::u16string upper = r.label;
        for (char16_t& c : upper)
            if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
        EXPECT_EQ(decodeFatLabel(entry.data(), cp437()), upper);
    }
}

TEST(ExFatLabel, ValidatesAndDecodesTheLabelEntry) {
    EXPECT_TRUE(isValidExFatLabel(u"Grüße σ"));
    EXPECT_TRUE(isValidExFatLabel(u"ABCDEFGHIJK"));
    EXPECT_FALSE(isValidExFatLabel(u"ABCDEFGHIJKL"));
    EXPECT_FALSE(isValidExFatLabel(u"a:b"));
    std::array<uint8_t, 32> entry{};
    entry[0] = 0x83;
    const std::u16string text = u"ABCDEFGHIJKLM";
    for (size_t i = 0; i < 11; ++i) put16(&entry[2 + 2 * i], text[i]);
    for (int count : {0, 3, 11, 12, 255}) {
        entry[1] = static_cast<uint8_t>(count);
        EXPECT_EQ(decodeExFatLabel(entry.data()), text.substr(0, std::min<size_t>(count, 11)));
    }
}

} // namespace
