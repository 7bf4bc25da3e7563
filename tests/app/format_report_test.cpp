// The volume-information report after a format.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "base/format_types.h"
#include "app/format_report.h"
#include "progress/progress.h"
#include "res/message_ids.h"

namespace brc {
namespace {

// Gives "<id>" for every id, so a test sees which messages went where and in what order.
class MarkerMessages final : public MessageSource {
public:
    std::u16string text(uint32_t id) const override {
        return asciiToUtf16("<" + std::to_string(id) + ">");
    }
};

TEST(FileSystemName, AsTheReportNamesThem) {
    struct Case { uint32_t fsType; const char* name; };
    const Case cases[] = {{Fat12, "FAT"}, {Fat16, "FAT"}, {Fat32, "FAT32"}, {ExFat, "exFAT"},
                          {0, "FAT"},     {12, "FAT"}};
    for (const Case& c : cases) EXPECT_STREQ(fileSystemName(c.fsType), c.name) << c.fsType;
}

TEST(TotalSpace, EachFormAtAndAcrossItsLimits) {
    struct Case { uint32_t sectors; const char* afterSuccess; const char* afterReinsert; };
    const Case cases[] = {
        {0, "0 KB", "0 KB"},
        {1, "0 KB", "0 KB"},
        {2047, "1023 KB", "1023 KB"},
        {2048, "1.00 MB", "1.00 MB"},
        {20479, "9.99 MB", "9.99 MB"},
        {20480, "10.0 MB", "10.0 MB"},
        {204799, "99.9 MB", "99.9 MB"},
        {204800, "100 MB", "100 MB"},
        {1953125, "953 MB", "953 MB"},
        {2097151, "1023 MB", "1023 MB"},
        {2097152, "1.00 GB", "1.00 GB"},
        {7741440, "3.69 GB", "3.69 GB"},
        {20971519, "9.99 GB", "9.99 GB"},
        {20971520, "10.0 GB", "10.0 GB"},
        {209715199, "99.9 GB", "99.9 GB"},
        {209715200, "100.0 GB", "100 GB"},
        {249737216, "119.0 GB", "119 GB"},
        {2147483647, "1023.9 GB", "1023 GB"},  // truncated: rounding would give 1024.0
        {2147483648u, "1024.0 GB", "1.00 TB"},
        {4294967295u, "2047.9 GB", "1.99 TB"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(formatTotalSpace(c.sectors, false), std::string(" - Total space = ") + c.afterSuccess + " ")
            << c.sectors;
        EXPECT_EQ(formatTotalSpace(c.sectors, true), std::string(" - Total space = ") + c.afterReinsert + " ")
            << c.sectors;
    }
}

// The figures worked out in integers: floor(S × digits / 2^shift) with the decimals split off.
std::string exactFigure(uint32_t s, unsigned shift, unsigned digits) {
    const uint64_t q = (uint64_t{s} * digits) >> shift;
    std::string frac = std::to_string(q % digits);
    while (frac.size() < (digits == 10 ? 1u : 2u)) frac.insert(0, "0");
    return std::to_string(q / digits) + "." + frac;
}

TEST(TotalSpace, FractionalFormsTruncateAcrossTheirWholeRange) {
    struct Range { uint32_t low, high; bool reinsert; unsigned shift, digits; const char* unit; };
    const Range ranges[] = {
        {2048, 20479, false, 11, 100, "MB"},
        {20480, 204799, false, 11, 10, "MB"},
        {2097152, 20971519, false, 21, 100, "GB"},
        {20971520, 0xFFFFFFFFu, false, 21, 10, "GB"},
        {20971520, 209715199, true, 21, 10, "GB"},
        {0x80000000u, 0xFFFFFFFFu, true, 31, 100, "TB"},
    };
    for (const Range& r : ranges) {
        const uint64_t span = uint64_t{r.high} - r.low;
        for (uint64_t i = 0; i <= 4000; ++i) {
            // Both ends, and values just below each step of the shown figure.
            const uint32_t s = static_cast<uint32_t>(r.low + span * i / 4000);
            for (uint32_t v : {s, s == r.low ? s : s - 1}) {
                const std::string want =
                    " - Total space = " + exactFigure(v, r.shift, r.digits) + " " + r.unit + " ";
                ASSERT_EQ(formatTotalSpace(v, r.reinsert), want) << v;
            }
        }
    }
}

// Thousands separators put in by hand, for comparison.
std::string grouped(uint64_t v) {
    std::string digits = std::to_string(v);
    for (int i = static_cast<int>(digits.size()) - 3; i > 0; i -= 3)
        digits.insert(static_cast<size_t>(i), ",");
    return digits;
}

TEST(ByteCount, GroupsOfThreeAtEveryLimit) {
    const uint64_t cases[] = {0,       999,     1000,       999999,     1000000,
                              1000001, 1048064, 999999999, 1000000000, 999999999999};
    for (uint64_t b : cases)
        EXPECT_EQ(formatByteCount(b), "(" + grouped(b) + " Bytes)    \n") << b;
    EXPECT_EQ(formatByteCount(1000000001), "(1,000,000,001 Bytes)    \n");
    // A card of 2 TiB less one sector: five groups, never a leading group of four digits.
    EXPECT_EQ(formatByteCount(2199023255040), "(2,199,023,255,040 Bytes)    \n");
    for (uint64_t b = 7; b < 2199023255040u; b = b * 3 + 1)
        ASSERT_EQ(formatByteCount(b), "(" + grouped(b) + " Bytes)    \n") << b;
}

TEST(VolumeInformation, BlockLayout) {
    struct Case {
        bool reinsert;
        uint32_t fs, sectors, cluster;
        const char* expected;
    };
    const Case cases[] = {
        {false, ExFat, 249737216, 131072,
         "\n\n Volume Information \n - File system : exFAT\n"
         " - Total space = 119.0 GB (127,865,454,592 Bytes)    \n - Cluster size = 131072 Bytes"},
        {false, Fat32, 7741440, 32768,
         "\n\n Volume Information \n - File system : FAT32\n"
         " - Total space = 3.69 GB (3,963,617,280 Bytes)    \n - Cluster size = 32768 Bytes"},
        {false, Fat12, 2047, 512,
         "\n\n Volume Information \n - File system : FAT\n"
         " - Total space = 1023 KB (1,048,064 Bytes)    \n - Cluster size = 512 Bytes"},
    };
    for (const Case& c : cases) {
        std::u16string report = u"head";
        appendVolumeInformation(report, c.reinsert, c.fs, c.sectors, c.cluster);
        EXPECT_EQ(report, u"head" + asciiToUtf16(c.expected)) << c.sectors;
    }
}

TEST(ReportNote, ChosenByPassesRunAndStatus) {
    struct Case { int32_t overwrite, erase; uint32_t status, note; };
    const Case cases[] = {
        // Quick: nothing ran.
        {-1, -1, 0, 0},
        {-1, -1, 0x7F, 0},
        // Overwrite failed and no erase ran.
        {9, -1, 0x04, 0},
        // Overwrite and erase both ran: overwrite cancel wins over erase cancel.
        {0, 0, 0, 250},
        {0, 0, 0x04 | 0x40, 256},
        {0, 0, 0x40, 257},
        {0, 0, 0x11, 250},  // error bits choose no note
        // Overwrite only, or the erase after it failed.
        {0, -1, 0, 251},
        {0, -1, 0x04, 258},
        {0, 5, 0x20, 254},
        {0, 5, 0x24, 258},
        {0, 5, 0x10, 251},
        // Erase only (overwrite not run, -1) or after a failed overwrite.
        {-1, 0, 0, 265},
        {-1, 0, 0x40, 262},
        {-1, 7, 0x20, 267},
        {-1, 7, 0x60, 262},
        {3, 0, 0x04, 265},
    };
    for (const Case& c : cases)
        EXPECT_EQ(reportNoteId(c.overwrite, c.erase, c.status), c.note)
            << c.overwrite << " " << c.erase << " " << c.status;
}

// The message a result is shown with, before the format (the label check) and after it.
TEST(ResultMessage, EachResultBeforeAndAfterTheFormat) {
    const struct {
        int32_t result;
        uint32_t before, after, style;
    } rows[] = {
        {Success, 0, 0, kStyleError},
        {SuccessReinsertCard, msg::CannotFormat, 0, kStyleInformation},
        {CardNotReady, msg::CannotFormatReinsertCard, msg::CannotFormatReinsertCard, kStyleError},
        {WriteProtected, msg::ReleaseWriteProtectSwitch, msg::ReleaseWriteProtectSwitch,
         kStyleInformation},
        {WriteProtectSwitch, msg::CardWriteProtected, msg::CardWriteProtected, kStyleError},
        {CardIdentifyFailed, msg::DriveOrCardNotSupported, msg::DriveOrCardNotSupported,
         kStyleError},
        {AccessDenied, msg::AdministratorRequired, msg::AdministratorRequired, kStyleError},
        {Failed, msg::CannotFormat, msg::CannotFormat, kStyleError},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(resultMessageId(row.result, false), row.before) << row.result;
        EXPECT_EQ(resultMessageId(row.result, true), row.after) << row.result;
        EXPECT_EQ(resultMessageStyle(row.result), row.style) << row.result;
    }
}

TEST(VolumeReport, HeaderLabelNoteAndBlockInOrder) {
    const MarkerMessages messages;
    FormatReportValues values;
    values.fileSystemKind = Fat32;
    values.totalSectors = 209715200;
    values.clusterBytes = 32768;
    const std::u16string block100 =
        u"\n\n Volume Information \n - File system : FAT32\n - Total space = 100.0 GB "
        u"(107,374,182,400 Bytes)    \n - Cluster size = 32768 Bytes";
    const std::u16string block100Reinsert =
        u"\n\n Volume Information \n - File system : FAT32\n - Total space = 100 GB "
        u"(107,374,182,400 Bytes)    \n - Cluster size = 32768 Bytes";

    struct Case {
        int32_t result;
        uint32_t labelRejected;
        int32_t overwrite, erase;
        uint32_t status;
        std::u16string expected;
    };
    const Case cases[] = {
        {Success, 0, -1, -1, 0, u"<208>" + block100},
        {SuccessReinsertCard, 0, -1, -1, 0, u"<218>" + block100Reinsert},
        {Success, 1, -1, -1, 0, u"<208><268>" + block100},
        {SuccessReinsertCard, 0xFFFFFFFFu, -1, -1, 0, u"<218><268>" + block100Reinsert},
        {Success, 0, 0, 0, 0, u"<208><250>" + block100},
        {Success, 1, -1, 7, 0x20, u"<208><268><267>" + block100},
        {SuccessReinsertCard, 1, 0, -1, 0x04, u"<218><268><258>" + block100Reinsert},
    };
    for (const Case& c : cases) {
        values.overwriteResult = c.overwrite;
        values.eraseResult = c.erase;
        values.status = c.status;
        EXPECT_EQ(buildVolumeReport(messages, c.result, c.labelRejected, values), c.expected)
            << c.result << " " << c.labelRejected;
    }
}

TEST(VolumeReport, RejectedLabelFollowsTheHeaderWithoutABreak) {
    const MessageSource& messages = builtinMessages();
    FormatReportValues values;
    values.fileSystemKind = ExFat;
    values.totalSectors = 7741440;
    values.clusterBytes = 32768;
    const std::u16string report = buildVolumeReport(messages, Success, 1, values);
    const std::u16string head =
        messages.text(msg::FormatFinished) + messages.text(msg::LabelInvalid);
    ASSERT_FALSE(messages.text(msg::FormatFinished).empty());
    ASSERT_FALSE(messages.text(msg::LabelInvalid).empty());
    EXPECT_EQ(report.substr(0, head.size()), head);
    EXPECT_EQ(report.substr(head.size()),
              u"\n\n Volume Information \n - File system : exFAT\n - Total space = 3.69 GB "
              u"(3,963,617,280 Bytes)    \n - Cluster size = 32768 Bytes");
}

} // namespace
} // namespace brc
