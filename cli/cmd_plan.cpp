// brindlecard plan: the pre-check of a format, showing the layout it would write.
#include <cstdio>

#include "cli/arguments.h"
#include "cli/commands.h"
#include "cli/json.h"
#include "cli/label_words.h"
#include "cli/targets.h"
#include "base/code_page.h"
#include "check/card_check.h"
#include "app/format_report.h"
#include "engine/layout.h"
#if !defined(_WIN32)
#include "cli/block_target.h"
#include "platform/posix/oem_code_pages.h"
#endif

namespace brc::cli {
namespace {

const char kPlanUsage[] =
    "usage: brindlecard plan TARGET [--size-adjust] [--label TEXT] [--codepage N] [--allow-loop]\n"
    "                        [--json]\n"
    "\n"
    "Identifies the card and computes the layout a format would write, writing nothing.\n"
    "TARGET is a virtual card image, a card's device (Linux: /dev/mmcblk0, /dev/sdb) or a\n"
    "drive letter mapped in BRINDLECARD_CARDS.\n"
    "\n"
    "  --size-adjust  round the user area down to whole cylinders\n"
    "  --allow-loop   take a loop device for a card\n"
    "  --label TEXT   volume label to check against the chosen file system\n"
    "  --codepage N   OEM code page of a FAT label, as for format\n"
    "  --json         one JSON object on one line\n"
    "\n"
    "Exit status: 0 when the card can be formatted as planned, 1 otherwise, 2 for a usage error.\n";

const char* resultName(int32_t result) {
    switch (result) {
    case Success: return "success";
    case InvalidLabel: return "invalid label";
    case OutOfMemory: return "out of memory";
    case WriteProtected: return "write protected";
    default: return "refused";
    }
}

// The plan as a table of figures; those not known (the card unread, no layout fits) left out.
void printPlan(const Target& target, int32_t result, const FormatPlan& plan) {
    const FormatParameters& p = plan.params;
    std::printf("%-20s %s\n", "Card", target.display.c_str());
    std::printf("%-20s %d (%s)\n", "Result", result, resultName(result));
    auto row = [](const char* name, uint64_t v) {
        std::printf("%-20s %s\n", name, grouped(v).c_str());
    };
    if (plan.capacityKnown) {
        row("User area sectors", plan.userSectors);
        row("Card total sectors", p.cardTotalSectors);
        std::printf("%-20s %u heads, %u sectors per track\n", "Geometry", p.heads,
                    p.sectorsPerTrack);
    }
    if (plan.tablesChosen) {
        std::printf("%-20s %u sectors (%u KiB)\n", "Cluster", p.sectorsPerCluster,
                    p.sectorsPerCluster / 2);
        row("Boundary unit", p.boundaryUnit);
    }
    if (plan.layoutDone) {
        std::printf("%-20s %s\n", "File system", fsTypeName(p.fsType));
        row("Partition start", p.partitionStart);
        row(p.fsType == ExFat ? "FAT offset" : "Reserved sectors", p.reservedSectors);
        row(p.fsType == ExFat ? "FAT length" : "FAT sectors", p.fatSectors);
        row(p.fsType == ExFat ? "Cluster heap offset" : "System sectors", p.systemSectors);
        row("Highest cluster", p.maxCluster);
        std::printf("%-20s %u%s\n", "Label check bits", plan.labelBits,
                    plan.labelBits
                        ? (" (label refused: " + labelBitWords(plan.labelBits) + ")").c_str()
                        : "");
    }
}

} // namespace

int planCommand(std::vector<std::string> argv) {
    Args args(std::move(argv));
    if (args.wantsHelp()) {
        std::fputs(kPlanUsage, stdout);
        return kExitOk;
    }
    const bool sizeAdjust = args.flag("--size-adjust");
    const bool json = args.flag("--json");
    const bool allowLoop = args.flag("--allow-loop");
    const std::u16string label = labelArgument(args.value("--label").value_or(""));
    const unsigned codePage = codePageOption(args);
    auto targets = args.positionals();
    if (targets.size() != 1) throw UsageError{"plan takes exactly one TARGET"};
    const Target target = resolveTarget(targets[0]);
    bool writeProtected = false; // the card's lock switch, where the system reports it
#if !defined(_WIN32)
    if (target.blockDevice) {
        // Planning only reads: a mounted card, or one another program holds, is planned too.
        const BlockVolumeCheck card = describeBlockCard(target.path, allowLoop);
        writeProtected = card.refusal.empty() && card.device.readOnly;
        // A user the device refuses has udisks2 open it for reading.
        const std::string refusal = card.refusal.empty()
                                        ? reachForReading(target.path, commandDeviceAccess())
                                        : card.refusal;
        if (!refusal.empty()) {
            if (json)
                std::printf(
                    "%s\n",
                    JsonObject().number("result", Failed).string("refusal", refusal).str().c_str());
            else say(refusal);
            return kExitFailed;
        }
    }
#else
    (void)allowLoop;
#endif

    const std::unique_ptr<OsServices> os = osServicesFor(target, codePage);
    DriverBinding driver(*os);
    std::string error;
    // Planning only reads, so it opens the card as check does, alongside a format in progress.
    if (openTarget(driver, target, error, true) != 0) {
        say(error);
        return kExitFailed;
    }
    FormatPlan plan;
    int32_t result = checkFormatPlan(label, sizeAdjust, driver, &plan, os->oemCodePage());
    if (result == Success && writeProtected) result = WriteProtected;
    // A capacity the rules give no layout is said as format says it, band and all.
    CardCapacity capacity;
    const std::string refusal = !plan.layoutDone && readCardCapacity(driver, capacity) == 0
                                    ? layoutRefusal(capacity, plan)
                                    : "";
    closeTarget(driver);
    std::string labelWords;
    if (plan.layoutDone && plan.labelBits) {
#if defined(_WIN32)
        const unsigned page = 0;
#else
        const unsigned page = codePage ? codePage : localeOemCodePage();
#endif
        labelWords = labelProblem(label, plan.params.fsType, os->oemCodePage(), page);
    }

    if (json) {
        JsonObject o;
        o.number("result", result);
        addLayoutFigures(o, figuresOf(plan));
        if (plan.layoutDone) o.number("labelBits", plan.labelBits);
        if (!labelWords.empty()) o.string("labelProblem", labelWords);
        if (!refusal.empty()) o.string("refusal", refusal);
        std::printf("%s\n", o.str().c_str());
        return result == 0 ? kExitOk : kExitFailed;
    }
    printPlan(target, result, plan);
    if (result == WriteProtected)
        std::fprintf(stderr,
                     "brindlecard: the card is write-protected: slide its lock switch away "
                     "from LOCK, then plan again.\n");
    else if (!refusal.empty()) say(refusal);
    else if (result != 0)
        std::fprintf(stderr, "brindlecard: the card cannot be formatted as planned (%s).\n",
                     labelWords.empty() ? resultName(result) : shownText(labelWords).c_str());
    return result == 0 ? kExitOk : kExitFailed;
}

} // namespace brc::cli
