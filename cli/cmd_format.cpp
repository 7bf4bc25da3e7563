// brindlecard format: confirmations, the format itself, and the outcome as the Format command
// decides it.
#include <cstdio>
#include <cstring>
#include <string>

#include "cli/cli_common.h"
#include "cli/commands.h"
#include "cli/terminal_progress.h"
#include "engine/code_page.h"
#include "engine/layout.h"
#include "engine/write_sequence.h"
#include "exfat/exfat_writers.h"
#include "passes/format_report.h"
#include "passes/progress.h"
#include "res/messages.h"

#if defined(_WIN32)
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

namespace brc::cli {
namespace {

const char kFormatUsage[] =
    "usage: brindlecard format TARGET [--label TEXT] [--size-adjust] [--yes] [--json]\n"
    "\n"
    "Quick format: writes the partition table and an empty file system chosen by capacity;\n"
    "the data area is not touched. TARGET is a virtual card image or a drive letter mapped in\n"
    "BRINDLECARD_CARDS.\n"
    "\n"
    "  --label TEXT   volume label (FAT: 11 bytes; exFAT: 11 characters)\n"
    "  --size-adjust  round the user area down to whole cylinders\n"
    "  --yes          answer the confirmations with OK (needed without a terminal)\n"
    "  --json         one JSON object on one line instead of the report\n"
    "\n"
    "Exit status: 0 when the card was formatted, 1 otherwise, 2 for a usage error.\n";

std::string text(uint32_t id) { return utf16ToUtf8(builtinMessages().text(id)); }

// A question box on the terminal: OK only on an explicit yes.
bool confirm(uint32_t id) {
    std::fprintf(stderr, "%s\n[OK = y, Cancel = anything else]: ", text(id).c_str());
    std::fflush(stderr);
    char answer[16] = {};
    if (!std::fgets(answer, sizeof answer, stdin)) return false;
    return answer[0] == 'y' || answer[0] == 'Y' || std::strncmp(answer, "OK", 2) == 0 ||
           std::strncmp(answer, "ok", 2) == 0;
}

void showMessage(uint32_t id, uint32_t style) {
    std::fprintf(style == kStyleError ? stderr : stdout, "%s\n", text(id).c_str());
}

} // namespace

int formatCommand(std::vector<std::string> argv) {
    Args args(std::move(argv));
    if (args.wantsHelp()) {
        std::fputs(kFormatUsage, stdout);
        return kExitOk;
    }
    const bool sizeAdjust = args.flag("--size-adjust");
    const bool yes = args.flag("--yes");
    const bool json = args.flag("--json");
    std::u16string label = utf8ToUtf16(args.value("--label").value_or(""));
    auto targets = args.positionals();
    if (targets.size() != 1) throw UsageError{"format takes exactly one TARGET"};
    const Target target = resolveTarget(targets[0]);
    const bool terminal = isatty(fileno(stdin)) != 0;
    if (!yes && !terminal)
        throw UsageError{"without a terminal to confirm on, format needs --yes; nothing was written"};

    DriverBinding driver;
    std::string error;
    // The label check before anything is asked.
    if (openTarget(driver, target, error) != 0) {
        std::fprintf(stderr, "brindlecard: %s.\n", error.c_str());
        return kExitFailed;
    }
    const int32_t check = checkFormatPlan(label, sizeAdjust, driver);
    closeTarget(driver);
    if (check != Success) {
        showMessage(resultMessageId(check, false), resultMessageStyle(check));
        return kExitFailed;
    }
    if (!yes && (!confirm(269) || !confirm(207))) {
        std::fprintf(stderr, "brindlecard: cancelled; nothing was written.\n");
        return kExitFailed;
    }

    uint32_t status = 0;
    RunFlags flags;
    flags.formatStatus = &status;
    flags.formatProgressEnabled = 1;
    TerminalProgress view(stderr, isatty(fileno(stderr)) != 0);
    Progress progress{flags, builtinMessages(), json ? nullptr : &view};
    showProgressLine(progress, NoticeLine, 223, u"");
    showProgressLine(progress, OverwriteLine, 243, u"");
    showProgressLine(progress, EraseLine, 245, u"");
    showProgressLine(progress, FormatLine, 248, u"");

    if (openTarget(driver, target, error) != 0) {
        std::fprintf(stderr, "brindlecard: %s.\n", error.c_str());
        return kExitFailed;
    }
    ExFatState exfat;
    ReportValues report;
    WriteContext ctx{driver, progress, exfat, report};
    readOldOemParameters(driver, exfat);
    int32_t result = formatVolume(ctx, label, sizeAdjust);
    // A card that cannot be closed cleanly may not hold what was written.
    if (driver.api.DDFini(driver.driverHandle) != 0 && (result == Success || result == SuccessReinsertCard))
        result = Failed;
    driver.driverHandle = 0;
    view.finish();

    const bool formatted = result == Success || result == SuccessReinsertCard;
    if (json) {
        JsonObject o;
        o.number("result", result)
            .string("fileSystem", formatted ? fileSystemName(report.reportFsType) : "")
            .number("fsType", report.reportFsType)
            .number("totalSectors", report.reportDataSectors)
            .number("partitionSectors", report.reportPartitionSectors)
            .number("clusterBytes", report.reportClusterBytes)
            .string("label", utf16ToUtf8(label))
            .number("labelRejected", flags.labelRejected);
        std::printf("%s\n", o.str().c_str());
        return formatted ? kExitOk : kExitFailed;
    }
    const FormatOutcome outcome = decideFormatOutcome(result, status, flags.powerAbort, flags.powerEvent);
    if (outcome.messageId) {
        showMessage(outcome.messageId, outcome.style);
    } else {
        FormatReportValues values;
        values.status = status;
        values.fileSystemKind = report.reportFsType;
        values.totalSectors = report.reportDataSectors;
        values.clusterBytes = report.reportClusterBytes;
        std::printf("%s\n", utf16ToUtf8(buildVolumeReport(builtinMessages(), result, flags.labelRejected, values)).c_str());
    }
    return formatted ? kExitOk : kExitFailed;
}

} // namespace brc::cli
