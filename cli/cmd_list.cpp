// brindlecard list: the block devices of this system, and which of them are cards that may be
// formatted (Linux).
#include <unistd.h>

#include <cstdio>
#include <optional>
#include <string>

#include "base/code_page.h"
#include "device/driver_settings.h"
#include "cli/arguments.h"
#include "cli/block_target.h"
#include "cli/commands.h"
#include "cli/json.h"
#include "cli/volume_probe.h"
#include "platform/posix/posix_os.h"
#include "platform/posix/udisks_client.h"

namespace brc::cli {
namespace {

const char kListUsage[] =
    "usage: brindlecard list [--allow-loop] [--json]\n"
    "\n"
    "Lists the disks of this system: every SD slot and card reader with its card, its file\n"
    "system and label whatever it is (as libblkid finds them), where it is mounted, and\n"
    "whether this user can format it; and why any other disk is not offered. Nothing is\n"
    "written.\n"
    "\n"
    "  --allow-loop  offer loop devices too (a loop device over an image stands in for a card)\n"
    "  --json        one JSON object per disk, one per line (formatBy: \"root\"; \"udisks2\" when\n"
    "                polkit allows this user to format it through udisks2; \"udisks2-password\"\n"
    "                when polkit would ask for a password first; empty when this user cannot)\n";

// The file system and label on the card, read as a format's label step reads them.
void readVolume(OsServices& os, const std::string& path, std::string& fileSystem,
                std::string& label) {
    setCardMapSetting("Z=" + path);
    VolumeInfo info;
    if (os.volumeInfo(u"Z:\\", info)) {
        fileSystem = utf16ToUtf8(info.fileSystem);
        label = utf16ToUtf8(info.label);
    }
}

// Who may format an offered card from this session: "root" (this user is), "udisks2" (polkit
// allows udisks2 to open it for this user), "udisks2-password" (polkit would ask for a password
// first), "" (nobody here). Whether udisks2 answers at all is asked once, and only when a card
// is offered; polkit is asked for each card, since its action depends on the device.
class Formatter {
public:
    std::string of(const std::string& devicePath) {
        if (::geteuid() == 0) return "root";
        if (!answers_) answers_ = udisksAnswers();
        if (!*answers_) return "";
        switch (udisksMayOpen(devicePath)) {
        case UdisksPermission::Allowed: return "udisks2";
        case UdisksPermission::WithPassword: return "udisks2-password";
        case UdisksPermission::Refused: break;
        }
        return "";
    }

private:
    std::optional<bool> answers_; // whether udisks2 answers, once asked
};

std::string formatterText(const std::string& formatter, bool readOnly) {
    if (readOnly)
        return "a card, but write-protected: slide its lock switch away from LOCK (or take it out "
               "and put it "
               "back) to format it";
    if (formatter == "root") return "can be formatted";
    if (formatter == "udisks2")
        return "can be formatted through udisks2, as polkit allows this user";
    if (formatter == "udisks2-password")
        return "can be formatted through udisks2 once this user gives polkit a password (format on "
               "a terminal)";
    return "a card, but formatting it needs root: run brindlecard as root (sudo)";
}

} // namespace

int listCommand(std::vector<std::string> argv) {
    Args args(std::move(argv));
    if (args.wantsHelp()) {
        std::fputs(kListUsage, stdout);
        return kExitOk;
    }
    const bool allowLoop = args.flag("--allow-loop");
    const bool json = args.flag("--json");
    if (!args.positionals().empty()) throw UsageError{"list takes no TARGET"};

    const std::vector<blockdev::SystemView> views = blockdev::systemViews();
    const std::unique_ptr<OsServices> os = makePosixOsServices();
    unsigned offered = 0;
    Formatter formatter;
    for (const blockdev::Device& d : blockdev::listDisks(views.front())) {
        if (unlisted(d)) continue;
        const std::string reason = listRefusal(views, d, allowLoop);
        std::string fileSystem, label;
        bool unreadable = false;
        if (d.bytes > 0 && (blockdev::isCard(d) || d.kind == blockdev::Kind::Loop)) {
            if (canProbeVolumes()) {
                const ProbedVolume volume = probeVolume(d.path);
                unreadable = !volume.opened;
                fileSystem = volume.type;
                label = volume.label;
            } else {
                readVolume(*os, d.path, fileSystem, label);
            }
        }
        // A write-protected card is offered (slid back, it can be), but nobody formats it as it is.
        const std::string formatBy = reason.empty() && !d.readOnly ? formatter.of(d.path) : "";
        std::vector<std::string> mountPoints;
        for (const blockdev::Mount& m : d.mounts) mountPoints.push_back(m.mountPoint);
        if (reason.empty()) ++offered;

        if (json) {
            JsonObject o;
            o.string("path", d.path)
                .string("kind", blockdev::kindName(d.kind))
                .string("bus", d.bus)
                .string("vendor", d.vendor)
                .string("model", d.model)
                .number("bytes", static_cast<int64_t>(d.bytes))
                .string("fileSystem", fileSystem)
                .string("label", label)
                .boolean("readable", !unreadable)
                .string("formatBy", formatBy)
                .strings("mountPoints", mountPoints)
                .boolean("readOnly", d.readOnly)
                .boolean("qualifies", reason.empty())
                .string("reason", reason);
            std::printf("%s\n", o.str().c_str());
            continue;
        }
        std::string line = describeCard(d);
        if (!fileSystem.empty())
            line += ", " + fileSystem + (label.empty() ? "" : " \"" + label + "\"");
        if (unreadable) line += ", contents not readable by this user";
        for (size_t i = 0; i < mountPoints.size(); ++i)
            line += (i ? ", " : "; mounted at ") + mountPoints[i];
        if (d.readOnly) line += "; read-only";
        // Labels, models and mount points are the card's and the system's words: shown escaped.
        std::printf("%s\n    %s\n", shownText(line).c_str(),
                    shownText(reason.empty() ? formatterText(formatBy, d.readOnly)
                                             : "not offered: " + reason + ".")
                        .c_str());
    }
    if (!json)
        std::printf(offered ? "%u card(s) can be formatted.\n" : "No disk here can be formatted.\n",
                    offered);
    return kExitOk;
}

} // namespace brc::cli
