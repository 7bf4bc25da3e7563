// brindlecard format: the system checks, the label check, the confirmations, the format itself,
// and the outcome as the Format command decides it.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "cli/cli_common.h"
#include "cli/commands.h"
#include "cli/terminal_progress.h"
#include "device/system_checks.h"
#include "device/volume_access.h"
#include "base/code_page.h"
#include "engine/fat_writers.h"
#include "format/format_card.h"
#include "engine/layout.h"
#include "exfat/exfat_writers.h"
#include "app/format_report.h"
#include "progress/progress.h"
#include "os/os_services.h"
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
    "usage: brindlecard format TARGET [--type quick|overwrite|erase|overwrite-erase]\n"
    "                          [--label TEXT] [--size-adjust] [--yes] [--json]\n"
    "\n"
    "Formats a card: the partition table and an empty file system chosen by capacity.\n"
    "TARGET is a virtual card image or a drive letter mapped in BRINDLECARD_CARDS.\n"
    "\n"
    "  --type quick            write the system area only; the data area is not touched (default)\n"
    "  --type overwrite        full format: 0xFF over the whole user area first\n"
    "  --type erase            full format: erase the card's flash first\n"
    "  --type overwrite-erase  full format: overwrite, then erase\n"
    "  --label TEXT            volume label (FAT: 11 bytes; exFAT: 11 characters)\n"
    "  --size-adjust           round the user area down to whole cylinders\n"
    "  --yes                   answer the confirmations with OK (needed without a terminal)\n"
    "  --json                  one JSON object on one line instead of the report\n"
    "\n"
    "Ctrl-C cancels an overwrite or erase (the file system is still written); SIGTERM\n"
    "abandons the format at its next checkpoint, leaving the card in a defined state.\n"
    "With SOURCE_DATE_EPOCH set (seconds, UTC), time stamps and serial numbers come from it,\n"
    "so the same card formats to the same bytes every time.\n"
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

FormatType parseType(const std::string& name) {
    if (name == "quick") return Quick;
    if (name == "overwrite") return FullOverwrite;
    if (name == "erase") return FullErase;
    if (name == "overwrite-erase") return FullOverwriteErase;
    throw UsageError{"--type must be quick, overwrite, erase or overwrite-erase, not '" + name + "'"};
}

// The start-up checks: a supported system, and for a non-administrator the volume service.
bool systemAllowsFormat(SystemState& sys) {
    if (!isSupportedWorkstation(sys)) {
        showMessage(261, kStyleError);
        return false;
    }
    if (queryOsKind(sys) == 1 && queryAdminLevel(sys) != 2) {
        startVolumeService(sys);
        if (!testVolumeServicePipe(sys)) {
            showMessage(219, kStyleError);
            return false;
        }
    }
    return true;
}

// The label check of the card, and after a FAT32 format the repair after the label write.
int32_t runLabelOperation(int mode, DriverBinding& driver, const Target& target,
                          const std::u16string& label, bool sizeAdjust, const CodePage& oem) {
    std::string error;
    if (openTarget(driver, target, error) != 0) return Failed;
    const int32_t r = mode == 1 ? checkFormatPlan(label, sizeAdjust, driver, nullptr, oem)
                                : repairFat32AfterLabel(label, sizeAdjust, driver, oem);
    closeTarget(driver);
    return r;
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
    const FormatType type = parseType(args.value("--type").value_or("quick"));
    std::u16string label = utf8ToUtf16(args.value("--label").value_or(""));
    auto targets = args.positionals();
    if (targets.size() != 1) throw UsageError{"format takes exactly one TARGET"};
    const Target target = resolveTarget(targets[0]);
    if (!yes && isatty(fileno(stdin)) == 0)
        throw UsageError{"without a terminal to confirm on, format needs --yes; nothing was written"};

    std::unique_ptr<OsServices> os = osServicesFor(target);
    SystemState sys(*os);
    if (!systemAllowsFormat(sys)) return kExitFailed;
    const CodePage& oem = os->oemCodePage();
    const std::u16string root = target.rootPath();

    DriverBinding driver(*os);
    if (bindDriver(driver, 2) != 0) {
        showMessage(220, kStyleError);
        return kExitFailed;
    }
    const int32_t check = runLabelOperation(1, driver, target, label, sizeAdjust, oem);
    if (check != Success) {
        showMessage(resultMessageId(check, false), resultMessageStyle(check));
        return kExitFailed;
    }
    if (!yes && ((type == Quick && !confirm(269)) || !confirm(207))) {
        std::fprintf(stderr, "brindlecard: cancelled; nothing was written.\n");
        return kExitFailed;
    }
    VolumeInformation info;
    if (!os->volumeInformation(root, info) && os->lastError() == kErrorNotReady) {
        showMessage(210, kStyleError);
        return kExitFailed;
    }

    uint32_t status = 0;
    RunFlags flags;
    flags.formatStatus = &status;
    TerminalProgress terminal(json ? nullptr : stderr, isatty(fileno(stderr)) != 0, flags);
    Progress progress{flags, builtinMessages(), nullptr};
    ExFatState exfat;
    ReportValues report;
    FormatServices svc{driver, sys, progress, terminal, exfat, report, oem};
    FormatFigures figures;
    installFormatSignalHandlers();
    const int32_t result = formatCard(svc, root, label, sizeAdjust, type, figures);
    terminal.pumpPendingMessages();

    const FormatOutcome outcome = decideFormatOutcome(result, status, flags.powerAbort, flags.powerEvent);
    bool formatted = result == Success || result == SuccessReinsertCard;
    uint32_t messageId = outcome.messageId;
    if (messageId == 0 && result == Success) {
        // The label goes on through the system; a FAT32 volume is then put right again.
        os->setVolumeLabel(root, label);
        if (figures.fileSystemKind == Fat32) runLabelOperation(2, driver, target, label, sizeAdjust, oem);
        terminal.pumpPendingMessages();
        if (flags.powerAbort) messageId = flags.powerEvent == 4 ? 270 : 271;
    }
    if (flags.powerAbort) formatted = false;

    if (json) {
        JsonObject o;
        o.number("result", result)
            .string("fileSystem", formatted ? fileSystemName(figures.fileSystemKind) : "")
            .number("fsType", figures.fileSystemKind)
            .number("totalSectors", figures.totalSectors)
            .number("partitionSectors", figures.partitionSectors)
            .number("clusterBytes", figures.clusterBytes)
            .string("label", utf16ToUtf8(label))
            .number("labelRejected", flags.labelRejected)
            .number("status", status)
            .number("overwriteResult", figures.overwriteResult)
            .number("eraseResult", figures.eraseResult)
            .number("overwriteMs", figures.overwriteTime)
            .number("eraseMs", figures.eraseTime);
        std::printf("%s\n", o.str().c_str());
    } else if (messageId) {
        showMessage(messageId, messageId == outcome.messageId ? outcome.style : kStyleInformation);
    } else {
        FormatReportValues values;
        values.overwriteResult = figures.overwriteResult;
        values.eraseResult = figures.eraseResult;
        values.status = status;
        values.fileSystemKind = figures.fileSystemKind;
        values.totalSectors = figures.totalSectors;
        values.clusterBytes = figures.clusterBytes;
        std::printf("%s\n", utf16ToUtf8(buildVolumeReport(builtinMessages(), result, flags.labelRejected, values)).c_str());
    }
    return formatted ? kExitOk : kExitFailed;
}

} // namespace brc::cli
