// brindlecard check: whether a card follows the SD layout rules, and what is off if not. Reads
// only: the card is opened and asked for its capacity and a few hundred sectors at most.
#include <cstdio>
#include <utility>

#include "app/format_report.h"
#include "check/card_check.h"
#include "device/capacity_probe.h"
#include "device/driver_settings.h"
#include "base/code_page.h"
#include "cli/arguments.h"
#include "cli/commands.h"
#include "cli/json.h"
#include "cli/targets.h"
#if !defined(_WIN32)
#include "cli/block_target.h"
#endif

namespace brc::cli {
namespace {

const char kCheckUsage[] =
    "usage: brindlecard check TARGET... [--allow-loop] [--json] [--sectors N]\n"
    "       brindlecard check --all [--allow-loop] [--json] [--sectors N]   (Linux)\n"
    "\n"
    "Reads the card's partition table and file system and compares them, field by field, with\n"
    "the layout the SD layout rules give for its capacity (with and without size adjustment),\n"
    "and checks the FATs, the root directory and exFAT's bitmap and up-case table as the format\n"
    "writes them. Writes nothing. TARGET is a virtual card image, a card's device (Linux:\n"
    "/dev/mmcblk0, /dev/sdb; read while mounted too, but a mounted card's cache may hold\n"
    "what is not on it yet) or a drive letter mapped in BRINDLECARD_CARDS.\n"
    "\n"
    "Several TARGETs, or --all (every card that list offers), are checked one after the other;\n"
    "with --json one object per card, each with its \"target\".\n"
    "\n"
    "  --allow-loop  take a loop device for a card\n"
    "  --sectors N   compare with the layout of a card of N sectors: a counterfeit card that\n"
    "                format probed and formatted as a card of its usable part\n"
    "                (formattedSectors)\n"
    "  --json        one JSON object on one line: conforms, sizeAdjustment, expected (the keys of\n"
    "                plan --json), found (and the card's label), deviations ({field, expected,\n"
    "                found, why}), and problem when the card could not be compared or opened\n"
    "\n"
    "Exit status: 0 when the card follows the rules, 1 when it does not or holds no file system\n"
    "that can be read, 2 for a usage error; with several cards, the worst of the cards'.\n";

const char* sizeAdjustmentName(SizeAdjustmentMatch m) {
    switch (m) {
    case SizeAdjustmentMatch::On: return "on";
    case SizeAdjustmentMatch::NoDifference: return "no difference";
    default: return "off";
    }
}

// `target` names the card when several are checked.
std::string checkJson(const CardCheck& check, const std::string& target) {
    JsonObject o;
    if (!target.empty()) o.string("target", target);
    o.boolean("conforms", check.verdict == CheckVerdict::Conforms);
    if (!check.problem.empty()) o.string("problem", check.problem);
    if (check.planKnown) {
        o.string("sizeAdjustment", sizeAdjustmentName(check.sizeAdjustment));
        // What plan --json prints for this card: the layout has no label to refuse.
        JsonObject expected;
        expected.number("result", 0);
        addLayoutFigures(expected, figuresOf(check.plan));
        expected.number("labelBits", 0);
        o.raw("expected", expected.str());
    }
    JsonObject found;
    addLayoutFigures(found, check.found);
    if (!check.label.empty()) found.string("label", check.label);
    o.raw("found", found.str());
    std::string list = "[";
    for (const Deviation& d : check.deviations) {
        JsonObject item;
        item.string("field", d.field).string("expected", d.expected).string("found", d.found);
        if (list.size() > 1) list += ',';
        list += item.string("why", d.why).str();
    }
    list += ']';
    o.raw("deviations", list);
    return o.str();
}

std::string layoutName(const CardCheck& check) {
    std::string name = std::string(fsTypeName(check.plan.params.fsType)) + " layout";
    switch (check.sizeAdjustment) {
    case SizeAdjustmentMatch::On: return name + " with size adjustment";
    case SizeAdjustmentMatch::Off: return name + " without size adjustment";
    default: return name + ", the same with or without size adjustment";
    }
}

// A target that cannot be checked still gives the JSON object, with the reason as its problem.
int refuse(bool json, const std::string& problem, int status, const std::string& target) {
    if (json) {
        CardCheck check;
        check.problem = problem;
        std::printf("%s\n", checkJson(check, target).c_str());
    } else {
        say(problem);
    }
    return status;
}

// What the check found, in sentences; `sectors` the capacity compared with, when not the card's.
void printCheck(const char* card, const CardCheck& check, uint32_t sectors) {
    const std::string layout =
        layoutName(check) + (sectors ? " of a card of " + grouped(sectors) + " sectors" : "");
    switch (check.verdict) {
    case CheckVerdict::Conforms:
        std::printf("%s follows the SD layout rules (the %s).\n", card, layout.c_str());
        break;
    case CheckVerdict::Deviates:
        std::printf("%s does not follow the SD layout rules; compared with the %s:\n", card,
                    layout.c_str());
        for (const Deviation& d : check.deviations)
            std::printf("  - %s\n", shownText(d.why).c_str());
        break;
    case CheckVerdict::NoFileSystem:
        std::printf("%s holds no recognisable file system: %s.\n", card,
                    shownText(check.problem).c_str());
        // The file-system deviation restates the line above; the partition table's are news.
        for (const Deviation& d : check.deviations)
            if (d.field != "fsType") std::printf("  - %s\n", shownText(d.why).c_str());
        break;
    default:
        // Appended piece by piece: GCC 12 warns (-Wrestrict) about a chain that starts with a
        // literal.
        std::string sentence(1, '\'');
        sentence.append(card).append("' cannot be checked: ").append(check.problem);
        say(sentence);
        break;
    }
}

// Checks one card; `many` when it is one of several, which names it in its JSON object and
// reports a bad TARGET as its own rather than the command's usage error.
int checkOne(const std::string& text, bool json, bool allowLoop, bool many, uint32_t sectors) {
    const std::string tag = many ? shownText(text) : "";
    Target target;
    try {
        target = resolveTarget(text);
    } catch (const UsageError& e) {
        if (!json && !many) throw;
        return refuse(json, e.message, kExitUsage, tag);
    } catch (const RunError& e) {
        if (!json && !many) throw;
        return refuse(json, e.message, kExitFailed, tag);
    }
#if !defined(_WIN32)
    // A device must be a card, as for plan; mounted or held elsewhere, it is still read, as the
    // library opens it read-only here.
    if (target.blockDevice) {
        std::string refusal = describeBlockCard(target.path, allowLoop).refusal;
        // A user the device refuses has udisks2 open it for reading.
        if (refusal.empty()) refusal = reachForReading(target.path, commandDeviceAccess());
        if (!refusal.empty()) return refuse(json, refusal, kExitFailed, tag);
    }
#else
    (void)allowLoop;
#endif

    const std::unique_ptr<OsServices> os = osServicesFor(target);
    DriverBinding driver(*os);
    driver.usableSectors = sectors;
    std::string error;
    if (openTarget(driver, target, error, true) != 0) {
        const std::string image = imageProblem(target);
        return refuse(json, image.empty() ? error : image, kExitFailed, tag);
    }
    const CardCheck check = checkCard(driver);
    uint32_t rc = 0;
    const uint64_t announced = sectors ? announcedSectors(driver, rc) : 0;
    closeTarget(driver);
    // The card is no larger than it announces: a larger count would compare with its own size.
    if (sectors && announced < sectors)
        return refuse(json,
                      "--sectors " + std::to_string(sectors) + " is more than the " +
                          std::to_string(announced) + " sectors '" + target.display + "' announces",
                      kExitFailed, tag);

    if (json) std::printf("%s\n", checkJson(check, tag).c_str());
    else printCheck(target.display.c_str(), check, sectors);
    std::fflush(stdout);
    return check.verdict == CheckVerdict::Conforms ? kExitOk : kExitFailed;
}

#if !defined(_WIN32)
// A card named twice (by two paths, or a link) is a usage error, as for format; a TARGET that
// does not resolve is left to its own check.
template <typename Restore>
void refuseSameCardTwice(const std::vector<std::string>& targets, const Restore& restoreMap) {
    std::vector<std::pair<std::string, CardIdentity>> seen;
    for (const std::string& text : targets) {
        restoreMap();
        Target target;
        try {
            target = resolveTarget(text);
        } catch (const UsageError&) {
            continue;
        } catch (const RunError&) {
            continue;
        }
        for (const auto& [other, identity] : seen)
            if (identity == target.identity)
                throw UsageError{"'" + other + "' and '" + target.display + "' are the same card"};
        seen.emplace_back(target.display, target.identity);
    }
}
#endif

} // namespace

int checkCommand(std::vector<std::string> argv) {
    Args args(std::move(argv));
    if (args.wantsHelp()) {
        std::fputs(kCheckUsage, stdout);
        return kExitOk;
    }
    const bool json = args.flag("--json");
    const bool allowLoop = args.flag("--allow-loop");
    const bool all = args.flag("--all");
    const std::optional<std::string> sectorsText = args.value("--sectors");
    const auto sectors = static_cast<uint32_t>(
        sectorsText ? parseNumber(*sectorsText, "--sectors", 0xFFFFFFFFu) : 0);
    if (sectorsText && sectors == 0) throw UsageError{"--sectors takes a number of sectors from 1"};
    std::vector<std::string> targets = args.positionals();
    if (all && !targets.empty()) throw UsageError{"check takes either TARGETs or --all, not both"};
    if (targets.empty() && !all) throw UsageError{"check takes a TARGET (or several, or --all)"};
    if (!all && targets.size() == 1) return checkOne(targets[0], json, allowLoop, false, sectors);
#if defined(_WIN32)
    throw UsageError{
        "several cards at once are checked on Linux only; here check takes one TARGET"};
#else
    if (all) {
        for (const blockdev::Device& d : offeredCards(allowLoop)) targets.push_back(d.path);
        if (targets.empty()) {
            std::fputs("brindlecard: no card here can be checked.\n", stderr);
            return kExitFailed;
        }
    }
    // Each card gets the drive map the user gave: the letters are not used up one per card.
    const std::optional<std::string> cards = ownCardMapSetting();
    const auto restoreMap = [&] { setCardMapSetting(cards); };
    refuseSameCardTwice(targets, restoreMap);
    int worst = kExitOk;
    for (const std::string& text : targets) {
        restoreMap();
        worst = worstExitStatus(worst, checkOne(text, json, allowLoop, true, sectors));
    }
    restoreMap();
    return worst;
#endif
}

} // namespace brc::cli
