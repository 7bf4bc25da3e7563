// How a quick format ends when something goes wrong: a label the file system cannot hold, a
// write-protected card, a card that goes away, a chunk that cannot be written.
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "app/format_report.h"
#include "res/message_ids.h"
#include "tests/format/format_rig.h"
#include "tests/support/scratch_dir.h"

namespace brc::format_test {
namespace {

// ---- a label the writers drop -----------------------------------------------------------------

struct LabelCase {
    const char* name;
    uint32_t userSectors;
    FsType fsType;
    const char16_t* label;
    uint32_t rejectedBefore;  // labelRejected as an earlier pass of the same format left it
    const char16_t* written;  // the label handed back and found in the root directory; u"" none
};
void PrintTo(const LabelCase& c, std::ostream* os) { *os << c.name; }

const LabelCase kLabelCases[] = {
    {"Fat16Dot", 130900, Fat16, u"a.b", 0, u""},
    {"Fat32Dot", 7744512, Fat32, u"a.b", 0, u""},
    {"Fat12TooLong", 15360, Fat12, u"TWELVE CHARS", 0, u""},
    {"ExFatStar", 67108864, ExFat, u"a*b", 0, u""},
    {"Fat16RejectedEarlier", 130900, Fat16, u"GOOD", 1, u""},
    // Accepted labels for contrast: FAT stores them upper-cased, exFAT as typed.
    {"Fat12Kept", 15360, Fat12, u"card", 0, u"CARD"},
    {"Fat32Kept", 7744512, Fat32, u"my card", 0, u"MY CARD"},
    {"ExFatDotKept", 67108864, ExFat, u"a.b", 0, u"a.b"},
};

class RejectedLabel : public ::testing::TestWithParam<LabelCase> {};

TEST_P(RejectedLabel, FormatGoesOnWithoutTheLabelAndTheReportSaysSo) {
    const LabelCase& c = GetParam();
    const bool dropped = std::u16string(c.written).empty();
    FakeRig rig(c.userSectors, 0);
    rig.flags.labelRejected = c.rejectedBefore;
    std::u16string label = c.label;

    const int32_t result = formatVolume(rig.ctx, label, false);
    ASSERT_TRUE(result == Success || result == SuccessReinsertCard) << result;
    EXPECT_EQ(label, c.written);
    EXPECT_EQ(rig.flags.labelRejected != 0, dropped);
    ASSERT_EQ(rig.report.reportFsType, static_cast<uint32_t>(c.fsType));

    const RootSpan root = rootFromCard(c.fsType, [&](uint64_t s) {
        return rig.card.get(static_cast<uint32_t>(s));
    });
    const Sector dir = rig.card.get(static_cast<uint32_t>(root.first));
    const std::u16string written = c.written;
    if (c.fsType == ExFat) {
        // The label entry is always there; without a label it counts no characters.
        EXPECT_EQ(dir[0], 0x83);
        ASSERT_EQ(dir[1], written.size());
        for (size_t i = 0; i < 11; ++i)
            EXPECT_EQ(le16(dir.data() + 2 + 2 * i), i < written.size() ? written[i] : 0) << i;
    } else {
        const Sector boot = rig.card.get(le32(rig.card.get(0).data() + 454));
        const size_t labelAt = c.fsType == Fat32 ? 71 : 43;
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(boot.data() + labelAt), 11), "NO NAME    ");
        if (dropped) {
            EXPECT_EQ(dir, Sector{}) << "the root directory holds an entry";
        } else {
            std::string name(11, ' ');
            for (size_t i = 0; i < written.size(); ++i) name[i] = static_cast<char>(written[i]);
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(dir.data()), 11), name);
            EXPECT_EQ(dir[11], 0x08);
        }
    }

    // The report: its header, then the label message straight after it when the label was dropped.
    FormatReportValues values;
    values.fileSystemKind = rig.report.reportFsType;
    values.totalSectors = rig.report.reportDataSectors;
    values.clusterBytes = rig.report.reportClusterBytes;
    const std::u16string report = buildVolumeReport(builtinMessages(), result, rig.flags.labelRejected, values);
    const std::u16string header = builtinMessages().text(
        result == SuccessReinsertCard ? msg::FormatFinishedRemoveCard : msg::FormatFinished);
    const std::u16string note = builtinMessages().text(msg::LabelInvalid);
    ASSERT_FALSE(note.empty());
    ASSERT_EQ(report.compare(0, header.size(), header), 0);
    EXPECT_EQ(report.compare(header.size(), note.size(), note) == 0, dropped);
}

INSTANTIATE_TEST_SUITE_P(Labels, RejectedLabel, ::testing::ValuesIn(kLabelCases),
                         [](const auto& p) { return std::string(p.param.name); });

// ---- a chunk that cannot be written (fake card: every call recorded) ---------------------------

struct FailingChunkCard {
    const char* name;
    uint32_t userSectors, protectedSectors;
};
void PrintTo(const FailingChunkCard& c, std::ostream* os) { *os << c.name; }

const FailingChunkCard kFailingChunkCards[] = {
    {"Fat16", 1984000, 30720},
    {"Fat32", 7744512, 0},
    {"ExFat", 67108864, 0},
};

class FailingChunk : public ::testing::TestWithParam<FailingChunkCard> {};

TEST_P(FailingChunk, StopsThePassWithNothingWrittenAfterIt) {
    const FailingChunkCard& c = GetParam();
    uint64_t chunks = 0;
    {
        FakeRig rig(c.userSectors, c.protectedSectors);
        FormatPlan plan;
        ASSERT_EQ(planFormat(rig.driver, u"", false, &plan), 0u);
        chunks = roundUpToChunk(rootFromLayout(plan.params).end()) / kChunk;
    }
    ASSERT_GT(chunks, 3u);
    const uint32_t code = 0x1F3;  // any driver failure
    for (uint32_t k : {uint32_t{1}, uint32_t{2}, static_cast<uint32_t>(chunks / 2),
                       static_cast<uint32_t>(chunks)}) {
        for (bool wholeFormat : {false, true}) {
            SCOPED_TRACE("failing call " + std::to_string(k) + (wholeFormat ? ", formatVolume" : ", one pass"));
            FakeRig rig(c.userSectors, c.protectedSectors);
            rig.card.fail(Op::Write, code, k);
            std::u16string label = u"X";
            if (wholeFormat) {
                EXPECT_EQ(formatVolume(rig.ctx, label, false), Failed);
            } else {
                EXPECT_EQ(writeFileSystem(rig.ctx, label, false, false), code);
            }
            const auto w = rig.card.callsOf(Op::Write);
            ASSERT_EQ(w.size(), k) << "calls after the failing one";
            for (uint32_t i = 0; i < k; ++i) {
                EXPECT_EQ(w[i].first, i * kChunk);
                EXPECT_EQ(w[i].count, kChunk);
                EXPECT_EQ(w[i].result, i + 1 == k ? code : 0u);
            }
            for (const auto& [s, data] : rig.card.sectors)
                EXPECT_LT(s, (k - 1) * kChunk) << "sector written at or past the failed chunk";
            // A failed pass leaves the report as it was.
            EXPECT_EQ(rig.report.reportFsType, 0u);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Cards, FailingChunk, ::testing::ValuesIn(kFailingChunkCards),
                         [](const auto& p) { return std::string(p.param.name); });

// ---- faults of the real driver libraries ------------------------------------------------------

// Where in the stream of chunk writes a fault sits: N of the sidecar, resolved against the
// card's layout. fail_write_call = N leaves N - 1 chunks written, vanish_after_writes = N leaves N.
enum class At { First, Second, Third, BootChunk, BeforeLast, Last };

struct FaultCase {
    const char* name;
    uint32_t route;
    const char* sidecar;   // "N" stands for the number `at` resolves to
    At at;
    uint32_t passResult;   // writeFileSystem's write pass
    int32_t formatResult;  // formatVolume
};
void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }

const FaultCase kFaultCases[] = {
    // The card refuses its first write with a write-protect code.
    {"ProtectCodeRoute2", 2, "fail_write_call = N\nfail_write_code = 1543\n", At::First, 4, WriteProtected},
    {"ProtectCodeRoute1", 1, "fail_write_call = N\nfail_write_code = 4101\n", At::First, 4, WriteProtected},
    {"Route2CodeOnRoute1", 1, "fail_write_call = N\nfail_write_code = 1543\n", At::First, 4, WriteProtected},
    {"Route1CodeOnRoute2", 2, "fail_write_call = N\nfail_write_code = 4101\n", At::First, 4101, Failed},
    {"SwitchRoute2", 2, "write_protect_switch = 1\n", At::First, 4, WriteProtected},
    {"SwitchRoute1", 1, "write_protect_switch = 1\n", At::First, 4, WriteProtected},
    // A protect code after the first chunk is an ordinary write failure.
    {"ProtectCodeSecondChunk", 2, "fail_write_call = N\nfail_write_code = 1543\n", At::Second, 1543, Failed},
    // The card goes away.
    {"VanishRoute2", 2, "vanish_after_writes = N\n", At::First, SDHOST_ERR_NO_CARD, Failed},
    {"VanishRoute2BeforeLast", 2, "vanish_after_writes = N\n", At::BeforeLast, SDHOST_ERR_NO_CARD, Failed},
    // On route 1 the card is asked before every flush and every root-directory chunk ...
    {"VanishRoute1BeforeFlush", 1, "vanish_after_writes = N\n", At::BootChunk, 2, Failed},
    {"VanishRoute1BeforeLast", 1, "vanish_after_writes = N\n", At::BeforeLast, 2, Failed},
    // ... but not between the zero chunks of one flush.
    {"VanishRoute1InsideFlush", 1, "vanish_after_writes = N\n", At::First, SDHOST_ERR_NO_CARD, Failed},
    // A chunk that cannot be written.
    {"FailThirdChunkRoute2", 2, "fail_write_call = N\n", At::Third, SDHOST_ERR_IO, Failed},
    {"FailLastChunkRoute1", 1, "fail_write_call = N\n", At::Last, SDHOST_ERR_IO, Failed},
};

// Small cards put the partition table, the boot sector and the FATs into chunk 0, so the first
// chunk is written by a later writer: its refusal must still read as a write-protected card.
TEST(SmallCardFault, ProtectCodeOnTheFirstChunkIsWriteProtected) {
    const test::ScratchDir scratch("brc-small");
    const std::filesystem::path& dir = scratch.path;
    const std::filesystem::path image = dir / "card.img";
    for (uint64_t sectors : {15360u, 131072u}) {
        SCOPED_TRACE(sectors);
        for (const char* sidecar : {"fail_write_call = 1\nfail_write_code = 1543\n", "write_protect_switch = 1\n"}) {
            createCard(image, sectors, sidecar);
            LibraryRig rig(image, 2);
            ASSERT_TRUE(rig.open);
            ASSERT_LT(rig.plan().params.partitionStart + rig.plan().params.systemSectors, 64u * 64u);
            ASSERT_EQ(rig.plan().params.partitionStart / kChunk, 0u);
            std::u16string label;
            EXPECT_EQ(formatVolume(rig.ctx, label, false), WriteProtected);
        }
    }
}

class LibraryFault : public ::testing::TestWithParam<FaultCase> {};

TEST_P(LibraryFault, EndsThePassWithTheRightResultAndWritesNothingAfterTheFault) {
    const FaultCase& c = GetParam();
    const test::ScratchDir scratch("brc-fault");
    const std::filesystem::path& dir = scratch.path;
    const std::filesystem::path image = dir / "card.img";

    // 1 GiB: FAT16 with the partition starting in chunk 3, so the partition table's flush
    // writes chunk 0 and two zero chunks.
    const uint64_t cardSectors = 2097152;
    createCard(image, cardSectors);
    uint64_t chunks = 0, bootChunk = 0;
    {
        LibraryRig rig(image, c.route);
        ASSERT_TRUE(rig.open);
        const FormatPlan plan = rig.plan();
        chunks = roundUpToChunk(rootFromLayout(plan.params).end()) / kChunk;
        bootChunk = plan.params.partitionStart / kChunk;
    }
    ASSERT_GE(bootChunk, 2u);
    uint64_t n = 0;
    switch (c.at) {
    case At::First: n = 1; break;
    case At::Second: n = 2; break;
    case At::Third: n = 3; break;
    case At::BootChunk: n = bootChunk; break;
    case At::BeforeLast: n = chunks - 1; break;
    case At::Last: n = chunks; break;
    }
    std::string sidecar = c.sidecar;
    if (const size_t at = sidecar.find('N'); at != std::string::npos) sidecar.replace(at, 1, std::to_string(n));
    const bool vanish = sidecar.find("vanish") != std::string::npos;
    const uint64_t expectWritten = vanish ? n : n - 1;
    const uint64_t watched = chunks * kChunk + 2048;

    for (bool wholeFormat : {false, true}) {
        SCOPED_TRACE(wholeFormat ? "formatVolume" : "write pass");
        createCard(image, cardSectors, sidecar);
        {
            ImageFile file(image);
            file.fillPattern(0, watched);
        }
        {
            LibraryRig rig(image, c.route);
            ASSERT_TRUE(rig.open);
            std::u16string label = u"FAULT";
            if (wholeFormat) {
                EXPECT_EQ(formatVolume(rig.ctx, label, false), c.formatResult);
            } else {
                EXPECT_EQ(writeFileSystem(rig.ctx, label, false, false), c.passResult);
            }
            EXPECT_EQ(rig.report.reportFsType, 0u) << "a failed pass wrote the report";
        }
        ImageFile file(image);
        const uint64_t written = file.findPattern(0, watched, true);
        EXPECT_EQ(written, expectWritten * kChunk) << "chunks written before the fault";
        EXPECT_EQ(file.findPattern(written, watched - written, false), watched)
            << "a sector after the fault was written";
    }
}

INSTANTIATE_TEST_SUITE_P(Faults, LibraryFault, ::testing::ValuesIn(kFaultCases),
                         [](const auto& p) { return std::string(p.param.name); });

// formatVolume maps a failed step by number, unlike the pre-check: a driver code 5 is no rejected
// label here, and route 2's out-of-memory code is one only on route 2.
TEST(FailedStepCode, MapsToTheFormatResult) {
    const struct { uint32_t route; Op op; uint32_t code; FormatResult want; } cases[] = {
        {2, Op::Write, SDHOST_ERR_OUT_OF_MEMORY, OutOfMemory},
        {1, Op::Write, SDHOST_ERR_OUT_OF_MEMORY, Failed},
        {1, Op::Write, OutOfMemory, OutOfMemory},
        {1, Op::Write, WriteProtected, WriteProtected},
        {1, Op::Write, InvalidLabel, Failed},
        {1, Op::Identify, InvalidLabel, Failed},
        {2, Op::Identify, SDHOST_ERR_OUT_OF_MEMORY, OutOfMemory},
    };
    for (const auto& c : cases) {
        FakeRig rig(1984000, 0, c.route);
        // The second chunk write: past the first chunk a protect code is no longer special.
        rig.card.fail(c.op, c.code, c.op == Op::Write ? 2 : test::FakeCard::kEveryCall);
        std::u16string label;
        EXPECT_EQ(formatVolume(rig.ctx, label, false), c.want) << c.route << " " << c.code;
    }
}

} // namespace
} // namespace brc::format_test
